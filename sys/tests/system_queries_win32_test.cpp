// System queries under Wine. Run by run_with_drive.sh in a prefix of its own:
// drive D: is a scratch folder whose host figures the driver keeps in D:\figures.txt,
// no other drive but C: exists, and the Windows version is set per release
// for the child program D:\sys_version_probe.exe.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "sys/system_queries_win32.h"

namespace {

// What the probe printed under one Windows version.
struct ProbeReport {
  int versionResult = -1;
  int code = -1;
  int spaceResult = -1;
  unsigned long long total = 0, used = 0, freeBytes = 0;
  unsigned long sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  unsigned long long exTotal = 0, exFree = 0;
};

// Wine reads the version an application sees from its AppDefaults key when
// the program starts.
bool RunProbe(const char* version, ProbeReport* report) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\sys_version_probe.exe", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG set = RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                            static_cast<DWORD>(strlen(version) + 1));
  RegCloseKey(key);
  if (set != ERROR_SUCCESS) return false;

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process;
  std::string command = "D:\\sys_version_probe.exe D:\\";
  BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, "D:\\", &startup,
                                &process);
  CloseHandle(writeEnd);
  std::string output;
  if (started) {
    char buffer[512];
    DWORD got;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(readEnd);
  if (!started) printf("%s: CreateProcess failed (%lu)\n", version, GetLastError());
  else printf("%s: %s", version, output.c_str());
  return started &&
         sscanf(output.c_str(), "%d %d %d %llu %llu %llu %lu %lu %lu %lu %llu %llu", &report->versionResult,
                &report->code, &report->spaceResult, &report->total, &report->used, &report->freeBytes,
                &report->sectorsPerCluster, &report->bytesPerSector, &report->freeClusters, &report->totalClusters,
                &report->exTotal, &report->exFree) == 12;
}

struct VersionRow {
  const char* version;
  int code;
};
const VersionRow kVersions[] = {{"win95", 95},  {"win98", 98},  {"winme", 99},     {"nt40", 40},
                                {"win2k", 2000}, {"winxp", 2002}, {"win2003", 2003}, {"win7", 0}};

// One probe run per release, shared by the tests below.
const std::map<std::string, ProbeReport>& Reports() {
  static std::map<std::string, ProbeReport> reports;
  static bool ran = false;
  if (!ran) {
    ran = true;
    for (const VersionRow& row : kVersions) {
      ProbeReport report;
      if (RunProbe(row.version, &report)) reports[row.version] = report;
    }
  }
  return reports;
}

TEST(GetOsVersionCode, EachReleaseWineCanPretendToBe) {
  const auto& reports = Reports();
  for (const VersionRow& row : kVersions) {
    auto found = reports.find(row.version);
    ASSERT_NE(reports.end(), found) << row.version << ": the probe did not report";
    EXPECT_EQ(1, found->second.versionResult) << row.version;
    EXPECT_EQ(row.code, found->second.code) << row.version;
  }
}

// Free space moves while other programs write: allow this much drift.
constexpr unsigned long long kDrift = 256ull << 20;

bool Near(unsigned long long a, unsigned long long b) { return (a > b ? a - b : b - a) <= kDrift; }

TEST(GetDiskSpace, Windows95TakesTheClusterRouteAndOthersTheExRoute) {
  const auto& reports = Reports();
  for (const VersionRow& row : kVersions) {
    auto found = reports.find(row.version);
    ASSERT_NE(reports.end(), found) << row.version;
    const ProbeReport& r = found->second;
    ASSERT_EQ(1, r.spaceResult) << row.version;
    EXPECT_EQ(r.total, r.used + r.freeBytes) << row.version;
    const unsigned long long cluster = static_cast<unsigned long long>(r.sectorsPerCluster) * r.bytesPerSector;
    if (row.code == 95) {
      EXPECT_EQ(cluster * r.totalClusters, r.total) << row.version;
      EXPECT_EQ(cluster * r.freeClusters, r.freeBytes) << row.version;
      EXPECT_EQ(cluster * (r.totalClusters - r.freeClusters), r.used) << row.version;
    } else {
      EXPECT_EQ(r.exTotal, r.total) << row.version;
      EXPECT_TRUE(Near(r.exFree, r.freeBytes)) << row.version << ": " << r.exFree << " vs " << r.freeBytes;
    }
  }
  // The two routes are told apart where the cluster call caps its figures.
  const ProbeReport& win95 = reports.at("win95");
  const ProbeReport& win98 = reports.at("win98");
  printf("win95 route: total %llu; win98 route: total %llu\n", win95.total, win98.total);
  if (win98.exTotal > 0x7fffffffull) {
    EXPECT_NE(win98.total, win95.total);
  }
}

struct HostFigures {
  unsigned long long blockSize = 0, blocks = 0, freeBlocks = 0, available = 0;
};

bool ReadHostFigures(HostFigures* figures) {
  FILE* file = fopen("D:\\figures.txt", "r");
  if (!file) return false;
  int got = fscanf(file, "%llu %llu %llu %llu", &figures->blockSize, &figures->blocks, &figures->freeBlocks,
                   &figures->available);
  fclose(file);
  return got == 4;
}

TEST(GetDiskSpace, AgreesWithTheHostFigures) {
  // Host samples taken before and after the query bound the free space it saw.
  HostFigures before, after;
  ASSERT_TRUE(ReadHostFigures(&before)) << "run through run_with_drive.sh";
  Sleep(120);
  uint64_t total = 0, used = 0, freeBytes = 0;
  ASSERT_EQ(1, GetDiskSpace("D:\\", &total, &used, &freeBytes));
  Sleep(120);
  ASSERT_TRUE(ReadHostFigures(&after));
  printf("D: total %llu used %llu free %llu; host: %llu blocks of %llu, %llu free, %llu available\n",
         static_cast<unsigned long long>(total), static_cast<unsigned long long>(used),
         static_cast<unsigned long long>(freeBytes), after.blocks, after.blockSize, after.freeBlocks,
         after.available);
  EXPECT_EQ(after.blocks * after.blockSize, total);
  EXPECT_EQ(total - freeBytes, used);
  // Wine counts the blocks available to unprivileged users as the volume's free space.
  const unsigned long long low = std::min(before.available, after.available) * after.blockSize;
  const unsigned long long high = std::max(before.available, after.available) * after.blockSize;
  constexpr unsigned long long kSlack = 64ull << 20;
  EXPECT_LE(low, freeBytes + kSlack);
  EXPECT_GE(high + kSlack, freeBytes);
}

TEST(GetDiskSpace, NullOutputsAndMissingDrives) {
  EXPECT_EQ(1, GetDiskSpace("D:\\", nullptr, nullptr, nullptr));
  uint64_t used = 0;
  EXPECT_EQ(1, GetDiskSpace("C:\\", nullptr, &used, nullptr));
  EXPECT_GT(used, 0u);

  // Only C: and D: exist in this prefix.
  uint64_t total = 11, usedOut = 22, freeOut = 33;
  EXPECT_EQ(0, GetDiskSpace("Q:\\", &total, &usedOut, &freeOut));
  EXPECT_EQ(11u, total);
  EXPECT_EQ(22u, usedOut);
  EXPECT_EQ(33u, freeOut);
  uint32_t cluster = 44;
  EXPECT_EQ(0, GetClusterSize("Q:\\", &cluster));
  EXPECT_EQ(44u, cluster);
}

TEST(GetClusterSize, IsTheClusterOfTheVolume) {
  uint32_t cluster = 0;
  ASSERT_EQ(1, GetClusterSize("D:\\", &cluster));
  DWORD sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("D:\\", &sectors, &bytes, &freeClusters, &totalClusters));
  EXPECT_EQ(sectors * bytes, cluster);
  EXPECT_GE(cluster, 512u);
  EXPECT_EQ(0u, cluster & (cluster - 1)) << cluster << " is not a power of two";
}

// The token's own view of SeDebugPrivilege: -1 absent, else its attributes.
long DebugPrivilegeState() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -2;
  LUID debug;
  LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &debug);
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::string buffer(size, '\0');
  long state = -1;
  if (GetTokenInformation(token, TokenPrivileges, &buffer[0], size, &size)) {
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID& luid = privileges->Privileges[i].Luid;
      if (luid.LowPart == debug.LowPart && luid.HighPart == debug.HighPart)
        state = static_cast<long>(privileges->Privileges[i].Attributes);
    }
  }
  CloseHandle(token);
  return state;
}

TEST(SetDebugPrivilege, ReportsWhatTheTokenGives) {
  const long before = DebugPrivilegeState();
  ASSERT_NE(-2, before);
  const int held = before != -1;
  printf("token %s SeDebugPrivilege (attributes %ld)\n", held ? "holds" : "lacks", before);

  EXPECT_EQ(held, SetDebugPrivilege(1));
  if (held) {
    EXPECT_NE(0, DebugPrivilegeState() & SE_PRIVILEGE_ENABLED);
  }
  EXPECT_EQ(held, SetDebugPrivilege(0));
  EXPECT_EQ(held ? 0 : -1, DebugPrivilegeState() & ~SE_PRIVILEGE_ENABLED_BY_DEFAULT);
}

// Runs last: it takes the privilege out of this process's token for good.
TEST(SetDebugPrivilege, TokenWithoutThePrivilegeGivesZeroAndStaysWithout) {
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES removal = {};
  removal.PrivilegeCount = 1;
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &removal.Privileges[0].Luid));
  removal.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
  AdjustTokenPrivileges(token, FALSE, &removal, sizeof removal, nullptr, nullptr);
  CloseHandle(token);
  ASSERT_EQ(-1, DebugPrivilegeState()) << "the token kept the privilege";

  EXPECT_EQ(0, SetDebugPrivilege(1));
  EXPECT_EQ(-1, DebugPrivilegeState());
  EXPECT_EQ(0, SetDebugPrivilege(0));
  EXPECT_EQ(-1, DebugPrivilegeState());
}

}  // namespace
