// quellix-scan.exe end to end under Wine: the program runs on drives D: and
// E: (test folders the driver maps) planted with forged specimens and
// decoys, with each action, and the files, the Run values, the restore
// file imported again with regedit, the quarantine and its way back, the
// exit statuses, Ctrl+C and signature lists are checked from outside.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/fingerprint.h"
#include "engine/signature_table.h"
#include "engine/sha256.h"
#include "scan/memory_pass_win32.h"
#include "scan/tests/scan_harness_win32.h"

using namespace scantest;

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

using Outcome = ConsoleRun;

// Runs quellix-scan.exe with `arguments`; `during` (if given) is called
// once the program has started, with its process.
Outcome RunScanner(const std::string& arguments, DWORD flags = 0,
                   const std::function<void(const PROCESS_INFORMATION&)>& during = nullptr) {
  return RunConsoleProgram("\"" + ProgramDirectory() + "quellix-scan.exe\" " + arguments,
                           ProgramDirectory() + "scanner-output.txt", 240000, flags, during);
}

void Plant(const std::string& path, const std::vector<unsigned char>& bytes) {
  ASSERT_TRUE(MakeDirectories(path.substr(0, path.rfind('\\')))) << path;
  ASSERT_TRUE(WriteFileBytes(path, bytes)) << path;
}

std::string RestoreFilePath() {
  char temp[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("TEMP", temp, sizeof temp);
  std::string path(temp, length);
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path + "QuellixRemover-restore.reg";
}

bool SetUserRunValue(const std::string& user, const std::string& name, const std::string& data) {
  HKEY key;
  if (RegCreateKeyA(HKEY_USERS, (user + "\\" + kRunKey).c_str(), &key) != ERROR_SUCCESS) return false;
  LONG result = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

// HKEY_LOCAL_MACHINE's Run key in the registry view other than this
// process's: the 32-bit one of a 64-bit build, the 64-bit one under WOW64.
#ifdef _WIN64
const REGSAM kOtherView = KEY_WOW64_32KEY;
#else
const REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

bool SetOtherViewRunValue(const std::string& name, const std::string& data) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS | kOtherView, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool HasOtherViewRunValue(const std::string& name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE | kOtherView, &key) != ERROR_SUCCESS) return false;
  LONG result = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool HasUserRunValue(const std::string& user, const std::string& name) {
  HKEY key;
  if (RegOpenKeyA(HKEY_USERS, (user + "\\" + kRunKey).c_str(), &key) != ERROR_SUCCESS) return false;
  LONG result = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Sha256Text(const void* data, size_t length) {
  unsigned char digest[kSha256DigestSize];
  char hex[kSha256HexSize];
  Sha256State sha;
  BeginSha256(&sha);
  AddSha256(&sha, data, length);
  EndSha256(&sha, digest);
  Sha256Hex(digest, hex);
  return hex;
}

// A few KiB of plain text, of a size no built-in row has.
std::vector<unsigned char> HarmlessText() {
  std::string text;
  for (int line = 0; text.size() < 5000; ++line) text += "line " + std::to_string(line) + " of a harmless note\r\n";
  SignatureTable builtIn = BuiltInSignatures();
  for (uint32_t i = 0; i < builtIn.count; ++i) EXPECT_NE(builtIn.rows[i].fileSize, text.size());
  return Bytes(text);
}

// The line of a signature list that names `bytes`: this family's row as
// `fingerprint --list` prints it, or a `sha256:size:name` row. Lists written
// on Windows end their lines in CR LF.
std::string ListRow(const char* name, const std::vector<unsigned char>& bytes, bool hashRow) {
  uint32_t size = static_cast<uint32_t>(bytes.size());
  char line[160];
  if (hashRow) {
    snprintf(line, sizeof line, "%s:%u:%s\r\n", Sha256Text(bytes.data(), size).c_str(), size, name);
  } else {
    FileFingerprint measured = FingerprintBytes(bytes.data(), size);
    snprintf(line, sizeof line, "%s\t%u\t0x%08X\t0x%08X\r\n", name, size, measured.weightedSum, measured.headSum);
  }
  return line;
}

class QuellixScanExe : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentDirectoryA("C:\\");
    RemoveTree("D:\\");
    RemoveTree("E:\\");
    DeleteFileA(RestoreFilePath().c_str());
    // This host's key, in the test's own folder.
    SetEnvironmentVariableA("QUELLIX_SCAN_KEY", (ProgramDirectory() + "quarantine.key").c_str());
  }
  void TearDown() override {
    for (Process& process : processes_) Stop(&process);
    RemoveTree("D:\\");
    RemoveTree("E:\\");
  }
  std::vector<Process> processes_;
};

TEST_F(QuellixScanExe, UsageHelpAndVersion) {
  struct Case {
    const char* arguments;
    DWORD status;
    const char* said;
  } const cases[] = {
      {"--bogus", 64, "unknown option '--bogus'"},
      {"--remove --quarantine E:\\q", 64, "exclude each other"},
      {"--windows-root C:\\ D:\\", 64, "--windows-root applies to quellix-scan only"},
      {"restore --remove E:\\q", 64, "restore takes only"},
      {"--help", 0, "--all-users"},
      {"/?", 0, "--no-memory         do not examine the running processes"},
      {"--version", 0, "quellix-scan.exe "},
      {"-qV", 0, "quellix-scan.exe "},
      {"--no-m --al --quie -r -V", 0, "quellix-scan.exe "},
      {"--fo", 64, "--force belongs to restore"},
  };
  for (const Case& c : cases) {
    Outcome run = RunScanner(c.arguments);
    EXPECT_EQ(c.status, run.status) << c.arguments << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, c.said)) << c.arguments << "\n" << run.output;
  }
}

TEST_F(QuellixScanExe, DetectionOnlyChangesNothingAndExitStatusesTellWhatWasFound) {
  std::vector<unsigned char> specimen = Specimen(0, 1), decoy = Decoy(0, 2);
  Plant("D:\\clean\\decoy.exe", decoy);
  Outcome clean = RunScanner("--no-memory D:\\clean");
  EXPECT_EQ(0u, clean.status) << clean.output;
  EXPECT_TRUE(Contains(clean.output, "Files examined: 1")) << clean.output;

  Plant("D:\\found\\sub\\worm.exe", specimen);
  Plant("D:\\found\\decoy.exe", decoy);
  Outcome found = RunScanner("--no-memory --json E:\\rows.jsonl D:\\found");
  EXPECT_EQ(1u, found.status) << found.output;
  EXPECT_TRUE(Contains(found.output, "D:\\found\\sub\\worm.exe: " + std::string(kSignatureTable[0].detectionName) +
                                         " (left in place)"))
      << found.output;
  EXPECT_EQ(specimen, ReadFileBytes("D:\\found\\sub\\worm.exe"));
  EXPECT_EQ(decoy, ReadFileBytes("D:\\found\\decoy.exe"));
  std::string json = Slurp("E:\\rows.jsonl");
  EXPECT_TRUE(Contains(json, "{\"type\":\"detection\",\"path\":\"D:\\\\found\\\\sub\\\\worm.exe\"")) << json;
  EXPECT_TRUE(Contains(json, "\"action\":\"left_in_place\"")) << json;
  EXPECT_TRUE(Contains(json, "\"exit_status\":1}")) << json;

  // A PATH that is not there could not be examined.
  Outcome missing = RunScanner("--no-memory D:\\found D:\\nothing-here");
  EXPECT_EQ(2u, missing.status) << missing.output;
  EXPECT_TRUE(Contains(missing.output, "Not examined: 1")) << missing.output;
  EXPECT_TRUE(Contains(missing.output, "D:\\nothing-here: not examined (")) << missing.output;

  // A worm that nobody may read is no clean file: not examined, exit 2.
  Plant("D:\\locked\\worm.exe", specimen);
  Process holder = HoldFile("D:\\locked\\worm.exe", true);
  ASSERT_NE(nullptr, holder.handle);
  processes_.push_back(holder);
  Outcome locked = RunScanner("--no-memory D:\\locked");
  EXPECT_EQ(2u, locked.status) << locked.output;
  EXPECT_TRUE(Contains(locked.output, "D:\\locked\\worm.exe: not examined (")) << locked.output;
}

// --exclude with Windows' case rules, --log appended to across runs through
// the file opened without following a link, the JSON run record, and a
// folder with no file in it, which is no clean disk.
TEST_F(QuellixScanExe, ExcludeLogAndTheRunRecord) {
  std::vector<unsigned char> specimen = Specimen(0, 1);
  Plant("D:\\x\\Temp\\w.exe", specimen);
  Plant("D:\\x\\keep\\w2.exe", specimen);
  Outcome first = RunScanner("--no-memory -q -x temp\\* -l E:\\scan.log -j E:\\run.jsonl D:\\x");
  EXPECT_EQ(1u, first.status) << first.output;
  EXPECT_TRUE(Contains(first.output, "D:\\x\\keep\\w2.exe: ")) << first.output;
  EXPECT_FALSE(Contains(first.output, "D:\\x\\Temp\\w.exe")) << first.output;
  EXPECT_TRUE(Contains(first.output, "Excluded: 1")) << first.output;
  std::string json = Slurp("E:\\run.jsonl");
  EXPECT_EQ(0u, json.find("{\"type\":\"run\",\"tool\":\"quellix-scan.exe\",\"version\":\"")) << json;
  EXPECT_TRUE(Contains(json, "\"action\":\"detect\",\"builtin_rows\":")) << json;
  EXPECT_TRUE(Contains(json, "\"signature_lists\":0}\n{\"type\":\"root\",\"path\":\"D:\\\\x\"}")) << json;
  EXPECT_TRUE(Contains(json, "\"excluded\":1,")) << json;

  Outcome second = RunScanner("--no-memory --log=E:\\scan.log D:\\x\\Temp");
  EXPECT_EQ(1u, second.status) << second.output;
  std::string log = Slurp("E:\\scan.log");
  size_t firstRun = log.find("==== "), secondRun = log.find("==== ", firstRun + 1);
  ASSERT_NE(std::string::npos, secondRun) << log;
  EXPECT_TRUE(Contains(log.substr(0, secondRun), "D:\\x\\keep\\w2.exe: ")) << log;
  EXPECT_TRUE(Contains(log.substr(secondRun), "D:\\x\\Temp\\w.exe: ")) << log;
  EXPECT_TRUE(Contains(log, " quellix-scan.exe ")) << log;
  EXPECT_TRUE(Contains(log, "Exit status: 1")) << log;
  // --json writes a new file only: the first run's is left as it was.
  Outcome again = RunScanner("--no-memory -q -j E:\\run.jsonl D:\\x");
  EXPECT_EQ(2u, again.status) << again.output;
  EXPECT_TRUE(Contains(again.output, "it exists already")) << again.output;
  EXPECT_EQ(json, Slurp("E:\\run.jsonl"));

  ASSERT_TRUE(MakeDirectories("D:\\empty"));
  Outcome empty = RunScanner("--no-memory D:\\empty");
  EXPECT_EQ(2u, empty.status) << empty.output;
  EXPECT_TRUE(Contains(empty.output, "Nothing was examined")) << empty.output;
}

TEST_F(QuellixScanExe, RemoveTakesTheFileAndItsRunValuesWhichTheRestoreFileBringsBack) {
  Plant("D:\\r\\worm.exe", Specimen(1, 3));
  Plant("D:\\r\\decoy.exe", Decoy(1, 4));
  ASSERT_TRUE(SetRunValue("QxWorm", "\"D:\\r\\worm.exe\" /background"));
  ASSERT_TRUE(SetRunValue("QxDecoy", "D:\\r\\decoy.exe"));
  ASSERT_TRUE(SetUserRunValue(".Default", "QxOtherUser", "D:\\r\\worm.exe"));

  Outcome run = RunScanner("--remove --no-memory D:\\r");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "D:\\r\\worm.exe: " + std::string(kSignatureTable[1].detectionName) + " (removed)"))
      << run.output;
  EXPECT_FALSE(Exists("D:\\r\\worm.exe"));
  EXPECT_TRUE(Exists("D:\\r\\decoy.exe"));
  EXPECT_FALSE(HasRunValue("QxWorm"));
  EXPECT_TRUE(HasRunValue("QxDecoy"));
  // Another user's hive only with --all-users.
  EXPECT_TRUE(HasUserRunValue(".Default", "QxOtherUser"));

  std::string restore = RestoreFilePath();
  std::string saved = Slurp(restore);
  EXPECT_TRUE(Contains(saved, "REGEDIT4")) << saved;
  EXPECT_TRUE(Contains(saved, "\"QxWorm\"=")) << saved;
  EXPECT_FALSE(Contains(saved, "QxDecoy")) << saved;
  Process regedit = StartProcess("regedit.exe /s \"" + restore + "\"", "C:\\");
  ASSERT_NE(nullptr, regedit.handle);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(regedit.handle, 60000));
  Stop(&regedit);
  EXPECT_TRUE(HasRunValue("QxWorm"));

  Plant("D:\\r\\worm.exe", Specimen(1, 3));
  Outcome all = RunScanner("--remove --no-memory --all-users D:\\r");
  EXPECT_EQ(1u, all.status) << all.output;
  EXPECT_FALSE(HasRunValue("QxWorm"));
  EXPECT_FALSE(HasUserRunValue(".Default", "QxOtherUser"));
  EXPECT_TRUE(HasRunValue("QxDecoy"));
  EXPECT_TRUE(Contains(Slurp(restore), "[HKEY_USERS\\.Default\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]"))
      << Slurp(restore);
  DeleteRunValue("QxDecoy");
}

// HKEY_LOCAL_MACHINE's Run key by the same rule as the user's: a
// detection-only run shows what would go and changes nothing; a writing run
// deletes it after saving it, and the clean value beside it stays.
TEST_F(QuellixScanExe, TheMachinesRunValuesArePreviewedThenDeleted) {
  Plant("D:\\m\\worm.exe", Specimen(1, 3));
  ASSERT_TRUE(SetRunValue("QxMachineWorm", "D:\\m\\worm.exe -q", HKEY_LOCAL_MACHINE));
  ASSERT_TRUE(SetRunValue("QxMachineClean", "D:\\m\\wormy.exe", HKEY_LOCAL_MACHINE));
  ASSERT_TRUE(SetRunValue("QxUserWorm", "D:\\m\\worm.exe"));

  Outcome look = RunScanner("--no-memory D:\\m");
  EXPECT_EQ(1u, look.status) << look.output;
  EXPECT_TRUE(Contains(look.output,
                       "HKEY_LOCAL_MACHINE: Run value \"QxMachineWorm\" would be deleted (D:\\m\\worm.exe -q)"))
      << look.output;
  EXPECT_TRUE(Contains(look.output, "Run values a writing run would delete: 2")) << look.output;
  EXPECT_TRUE(HasRunValue("QxMachineWorm", HKEY_LOCAL_MACHINE));
  EXPECT_TRUE(HasRunValue("QxUserWorm"));
  EXPECT_FALSE(Exists(RestoreFilePath()));

  Outcome run = RunScanner("--remove --no-memory D:\\m");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "Run values deleted: 2 in 2 hive(s)")) << run.output;
  EXPECT_FALSE(HasRunValue("QxMachineWorm", HKEY_LOCAL_MACHINE));
  EXPECT_TRUE(HasRunValue("QxMachineClean", HKEY_LOCAL_MACHINE));
  EXPECT_FALSE(HasRunValue("QxUserWorm"));
  EXPECT_TRUE(Contains(Slurp(RestoreFilePath()),
                       "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]"))
      << Slurp(RestoreFilePath());
  DeleteRunValue("QxMachineClean", HKEY_LOCAL_MACHINE);

  // The other registry view's machine key too, named as regedit finds it.
#ifdef _WIN64
  const bool twoViews = true;
#else
  BOOL wow64 = FALSE;
  const bool twoViews = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
  if (!twoViews) return;
  Plant("D:\\m\\worm.exe", Specimen(1, 3));
  ASSERT_TRUE(SetOtherViewRunValue("QxViewWorm", "D:\\m\\worm.exe"));
  Outcome view = RunScanner("--remove --no-memory D:\\m");
  EXPECT_EQ(1u, view.status) << view.output;
  EXPECT_FALSE(HasOtherViewRunValue("QxViewWorm")) << view.output;
#ifdef _WIN64
  EXPECT_TRUE(Contains(Slurp(RestoreFilePath()),
                       "[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run]"))
      << Slurp(RestoreFilePath());
#endif
}

TEST_F(QuellixScanExe, QuarantineRoundTrip) {
  std::vector<unsigned char> first = Specimen(2, 5), second = Specimen(0, 6);
  Plant("D:\\q\\a\\worm.exe", first);
  Plant("D:\\q\\b\\worm.exe", second);
  ASSERT_TRUE(SetFileAttributesA("D:\\q\\a\\worm.exe", FILE_ATTRIBUTE_HIDDEN));
  Outcome run = RunScanner("--quarantine E:\\quarantine --no-memory D:\\q");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "D:\\q\\a\\worm.exe: " + std::string(kSignatureTable[2].detectionName) +
                                       " (quarantined)"))
      << run.output;
  EXPECT_FALSE(Exists("D:\\q\\a\\worm.exe"));
  EXPECT_FALSE(Exists("D:\\q\\b\\worm.exe"));
  std::string manifest = Slurp("E:\\quarantine\\manifest.jsonl");
  EXPECT_TRUE(Contains(manifest, "\"root\":\"D:\\\\q\\\\\",\"root_device\":")) << manifest;
  EXPECT_TRUE(Contains(manifest, "\"relative\":\"a/worm.exe\"")) << manifest;

  Outcome list = RunScanner("restore --list E:\\quarantine");
  EXPECT_EQ(0u, list.status) << list.output;
  EXPECT_TRUE(Contains(list.output, "D:\\q\\a\\worm.exe")) << list.output;
  EXPECT_TRUE(Contains(list.output, "D:\\q\\b\\worm.exe")) << list.output;
  EXPECT_FALSE(Exists("D:\\q\\a\\worm.exe"));

  Outcome one = RunScanner("restore --only D:\\q\\b\\worm.exe E:\\quarantine");
  EXPECT_EQ(0u, one.status) << one.output;
  EXPECT_EQ(second, ReadFileBytes("D:\\q\\b\\worm.exe"));
  EXPECT_FALSE(Exists("D:\\q\\a\\worm.exe"));

  Outcome rest = RunScanner("restore E:\\quarantine");
  EXPECT_EQ(0u, rest.status) << rest.output;
  EXPECT_TRUE(Contains(rest.output, "D:\\q\\a\\worm.exe: restored")) << rest.output;
  EXPECT_EQ(first, ReadFileBytes("D:\\q\\a\\worm.exe"));
  EXPECT_TRUE(GetFileAttributesA("D:\\q\\a\\worm.exe") & FILE_ATTRIBUTE_HIDDEN);

  Outcome twice = RunScanner("restore E:\\quarantine");
  EXPECT_EQ(0u, twice.status) << twice.output;
  EXPECT_TRUE(Contains(twice.output, "D:\\q\\a\\worm.exe: already restored")) << twice.output;
  EXPECT_TRUE(Contains(twice.output, "D:\\q\\b\\worm.exe: already restored")) << twice.output;
}

// The copies carry a header: a later scan, even one that removes, finds
// nothing in the folder and takes nothing from it.
TEST_F(QuellixScanExe, AQuarantinedCopyIsNoDetection) {
  Plant("D:\\c\\worm.exe", Specimen(1, 7));
  Outcome run = RunScanner("--quarantine E:\\quarantine --no-memory D:\\c");
  EXPECT_EQ(1u, run.status) << run.output;
  std::vector<std::string> copies = WalkOrder("E:\\quarantine\\");
  ASSERT_FALSE(copies.empty());
  Outcome again = RunScanner("--remove --no-memory E:\\quarantine");
  EXPECT_EQ(0u, again.status) << again.output;
  EXPECT_EQ(copies, WalkOrder("E:\\quarantine\\"));
}

// The quarantine folder is left out of the walk by what it is, not by how
// a path spells it: here it is named by its 8.3 name.
TEST_F(QuellixScanExe, TheQuarantineFolderIsNotScannedUnderAnotherName) {
  ASSERT_TRUE(MakeDirectories("D:\\store\\Quarantine Folder"));
  char shortName[MAX_PATH];
  DWORD length = GetShortPathNameA("D:\\store\\Quarantine Folder", shortName, sizeof shortName);
  if (length == 0 || length >= sizeof shortName || std::string(shortName) == "D:\\store\\Quarantine Folder") {
    printf("no 8.3 names here: this test is not run\n");
    return;
  }
  Plant("D:\\store\\Quarantine Folder\\kept.exe", Specimen(0, 8));
  Plant("D:\\store\\clean.txt", {'c', 'l', 'e', 'a', 'n'});
  Outcome run = RunScanner("--quarantine \"" + std::string(shortName) + "\" --no-memory D:\\store");
  EXPECT_EQ(0u, run.status) << run.output;
  EXPECT_TRUE(Exists("D:\\store\\Quarantine Folder\\kept.exe"));
  EXPECT_TRUE(Contains(run.output, "Files examined: 1")) << run.output;
}

// A folder whose manifest this host did not write: its lines are not
// followed anywhere, and it is not added to.
TEST_F(QuellixScanExe, AManifestThisHostDidNotWriteDecidesNothing) {
  std::string content = "planted library";
  // A copy as this tool writes them: its header, then the bytes.
  std::string held = std::string("QUELLIX-COPY-1\n", 16) + content;
  std::vector<unsigned char> copy(held.begin(), held.end());
  std::string hex = Sha256Text(content.data(), content.size());
  ASSERT_TRUE(MakeDirectories("E:\\hostile"));
  ASSERT_TRUE(WriteFileBytes("E:\\hostile\\.quellix-quarantine", {}));
  ASSERT_TRUE(WriteFileBytes("E:\\hostile\\" + hex, copy));
  std::string line = std::string("{\"v\":3,\"id\":\"x/1\",\"run\":\"x\",\"path\":\"C:\\\\windows\\\\system32\\\\planted.dll\",") +
                     "\"root\":\"C:\\\\\",\"relative\":\"windows/system32/planted.dll\",\"size\":" +
                     std::to_string(content.size()) + ",\"detection\":\"Worm.Test\",\"sha256\":\"" + hex +
                     "\",\"quarantined\":\"2024-01-01T00:00:00Z\",\"mac\":\"" + std::string(64, '0') + "\"}\n";
  ASSERT_TRUE(WriteFileBytes("E:\\hostile\\manifest.jsonl", std::vector<unsigned char>(line.begin(), line.end())));

  Outcome restore = RunScanner("restore E:\\hostile");
  EXPECT_EQ(2u, restore.status) << restore.output;
  EXPECT_TRUE(Contains(restore.output, "--to")) << restore.output;
  EXPECT_FALSE(Exists("C:\\windows\\system32\\planted.dll"));

  // Named by the person, it goes beneath that root and nowhere else.
  ASSERT_TRUE(MakeDirectories("D:\\to\\windows\\system32"));
  Outcome beneath = RunScanner("restore --to D:\\to E:\\hostile");
  EXPECT_EQ(0u, beneath.status) << beneath.output;
  EXPECT_EQ(std::vector<unsigned char>(content.begin(), content.end()),
            ReadFileBytes("D:\\to\\windows\\system32\\planted.dll"));
  EXPECT_FALSE(Exists("C:\\windows\\system32\\planted.dll"));

  Plant("D:\\h\\worm.exe", Specimen(0, 9));
  Outcome into = RunScanner("--quarantine E:\\hostile --no-memory D:\\h");
  EXPECT_EQ(2u, into.status) << into.output;
  EXPECT_TRUE(Contains(into.output, "E:\\hostile")) << into.output;
  EXPECT_TRUE(Exists("D:\\h\\worm.exe"));
  EXPECT_EQ(line, Slurp("E:\\hostile\\manifest.jsonl"));
}

// A line longer than any fixed buffer of the old reading is still one entry.
TEST_F(QuellixScanExe, ALongManifestLineIsOneEntry) {
  Plant("D:\\long\\worm.exe", Specimen(2, 10));
  Outcome run = RunScanner("--quarantine E:\\quarantine --no-memory D:\\long");
  EXPECT_EQ(1u, run.status) << run.output;
  std::string manifest = Slurp("E:\\quarantine\\manifest.jsonl");
  ASSERT_EQ(0u, manifest.find("{\"v\":3,")) << manifest;
  // Unproven once changed: it goes back only beneath a named root.
  std::string padded = "{\"pad\":\"" + std::string(12000, 'p') + "\"," + manifest.substr(1);
  ASSERT_TRUE(WriteFileBytes("E:\\quarantine\\manifest.jsonl", std::vector<unsigned char>(padded.begin(), padded.end())));
  ASSERT_TRUE(MakeDirectories("D:\\to"));
  Outcome back = RunScanner("restore --to D:\\to E:\\quarantine");
  EXPECT_EQ(0u, back.status) << back.output;
  EXPECT_TRUE(Contains(back.output, "Restored: 1")) << back.output;
  EXPECT_TRUE(Contains(back.output, "Not restored: 0")) << back.output;
  EXPECT_EQ(Specimen(2, 10), ReadFileBytes("D:\\to\\worm.exe"));
}

TEST_F(QuellixScanExe, FileInUseIsRemovedAtRestart) {
  Plant("D:\\held\\worm.exe", Specimen(0, 7));
  Process holder = HoldFile("D:\\held\\worm.exe");
  ASSERT_NE(nullptr, holder.handle);
  processes_.push_back(holder);
  Outcome run = RunScanner("--remove --no-memory D:\\held");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "D:\\held\\worm.exe: " + std::string(kSignatureTable[0].detectionName) +
                                       " (removed at restart)"))
      << run.output;
  EXPECT_TRUE(Contains(run.output, "Restart needed: 1 file(s)")) << run.output;
  EXPECT_TRUE(Contains(PendingRenames(), "held\\worm.exe")) << PendingRenames();
}

TEST_F(QuellixScanExe, MemoryPassTerminatesTheResidentWormOnlyWhenAskedToChange) {
  std::vector<unsigned char> image = ReadFileBytes(ProgramDirectory() + "scan_sleeper.exe");
  std::vector<unsigned char> padded = PaddedSpecimen(8, image);
  ASSERT_EQ(kSignatureTable[8].fileSize, padded.size());
  Plant("D:\\resident\\drimo.exe", padded);
  Process resident = StartProcess("\"D:\\resident\\drimo.exe\"", "D:\\resident\\");
  ASSERT_NE(nullptr, resident.handle);
  processes_.push_back(resident);
  Sleep(500);

  // D:\ whole: the memory pass takes the resident folder away with its file.
  Outcome look = RunScanner("D:\\");
  EXPECT_EQ(1u, look.status) << look.output;
  EXPECT_TRUE(StillRunning(resident));
  EXPECT_TRUE(Exists("D:\\resident\\drimo.exe"));

  Outcome run = RunScanner("--remove --json E:\\memory.jsonl D:\\");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_FALSE(StillRunning(resident));
  EXPECT_FALSE(Exists("D:\\resident\\drimo.exe"));
  EXPECT_TRUE(Contains(Slurp("E:\\memory.jsonl"), "\"pass\":\"memory\"")) << Slurp("E:\\memory.jsonl");
}

// ---- signature lists (--signatures) ----

// A harmless file measured here and its row put in a list on E:, in each
// kind of row: the file is quarantined and its twin of one changed byte
// stays; the restore brings it back byte for byte.
TEST_F(QuellixScanExe, AListRowFindsQuarantinesAndRestoresAHarmlessFile) {
  const std::vector<unsigned char> bytes = HarmlessText();
  std::vector<unsigned char> twin = bytes;
  twin[4000] ^= 1;
  struct Case {
    const char* name;
    bool hashRow;
  } const cases[] = {{"Test.Harmless.a", false}, {"Test.Harmless.h", true}};
  for (const Case& c : cases) {
    RemoveTree("D:\\");
    RemoveTree("E:\\");
    Plant("D:\\l\\tool\\harmless.txt", bytes);
    Plant("D:\\l\\twin.txt", twin);
    Plant("E:\\list.txt", Bytes("# measured on this machine\r\n\r\n" + ListRow(c.name, bytes, c.hashRow)));
    Outcome run = RunScanner("--no-memory --signatures E:\\list.txt --quarantine E:\\q D:\\l");
    EXPECT_EQ(1u, run.status) << c.name << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, "D:\\l\\tool\\harmless.txt: " + std::string(c.name) + " (quarantined)"))
        << run.output;
    EXPECT_FALSE(Contains(run.output, "twin.txt")) << run.output;
    EXPECT_FALSE(Exists("D:\\l\\tool\\harmless.txt")) << c.name;
    EXPECT_EQ(twin, ReadFileBytes("D:\\l\\twin.txt")) << c.name;

    Outcome back = RunScanner("restore E:\\q");
    EXPECT_EQ(0u, back.status) << c.name << "\n" << back.output;
    EXPECT_EQ(bytes, ReadFileBytes("D:\\l\\tool\\harmless.txt")) << c.name;
  }
}

// One bad line refuses the run before anything is scanned: the good row
// before it takes nothing and no quarantine is made.
TEST_F(QuellixScanExe, AListWithABadLineIsRefusedAndNothingIsScanned) {
  const std::vector<unsigned char> bytes = HarmlessText();
  Plant("D:\\l\\harmless.txt", bytes);
  Plant("E:\\list.txt", Bytes(ListRow("Test.Harmless.a", bytes, false) + "Test.Bad 77 0x1 0x2\r\n"));
  Outcome run = RunScanner("--no-memory --signatures E:\\list.txt --quarantine E:\\q D:\\l");
  EXPECT_EQ(64u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "refusing the signature list E:\\list.txt:2: ")) << run.output;
  EXPECT_TRUE(Contains(run.output, "Nothing was scanned.")) << run.output;
  EXPECT_FALSE(Contains(run.output, "D:\\l\\")) << run.output;
  EXPECT_EQ(bytes, ReadFileBytes("D:\\l\\harmless.txt"));
  EXPECT_FALSE(Exists("E:\\q"));
}

// A running program whose row a list names as the resident variant is
// found by the memory pass as the built-in row would be: terminated and
// taken away. Without the list it is nothing.
TEST_F(QuellixScanExe, TheMemoryPassFindsARunningListedVariant) {
  std::vector<unsigned char> image = ReadFileBytes(ProgramDirectory() + "scan_sleeper.exe");
  ASSERT_FALSE(image.empty());
  Plant("D:\\listed\\sleeper.exe", image);
  Plant("E:\\list.txt", Bytes(ListRow(kResidentDetectionName, image, false)));
  Process resident = StartProcess("\"D:\\listed\\sleeper.exe\"", "D:\\listed\\");
  ASSERT_NE(nullptr, resident.handle);
  processes_.push_back(resident);
  Sleep(500);

  Outcome unlisted = RunScanner("--remove D:\\");
  EXPECT_EQ(0u, unlisted.status) << unlisted.output;
  EXPECT_TRUE(StillRunning(resident));

  Outcome run = RunScanner("--remove --signatures E:\\list.txt D:\\");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "D:\\listed\\sleeper.exe: " + std::string(kResidentDetectionName))) << run.output;
  EXPECT_FALSE(StillRunning(resident));
  EXPECT_FALSE(Exists("D:\\listed\\sleeper.exe"));
}

TEST_F(QuellixScanExe, CtrlCStopsTheScanWhichStillReportsThenEndsAsCtrlCEnds) {
  // Enough files for the walk to be under way when the event comes.
  std::vector<unsigned char> small(16, 'x');
  for (int d = 0; d < 60; ++d) {
    char directory[64];
    snprintf(directory, sizeof directory, "D:\\big\\%02d", d);
    ASSERT_TRUE(MakeDirectories(directory));
    for (int f = 0; f < 100; ++f) {
      char path[96];
      snprintf(path, sizeof path, "%s\\f%03d.txt", directory, f);
      ASSERT_TRUE(WriteFileBytes(path, small));
    }
  }
  Plant("D:\\big\\00\\worm.exe", Specimen(0, 9));
  // The scanner shares this program's console; Wine's bare console of a
  // program started without a terminal takes no control events, a console
  // of its own does. This program outlives the Ctrl+C it sends to all.
  FreeConsole();
  ASSERT_TRUE(AllocConsole()) << GetLastError();
  SetConsoleCtrlHandler(KeepRunning, TRUE);
  Outcome run = RunScanner("--remove --json E:\\stopped.jsonl D:\\big", 0, [](const PROCESS_INFORMATION&) {
    // The JSON file is made once the scanner's handler is in place.
    for (int wait = 0; wait < 200 && !Exists("E:\\stopped.jsonl"); ++wait) Sleep(50);
    Sleep(200);
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  });
  SetConsoleCtrlHandler(KeepRunning, FALSE);
  // Ended as Ctrl+C ends a program, after the report; the records say 2.
  EXPECT_EQ(static_cast<DWORD>(STATUS_CONTROL_C_EXIT), run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, "Stopped: the rest was not examined")) << run.output;
  EXPECT_TRUE(Contains(run.output, "SCAN SUMMARY")) << run.output;
  EXPECT_FALSE(Contains(run.output, "Files examined: 6001")) << "the walk was not cut short\n" << run.output;
  std::string json = Slurp("E:\\stopped.jsonl");
  EXPECT_TRUE(Contains(json, "\"stopped\":1")) << json;
  EXPECT_TRUE(Contains(json, "\"exit_status\":2}")) << json;
}

}  // namespace
