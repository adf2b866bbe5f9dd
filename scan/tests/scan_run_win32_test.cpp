// Whole scan runs under Wine on drives of their own: forged specimens,
// decoys, Run values, live forged processes, stop, failed removal, and the
// end of the run with its totals, as the recording report hears them (the
// dialog's words and boxes are the dialog's tests' business). The driver script
// maps D: and E: to empty test folders (C: is the prefix's own system drive).
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "engine/file_check_win32.h"
#include "engine/signature_table.h"
#include "remedy/removal_win32.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "scan/scan_run_win32.h"
#include "scan/scan_session.h"
#include "scan/tests/scan_harness_win32.h"
#include "walker/file_list_win32.h"

using namespace scantest;

namespace {

const char* const kDrives[] = {"D:\\", "E:\\"};

void CleanDrives() {
  SetCurrentDirectoryA("C:\\");
  for (const char* drive : kDrives) RemoveTree(drive);
}

std::vector<unsigned char> SleeperImage() {
  return ReadFileBytes(ProgramDirectory() + "scan_sleeper.exe");
}

// Plants `bytes` at `path` (directories made) with `attributes`.
void Plant(const std::string& path, const std::vector<unsigned char>& bytes, DWORD attributes = 0) {
  ASSERT_TRUE(MakeDirectories(path.substr(0, path.rfind('\\')))) << path;
  ASSERT_TRUE(WriteFileBytes(path, bytes)) << path;
  if (attributes) {
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
  }
}

void PlantWide(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(bytes.size(), written);
}

// A process started from its own directory whose file is the sleeper padded
// to carry `row`.
Process StartForged(const std::string& path, uint32_t row) {
  std::vector<unsigned char> image = SleeperImage();
  EXPECT_LT(image.size(), 16384u) << "the sleeper must leave the second block free";
  std::vector<unsigned char> padded = PaddedSpecimen(row, image);
  EXPECT_EQ(kSignatureTable[row].fileSize, padded.size());
  Plant(path, padded);
  return StartProcess("\"" + path + "\"", path.substr(0, path.rfind('\\') + 1));
}

// Modules the sweep must count: for each live process (one id each), its
// executable modules, as the module snapshot reports them.
uint32_t ExecutableModulesOfLiveProcesses() {
  uint32_t count = 0;
  HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(processes, &entry); more; more = Process32Next(processes, &entry)) {
    if (entry.th32ProcessID >= 0xFFFF) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (!process) continue;
    CloseHandle(process);
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, entry.th32ProcessID);
    if (modules == INVALID_HANDLE_VALUE) continue;
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    for (BOOL next = Module32First(modules, &module); next; next = Module32Next(modules, &module)) {
      if (module.th32ProcessID == entry.th32ProcessID && std::strstr(module.szExePath, ".exe")) ++count;
    }
    CloseHandle(modules);
  }
  CloseHandle(processes);
  return count;
}

int Occurrences(const std::vector<std::string>& texts, const std::string& text) {
  int count = 0;
  for (const std::string& each : texts) count += each == text;
  return count;
}

// The run ended once, its ledger agreeing with its rows (what the summary shows).
void ExpectEndedWith(const RunRecord& run) {
  ASSERT_EQ(1u, run.ends.size());
  const ScanTotals& totals = run.ends[0];
  EXPECT_EQ(totals.detections, totals.removed + totals.failures);
  uint32_t failedRows = 0;
  for (const Row& row : run.rows) failedRows += row.status == "Delete failed";
  EXPECT_EQ(run.rows.size(), totals.detections + totals.notExamined);
  EXPECT_EQ(failedRows, totals.failures);
  EXPECT_LE(totals.fileFailures, totals.failures);
}

std::string RowText(const Row& row) { return row.path + " | " + row.name + " | " + row.status; }

const char* const kRemoved = "Deleted";
const char* const kFailed = "Delete failed";

class ScanRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("QX_SCAN_NO_FIXED_DRIVE")) GTEST_SKIP() << "prefix without fixed drives";
    if (std::getenv("QX_SCAN_LINKED_DRIVE")) GTEST_SKIP() << "prefix with the linked drive";
    CleanDrives();
  }
  void TearDown() override {
    for (Process& process : processes_) Stop(&process);
    CleanDrives();
  }
  Process Keep(Process process) {
    processes_.push_back(process);
    return process;
  }
  std::vector<Process> processes_;
};

TEST_F(ScanRunTest, MemoryPassExaminesEachLiveProcessOnce) {
  std::vector<unsigned char> image = SleeperImage();
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    std::string path = "D:\\clean\\sleep" + std::to_string(i) + ".exe";
    Plant(path, image);
    ASSERT_NE(nullptr, Keep(StartProcess("\"" + path + "\"", "D:\\clean\\")).handle);
    paths.push_back(path);
  }
  Sleep(500);
  uint32_t expected = ExecutableModulesOfLiveProcesses();
  ScanRecorder recorder;
  RunRecord run = recorder.Run(MemoryPassOnly);
  ASSERT_TRUE(run.finished);
  EXPECT_GE(expected, 5u);  // the sleepers, Wine's own services, this program
  EXPECT_EQ(expected, run.counters.memoryModulesExamined);
  EXPECT_EQ(0u, run.counters.memoryDetections);
  EXPECT_TRUE(run.rows.empty());
  for (const std::string& path : paths) EXPECT_EQ(1, Occurrences(run.statusTexts, "Memory>>" + path)) << path;
  for (const Process& process : processes_) EXPECT_TRUE(StillRunning(process));
}

TEST_F(ScanRunTest, StopBeforeTheSweepOpensNoProcess) {
  Process resident = Keep(StartForged("D:\\early\\drimo.exe", 8));
  ASSERT_NE(nullptr, resident.handle);
  Sleep(300);
  ScanRecorder recorder;
  recorder.RequestStop();
  RunRecord run = recorder.Run(MemoryPassOnly);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.counters.memoryModulesExamined);
  EXPECT_TRUE(run.statusTexts.empty());
  EXPECT_TRUE(run.rows.empty());
  EXPECT_TRUE(StillRunning(resident));
  EXPECT_TRUE(Exists("D:\\early\\drimo.exe"));
}

// A directory of 250 characters leaves the companion's path one over the
// 259 that can be opened: the companion step is skipped, the rest happens.
TEST_F(ScanRunTest, CompanionPathTooLongIsSkipped) {
  std::string directory = "D:\\" + std::string(120, 'a') + "\\" + std::string(125, 'b') + "\\";
  ASSERT_EQ(250u, directory.size());
  std::string program = directory + "q.exe";
  Process resident = Keep(StartForged(program, 8));
  ASSERT_NE(nullptr, resident.handle);
  std::wstring companion = L"\\\\?\\" + std::wstring(directory.begin(), directory.end()) + L"m_hook.sys";
  PlantWide(companion, Specimen(0, 71));
  Sleep(300);
  ScanRecorder recorder;
  RunRecord run = recorder.Run(MemoryPassOnly);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(30583u, ExitCode(resident));
  ASSERT_EQ(1u, run.rows.size());
  EXPECT_EQ(RowText({program, "Worm.Mail.Drimo.qd", kRemoved}), RowText(run.rows[0]));
  EXPECT_FALSE(Exists(program));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(companion.c_str()));
  EXPECT_TRUE(Exists(directory));  // not empty, so it stays
  DeleteFileW(companion.c_str());
}

TEST_F(ScanRunTest, PlantedDrivesEndToEnd) {
  const DWORD hiddenReadOnly = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  // path -> expected detection name of the file pass
  std::map<std::string, std::string> specimens = {
      {"D:\\top_r0.exe", "Worm.Quellix.c"},
      {"D:\\docs\\a\\deep_r3.dll", "Worm.Quellix.c.dll2"},
      {"D:\\docs\\b\\c\\d\\r36.dat", "Worm.Quellix.aa.dlla.enc"},
      {"D:\\held\\held_r44.bin", "Worm.Quellix.ae.enc"},
      {"E:\\r71.bin", "Junk.Worm.Quellix"},
      {"E:\\nested\\deeper\\r96.bin", "Worm.Quellix.ay"},
      {"E:\\dropped\\late.exe", "Worm.Mail.Drimo.qd"},
  };
  Plant("D:\\top_r0.exe", Specimen(0, 11), hiddenReadOnly);
  Plant("D:\\docs\\a\\deep_r3.dll", Specimen(1, 12));
  Plant("D:\\docs\\b\\c\\d\\r36.dat", Specimen(2, 13), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  Plant("D:\\held\\held_r44.bin", Specimen(3, 14));
  Plant("E:\\r71.bin", Specimen(5, 15), hiddenReadOnly);
  Plant("E:\\nested\\deeper\\r96.bin", Specimen(6, 16));
  Plant("E:\\dropped\\late.exe", PaddedSpecimen(8, SleeperImage()));
  // A name outside the ANSI code page: the walk lists it with "?".
  ASSERT_TRUE(MakeDirectories("D:\\uni"));
  wchar_t odd[] = {L'D', L':', L'\\', L'u', L'n', L'i', L'\\', L'x', 0x4E2D, L'.', L'v', L'b', L's', 0};
  PlantWide(odd, Specimen(4, 17));
  specimens["D:\\uni\\x?.vbs"] = "Vbs.Worm.Quellix.ar";

  // Decoys and plain files must come through byte for byte, attributes kept.
  std::map<std::string, std::vector<unsigned char>> untouched = {
      {"D:\\decoy_r0.bin", Decoy(0, 21)},         {"D:\\docs\\a\\decoy_r3.dll", Decoy(1, 22)},
      {"E:\\decoy_r71.bin", Decoy(5, 23)},        {"E:\\nested\\decoy_r96.bin", Decoy(6, 24)},
      {"E:\\decoy_r7.bin", Decoy(7, 25)},         {"D:\\resident2\\m_hook.sys", Decoy(0, 26)},
      {"D:\\readme.txt", {'h', 'e', 'l', 'l', 'o'}}, {"E:\\empty.dat", {}},
  };
  std::map<std::string, DWORD> attributesBefore;
  for (auto& [path, bytes] : untouched) {
    if (bytes.empty()) {
      ASSERT_TRUE(WriteFileBytes(path, bytes));
    } else {
      Plant(path, bytes, path == "D:\\decoy_r0.bin" ? hiddenReadOnly : 0);
    }
    attributesBefore[path] = GetFileAttributesA(path.c_str());
  }

  // Live processes: two resident variants, one carrying another row.
  Plant("D:\\resident\\m_hook.sys", Specimen(5, 31));
  Process resident = Keep(StartForged("D:\\resident\\drimo.exe", 8));
  Process resident2 = Keep(StartForged("D:\\resident2\\drimo2.exe", 7));
  Process other = Keep(StartForged("D:\\other\\quellix.exe", 0));
  ASSERT_TRUE(resident.handle && resident2.handle && other.handle);
  specimens["D:\\other\\quellix.exe"] = "Worm.Quellix.c";
  Process holder = Keep(HoldFile("D:\\held\\held_r44.bin"));
  ASSERT_NE(nullptr, holder.handle);

  std::map<std::string, std::pair<std::string, bool>> runValues = {  // data, deleted afterwards
      {"QxTop", {"D:\\top_r0.exe", true}},
      {"QxQuoted", {"\"E:\\nested\\deeper\\r96.bin\" /s", true}},
      {"QxHeld", {"D:\\held\\held_r44.bin", true}},
      {"QxResident", {"D:\\resident\\drimo.exe", true}},
      {"QxResident2", {"d:\\resident2\\drimo2.exe -background", true}},
      {"QxDecoy", {"D:\\decoy_r0.bin", false}},
      {"QxUnrelated", {"C:\\windows\\notepad.exe", false}},
      {"QxArgument", {"rundll32.exe D:\\top_r0.exe", false}},
  };
  for (auto& [name, value] : runValues) ASSERT_TRUE(SetRunValue(name, value.first)) << name;

  // Expected file-pass order: the walker's breadth-first order over every drive.
  std::vector<std::string> order;
  size_t filesBefore = 0;
  for (const char* drive : {"C:\\", "D:\\", "E:\\"}) {
    for (const std::string& path : WalkOrder(drive)) {
      ++filesBefore;
      if (specimens.count(path)) order.push_back(path);
    }
  }
  ASSERT_EQ(specimens.size(), order.size());
  Sleep(500);

  // The memory pass's Run-value cleanup starts the restore file in %TEMP%
  // (on C:) before the file pass walks there.
  char temp[MAX_PATH] = "";
  ASSERT_NE(0u, GetEnvironmentVariableA("TEMP", temp, sizeof temp));
  const std::string restoreFile = std::string(temp) + "\\QuellixRemover-restore.reg";
  const bool restoreFileBefore = Exists(restoreFile);

  ScanRecorder recorder;
  RunRecord run = recorder.Run();
  ASSERT_TRUE(run.finished);

  // Memory pass: the resident processes in id order, each terminated with its code.
  std::vector<Row> expected;
  std::vector<std::pair<DWORD, int>> residents = {{resident.id, 1}, {resident2.id, 2}};
  std::sort(residents.begin(), residents.end());
  for (auto& [id, which] : residents) {
    (void)id;
    if (which == 1) {
      expected.push_back({"D:\\resident\\drimo.exe", "Worm.Mail.Drimo.qd", kRemoved});
      expected.push_back({"D:\\resident\\m_hook.sys", "Junk.Worm.Quellix", kRemoved});
    } else {
      expected.push_back({"D:\\resident2\\drimo2.exe", "Worm.Mail.Drimo.qd", kRemoved});
    }
  }
  EXPECT_EQ(30583u, ExitCode(resident));
  EXPECT_EQ(30583u, ExitCode(resident2));
  EXPECT_TRUE(StillRunning(other));
  EXPECT_FALSE(Exists("D:\\resident"));  // emptied, so removed
  EXPECT_TRUE(Exists("D:\\resident2\\m_hook.sys"));  // a decoy companion stays, and so does its directory

  // File pass rows in walk order; the other-row process's file is the file pass's.
  uint32_t failures = 0;
  for (const std::string& path : order) {
    std::string status = kRemoved;
    if (path == "D:\\other\\quellix.exe") {
      // Whether a running program's file can go depends on the system; the row
      // must say what happened.
      for (const Row& row : run.rows) {
        if (row.path == path) status = row.status;
      }
      if (status == kFailed) ++failures;
      EXPECT_EQ(status == kRemoved, !Exists(path) || PendingRenames().find(path) != std::string::npos);
      std::printf("running program's file: %s, %s\n", status.c_str(), Exists(path) ? "still there" : "gone");
    }
    expected.push_back({path, specimens[path], status});
  }
  ASSERT_EQ(expected.size(), run.rows.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(RowText(expected[i]), RowText(run.rows[i])) << "row " << i;

  for (auto& [path, name] : specimens) {
    if (path == "D:\\held\\held_r44.bin" || path == "D:\\other\\quellix.exe") continue;
    EXPECT_FALSE(Exists(path)) << path;
  }
  std::wstring oddPath(odd);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(oddPath.c_str()));
  // Held open without delete sharing: left for the restart, and registered.
  EXPECT_TRUE(Exists("D:\\held\\held_r44.bin"));
  EXPECT_NE(std::string::npos, PendingRenames().find("D:\\held\\held_r44.bin")) << PendingRenames();

  for (auto& [path, bytes] : untouched) {
    EXPECT_EQ(bytes, ReadFileBytes(path)) << path;
    EXPECT_EQ(attributesBefore[path], GetFileAttributesA(path.c_str())) << path;
  }
  for (auto& [name, value] : runValues) EXPECT_EQ(!value.second, HasRunValue(name)) << name;
  for (auto& [name, value] : runValues) DeleteRunValue(name);

  // Counters, progress, status line and the end of the run.
  const ScanTotals& counters = run.counters;
  EXPECT_EQ(2u, counters.memoryDetections);
  EXPECT_EQ(order.size(), counters.fileDetections);
  EXPECT_EQ(failures, counters.fileFailures);
  EXPECT_GE(counters.memoryModulesExamined, 6u);
  // Every file of every drive, the system drive's included, less the three
  // that the memory pass took away, and the restore file if the run made it.
  ASSERT_TRUE(Exists(restoreFile));
  EXPECT_EQ(filesBefore - 3 + (restoreFileBefore ? 0 : 1), counters.filesExamined);
  EXPECT_EQ(1, Occurrences(run.statusTexts, "Memory>>D:\\resident\\drimo.exe"));
  EXPECT_EQ(1, Occurrences(run.statusTexts, "Memory>>D:\\other\\quellix.exe"));
  ASSERT_GE(run.positions.size(), 2u);
  EXPECT_EQ(0, run.positions.front());
  EXPECT_EQ(100, run.positions.back());
  ExpectEndedWith(run);
}

// Held open, and the restart registration refused: Wine refuses it when the
// pending-rename value is not a multi-string.
TEST_F(ScanRunTest, FailedRemovalKeepsRunValueAndAdvisesReboot) {
  HKEY session;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                                         &session));
  RegDeleteValueA(session, "PendingFileRenameOperations");
  const char poison[] = "not a list";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(session, "PendingFileRenameOperations", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(poison), sizeof poison));
  Plant("D:\\locked\\stuck.bin", Specimen(0, 41));
  Plant("E:\\gone.bin", Specimen(1, 42));
  ASSERT_TRUE(SetRunValue("QxStuck", "D:\\locked\\stuck.bin"));
  ASSERT_TRUE(SetRunValue("QxGone", "E:\\gone.bin"));
  Process holder = Keep(HoldFile("D:\\locked\\stuck.bin"));
  ASSERT_NE(nullptr, holder.handle);

  ScanRecorder recorder;
  RunRecord run = recorder.Run();
  RegDeleteValueA(session, "PendingFileRenameOperations");
  RegCloseKey(session);
  ASSERT_TRUE(run.finished);

  ASSERT_EQ(2u, run.rows.size());
  EXPECT_EQ(RowText({"D:\\locked\\stuck.bin", "Worm.Quellix.c", kFailed}), RowText(run.rows[0]));
  EXPECT_EQ(RowText({"E:\\gone.bin", "Worm.Quellix.c.dll2", kRemoved}), RowText(run.rows[1]));
  EXPECT_TRUE(Exists("D:\\locked\\stuck.bin"));
  EXPECT_FALSE(Exists("E:\\gone.bin"));
  EXPECT_TRUE(HasRunValue("QxStuck"));
  EXPECT_FALSE(HasRunValue("QxGone"));
  DeleteRunValue("QxStuck");
  EXPECT_EQ(1u, run.counters.fileFailures);
  EXPECT_EQ(2u, run.counters.fileDetections);
  // The failure in the totals is what makes the dialog advise a reboot. Its
  // boxes come at the end: by then redirection is back on, while the rows
  // came from inside the scope that turns it off.
  ExpectEndedWith(run);
  EXPECT_EQ(1, run.redirectionOwnersAtFirstRow);
  EXPECT_EQ(0, run.redirectionOwnersAtEnd) << "the report's end ran with WOW64 redirection still off";
}

TEST_F(ScanRunTest, StopDuringTheFilePassEndsEveryFurtherDriveAtItsFirstFile) {
  Plant("D:\\only_r0.bin", Specimen(0, 51));
  Plant("D:\\sub\\later_r3.dll", Specimen(1, 52));
  Plant("E:\\first.txt", {'x'});
  Plant("E:\\sub\\later_r71.bin", Specimen(5, 53));
  ScanRecorder recorder;
  // Raised on the first file path the status line shows (the 10th file of C:).
  recorder.OnStatusText([&recorder](const std::string& text) {
    if (!text.empty() && text.compare(0, 8, "Memory>>") != 0) recorder.RequestStop();
  });
  RunRecord run = recorder.Run();
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(10u + 1u + 1u, run.counters.filesExamined);
  ASSERT_EQ(1u, run.rows.size());
  EXPECT_EQ(RowText({"D:\\only_r0.bin", "Worm.Quellix.c", kRemoved}), RowText(run.rows[0]));
  EXPECT_TRUE(Exists("D:\\sub\\later_r3.dll"));
  EXPECT_TRUE(Exists("E:\\sub\\later_r71.bin"));
  for (int position : run.positions) EXPECT_NE(100, position);
  ExpectEndedWith(run);
}

uint32_t StarveListing(const char* directory) {
  return std::strcmp(directory, "D:\\starved\\") == 0 ? ERROR_NOT_ENOUGH_MEMORY : 0;
}

// A folder the walk could not list for want of memory is a row, and the run
// ends in trouble; the rest of the drive and the next drive are examined.
TEST_F(ScanRunTest, FolderTheWalkCannotListForWantOfMemoryIsNotExaminedAndTheRunEndsInTrouble) {
  Plant("D:\\starved\\late_r3.dll", Specimen(1, 55));
  Plant("D:\\fed\\r0.bin", Specimen(0, 56));
  Plant("E:\\r5.bin", Specimen(5, 57));
  FileListFaultForTesting = StarveListing;
  ScanRecorder recorder;
  RunRecord run = recorder.Run([](const ScanReport* report) { FilePassOnly(report); });
  FileListFaultForTesting = nullptr;
  ASSERT_TRUE(run.finished);
  std::vector<std::string> rows;
  for (const Row& row : run.rows)
    if (row.path[0] != 'C') rows.push_back(RowText(row));
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ((std::vector<std::string>{RowText({"D:\\fed\\r0.bin", "Worm.Quellix.c", kRemoved}),
                                      RowText({"D:\\starved", "", "not examined"}),
                                      RowText({"E:\\r5.bin", "Junk.Worm.Quellix", kRemoved})}),
            rows);
  EXPECT_TRUE(Exists("D:\\starved\\late_r3.dll"));
  EXPECT_GE(run.counters.notExamined, 1u);
  EXPECT_EQ(kExitTrouble, ExitStatusOf(run.counters));
  ExpectEndedWith(run);
}

// What one file pass leaves behind, for comparing two variants.
struct PassOutcome {
  std::vector<std::string> rows, status, remaining, runValues;
  uint32_t files = 0, detections = 0, failures = 0;
  uint64_t bytesDone = 0;
};

void PlantComparisonTree() {
  Plant("D:\\a_r0.exe", Specimen(0, 61), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  Plant("D:\\x\\y\\r3.dll", Specimen(1, 62));
  Plant("D:\\x\\decoy3.dll", Decoy(1, 63));
  Plant("D:\\x\\plain1536.bin", std::vector<unsigned char>(1536, 0x4D));
  Plant("D:\\big.bin", std::vector<unsigned char>(kMaxCheckedFileSize + 1, 1));
  Plant("E:\\r7.bin", Specimen(7, 64));
  Plant("E:\\z\\decoy7.bin", Decoy(7, 65));
  Plant("E:\\z\\r69.vbs", Specimen(4, 66));
  for (int i = 0; i < 40; ++i)
    Plant("E:\\many\\f" + std::to_string(i) + ".txt", std::vector<unsigned char>(i * 97, 'a' + i % 26));
  SetRunValue("QxCompareA", "D:\\a_r0.exe");
  SetRunValue("QxCompareB", "E:\\z\\decoy7.bin");
}

PassOutcome RunFilePass(int checkEveryFile) {
  ScanRecorder recorder;
  ProgressEstimate estimate{};
  RunRecord run = recorder.Run([checkEveryFile, &estimate](const ScanReport* report) {
    FilePassOnly(report, checkEveryFile, nullptr, &estimate);
  });
  PassOutcome outcome;
  for (const Row& row : run.rows) outcome.rows.push_back(RowText(row));
  outcome.status = run.statusTexts;
  for (const char* drive : kDrives)
    for (const std::string& path : WalkOrder(drive)) outcome.remaining.push_back(path);
  for (const char* name : {"QxCompareA", "QxCompareB"})
    if (HasRunValue(name)) outcome.runValues.push_back(name);
  outcome.files = run.counters.filesExamined;
  outcome.detections = run.counters.fileDetections;
  outcome.failures = run.counters.fileFailures;
  outcome.bytesDone = estimate.bytesDone;
  DeleteRunValue("QxCompareA");
  DeleteRunValue("QxCompareB");
  return outcome;
}

TEST_F(ScanRunTest, SizeFilterGivesWhatCheckingEveryFileGives) {
  PlantComparisonTree();
  PassOutcome everyFile = RunFilePass(1);
  CleanDrives();
  PlantComparisonTree();
  PassOutcome filtered = RunFilePass(0);
  EXPECT_EQ(4u, everyFile.detections);
  EXPECT_EQ(everyFile.rows, filtered.rows);
  EXPECT_EQ(everyFile.status, filtered.status);
  EXPECT_EQ(everyFile.remaining, filtered.remaining);
  EXPECT_EQ(everyFile.runValues, filtered.runValues);
  EXPECT_EQ(everyFile.files, filtered.files);
  EXPECT_EQ(everyFile.detections, filtered.detections);
  EXPECT_EQ(everyFile.failures, filtered.failures);
  EXPECT_EQ(everyFile.bytesDone, filtered.bytesDone);
}

struct SwapPlan {
  HANDLE process;
  int swapped;
};

// Once the resident process has ended (the pass then pauses 2 seconds), its
// directory is swapped for another holding a clean file of the same name.
DWORD WINAPI SwapDirectoryAfterExit(void* parameter) {
  SwapPlan* plan = static_cast<SwapPlan*>(parameter);
  if (WaitForSingleObject(plan->process, 60000) != WAIT_OBJECT_0) return 1;
  plan->swapped = MoveFileA("D:\\swap", "D:\\swap-old") && MoveFileA("D:\\victim", "D:\\swap");
  return 0;
}

TEST_F(ScanRunTest, ResidentFileSwappedDuringThePauseIsNotRemoved) {
  const std::vector<unsigned char> victim = {'M', 'Z', 's', 'y', 's', 't', 'e', 'm'};
  Plant("D:\\victim\\drimo.exe", victim);
  Process resident = Keep(StartForged("D:\\swap\\drimo.exe", 8));
  ASSERT_NE(nullptr, resident.handle);
  Sleep(300);
  SwapPlan plan = {resident.handle, 0};
  HANDLE swapper = CreateThread(nullptr, 0, SwapDirectoryAfterExit, &plan, 0, nullptr);
  ASSERT_NE(nullptr, swapper);
  ScanRecorder recorder;
  RunRecord run = recorder.Run(MemoryPassOnly);
  WaitForSingleObject(swapper, 60000);
  CloseHandle(swapper);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(30583u, ExitCode(resident));
  ASSERT_EQ(1, plan.swapped) << "the directory could not be swapped";
  ASSERT_EQ(1u, run.rows.size());
  EXPECT_EQ(RowText({"D:\\swap\\drimo.exe", "Worm.Mail.Drimo.qd", kFailed}), RowText(run.rows[0]));
  EXPECT_EQ(victim, ReadFileBytes("D:\\swap\\drimo.exe")) << "the file now at the path was not the one checked";
  EXPECT_TRUE(Exists("D:\\swap-old\\drimo.exe"));
  EXPECT_EQ(std::string::npos, PendingRenames().find("D:\\swap\\drimo.exe"));
}

// A file of 4 GiB and 1536 bytes whose first bytes are a specimen's: the
// walk's size is not its low 32 bits. Sparse, so it costs no disk space.
TEST_F(ScanRunTest, FileBeyondFourGibibytesIsNotTakenForASmallOne) {
  Plant("D:\\huge\\big.dll", Specimen(1, 81));
  HANDLE file = CreateFileA("D:\\huge\\big.dll", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  LONG high = 1;
  SetFilePointer(file, 1536, &high, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file));
  CloseHandle(file);
  Plant("D:\\small\\r3.dll", Specimen(1, 82));
  PassOutcome outcome = RunFilePass(0);
  ASSERT_EQ(1u, outcome.rows.size());
  EXPECT_EQ(RowText({"D:\\small\\r3.dll", "Worm.Quellix.c.dll2", kRemoved}), outcome.rows[0]);
  EXPECT_TRUE(Exists("D:\\huge\\big.dll"));
  DeleteFileA("D:\\huge\\big.dll");
}

// Run by the driver in a prefix whose drive D: holds, planted on the host
// side, a pair of directories linking to each other (pair\a\to_b, pair\b\to_a),
// a directory with two links to itself (self\l1, self\l2) and a link to a
// folder outside every drive (outward).
std::map<std::string, int> linkedDriveVisits;
int CountLinkedDriveFiles(const WalkEntry* entry) {
  if (entry->path[0] == 'D') {
    ++linkedDriveVisits[entry->path];
    // Ends a walk that runs away through the links.
    if (linkedDriveVisits.size() > 5000 || linkedDriveVisits[entry->path] > 50) return 0;
  }
  return 1;
}

TEST(LinkedDrive, SelfLinkingDirectoriesAreScannedOnceAndOutwardLinksNotFollowed) {
  if (!std::getenv("QX_SCAN_LINKED_DRIVE")) GTEST_SKIP() << "needs the prefix with the linked drive";
  ASSERT_TRUE(WriteFileBytes("D:\\pair\\a\\worm_a.dll", Specimen(1, 91)));
  ASSERT_TRUE(WriteFileBytes("D:\\pair\\a\\clean.txt", {'c', 'l', 'e', 'a', 'n'}));
  ASSERT_TRUE(WriteFileBytes("D:\\pair\\b\\worm_b.bin", Specimen(0, 92)));
  ASSERT_TRUE(WriteFileBytes("D:\\self\\worm_s.bin", Specimen(5, 93)));
  // Clean files stay and are met again wherever a link leads back.
  ASSERT_TRUE(WriteFileBytes("D:\\self\\clean.txt", {'s', 'e', 'l', 'f'}));
  // Written through the link into the folder outside the drive.
  ASSERT_TRUE(WriteFileBytes("D:\\outward\\worm_out.dll", Specimen(1, 94)));

  // The same file reached through a link is not removed by that path, even
  // with the identity of the file checked.
  ASSERT_TRUE(WriteFileBytes("D:\\pair\\b\\reached.dll", Specimen(1, 95)));
  char name[64];
  FileIdentity identity;
  ASSERT_EQ(1, CheckFileIdentified("D:\\pair\\a\\to_b\\reached.dll", name, &identity));
  EXPECT_EQ(1, PathCrossesReparsePoint("D:\\pair\\a\\to_b\\reached.dll"));
  EXPECT_EQ(0, PathCrossesReparsePoint("D:\\pair\\b\\reached.dll"));
  EXPECT_EQ(0, RemoveIdentifiedFile("D:\\pair\\a\\to_b\\reached.dll", &identity));
  EXPECT_TRUE(Exists("D:\\pair\\b\\reached.dll"));
  EXPECT_EQ(1, RemoveIdentifiedFile("D:\\pair\\b\\reached.dll", &identity));
  EXPECT_FALSE(Exists("D:\\pair\\b\\reached.dll"));

  // Beyond MAX_PATH the check reads every directory through the wide form:
  // a link deep down is found and a plain path is not taken for one; a path
  // that form would read otherwise counts as crossing, so nothing is removed.
  // (The tree itself stays short enough for the walk below.)
  std::string deep = "D:\\deep";
  for (char c = 'k'; c <= 'n'; ++c) deep += "\\" + std::string(60, c);
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((deep + "\\plain").c_str())) << "the driver plants D:\\deep";
  const std::string throughLink = deep + "\\to_b\\reached.dll", plain = deep + "\\plain\\reached.dll";
  ASSERT_GE(throughLink.size(), static_cast<size_t>(MAX_PATH));
  EXPECT_EQ(1, PathCrossesReparsePoint(throughLink.c_str()));
  EXPECT_EQ(0, PathCrossesReparsePoint(plain.c_str()));
  EXPECT_EQ(0, PathCrossesReparsePoint((plain + "\\").c_str()));
  for (const std::string& unchecked :
       {plain.substr(3), deep + "\\plain\\..\\plain\\x.dll", deep + "\\.\\plain\\x.dll", deep + "\\\\plain\\x.dll",
        deep + "/plain/reached.dll"})
    EXPECT_EQ(1, PathCrossesReparsePoint(unchecked.c_str())) << unchecked;
  ASSERT_TRUE(WriteFileBytes("D:\\pair\\b\\deep.dll", Specimen(1, 96)));
  ASSERT_EQ(1, CheckFileIdentified("D:\\pair\\b\\deep.dll", name, &identity));
  EXPECT_EQ(0, RemoveIdentifiedFile((deep + "\\to_b\\deep.dll").c_str(), &identity));
  EXPECT_TRUE(Exists("D:\\pair\\b\\deep.dll"));
  DeleteFileA("D:\\pair\\b\\deep.dll");
  linkedDriveVisits.clear();
  ScanRecorder recorder;
  RunRecord run = recorder.Run([](const ScanReport* report) { FilePassOnly(report, 0, CountLinkedDriveFiles); });
  ASSERT_TRUE(run.finished);
  EXPECT_EQ((std::map<std::string, int>{{"D:\\pair\\a\\clean.txt", 1},
                                        {"D:\\pair\\a\\worm_a.dll", 1},
                                        {"D:\\pair\\b\\worm_b.bin", 1},
                                        {"D:\\self\\clean.txt", 1},
                                        {"D:\\self\\worm_s.bin", 1}}),
            linkedDriveVisits);
  std::vector<std::string> rows;
  for (const Row& row : run.rows) rows.push_back(RowText(row));
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ((std::vector<std::string>{RowText({"D:\\pair\\a\\worm_a.dll", "Worm.Quellix.c.dll2", kRemoved}),
                                      RowText({"D:\\pair\\b\\worm_b.bin", "Worm.Quellix.c", kRemoved}),
                                      RowText({"D:\\self\\worm_s.bin", "Junk.Worm.Quellix", kRemoved})}),
            rows);
  EXPECT_TRUE(Exists("D:\\outward\\worm_out.dll")) << "a file outside the drive was removed";
  DeleteFileA("D:\\outward\\worm_out.dll");
  DeleteFileA("D:\\pair\\a\\clean.txt");
  DeleteFileA("D:\\self\\clean.txt");
}

// Run by the driver in a prefix whose every drive is a network drive.
TEST(NoFixedDrive, TotalFallsBackAndNoFileIsScanned) {
  if (!std::getenv("QX_SCAN_NO_FIXED_DRIVE")) GTEST_SKIP() << "needs the prefix without fixed drives";
  ASSERT_NE(DRIVE_FIXED, GetDriveTypeA("C:\\"));
  ScanRecorder recorder;
  ProgressEstimate estimate{};
  ASSERT_TRUE(recorder.Run([&estimate](const ScanReport* report) { FilePassOnly(report, 0, nullptr, &estimate); })
                  .finished);
  EXPECT_EQ(0xFFFFFFFFull, estimate.totalBytes);
  RunRecord run = recorder.Run();
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.counters.filesExamined);
  EXPECT_TRUE(run.rows.empty());
  ExpectEndedWith(run);
  // Nothing found: the dialog's clean summary.
  EXPECT_EQ(0u, run.ends[0].detections + run.ends[0].memoryDetections);
  ASSERT_FALSE(run.positions.empty());
  EXPECT_EQ(100, run.positions.back());
}

}  // namespace
