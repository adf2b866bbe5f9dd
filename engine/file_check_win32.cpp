// Win32 half of the detection engine: opening, reading and checking files.
#include "engine/file_check_win32.h"

#include <cstring>

#include "engine/candidate_check.h"
#include "sys/handle_win32.h"

int OpenWideFallback(const char* path, WIN32_FIND_DATAW* found, wchar_t* widePath) {
  wchar_t wide[kWidePathCapacity];
  int needed = MultiByteToWideChar(CP_ACP, 0, path, lstrlenA(path) + 1, nullptr, 0);
  if (needed <= 0 || needed > static_cast<int>(kWidePathCapacity)) return 0;
  if (MultiByteToWideChar(CP_ACP, 0, path, lstrlenA(path) + 1, wide, needed) <= 0) return 0;

  // Each "?" of the pattern matches any character, so a neighbour such as
  // "warm.bin" also answers "w?rm.bin": take the entry whose ANSI form is
  // exactly the name asked for. A directory is never the file meant.
  const char* ansiName = path;
  for (const char* p = path; *p; p = CharNextA(p))
    if (*p == '\\' || *p == '/') ansiName = p + 1;
  WIN32_FIND_DATAW record;
  bool same = false;
  {
    OwnedFind search(FindFirstFileW(wide, &record));
    if (!search.valid()) return 0;
    do {
      char converted[MAX_PATH];
      int n = WideCharToMultiByte(CP_ACP, 0, record.cFileName, -1, converted, sizeof converted, nullptr, nullptr);
      same = !(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && n > 0 && lstrcmpiA(converted, ansiName) == 0;
    } while (!same && FindNextFileW(search.get(), &record));
  }
  if (!same) return 0;

  if (widePath) {
    // The directory part keeps its own characters; only the name comes from the search.
    size_t directoryLength = 0;
    for (size_t i = 0; wide[i]; ++i)
      if (wide[i] == L'\\' || wide[i] == L'/') directoryLength = i + 1;
    size_t nameLength = wcslen(record.cFileName);
    if (directoryLength + nameLength + 1 > kWidePathCapacity) return 0;
    memcpy(widePath, wide, directoryLength * sizeof(wchar_t));
    memcpy(widePath + directoryLength, record.cFileName, (nameLength + 1) * sizeof(wchar_t));
  }
  *found = record;
  return 1;
}

HANDLE OpenForReading(const char* path, wchar_t* widePath) {
  if (widePath) widePath[0] = 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_NAME) return file;

  WIN32_FIND_DATAW found;
  wchar_t resolved[kWidePathCapacity];
  if (!OpenWideFallback(path, &found, resolved)) return INVALID_HANDLE_VALUE;
  file = CreateFileW(resolved, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE && widePath) memcpy(widePath, resolved, sizeof(resolved));
  return file;
}

int FingerprintOpenFile(HANDLE file, uint32_t length, FileFingerprint* out) {
  unsigned char block[kFingerprintBlockSize];
  FingerprintState state;
  BeginFingerprint(&state, length);
  for (uint32_t done = 0; done < length; done += kFingerprintBlockSize) {
    uint32_t left = length - done;
    uint32_t want = left < kFingerprintBlockSize ? left : kFingerprintBlockSize;
    DWORD got = 0;
    // A lock, an I/O error or a file cut short since its size was taken: the
    // file is not examined.
    if (!ReadFile(file, block, want, &got, nullptr) || got != want) {
      memset(out, 0, sizeof(*out));
      return 0;
    }
    AddFingerprintBlock(&state, block, want);
  }
  *out = state.result;
  return 1;
}

FileIdentity IdentifyOpenFile(HANDLE file) {
  FileIdentity identity = {0, 0, 0};
  // Windows 9x makes its file index up per open: it names no file.
  if (GetVersion() & 0x80000000u) return identity;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return identity;
  identity.volume = information.dwVolumeSerialNumber;
  identity.file = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  identity.known = identity.file != 0 ? 1 : 0;
  return identity;
}

// The full 64-bit size of an open file; 0 when it cannot be learnt.
static int QueryFileSize(HANDLE file, uint64_t* size) {
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
  *size = static_cast<uint64_t>(high) << 32 | low;
  return 1;
}

int ComputeFingerprint(const char* path, int32_t start, int32_t end, FileFingerprint* out) {
  memset(out, 0, sizeof(*out));
  OwnedHandle file(OpenForReading(path, nullptr));
  if (!file.valid()) return 0;
  uint64_t fullSize = 0;
  int result = 0;
  // Positions are signed 32-bit: a larger file has no range that they can name.
  if (QueryFileSize(file.get(), &fullSize) && fullSize <= 0x7FFFFFFF) {
    int32_t size = static_cast<int32_t>(fullSize);
    if (end < 0) end = size;
    if (start >= 0 && start <= size && start <= end)
      result = FingerprintOpenFile(file.get(), static_cast<uint32_t>(end - start), out);
  }
  return result;
}

namespace {

// CheckCandidate's reader over an open file: blocks come in order from the
// start, so the file pointer is normally where the next one begins.
struct OpenFileReader {
  HANDLE file;
  uint64_t position;
};

int ReadBlockAt(void* context, uint64_t offset, unsigned char* block, uint32_t length) {
  OpenFileReader* reader = static_cast<OpenFileReader*>(context);
  if (offset != reader->position) {
    LONG high = static_cast<LONG>(offset >> 32);
    if (SetFilePointer(reader->file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
      return 0;
    reader->position = offset;
  }
  DWORD got = 0;
  // A lock, an I/O error or a file cut short since its size was taken: the
  // file is not examined.
  if (!ReadFile(reader->file, block, length, &got, nullptr) || got != length) return 0;
  reader->position += got;
  return 1;
}

}  // namespace

CandidateOutcome CheckFileOutcome(const SignatureSet& signatures, const char* path, char* nameOut, FileIdentity* identity) {
  nameOut[0] = 0;
  CandidateOutcome outcome = kCandidateUnreadable;
  DWORD attributes = GetFileAttributesA(path);
  bool attributesRead = attributes != INVALID_FILE_ATTRIBUTES;
  const char* match = nullptr;
  FileIdentity matchedIdentity = {0, 0, 0};

  wchar_t widePath[kWidePathCapacity];
  OwnedHandle file(OpenForReading(path, widePath));
  if (file.valid()) {
    if (widePath[0]) {
      attributes = GetFileAttributesW(widePath);
      attributesRead = attributes != INVALID_FILE_ATTRIBUTES;
    }
    uint64_t size = 0;
    // The whole size: a file of 4 GiB and 1536 bytes is no 1536-byte file.
    // The portable check filters by size and reads a candidate once for
    // every row of its size: the first matching row wins.
    if (QueryFileSize(file.get(), &size)) {
      OpenFileReader open{file.get(), 0};
      CandidateReader reader{ReadBlockAt, &open};
      const char* found = nullptr;
      outcome = CheckCandidate(signatures, size, &reader, &found);
      if (outcome == kCandidateMatched) {
        match = found;
        matchedIdentity = IdentifyOpenFile(file.get());
      }
    }
    // Closed before the attributes are put back.
    file.reset();
  }

  // Written back only when something changed them: a write to every
  // candidate would move its change time for nothing.
  if (attributesRead && attributes != 0) {
    DWORD now = widePath[0] ? GetFileAttributesW(widePath) : GetFileAttributesA(path);
    if (now != attributes) {
      if (!SetFileAttributesA(path, attributes) && widePath[0]) SetFileAttributesW(widePath, attributes);
    }
  }
  if (identity) *identity = matchedIdentity;
  if (!match) return outcome == kCandidateMatched ? kCandidateClean : outcome;
  lstrcpynA(nameOut, match, kDetectionNameCapacity);
  return kCandidateMatched;
}

int CheckFileAgainst(const SignatureSet& signatures, const char* path, char* nameOut, FileIdentity* identity) {
  return CheckFileOutcome(signatures, path, nameOut, identity) == kCandidateMatched ? 1 : 0;
}

int CheckFile(const char* path, char* nameOut) { return CheckFileAgainst(BuiltInSignatureSet(), path, nameOut); }

int CheckFileIdentified(const char* path, char* nameOut, FileIdentity* identity) {
  return CheckFileAgainst(BuiltInSignatureSet(), path, nameOut, identity);
}
