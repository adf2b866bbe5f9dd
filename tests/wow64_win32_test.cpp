// The i686 programs on 64-bit Windows (WOW64), run by tests/wow64_test.sh
// in a 64-bit Wine prefix. Forged specimens sit in the real System32 and in
// SysWOW64, which redirection shows a 32-bit program under the name
// System32: quellix-scan.exe (detection only, --remove, --quarantine and
// restore), the dialog's scan run and the memory pass must each see both
// under their true paths, act on both and on nothing else. The test plants
// and looks through the system's own redirection switch, not the program's.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/signature_table.h"
#include "scan/memory_pass_win32.h"
#include "scan/tests/scan_harness_win32.h"
#include "sys/fs_redirection_win32.h"
#include "sys/system_library_win32.h"

using namespace scantest;

namespace {

// Redirection off on this thread while it lives, through the system's own
// entry points.
class TrueView {
 public:
  TrueView() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    disable_ = reinterpret_cast<decltype(disable_)>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
    revert_ = reinterpret_cast<decltype(revert_)>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
    off_ = disable_ && revert_ && disable_(&old_);
  }
  ~TrueView() {
    if (off_) revert_(old_);
  }
  bool off() const { return off_; }

 private:
  decltype(&Wow64DisableWow64FsRedirection) disable_ = nullptr;
  decltype(&Wow64RevertWow64FsRedirection) revert_ = nullptr;
  PVOID old_ = nullptr;
  bool off_ = false;
};

std::string WindowsFolder() {
  char path[MAX_PATH];
  UINT length = GetWindowsDirectoryA(path, sizeof path);
  return std::string(path, length);
}

// The two folders as the walk names them (Wine lists them in lower case).
const std::string kSystem32 = WindowsFolder() + "\\system32\\";
const std::string kSysWow64 = WindowsFolder() + "\\syswow64\\";

bool TrueExists(const std::string& path) {
  TrueView view;
  return view.off() && Exists(path);
}
std::vector<unsigned char> TrueRead(const std::string& path) {
  TrueView view;
  return view.off() ? ReadFileBytes(path) : std::vector<unsigned char>();
}
void TruePlant(const std::string& path, const std::vector<unsigned char>& bytes) {
  TrueView view;
  ASSERT_TRUE(view.off());
  ASSERT_TRUE(WriteFileBytes(path, bytes)) << path;
}
void TrueDelete(const std::string& path) {
  TrueView view;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path.c_str());
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}
bool Contains(const std::string& text, const std::string& part) { return Lower(text).find(Lower(part)) != std::string::npos; }

using Outcome = ConsoleRun;

Outcome RunScanner(const std::string& arguments) {
  return RunConsoleProgram("\"" + ProgramDirectory() + "quellix-scan.exe\" " + arguments, "E:\\scanner-output.txt",
                           400000);
}

const char* DetectionName(uint32_t row) { return kSignatureTable[row].detectionName; }

// Names no system file has; the driver checks from outside that none is
// left anywhere in the prefix.
const std::string kWormA = kSystem32 + "qxwow_a.exe";     // the real System32
const std::string kWormB = kSysWow64 + "qxwow_b.exe";     // SysWOW64
const std::string kDecoy = kSystem32 + "qxwow_decoy.exe"; // the real System32
const std::string kResident = kSysWow64 + "qxwow_drimo.exe";
const std::string kResidentTwin = kSystem32 + "qxwow_drimo.exe";  // same name, the 64-bit side, not a worm
const std::string kProbe32 = kSysWow64 + "qxwow_probe.dll";
const std::string kProbe64 = kSystem32 + "qxwow_probe.dll";  // no 32-bit image: loading it fails

class Wow64 : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentDirectoryA("C:\\");
    RemoveTree("D:\\");
    RemoveTree("E:\\");
    TearDownFiles();
  }
  void TearDown() override {
    for (Process& process : processes_) Stop(&process);
    TearDownFiles();
    for (const char* name : {"QxWowA", "QxWowB", "QxWowBAsSystem32", "QxWowDecoy"}) DeleteRunValue(name);
    RemoveTree("D:\\");
    RemoveTree("E:\\");
  }
  static void TearDownFiles() {
    for (const std::string& path : {kWormA, kWormB, kDecoy, kResident, kResidentTwin, kProbe32, kProbe64})
      TrueDelete(path);
  }
  void PlantBoth() {
    specimenA_ = Specimen(0, 31);
    specimenB_ = Specimen(1, 32);
    decoy_ = Decoy(0, 33);
    TruePlant(kWormA, specimenA_);
    TruePlant(kWormB, specimenB_);
    TruePlant(kDecoy, decoy_);
    // A 64-bit Explorer starts what these name as they stand.
    ASSERT_TRUE(SetRunValue("QxWowA", "\"" + kWormA + "\" -run"));
    ASSERT_TRUE(SetRunValue("QxWowB", kWormB));
    ASSERT_TRUE(SetRunValue("QxWowBAsSystem32", kSystem32 + "qxwow_b.exe"));
    ASSERT_TRUE(SetRunValue("QxWowDecoy", kDecoy));
  }
  // The forged resident worm in SysWOW64 started as System32\..., and a
  // clean file of the same name and size in the real System32.
  Process StartResident() {
    std::vector<unsigned char> image = PaddedSpecimen(8, ReadFileBytes(ProgramDirectory() + "scan_sleeper.exe"));
    EXPECT_EQ(kSignatureTable[8].fileSize, image.size());
    twin_ = Decoy(8, 34);
    TruePlant(kResident, image);
    TruePlant(kResidentTwin, twin_);
    Process resident = StartProcess("\"" + kSystem32 + "qxwow_drimo.exe\"", kSystem32);
    EXPECT_NE(nullptr, resident.handle) << "the resident worm did not start";
    if (resident.handle) processes_.push_back(resident);
    Sleep(500);
    return resident;
  }
  std::vector<Process> processes_;
  std::vector<unsigned char> specimenA_, specimenB_, decoy_, twin_;
};

TEST_F(Wow64, TheSystemRedirectsThisProgram) {
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  ASSERT_TRUE(wow64) << "not a 32-bit process on 64-bit Windows: the test proves nothing here";
  TruePlant(kWormB, Specimen(1, 35));
  // With redirection on, SysWOW64's file answers to the System32 name.
  EXPECT_TRUE(Exists(kSystem32 + "qxwow_b.exe"));
  EXPECT_FALSE(TrueExists(kSystem32 + "qxwow_b.exe"));
}

TEST_F(Wow64, TheProgramsOwnSwitchLoadsLibrariesAndMapsModulePaths) {
  TruePlant(kWormB, Specimen(1, 37));
  TruePlant(kProbe64, std::vector<unsigned char>(4096, 'x'));
  TruePlant(kProbe32, ReadFileBytes(ProgramDirectory() + "wow64_probe.dll"));
  char mapped[MAX_PATH];
  ASSERT_EQ(1, TrueModulePath((kSystem32 + "qxwow_b.exe").c_str(), mapped, sizeof mapped));
  EXPECT_EQ(Lower(kSystem32 + "qxwow_b.exe"), Lower(mapped)) << "redirection is on: the name leads there already";
  {
    FsRedirectionOff off;
    ASSERT_EQ(1, FsRedirectionIsOff());
    EXPECT_FALSE(Exists(kSystem32 + "qxwow_b.exe"));
    // What the system may report for a module the process loaded through System32.
    ASSERT_EQ(1, TrueModulePath((kSystem32 + "qxwow_b.exe").c_str(), mapped, sizeof mapped));
    EXPECT_EQ(Lower(kWormB), Lower(mapped));
    EXPECT_TRUE(Exists(mapped));
    ASSERT_EQ(1, TrueModulePath((WindowsFolder() + "\\Sysnative\\qxwow_a.exe").c_str(), mapped, sizeof mapped));
    EXPECT_EQ(Lower(kWormA), Lower(mapped));
    // A library comes from where redirection leads (the 32-bit one in
    // SysWOW64, not the file of its name in the real System32), and the
    // thread's redirection is off again afterwards.
    HMODULE library = LoadSystemLibrary("qxwow_probe.dll");
    ASSERT_NE(nullptr, library) << GetLastError();
    auto probe = reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void (*)()>(GetProcAddress(library, "QxWowProbe@0")));
    if (!probe) probe = reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void (*)()>(GetProcAddress(library, "QxWowProbe")));
    ASSERT_NE(nullptr, probe);
    EXPECT_EQ(32, probe());
    EXPECT_EQ(1, FsRedirectionIsOff());
    EXPECT_FALSE(Exists(kSystem32 + "qxwow_b.exe"));
    FreeLibrary(library);
  }
  EXPECT_EQ(0, FsRedirectionIsOff());
  EXPECT_TRUE(Exists(kSystem32 + "qxwow_b.exe"));
}

TEST_F(Wow64, ConsoleScannerFindsBothUnderTheirTruePathsAndRemovesOnlyThem) {
  PlantBoth();
  Outcome look = RunScanner("--no-memory --json E:\\look.jsonl " + WindowsFolder());
  EXPECT_EQ(1u, look.status) << look.output;
  EXPECT_TRUE(Contains(look.output, kWormA + ": " + DetectionName(0) + " (left in place)")) << look.output;
  EXPECT_TRUE(Contains(look.output, kWormB + ": " + DetectionName(1) + " (left in place)")) << look.output;
  EXPECT_FALSE(Contains(look.output, kSystem32 + "qxwow_b.exe")) << look.output;
  EXPECT_TRUE(Contains(look.output, "Detections: 2 ")) << look.output;
  EXPECT_TRUE(Contains(Slurp("E:\\look.jsonl"), "system32\\\\qxwow_a.exe\"")) << Slurp("E:\\look.jsonl");
  EXPECT_TRUE(Contains(Slurp("E:\\look.jsonl"), "syswow64\\\\qxwow_b.exe\"")) << Slurp("E:\\look.jsonl");
  EXPECT_EQ(specimenA_, TrueRead(kWormA));
  EXPECT_EQ(specimenB_, TrueRead(kWormB));

  Outcome run = RunScanner("--no-memory --remove " + WindowsFolder());
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, kWormA + ": " + DetectionName(0) + " (removed)")) << run.output;
  EXPECT_TRUE(Contains(run.output, kWormB + ": " + DetectionName(1) + " (removed)")) << run.output;
  EXPECT_FALSE(TrueExists(kWormA));
  EXPECT_FALSE(TrueExists(kWormB));
  EXPECT_EQ(decoy_, TrueRead(kDecoy));
  EXPECT_FALSE(HasRunValue("QxWowA"));
  EXPECT_FALSE(HasRunValue("QxWowB"));
  // It names the real System32, where nothing was removed.
  EXPECT_TRUE(HasRunValue("QxWowBAsSystem32"));
  EXPECT_TRUE(HasRunValue("QxWowDecoy"));
}

TEST_F(Wow64, QuarantineAndRestoreKeepTheTruePath) {
  std::vector<unsigned char> specimen = Specimen(2, 36);
  TruePlant(kWormA, specimen);
  Outcome run = RunScanner("--no-memory --quarantine E:\\quarantine " + kSystem32.substr(0, kSystem32.size() - 1));
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, kWormA + ": " + DetectionName(2) + " (quarantined)")) << run.output;
  EXPECT_FALSE(TrueExists(kWormA));
  EXPECT_TRUE(Contains(Slurp("E:\\quarantine\\manifest.jsonl"), "system32\\\\qxwow_a.exe\""))
      << Slurp("E:\\quarantine\\manifest.jsonl");

  Outcome back = RunScanner("restore E:\\quarantine");
  EXPECT_EQ(0u, back.status) << back.output;
  EXPECT_EQ(specimen, TrueRead(kWormA));
  EXPECT_FALSE(TrueExists(kSysWow64 + "qxwow_a.exe"));
}

TEST_F(Wow64, ConsoleMemoryPassRemovesTheFileTheResidentWormLoaded) {
  Process resident = StartResident();
  ASSERT_TRUE(StillRunning(resident));
  // The file pass over an empty test drive: the memory pass is what acts.
  Outcome look = RunScanner("D:\\");
  EXPECT_EQ(1u, look.status) << look.output;
  EXPECT_TRUE(Contains(look.output, kResident + ": " + kResidentDetectionName + " (left in place)")) << look.output;
  EXPECT_TRUE(StillRunning(resident));

  Outcome run = RunScanner("--remove D:\\");
  EXPECT_EQ(1u, run.status) << run.output;
  EXPECT_TRUE(Contains(run.output, kResident + ": " + kResidentDetectionName)) << run.output;
  EXPECT_FALSE(StillRunning(resident));
  EXPECT_FALSE(TrueExists(kResident));
  EXPECT_EQ(twin_, TrueRead(kResidentTwin));
}

TEST_F(Wow64, DialogScanRunFindsEverythingUnderItsTruePath) {
  PlantBoth();
  Process resident = StartResident();
  ASSERT_TRUE(StillRunning(resident));
  ScanRecorder recorder;
  RunRecord run = recorder.Run(nullptr, 600000);
  ASSERT_TRUE(run.finished);
  std::string rows;
  for (const Row& row : run.rows) rows += row.path + ": " + row.name + " (" + row.status + ")\n";
  EXPECT_TRUE(Contains(rows, kWormA + ": " + DetectionName(0) + " (Deleted)")) << rows;
  EXPECT_TRUE(Contains(rows, kWormB + ": " + DetectionName(1) + " (Deleted)")) << rows;
  EXPECT_TRUE(Contains(rows, kResident + ": " + kResidentDetectionName + " (Deleted)")) << rows;
  EXPECT_EQ(3u, run.rows.size()) << rows;
  EXPECT_FALSE(StillRunning(resident));
  for (const std::string& path : {kWormA, kWormB, kResident}) EXPECT_FALSE(TrueExists(path)) << path;
  EXPECT_EQ(decoy_, TrueRead(kDecoy));
  EXPECT_EQ(twin_, TrueRead(kResidentTwin));
  EXPECT_FALSE(HasRunValue("QxWowA"));
  EXPECT_FALSE(HasRunValue("QxWowB"));
  EXPECT_TRUE(HasRunValue("QxWowBAsSystem32"));
  EXPECT_TRUE(HasRunValue("QxWowDecoy"));
  // The dialog shows its boxes at the end: redirection is on again by then.
  EXPECT_EQ(1, run.redirectionOwnersAtFirstRow);
  EXPECT_EQ(0, run.redirectionOwnersAtEnd);
}

}  // namespace
