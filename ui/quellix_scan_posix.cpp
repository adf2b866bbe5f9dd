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
#include "remedy/name_escape.h"
#include "remedy/offline_cleanup_posix.h"
#include "remedy/quarantine_posix.h"
#include "remedy/trusted_folder_posix.h"
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
  // A byte becomes at most six characters of JSON: no row is too long.
  std::vector<char> buffer(strlen(path) * 6 + strlen(name) * 6 + 1024);
  if (c->json && FormatRowJson(buffer.data(), buffer.size(), path, name, status, nullptr)) fputs(buffer.data(), c->json);
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

int OnTreeFile(void* context, const TreeEntry* entry) {
  WalkContext* w = static_cast<WalkContext*>(context);
  FoundFile file{entry->path, entry->size, entry};
  return DecideFoundFile(w->run, &file);
}

int OnTreeUnreadable(void* context, const char* path, int error) {
  WalkContext* w = static_cast<WalkContext*>(context);
  ClearProgress(w->console);
  fprintf(stderr, "%s: %s: %s\n", kScanProgramName, path, strerror(error));
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

void Note(Console* c, const char* format, const char* a, const char* b) {
  ClearProgress(c);
  fprintf(stderr, "%s: ", kScanProgramName);
  fprintf(stderr, format, a, b);
  fputc('\n', stderr);
}

void JsonEvent(Console* c, const char* type, const char* hive, const char* reason) {
  std::vector<char> buffer(strlen(hive) * 6 + strlen(reason) * 6 + 1024);
  if (c->json && FormatHiveEventJson(buffer.data(), buffer.size(), type, hive, reason)) fputs(buffer.data(), c->json);
}

// A name from the volume as the terminal may show it (control bytes as \xNN).
std::string Shown(const char* name) {
  std::vector<char> out(EscapeNameForTerminal(name, nullptr, 0) + 1);
  EscapeNameForTerminal(name, out.data(), out.size());
  return out.data();
}

// The registry side's notices and events, printed and written as JSON.
struct CleanupConsole {
  Console* console;
  VolumeCleanup* cleanup;
};

void OnOfflineNotice(void* context, const char* text, const char* where, const char* reason) {
  Console* c = static_cast<Console*>(context);
  Note(c, "%s%s", Shown(text).c_str(), "");
  if (where) JsonEvent(c, "refused", where, reason);
}

void OnRunValueDeleted(void* context, const RunValueDeletion* d) {
  CleanupConsole* job = static_cast<CleanupConsole*>(context);
  ClearProgress(job->console);
  printf("%s: Run value \"%s\" deleted (%s)\n", Shown(d->hive).c_str(), Shown(d->valueName).c_str(),
         Shown(d->data).c_str());
  std::vector<char> buffer(strlen(d->hive) * 6 + strlen(d->valueName) * 6 + strlen(d->data) * 6 +
                           strlen(d->refersTo) * 6 + strlen(d->backup) * 6 + 1024);
  JsonLine line;
  BeginJsonLine(&line, buffer.data(), buffer.size());
  AddJsonString(&line, "type", "hive_change");
  AddJsonString(&line, "hive", d->hive);
  AddJsonString(&line, "key", d->key);
  AddJsonString(&line, "value", d->valueName);
  AddJsonString(&line, "data", d->data);
  AddJsonString(&line, "refers_to", d->refersTo);
  AddJsonString(&line, "action", "deleted");
  AddJsonString(&line, "backup", d->backup);
  WriteJson(job->console, &line);
  job->cleanup->valuesDeleted += 1;
  if (!job->cleanup->backupUsed) {
    job->cleanup->backupUsed = 1;
    snprintf(job->cleanup->backupFolder, sizeof job->cleanup->backupFolder, "%s", d->backup);
  }
}

void OnHiveExamined(void* context, const char*, uint32_t deleted) {
  if (deleted) static_cast<CleanupConsole*>(context)->cleanup->hivesChanged += 1;
}

void OnRunValueTrouble(void* context, RunValueTrouble kind, const char* where, const char* reason) {
  CleanupConsole* job = static_cast<CleanupConsole*>(context);
  job->cleanup->troubles += 1;
  if (kind == kRunValuesNotCleaned) {
    Note(job->console, "Run values not cleaned: %s %s", Shown(where).c_str(), Shown(reason).c_str());
    JsonEvent(job->console, "hive_not_cleaned", where, reason);
  } else {
    Note(job->console, "%s: not changed: %s", Shown(where).c_str(), Shown(reason).c_str());
    JsonEvent(job->console, kind == kRunValuesRefused ? "hive_refused" : "hive_failed", where, reason);
  }
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
    OwnedStream opened;
    console.json = OpenOutputStream(options.jsonPath, &opened) ? opened.release() : nullptr;
    if (!console.json) {
      fprintf(stderr, "%s: %s: %s\n", kScanProgramName, options.jsonPath, strerror(errno));
      return kExitTrouble;
    }
  }

  console.quarantine = QuarantineStore{-1, -1, nullptr, 0};
  static OfflineSystem offline;
  OfflineNotice notice{OnOfflineNotice, &console};
  OfflineDriveRequest drives[kMaxDriveMappings];
  for (uint32_t i = 0; i < options.driveCount; ++i) drives[i] = {options.drives[i].letter, options.drives[i].directory};
  OfflineRequest request{options.windowsRoot, options.paths, options.pathCount, drives, options.driveCount,
                         options.action != kActionLeave};
  if (!SetUpOfflineSystem(request, &offline, notice) ||
      (options.action != kActionLeave && RefusesToWrite(offline, options.paths, options.pathCount, notice))) {
    if (console.json) fclose(console.json);
    return kExitTrouble;
  }
  const char* why = nullptr;
  if (options.action == kActionQuarantine &&
      !OpenQuarantine(options.quarantineDirectory, options.paths, options.pathCount, &console.quarantine, &why)) {
    fprintf(stderr, "%s: %s: %s\n", kScanProgramName, options.quarantineDirectory, why ? why : strerror(errno));
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
  TreeWalkVisitor visitor{OnTreeFile, OnTreeUnreadable, &walk};
  for (uint32_t i = 0; i < options.pathCount; ++i) {
    if (WalkTree(options.paths[i], walkOptions, &visited, visitor, &stats) == kWalkStopped) break;
  }
  FreeVisitedDirectories(&visited);
  ClearProgress(&console);
  uint32_t interrupted = gInterrupted ? 1 : 0;
  if (interrupted) Note(&console, "interrupted: the rest was not examined%s%s", "", "");

  static VolumeCleanup cleanup;
  memset(&cleanup, 0, sizeof cleanup);
  if (options.action != kActionLeave) {
    std::vector<const char*> removed;
    for (const std::string& path : console.removedPaths) removed.push_back(path.c_str());
    CleanupConsole job{&console, &cleanup};
    CleanOfflineRunValues(offline, removed.data(), static_cast<uint32_t>(removed.size()), options.backupDirectory,
                          RunValueListener{OnRunValueDeleted, OnHiveExamined, OnRunValueTrouble, &job}, notice);
  }
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
  OwnedStream opened;
  FILE* json = options.jsonPath && OpenOutputStream(options.jsonPath, &opened) ? opened.release() : nullptr;
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
    const char* why = nullptr;
    RestoreRowKind kind = static_cast<RestoreRowKind>(
        RestoreManifestLine(fd, text, RestoreRequest{options.restoreRoot, options.force}, path, &why));
    int error = errno;
    if (kind == kRestoreRowDone) {
      ++restored;
    } else {
      ++left;
    }
    char said[kQuarantinePathCapacity + 512];
    const char* shown = kind == kRestoreRowBadCopy && !path[0] ? "?" : path;
    const char* reason = kind == kRestoreRowFailed ? (why ? why : strerror(error)) : nullptr;
    if (FormatRestoreRowText(said, sizeof said, shown, kind, reason))
      fputs(said, stdout);
    std::vector<char> buffer(strlen(path) * 6 + 1024);
    if (json && FormatRestoreRowJson(buffer.data(), buffer.size(), path, kind)) fputs(buffer.data(), json);
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
