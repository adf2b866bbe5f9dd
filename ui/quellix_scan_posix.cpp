// quellix-scan: the scanner of a mounted Windows volume on Linux. Walks each
// PATH, checks every file of a signature's size, lists (and when asked
// removes or quarantines) what matches, and cleans the Run values of the
// volume's profile hives. The decisions are the portable ones of scan/; this
// file is the POSIX glue and the console.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/file_check_posix.h"
#include "remedy/file_removal_posix.h"
#include "remedy/hive_posix.h"
#include "remedy/offline_volume_posix.h"
#include "remedy/offline_windows.h"
#include "remedy/quarantine_posix.h"
#include "scan/found_file.h"
#include "remedy/json_lines.h"
#include "ui/scan_cli.h"
#include "ui/scan_cli_output.h"
#include "walker/tree_walk_posix.h"

namespace {

static_assert(uint32_t{kRestoreFailed} == kRestoreRowFailed && uint32_t{kRestoreDone} == kRestoreRowDone &&
                  uint32_t{kRestoreExists} == kRestoreRowExists && uint32_t{kRestoreBadCopy} == kRestoreRowBadCopy,
              "restore outcomes are read as RestoreRowKind");

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Console {
  const ScanOptions* options;
  FILE* json;
  int progressLine;  // standard error is a terminal and --quiet was not given
  int lineShown;
  double started;
  double lastDrawn;
  char directory[512];
  std::vector<std::string> removedPaths;
  QuarantineStore quarantine;
};

void ClearProgress(Console* c) {
  if (c->lineShown) {
    fputs("\r\033[K", stderr);
    c->lineShown = 0;
  }
}

void WriteJson(Console* c, JsonLine* line) {
  if (c->json && EndJsonLine(line)) fputs(line->text, c->json);
}

void OnProgress(void* context, const ScanPosition* position) {
  Console* c = static_cast<Console*>(context);
  if (!c->progressLine || position->filesExamined % 512 != 0) return;
  double now = Now();
  if (now - c->lastDrawn < 0.25) return;
  c->lastDrawn = now;
  double rate = position->filesExamined / (now - c->started > 0 ? now - c->started : 1);
  fprintf(stderr, "\r\033[K%llu files, %.0f files/s, %.60s", static_cast<unsigned long long>(position->filesExamined),
          rate, c->directory);
  c->lineShown = 1;
}

void OnCurrentPath(void* context, const char* path) {
  Console* c = static_cast<Console*>(context);
  const char* slash = strrchr(path, '/');
  size_t length = slash ? static_cast<size_t>(slash - path) : strlen(path);
  if (length >= sizeof c->directory) length = sizeof c->directory - 1;
  memcpy(c->directory, path, length);
  c->directory[length] = 0;
}

void OnResultRow(void* context, const char* path, const char* name, ScanRowStatus status) {
  Console* c = static_cast<Console*>(context);
  ClearProgress(c);
  if (status == kRowNotExamined) {
    printf("%s: %s\n", path, RowStatusWord(status));
  } else {
    printf("%s: %s (%s)\n", path, name, RowStatusWord(status));
  }
  fflush(stdout);
  char buffer[8192];
  if (c->json && FormatRowJson(buffer, sizeof buffer, path, name, status, nullptr)) fputs(buffer, c->json);
}

// Ctrl-C ends the walk after the current file; the summary still comes.
volatile sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

int OnStopRequested(void*) { return gInterrupted ? 1 : 0; }

// The ports of the per-file decision: the entry is the walker's.
CandidateOutcome CheckPort(void*, const FoundFile* file, char* nameOut, FileIdentity* identity) {
  const TreeEntry* entry = static_cast<const TreeEntry*>(file->location);
  return CheckFileAt(BuiltInSignatures(), entry->directoryFd, entry->name, nameOut, identity);
}

ScanRowStatus RemovePort(void* context, const FoundFile* file, const FileIdentity* identity) {
  Console* c = static_cast<Console*>(context);
  const TreeEntry* entry = static_cast<const TreeEntry*>(file->location);
  RemovalOutcome outcome = RemoveCheckedFile(entry->directoryFd, entry->name, *identity);
  if (outcome == kRemovalDone) return kRowRemoved;
  ClearProgress(c);
  if (outcome == kRemovalNotSame) {
    fprintf(stderr, "%s: %s: not removed: it is not the file that was checked any more\n", kScanProgramName, file->path);
  } else {
    fprintf(stderr, "%s: %s: not removed: %s\n", kScanProgramName, file->path, strerror(errno));
  }
  return kRowRemovalFailed;
}

ScanRowStatus QuarantinePort(void* context, const FoundFile* file, const FileIdentity* identity, const char* name) {
  Console* c = static_cast<Console*>(context);
  const TreeEntry* entry = static_cast<const TreeEntry*>(file->location);
  char hex[kSha256HexSize];
  QuarantineOutcome outcome =
      QuarantineFile(&c->quarantine, entry->directoryFd, entry->name, file->path, *identity, name, hex);
  if (outcome == kQuarantineDone) return kRowQuarantined;
  int error = errno;
  ClearProgress(c);
  if (outcome == kQuarantineNotSame) {
    fprintf(stderr, "%s: %s: not quarantined: it is not the file that was checked any more\n", kScanProgramName,
            file->path);
  } else if (outcome == kQuarantineKeptCopy) {
    fprintf(stderr, "%s: %s: copied to the quarantine as %s but not removed: %s\n", kScanProgramName, file->path, hex,
            strerror(error));
  } else {
    fprintf(stderr, "%s: %s: not quarantined: %s\n", kScanProgramName, file->path, strerror(error));
  }
  return kRowRemovalFailed;
}

void CleanAutorunPort(void* context, const char* path) {
  static_cast<Console*>(context)->removedPaths.push_back(path);
}

struct WalkContext {
  Console* console;
  FoundFileRun* run;
};

int OnTreeFile(void* context, const WalkEntry* entry) {
  WalkContext* w = static_cast<WalkContext*>(context);
  FoundFile file{entry->path, entry->size, entry->native};
  return DecideFoundFile(w->run, &file);
}

int OnTreeUnreadable(void* context, const char* path, uint32_t error) {
  WalkContext* w = static_cast<WalkContext*>(context);
  ClearProgress(w->console);
  fprintf(stderr, "%s: %s: %s\n", kScanProgramName, path, strerror(static_cast<int>(error)));
  return NoteNotExamined(w->run, path);
}

int Usage(const char* reason) {
  fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kScanProgramName, reason, kScanProgramName);
  return kExitUsage;
}

// Room for a deep tree: one descriptor per directory level.
void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// What the registry side of a run did.
struct VolumeCleanup {
  uint32_t valuesDeleted;
  uint32_t hivesChanged;
  uint32_t troubles;
  int backupUsed;
  char backupFolder[kMountedPathCapacity];
};

// The mounted Windows system volume, as far as it is known.
struct Offline {
  int known;
  char root[kMountedPathCapacity];
  char systemFolder[256];
  char systemRoot[kEnvironmentValueCapacity];
  char letter;
  int windows9x;
  OfflineDrives drives;
};

void Note(Console* c, const char* format, const char* a, const char* b) {
  ClearProgress(c);
  fprintf(stderr, "%s: ", kScanProgramName);
  fprintf(stderr, format, a, b);
  fputc('\n', stderr);
}

void JsonEvent(Console* c, const char* type, const char* hive, const char* reason) {
  char buffer[kMountedPathCapacity * 2];
  if (c->json && FormatHiveEventJson(buffer, sizeof buffer, type, hive, reason)) fputs(buffer, c->json);
}

// Finds the system volume and the drive letters. 0 (with a message) when a
// named folder is unusable.
int SetUpOffline(Console* c, const ScanOptions& options, Offline* offline) {
  memset(offline, 0, sizeof *offline);
  char canonical[kMountedPathCapacity];
  if (options.windowsRoot) {
    if (!realpath(options.windowsRoot, canonical) || !FindSystemFolder(canonical, offline->systemFolder,
                                                                       sizeof offline->systemFolder)) {
      Note(c, "%s: no WINDOWS or WINNT folder there%s", options.windowsRoot, "");
      return 0;
    }
    offline->known = 1;
  } else {
    for (uint32_t i = 0; i < options.pathCount && !offline->known; ++i) {
      struct stat st;
      if (stat(options.paths[i], &st) != 0 || !S_ISDIR(st.st_mode) || !realpath(options.paths[i], canonical)) continue;
      offline->known = FindSystemFolder(canonical, offline->systemFolder, sizeof offline->systemFolder);
    }
  }
  if (offline->known) {
    memcpy(offline->root, canonical, sizeof canonical);
    offline->letter = 'C';
    snprintf(offline->systemRoot, sizeof offline->systemRoot, "C:\\%s", offline->systemFolder);
    // The system's own record of where it lives, when its SOFTWARE hive is
    // there; read only by a run that will write anyway (libhivex reads
    // without O_NOATIME).
    char folder[kMountedPathCapacity], system32[kMountedPathCapacity], config[kMountedPathCapacity],
        software[kMountedPathCapacity], recorded[kEnvironmentValueCapacity];
    const char* const key[] = {"Microsoft", "Windows NT", "CurrentVersion"};
    snprintf(folder, sizeof folder, "%s/%s", offline->root, offline->systemFolder);
    if (options.action != kActionLeave && FindEntryIgnoringCase(folder, "system32", 1, system32, sizeof system32) &&
        FindEntryIgnoringCase(system32, "config", 1, config, sizeof config) &&
        FindEntryIgnoringCase(config, "SOFTWARE", 0, software, sizeof software) &&
        ReadHiveString(software, key, 3, "SystemRoot", recorded, sizeof recorded) && recorded[1] == ':' &&
        ((recorded[0] >= 'A' && recorded[0] <= 'Z') || (recorded[0] >= 'a' && recorded[0] <= 'z'))) {
      offline->letter = static_cast<char>(recorded[0] & ~0x20);
      memcpy(offline->systemRoot, recorded, sizeof recorded);
    }
    SetOfflineDrive(&offline->drives, offline->letter, offline->root);
    offline->windows9x = IsWindows9xVolume(offline->root, offline->systemFolder);
  }
  for (uint32_t i = 0; i < options.driveCount; ++i) {
    if (!realpath(options.drives[i].directory, canonical)) {
      Note(c, "%s: %s", options.drives[i].directory, strerror(errno));
      return 0;
    }
    SetOfflineDrive(&offline->drives, options.drives[i].letter, canonical);
  }
  return 1;
}

// Before anything is written: every reason not to write at all.
int RefusesToWrite(Console* c, const ScanOptions& options, const Offline& offline) {
  std::vector<const char*> places(options.paths, options.paths + options.pathCount);
  if (offline.known) places.push_back(offline.root);
  for (uint32_t i = 0; i < offline.drives.count; ++i) places.push_back(offline.drives.drives[i].mounted);
  for (const char* place : places) {
    char hiberfil[kMountedPathCapacity];
    const char* reason = nullptr;
    struct stat st;
    // A PATH is usually the volume's mount point; when it is not, the
    // volume's root is where its mount begins.
    int hibernated = (stat(place, &st) == 0 && S_ISDIR(st.st_mode) &&
                      FindEntryIgnoringCase(place, "hiberfil.sys", 0, hiberfil, sizeof hiberfil) &&
                      IsHibernatedFile(hiberfil)) ||
                     IsOnHibernatedVolume(place, hiberfil, sizeof hiberfil);
    if (IsOnReadOnlyMount(place)) {
      reason = "it is on a read-only mount";
    } else if (hibernated) {
      Note(c, "refusing to write: %s holds a hibernated Windows; writing to its volume would corrupt it (start that "
              "Windows and shut it down fully, or scan without --remove and --quarantine)%s", hiberfil, "");
      JsonEvent(c, "refused", hiberfil, "hibernated");
      return 1;
    }
    if (reason) {
      Note(c, "refusing to write to %s: %s", place, reason);
      JsonEvent(c, "refused", place, reason);
      return 1;
    }
  }
  return 0;
}

struct HiveJob {
  Console* console;
  const Offline* offline;
  const std::vector<std::string>* windowsPaths;
  HiveBackup* backup;
  VolumeCleanup* cleanup;
};

void OnValueDeleted(void* context, const char* hive, const char* name, const char* commandLine,
                    const char* windowsPath) {
  HiveJob* job = static_cast<HiveJob*>(context);
  ClearProgress(job->console);
  printf("%s: Run value \"%s\" deleted (%s)\n", hive, name, commandLine);
  char buffer[kMountedPathCapacity * 4];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonString(&line, "type", "hive_change");
  AddJsonString(&line, "hive", hive);
  AddJsonString(&line, "key", "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  AddJsonString(&line, "value", name);
  AddJsonString(&line, "data", commandLine);
  AddJsonString(&line, "refers_to", windowsPath);
  AddJsonString(&line, "action", "deleted");
  AddJsonString(&line, "backup", job->backup->folder);
  WriteJson(job->console, &line);
  job->cleanup->valuesDeleted += 1;
}

int CleanOneHive(void* context, const char* hive, const char* profile, const char* user) {
  HiveJob* job = static_cast<HiveJob*>(context);
  const Offline& offline = *job->offline;
  static OfflineEnvironment environment;
  environment.count = 0;
  SetOfflineVariable(&environment, "SystemRoot", offline.systemRoot);
  SetOfflineVariable(&environment, "windir", offline.systemRoot);
  char drive[3] = {offline.letter, ':', 0};
  SetOfflineVariable(&environment, "SystemDrive", drive);
  char canonical[kMountedPathCapacity], windows[kEnvironmentValueCapacity];
  if (realpath(profile, canonical) && WindowsPathOf(offline.drives, canonical, windows, sizeof windows)) {
    SetOfflineVariable(&environment, "USERPROFILE", windows);
    char home[3] = {windows[0], ':', 0};
    SetOfflineVariable(&environment, "HOMEDRIVE", home);
    SetOfflineVariable(&environment, "HOMEPATH", windows + 2);
  }
  std::vector<const char*> paths;
  for (const std::string& p : *job->windowsPaths) paths.push_back(p.c_str());
  HiveCleanRequest request{hive, user, paths.data(), static_cast<uint32_t>(paths.size()), &environment, job->backup};
  uint32_t deleted = 0;
  char reason[512];
  HiveCleanOutcome outcome = CleanHiveRunValues(request, HiveValueListener{OnValueDeleted, job}, &deleted, reason,
                                                sizeof reason);
  if (deleted) job->cleanup->hivesChanged += 1;
  if (outcome != kHiveCleanDone) {
    job->cleanup->troubles += 1;
    Note(job->console, "%s: not changed: %s", hive, reason);
    JsonEvent(job->console, outcome == kHiveRefusedLog || outcome == kHiveRefusedReadOnly ? "hive_refused" : "hive_failed",
              hive, reason);
  }
  return 1;
}

void CleanOffline(Console* c, const ScanOptions& options, const Offline& offline, VolumeCleanup* cleanup) {
  if (c->removedPaths.empty()) return;
  if (!offline.known) {
    Note(c, "Run values not examined: no Windows system volume among the PATHs (name it with --windows-root)%s%s", "",
         "");
    return;
  }
  if (offline.windows9x) {
    cleanup->troubles += 1;
    Note(c, "Run values not cleaned: %s/%s holds Windows 9x, whose USER.DAT is no NT hive", offline.root,
         offline.systemFolder);
    JsonEvent(c, "hive_not_cleaned", offline.root, "Windows 9x registry (USER.DAT)");
    return;
  }
  std::vector<std::string> windowsPaths;
  for (const std::string& removed : c->removedPaths) {
    size_t slash = removed.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : removed.substr(0, slash);
    char canonical[kMountedPathCapacity], windows[kMountedPathCapacity];
    if (realpath(directory.c_str(), canonical) &&
        WindowsPathOf(offline.drives, (std::string(canonical) + "/" + removed.substr(slash + 1)).c_str(), windows,
                      sizeof windows)) {
      windowsPaths.push_back(windows);
    } else {
      cleanup->troubles += 1;
      Note(c, "%s: no drive letter holds it (see --drive); Run values naming it are not looked for%s", removed.c_str(),
           "");
    }
  }
  static HiveBackup backup;
  InitHiveBackup(&backup, options.backupDirectory);
  HiveJob job{c, &offline, &windowsPaths, &backup, cleanup};
  ForEachProfileHive(offline.root, CleanOneHive, &job);
  cleanup->backupUsed = backup.created;
  memcpy(cleanup->backupFolder, backup.folder, sizeof backup.folder);
}

void PrintSummary(Console* c, const ScanTotals& t, const VolumeCleanup& cleanup, double seconds, int status) {
  char text[512];
  fputs(kSummaryHeading, stdout);
  if (FormatSummaryTotals(text, sizeof text, t)) fputs(text, stdout);
  if (c->options->action != kActionLeave)
    printf("Run values deleted: %u in %u hive(s)\n", cleanup.valuesDeleted, cleanup.hivesChanged);
  if (cleanup.backupUsed) printf("Backup folder: %s\n", cleanup.backupFolder);
  if (cleanup.troubles) printf("Registry troubles: %u\n", cleanup.troubles);
  printf("Time: %.3f s\n", seconds);
  fflush(stdout);

  char buffer[1024];
  JsonLine line;
  BeginSummaryJson(&line, buffer, sizeof buffer, t, 0);
  AddJsonNumber(&line, "run_values_deleted", cleanup.valuesDeleted);
  AddJsonNumber(&line, "registry_troubles", cleanup.troubles);
  AddJsonFixed(&line, "seconds", seconds, 3);
  AddJsonNumber(&line, "exit_status", static_cast<uint64_t>(status));
  WriteJson(c, &line);
}

int Scan(const ScanOptions& options) {
  Console console{};
  console.options = &options;
  console.progressLine = !options.quiet && isatty(STDERR_FILENO);
  console.started = Now();
  if (options.jsonPath) {
    console.json = fopen(options.jsonPath, "w");
    if (!console.json) {
      fprintf(stderr, "%s: %s: %s\n", kScanProgramName, options.jsonPath, strerror(errno));
      return kExitTrouble;
    }
  }

  console.quarantine = QuarantineStore{-1, nullptr};
  static Offline offline;
  if (!SetUpOffline(&console, options, &offline) ||
      (options.action != kActionLeave && RefusesToWrite(&console, options, offline))) {
    if (console.json) fclose(console.json);
    return kExitTrouble;
  }
  if (options.action == kActionQuarantine && !OpenQuarantine(options.quarantineDirectory, &console.quarantine)) {
    fprintf(stderr, "%s: %s: %s\n", kScanProgramName, options.quarantineDirectory, strerror(errno));
    if (console.json) fclose(console.json);
    return kExitTrouble;
  }
  ScanReport report{OnProgress, OnCurrentPath, OnResultRow, nullptr, OnStopRequested, &console};
  FoundFilePorts ports{CheckPort, RemovePort, QuarantinePort, CleanAutorunPort, &console};
  FoundFileRun run = BeginFoundFileRun(BuiltInSignatures(), options.action, ports, &report, 256);
  TreeWalkOptions walkOptions{options.crossFileSystems};
  VisitedDirectories visited;
  InitVisitedDirectories(&visited);
  // A quarantine folder inside a scanned tree holds detections by design:
  // it is never walked.
  struct stat quarantineFolder;
  if (console.quarantine.directoryFd >= 0 && fstat(console.quarantine.directoryFd, &quarantineFolder) == 0)
    MarkDirectoryVisited(&visited, static_cast<uint64_t>(quarantineFolder.st_dev),
                         static_cast<uint64_t>(quarantineFolder.st_ino));
  TreeWalkStats stats{};
  WalkContext walk{&console, &run};
  WalkVisitor visitor{OnTreeFile, OnTreeUnreadable, &walk};
  for (uint32_t i = 0; i < options.pathCount; ++i) {
    if (WalkTree(options.paths[i], walkOptions, &visited, visitor, &stats) == kWalkStopped) break;
  }
  FreeVisitedDirectories(&visited);
  ClearProgress(&console);
  uint32_t interrupted = gInterrupted ? 1 : 0;
  if (interrupted) Note(&console, "interrupted: the rest was not examined%s%s", "", "");

  static VolumeCleanup cleanup;
  memset(&cleanup, 0, sizeof cleanup);
  if (options.action != kActionLeave) CleanOffline(&console, options, offline, &cleanup);
  int status = ExitStatusOf(run.totals, cleanup.troubles + interrupted);
  PrintSummary(&console, run.totals, cleanup, Now() - console.started, status);
  CloseQuarantine(&console.quarantine);
  if (console.json) fclose(console.json);
  return status;
}

// quellix-scan restore DIR: every manifest line put back in order.
int Restore(const ScanOptions& options) {
  const char* directory = options.quarantineDirectory;
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int manifestFd = fd >= 0 ? openat(fd, kQuarantineManifestName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
  FILE* manifest = manifestFd >= 0 ? fdopen(manifestFd, "r") : nullptr;
  if (!manifest) {
    fprintf(stderr, "%s: %s/%s: %s\n", kScanProgramName, directory, kQuarantineManifestName, strerror(errno));
    if (manifestFd >= 0) close(manifestFd);
    if (fd >= 0) close(fd);
    return kExitTrouble;
  }
  FILE* json = options.jsonPath ? fopen(options.jsonPath, "w") : nullptr;
  if (options.jsonPath && !json) {
    fprintf(stderr, "%s: %s: %s\n", kScanProgramName, options.jsonPath, strerror(errno));
    fclose(manifest);
    close(fd);
    return kExitTrouble;
  }
  uint32_t restored = 0, left = 0;
  char* text = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&text, &capacity, manifest)) > 0) {
    if (text[0] == '\n') continue;
    char path[kQuarantinePathCapacity];
    RestoreRowKind kind = static_cast<RestoreRowKind>(RestoreManifestLine(fd, text, options.force, path));
    int error = errno;
    if (kind == kRestoreRowDone) {
      ++restored;
    } else {
      ++left;
    }
    char said[kQuarantinePathCapacity + 512];
    const char* shown = kind == kRestoreRowBadCopy && !path[0] ? "?" : path;
    if (FormatRestoreRowText(said, sizeof said, shown, kind, kind == kRestoreRowFailed ? strerror(error) : nullptr))
      fputs(said, stdout);
    char buffer[kQuarantinePathCapacity * 2 + 256];
    if (json && FormatRestoreRowJson(buffer, sizeof buffer, path, kind)) fputs(buffer, json);
  }
  free(text);
  fclose(manifest);
  close(fd);
  char totals[128];
  if (FormatRestoreTotals(totals, sizeof totals, restored, left)) fputs(totals, stdout);
  int status = left ? kExitTrouble : kExitNothingFound;
  if (json) {
    char buffer[256];
    if (FormatRestoreSummaryJson(buffer, sizeof buffer, restored, left, status)) fputs(buffer, json);
    fclose(json);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  ScanOptions options;
  char reason[256];
  if (!ParseScanOptions(argc, argv, &options, reason, sizeof reason)) return Usage(reason);
  switch (options.command) {
    case kCommandHelp:
      fputs(kScanHelpText, stdout);
      return 0;
    case kCommandVersion:
      printf("%s %s\n", kScanProgramName, kScanVersion);
      return 0;
    case kCommandRestore:
      return Restore(options);
    case kCommandScan:
    default:
      RaiseDescriptorLimit();
      signal(SIGINT, OnInterrupt);
      signal(SIGTERM, OnInterrupt);
      return Scan(options);
  }
}
