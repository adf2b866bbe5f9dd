// FileList under Wine on real trees, through the walk visitor. Run by run_with_drives.sh: drive D:
// holds "many" (100 000 files), "cycle" (a link back to an ancestor) and
// "links" (links to each other, to themselves and out of the drive) planted
// on the host side; every other tree is made here. Drive E: is empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/support/win_files_win32.h"
#include "walker/file_list_win32.h"

namespace {

using qxtest::MakeDirs;
using qxtest::WriteBytes;

struct Seen {
  std::string directory;
  FindRecord record;
};

struct Unreadable {
  std::string path;
  uint32_t error;
  bool operator==(const Unreadable& other) const { return path == other.path && error == other.error; }
};

std::ostream& operator<<(std::ostream& out, const Unreadable& u) { return out << u.path << " (" << u.error << ")"; }

// What the visitor saw; its callbacks are plain functions, so this is global.
std::vector<Seen> seen;
std::vector<Unreadable> unreadable;
size_t stopAfter = 0;  // return 0 on this file (1-based); 0 never
int stopOnUnreadable = 0;
int wrongCurrentDirectory = 0;
int inconsistentEntries = 0;

int Collect(void*, const WalkEntry* entry) {
  const FindRecord* record = static_cast<const FindRecord*>(entry->native);
  std::string directory(entry->path, entry->directoryLength);
  seen.push_back({directory, *record});
  // The entry's path is the directory and the record's name; its size all
  // 64 bits of the record's.
  uint64_t size = static_cast<uint64_t>(record->sizeHigh) << 32 | record->size;
  if (entry->name != entry->path + entry->directoryLength || std::strcmp(entry->name, record->name) != 0 ||
      directory.empty() || directory.back() != '\\' || entry->size != size)
    ++inconsistentEntries;
  // During the call the directory is current (without its trailing backslash
  // except at a drive root).
  std::string expected = directory;
  if (expected.size() > 3) expected.pop_back();
  if (_stricmp(qxtest::CurrentDirectory().c_str(), expected.c_str()) != 0) ++wrongCurrentDirectory;
  return stopAfter == 0 || seen.size() < stopAfter;
}

int NoteUnreadable(void*, const char* path, uint32_t error) {
  unreadable.push_back({path, error});
  return stopOnUnreadable ? 0 : 1;
}

const WalkVisitor kCollect = {Collect, NoteUnreadable, nullptr};

void Reset() {
  seen.clear();
  unreadable.clear();
  stopAfter = 0;
  stopOnUnreadable = 0;
  wrongCurrentDirectory = 0;
  inconsistentEntries = 0;
}

std::vector<std::string> FullPaths() {
  std::vector<std::string> paths;
  for (const Seen& s : seen) paths.push_back(s.directory + s.record.name);
  return paths;
}

void MakeFile(const std::string& path, size_t size = 1) {
  ASSERT_TRUE(WriteBytes(path, std::vector<unsigned char>(size, 'x'))) << path;
}

// Directories and files with paths beyond MAX_PATH need the wide \\?\ form.
void MakeLongDir(const std::string& path) {
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + qxtest::Widen(path)).c_str(), nullptr)) << path;
}
void MakeLongFile(const std::string& path) {
  ASSERT_TRUE(qxtest::WriteBytesW(L"\\\\?\\" + qxtest::Widen(path), {'x'})) << path;
}

// Stands in a known directory for the test and returns to C:\ after.
class InDirectory {
 public:
  explicit InDirectory(const char* path) { SetCurrentDirectoryA(path); }
  ~InDirectory() { SetCurrentDirectoryA("C:\\"); }
};

TEST(FileList, BreadthFirstOrderAndNonRecursiveWalk) {
  const std::string root = "D:\\bfs\\";
  ASSERT_TRUE(MakeDirs(root + "A\\AA\\"));
  ASSERT_TRUE(MakeDirs(root + "B\\BB\\"));
  MakeFile(root + "r1.txt");
  MakeFile(root + "r2.txt");
  MakeFile(root + "A\\a.txt");
  MakeFile(root + "A\\AA\\aa.txt");
  MakeFile(root + "B\\b.txt");
  MakeFile(root + "B\\BB\\bb.txt");

  InDirectory stand("C:\\windows");
  Reset();
  FileList list;
  // Without the trailing backslash: the walk adds it.
  ASSERT_EQ(1, list.Open("D:\\bfs", 1, kCollect)) << list.ErrorText();
  EXPECT_EQ(0, wrongCurrentDirectory);
  EXPECT_EQ(0, inconsistentEntries);
  EXPECT_TRUE(unreadable.empty());
  EXPECT_STREQ("", list.ErrorText());
  EXPECT_STREQ("C:\\windows", qxtest::CurrentDirectory().c_str());
  EXPECT_EQ(1, list.IsOpen());

  std::vector<std::string> paths = FullPaths();
  ASSERT_EQ(6u, paths.size());
  auto at = [&](const char* name) {
    return std::find(paths.begin(), paths.end(), root + name) - paths.begin();
  };
  for (const char* name : {"r1.txt", "r2.txt", "A\\a.txt", "B\\b.txt", "A\\AA\\aa.txt", "B\\BB\\bb.txt"})
    ASSERT_LT(at(name), 6) << name << " not reported";
  // The root's files first, then the first level, then the second; the
  // second level in the order of its parents.
  EXPECT_LT(std::max(at("r1.txt"), at("r2.txt")), std::min(at("A\\a.txt"), at("B\\b.txt")));
  EXPECT_LT(std::max(at("A\\a.txt"), at("B\\b.txt")), std::min(at("A\\AA\\aa.txt"), at("B\\BB\\bb.txt")));
  EXPECT_EQ(at("A\\a.txt") < at("B\\b.txt"), at("A\\AA\\aa.txt") < at("B\\BB\\bb.txt"));
  EXPECT_EQ(root, seen[0].directory);
  for (const Seen& s : seen) {
    EXPECT_EQ(std::string::npos, s.directory.find("\\.\\")) << s.directory;
    EXPECT_EQ(std::string::npos, s.directory.find("\\..\\")) << s.directory;
    EXPECT_EQ(0u, s.record.attributes & FILE_ATTRIBUTE_DIRECTORY) << s.record.name;
  }
  EXPECT_EQ(1, list.Close());

  // Not recursive: the root's files alone; a root with its backslash gets no second one.
  Reset();
  ASSERT_EQ(1, list.Open(root.c_str(), 0, kCollect));
  paths = FullPaths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ((std::vector<std::string>{root + "r1.txt", root + "r2.txt"}), paths);
  EXPECT_EQ(1, list.Close());
}

TEST(FileList, FindRecordCarriesAttributesSizeAndTimes) {
  const std::string root = "D:\\rec\\";
  ASSERT_TRUE(MakeDirs(root));
  MakeFile(root + "big.bin", 70000);
  MakeFile(root + "future.bin");
  MakeFile(root + "plain.bin", 0);
  auto setWriteTime = [&](const char* name, int64_t unixSeconds) {
    HANDLE file = CreateFileA((root + name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (unixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME time = {ticks.LowPart, ticks.HighPart};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
  };
  setWriteTime("big.bin", 1000000000);
  setWriteTime("future.bin", 2208988800LL);  // 2040
  setWriteTime("plain.bin", 2147483647);
  ASSERT_TRUE(SetFileAttributesA((root + "big.bin").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

  Reset();
  FileList list;
  ASSERT_EQ(1, list.Open(root.c_str(), 1, kCollect));
  std::map<std::string, FindRecord> byName;
  for (const Seen& s : seen) byName[s.record.name] = s.record;
  ASSERT_EQ(3u, byName.size());
  const FindRecord& big = byName["big.bin"];
  EXPECT_EQ(70000u, big.size);
  EXPECT_EQ(static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            big.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(1000000000, big.lastWriteTime);
  EXPECT_EQ(-1, byName["future.bin"].lastWriteTime);
  EXPECT_EQ(2147483647, byName["plain.bin"].lastWriteTime);
  EXPECT_EQ(0u, byName["plain.bin"].size);
  // The others were just made: now-ish, as 32-bit seconds.
  EXPECT_GT(byName["plain.bin"].creationTime, 1600000000);
  EXPECT_GT(byName["plain.bin"].lastAccessTime, 1600000000);
  SetFileAttributesA((root + "big.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileList, CallbackEndingTheWalkOnTheFirstFile) {
  const std::string root = "D:\\stop\\";
  ASSERT_TRUE(MakeDirs(root + "sub\\"));
  MakeFile(root + "one.txt");
  MakeFile(root + "two.txt");
  MakeFile(root + "sub\\three.txt");

  InDirectory stand("C:\\windows\\system32");
  FileList list;
  // An earlier failure's text must survive the stopped walk.
  ASSERT_EQ(0, list.Close());
  EXPECT_STREQ("file list not open!", list.ErrorText());
  Reset();
  stopAfter = 1;
  EXPECT_EQ(0, list.Open(root.c_str(), 1, kCollect));
  EXPECT_EQ(1u, seen.size());
  EXPECT_STREQ("file list not open!", list.ErrorText());
  EXPECT_STREQ("C:\\windows\\system32", qxtest::CurrentDirectory().c_str());
  EXPECT_EQ(0, list.IsOpen());
  EXPECT_STREQ("", list.Root());

  FileList fresh;
  Reset();
  stopAfter = 1;
  EXPECT_EQ(0, fresh.Open(root.c_str(), 1, kCollect));
  EXPECT_STREQ("", fresh.ErrorText());
  EXPECT_EQ(0, fresh.Close());
  EXPECT_STREQ("file list not open!", fresh.ErrorText());

  // The object serves the next walk as usual.
  Reset();
  EXPECT_EQ(1, fresh.Open(root.c_str(), 1, kCollect));
  EXPECT_EQ(3u, seen.size());
  EXPECT_EQ(1, fresh.Close());
  EXPECT_STREQ("", fresh.ErrorText());

  // An unreadable directory whose report returns 0 ends the walk the same way.
  const std::string lost = root + "sub\\gone\\";
  Reset();
  stopOnUnreadable = 1;
  EXPECT_EQ(0, fresh.Open(lost.c_str(), 1, kCollect));
  ASSERT_EQ(1u, unreadable.size());
  EXPECT_EQ(root + "sub\\gone", unreadable[0].path);
  EXPECT_NE(0u, unreadable[0].error);
  EXPECT_STREQ("", fresh.ErrorText());
  EXPECT_EQ(0, fresh.IsOpen());
  EXPECT_STREQ("C:\\windows\\system32", qxtest::CurrentDirectory().c_str());
}

TEST(FileList, OpenTwiceKeepsTheFirstWalk) {
  const std::string root = "D:\\twice\\";
  ASSERT_TRUE(MakeDirs(root));
  MakeFile(root + "kept.bin");
  MakeFile(root + "also.bin");

  FileList list;
  Reset();
  ASSERT_EQ(1, list.Open("D:\\twice", 1, kCollect));
  EXPECT_EQ(2u, seen.size());
  Reset();
  EXPECT_EQ(0, list.Open("D:\\bfs\\", 1, kCollect));
  EXPECT_TRUE(seen.empty());
  EXPECT_STREQ("Opened already(D:\\twice)!", list.ErrorText());
  EXPECT_EQ(1, list.IsOpen());
  EXPECT_STREQ("D:\\twice", list.Root());
  EXPECT_EQ(1, list.Close());
  EXPECT_STREQ("", list.ErrorText());
  EXPECT_EQ(0, list.Close());
}

TEST(FileList, EmptyDriveRootIsASuccessfulWalkWithNoFile) {
  // A drive root lists no "." or "..": the search cannot even start there,
  // and that is an empty listing, not an unreadable one.
  FileList list;
  Reset();
  EXPECT_EQ(1, list.Open("E:\\", 1, kCollect)) << list.ErrorText();
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(unreadable.empty()) << unreadable[0];
  EXPECT_STREQ("", list.ErrorText());
  EXPECT_EQ(1, list.Close());

  // "E:" is walked as E:\ and the root's own path is the callback's directory.
  MakeFile("E:\\only.txt");
  Reset();
  EXPECT_EQ(1, list.Open("E:", 1, kCollect));
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ("E:\\", seen[0].directory);
  EXPECT_STREQ("only.txt", seen[0].record.name);
  EXPECT_EQ(0, wrongCurrentDirectory);
  EXPECT_EQ(1, list.Close());
  DeleteFileA("E:\\only.txt");

  // A root that cannot be entered is reported like any such directory, with
  // the system's reason, and the walk still ends as a walk.
  Reset();
  EXPECT_EQ(1, list.Open("D:\\does-not-exist\\", 1, kCollect));
  EXPECT_TRUE(seen.empty());
  ASSERT_EQ(1u, unreadable.size());
  EXPECT_EQ("D:\\does-not-exist", unreadable[0].path);
  EXPECT_TRUE(unreadable[0].error == ERROR_FILE_NOT_FOUND || unreadable[0].error == ERROR_PATH_NOT_FOUND)
      << unreadable[0].error;
  EXPECT_EQ(1, list.Close());

  // Without an `unreadable` the walk goes on past it all the same.
  Reset();
  EXPECT_EQ(1, list.Open("D:\\does-not-exist\\", 1, WalkVisitor{Collect, nullptr, nullptr}));
  EXPECT_EQ(1, list.Close());
}

TEST(FileList, QueuedPathsOf258AreWalkedAnd259Reported) {
  // D:\lim\ (7) + 100 + 1 + 100 + 1 = 209; a last name of 48 makes a queued
  // path of 258 characters with its backslash, one of 49 makes 259.
  const std::string base = "D:\\lim\\" + std::string(100, 'p') + "\\" + std::string(100, 'q') + "\\";
  ASSERT_EQ(209u, base.size());
  ASSERT_TRUE(MakeDirs("D:\\lim\\"));
  MakeLongDir(base.substr(0, 107));
  MakeLongDir(base.substr(0, 208));
  const std::string at258 = base + std::string(47, 'a') + "8\\";
  const std::string at259 = base + std::string(48, 'b') + "9\\";
  ASSERT_EQ(258u, at258.size());
  ASSERT_EQ(259u, at259.size());
  MakeLongDir(at258);
  MakeLongDir(at259);
  // File names of any length reach the callback, beyond MAX_PATH in full.
  const std::string longName(255, 'L');
  MakeLongFile(at258 + longName);
  MakeLongFile(at259 + "lost.txt");
  MakeLongFile(base + "mid.txt");

  Reset();
  FileList list;
  ASSERT_EQ(1, list.Open("D:\\lim", 1, kCollect)) << list.ErrorText();
  std::vector<std::string> paths = FullPaths();
  std::vector<std::string> expected = {base + "mid.txt", at258 + longName};
  std::sort(paths.begin(), paths.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, paths);
  EXPECT_EQ(0, wrongCurrentDirectory);
  // The directory that is too long is named, not walked.
  EXPECT_EQ((std::vector<Unreadable>{{at259.substr(0, 258), ERROR_FILENAME_EXCED_RANGE}}), unreadable);
  EXPECT_EQ(1, list.Close());

  // As a root, a path of 259 characters still fits and is walked; a longer
  // one is reported like a subdirectory would be, and the root field keeps
  // what fits.
  Reset();
  EXPECT_EQ(1, list.Open(at259.c_str(), 1, kCollect));
  EXPECT_EQ((std::vector<std::string>{at259 + "lost.txt"}), FullPaths());
  EXPECT_TRUE(unreadable.empty());
  EXPECT_EQ(1, list.Close());
  const std::string tooLong = at259 + std::string(40, 'z') + "\\";
  MakeLongDir(tooLong);
  MakeLongFile(tooLong + "beyond.txt");
  Reset();
  EXPECT_EQ(1, list.Open(tooLong.c_str(), 1, kCollect));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ((std::vector<Unreadable>{{tooLong.substr(0, tooLong.size() - 1), ERROR_FILENAME_EXCED_RANGE}}),
            unreadable);
  EXPECT_EQ(kRootCapacity - 1, strlen(list.Root()));
  EXPECT_EQ(1, list.Close());
}

TEST(FileList, NamesWithSpacesDotsAndUnrepresentableCharacters) {
  const std::string root = "D:\\names\\";
  ASSERT_TRUE(MakeDirs(root + "dir with space.d\\"));
  const wchar_t odd = qxtest::UnrepresentableChar();
  ASSERT_NE(0, odd) << "the code page represents every candidate";
  const char* plain[] = {"with space.txt", " leading", "many.dots.in.name", "...three", ".hidden",
                         "dir with space.d\\inside.txt"};
  for (const char* name : plain) MakeFile(root + name);
  const std::wstring wideRoot = qxtest::Widen(root);
  ASSERT_TRUE(qxtest::WriteBytesW(wideRoot + L"x" + odd + L".txt", {'x'}));
  ASSERT_TRUE(CreateDirectoryW((wideRoot + L"d" + odd).c_str(), nullptr));
  ASSERT_TRUE(qxtest::WriteBytesW(wideRoot + L"d" + odd + L"\\unreached.txt", {'x'}));

  Reset();
  FileList list;
  ASSERT_EQ(1, list.Open(root.c_str(), 1, kCollect)) << list.ErrorText();
  std::vector<std::string> paths = FullPaths();
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> expected;
  for (const char* name : plain) expected.push_back(root + name);
  // The file's ANSI name stands in for it; a directory under such a name
  // cannot be entered by its ANSI path and is reported with the reason.
  expected.push_back(root + qxtest::Narrow(std::wstring(L"x") + odd + L".txt"));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, paths);
  ASSERT_EQ(1u, unreadable.size());
  EXPECT_EQ(root + qxtest::Narrow(std::wstring(L"d") + odd), unreadable[0].path);
  EXPECT_NE(0u, unreadable[0].error);
  printf("a directory under a name outside the code page: error %u\n", unreadable[0].error);
  EXPECT_EQ(1, list.Close());
}

TEST(FileList, TreeOneHundredLevelsDeep) {
  std::string path = "D:\\deep\\";
  std::vector<std::string> expected;
  for (int level = 0; level <= 100; ++level) {
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << path;
    MakeFile(path + "f" + std::to_string(level));
    expected.push_back(path + "f" + std::to_string(level));
    path += "d\\";
  }
  Reset();
  FileList list;
  ASSERT_EQ(1, list.Open("D:\\deep\\", 1, kCollect));
  // Breadth-first on a chain is depth order.
  EXPECT_EQ(expected, FullPaths());
  EXPECT_EQ(0, inconsistentEntries);
  EXPECT_EQ(208u, seen.back().directory.size());
  EXPECT_EQ(1, list.Close());
}

TEST(FileList, DirectoryCycleIsWalkedOnce) {
  // cycle\a\b\upward leads back to cycle\a (planted by the driver).
  Reset();
  stopAfter = 1000;
  FileList list;
  ASSERT_EQ(1, list.Open("D:\\cycle\\", 1, kCollect)) << list.ErrorText();
  std::map<std::string, int> count;
  for (const Seen& s : seen) ++count[s.directory + s.record.name];
  EXPECT_EQ((std::map<std::string, int>{{"D:\\cycle\\a\\one.txt", 1}, {"D:\\cycle\\a\\b\\two.txt", 1}}), count);
  // A directory met again, or a link not entered, is no trouble to report.
  EXPECT_TRUE(unreadable.empty()) << unreadable[0];
  EXPECT_EQ(1, list.Close());
}

// links\pair\a\to_b and links\pair\b\to_a lead to each other, links\self
// holds two links to itself, links\outward leads to a host folder outside
// every drive (planted by the driver). The callback ends a runaway walk.
TEST(FileList, LinksAreNotFollowedAndEachFileIsReportedOnce) {
  Reset();
  stopAfter = 20000;
  FileList list;
  ASSERT_EQ(1, list.Open("D:\\links", 1, kCollect)) << list.ErrorText() << " after " << seen.size() << " files";
  std::map<std::string, int> count;
  for (const Seen& s : seen) ++count[s.directory + s.record.name];
  EXPECT_EQ((std::map<std::string, int>{{"D:\\links\\pair\\a\\one.txt", 1},
                                        {"D:\\links\\pair\\b\\two.txt", 1},
                                        {"D:\\links\\self\\self.txt", 1}}),
            count);
  EXPECT_EQ(0, wrongCurrentDirectory);
  EXPECT_TRUE(unreadable.empty()) << unreadable[0];
  EXPECT_EQ(1, list.Close());
}

// The directory whose listing a test makes fail, and with which error.
std::string faultyDirectory;
uint32_t faultError = 0;
uint32_t FailListing(const char* directory) { return faultyDirectory == directory ? faultError : 0; }

// A shortage of memory or handles once ended the walk without a word, the
// rest of the tree unexamined: now the directory is named with the system's
// reason and the walk goes on, whatever the code and wherever it happens. So
// is a directory below the root whose listing finds nothing, not even ".".
TEST(FileList, ListingThatFailsForWantOfMemoryOrHandlesIsReportedAndTheWalkGoesOn) {
  const std::string root = "D:\\short\\";
  ASSERT_TRUE(MakeDirs(root + "first\\inner\\"));
  ASSERT_TRUE(MakeDirs(root + "second\\"));
  MakeFile(root + "top.txt");
  MakeFile(root + "first\\one.txt");
  MakeFile(root + "first\\inner\\deep.txt");
  MakeFile(root + "second\\two.txt");
  struct Case {
    const char* directory;
    uint32_t error;
    std::vector<std::string> files;
    bool reported;
  };
  const std::vector<std::string> all = {root + "top.txt", root + "first\\one.txt", root + "second\\two.txt",
                                        root + "first\\inner\\deep.txt"};
  const Case cases[] = {
      {"D:\\short\\first\\", ERROR_NOT_ENOUGH_MEMORY, {root + "top.txt", root + "second\\two.txt"}, true},
      {"D:\\short\\second\\", ERROR_OUTOFMEMORY, {root + "top.txt", root + "first\\one.txt", root + "first\\inner\\deep.txt"}, true},
      {"D:\\short\\first\\inner\\", ERROR_TOO_MANY_OPEN_FILES, {root + "top.txt", root + "first\\one.txt", root + "second\\two.txt"}, true},
      {"D:\\short\\first\\inner\\", ERROR_NO_SYSTEM_RESOURCES, {root + "top.txt", root + "first\\one.txt", root + "second\\two.txt"}, true},
      {"D:\\short\\", ERROR_NOT_ENOUGH_MEMORY, {}, true},
      // Below the root a listing always holds "."; none at all is a failure.
      {"D:\\short\\second\\", ERROR_NO_MORE_FILES, {root + "top.txt", root + "first\\one.txt", root + "first\\inner\\deep.txt"}, true},
      {"D:\\short\\first\\", ERROR_FILE_NOT_FOUND, {root + "top.txt", root + "second\\two.txt"}, true},
      // A root (a drive's) may list nothing at all: empty, not unreadable.
      {"D:\\short\\", ERROR_FILE_NOT_FOUND, {}, false},
  };
  FileListFaultForTesting = FailListing;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.directory) + " failing with " + std::to_string(c.error));
    faultyDirectory = c.directory;
    faultError = c.error;
    Reset();
    FileList list;
    EXPECT_EQ(1, list.Open(root.c_str(), 1, kCollect));
    std::vector<std::string> paths = FullPaths(), expected = c.files;
    std::sort(paths.begin(), paths.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, paths);
    std::string named = c.directory;
    named.pop_back();
    const std::vector<Unreadable> expectedUnreadable =
        c.reported ? std::vector<Unreadable>{{named, c.error}} : std::vector<Unreadable>{};
    EXPECT_EQ(expectedUnreadable, unreadable);
    if (!c.reported) continue;
    // The visitor may still end the walk at the report.
    Reset();
    stopOnUnreadable = 1;
    FileList stopped;
    EXPECT_EQ(0, stopped.Open(root.c_str(), 1, kCollect));
    EXPECT_EQ(1u, unreadable.size());
  }
  FileListFaultForTesting = nullptr;
  Reset();
  FileList whole;
  EXPECT_EQ(1, whole.Open(root.c_str(), 1, kCollect));
  EXPECT_EQ(all.size(), seen.size());
  EXPECT_TRUE(unreadable.empty());
}

// What Wine reports for a Unix symbolic link to a directory, and whether the
// file index names a directory whatever path reached it.
TEST(FileList, DirectoryLinkIsAReparsePointAndItsTargetKeepsItsIndex) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA("D:\\links\\pair\\a\\to_b", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  FindClose(search);
  printf("attributes of a directory link: 0x%lx\n", static_cast<unsigned long>(data.dwFileAttributes));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(0u, GetFileAttributesA("D:\\links\\pair\\b") & FILE_ATTRIBUTE_REPARSE_POINT);

  auto identify = [](const char* path, BY_HANDLE_FILE_INFORMATION* information) {
    HANDLE directory = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(directory, information);
    CloseHandle(directory);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION direct, linked, other;
  ASSERT_TRUE(identify("D:\\links\\pair\\b", &direct));
  ASSERT_TRUE(identify("D:\\links\\pair\\a\\to_b", &linked));
  ASSERT_TRUE(identify("D:\\links\\pair\\a", &other));
  printf("directory b: volume %08lx index %08lx%08lx; through the link: volume %08lx index %08lx%08lx\n",
         direct.dwVolumeSerialNumber, direct.nFileIndexHigh, direct.nFileIndexLow, linked.dwVolumeSerialNumber,
         linked.nFileIndexHigh, linked.nFileIndexLow);
  EXPECT_EQ(direct.dwVolumeSerialNumber, linked.dwVolumeSerialNumber);
  EXPECT_EQ(direct.nFileIndexLow, linked.nFileIndexLow);
  EXPECT_EQ(direct.nFileIndexHigh, linked.nFileIndexHigh);
  EXPECT_FALSE(direct.nFileIndexLow == other.nFileIndexLow && direct.nFileIndexHigh == other.nFileIndexHigh);
}

TEST(FileList, ErrorTexts) {
  // The out-of-memory text is code-page-936 bytes whatever the interface language.
  wchar_t fromCp936[16] = {0}, fromUtf8[16] = {0};
  ASSERT_GT(MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, kWalkOutOfMemory, -1, fromCp936, 16), 0);
  ASSERT_GT(MultiByteToWideChar(CP_UTF8, 0, u8"内存不够!", -1, fromUtf8, 16), 0);
  EXPECT_STREQ(fromUtf8, fromCp936);
  EXPECT_EQ(9u, strlen(kWalkOutOfMemory));
  EXPECT_STREQ("findfirst failure,maybe memory not enough!", kFindFirstFailure);
}

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// Counts through the walk's context: the pointer given to Open arrives in every call.
int CountFiles(void* count, const WalkEntry*) {
  ++*static_cast<int*>(count);
  return 1;
}

TEST(FileList, HundredThousandFilesAgainstAPlainSearchLoop) {
  LARGE_INTEGER walkStart, walkEnd, loopStart, loopEnd;
  int counted = 0;
  FileList list;
  QueryPerformanceCounter(&walkStart);
  ASSERT_EQ(1, list.Open("D:\\many\\", 1, WalkVisitor{CountFiles, nullptr, &counted}));
  QueryPerformanceCounter(&walkEnd);
  EXPECT_EQ(100000, counted);
  EXPECT_EQ(1, list.Close());

  int plain = 0;
  WIN32_FIND_DATAA data;
  QueryPerformanceCounter(&loopStart);
  HANDLE search = FindFirstFileA("D:\\many\\*", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++plain;
  } while (FindNextFileA(search, &data));
  FindClose(search);
  QueryPerformanceCounter(&loopEnd);
  EXPECT_EQ(100000, plain);

  double walk = Seconds(walkStart, walkEnd), loop = Seconds(loopStart, loopEnd);
  printf("walker: %d files in %.3f s (%.0f files/s); plain FindFirstFileA/FindNextFileA loop: %d files in %.3f s (%.0f files/s)\n",
         counted, walk, counted / walk, plain, loop, plain / loop);
}

}  // namespace
