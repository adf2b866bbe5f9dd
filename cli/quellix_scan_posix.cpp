// quellix-scan: the scanner of a mounted Windows volume on Linux. The
// console driver does the run; this file gives it the POSIX console, the
// walk through directory descriptors, removal and quarantine through them,
// the offline volume's refusals and profile hives, and the quarantine's
// way back.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cli/console_driver.h"
#include "cli/image_scan_posix.h"
#include "cli/run_backup_posix.h"
#include "cli/stop_signals_posix.h"
#include "engine/file_check_posix.h"
#include "engine/signature_file_posix.h"
#include "remedy/file_removal_posix.h"
#include "remedy/hive_posix.h"
#include "remedy/name_escape.h"
#include "remedy/offline_cleanup_posix.h"
#include "remedy/quarantine_posix.h"
#include "remedy/trusted_folder_posix.h"
#include "sys/image_format.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"
#include "walker/mft_walk_posix.h"
#include "walker/tree_walk_posix.h"

namespace {

struct PosixScanner {
  const ScanOptions* options;
  ConsoleDriver* driver;
  OfflineSystem offline;
  PosixQuarantineFolder quarantineFolder;
  QuarantineStore quarantine;
  int quarantineOpen;
  QuarantineRoots roots;
  HiveBackup backup;  // prepared by a writing run before anything changes
  int backupOpen;
  VisitedSet visited;
  TreeWalkStats stats;
  // The share done: entries walked against the inodes in use on the file
  // systems of the PATHs, known only when each PATH is a mount root.
  uint64_t usedInodes;
  uint64_t filesSeen;
  const ScanSession* session;  // from before the walk: the sizes worth reading
  ImageScanner image;  // --image
  int restoringImage;
  // restore
  PosixRestoreTarget target;
  ImageRestoreTarget imageTarget;
  RestoreTargetPort hostPort, imagePort;
};

PosixScanner* Of(void* context) { return static_cast<PosixScanner*>(context); }

const TreeEntry* EntryOf(const FoundFile* file) { return static_cast<const TreeEntry*>(file->location); }

// ---- console ----

void Write(FILE* out, const char* text) { std::fputs(text, out); }

// File names are bytes; JSON keeps what is not UTF-8 byte for byte.
int ToUtf8(const char* text, char* out, size_t capacity) {
  size_t length = std::strlen(text);
  if (length >= capacity) return 0;
  std::memcpy(out, text, length + 1);
  return 1;
}

uint32_t TerminalColumns() {
  if (!isatty(STDERR_FILENO)) return 0;
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int Interrupted() { return StopSignalArrived(); }

void HostName(char* out, size_t capacity) {
  if (gethostname(out, capacity) != 0 && capacity) out[0] = 0;
  if (capacity) out[capacity - 1] = 0;
}

void ErrorText(uint32_t error, char* out, size_t capacity) {
  std::snprintf(out, capacity, "%s", std::strerror(static_cast<int>(error)));
}

// Names are UTF-8 or bytes: control bytes, C1 controls and what is not
// UTF-8 are shown escaped, a text too long for `out` as well (it is cut).
void Escape(const char* text, char* out, size_t capacity) { EscapeNameCut(text, out, capacity); }

// A new file, never a link followed nor a file of someone else's truncated.
FILE* CreateOutput(void*, const char* path, char* why, size_t capacity) {
  OwnedStream stream;
  if (!OpenOutputStream(path, &stream)) {
    std::snprintf(why, capacity, "%s", errno == EEXIST ? "it exists already: name a new file" : std::strerror(errno));
    return nullptr;
  }
  return stream.release();
}

// --log: appended to, created when missing; a link is refused, not followed,
// and a FIFO or device refused at once rather than waited on.
FILE* OpenLog(const char* path, char* why, size_t capacity) {
  OwnedFd fd;
  struct stat st;
  if (!OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644, &fd, &st, why, capacity))
    return nullptr;
  // A hard link, or a file someone else left in a shared folder, would let
  // another user choose what the log writes into.
  if (st.st_nlink > 1) {
    std::snprintf(why, capacity, "it has %lu links: a log is appended only to a file of one link",
                  static_cast<unsigned long>(st.st_nlink));
    return nullptr;
  }
  if (st.st_uid != geteuid()) {
    std::snprintf(why, capacity, "it belongs to user %lu, not to this one: the log is not appended to it",
                  static_cast<unsigned long>(st.st_uid));
    return nullptr;
  }
  FILE* stream = fdopen(fd.get(), "a");
  if (!stream) {
    std::snprintf(why, capacity, "%s", std::strerror(errno));
    return nullptr;
  }
  fd.release();
  return stream;
}

int FinishOutput(void*, FILE* file) {
  OwnedStream stream(file);
  int whole = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  return stream.close() && whole;
}

// ---- ports ----

int WorthReading(void* context, uint64_t size) {
  const ScanSession* session = Of(context)->session;
  return session && IsCandidateSize(session->signatures, size);
}

// How a PATH is listed goes into a `walk` record before its rows; a PATH
// on NTFS walked by folders all the same is said on the console too.
void WalkDecided(void* context, const char* root, int mft, const char* said, int onConsole) {
  PosixScanner* s = Of(context);
  char reason[1024];
  std::snprintf(reason, sizeof reason, "%s%s", mft ? "listed from the MFT of " : "listed folder by folder: ", said);
  if (onConsole && !s->options->quiet) {
    ConsoleNotice(s->driver, "walk", root, reason);
  } else {
    ConsoleRecord(s->driver, "walk", root, reason);
  }
}

// Each PATH on an NTFS mount is listed from its volume's MFT where that
// holds (mft_walk_posix.h), any other folder by folder.
int WalkPort(void* context, const WalkVisitor* visitor) {
  PosixScanner* s = Of(context);
  TreeWalkOptions options{};
  options.crossFileSystems = s->options->crossFileSystems;
  MftWalkOptions mft{s->options->walkMode, s->options->crossFileSystems, s->session ? s->session->checkEveryFile : 1,
                     WorthReading, WalkDecided, s};
  for (uint32_t i = 0; i < s->options->pathCount; ++i) {
    const char* path = s->options->paths[i];
    // A single file (--files-from names many) is no listing to choose.
    struct stat st;
    MftWalkResult listed = lstat(path, &st) == 0 && S_ISDIR(st.st_mode)
                               ? WalkNtfsMount(path, mft, &s->visited, *visitor, &s->stats)
                               : kMftNotUsed;
    if (listed == kMftStopped) return 0;
    if (listed == kMftNotUsed && WalkTree(path, options, &s->visited, *visitor, &s->stats) == kWalkStopped) return 0;
  }
  return 1;
}

uint32_t SharePort(void* context, const FoundFile*) {
  PosixScanner* s = Of(context);
  s->filesSeen += 1;
  uint64_t walked = s->filesSeen + s->stats.directories + s->stats.symbolicLinks + s->stats.special;
  uint64_t percent = walked * 100 / s->usedInodes;
  return static_cast<uint32_t>(percent > 99 ? 99 : percent);
}

// 1 when `path` is where a file system is mounted (its parent is on another
// device, or it is its own parent: "/").
int IsMountRoot(const char* path) {
  struct stat self, parent;
  char up[4096];
  int n = std::snprintf(up, sizeof up, "%s/..", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof up || stat(path, &self) != 0 || !S_ISDIR(self.st_mode) ||
      stat(up, &parent) != 0)
    return 0;
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

// The inodes in use on the PATHs' file systems, or 0 when a PATH is not a
// mount root (a folder's share of its file system is unknown).
uint64_t UsedInodes(const ScanOptions& options) {
  uint64_t used = 0;
  for (uint32_t i = 0; i < options.pathCount; ++i) {
    struct statvfs fs;
    if (!IsMountRoot(options.paths[i]) || statvfs(options.paths[i], &fs) != 0 || fs.f_files <= fs.f_ffree) return 0;
    used += fs.f_files - fs.f_ffree;
  }
  return used;
}

int ReadStreamBlock(void* context, uint64_t offset, unsigned char* block, uint32_t length) {
  const TreeEntry* entry = static_cast<const TreeEntry*>(context);
  return ReadListedStream(*entry, offset, block, length) == static_cast<int64_t>(length);
}

int64_t ReadStreamBytes(void* context, uint64_t offset, void* buffer, size_t capacity) {
  return ReadListedStream(*static_cast<const TreeEntry*>(context), offset, buffer, capacity);
}

// A named stream is read from the volume's device (the mount shows it only
// as an extended attribute, capped at 64 KiB); the file it belongs to was
// confirmed through the mount.
CandidateOutcome CheckStream(const SignatureSet& signatures, const TreeEntry* entry, char* nameOut,
                             FileIdentity* identity) {
  nameOut[0] = 0;
  *identity = FileIdentity{entry->device, entry->inode, 1};
  CandidateReader reader{ReadStreamBlock, const_cast<TreeEntry*>(entry)};
  const char* found = nullptr;
  CandidateOutcome outcome = CheckCandidate(signatures, entry->size, &reader, &found);
  if (found) std::snprintf(nameOut, kDetectionNameCapacity, "%s", found);
  return outcome;
}

CandidateOutcome CheckPort(void*, const SignatureSet& signatures, const FoundFile* file, char* nameOut,
                           FileIdentity* identity) {
  const TreeEntry* entry = EntryOf(file);
  if (entry->directoryFd < 0) {
    nameOut[0] = 0;
    *identity = FileIdentity{0, 0, 0};
    return kCandidateUnreadable;
  }
  if (entry->stream) return CheckStream(signatures, entry, nameOut, identity);
  return CheckFileAt(signatures, entry->directoryFd, entry->name, nameOut, identity);
}

ScanRowStatus RemovePort(void*, const FoundFile* file, const FileIdentity* identity, char* why, size_t capacity) {
  const TreeEntry* entry = EntryOf(file);
  RemovalOutcome outcome = entry->stream
                               ? RemoveCheckedStream(entry->directoryFd, entry->name, entry->stream, entry->size,
                                                     *identity)
                               : RemoveCheckedFile(entry->directoryFd, entry->name, *identity);
  if (outcome == kRemovalDone) return kRowRemoved;
  std::snprintf(why, capacity, "%s",
                outcome == kRemovalNotSame ? "it is not the file that was checked any more" : std::strerror(errno));
  return kRowRemovalFailed;
}

ScanRowStatus QuarantinePort(void* context, const FoundFile* file, const FileIdentity* identity, const char* name,
                             char* why, size_t capacity) {
  PosixScanner* s = Of(context);
  const TreeEntry* entry = EntryOf(file);
  StreamBytes bytes{ReadStreamBytes, const_cast<TreeEntry*>(entry)};
  QuarantineOutcome outcome =
      entry->stream ? QuarantinePosixStream(&s->quarantine, s->roots, entry->directoryFd, entry->name, entry->stream,
                                            entry->size, bytes, file->path, *identity, name, why, capacity)
                    : QuarantinePosixFile(&s->quarantine, s->roots, entry->directoryFd, entry->name, file->path,
                                          *identity, name, why, capacity);
  return outcome == kQuarantineDone ? kRowQuarantined : kRowRemovalFailed;
}

void OnOfflineNotice(void* context, const char* text, const char* where, const char* reason) {
  PosixScanner* s = Of(context);
  ConsoleSay(s->driver, text, where ? "refused" : nullptr, where, reason);
}

void CleanAfterPort(void* context, const char* const* paths, uint32_t count, const RunValueListener* listener) {
  PosixScanner* s = Of(context);
  CleanOfflineRunValues(s->offline, paths, count, &s->backup, *listener);
}

// ---- the scan ----

// --quarantine DIR: the folder, this host's key (made on first use) and
// the store over them. 0, after saying why, to refuse the run.
int OpenQuarantineForScan(PosixScanner* s, const ScanOptions* options, ConsoleDriver* driver) {
  char why[kQuarantineReasonCapacity] = "";
  unsigned char key[kQuarantineKeySize];
  int missing = 0;
  QuarantineFolderPort port;
  if (!LoadPosixQuarantineKey(1, key, &missing, why, sizeof why)) {
    ConsoleNotice(driver, "refused", options->quarantineDirectory, why);
    return 0;
  }
  if (!OpenPosixQuarantineFolder(options->quarantineDirectory, &s->quarantineFolder, &port, why, sizeof why)) {
    std::memset(key, 0, sizeof key);
    ConsoleNotice(driver, "refused", options->quarantineDirectory, why);
    return 0;
  }
  int opened = OpenQuarantineStore(port, key, &s->quarantine, why, sizeof why);
  std::memset(key, 0, sizeof key);
  if (!opened) {
    CloseQuarantineStore(&s->quarantine);
    ClosePosixQuarantineFolder(&s->quarantineFolder);
    ConsoleNotice(driver, "refused", options->quarantineDirectory, why);
    return 0;
  }
  s->quarantineOpen = 1;
  return 1;
}

// A PATH that is a disk or a disk image would walk as one file that matches
// nothing: a clean result for a disk never looked into. 0 after saying what
// to do instead.
int PathsAreNoDisks(const ScanOptions* options, ConsoleDriver* driver) {
  for (uint32_t i = 0; i < options->pathCount; ++i) {
    const char* path = options->paths[i];
    struct stat st;
    if (stat(path, &st) != 0) continue;  // the walk says why it cannot be read
    const char* why = nullptr;
    if (S_ISBLK(st.st_mode))
      why = "it is a block device, whose files a scan cannot see: mount its Windows volume and name the mount "
            "point, or copy the disk to an image file and scan that with --image";
    else if (S_ISREG(st.st_mode) && NameSaysDiskImage(path))
      why = "its name says a disk image, whose files a scan of it as one file cannot see: scan it with --image "
            "(or name the folder holding it to scan it as a file)";
    if (why) {
      ConsoleNotice(driver, "refused", path, why);
      return 0;
    }
  }
  return 1;
}

int BeginScan(void* context, const ScanOptions* options, ConsoleDriver* driver, ScanPorts* ports) {
  PosixScanner* s = Of(context);
  s->options = options;
  s->driver = driver;
  s->quarantineOpen = 0;
  s->backupOpen = 0;
  s->session = nullptr;
  s->quarantineFolder.directoryFd = -1;
  InitVisitedSet(&s->visited);
  if (options->imageCount) {
    if (!ImagesAreFiles(options, driver)) return 0;
    if (options->action == kActionQuarantine && !OpenQuarantineForScan(s, options, driver)) return 0;
    return BeginImageScan(&s->image, options, driver, s->quarantineOpen ? &s->quarantine : nullptr, ports);
  }
  if (!PathsAreNoDisks(options, driver)) return 0;
  OfflineNotice notice{OnOfflineNotice, s};
  OfflineDriveRequest drives[kMaxDriveMappings];
  for (uint32_t i = 0; i < options->driveCount; ++i)
    drives[i] = OfflineDriveRequest{options->drives[i].letter, options->drives[i].directory};
  OfflineRequest request{options->windowsRoot, options->paths, options->pathCount, drives, options->driveCount};
  if (!SetUpOfflineSystem(request, &s->offline, notice)) return 0;
  if (options->action != kActionLeave && RefusesToWrite(s->offline, options->paths, options->pathCount, notice))
    return 0;
  InitHiveBackup(&s->backup, options->backupDirectory);
  if (options->action != kActionLeave && s->offline.known && !s->offline.windows9x) {
    if (!OpenRunBackup(&s->backup, *options, driver)) return 0;
    s->backupOpen = 1;
  }
  if (options->action == kActionQuarantine) {
    if (!OpenQuarantineForScan(s, options, driver)) return 0;
    if (!ResolveQuarantineRoots(options->paths, options->pathCount, &s->roots)) {
      ConsoleNotice(driver, "refused", options->quarantineDirectory, std::strerror(errno));
      return 0;
    }
    // A quarantine folder inside a scanned tree holds detections by design:
    // it is never walked.
    if (AddToVisitedSet(&s->visited, s->quarantineFolder.device, s->quarantineFolder.inode) < 0) {
      ConsoleNotice(driver, "refused", options->quarantineDirectory, std::strerror(ENOMEM));
      return 0;
    }
  }

  ScanPorts p{};
  p.walk = WalkPort;
  p.check = CheckPort;
  p.remove = RemovePort;
  p.quarantine = QuarantinePort;
  // A detection-only run's listener previews: the hives are only read.
  p.cleanRunValuesAfter = CleanAfterPort;
  p.errorText = ErrorText;
  s->filesSeen = 0;
  s->usedInodes = options->crossFileSystems ? 0 : UsedInodes(*options);
  if (s->usedInodes) p.share = SharePort;
  p.context = s;
  *ports = p;
  return 1;
}

void BeforeWalk(void* context, ScanSession* session) {
  PosixScanner* s = Of(context);
  s->session = session;
  if (s->options->imageCount) ImageScanBeforeWalk(&s->image, session);
}

void EndScan(void* context, const ScanTotals*) {
  PosixScanner* s = Of(context);
  if (s->options->imageCount) EndImageScan(&s->image);
  FreeVisitedSet(&s->visited);
  if (s->quarantineOpen) {
    CloseQuarantineStore(&s->quarantine);
    ClosePosixQuarantineFolder(&s->quarantineFolder);
  }
  s->quarantineOpen = 0;
  if (s->backupOpen) CloseHiveBackup(&s->backup);
  s->backupOpen = 0;
  FreeQuarantineRoots(&s->roots);
}

// ---- restore ----

// Restore beneath host folders, or into disk images: the line decides.
RestoreOutcome BeginAnywhere(void* context, const QuarantineRecord& record, const RestorePlace& place, int force,
                             char* shown, size_t capacity) {
  PosixScanner* s = Of(context);
  const RestoreTargetPort& port = place.image ? s->imagePort : s->hostPort;
  RestoreOutcome outcome = port.begin(port.context, record, place, force, shown, capacity);
  s->restoringImage = place.image ? 1 : 0;
  return outcome;
}

const RestoreTargetPort& Current(void* context) {
  PosixScanner* s = Of(context);
  return s->restoringImage ? s->imagePort : s->hostPort;
}

int WriteAnywhere(void* context, const void* data, size_t length) {
  const RestoreTargetPort& port = Current(context);
  return port.write(port.context, data, length);
}

RestoreOutcome FinishAnywhere(void* context, const QuarantineRecord& record, int force) {
  const RestoreTargetPort& port = Current(context);
  return port.finish(port.context, record, force);
}

void AbandonAnywhere(void* context) {
  const RestoreTargetPort& port = Current(context);
  port.abandon(port.context);
}

void ReasonAnywhere(void* context, char* out, size_t capacity) {
  const RestoreTargetPort& port = Current(context);
  port.reason(port.context, out, capacity);
}

int BeginRestore(void* context, const ScanOptions* options, QuarantineFolderPort* folder, RestoreTargetPort* target,
                 unsigned char key[kQuarantineKeySize], int* keyed, char* why, size_t capacity) {
  PosixScanner* s = Of(context);
  s->options = options;
  s->quarantineFolder.directoryFd = -1;
  char reason[kQuarantineReasonCapacity] = "";
  int missing = 0;
  *keyed = LoadPosixQuarantineKey(0, key, &missing, reason, sizeof reason);
  // A key that is there but cannot be trusted is said; a missing one only
  // means no line is proven.
  if (!*keyed && !missing) {
    std::snprintf(why, capacity, "%s", reason);
    return 0;
  }
  if (!OpenPosixQuarantineToRead(options->quarantineDirectory, &s->quarantineFolder, folder, why, capacity))
    return 0;
  PosixRestoreTargetPort(&s->target, &s->hostPort);
  ImageRestoreTargetPort(&s->imageTarget, options, &s->imagePort);
  *target = RestoreTargetPort{s, BeginAnywhere, WriteAnywhere, FinishAnywhere, AbandonAnywhere, ReasonAnywhere};
  return 1;
}

void EndRestore(void* context) {
  PosixScanner* s = Of(context);
  EndPosixRestoreTarget(&s->target);
  EndImageRestoreTarget(&s->imageTarget);
  ClosePosixQuarantineFolder(&s->quarantineFolder);
}

// Nothing there: no entry, or a folder on the way that is missing or no folder.
int PathGone(void*, const char* path) {
  struct stat st;
  return lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Room for a deep tree: one descriptor per directory level.
void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RaiseDescriptorLimit();
  CatchSignals();
  static PosixScanner scanner;
  ConsolePlatform platform{kScanProgramName, kScanHelpText, kFlavourMountedVolume, Write, Escape, ToUtf8, ToUtf8,
                           TerminalColumns, Now, Interrupted, HostName, CreateOutput, FinishOutput, BeginScan,
                           BeforeWalk, EndScan, BeginRestore, EndRestore, &scanner, OpenLog, 1, LoadSignatureFile,
                           PathGone};
  int status = RunConsoleScanner(argc, argv, platform);
  EndBySignal();
  return status;
}
