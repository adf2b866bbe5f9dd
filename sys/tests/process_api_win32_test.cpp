// ProcessApi under Wine: the OS family table, run-time binding, the system
// directory field, table release and the identity query behind aliased ids.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "sys/handle_win32.h"
#include "sys/process_api_win32.h"

namespace {

TEST(ProcessOsKind, FamiliesFromTheVersionWord) {
  struct Row {
    uint32_t version;
    uint16_t kind;
    const char* what;
  } rows[] = {
      {0xC0000A04u, 0, "Windows 98 (high bit)"},
      {0x80000004u, 0, "Windows 95"},
      {0x05650004u, 1, "NT 4.0"},
      {0x00000000u, 1, "low word 0"},
      {0x08930005u, 2, "Windows 2000"},
      {0x0A280105u, 2, "XP"},
      {0x00003303u, 2, "NT 3.51 reads as 0x3303"},
      {0x7FFF0004u, 1, "build bits do not matter"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.kind, ProcessOsKind(row.version)) << row.what;
}

TEST(ProcessApi, ConstructionBindsToolhelpAndFillsTheFields) {
  ProcessApi api;
  ASSERT_NE(nullptr, api.workBuffer);
  ASSERT_NE(nullptr, api.processTable);
  EXPECT_EQ(0u, api.entryCount);
  EXPECT_EQ(32, api.tableCapacity);
  EXPECT_EQ(INVALID_HANDLE_VALUE, api.snapshot);
  EXPECT_EQ(2, api.osKind);
  EXPECT_NE(nullptr, api.kernel32Module);
  EXPECT_NE(nullptr, api.CreateToolhelp32Snapshot);
  EXPECT_NE(nullptr, api.Module32First);
  EXPECT_NE(nullptr, api.Module32Next);
  EXPECT_NE(nullptr, api.Process32First);
  EXPECT_NE(nullptr, api.NtQueryInformationProcess);

  size_t length = std::strlen(api.systemDirectory);
  ASSERT_GT(length, 3u);
  EXPECT_EQ('\\', api.systemDirectory[length - 1]);
  for (size_t i = 0; i < length; ++i)
    EXPECT_FALSE(std::islower(static_cast<unsigned char>(api.systemDirectory[i]))) << api.systemDirectory;
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, sizeof system), 0u);
  EXPECT_EQ(0, _strnicmp(system, api.systemDirectory, std::strlen(system)));
}

TEST(ProcessApi, FreeProcessTableReleasesOwnedBlocksOnce) {
  ProcessApi api;
  ASSERT_NE(nullptr, api.processTable);
  api.processTable[0].ownedBlock = new unsigned char[16];
  api.processTable[1].ownedBlock = nullptr;
  api.entryCount = 2;
  api.FreeProcessTable();
  EXPECT_EQ(nullptr, api.processTable);
  EXPECT_EQ(0u, api.entryCount);
  api.FreeProcessTable();
  EXPECT_EQ(nullptr, api.processTable);
}

TEST(ProcessApi, ModuleSnapshotOfOwnProcessNamesItsExecutable) {
  ProcessApi api;
  DWORD self = GetCurrentProcessId();
  HANDLE snapshot = api.CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, self);
  ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
  MODULEENTRY32 module;
  module.dwSize = sizeof module;
  ASSERT_TRUE(api.Module32First(snapshot, &module));
  EXPECT_EQ(self, module.th32ProcessID);
  EXPECT_NE(nullptr, std::strstr(module.szExePath, ".exe")) << module.szExePath;
  CloseHandle(snapshot);
}

// NT (and Wine) ignore the low two bits of a process id: every alias of our
// own id must report the same real id.
TEST(QueryProcessId, AliasedIdsReachTheSameProcess) {
  ProcessApi api;
  DWORD self = GetCurrentProcessId();
  ASSERT_EQ(0u, self & 3);
  for (DWORD alias = self; alias < self + 4; ++alias) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, alias);
    ASSERT_NE(nullptr, process) << "alias " << alias;
    DWORD real = 0;
    EXPECT_EQ(1, QueryProcessId(api, process, &real)) << "alias " << alias;
    EXPECT_EQ(self, real) << "alias " << alias;
    CloseHandle(process);
  }
  HANDLE terminateOnly = OpenProcess(PROCESS_TERMINATE, FALSE, self);
  ASSERT_NE(nullptr, terminateOnly);
  DWORD untouched = 12345;
  // A handle without query access cannot tell; the output stays as it was.
  if (!QueryProcessId(api, terminateOnly, &untouched)) {
    EXPECT_EQ(12345u, untouched);
  }
  CloseHandle(terminateOnly);
}


// Open while some owner holds it; closed when the last owner lets go.
bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

TEST(OwnedHandle, ClosesOnceWhenItsOwnerGoesOrResets) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(first && second);
  {
    OwnedHandle owner(first);
    EXPECT_TRUE(owner.valid());
    owner.reset(second);  // the first goes now, the second with the owner
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));
    EXPECT_EQ(second, owner.get());
  }
  EXPECT_FALSE(IsOpen(second));

  HANDLE kept = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    OwnedHandle owner(kept);
    EXPECT_EQ(kept, owner.release());
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_TRUE(IsOpen(kept));
  CloseHandle(kept);

  // Each API's "none" holds nothing and closes nothing.
  OwnedHandle none(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(none.valid());
  EXPECT_FALSE(OwnedHandle().valid());
}

}  // namespace
