// The quarantine's Windows calls under Wine, driven through the core as the
// scanner drives them: a restore goes only beneath its root, through no
// link, into no other folder put in the root's place, and never strips a
// file it did not replace; the original goes only once its line is on the
// disk; this host's key is made once and read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "remedy/quarantine.h"
#include "remedy/quarantine_win32.h"
#include "tests/support/win_files_win32.h"

using qxtest::ScratchDir;

namespace {

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Text(const std::string& path) {
  std::vector<unsigned char> bytes;
  if (!qxtest::ReadBytes(path, &bytes)) return "";
  return std::string(bytes.begin(), bytes.end());
}

bool Put(const std::string& path, const std::string& text) {
  return qxtest::WriteBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

const unsigned char kKey[kQuarantineKeySize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// "worm bytes" quarantined from <dir>vol\sub\worm.exe (root <dir>vol) into <dir>q.
struct Quarantined {
  std::string q, root, original;
  QuarantineRecord record;
};

void QuarantineFile(const ScratchDir& dir, Quarantined* r) {
  r->root = dir.Sub("vol");
  r->original = dir.Sub("vol\\sub\\worm.exe");
  r->q = dir.Sub("q");
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("vol\\sub")));
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("outside")));
  ASSERT_TRUE(Put(r->original, "worm bytes"));
  ASSERT_TRUE(SetFileAttributesA(r->original.c_str(), FILE_ATTRIBUTE_HIDDEN));
  static QuarantineFolderWin32 folder;
  char why[kQuarantineReasonCapacity] = "";
  ASSERT_TRUE(OpenQuarantineFolderWin32(r->q.c_str(), 1, &folder, why, sizeof why)) << why;
  static QuarantineStore store;
  ASSERT_TRUE(OpenQuarantineStore(QuarantineFolderPortWin32(&folder), kKey, &store, why, sizeof why)) << why;
  QuarantineRootWin32 root;
  ASSERT_TRUE(DescribeQuarantineRootWin32(r->root.c_str(), &root));
  static QuarantineOriginalWin32 original;
  FileIdentity unknown{0, 0, 0};
  ASSERT_EQ(kQuarantineDone, OpenQuarantineOriginalWin32(r->original.c_str(), unknown, &original, why, sizeof why));
  ASSERT_TRUE(DescribeQuarantinedFileWin32(original, root, "Worm.Test", &r->record));
  EXPECT_STREQ("sub/worm.exe", r->record.relative);
  EXPECT_EQ(kQuarantineDone,
            QuarantineOne(&store, &r->record, QuarantineOriginalPortWin32(&original), why, sizeof why))
      << why;
  CloseQuarantineStore(&store);
  CloseQuarantineFolderWin32(&folder);
  EXPECT_FALSE(Exists(r->original));
}

// One restore through the core: the line proven by the key, `toRoot` as --to.
RestoreOutcome Restore(const Quarantined& r, const QuarantineRecord& record, const char* toRoot, int force,
                       std::string* why = nullptr) {
  static QuarantineFolderWin32 folder;
  static QuarantineStore store;
  static RestoreTargetWin32 target;
  char reason[kQuarantineReasonCapacity] = "", shown[kQuarantineTextCapacity] = "";
  if (!OpenQuarantineFolderWin32(r.q.c_str(), 0, &folder, reason, sizeof reason) ||
      !OpenQuarantineForRestore(QuarantineFolderPortWin32(&folder), kKey, &store, reason, sizeof reason))
    return kRestoreFailed;
  // An id of its own each time: no earlier restore makes it "already restored".
  static QuarantineRecord trusted;
  static unsigned calls = 0;
  trusted = record;
  trusted.trusted = 1;
  snprintf(trusted.id, sizeof trusted.id, "test/%u", ++calls);
  RestoreRequest request{toRoot, nullptr, force};
  RestoreOutcome outcome = RestoreQuarantined(&store, trusted, request, RestoreTargetPortWin32(&target), shown,
                                              sizeof shown, reason, sizeof reason);
  CloseQuarantineStore(&store);
  CloseQuarantineFolderWin32(&folder);
  if (why) *why = reason;
  return outcome;
}

TEST(QuarantineWin32, RestoreStaysBeneathItsRoot) {
  ScratchDir dir("qrestore");
  Quarantined r;
  QuarantineFile(dir, &r);
  // Parts Windows would read otherwise than written: nothing is made anywhere.
  const char* const crafted[] = {"sub/../../outside/worm.exe", "con",      "sub/nul.txt", "sub/worm.exe:stream",
                                 "sub/worm.exe.",              "sub /x",   "sub\\x",      "sub/w*rm.exe",
                                 "sub//worm.exe",              "sub/./x",  "COM1.exe",    "sub/\x01x"};
  for (const char* relative : crafted) {
    QuarantineRecord record = r.record;
    snprintf(record.relative, sizeof record.relative, "%s", relative);
    for (int force = 0; force <= 1; ++force) EXPECT_EQ(kRestoreFailed, Restore(r, record, nullptr, force)) << relative;
  }
  EXPECT_FALSE(Exists(dir.Sub("outside\\worm.exe")));

  // Beneath the root the person names: the same place after it.
  std::string other = dir.Sub("other");
  ASSERT_TRUE(qxtest::MakeDirs(other + "\\sub"));
  EXPECT_EQ(kRestoreDone, Restore(r, r.record, other.c_str(), 0));
  EXPECT_EQ("worm bytes", Text(other + "\\sub\\worm.exe"));
  EXPECT_FALSE(Exists(r.original));

  // A folder on the way that is a link.
  std::wstring link = qxtest::Widen(dir.Sub("vol\\linked")), target = qxtest::Widen(dir.Sub("outside"));
  // Newer than the SDK level the product builds for: bound at run time.
  typedef BOOLEAN(WINAPI * CreateLinkFunction)(LPCWSTR, LPCWSTR, DWORD);
  auto createLink = reinterpret_cast<CreateLinkFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkW")));
  const DWORD kDirectoryLink = 1;
  if (createLink && createLink(link.c_str(), target.c_str(), kDirectoryLink)) {
    ASSERT_TRUE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    QuarantineRecord record = r.record;
    snprintf(record.relative, sizeof record.relative, "%s", "linked/worm.exe");
    for (int force = 0; force <= 1; ++force) EXPECT_EQ(kRestoreFailed, Restore(r, record, nullptr, force));
    EXPECT_FALSE(Exists(dir.Sub("outside\\worm.exe")));
  } else {
    printf("no directory links here (error %lu): that row is not run\n", static_cast<unsigned long>(GetLastError()));
  }

  // Back where it was, with its attributes.
  EXPECT_EQ(kRestoreDone, Restore(r, r.record, nullptr, 0));
  EXPECT_EQ("worm bytes", Text(r.original));
  EXPECT_TRUE(GetFileAttributesA(r.original.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST(QuarantineWin32, AnotherFolderInTheRootsPlaceIsNotWritten) {
  ScratchDir dir("qrootid");
  Quarantined r;
  QuarantineFile(dir, &r);
  ASSERT_TRUE(r.record.rootIdentified) << "Wine gives folders an identity";
  // The root moved away and a folder of the same name made in its place.
  ASSERT_TRUE(MoveFileA(r.root.c_str(), dir.Sub("moved").c_str()));
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("vol\\sub")));
  std::string why;
  EXPECT_EQ(kRestoreFailed, Restore(r, r.record, nullptr, 0, &why));
  EXPECT_NE(std::string::npos, why.find("--to")) << why;
  EXPECT_FALSE(Exists(r.original));
  // Named by the person, it is written.
  EXPECT_EQ(kRestoreDone, Restore(r, r.record, r.root.c_str(), 0));
  EXPECT_EQ("worm bytes", Text(r.original));
}

TEST(QuarantineWin32, AFileThatCannotBeReplacedKeepsItsAttributes) {
  ScratchDir dir("qheld");
  Quarantined r;
  QuarantineFile(dir, &r);
  ASSERT_TRUE(Put(r.original, "keep me"));
  const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(SetFileAttributesA(r.original.c_str(), kept));
  // Held open without delete sharing, as a running program holds its file.
  HANDLE held = CreateFileA(r.original.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(kRestoreFailed, Restore(r, r.record, nullptr, 1));
  CloseHandle(held);
  EXPECT_EQ(kept, GetFileAttributesA(r.original.c_str()) & kept);
  EXPECT_EQ("keep me", Text(r.original));
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(dir.Sub("vol\\sub\\*.tmp").c_str(), &data);
  EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "the new file stays behind";
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  // Once free, --force replaces it.
  EXPECT_EQ(kRestoreDone, Restore(r, r.record, nullptr, 1));
  EXPECT_EQ("worm bytes", Text(r.original));
}

TEST(QuarantineWin32, TheOriginalGoesOnlyOnceItsLineIsWritten) {
  ScratchDir dir("qwriteahead");
  std::string original = dir.Sub("vol\\worm.exe");
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("vol")));
  ASSERT_TRUE(Put(original, "worm bytes"));
  QuarantineFolderWin32 folder;
  QuarantineStore store;
  char why[kQuarantineReasonCapacity] = "";
  ASSERT_TRUE(OpenQuarantineFolderWin32(dir.Sub("q").c_str(), 1, &folder, why, sizeof why)) << why;
  ASSERT_TRUE(OpenQuarantineStore(QuarantineFolderPortWin32(&folder), kKey, &store, why, sizeof why)) << why;
  // A manifest that takes no writes, as a full disk would.
  OwnedHandle* manifest = static_cast<OwnedHandle*>(store.manifest);
  manifest->reset(CreateFileA(dir.Sub("q\\manifest.jsonl").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(manifest->valid());
  QuarantineRootWin32 root;
  ASSERT_TRUE(DescribeQuarantineRootWin32(dir.Sub("vol").c_str(), &root));
  QuarantineOriginalWin32 taken;
  FileIdentity unknown{0, 0, 0};
  ASSERT_EQ(kQuarantineDone, OpenQuarantineOriginalWin32(original.c_str(), unknown, &taken, why, sizeof why));
  static QuarantineRecord record;
  ASSERT_TRUE(DescribeQuarantinedFileWin32(taken, root, "Worm.Test", &record));
  EXPECT_EQ(kQuarantineFailed, QuarantineOne(&store, &record, QuarantineOriginalPortWin32(&taken), why, sizeof why));
  CloseQuarantineStore(&store);
  CloseQuarantineFolderWin32(&folder);
  EXPECT_EQ("worm bytes", Text(original));
}

TEST(QuarantineWin32, TheKeyIsMadeOnceAndReadBack) {
  ScratchDir dir("qkey");
  std::string path = dir.Sub("host.key");
  ASSERT_TRUE(SetEnvironmentVariableA("QUELLIX_SCAN_KEY", path.c_str()));
  unsigned char first[kQuarantineKeySize], again[kQuarantineKeySize];
  char why[kQuarantineReasonCapacity] = "";
  // A restore makes none: without it no line is proven.
  EXPECT_FALSE(LoadQuarantineKeyWin32(0, first, why, sizeof why));
  EXPECT_FALSE(Exists(path));
  ASSERT_TRUE(LoadQuarantineKeyWin32(1, first, why, sizeof why)) << why;
  ASSERT_TRUE(LoadQuarantineKeyWin32(1, again, why, sizeof why)) << why;
  EXPECT_EQ(0, memcmp(first, again, sizeof first));
  ASSERT_TRUE(LoadQuarantineKeyWin32(0, again, why, sizeof why)) << why;
  EXPECT_EQ(0, memcmp(first, again, sizeof first));
  EXPECT_NE(std::string(kQuarantineKeySize, '\0'), std::string(first, first + sizeof first));
  // A key file of another size is no key, and is not replaced.
  ASSERT_TRUE(Put(path, "short"));
  EXPECT_FALSE(LoadQuarantineKeyWin32(1, again, why, sizeof why));
  EXPECT_EQ("short", Text(path));
  SetEnvironmentVariableA("QUELLIX_SCAN_KEY", nullptr);
}

}  // namespace
