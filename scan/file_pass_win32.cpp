// The Win32 ports of a scan session (see file_pass_win32.h).
#include "scan/file_pass_win32.h"

#include <cstdio>
#include <cstring>

#include "engine/file_check_win32.h"
#include "engine/signature_table.h"
#include "remedy/autorun_win32.h"
#include "remedy/removal_win32.h"
#include "sys/handle_win32.h"
#include "sys/system_queries_win32.h"
#include "walker/file_list_win32.h"

namespace {

enum : uint32_t {
  // Longest path that can be opened at all.
  kLongestOpenablePath = MAX_PATH - 1,
};

Win32Scan* Of(void* context) { return static_cast<Win32Scan*>(context); }

CandidateOutcome CheckPort(void* context, const SignatureSet& signatures, const FoundFile* file, char* nameOut,
                           FileIdentity* identity) {
  // A path that was cut, or longer than can be opened, cannot be read.
  if (std::strlen(file->path) > kLongestOpenablePath) return kCandidateUnreadable;
  return Of(context)->check(signatures, file->path, nameOut, identity);
}

ScanRowStatus RemovePort(void*, const FoundFile* file, const FileIdentity* identity, char* why, size_t capacity) {
  switch (RemoveIdentifiedFile(file->path, identity)) {
    case 0:
      std::snprintf(why, capacity, "%s", "it could not be deleted, nor its deletion scheduled for the restart");
      return kRowRemovalFailed;
    case kRemovedAtRestart: return kRowScheduledAtRestart;
    default: return kRowRemoved;
  }
}

ScanRowStatus QuarantinePort(void* context, const FoundFile* file, const FileIdentity* identity, const char* name,
                             char* why, size_t capacity) {
  Win32Scan* scan = Of(context);
  char hex[kSha256HexSize];
  if (!scan->quarantine) return kRowRemovalFailed;
  switch (QuarantineWin32File(scan->quarantine, file->path, *identity, name, hex)) {
    case kQuarantineResultDone: return kRowQuarantined;
    case kQuarantineResultAtRestart: return kRowScheduledAtRestart;
    case kQuarantineResultNotSame:
      std::snprintf(why, capacity, "%s", "it is not the file that was checked any more");
      return kRowRemovalFailed;
    case kQuarantineResultKeptCopy:
      std::snprintf(why, capacity, "copied to the quarantine as %s but not removed", hex);
      return kRowRemovalFailed;
    default:
      std::snprintf(why, capacity, "%s", "not quarantined: the copy could not be made and recorded");
      return kRowRemovalFailed;
  }
}

void CleanOfPort(void*, const char* path, const RunValueListener* listener) { CleanAutorun(path, listener); }

void CleanAfterPort(void* context, const char* const* paths, uint32_t count, const RunValueListener* listener) {
  if (Of(context)->allUsers) CleanAllUsersAutorun(paths, count, listener);
}

// The walk's record is the file's location; the estimate counts its listed
// size (low 32 bits) in whole clusters.
uint32_t SharePort(void* context, const FoundFile* file) {
  Win32Scan* scan = Of(context);
  if (!scan->estimate) return kUnknownShare;
  const FindRecord* record = static_cast<const FindRecord*>(file->location);
  AdvanceFileProgress(&scan->progress, record->size);
  return scan->progress.lastPercent;
}

int WalkPort(void* context, const WalkVisitor* visitor) { return Win32Walk(Of(context), visitor); }

int StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    char a = *text, b = *prefix;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return 0;
  }
  return 1;
}

// The walker's visitor with the quarantine folder left out and the end of
// the walk remembered.
struct FileListAdapter {
  const WalkVisitor* visitor;
  const char* skipped;
  int stopped;
};

int OnListedFile(void* context, const WalkEntry* entry) {
  FileListAdapter* adapter = static_cast<FileListAdapter*>(context);
  // The quarantine folder holds detections by design: never examined.
  if (adapter->skipped && StartsWithIgnoringCase(entry->path, adapter->skipped)) return 1;
  if (!adapter->visitor->file(adapter->visitor->context, entry)) {
    adapter->stopped = 1;
    return 0;
  }
  return 1;
}

int OnUnlistable(void* context, const char* path, uint32_t error) {
  FileListAdapter* adapter = static_cast<FileListAdapter*>(context);
  if (adapter->skipped && StartsWithIgnoringCase(path, adapter->skipped)) return 1;
  if (!adapter->visitor->unreadable(adapter->visitor->context, path, error)) {
    adapter->stopped = 1;
    return 0;
  }
  return 1;
}

// Walks one folder. 0 when the visitor ended the walk.
int WalkFolder(const char* root, const char* skipped, const WalkVisitor* visitor) {
  FileListAdapter adapter{visitor, skipped, 0};
  FileList walk;
  walk.Open(root, 1, WalkVisitor{OnListedFile, OnUnlistable, &adapter});
  walk.Close();
  return adapter.stopped ? 0 : 1;
}

// One root: a folder is walked, a file visited alone.
int WalkRoot(const char* root, const char* skipped, const WalkVisitor* visitor) {
  char full[MAX_PATH];
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(root, sizeof full, full, &namePart);
  if (!length || length >= sizeof full) return visitor->unreadable(visitor->context, root, ERROR_FILENAME_EXCED_RANGE);
  DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) return visitor->unreadable(visitor->context, root, GetLastError());
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return WalkFolder(full, skipped, visitor);
  WIN32_FIND_DATAA found;
  OwnedFind search(FindFirstFileA(full, &found));
  if (!search.valid() || !namePart) return visitor->unreadable(visitor->context, root, GetLastError());
  search.reset();
  FindRecord record{};
  record.attributes = found.dwFileAttributes;
  record.size = found.nFileSizeLow;
  record.sizeHigh = found.nFileSizeHigh;
  std::snprintf(record.name, sizeof record.name, "%s", namePart);
  size_t directoryLength = static_cast<size_t>(namePart - full);
  uint64_t size = (static_cast<uint64_t>(record.sizeHigh) << 32) | record.size;
  WalkEntry entry{full, directoryLength, full + directoryLength, size, &record};
  FileListAdapter adapter{visitor, skipped, 0};
  return OnListedFile(&adapter, &entry) && !adapter.stopped;
}

}  // namespace

CandidateOutcome CheckWithSignatureSet(const SignatureSet& signatures, const char* path, char* nameOut,
                                       FileIdentity* identity) {
  return CheckFileOutcome(signatures, path, nameOut, identity);
}

Win32Scan FixedDrivesScan() {
  Win32Scan scan{};
  scan.check = CheckWithSignatureSet;
  scan.estimate = 1;
  return scan;
}

ScanPorts Win32ScanPorts(Win32Scan* scan) {
  ScanPorts ports{};
  ports.walk = WalkPort;
  ports.check = CheckPort;
  ports.remove = RemovePort;
  ports.quarantine = QuarantinePort;
  ports.cleanRunValuesOf = CleanOfPort;
  ports.cleanRunValuesAfter = scan->allUsers ? CleanAfterPort : nullptr;
  ports.share = SharePort;
  ports.errorText = Win32ErrorText;
  ports.context = scan;
  return ports;
}

int Win32Walk(Win32Scan* scan, const WalkVisitor* visitor) {
  if (scan->roots) {
    for (uint32_t i = 0; i < scan->rootCount; ++i)
      if (!WalkRoot(scan->roots[i], scan->skipped, visitor)) return 0;
    return 1;
  }
  ProgressEstimate& progress = scan->progress;
  progress.bytesDone = 0;
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
  progress.totalBytes = TotalUsedBytes(spaces, spaceCount);

  int stopped = 0;
  for (uint32_t i = 0; i < drives.count; ++i) {
    uint32_t cluster = 0;
    progress.clusterSize = GetClusterSize(drives.roots[i], &cluster) && cluster != 0 ? cluster : kFallbackClusterSize;
    // A walk that ends early moves on to the next drive, as the dialog's
    // pass always has: after a stop, each further drive ends at its first file.
    if (!WalkFolder(drives.roots[i], scan->skipped, visitor)) stopped = 1;
  }
  return stopped ? 0 : 1;
}

void Win32ErrorText(uint32_t error, char* out, size_t capacity) {
  if (!capacity) return;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, out,
                                static_cast<DWORD>(capacity), nullptr);
  // The system's sentence ends in a period and a line break: a reason is one line.
  while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r' || out[length - 1] == '.')) --length;
  if (length == 0) {
    std::snprintf(out, capacity, "error %u", error);
    return;
  }
  out[length] = 0;
}
