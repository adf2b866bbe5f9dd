// RemoveFile on real files under Wine: attributes, vanished files and names
// outside the code page. Deletion at restart is tested in its own prefix
// (pending_removal.sh).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/file_check_win32.h"
#include "remedy/removal_win32.h"
#include "tests/support/win_files_win32.h"

using qxtest::ScratchDir;

namespace {

const std::vector<unsigned char> kContent = {'M', 'Z', 0x90, 0, 1, 2, 3};

// The restart-deletion list, so a test can tell that nothing was registered.
std::vector<unsigned char> PendingRenames() {
  std::vector<unsigned char> bytes;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return bytes;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    bytes.resize(size);
    if (size) RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, bytes.data(), &size);
  }
  RegCloseKey(key);
  return bytes;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool ExistsW(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(RemoveFile, ProtectingAttributesAreClearedAndTheFileDeleted) {
  struct Row {
    const char* name;
    DWORD attributes;
  };
  const Row rows[] = {
      {"read-only", FILE_ATTRIBUTE_READONLY},
      {"hidden", FILE_ATTRIBUTE_HIDDEN},
      {"system", FILE_ATTRIBUTE_SYSTEM},
      {"all three", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"plain", FILE_ATTRIBUTE_NORMAL},
  };
  ScratchDir dir("remove");
  std::vector<unsigned char> pendingBefore = PendingRenames();
  for (const Row& row : rows) {
    std::string path = dir.Sub(std::string(row.name) + ".exe");
    ASSERT_TRUE(qxtest::WriteBytes(path, kContent)) << row.name;
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), row.attributes)) << row.name;
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_EQ(row.attributes & kept, GetFileAttributesA(path.c_str()) & kept) << row.name;
    EXPECT_EQ(1, RemoveFile(path.c_str())) << row.name;
    EXPECT_FALSE(Exists(path)) << row.name;
  }
  EXPECT_EQ(pendingBefore, PendingRenames());
}

TEST(RemoveFile, VanishedFileIsNotRemovedAndNothingIsRegistered) {
  ScratchDir dir("vanished");
  std::string path = dir.Sub("gone.exe");
  ASSERT_TRUE(qxtest::WriteBytes(path, kContent));
  ASSERT_TRUE(DeleteFileA(path.c_str()));
  std::vector<unsigned char> pendingBefore = PendingRenames();
  EXPECT_EQ(0, RemoveFile(path.c_str()));
  EXPECT_EQ(0, RemoveFile(dir.Sub("no such dir\\gone.exe").c_str()));
  EXPECT_EQ(pendingBefore, PendingRenames());
}

TEST(RemoveFile, NameOutsideTheCodePageIsRemovedInItsOwnDirectory) {
  wchar_t odd = qxtest::UnrepresentableChar();
  ASSERT_NE(0, odd) << "no character outside the code page";
  ScratchDir home("wide-home");
  ScratchDir other("wide-other");
  std::wstring name = std::wstring(L"w") + odd + L"rm.exe";
  std::wstring target = qxtest::Widen(home.path()) + name;
  std::wstring twin = qxtest::Widen(other.path()) + name;
  std::wstring bystander = qxtest::Widen(home.path()) + L"wXrm.exe";
  ASSERT_TRUE(qxtest::WriteBytesW(target, kContent));
  ASSERT_TRUE(qxtest::WriteBytesW(twin, kContent));
  ASSERT_TRUE(qxtest::WriteBytesW(bystander, kContent));
  ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

  // The ANSI path holds "?" where the name has the odd character.
  std::string ansiPath = home.path() + "w?rm.exe";
  ASSERT_EQ(ansiPath, qxtest::Narrow(target));

  std::string previous = qxtest::CurrentDirectory();
  ASSERT_TRUE(SetCurrentDirectoryA(other.path().c_str()));
  int removed = RemoveFile(ansiPath.c_str());
  SetCurrentDirectoryA(previous.c_str());

  EXPECT_EQ(1, removed);
  EXPECT_FALSE(ExistsW(target));
  EXPECT_TRUE(ExistsW(twin)) << "the same name in the current directory was removed";
  EXPECT_TRUE(ExistsW(bystander));
}

TEST(RemoveFile, WideRouteWithoutAMatchingFileRemovesNothing) {
  wchar_t odd = qxtest::UnrepresentableChar();
  ASSERT_NE(0, odd);
  ScratchDir home("wide-none");
  ScratchDir other("wide-none-cwd");
  std::wstring name = std::wstring(L"w") + odd + L"rm.exe";
  // Only the current directory holds the name; the file's own directory does not.
  ASSERT_TRUE(qxtest::WriteBytesW(qxtest::Widen(other.path()) + name, kContent));
  std::string previous = qxtest::CurrentDirectory();
  ASSERT_TRUE(SetCurrentDirectoryA(other.path().c_str()));
  int removed = RemoveFile((home.path() + "w?rm.exe").c_str());
  SetCurrentDirectoryA(previous.c_str());
  EXPECT_EQ(0, removed);
  EXPECT_TRUE(ExistsW(qxtest::Widen(other.path()) + name));
}

FileIdentity IdentityOf(const std::string& path) {
  HANDLE file = OpenForReading(path.c_str(), nullptr);
  FileIdentity identity = {0, 0, 0};
  if (file == INVALID_HANDLE_VALUE) return identity;
  identity = IdentifyOpenFile(file);
  CloseHandle(file);
  return identity;
}

// Between the check and the removal the file's directory is swapped for
// another holding a file of the same name: that file is not the one checked.
TEST(RemoveIdentifiedFile, RemovesOnlyTheFileThatWasChecked) {
  ScratchDir dir("identified");
  std::string home = dir.Sub("home\\");
  std::string path = home + "worm.exe";
  ASSERT_TRUE(qxtest::MakeDirs(home));
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("decoy\\")));
  ASSERT_TRUE(qxtest::WriteBytes(path, kContent));
  ASSERT_TRUE(qxtest::WriteBytes(dir.Sub("decoy\\worm.exe"), {'c', 'l', 'e', 'a', 'n'}));
  FileIdentity checked = IdentityOf(path);
  ASSERT_EQ(1u, checked.known);
  EXPECT_EQ(1, SameFileIdentity(checked, IdentityOf(path)));

  ASSERT_TRUE(MoveFileA(home.substr(0, home.size() - 1).c_str(), dir.Sub("moved").c_str()));
  ASSERT_TRUE(MoveFileA(dir.Sub("decoy").c_str(), home.substr(0, home.size() - 1).c_str()));
  std::vector<unsigned char> pendingBefore = PendingRenames();
  EXPECT_EQ(0, RemoveIdentifiedFile(path.c_str(), &checked));
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(qxtest::ReadBytes(path, &bytes));
  EXPECT_EQ((std::vector<unsigned char>{'c', 'l', 'e', 'a', 'n'}), bytes);
  EXPECT_TRUE(Exists(dir.Sub("moved\\worm.exe")));
  EXPECT_EQ(pendingBefore, PendingRenames());

  // The checked file at its new place is removed, read-only and all.
  std::string moved = dir.Sub("moved\\worm.exe");
  ASSERT_TRUE(SetFileAttributesA(moved.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(1, RemoveIdentifiedFile(moved.c_str(), &checked));
  EXPECT_FALSE(Exists(moved));
  EXPECT_EQ(pendingBefore, PendingRenames());

  // Without an identity the path alone decides, as on Windows 9x.
  FileIdentity unknown = {0, 0, 0};
  EXPECT_EQ(1, RemoveIdentifiedFile(path.c_str(), &unknown));
  EXPECT_FALSE(Exists(path));
}

TEST(RemoveIdentifiedFile, FileOpenedWithDeleteSharingIsDeletedThroughTheCheckedHandle) {
  ScratchDir dir("shared-open");
  std::string path = dir.Sub("open.exe");
  ASSERT_TRUE(qxtest::WriteBytes(path, kContent));
  FileIdentity checked = IdentityOf(path);
  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  std::vector<unsigned char> pendingBefore = PendingRenames();
  EXPECT_EQ(1, RemoveIdentifiedFile(path.c_str(), &checked));
  CloseHandle(reader);
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(pendingBefore, PendingRenames());
}

}  // namespace
