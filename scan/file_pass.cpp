// The file pass over all fixed drives (see file_pass.h).
#include "scan/file_pass.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "engine/file_check.h"
#include "engine/signature_table.h"
#include "remedy/autorun.h"
#include "remedy/removal.h"
#include "scan/progress.h"
#include "scan/scan_counters.h"
#include "sys/system_queries.h"
#include "walker/file_list.h"

namespace {

enum : uint32_t {
  kDriveListSize = 255,
  kFullPathSize = 1024,
  kDetectionNameSize = 64,
  // Longest path that can be opened at all.
  kLongestOpenablePath = MAX_PATH - 1,
  // Drive letters A..Z; a bound for the space list.
  kMaxDrives = 26,
};

}  // namespace

FilePass ProgramFilePass(const ScanReport* report) { return FilePass{report, CheckFileIdentified, 0}; }

int OnFileFound(void* raw, const char* directory, const FindRecord* record) {
  const FilePass* pass = static_cast<const FilePass*>(raw);
  const ScanReport* report = pass->report;
  ScanCounters& counters = gScanCounters;

  char path[kFullPathSize];
  int length = std::snprintf(path, sizeof path, "%s%s", directory, record->name);
  // Longer than any walker path can be; a cut path must not be checked.
  int pathFits = length > 0 && static_cast<size_t>(length) < sizeof path;

  FileProgress progress = AdvanceFileProgress(&counters, record->size);
  if (progress.moveBar) ReportProgress(report, ScanPosition{counters.filesScanned, counters.bytesDone, progress.position});
  if (progress.showPath) ReportCurrentPath(report, path);

  int worthChecking = pass->checkEveryFile || (record->sizeHigh == 0 && record->size <= kMaxCheckedFileSize &&
                                               HasSignatureOfSize(BuiltInSignatures(), record->size));
  if (worthChecking && pathFits && length <= static_cast<int>(kLongestOpenablePath)) {
    char name[kDetectionNameSize];
    FileIdentity identity;
    if (pass->check(path, name, &identity)) {
      counters.fileDetections += 1;
      if (RemoveIdentifiedFile(path, &identity)) {
        ReportResultRow(report, path, name, kRowRemoved);
        CleanAutorun(path);
      } else {
        ReportResultRow(report, path, name, kRowRemovalFailed);
        counters.fileRemovalFailures += 1;
      }
    }
  }
  return ReportStopRequested(report) ? 0 : 1;
}

int ScanFixedDrives(const ScanReport* report) {
  FilePass pass = ProgramFilePass(report);
  return ScanFixedDrivesWith(OnFileFound, &pass);
}

int ScanFixedDrivesWith(FileFoundCallback callback, void* context) {
  ScanCounters& counters = gScanCounters;
  FileList walk;
  counters.bytesDone = 0;

  char drives[kDriveListSize + 1];
  std::memset(drives, 0, sizeof drives);
  DWORD listed = GetLogicalDriveStringsA(kDriveListSize, drives);
  // A list that did not fit (or failed) counts as empty.
  if (listed == 0 || listed > kDriveListSize) drives[0] = '\0';

  DriveSpace spaces[kMaxDrives];
  uint32_t spaceCount = 0;
  for (const char* root = drives; *root && spaceCount < kMaxDrives; root += std::strlen(root) + 1) {
    if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
    uint64_t used = 0;
    if (!GetDiskSpace(root, nullptr, &used, nullptr)) {
      spaces[spaceCount++] = DriveSpace{0, 0};
      break;
    }
    spaces[spaceCount++] = DriveSpace{1, used};
  }
  counters.totalBytes = TotalUsedBytes(spaces, spaceCount);

  for (const char* root = drives; *root; root += std::strlen(root) + 1) {
    if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
    uint32_t cluster = 0;
    counters.clusterSize = GetClusterSize(root, &cluster) && cluster != 0 ? cluster : kFallbackClusterSize;
    // A walk that ends early (stopped, or failed inside) moves on to the next drive.
    walk.Open(root, 1, "*", callback, context);
    walk.Close();
  }
  return 1;
}
