// The Win32 ports of a scan session (see file_pass_win32.h).
#include "scan/file_pass_win32.h"

#include <cstdio>
#include <cstring>

#include "engine/file_check_win32.h"
#include "remedy/quarantine_win32.h"
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
  if (!scan->quarantine) return kRowRemovalFailed;
  QuarantineOriginalWin32 original;
  QuarantineOutcome outcome = OpenQuarantineOriginalWin32(file->path, *identity, &original, why, capacity);
  if (outcome != kQuarantineDone) return kRowRemovalFailed;
  static QuarantineRecord record;
  if (!DescribeQuarantinedFileWin32(original, scan->root, name, &record)) {
    std::snprintf(why, capacity, "%s", "not quarantined: its path beneath the scanned root cannot be recorded");
    return kRowRemovalFailed;
  }
  switch (QuarantineOne(scan->quarantine, &record, QuarantineOriginalPortWin32(&original), why, capacity)) {
    case kQuarantineDone: return kRowQuarantined;
    case kQuarantineAtRestart: return kRowScheduledAtRestart;
    default: return kRowRemovalFailed;
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

// The quarantine folder as the walk may meet it: its identity, and its
// long and 8.3 names, which are all a walked path can spell it by.
struct SkippedFolder {
  const QuarantineFolderWin32* folder;  // null: nothing is skipped
  char longName[MAX_PATH];
  char shortName[14];
};

SkippedFolder DescribeSkippedFolder(const QuarantineFolderWin32* folder) {
  SkippedFolder skipped{};
  if (!folder || !folder->identified) return skipped;
  char path[MAX_PATH];
  std::snprintf(path, sizeof path, "%s", folder->directory);
  size_t length = std::strlen(path);
  if (length > 3 && path[length - 1] == '\\') path[length - 1] = 0;
  skipped.folder = folder;
  // A drive's root has no name: only its identity as a root tells it.
  WIN32_FIND_DATAA found;
  OwnedFind search(FindFirstFileA(path, &found));
  if (!search.valid()) return skipped;
  std::snprintf(skipped.longName, sizeof skipped.longName, "%s", found.cFileName);
  std::snprintf(skipped.shortName, sizeof skipped.shortName, "%s", found.cAlternateFileName);
  return skipped;
}

int SameNameIgnoringCase(const char* part, size_t length, const char* name) {
  if (!name[0] || std::strlen(name) != length) return 0;
  for (size_t i = 0; i < length; ++i) {
    char a = part[i], b = name[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return 0;
  }
  return 1;
}

int IsSkippedFolder(const SkippedFolder& skipped, const char* path) {
  OwnedHandle folder(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) return 0;
  FileIdentity identity = IdentifyOpenFile(folder.get());
  return identity.known && identity.volume == skipped.folder->volume && identity.file == skipped.folder->file;
}

// 1 when a folder among the first `length` characters of `path` is the
// quarantine folder: a part spelled as its name, confirmed by identity. A
// name alone proves nothing (another folder may share it); a prefix of the
// text would miss a subst drive or an 8.3 spelling.
int LiesInSkippedFolder(const SkippedFolder& skipped, const char* path, size_t length) {
  if (!skipped.folder || length >= MAX_PATH) return 0;
  char prefix[MAX_PATH];
  std::memcpy(prefix, path, length);
  prefix[length] = 0;
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i < length && prefix[i] != '\\') continue;
    if (i > start && (SameNameIgnoringCase(prefix + start, i - start, skipped.longName) ||
                      SameNameIgnoringCase(prefix + start, i - start, skipped.shortName))) {
      char kept = prefix[i];
      prefix[i] = 0;
      int same = IsSkippedFolder(skipped, prefix);
      prefix[i] = kept;
      if (same) return 1;
    }
    start = i + 1;
  }
  return 0;
}

// The walker's visitor with the quarantine folder left out and the end of
// the walk remembered. The walk lists a folder's files together: the answer
// for the last folder serves all of them.
struct FileListAdapter {
  const WalkVisitor* visitor;
  const SkippedFolder* skipped;
  char directory[MAX_PATH];
  int directorySkipped;
  int stopped;
};

int InSkippedDirectory(FileListAdapter* adapter, const WalkEntry* entry) {
  if (!adapter->skipped->folder) return 0;
  size_t length = entry->directoryLength;
  if (length < sizeof adapter->directory && std::strncmp(adapter->directory, entry->path, length) == 0 &&
      adapter->directory[length] == 0)
    return adapter->directorySkipped;
  adapter->directorySkipped = LiesInSkippedFolder(*adapter->skipped, entry->path, length);
  if (length < sizeof adapter->directory) {
    std::memcpy(adapter->directory, entry->path, length);
    adapter->directory[length] = 0;
  }
  return adapter->directorySkipped;
}

int OnListedFile(void* context, const WalkEntry* entry) {
  FileListAdapter* adapter = static_cast<FileListAdapter*>(context);
  // The quarantine folder holds detections by design: never examined.
  if (InSkippedDirectory(adapter, entry)) return 1;
  if (!adapter->visitor->file(adapter->visitor->context, entry)) {
    adapter->stopped = 1;
    return 0;
  }
  return 1;
}

int OnUnlistable(void* context, const char* path, uint32_t error) {
  FileListAdapter* adapter = static_cast<FileListAdapter*>(context);
  if (LiesInSkippedFolder(*adapter->skipped, path, std::strlen(path))) return 1;
  if (!adapter->visitor->unreadable(adapter->visitor->context, path, error)) {
    adapter->stopped = 1;
    return 0;
  }
  return 1;
}

// Walks one folder. 0 when the visitor ended the walk.
int WalkFolder(const char* root, const SkippedFolder* skipped, const WalkVisitor* visitor) {
  FileListAdapter adapter{visitor, skipped, "", 0, 0};
  FileList walk;
  int walked = walk.Open(root, 1, WalkVisitor{OnListedFile, OnUnlistable, &adapter});
  walk.Close();
  // The walk tells every trouble itself; one that still ended early, not
  // asked to, leaves the folder not wholly examined.
  if (!walked && !adapter.stopped) OnUnlistable(&adapter, root, ERROR_BUSY);
  return adapter.stopped ? 0 : 1;
}

// Notes the root the quarantine records. 0 when the root is the quarantine
// folder itself (under another spelling: a subst drive, an 8.3 name).
int BeginRoot(Win32Scan* scan, const char* root, const SkippedFolder* skipped) {
  if (!scan->quarantine && !skipped->folder) return 1;
  if (!DescribeQuarantineRootWin32(root, &scan->root)) scan->root = QuarantineRootWin32{};
  return !(skipped->folder && scan->root.identified && scan->root.volume == skipped->folder->volume &&
           scan->root.file == skipped->folder->file);
}

// One root: a folder is walked, a file visited alone.
int WalkRoot(Win32Scan* scan, const char* root, const SkippedFolder* skipped, const WalkVisitor* visitor) {
  char full[MAX_PATH];
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(root, sizeof full, full, &namePart);
  if (!length || length >= sizeof full) return visitor->unreadable(visitor->context, root, ERROR_FILENAME_EXCED_RANGE);
  DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) return visitor->unreadable(visitor->context, root, GetLastError());
  if (!BeginRoot(scan, full, skipped)) return 1;
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
  FileListAdapter adapter{visitor, skipped, "", 0, 0};
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
  SkippedFolder skipped = DescribeSkippedFolder(scan->skippedFolder);
  if (scan->roots) {
    for (uint32_t i = 0; i < scan->rootCount; ++i)
      if (!WalkRoot(scan, scan->roots[i], &skipped, visitor)) return 0;
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
    if (BeginRoot(scan, drives.roots[i], &skipped) && !WalkFolder(drives.roots[i], &skipped, visitor)) stopped = 1;
  }
  return stopped ? 0 : 1;
}
