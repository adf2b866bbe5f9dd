// CheckFile and ComputeFingerprint on real files under Wine.
#include <gtest/gtest.h>

#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/file_check_win32.h"
#include "engine/testing/specimen_forge.h"
#include "tests/support/win_files_win32.h"

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
  EXPECT_EQ(1, CheckFileAgainst({{rows, 2}, nullptr}, dir.Sub("at.bin").c_str(), name));
  EXPECT_STREQ("at.limit", name);
  EXPECT_EQ(0, CheckFileAgainst({{rows, 2}, nullptr}, dir.Sub("past.bin").c_str(), name));
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
  EXPECT_EQ(1, CheckFileAgainst({{rows, 3}, nullptr}, dir.Sub("shared.bin").c_str(), name));
  EXPECT_STREQ("first.match", name);
  EXPECT_EQ(0, CheckFileAgainst({{rows, 1}, nullptr}, dir.Sub("shared.bin").c_str(), name));
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

// Reads that fail the way a byte-range lock of another program, an I/O error
// or a file cut short after its size was taken make them fail. Wine does not
// refuse reads over another process's LockFile range (seen: the read
// succeeds), so the failures are put into this program's import of ReadFile.
enum class ReadFault { None, Refused, Short, Nothing };
ReadFault gReadFault = ReadFault::None;
decltype(&ReadFile) gRealReadFile = nullptr;

BOOL WINAPI FaultyReadFile(HANDLE file, LPVOID buffer, DWORD wanted, LPDWORD got, LPOVERLAPPED overlapped) {
  switch (gReadFault) {
    case ReadFault::Refused:
      if (got) *got = 0;
      SetLastError(ERROR_LOCK_VIOLATION);
      return FALSE;
    case ReadFault::Short:
      return gRealReadFile(file, buffer, wanted / 2, got, overlapped);
    case ReadFault::Nothing:
      if (got) *got = 0;
      return TRUE;
    default:
      return gRealReadFile(file, buffer, wanted, got, overlapped);
  }
}

bool HookReadFile() {
  if (gRealReadFile) return true;
  BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (const IMAGE_IMPORT_DESCRIPTOR* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       imports.VirtualAddress && library->Name; ++library) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + library->Name), "kernel32.dll") != 0) continue;
    const IMAGE_THUNK_DATA* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; library->OriginalFirstThunk && names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name = reinterpret_cast<const char*>(
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
      if (strcmp(name, "ReadFile") != 0) continue;
      DWORD protection = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection)) return false;
      gRealReadFile = reinterpret_cast<decltype(&ReadFile)>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&FaultyReadFile);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return true;
    }
  }
  return false;
}

// A read that fails must not fingerprint what the buffer kept from the
// specimen of the same size checked just before.
TEST(CheckFile, FailedReadIsNoMatchRightAfterASpecimenOfItsSize) {
  ASSERT_TRUE(HookReadFile());
  ScratchDir dir("failread");
  std::string specimen = dir.Sub("specimen.dll");
  std::string clean = dir.Sub("clean1536.dll");
  ASSERT_TRUE(qxtest::WriteBytes(specimen, Specimen(1)));
  ASSERT_TRUE(qxtest::WriteBytes(clean, std::vector<unsigned char>(1536, 0x5A)));
  const struct {
    const char* what;
    ReadFault fault;
  } rows[] = {{"refused by a lock", ReadFault::Refused},
              {"cut short", ReadFault::Short},
              {"nothing delivered", ReadFault::Nothing}};
  for (const auto& row : rows) {
    char name[64];
    gReadFault = ReadFault::None;
    ASSERT_EQ(1, CheckFile(specimen.c_str(), name));
    ASSERT_STREQ("Worm.Quellix.c.dll2", name);
    gReadFault = row.fault;
    EXPECT_EQ(0, CheckFile(clean.c_str(), name)) << row.what << ": detected as " << name;
    EXPECT_STREQ("", name);
    FileFingerprint fingerprint{1, 2, 3};
    EXPECT_EQ(0, ComputeFingerprint(specimen.c_str(), 0, -1, &fingerprint)) << row.what;
    EXPECT_EQ(0u, fingerprint.length + fingerprint.weightedSum + fingerprint.headSum) << row.what;
    // Not even the specimen itself counts when its bytes were not all read.
    EXPECT_EQ(0, CheckFile(specimen.c_str(), name)) << row.what;
  }
  gReadFault = ReadFault::None;
  char name[64];
  EXPECT_EQ(0, CheckFile(clean.c_str(), name));
}

// A file of 4 GiB and 1536 bytes that opens with a specimen's 1536 bytes is
// not a 1536-byte file. Sparse, so it costs no disk space.
TEST(CheckFile, FileBeyondFourGibibytesMatchesNoRow) {
  ScratchDir dir("huge");
  std::string path = dir.Sub("huge.bin");
  ASSERT_TRUE(qxtest::WriteBytes(path, Specimen(1)));
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  LONG high = 1;
  SetFilePointer(file, 1536, &high, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file));
  DWORD sizeHigh = 0;
  EXPECT_EQ(1536u, GetFileSize(file, &sizeHigh));
  EXPECT_EQ(1u, sizeHigh);
  CloseHandle(file);

  char name[64];
  EXPECT_EQ(0, CheckFile(path.c_str(), name));
  EXPECT_STREQ("", name);
  FileFingerprint fingerprint;
  EXPECT_EQ(0, ComputeFingerprint(path.c_str(), 0, -1, &fingerprint));
  EXPECT_EQ(0u, fingerprint.length);
}

// The change time of a file, which any metadata write moves.
LONGLONG ChangeTime(const std::string& path) {
  auto query = reinterpret_cast<decltype(&NtQueryInformationFile)>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  if (!query) return -1;
  HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  FILE_BASIC_INFORMATION basic;
  IO_STATUS_BLOCK status;
  LONG result = query(file, &status, &basic, sizeof basic, static_cast<FILE_INFORMATION_CLASS>(4));
  CloseHandle(file);
  return result == 0 ? basic.ChangeTime.QuadPart : -1;
}

TEST(CheckFile, CandidatesMetadataIsNotWritten) {
  struct Row {
    const char* name;
    std::vector<unsigned char> bytes;
    DWORD attributes;
  };
  std::vector<unsigned char> decoy;
  ASSERT_EQ(1, ForgeDecoyForRow(kSignatureTable[1], 3, &decoy));
  const Row rows[] = {
      {"decoy1536.dll", decoy, FILE_ATTRIBUTE_ARCHIVE},
      {"hidden-decoy.dll", decoy, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"specimen.dll", Specimen(1), FILE_ATTRIBUTE_ARCHIVE},
      {"other-size.txt", {'t', 'e', 'x', 't'}, FILE_ATTRIBUTE_ARCHIVE},
  };
  ScratchDir dir("ctime");
  for (const Row& row : rows) {
    std::string path = dir.Sub(row.name);
    ASSERT_TRUE(qxtest::WriteBytes(path, row.bytes)) << row.name;
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), row.attributes)) << row.name;
    DWORD attributes = GetFileAttributesA(path.c_str());
    LONGLONG before = ChangeTime(path);
    ASSERT_NE(-1, before) << row.name;
    Sleep(30);
    char name[64];
    CheckFile(path.c_str(), name);
    EXPECT_EQ(before, ChangeTime(path)) << row.name << ": metadata written";
    EXPECT_EQ(attributes, GetFileAttributesA(path.c_str())) << row.name;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
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
