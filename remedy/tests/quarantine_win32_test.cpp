// The Windows quarantine against a crafted folder, under Wine: a restore
// goes only beneath its drive or the root named, through no link, never from
// a damaged copy, and never destroys what is in place; the manifest line is
// on the disk before the original goes; someone else's manifest is not
// appended to.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "remedy/json_lines.h"
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

std::string Line(const std::string& path, const char* hex, uint64_t size) {
  char buffer[4096];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonString(&line, "path", path.c_str());
  AddJsonNumber(&line, "size", size);
  AddJsonSigned(&line, "mtime_ns", 1000000000);
  AddJsonString(&line, "sha256", hex);
  EXPECT_TRUE(EndJsonLine(&line));
  return buffer;
}

struct Quarantined {
  std::string q, original;
  char hex[kSha256HexSize];
};

// "worm bytes" quarantined from <dir>vol\sub\worm.exe into <dir>q.
void QuarantineOne(const ScratchDir& dir, Quarantined* r) {
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("vol\\sub")));
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("outside")));
  r->original = dir.Sub("vol\\sub\\worm.exe");
  r->q = dir.Sub("q");
  ASSERT_TRUE(Put(r->original, "worm bytes"));
  QuarantineFolder folder;
  ASSERT_TRUE(OpenQuarantineFolder(r->q.c_str(), &folder));
  FileIdentity unknown{0, 0, 0};
  EXPECT_EQ(kQuarantineResultDone, QuarantineWin32File(&folder, r->original.c_str(), unknown, "Worm.Test", r->hex));
  CloseQuarantineFolder(&folder);
  EXPECT_FALSE(Exists(r->original));
}

TEST(QuarantineWin32, RestoreStaysBeneathItsDriveOrTheNamedRoot) {
  ScratchDir dir("qrestore");
  Quarantined r;
  QuarantineOne(dir, &r);
  char path[MAX_PATH];
  const std::string crafted[] = {
      dir.Sub("vol\\..\\outside\\worm.exe"), dir.Sub("vol\\.\\worm.exe"),  dir.Sub("vol\\\\worm.exe"),
      dir.Sub("vol\\.. \\outside\\worm.exe"), "worm.exe",                  "\\\\?\\" + dir.Sub("outside\\worm.exe"),
      dir.Sub("outside\\worm.exe:stream"),   dir.Sub("vol/../outside/worm.exe"),
  };
  for (const std::string& p : crafted) {
    for (int force = 0; force <= 1; ++force)
      EXPECT_EQ(kRestoreResultFailed, RestoreWin32ManifestLine(r.q.c_str(), Line(p, r.hex, 10).c_str(), nullptr,
                                                               force, path))
          << p;
  }
  EXPECT_FALSE(Exists(dir.Sub("outside\\worm.exe")));

  // Beneath another root: the same path after its drive.
  std::string other = dir.Sub("other");
  std::string rest = r.original.substr(3);
  size_t slash = rest.rfind('\\');
  ASSERT_TRUE(qxtest::MakeDirs(other + "\\" + rest.substr(0, slash)));
  EXPECT_EQ(kRestoreResultDone,
            RestoreWin32ManifestLine(r.q.c_str(), Line(r.original, r.hex, 10).c_str(), other.c_str(), 0, path));
  EXPECT_EQ(other + "\\" + rest, path);
  EXPECT_EQ("worm bytes", Text(other + "\\" + rest));
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
    for (int force = 0; force <= 1; ++force)
      EXPECT_EQ(kRestoreResultFailed, RestoreWin32ManifestLine(r.q.c_str(),
                                                               Line(dir.Sub("vol\\linked\\worm.exe"), r.hex, 10).c_str(),
                                                               nullptr, force, path));
    EXPECT_FALSE(Exists(dir.Sub("outside\\worm.exe")));
  } else {
    printf("no directory links here (error %lu): that row is not run\n", static_cast<unsigned long>(GetLastError()));
  }

  // Back where it was.
  EXPECT_EQ(kRestoreResultDone,
            RestoreWin32ManifestLine(r.q.c_str(), Line(r.original, r.hex, 10).c_str(), nullptr, 0, path));
  EXPECT_EQ("worm bytes", Text(r.original));
}

TEST(QuarantineWin32, ADamagedCopyNeverTouchesTheFileInPlace) {
  ScratchDir dir("qdamaged");
  Quarantined r;
  QuarantineOne(dir, &r);
  ASSERT_TRUE(Put(r.original, "keep me"));
  std::string copy = r.q + "\\" + r.hex;
  ASSERT_TRUE(SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(Put(copy, "worm bytez"));
  char path[MAX_PATH];
  EXPECT_EQ(kRestoreResultBadCopy,
            RestoreWin32ManifestLine(r.q.c_str(), Line(r.original, r.hex, 10).c_str(), nullptr, 1, path));
  EXPECT_EQ("keep me", Text(r.original));
  ASSERT_TRUE(Put(copy, "worm bytes and more"));
  EXPECT_EQ(kRestoreResultBadCopy,
            RestoreWin32ManifestLine(r.q.c_str(), Line(r.original, r.hex, 10).c_str(), nullptr, 1, path));
  EXPECT_EQ("keep me", Text(r.original));
  // A sound copy replaces it with --force, and nothing is left beside it.
  ASSERT_TRUE(Put(copy, "worm bytes"));
  EXPECT_EQ(kRestoreResultExists,
            RestoreWin32ManifestLine(r.q.c_str(), Line(r.original, r.hex, 10).c_str(), nullptr, 0, path));
  EXPECT_EQ(kRestoreResultDone,
            RestoreWin32ManifestLine(r.q.c_str(), Line(r.original, r.hex, 10).c_str(), nullptr, 1, path));
  EXPECT_EQ("worm bytes", Text(r.original));
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(dir.Sub("vol\\sub\\*.tmp").c_str(), &data);
  EXPECT_EQ(INVALID_HANDLE_VALUE, search);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

TEST(QuarantineWin32, TheOriginalGoesOnlyOnceItsLineIsWritten) {
  ScratchDir dir("qwriteahead");
  std::string original = dir.Sub("worm.exe");
  ASSERT_TRUE(Put(original, "worm bytes"));
  QuarantineFolder folder;
  ASSERT_TRUE(OpenQuarantineFolder(dir.Sub("q").c_str(), &folder));
  // A manifest that takes no writes, as a full disk would.
  CloseHandle(folder.manifest);
  folder.manifest = CreateFileA(dir.Sub("q\\manifest.jsonl").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, folder.manifest);
  FileIdentity unknown{0, 0, 0};
  char hex[kSha256HexSize];
  EXPECT_EQ(kQuarantineResultFailed, QuarantineWin32File(&folder, original.c_str(), unknown, "Worm.Test", hex));
  CloseQuarantineFolder(&folder);
  EXPECT_EQ("worm bytes", Text(original));

  // Someone else's folder with a manifest is not appended to; ours is.
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("foreign")));
  ASSERT_TRUE(Put(dir.Sub("foreign\\manifest.jsonl"), "{\"path\":\"C:\\\\x\"}\n"));
  EXPECT_FALSE(OpenQuarantineFolder(dir.Sub("foreign").c_str(), &folder));
  EXPECT_EQ("{\"path\":\"C:\\\\x\"}\n", Text(dir.Sub("foreign\\manifest.jsonl")));
  ASSERT_TRUE(OpenQuarantineFolder(dir.Sub("q").c_str(), &folder));
  CloseQuarantineFolder(&folder);
}

}  // namespace
