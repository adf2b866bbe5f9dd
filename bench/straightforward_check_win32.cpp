// Row-by-row check and its per-file callback (see straightforward_check_win32.h).
#include "bench/straightforward_check_win32.h"

#include <windows.h>

#include "engine/file_check_win32.h"
#include "engine/signature_table.h"
#include "scan/file_pass_win32.h"
#include "sys/handle_win32.h"

int CheckFileRowByRow(const char* path, char* nameOut) {
  nameOut[0] = 0;
  DWORD attributes = GetFileAttributesA(path);
  bool attributesRead = attributes != INVALID_FILE_ATTRIBUTES;
  const SignatureRecord* match = nullptr;

  wchar_t widePath[kWidePathCapacity];
  OwnedHandle file(OpenForReading(path, widePath));
  if (file.valid()) {
    if (widePath[0]) {
      attributes = GetFileAttributesW(widePath);
      attributesRead = attributes != INVALID_FILE_ATTRIBUTES;
    }
    DWORD size = GetFileSize(file.get(), nullptr);
    file.reset();
    if (size != INVALID_FILE_SIZE && size <= kMaxCheckedFileSize) {
      SignatureTable table = BuiltInSignatures();
      for (uint32_t i = 0; i < table.count && !match; ++i) {
        const SignatureRecord& row = table.rows[i];
        if (row.fileSize != size) continue;
        // A failed fingerprint is all zeros and matches nothing.
        FileFingerprint fingerprint;
        ComputeFingerprint(path, 0, -1, &fingerprint);
        if (fingerprint.weightedSum == row.weightedSum && fingerprint.headSum == row.headSum) match = &row;
      }
    }
  }

  if (attributesRead && attributes != 0) {
    if (!SetFileAttributesA(path, attributes) && widePath[0]) SetFileAttributesW(widePath, attributes);
  }
  if (!match) return 0;
  lstrcpynA(nameOut, match->detectionName, kDetectionNameCapacity);
  return 1;
}

int CheckFileRowByRowUnidentified(const char* path, char* nameOut, FileIdentity* identity) {
  *identity = FileIdentity{0, 0, 0};
  return CheckFileRowByRow(path, nameOut);
}
