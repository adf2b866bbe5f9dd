// Row-by-row check and its per-file callback (see straightforward_check.h).
#include "bench/straightforward_check.h"

#include <windows.h>

#include <cstdio>

#include "engine/file_check.h"
#include "engine/signature_table.h"
#include "remedy/autorun.h"
#include "remedy/removal.h"
#include "scan/progress.h"
#include "scan/scan_counters.h"
#include "ui/scan_context.h"
#include "ui/texts.h"

int CheckFileRowByRow(const char* path, char* nameOut) {
  nameOut[0] = 0;
  DWORD attributes = GetFileAttributesA(path);
  bool attributesRead = attributes != INVALID_FILE_ATTRIBUTES;
  const SignatureRecord* match = nullptr;

  wchar_t widePath[kWidePathCapacity];
  HANDLE file = OpenForReading(path, widePath);
  if (file != INVALID_HANDLE_VALUE) {
    if (widePath[0]) {
      attributes = GetFileAttributesW(widePath);
      attributesRead = attributes != INVALID_FILE_ATTRIBUTES;
    }
    DWORD size = GetFileSize(file, nullptr);
    CloseHandle(file);
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

int OnFileFoundStraightforward(const char* directory, const FindRecord* record) {
  ScanCounters& counters = gScanCounters;
  ScanContext* context = counters.context;

  char path[1024];
  int length = std::snprintf(path, sizeof path, "%s%s", directory, record->name);
  FileProgress progress = AdvanceFileProgress(&counters, record->size);
  if (progress.moveBar) SetProgressPos(context, progress.position);
  if (progress.showPath) SetStatusText(context, path);

  if (length > 0 && length < MAX_PATH) {
    char name[64];
    if (CheckFileRowByRow(path, name)) {
      counters.fileDetections += 1;
      if (RemoveFile(path)) {
        AddResultRow(context, path, name, Text(TextKey::StatusRemoved, context->languageIndex));
        CleanAutorun(path);
      } else {
        AddResultRow(context, path, name, Text(TextKey::StatusFailed, context->languageIndex));
        counters.fileRemovalFailures += 1;
      }
    }
  }
  return IsStopRequested(context) ? 0 : 1;
}
