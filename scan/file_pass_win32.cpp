// The file pass over all fixed drives (see file_pass_win32.h).
#include "scan/file_pass_win32.h"

#include <windows.h>

#include <cstring>

#include "engine/file_check_win32.h"
#include "engine/signature_table.h"
#include "remedy/autorun_win32.h"
#include "remedy/removal_win32.h"
#include "scan/progress.h"
#include "scan/scan_counters.h"
#include "sys/system_queries_win32.h"
#include "walker/file_list_win32.h"

namespace {

enum : uint32_t {
  // Longest path that can be opened at all.
  kLongestOpenablePath = MAX_PATH - 1,
};

}  // namespace

namespace {

CandidateOutcome CheckPort(void* context, const FoundFile* file, char* nameOut, FileIdentity* identity) {
  const FilePass* pass = static_cast<const FilePass*>(context);
  // A path that was cut, or longer than can be opened, is not checked.
  if (std::strlen(file->path) > kLongestOpenablePath) return kCandidateClean;
  // An unreadable file is no detection: the dialog has no row for it.
  return pass->check(file->path, nameOut, identity) ? kCandidateMatched : kCandidateClean;
}

// Not yet counted: a folder that cannot be listed is passed over.
int GoOnPastUnreadable(void*, const char*, uint32_t) { return 1; }

ScanRowStatus RemovePort(void*, const FoundFile* file, const FileIdentity* identity) {
  switch (RemoveIdentifiedFile(file->path, identity)) {
    case 0: return kRowRemovalFailed;
    case kRemovedAtRestart: return kRowScheduledAtRestart;
    default: return kRowRemoved;
  }
}

void CleanAutorunPort(void*, const char* path) { CleanAutorun(path); }

// The walk's record is the file's location; the estimate counts its listed
// size (low 32 bits) in whole clusters.
uint32_t SharePort(void*, const FoundFile* file) {
  const FindRecord* record = static_cast<const FindRecord*>(file->location);
  AdvanceFileProgress(&gScanCounters, record->size);
  return gScanCounters.lastPercent;
}

}  // namespace

FilePass ActionFilePass(const ScanReport* report, FoundFileAction action, QuarantineFunction quarantine,
                        void* frontEnd) {
  FilePass pass = ProgramFilePass(report);
  pass.run.action = action;
  pass.run.ports.quarantine = quarantine;
  pass.frontEnd = frontEnd;
  return pass;
}

FilePass ProgramFilePass(const ScanReport* report) {
  FilePass pass{};
  pass.check = CheckFileIdentified;
  // The ports' context is the pass itself, set at each file: the pass may
  // have been copied since.
  FoundFilePorts ports{CheckPort, RemovePort, nullptr, CleanAutorunPort, nullptr};
  pass.run = BeginFoundFileRun(BuiltInSignatures(), kActionRemove, ports, report, kStatusLineInterval);
  pass.frontEnd = nullptr;
  pass.run.share = SharePort;
  return pass;
}

int OnFileFound(void* raw, const WalkEntry* entry) {
  FilePass* pass = static_cast<FilePass*>(raw);
  pass->run.ports.context = pass;
  FoundFile file{entry->path, entry->size, entry->native};
  int goOn = DecideFoundFile(&pass->run, &file);
  gScanCounters.fileDetections = pass->run.totals.detections;
  gScanCounters.fileRemovalFailures = pass->run.totals.failures;
  return goOn;
}

int ScanFixedDrives(const ScanReport* report) {
  FilePass pass = ProgramFilePass(report);
  return ScanFixedDrivesWith(OnFileFound, &pass);
}

int ScanFixedDrivesWith(WalkFileFunction file, void* context) {
  ScanCounters& counters = gScanCounters;
  FileList walk;
  counters.bytesDone = 0;

  FixedDrives drives = ListFixedDrives();
  DriveSpace spaces[kMaxFixedDrives];
  uint32_t spaceCount = 0;
  for (uint32_t i = 0; i < drives.count; ++i) {
    uint64_t used = 0;
    if (!GetDiskSpace(drives.roots[i], nullptr, &used, nullptr)) {
      spaces[spaceCount++] = DriveSpace{0, 0};
      break;
    }
    spaces[spaceCount++] = DriveSpace{1, used};
  }
  counters.totalBytes = TotalUsedBytes(spaces, spaceCount);

  for (uint32_t i = 0; i < drives.count; ++i) {
    uint32_t cluster = 0;
    counters.clusterSize =
        GetClusterSize(drives.roots[i], &cluster) && cluster != 0 ? cluster : kFallbackClusterSize;
    // A walk that ends early (stopped, or failed inside) moves on to the next drive.
    walk.Open(drives.roots[i], 1, WalkVisitor{file, GoOnPastUnreadable, context});
    walk.Close();
  }
  return 1;
}
