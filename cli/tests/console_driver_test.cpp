// The console driver over a fake platform: what both console scanners print
// and write for the same run, whatever the platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console_driver.h"
#include "remedy/testing/memory_quarantine.h"

namespace {

// A walk over a list: "!" before a path makes it unreadable, "=" marks a
// detection, anything else is a clean file of a candidate size.
struct Fake {
  std::vector<std::string> listed;
  ScanRowStatus removal;
  int stopAfter;  // files before Ctrl+C; 0: never
  int files;
  MemoryFolder quarantine;
  MemoryTarget target;
  FILE* json;
  std::string jsonText;
  uint32_t columns;  // of the terminal behind standard error; 0: none
  double clock, tick;  // each reading of the clock advances it by `tick`
};
Fake gFake;

void Write(FILE* out, const char* text) { std::fputs(text, out); }
int ToUtf8(const char* text, char* out, size_t capacity) {
  std::snprintf(out, capacity, "%s", text);
  return std::strlen(text) < capacity;
}
uint32_t Columns() { return gFake.columns; }
double Now() { return gFake.clock += gFake.tick; }
int Interrupted() { return gFake.stopAfter && gFake.files >= gFake.stopAfter; }
void Host(char* out, size_t capacity) { std::snprintf(out, capacity, "%s", "host1"); }

FILE* CreateOutput(void*, const char*, char*, size_t) { return gFake.json = tmpfile(); }
int FinishOutput(void*, FILE* file) {
  std::rewind(file);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) gFake.jsonText.append(buffer, n);
  std::fclose(file);
  return 1;
}

int Walk(void*, const WalkVisitor* visitor) {
  for (const std::string& e : gFake.listed) {
    int goOn;
    if (e[0] == '!') {
      goOn = visitor->unreadable(visitor->context, e.c_str() + 1, 13);
    } else {
      const char* path = e.c_str() + (e[0] == '=' ? 1 : 0);
      WalkEntry entry{path, 0, path, 15872, e[0] == '=' ? "worm" : "clean"};
      gFake.files += 1;
      goOn = visitor->file(visitor->context, &entry);
    }
    if (!goOn) return 0;
  }
  return 1;
}
CandidateOutcome Check(void*, const SignatureSet&, const FoundFile* file, char* name, FileIdentity*) {
  if (std::strcmp(static_cast<const char*>(file->location), "worm") != 0) return kCandidateClean;
  std::strcpy(name, "Worm.Quellix.c");
  return kCandidateMatched;
}
ScanRowStatus Remove(void*, const FoundFile*, const FileIdentity*, char* why, size_t capacity) {
  if (gFake.removal == kRowRemovalFailed) std::snprintf(why, capacity, "%s", "held open");
  return gFake.removal;
}
void CleanAfter(void*, const char* const* paths, uint32_t count, const RunValueListener* listener) {
  for (uint32_t i = 0; i < count; ++i)
    TellRunValueDeleted(listener, RunValueDeletion{"/v/NTUSER.DAT", "Run", "upd\r\nate", "x", paths[i], "/b", 0});
  TellRunValuesExamined(listener, "/v/NTUSER.DAT", count);
}
void ErrorText(uint32_t error, char* out, size_t capacity) { std::snprintf(out, capacity, "denied (%u)", error); }

int BeginScan(void*, const ScanOptions*, ConsoleDriver*, ScanPorts* ports) {
  ScanPorts p{};
  p.walk = Walk;
  p.check = Check;
  p.remove = Remove;
  p.cleanRunValuesAfter = CleanAfter;
  p.errorText = ErrorText;
  *ports = p;
  return 1;
}
void EndScan(void*, const ScanTotals*) {}
int BeginRestore(void*, const ScanOptions*, QuarantineFolderPort* folder, RestoreTargetPort* target,
                 unsigned char key[kQuarantineKeySize], int* keyed, char*, size_t) {
  *folder = MemoryFolderPort(&gFake.quarantine);
  *target = MemoryTargetPort(&gFake.target);
  std::memcpy(key, kMemoryKey, kQuarantineKeySize);
  *keyed = 1;
  return 1;
}
void EndRestore(void*) {}
FILE* OpenLog(const char* path, char*, size_t) { return std::fopen(path, "ab"); }
// What the fake walk does not list is gone.
int PathGone(void*, const char* path) {
  for (const std::string& e : gFake.listed)
    if (e.compare(e[0] == '=' || e[0] == '!' ? 1 : 0, std::string::npos, path) == 0) return 0;
  return 1;
}

std::string ReadAll(const char* path) {
  std::string text;
  FILE* file = std::fopen(path, "rb");
  if (!file) return text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Outcome {
  int status;
  std::string out, err, json;
};

// Runs the driver with standard output and error caught in files.
Outcome RunDriver(std::vector<const char*> args) {
  gFake.files = 0;
  gFake.jsonText.clear();
  args.insert(args.begin(), "quellix-scan");
  ConsolePlatform platform{"quellix-scan", "help\n", kFlavourMountedVolume, Write, EscapeForConsole, ToUtf8, ToUtf8,
                           Columns, Now, Interrupted, Host, CreateOutput, FinishOutput, BeginScan, nullptr, EndScan,
                           BeginRestore, EndRestore, nullptr, OpenLog, 0, nullptr, PathGone};
  std::fflush(stdout);
  std::fflush(stderr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Outcome run;
  run.status = RunConsoleScanner(static_cast<int>(args.size()), args.data(), platform);
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  run.json = gFake.jsonText;
  return run;
}

TEST(ConsoleDriver, RowsSortedUnreadableReasonsRunValuesAndTheRecords) {
  gFake.listed = {"=/v/z.exe", "!/v/locked", "/v/clean.exe", "=/v/a\x1b[2Jb.exe"};
  gFake.removal = kRowRemoved;
  gFake.stopAfter = 0;
  Outcome run = RunDriver({"--remove", "--json", "out.jsonl", "/v"});
  EXPECT_EQ(kExitTrouble, run.status);  // one path could not be read
  // Rows in path order, whatever the walk's; a name's escape sequence is shown, not obeyed.
  size_t a = run.out.find("/v/a\\x1B[2Jb.exe: Worm.Quellix.c (removed)\n");
  size_t locked = run.out.find("/v/locked: not examined (denied (13))\n");
  size_t z = run.out.find("/v/z.exe: Worm.Quellix.c (removed)\n");
  ASSERT_NE(std::string::npos, a) << run.out;
  ASSERT_NE(std::string::npos, locked) << run.out;
  ASSERT_NE(std::string::npos, z) << run.out;
  EXPECT_LT(a, locked);
  EXPECT_LT(locked, z);
  EXPECT_EQ(std::string::npos, run.out.find('\x1b'));
  // Every Run value deleted is a line, a record and a count.
  EXPECT_NE(std::string::npos, run.out.find("/v/NTUSER.DAT: Run value \"upd\\x0D\\x0Aate\" deleted (x)\n")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("Run values deleted: 2 in 1 hive(s)\n"));
  EXPECT_NE(std::string::npos, run.out.find("Files examined: 3\n"));
  EXPECT_NE(std::string::npos, run.out.find("Not examined: 1\n"));

  // The JSON: a run record first, a summary last, one key style.
  ASSERT_EQ(0u, run.json.find("{\"type\":\"run\",\"tool\":\"quellix-scan\"")) << run.json;
  EXPECT_NE(std::string::npos, run.json.find("\"host\":\"host1\""));
  EXPECT_NE(std::string::npos, run.json.find("\"action\":\"remove\""));
  EXPECT_NE(std::string::npos, run.json.find("{\"type\":\"root\",\"path\":\"/v\"}"));
  EXPECT_NE(std::string::npos,
            run.json.find("{\"type\":\"not_examined\",\"path\":\"/v/locked\",\"reason\":\"denied (13)\"}"));
  EXPECT_NE(std::string::npos, run.json.find("\"type\":\"run_value\",\"hive\":\"/v/NTUSER.DAT\""));
  size_t summary = run.json.find("{\"type\":\"summary\"");
  ASSERT_NE(std::string::npos, summary);
  EXPECT_EQ(run.json.size() - 1, run.json.find('\n', summary));
  EXPECT_NE(std::string::npos, run.json.find("\"run_values_deleted\":2,", summary));
  EXPECT_NE(std::string::npos, run.json.find("\"stopped\":0,\"seconds\":0.000,\"exit_status\":2}", summary));
}

TEST(ConsoleDriver, StopFailuresEmptyRunsAndStandardOutput) {
  struct Case {
    const char* what;
    std::vector<std::string> listed;
    ScanRowStatus removal;
    int stopAfter;
    int status;
    const char* line;  // in the summary
  } cases[] = {
      {"clean", {"/v/a", "/v/b"}, kRowRemoved, 0, kExitNothingFound, "Detections: 0\n"},
      {"handled", {"=/v/a"}, kRowRemoved, 0, kExitAllHandled, "Detections: 1 (removed 1,"},
      {"at restart", {"=/v/a"}, kRowScheduledAtRestart, 0, kExitAllHandled, "Restart needed: 1 file(s)"},
      {"not handled", {"=/v/a"}, kRowRemovalFailed, 0, kExitTrouble, "failed 1)"},
      {"stopped", {"/v/a", "/v/b", "/v/c"}, kRowRemoved, 1, kExitTrouble, "Stopped: the rest was not examined\n"},
      {"nothing examined", {}, kRowRemoved, 0, kExitTrouble, "Nothing was examined"},
  };
  for (const Case& c : cases) {
    gFake.listed = c.listed;
    gFake.removal = c.removal;
    gFake.stopAfter = c.stopAfter;
    Outcome run = RunDriver({"--remove", "--json", "-", "/v"});
    EXPECT_EQ(c.status, run.status) << c.what;
    // With --json - the records own standard output and people read standard error.
    EXPECT_NE(std::string::npos, run.err.find(c.line)) << c.what << "\n" << run.err;
    EXPECT_EQ(0u, run.out.find("{\"type\":\"run\"")) << c.what;
    char expected[64];
    std::snprintf(expected, sizeof expected, "\"stopped\":%d,", c.stopAfter ? 1 : 0);
    EXPECT_NE(std::string::npos, run.out.find(expected)) << c.what;
  }
  gFake.listed = {"=/v/a.exe"};
  gFake.removal = kRowRemovalFailed;
  gFake.stopAfter = 0;
  Outcome run = RunDriver({"--remove", "/v"});
  EXPECT_NE(std::string::npos, run.out.find("/v/a.exe: Worm.Quellix.c (removal failed: held open)\n")) << run.out;
  EXPECT_EQ(kExitUsage, RunDriver({"--remove"}).status);
}

// --finish: a later run cleans the Run values of what an earlier run took
// away and that is still gone below its PATHs, and names that run; a record
// of a run that took nothing away is refused before anything is scanned.
TEST(ConsoleDriver, ALaterRunFinishesTheCleanOfAnEarlierOne) {
  gFake.listed = {"=/v/a.exe", "=/v/b.exe", "/v/c.exe"};
  gFake.removal = kRowRemoved;
  gFake.stopAfter = 0;
  Outcome first = RunDriver({"--remove", "--json", "out.jsonl", "/v"});
  ASSERT_EQ(kExitAllHandled, first.status);
  // A line for a file outside the later run's PATH, as another run might hold.
  std::string earlier = testing::TempDir() + "console_driver_earlier.jsonl";
  std::string text = first.json + "{\"type\":\"intent\",\"path\":\"/w/d.exe\",\"detection\":\"x\"}\n";
  FILE* file = std::fopen(earlier.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  std::fputs(text.c_str(), file);
  std::fclose(file);
  std::string started = first.json.substr(first.json.find("\"started\":\"") + 11, 20);

  gFake.listed = {"/v/b.exe", "/v/c.exe"};  // b.exe is back (a clean file now): its values stay
  Outcome later = RunDriver({"--remove", "--finish", earlier.c_str(), "--json", "-", "/v"});
  EXPECT_EQ(kExitNothingFound, later.status) << later.err;
  EXPECT_NE(std::string::npos, later.out.find("\"refers_to\":\"/v/a.exe\"")) << later.out;
  EXPECT_EQ(std::string::npos, later.out.find("\"refers_to\":\"/v/b.exe\"")) << later.out;
  EXPECT_EQ(std::string::npos, later.out.find("/w/d.exe\"")) << later.out;
  EXPECT_NE(std::string::npos, later.err.find("the run started " + started + " on host1 took away 1 file(s)"))
      << later.err;
  EXPECT_NE(std::string::npos, later.out.find("{\"type\":\"finishing\",\"where\":")) << later.out;

  Outcome detect = RunDriver({"--json", "-", "/v"});
  file = std::fopen(earlier.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  std::fputs(detect.out.c_str(), file);
  std::fclose(file);
  Outcome refused = RunDriver({"--remove", "--finish", earlier.c_str(), "/v"});
  EXPECT_EQ(kExitTrouble, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("a run that took nothing away")) << refused.err;
  EXPECT_EQ(std::string::npos, refused.out.find("Files examined")) << refused.out;
}

// --log appends one plain record per run: heading, command line, rows,
// Run values, summary and exit status; a second run leaves the first whole.
TEST(ConsoleDriver, LogAppendsARecordPerRun) {
  std::string named = testing::TempDir() + "console_driver_log.txt";
  const char* path = named.c_str();
  std::remove(path);
  gFake.listed = {"=/v/z.exe", "/v/clean.exe"};
  gFake.removal = kRowRemoved;
  gFake.stopAfter = 0;
  Outcome first = RunDriver({"--remove", "-l", path, "/v"});
  EXPECT_EQ(kExitAllHandled, first.status);
  std::string once = ReadAll(path);
  gFake.listed = {};
  Outcome second = RunDriver({"--log", path, "-q", "/v"});
  EXPECT_EQ(kExitTrouble, second.status);
  std::string log = ReadAll(path);
  std::remove(path);
  ASSERT_EQ(0u, log.find(once)) << log;  // appended, not rewritten
  EXPECT_EQ(2u, Count(log, "==== "));
  EXPECT_NE(std::string::npos, once.find(" quellix-scan ")) << once;
  EXPECT_NE(std::string::npos, once.find(" on host1\nCommand line: quellix-scan --remove -l ")) << once;
  EXPECT_NE(std::string::npos, once.find("/v/z.exe: Worm.Quellix.c (removed)\n"));
  EXPECT_NE(std::string::npos, once.find("/v/NTUSER.DAT: Run value \"upd\\x0D\\x0Aate\" deleted (x)\n")) << once;
  EXPECT_NE(std::string::npos, once.find("Files examined: 2\n"));
  EXPECT_NE(std::string::npos, once.find("Exit status: 1\n"));
  std::string later = log.substr(once.size());
  EXPECT_NE(std::string::npos, later.find("Nothing was examined")) << later;
  EXPECT_NE(std::string::npos, later.find("Exit status: 2\n"));
  // The screen shows the same rows; the log adds nothing to it but the heading.
  EXPECT_NE(std::string::npos, first.out.find("/v/z.exe: Worm.Quellix.c (removed)\n"));
  EXPECT_EQ(std::string::npos, first.out.find("===="));
}

// --exclude: matching files are not examined, counted, and said in the
// summary and the JSON; an unreadable path that matches is no trouble.
TEST(ConsoleDriver, ExcludedPathsAreNotExamined) {
  gFake.listed = {"=/v/Temp/a.exe", "=/v/b.exe", "!/v/Temp/locked", "/v/c.tmp", "/v/d.exe"};
  gFake.removal = kRowRemoved;
  gFake.stopAfter = 0;
  Outcome run = RunDriver({"--remove", "-x", "Temp/*", "--exclude", "*.tmp", "--json", "o.jsonl", "/v"});
  EXPECT_EQ(kExitAllHandled, run.status) << run.out;
  EXPECT_EQ(std::string::npos, run.out.find("/v/Temp/")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("/v/b.exe: Worm.Quellix.c (removed)\n"));
  EXPECT_NE(std::string::npos, run.out.find("Files examined: 2\n")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("Excluded: 3\n")) << run.out;
  EXPECT_NE(std::string::npos, run.json.find("\"not_examined\":0,\"excluded\":3,")) << run.json;
  // A folder's name leaves its tree out; a pattern that left nothing out is
  // said (a typo, most likely), on standard error and in the JSON.
  Outcome folder = RunDriver({"-x", "Temp", "-x", "Tmep", "--json", "o.jsonl", "/v"});
  EXPECT_NE(std::string::npos, folder.out.find("Excluded: 2\n")) << folder.out;
  EXPECT_NE(std::string::npos, folder.err.find("quellix-scan: Tmep: --exclude matched nothing\n")) << folder.err;
  EXPECT_EQ(1u, Count(folder.err, "matched nothing")) << folder.err;
  EXPECT_NE(std::string::npos, folder.json.find("{\"type\":\"exclude_unused\",\"where\":\"Tmep\",")) << folder.json;
  // Everything left out: nothing examined is trouble, not a clean bill.
  Outcome all = RunDriver({"-x", "*", "/v"});
  EXPECT_EQ(kExitTrouble, all.status);
  EXPECT_NE(std::string::npos, all.out.find("Nothing was examined")) << all.out;
}

// --files-from adds PATHs (the run's roots) after those of the command
// line; -0 splits at NUL so that a name may hold a newline; a list that
// names nothing scans nothing.
TEST(ConsoleDriver, FilesFromAddsPaths) {
  std::string named = testing::TempDir() + "console_driver_list.txt";
  const char* path = named.c_str();
  const char list[] = "/v/one\0/v/two\nlines\0\0/v/three";
  FILE* nul = std::fopen(path, "wb");
  ASSERT_NE(nullptr, nul);
  ASSERT_EQ(sizeof list - 1, std::fwrite(list, 1, sizeof list - 1, nul));
  std::fclose(nul);
  gFake.listed = {"/v/one"};
  gFake.removal = kRowRemoved;
  gFake.stopAfter = 0;
  Outcome run = RunDriver({"--json", "o.jsonl", "--files-from", path, "-0", "/w"});
  EXPECT_EQ(kExitNothingFound, run.status) << run.err;
  size_t w = run.json.find("{\"type\":\"root\",\"path\":\"/w\"}");
  size_t one = run.json.find("{\"type\":\"root\",\"path\":\"/v/one\"}");
  size_t two = run.json.find("{\"type\":\"root\",\"path\":\"/v/two\\u000alines\"}");
  size_t three = run.json.find("{\"type\":\"root\",\"path\":\"/v/three\"}");
  ASSERT_NE(std::string::npos, w) << run.json;
  EXPECT_LT(w, one);
  EXPECT_LT(one, two);
  EXPECT_LT(two, three);
  EXPECT_NE(std::string::npos, three);
  EXPECT_EQ(4u, Count(run.json, "\"type\":\"root\""));

  // One a line, a '\r' before the '\n' dropped.
  FILE* lines = std::fopen(path, "wb");
  ASSERT_NE(nullptr, lines);
  std::fputs("/v/one\r\n\n/v/two\n", lines);
  std::fclose(lines);
  run = RunDriver({"--json", "o.jsonl", "--files-from", path});
  EXPECT_EQ(2u, Count(run.json, "\"type\":\"root\"")) << run.json;
  EXPECT_NE(std::string::npos, run.json.find("\"path\":\"/v/one\"}")) << run.json;

  lines = std::fopen(path, "wb");
  ASSERT_NE(nullptr, lines);
  std::fclose(lines);
  gFake.files = 0;
  run = RunDriver({"--json", "o.jsonl", "--files-from", path});
  EXPECT_EQ(kExitTrouble, run.status);
  EXPECT_EQ(0, gFake.files);  // no walk at all
  EXPECT_NE(std::string::npos, run.err.find("names no PATH")) << run.err;
  EXPECT_NE(std::string::npos, run.json.find("\"exit_status\":2}")) << run.json;
  std::remove(path);
  EXPECT_EQ(kExitTrouble, RunDriver({"--files-from", path}).status);  // gone: cannot be read

  // A run over disk images names each image as a root, marked as one.
  gFake.files = 0;
  run = RunDriver({"--json", "o.jsonl", "--image", "/vm/a.qcow2", "--image", "/vm/b.raw"});
  EXPECT_NE(std::string::npos, run.json.find("{\"type\":\"root\",\"path\":\"/vm/a.qcow2\",\"image\":1}\n"
                                             "{\"type\":\"root\",\"path\":\"/vm/b.raw\",\"image\":1}\n"))
      << run.json;
}

// Each PATH is walked once: one named twice, or inside another, is dropped
// (the first of equal ones stays); a list of lines with a NUL is refused
// rather than cut.
TEST(ConsoleDriver, EachPathWalkedOnce) {
  struct Case {
    std::vector<const char*> paths;
    std::vector<const char*> roots;
  } cases[] = {
      {{"/v/a.exe", "/v/a.exe"}, {"/v/a.exe"}},
      {{"/v/a.exe", "/v"}, {"/v"}},
      {{"/v/", "/v/Temp/x", "/v"}, {"/v/"}},
      {{"/v", "/vx", "/v/../w", "/v/./a"}, {"/v", "/vx", "/v/../w"}},  // ".." may lead anywhere
      {{"/", "/v"}, {"/"}},
      {{"/w", "/v", "/w/a"}, {"/w", "/v"}},
      {{"/v/a", "/v/a\\b"}, {"/v/a", "/v/a\\\\b"}},  // on Linux '\' is part of a name (JSON: "\\")
  };
  gFake.listed = {"/v/a.exe"};
  gFake.stopAfter = 0;
  for (const Case& c : cases) {
    std::vector<const char*> args = {"--json", "o.jsonl"};
    args.insert(args.end(), c.paths.begin(), c.paths.end());
    Outcome run = RunDriver(args);
    std::string roots;
    for (const char* root : c.roots) roots += std::string("{\"type\":\"root\",\"path\":\"") + root + "\"}\n";
    EXPECT_NE(std::string::npos, run.json.find(roots)) << c.paths[0] << "\n" << run.json;
    EXPECT_EQ(c.roots.size(), Count(run.json, "\"type\":\"root\"")) << c.paths[0] << "\n" << run.json;
  }

  std::string named = testing::TempDir() + "console_driver_nul.txt";
  const char list[] = "/v/one\n/v/tw\0o\n";
  FILE* file = std::fopen(named.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(sizeof list - 1, std::fwrite(list, 1, sizeof list - 1, file));
  std::fclose(file);
  gFake.files = 0;
  Outcome run = RunDriver({"--files-from", named.c_str()});
  EXPECT_EQ(kExitTrouble, run.status);
  EXPECT_EQ(0, gFake.files);
  EXPECT_NE(std::string::npos, run.err.find("holds a NUL byte")) << run.err;
  std::remove(named.c_str());
}

TEST(ConsoleDriver, RestoreListOnlyAndAgain) {
  gFake.quarantine = MemoryFolder{};
  gFake.target = MemoryTarget{};
  ASSERT_EQ(kQuarantineDone, QuarantineIntoMemory(&gFake.quarantine, "/v", "a.exe", "worm a"));
  ASSERT_EQ(kQuarantineDone, QuarantineIntoMemory(&gFake.quarantine, "/v", "b.exe", "worm b"));
  ASSERT_EQ(kQuarantineDone, QuarantineIntoMemory(&gFake.quarantine, "/v", "c.exe", "worm c"));

  Outcome list = RunDriver({"restore", "--list", "/q"});
  EXPECT_EQ(kExitNothingFound, list.status) << list.err;
  EXPECT_EQ(3u, Count(list.out, "  quarantined  /v/")) << list.out;
  EXPECT_NE(std::string::npos, list.out.find("Entries: 3\n"));
  EXPECT_TRUE(gFake.target.written.empty()) << "--list changes nothing";

  Outcome one = RunDriver({"restore", "--only", "/v/b.exe", "/q"});
  EXPECT_EQ(kExitNothingFound, one.status) << one.out << one.err;
  EXPECT_EQ(1u, gFake.target.written.size());
  EXPECT_EQ("worm b", gFake.target.written["/v|b.exe"]);

  gFake.target.failing["/v|c.exe"] = 1;
  Outcome rest = RunDriver({"restore", "--json", "r.jsonl", "/q"});
  EXPECT_EQ(kExitTrouble, rest.status);
  EXPECT_NE(std::string::npos, rest.out.find("/v|a.exe: restored\n/v/b.exe: already restored\n"
                                              "/v|c.exe: not restored: no room\n")) << rest.out;
  EXPECT_NE(std::string::npos, rest.out.find("Restored: 1\nAlready restored: 1\nNot restored: 1\n"));
  EXPECT_NE(std::string::npos, rest.json.find("\"path\":\"/v|c.exe\",\"id\":\"")) << rest.json;
  EXPECT_NE(std::string::npos, rest.json.find("\"result\":\"failed\",\"reason\":\"no room\"}")) << rest.json;

  gFake.target.failing.clear();
  Outcome again = RunDriver({"restore", "/q"});
  EXPECT_EQ(kExitNothingFound, again.status) << again.out;
  EXPECT_EQ(2u, Count(again.out, ": already restored\n")) << again.out;
  EXPECT_NE(std::string::npos, again.out.find("/v|c.exe: restored\n")) << again.out;

  Outcome none = RunDriver({"restore", "--only", "/v/nothing.exe", "/q"});
  EXPECT_EQ(kExitTrouble, none.status);
  EXPECT_NE(std::string::npos, none.err.find("the quarantine holds no such entry")) << none.err;
}

TEST(ConsoleDriver, ProgressLineFitsAndShowsThePathsEnd) {
  const char* path = "/mnt/windows/Documents and Settings/alice/Application Data/deep/folder/file.exe";
  // A narrow terminal drops the rate, the bytes and the time so far before
  // a number is cut; the path gives way first.
  struct Case {
    uint32_t columns, percent;
    const char* head;
  } cases[] = {
      {80, kUnknownShare, "123456 files, 5.0 MiB, 2007/s, 2 found, 1:01  "},
      {200, kUnknownShare, "123456 files, 5.0 MiB, 2007/s, 2 found, 1:01  /mnt/windows/"},
      {40, kUnknownShare, "123456 files, 5.0 MiB, 2 found, 1:01"},
      {40, 42, "123456 files, 2 found, 42%, 1:24 left"},
      {30, 42, "123456 f, 2 found, 42%, 1:24 "},
      {80, 42, "123456 files, 5.0 MiB, 2007/s, 2 found, 1:01, 42%, 1:24 left  "},
  };
  for (const Case& c : cases) {
    char line[512];
    FormatProgressLine(line, sizeof line, c.columns, 123456, 5u << 20, 61.5, 2, c.percent, path);
    EXPECT_LE(std::strlen(line), c.columns - 1) << c.columns;
    EXPECT_EQ(0, std::strncmp(line, c.head, std::strlen(c.head))) << c.columns << ": " << line;
    if (c.columns >= 80 && c.percent == kUnknownShare) {
      EXPECT_NE(nullptr, std::strstr(line, "deep/folder/file.exe")) << line;
    }
  }
  char line[512];
  FormatProgressLine(line, sizeof line, 200, 1, 1, 1, 0, kUnknownShare, path);
  EXPECT_NE(nullptr, std::strstr(line, path));
  // With an estimate: the share done and the time left at this pace.
  FormatProgressLine(line, sizeof line, 200, 10, 10, 60, 0, 25, path);
  EXPECT_EQ(0, std::strncmp(line, "10 files, 10 bytes, 0/s, 0 found, 1:00, 25%, 3:00 left  ", 56)) << line;
  for (uint32_t percent : {0u, 100u, uint32_t{kUnknownShare}}) {
    FormatProgressLine(line, sizeof line, 200, 10, 10, 60, 0, percent, path);
    EXPECT_EQ(nullptr, std::strstr(line, "left")) << percent;
  }
}

// The progress line as the driver draws it on a terminal of 40 columns:
// every piece between carriage returns fits, the names' escape sequences
// are shown escaped (which widens them) and never reach the terminal, and
// the last line drawn is wiped before the summary.
TEST(ConsoleDriver, ProgressOnATerminalFitsWithEscapedNames) {
  gFake.listed.clear();
  for (int i = 0; i < 400; ++i)
    gFake.listed.push_back("/v/\x1b[31mred\x1b[0m/" + std::string(i % 3 ? 60 : 5, '\x07') + std::to_string(i));
  gFake.removal = kRowRemoved;
  gFake.stopAfter = 0;
  gFake.columns = 40;
  gFake.clock = 0;
  gFake.tick = 0.1;
  Outcome run = RunDriver({"/v"});
  gFake.columns = 0;
  gFake.tick = 0;
  EXPECT_EQ(kExitNothingFound, run.status);
  EXPECT_EQ(std::string::npos, run.err.find('\x1b'));
  EXPECT_EQ(std::string::npos, run.err.find('\x07'));
  size_t drawn = 0, start = 0;
  for (size_t i = 0; i <= run.err.size(); ++i) {
    if (i < run.err.size() && run.err[i] != '\r' && run.err[i] != '\n') continue;
    std::string piece = run.err.substr(start, i - start);
    EXPECT_LE(piece.size(), 39u) << piece;
    if (piece.find(" files, ") != std::string::npos) ++drawn;
    start = i + 1;
  }
  EXPECT_LT(10u, drawn);
  // The last thing on the terminal is the wiped line: nothing is left standing.
  ASSERT_LT(2u, run.err.size());
  EXPECT_EQ('\r', run.err.back());
  size_t wiped = run.err.find_last_of('\r', run.err.size() - 2);
  ASSERT_NE(std::string::npos, wiped);
  EXPECT_EQ(std::string(39, ' '), run.err.substr(wiped + 1, run.err.size() - wiped - 2));
}

}  // namespace
