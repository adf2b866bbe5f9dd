// CheckFile and ComputeFingerprint on real files under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/file_check.h"
#include "engine/testing/specimen_forge.h"
#include "tests/support/win_files.h"

using qxtest::ScratchDir;

namespace {

std::vector<unsigned char> Specimen(uint32_t row, uint32_t seed = 1) {
  std::vector<unsigned char> bytes;
  EXPECT_EQ(1, ForgeSpecimenForRow(kSignatureTable[row], seed, &bytes));
  return bytes;
}

TEST(CheckFile, EveryForgedSpecimenIsNamedAndDecoysAreNot) {
  ScratchDir dir("check");
  for (uint32_t row = 0; row < kSignatureCount; ++row) {
    std::string path = dir.Sub("specimen" + std::to_string(row) + ".bin");
    ASSERT_TRUE(qxtest::WriteBytes(path, Specimen(row, row + 5)));
    char name[64];
    memset(name, 'x', sizeof name);
    EXPECT_EQ(1, CheckFile(path.c_str(), name)) << "row " << row;
    EXPECT_STREQ(kSignatureTable[row].detectionName, name);

    std::vector<unsigned char> decoy;
    ASSERT_EQ(1, ForgeDecoyForRow(kSignatureTable[row], row + 5, &decoy));
    std::string decoyPath = dir.Sub("decoy" + std::to_string(row) + ".bin");
    ASSERT_TRUE(qxtest::WriteBytes(decoyPath, decoy));
    memset(name, 'x', sizeof name);
    EXPECT_EQ(0, CheckFile(decoyPath.c_str(), name)) << "row " << row;
    EXPECT_STREQ("", name);
  }
  char name[64];
  EXPECT_EQ(1, CheckFile(dir.Sub("specimen7.bin").c_str(), name));
  EXPECT_STREQ("Worm.Mail.Drimo.qd", name);
  EXPECT_EQ(1, CheckFile(dir.Sub("specimen8.bin").c_str(), name));
  EXPECT_STREQ("Worm.Mail.Drimo.qd", name);

  // Missing files and directories are no match.
  EXPECT_EQ(0, CheckFile(dir.Sub("absent.bin").c_str(), name));
  EXPECT_STREQ("", name);
  EXPECT_EQ(0, CheckFile(dir.path().c_str(), name));
}

TEST(CheckFile, ReadOnlyHiddenFileIsExaminedAndKeepsItsAttributes) {
  ScratchDir dir("attrs");
  std::string path = dir.Sub("hidden.bin");
  ASSERT_TRUE(qxtest::WriteBytes(path, Specimen(0)));
  DWORD attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
  char name[64];
  EXPECT_EQ(1, CheckFile(path.c_str(), name));
  EXPECT_STREQ("Worm.Quellix.c", name);
  EXPECT_EQ(attributes, GetFileAttributesA(path.c_str()) & (attributes | FILE_ATTRIBUTE_ARCHIVE) & ~FILE_ATTRIBUTE_ARCHIVE);
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(CheckFile, FileLockedAgainstReadingIsNoMatch) {
  ScratchDir dir("locked");
  std::string path = dir.Sub("locked.bin");
  ASSERT_TRUE(qxtest::WriteBytes(path, Specimen(1)));
  HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  char name[64];
  FileFingerprint fingerprint{1, 2, 3};
  EXPECT_EQ(0, CheckFile(path.c_str(), name));
  EXPECT_STREQ("", name);
  EXPECT_EQ(0, ComputeFingerprint(path.c_str(), 0, -1, &fingerprint));
  EXPECT_EQ(0u, fingerprint.length);
  EXPECT_EQ(0u, fingerprint.weightedSum);
  EXPECT_EQ(0u, fingerprint.headSum);
  CloseHandle(holder);
  EXPECT_EQ(1, CheckFile(path.c_str(), name));
}

TEST(CheckFile, SizeLimitIsInclusive) {
  ScratchDir dir("limit");
  // A test-only table with rows at the limit and one byte past it, each
  // carrying the fingerprint of a file of that size.
  std::vector<unsigned char> atLimit, pastLimit;
  ASSERT_EQ(1, ForgeSpecimen({7340032, 0x12345677, 0x00905A4D, nullptr, 0, 9}, &atLimit));
  ASSERT_EQ(1, ForgeSpecimen({7340033, 0x12345677, 0x00905A4D, nullptr, 0, 9}, &pastLimit));
  const SignatureRecord rows[] = {{"at.limit", 7340032, 0x12345677, 0x00905A4D},
                                  {"past.limit", 7340033, 0x12345677, 0x00905A4D}};
  ASSERT_TRUE(qxtest::WriteBytes(dir.Sub("at.bin"), atLimit));
  ASSERT_TRUE(qxtest::WriteBytes(dir.Sub("past.bin"), pastLimit));
  char name[64];
  EXPECT_EQ(1, CheckFileAgainst({rows, 2}, dir.Sub("at.bin").c_str(), name));
  EXPECT_STREQ("at.limit", name);
  EXPECT_EQ(0, CheckFileAgainst({rows, 2}, dir.Sub("past.bin").c_str(), name));
  EXPECT_STREQ("", name);
  // The fingerprint itself is not limited.
  FileFingerprint fingerprint;
  EXPECT_EQ(1, ComputeFingerprint(dir.Sub("past.bin").c_str(), 0, -1, &fingerprint));
  EXPECT_EQ(0x12345677u, fingerprint.weightedSum);
}

TEST(CheckFile, SharedSizeTakesTheFirstMatchingRow) {
  ScratchDir dir("shared");
  std::vector<unsigned char> bytes;
  ASSERT_EQ(1, ForgeSpecimen({1536, 0x457B5A35, 0x00005A4D, nullptr, 0, 4}, &bytes));
  ASSERT_TRUE(qxtest::WriteBytes(dir.Sub("shared.bin"), bytes));
  const SignatureRecord rows[] = {{"same.size.other.sums", 1536, 0x1, 0x00005A4D},
                                  {"first.match", 1536, 0x457B5A35, 0x00005A4D},
                                  {"second.match", 1536, 0x457B5A35, 0x00005A4D}};
  char name[64];
  EXPECT_EQ(1, CheckFileAgainst({rows, 3}, dir.Sub("shared.bin").c_str(), name));
  EXPECT_STREQ("first.match", name);
  EXPECT_EQ(0, CheckFileAgainst({rows, 1}, dir.Sub("shared.bin").c_str(), name));
}

TEST(ComputeFingerprint, RangesAndWorkedExample) {
  ScratchDir dir("range");
  std::string path = dir.Sub("six.bin");
  ASSERT_TRUE(qxtest::WriteBytes(path, {1, 0, 0, 0, 2, 0}));
  FileFingerprint f;
  ASSERT_EQ(1, ComputeFingerprint(path.c_str(), 0, -1, &f));
  EXPECT_EQ(6u, f.length);
  EXPECT_EQ(5u, f.weightedSum);
  EXPECT_EQ(1u, f.headSum);
  EXPECT_EQ(0, ComputeFingerprint(path.c_str(), -1, -1, &f));
  EXPECT_EQ(0, ComputeFingerprint(path.c_str(), 7, -1, &f));
  EXPECT_EQ(0, ComputeFingerprint(path.c_str(), 4, 2, &f));
  EXPECT_EQ(0u, f.length);
  ASSERT_TRUE(qxtest::WriteBytes(dir.Sub("empty.bin"), {}));
  ASSERT_EQ(1, ComputeFingerprint(dir.Sub("empty.bin").c_str(), 0, -1, &f));
  EXPECT_EQ(0u, f.length + f.weightedSum + f.headSum);
}

// A name outside the ANSI code page reaches CheckFile as "?"; the wide retry
// must find the file in the path's own directory, whatever is current.
TEST(CheckFile, UnrepresentableNameIsResolvedInItsOwnDirectory) {
  wchar_t odd = qxtest::UnrepresentableChar();
  ASSERT_NE(0, odd) << "no unrepresentable character for code page " << GetACP();
  ScratchDir dir("wide");
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("home\\")));
  ASSERT_TRUE(qxtest::MakeDirs(dir.Sub("elsewhere\\")));
  std::wstring wideName = std::wstring(L"w") + odd + L"rm.bin";
  std::wstring home = qxtest::Widen(dir.Sub("home\\")), elsewhere = qxtest::Widen(dir.Sub("elsewhere\\"));
  ASSERT_TRUE(qxtest::WriteBytesW(home + wideName, Specimen(1)));
  std::vector<unsigned char> decoy;
  ASSERT_EQ(1, ForgeDecoyForRow(kSignatureTable[1], 1, &decoy));
  ASSERT_TRUE(qxtest::WriteBytesW(elsewhere + wideName, decoy));

  // Neighbours that the "?" of the ANSI name also matches, on either side of it.
  std::vector<unsigned char> other;
  ASSERT_EQ(1, ForgeSpecimenForRow(kSignatureTable[4], 2, &other));
  ASSERT_TRUE(qxtest::WriteBytesW(home + L"warm.bin", other));
  ASSERT_TRUE(qxtest::WriteBytesW(home + L"w~rm.bin", other));
  std::string ansiPath = dir.Sub("home\\") + qxtest::Narrow(wideName);
  ASSERT_NE(std::string::npos, ansiPath.find('?'));
  std::string before = qxtest::CurrentDirectory();
  char name[64];

  ASSERT_TRUE(SetCurrentDirectoryA(dir.Sub("home").c_str()));
  EXPECT_EQ(1, CheckFile(ansiPath.c_str(), name));
  EXPECT_STREQ("Worm.Quellix.c.dll2", name);

  ASSERT_TRUE(SetCurrentDirectoryA(dir.Sub("elsewhere").c_str()));
  EXPECT_EQ(1, CheckFile(ansiPath.c_str(), name));
  EXPECT_STREQ("Worm.Quellix.c.dll2", name);
  // The decoy of the same name is examined only through its own path.
  EXPECT_EQ(0, CheckFile((dir.Sub("elsewhere\\") + qxtest::Narrow(wideName)).c_str(), name));

  WIN32_FIND_DATAW found;
  wchar_t widePath[kWidePathCapacity];
  ASSERT_EQ(1, OpenWideFallback(ansiPath.c_str(), &found, widePath));
  EXPECT_EQ(wideName, std::wstring(found.cFileName));
  EXPECT_EQ(home + wideName, std::wstring(widePath));
  EXPECT_EQ(0, OpenWideFallback(dir.Sub("home\\nothing?.bin").c_str(), &found, widePath));
  SetCurrentDirectoryA(before.c_str());
}

}  // namespace
