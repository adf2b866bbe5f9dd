// The console scanners' driver (see console_driver.h).
#include "cli/console_driver.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "engine/signature_table.h"
#include "cli/json_records.h"
#include "sys/owned_stream.h"

namespace {

enum : uint32_t {
  kTextCapacity = 16384,
  // The current path is handed to the progress line this often.
  kPathInterval = 64,
};

// One row kept until the end of the walk, when the rows are printed in path
// order: the walk's order depends on the file system (and on scheduling).
struct HeldRow {
  char* path;
  char* detectionName;
  char* reason;
  ScanRowStatus status;
  ScanPass pass;
  size_t order;  // as it came
};

}  // namespace

struct ConsoleDriver {
  const ConsolePlatform* platform;
  const ScanOptions* options;
  FILE* out;  // human output: standard output, or standard error with --json -
  FILE* log;  // --log: the same text, appended, names in UTF-8
  int logHeaded;  // this run's record in the log has begun
  JsonRecords records;
  int progress;
  int progressShown;
  double started;
  double lastDrawn;
  uint32_t detectionsSoFar;
  char currentPath[1024];
  HeldRow* rows;
  size_t rowCount;
  size_t rowCapacity;
  int rowsLost;  // no memory to keep a row: said at once instead
};

namespace {

char* Copy(const char* text) {
  size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy) std::memcpy(copy, text, length);
  return copy;
}

void ClearProgress(ConsoleDriver* d) {
  if (!d->progressShown) return;
  uint32_t columns = d->platform->terminalColumns ? d->platform->terminalColumns() : 0;
  if (columns < 2) columns = 2;
  if (columns > 1024) columns = 1024;
  char blank[1030];
  blank[0] = '\r';
  std::memset(blank + 1, ' ', columns - 1);
  blank[columns] = '\r';
  blank[columns + 1] = 0;
  std::fputs(blank, stderr);
  d->progressShown = 0;
}

// Text that came from the scanned system: escaped, then written in the
// console's encoding (UTF-8 in the log).
void WriteName(ConsoleDriver* d, FILE* out, const char* text) {
  char escaped[kTextCapacity];
  d->platform->escape(text, escaped, sizeof escaped);
  if (out != d->log) {
    d->platform->write(out, escaped);
    return;
  }
  char utf8[kTextCapacity * 3];
  std::fputs(d->platform->toUtf8(escaped, utf8, sizeof utf8) ? utf8 : escaped, out);
}

// Our own text (ASCII) to the human output and to the log.
void Say(ConsoleDriver* d, const char* text) {
  std::fputs(text, d->out);
  if (d->log) std::fputs(text, d->log);
}

// ---- the scan's report ----

void OnProgress(void* context, const ScanPosition* position) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  if (!d->progress) return;
  double now = d->platform->now();
  if (now - d->lastDrawn < 0.2) return;
  d->lastDrawn = now;
  uint32_t columns = d->platform->terminalColumns();
  if (columns < 2) return;
  // The path is escaped before the line is cut to fit: an escape widens it.
  char path[sizeof d->currentPath * 4 + 8];
  d->platform->escape(d->currentPath, path, sizeof path);
  char line[1100];
  FormatProgressLine(line, sizeof line, columns, position->filesExamined, position->bytesExamined,
                     now - d->started, d->detectionsSoFar, position->percent, path);
  ClearProgress(d);
  std::fputc('\r', stderr);
  d->platform->write(stderr, line);
  std::fflush(stderr);
  d->progressShown = 1;
}

void OnCurrentPath(void* context, const char* path) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  std::snprintf(d->currentPath, sizeof d->currentPath, "%s", path);
}

void PrintRowTo(ConsoleDriver* d, FILE* out, const char* path, const char* name, ScanRowStatus status,
                const char* reason) {
  WriteName(d, out, path);
  std::fputs(": ", out);
  if (status != kRowNotExamined) {
    WriteName(d, out, name);
    std::fputs(" ", out);
  }
  // "name (removed)", "name (removal failed: why)", "not examined (why)"
  std::fputs(status == kRowNotExamined ? "not examined" : "(", out);
  if (status != kRowNotExamined) std::fputs(RowStatusWord(status), out);
  if (reason && reason[0]) {
    std::fputs(status == kRowNotExamined ? " (" : ": ", out);
    WriteName(d, out, reason);
  }
  if (status != kRowNotExamined || (reason && reason[0])) std::fputs(")", out);
  std::fputs("\n", out);
}

void PrintRow(ConsoleDriver* d, const char* path, const char* name, ScanRowStatus status, const char* reason) {
  ClearProgress(d);
  PrintRowTo(d, d->out, path, name, status, reason);
  if (d->log) PrintRowTo(d, d->log, path, name, status, reason);
}

void OnResultRow(void* context, const ScanRow* row) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  if (row->status != kRowNotExamined) d->detectionsSoFar += 1;
  if (d->rowCount == d->rowCapacity) {
    size_t capacity = d->rowCapacity ? d->rowCapacity * 2 : 64;
    void* grown = std::realloc(d->rows, capacity * sizeof(HeldRow));
    if (grown) {
      d->rows = static_cast<HeldRow*>(grown);
      d->rowCapacity = capacity;
    }
  }
  HeldRow held{Copy(row->path), Copy(row->detectionName), Copy(row->reason), row->status, row->pass, d->rowCount};
  if (d->rowCount < d->rowCapacity && held.path && held.detectionName && held.reason) {
    d->rows[d->rowCount++] = held;
    return;
  }
  // Out of memory: the row is said now, out of order, rather than lost.
  std::free(held.path);
  std::free(held.detectionName);
  std::free(held.reason);
  d->rowsLost = 1;
  PrintRow(d, row->path, row->detectionName, row->status, row->reason);
  WriteRowRecord(&d->records, row->path, row->detectionName, row->status, row->reason, row->pass);
}

int OnStopRequested(void* context) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  return d->platform->interrupted && d->platform->interrupted() ? 1 : 0;
}

void OnRunValueDeleted(void* context, const RunValueDeletion* v) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  ClearProgress(d);
  for (FILE* out : {d->out, d->log}) {
    if (!out) continue;
    WriteName(d, out, v->hive);
    std::fputs(": Run value \"", out);
    WriteName(d, out, v->valueName);
    std::fputs("\" deleted (", out);
    WriteName(d, out, v->data);
    std::fputs(")\n", out);
  }
  WriteRunValueRecord(&d->records, v);
}

void OnRegistryTrouble(void* context, RunValueTrouble kind, const char* where, const char* reason) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  ClearProgress(d);
  d->platform->write(stderr, d->platform->programName);
  std::fputs(": ", stderr);
  WriteName(d, stderr, where);
  std::fputs(": Run values not cleaned: ", stderr);
  WriteName(d, stderr, reason);
  std::fputs("\n", stderr);
  if (d->log) {
    WriteName(d, d->log, where);
    std::fputs(": Run values not cleaned: ", d->log);
    WriteName(d, d->log, reason);
    std::fputs("\n", d->log);
  }
  WriteTroubleRecord(&d->records, kind, where, reason);
}

// ---- the run ----

int CompareRows(const void* a, const void* b) {
  const HeldRow* x = static_cast<const HeldRow*>(a);
  const HeldRow* y = static_cast<const HeldRow*>(b);
  // The memory pass's rows first, as they happened; then the files by path.
  if (x->pass != y->pass) return x->pass == kPassMemory ? -1 : 1;
  int byPath = x->pass == kPassMemory ? 0 : std::strcmp(x->path, y->path);
  if (byPath) return byPath;
  return x->order < y->order ? -1 : x->order > y->order ? 1 : 0;
}

void PrintHeldRows(ConsoleDriver* d) {
  // qsort is not stable: ties fall back on the order the rows came in.
  if (d->rowCount) std::qsort(d->rows, d->rowCount, sizeof(HeldRow), CompareRows);
  for (size_t i = 0; i < d->rowCount; ++i) {
    const HeldRow& row = d->rows[i];
    PrintRow(d, row.path, row.detectionName, row.status, row.reason);
    WriteRowRecord(&d->records, row.path, row.detectionName, row.status, row.reason, row.pass);
  }
  std::fflush(d->out);
}

void FreeHeldRows(ConsoleDriver* d) {
  for (size_t i = 0; i < d->rowCount; ++i) {
    std::free(d->rows[i].path);
    std::free(d->rows[i].detectionName);
    std::free(d->rows[i].reason);
  }
  std::free(d->rows);
  d->rows = nullptr;
  d->rowCount = d->rowCapacity = 0;
}

void PrintSummary(ConsoleDriver* d, const ScanTotals& t, int withMemory, double seconds, int status) {
  ClearProgress(d);
  char text[1024];
  char line[160];
  Say(d, kSummaryHeading);
  if (withMemory) {
    std::snprintf(line, sizeof line, "Memory modules examined: %u\n", t.memoryModulesExamined);
    Say(d, line);
  }
  if (FormatSummaryTotals(text, sizeof text, t)) Say(d, text);
  if (t.excluded) {
    std::snprintf(line, sizeof line, "Excluded: %u\n", t.excluded);
    Say(d, line);
  }
  if (d->options->action != kActionLeave) {
    std::snprintf(line, sizeof line, "Run values deleted: %u in %u hive(s)\n", t.runValuesDeleted, t.hivesCleaned);
    Say(d, line);
  }
  if (t.registryTroubles) {
    std::snprintf(line, sizeof line, "Registry troubles: %u\n", t.registryTroubles);
    Say(d, line);
  }
  if (t.restartNeeded) {
    std::snprintf(line, sizeof line, "Restart needed: %u file(s) are removed at the next restart\n", t.restartNeeded);
    Say(d, line);
  }
  if (t.stopped) Say(d, "Stopped: the rest was not examined\n");
  if (t.filesExamined == 0 && t.detections == 0) Say(d, "Nothing was examined: this is no clean bill of health\n");
  std::snprintf(line, sizeof line, "Time: %.3f s\n", seconds);
  Say(d, line);
  if (d->log) {
    std::snprintf(line, sizeof line, "Exit status: %d\n", status);
    std::fputs(line, d->log);
  }
  std::fflush(d->out);

  WriteSummaryRecord(&d->records, t, withMemory, seconds, status);
}

// The run's heading in the log: when, where, which program, what was asked.
void LogHeading(ConsoleDriver* d, const char* host, int argc, const char* const* argv, const char* command) {
  if (!d->log) return;
  d->logHeaded = 1;
  char started[32] = "";
  std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);
  if (utc) std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", utc);
  std::fprintf(d->log, "==== %s %s %s on ", started, d->platform->programName, kScanVersion);
  WriteName(d, d->log, host);
  std::fputs("\nCommand line:", d->log);
  for (int i = 0; i < argc; ++i) {
    std::fputs(" ", d->log);
    WriteName(d, d->log, argv[i]);
  }
  std::fprintf(d->log, "\nCommand: %s\n", command);
}

// What the scan checks against, in the log.
void LogSignatures(ConsoleDriver* d) {
  if (!d->log) return;
  const SignatureSet& set = d->options->signatures;
  char version[kSignatureVersionCapacity];
  BuiltInSignatureVersion(set.builtIn, version);
  std::fprintf(d->log, "Signatures: %u built-in rows (version %s)\n", set.builtIn.count, version);
  for (size_t i = 0; set.lists && i < set.lists->listCount; ++i) {
    const SignatureListInfo& list = set.lists->lists[i];
    std::fputs("Signature list: ", d->log);
    WriteName(d, d->log, list.path);
    std::fprintf(d->log, " (%u rows, SHA-256 %s)\n", list.rowCount, list.sha256Hex);
  }
}

void WriteRun(ConsoleDriver* d, int argc, const char* const* argv, const char* command) {
  char host[256] = "";
  if (d->platform->hostName) d->platform->hostName(host, sizeof host);
  LogHeading(d, host, argc, argv, command);
  // A run over disk images names the images where others name their PATHs.
  const int images = d->options->imageCount > 0;
  WriteRunRecord(&d->records, d->platform->programName, host, argc, argv, command, d->options->action,
                 images ? d->options->images : d->options->paths,
                 images ? d->options->imageCount : d->options->pathCount, images,
                 std::strcmp(command, "scan") == 0 ? &d->options->signatures : nullptr);
}

int Complain(const ConsolePlatform& p, const char* what, const char* why) {
  p.write(stderr, p.programName);
  std::fputs(": ", stderr);
  char escaped[kTextCapacity];
  p.escape(what, escaped, sizeof escaped);
  p.write(stderr, escaped);
  std::fputs(": ", stderr);
  p.escape(why, escaped, sizeof escaped);
  p.write(stderr, escaped);
  std::fputs("\n", stderr);
  return kExitTrouble;
}

// Opens --json (or takes standard output for "-"). 0 after saying why.
int OpenJson(ConsoleDriver* d) {
  const char* path = d->options->jsonPath;
  d->out = stdout;
  d->records = JsonRecords{nullptr, d->platform->toUtf8, 0, 0};
  if (!path) return 1;
  if (std::strcmp(path, "-") == 0) {
    d->records.file = stdout;
    d->records.flushEach = 1;
    d->out = stderr;
    return 1;
  }
  char why[256] = "";
  d->records.file = d->platform->createOutput(d->platform->context, path, why, sizeof why);
  if (!d->records.file) {
    Complain(*d->platform, path, why);
    return 0;
  }
  return 1;
}

// Opens --log to append to. 0 after saying why.
int OpenLog(ConsoleDriver* d) {
  const char* path = d->options->logPath;
  if (!path) return 1;
  char why[256] = "could not be opened";
  d->log = d->platform->openLog ? d->platform->openLog(path, why, sizeof why) : nullptr;
  if (!d->log) Complain(*d->platform, path, why);
  return d->log != nullptr;
}

// 1 when the log's record reached its file whole.
int CloseLog(ConsoleDriver* d) {
  if (!d->log) return 1;
  if (d->logHeaded) std::fputs("\n", d->log);  // a blank line between runs
  int whole = !std::ferror(d->log);
  OwnedStream stream(d->log);
  d->log = nullptr;
  whole = stream.close() && whole;
  if (!whole) Complain(*d->platform, d->options->logPath, "the log could not be written whole");
  return whole;
}

// The PATHs of --files-from after those of the command line: one a line
// (a '\r' before the '\n' dropped) or NUL-separated with -0; empty entries
// skipped. 0 after saying why. `text` and `paths` are the caller's to free.
int ReadFilesFrom(ConsoleDriver* d, ScanOptions* options, char** text, const char*** paths) {
  const char* name = options->filesFrom;
  const int standardInput = std::strcmp(name, "-") == 0;
  OwnedStream owned(standardInput ? nullptr : std::fopen(name, "rb"));
  FILE* in = standardInput ? stdin : owned.get();
  if (!in) {
    Complain(*d->platform, name, "cannot be read");
    return 0;
  }
  size_t used = 0, capacity = 4096;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  int ok = buffer != nullptr;
  while (ok) {
    if (used + 1 >= capacity) {
      char* grown = static_cast<char*>(std::realloc(buffer, capacity * 2));
      if (!grown) {
        ok = 0;
        break;
      }
      buffer = grown;
      capacity *= 2;
    }
    size_t n = std::fread(buffer + used, 1, capacity - used - 1, in);
    used += n;
    if (n == 0) {
      ok = !std::ferror(in);
      break;
    }
  }
  owned.reset();
  if (!ok) {
    std::free(buffer);
    Complain(*d->platform, name, "could not be read whole");
    return 0;
  }
  buffer[used] = 0;
  const char separator = options->nulSeparated ? '\0' : '\n';
  // A NUL in a list of lines would cut its entry and another path would be
  // scanned: such a list is refused, whatever else it holds.
  if (!options->nulSeparated && std::memchr(buffer, 0, used)) {
    std::free(buffer);
    Complain(*d->platform, name, "holds a NUL byte: a list of lines holds none (-0 reads a NUL-separated list)");
    return 0;
  }
  size_t count = options->pathCount;
  for (size_t i = 0; i < used; ++i) count += buffer[i] == separator;
  const char** list = static_cast<const char**>(std::malloc((count + 1) * sizeof *list));
  if (!list) {
    std::free(buffer);
    Complain(*d->platform, name, "no memory for its list");
    return 0;
  }
  size_t listed = 0;
  for (uint32_t i = 0; i < options->pathCount; ++i) list[listed++] = options->paths[i];
  for (size_t start = 0; start < used;) {
    size_t end = start;
    while (end < used && buffer[end] != separator) ++end;
    buffer[end] = 0;
    if (!options->nulSeparated && end > start && buffer[end - 1] == '\r') buffer[end - 1] = 0;
    if (buffer[start]) list[listed++] = buffer + start;
    start = end + 1;
  }
  options->paths = list;
  options->pathCount = static_cast<uint32_t>(listed);
  *text = buffer;
  *paths = list;
  return 1;
}

// 1 when the JSON reached its file whole.
int CloseJson(ConsoleDriver* d) {
  if (!d->records.file) return 1;
  int whole = !d->records.lost;
  if (d->records.flushEach) {
    whole = std::fflush(stdout) == 0 && whole;
  } else {
    whole = d->platform->finishOutput(d->platform->context, d->records.file) && whole;
  }
  d->records.file = nullptr;
  if (!whole) Complain(*d->platform, d->options->jsonPath, "not every JSON record could be written");
  return whole;
}

int Scan(ConsoleDriver* d, int argc, const char* const* argv) {
  const ConsolePlatform& p = *d->platform;
  const ScanOptions& options = *d->options;
  d->started = p.now();
  d->progress = !options.quiet && p.terminalColumns && p.terminalColumns() > 0;
  // The log first: a log that cannot be kept leaves no empty JSON behind.
  if (!OpenLog(d)) return kExitTrouble;
  if (!OpenJson(d)) {
    CloseLog(d);
    return kExitTrouble;
  }
  WriteRun(d, argc, argv, "scan");
  LogSignatures(d);

  // A list that names nothing is no reason to scan every drive.
  int refused = options.filesFrom && options.pathCount == 0;
  if (refused) ConsoleNotice(d, "refused", options.filesFrom, "names no PATH: nothing was scanned");
  ScanPorts ports{};
  if (refused || !p.beginScan(p.context, &options, d, &ports)) {
    // Nothing was walked: the refusal said why; the records still close the run.
    ScanTotals none{};
    WriteSummaryRecord(&d->records, none, 0, p.now() - d->started, kExitTrouble);
    if (d->log) std::fprintf(d->log, "Refused: nothing was examined (exit status %d)\n", kExitTrouble);
    CloseJson(d);
    CloseLog(d);
    return kExitTrouble;
  }
  ScanReport report{OnProgress,       OnCurrentPath,     OnResultRow, nullptr, OnStopRequested,
                    OnRunValueDeleted, OnRegistryTrouble, d};
  ScanSession session;
  BeginScanSession(&session, options.signatures, options.action, ports, &report, kPathInterval);
  // Names inside a disk image are Windows names, whatever the platform.
  uint32_t excludeHits[kMaxExcludes] = {};
  PathExclusions exclusions{options.excludes, options.excludeCount, options.paths, options.pathCount,
                            p.foldCase || options.imageCount > 0, excludeHits};
  if (options.excludeCount) session.exclusions = &exclusions;
  int withMemory = 0;
  if (p.beforeWalk) {
    p.beforeWalk(p.context, &session);
    withMemory = session.ledger.memoryModulesExamined > 0 || (p.flavour == kFlavourLiveSystem && !options.noMemory);
  }
  SessionWalk(&session);
  ClearProgress(d);
  if (session.ledger.stopped)
    ConsoleNotice(d, nullptr, "interrupted", "the rest was not examined");
  PrintHeldRows(d);
  // A pattern that left nothing out is most likely a typo, not a wish.
  for (uint32_t i = 0; i < options.excludeCount && !session.ledger.stopped; ++i)
    if (!excludeHits[i]) ConsoleNotice(d, "exclude_unused", options.excludes[i], "--exclude matched nothing");
  SessionCleanRunValues(&session);
  ScanTotals ledger = session.ledger;
  EndScanSession(&session);
  p.endScan(p.context, &ledger);
  int status = ExitStatusOf(ledger);
  PrintSummary(d, ledger, withMemory, p.now() - d->started, status);
  FreeHeldRows(d);
  if (!CloseJson(d)) status = kExitTrouble;
  if (!CloseLog(d)) status = kExitTrouble;
  return status;
}

// The entry --only and --run ask for (all when neither is given).
int Wanted(const ConsoleDriver* d, const QuarantineRecord& record, const char* onlyUtf8) {
  const ScanOptions& options = *d->options;
  if (options.restoreRun && std::strcmp(record.run, options.restoreRun) != 0) return 0;
  if (!onlyUtf8) return 1;
  if (!d->platform->foldCase) return std::strcmp(record.path, onlyUtf8) == 0;
  for (const char *a = record.path, *b = onlyUtf8;; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
    char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
    if (x != y) return 0;
    if (!x) return 1;
  }
}

// One row of restore --list: id, state, path, detection, size, when.
void ListEntry(ConsoleDriver* d, const QuarantineRecord& record, int readable, int restored) {
  const ConsolePlatform& p = *d->platform;
  char shown[kTextCapacity];
  if (!p.fromUtf8(record.path, shown, sizeof shown)) std::snprintf(shown, sizeof shown, "%s", record.path);
  char size[32];
  FormatByteCount(size, sizeof size, record.size);
  const char* state = !readable ? "unreadable" : restored ? "restored" : "quarantined";
  char head[kQuarantineIdCapacity + 32];
  std::snprintf(head, sizeof head, "%s  %s  ", readable ? record.id : "-", state);
  Say(d, head);
  WriteName(d, d->out, readable ? shown : "(unreadable manifest line)");
  if (d->log) WriteName(d, d->log, readable ? shown : "(unreadable manifest line)");
  char tail[512];
  if (readable) {
    std::snprintf(tail, sizeof tail, "  (%s, %s, %s%s)\n", record.detection, size, record.when,
                  record.trusted ? "" : "; not proven by this host's key: restore needs --to or --image");
  } else {
    std::snprintf(tail, sizeof tail, "%s", "\n");
  }
  Say(d, tail);
  WriteEntryRecord(&d->records, record, readable, restored);
}

int Restore(ConsoleDriver* d, int argc, const char* const* argv) {
  const ConsolePlatform& p = *d->platform;
  const ScanOptions& options = *d->options;
  char why[512] = "";
  QuarantineFolderPort folder{};
  RestoreTargetPort target{};
  unsigned char key[kQuarantineKeySize];
  int keyed = 0;
  if (!p.beginRestore(p.context, &options, &folder, &target, key, &keyed, why, sizeof why))
    return Complain(p, options.quarantineDirectory, why);
  QuarantineStore store;
  int opened = OpenQuarantineForRestore(folder, keyed ? key : nullptr, &store, why, sizeof why);
  std::memset(key, 0, sizeof key);
  if (!opened) {
    p.endRestore(p.context);
    return Complain(p, options.quarantineDirectory, why);
  }
  if (!OpenLog(d) || !OpenJson(d)) {
    CloseLog(d);
    CloseQuarantineStore(&store);
    p.endRestore(p.context);
    return kExitTrouble;
  }
  WriteRun(d, argc, argv, options.listOnly ? "list" : "restore");
  char onlyUtf8[kTextCapacity];
  const char* only = nullptr;
  if (options.restoreOnly) {
    if (!p.toUtf8(options.restoreOnly, onlyUtf8, sizeof onlyUtf8))
      std::snprintf(onlyUtf8, sizeof onlyUtf8, "%s", options.restoreOnly);
    only = onlyUtf8;
  }
  static QuarantineRecord record;
  RestoreRequest request{options.restoreRoot, options.restoreImage, options.force};
  uint32_t restored = 0, already = 0, left = 0, matched = 0;
  int readable = 0, wasRestored = 0;
  while (NextQuarantineEntry(&store, &record, &readable, &wasRestored)) {
    if ((only || options.restoreRun) && (!readable || !Wanted(d, record, only))) continue;
    ++matched;
    if (options.listOnly) {
      ListEntry(d, record, readable, wasRestored);
      continue;
    }
    char shownUtf8[kTextCapacity] = "";
    why[0] = 0;
    RestoreOutcome outcome = kRestoreFailed;
    if (readable) {
      outcome = RestoreQuarantined(&store, record, request, target, shownUtf8, sizeof shownUtf8, why, sizeof why);
    } else {
      std::snprintf(why, sizeof why, "%s", "the manifest line cannot be read");
    }
    if (outcome == kRestoreDone) {
      ++restored;
    } else if (outcome == kRestoreAlready) {
      ++already;
    } else {
      ++left;
    }
    char path[kTextCapacity] = "";
    if (shownUtf8[0] && !p.fromUtf8(shownUtf8, path, sizeof path)) std::snprintf(path, sizeof path, "%s", shownUtf8);
    char escaped[kTextCapacity];
    p.escape(path[0] ? path : "(unreadable manifest line)", escaped, sizeof escaped);
    char said[kTextCapacity + 600];
    if (FormatRestoreRowText(said, sizeof said, escaped, outcome, outcome == kRestoreFailed && why[0] ? why : nullptr)) {
      p.write(d->out, said);
      if (d->log) {
        char utf8[sizeof said * 3];
        std::fputs(p.toUtf8(said, utf8, sizeof utf8) ? utf8 : said, d->log);
      }
    }
    WriteRestoreRecord(&d->records, shownUtf8, readable ? record.id : "", outcome, why);
  }
  CloseQuarantineStore(&store);
  p.endRestore(p.context);
  int status = kExitNothingFound;
  if ((only || options.restoreRun) && matched == 0) {
    Complain(p, options.restoreOnly ? options.restoreOnly : options.restoreRun, "the quarantine holds no such entry");
    status = kExitTrouble;
  }
  if (options.listOnly) {
    char totals[64];
    std::snprintf(totals, sizeof totals, "\nEntries: %u\n", matched);
    Say(d, totals);
  } else {
    char totals[160];
    if (FormatRestoreTotals(totals, sizeof totals, restored, already, left)) Say(d, totals);
    if (left) status = kExitTrouble;
  }
  if (d->log) std::fprintf(d->log, "Exit status: %d\n", status);
  if (d->records.file && !options.listOnly) {
    char buffer[256];
    if (FormatRestoreSummaryJson(buffer, sizeof buffer, restored, already, left, status))
      std::fputs(buffer, d->records.file);
  }
  if (!CloseJson(d)) status = kExitTrouble;
  if (!CloseLog(d)) status = kExitTrouble;
  return status;
}

}  // namespace

void ConsoleNotice(ConsoleDriver* d, const char* jsonType, const char* where, const char* reason) {
  ClearProgress(d);
  Complain(*d->platform, where, reason);
  if (d->log) {
    WriteName(d, d->log, where);
    std::fputs(": ", d->log);
    WriteName(d, d->log, reason);
    std::fputs("\n", d->log);
  }
  if (jsonType) WriteNoticeRecord(&d->records, jsonType, where, reason);
}

void ConsoleSay(ConsoleDriver* d, const char* text, const char* jsonType, const char* where, const char* reason) {
  ClearProgress(d);
  const ConsolePlatform& p = *d->platform;
  p.write(stderr, p.programName);
  std::fputs(": ", stderr);
  WriteName(d, stderr, text);
  std::fputs("\n", stderr);
  if (d->log) {
    WriteName(d, d->log, text);
    std::fputs("\n", d->log);
  }
  if (jsonType) WriteNoticeRecord(&d->records, jsonType, where ? where : "", reason ? reason : text);
}

namespace {

// --signatures: every list read and checked, then all of them together, before
// anything is scanned. 0 after saying why.
int LoadSignatureLists(const ConsolePlatform& p, ScanOptions* options, SignatureLists* lists) {
  char why[kSignatureListPathCapacity + 256] = "";
  int ok = 1;
  for (uint32_t i = 0; ok && i < options->signatureFileCount; ++i) {
    const char* path = options->signatureFiles[i];
    if (!p.loadSignatureList) {
      std::snprintf(why, sizeof why, "%s: signature lists cannot be read here", path);
      ok = 0;
    } else if (std::strlen(path) >= kSignatureListPathCapacity) {
      std::snprintf(why, sizeof why, "%.64s...: the path is too long", path);
      ok = 0;
    } else {
      ok = p.loadSignatureList(lists, path, why, sizeof why);
    }
  }
  if (ok) ok = FinishSignatureLists(lists, options->signatures.builtIn, why, sizeof why);
  if (!ok) {
    char escaped[sizeof why * 4];
    p.escape(why, escaped, sizeof escaped);
    p.write(stderr, p.programName);
    std::fputs(": refusing the signature list ", stderr);
    p.write(stderr, escaped);
    std::fputs("\nNothing was scanned.\n", stderr);
    return 0;
  }
  options->signatures.lists = lists;
  return 1;
}

// -V: the program, its built-in rows and each list of --signatures.
void PrintVersion(const ConsolePlatform& p, const ScanOptions& options) {
  std::printf("%s %s\n", p.programName, kScanVersion);
  const SignatureSet& set = options.signatures;
  char version[kSignatureVersionCapacity];
  BuiltInSignatureVersion(set.builtIn, version);
  std::printf("built-in signatures: %u rows, version %s\n", set.builtIn.count, version);
  for (size_t i = 0; set.lists && i < set.lists->listCount; ++i) {
    const SignatureListInfo& list = set.lists->lists[i];
    char escaped[kSignatureListPathCapacity * 4];
    p.escape(list.path, escaped, sizeof escaped);
    std::fputs("signature list ", stdout);
    p.write(stdout, escaped);
    std::printf(": %u rows, SHA-256 %s\n", list.rowCount, list.sha256Hex);
  }
}

// '\' separates only on Windows: on Linux it is part of a name.
int IsPathSeparator(char c, int windows) { return c == '/' || (windows && c == '\\'); }

// 1 when `path` is `root` or lies below it, by their words (a trailing
// separator aside); a ".." below the root may lead anywhere, so it is not.
int IsSameOrBelow(const char* path, const char* root, int foldCase, int windows) {
  size_t n = std::strlen(root);
  while (n > 0 && IsPathSeparator(root[n - 1], windows)) --n;
  for (size_t i = 0; i < n; ++i) {
    char a = path[i], b = root[i];
    if (foldCase && a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (foldCase && b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (IsPathSeparator(a, windows) && IsPathSeparator(b, windows)) continue;
    if (a != b || !a) return 0;
  }
  const char* rest = path + n;
  while (IsPathSeparator(*rest, windows)) ++rest;
  if (*rest && rest == path + n && n != 0) return 0;
  for (const char* part = rest; *part;) {
    size_t length = 0;
    while (part[length] && !IsPathSeparator(part[length], windows)) ++length;
    if (length == 2 && part[0] == '.' && part[1] == '.') return 0;
    part += length;
    while (IsPathSeparator(*part, windows)) ++part;
  }
  return 1;
}

// Each PATH once: one named twice, or inside another PATH, would be walked
// twice, and a file the first walk removed would be "not examined" in the
// second. The first of equal PATHs stays. Returns how many are left.
uint32_t DropRepeatedPaths(const char** paths, uint32_t count, int foldCase, int windows) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    int repeated = 0;
    for (uint32_t j = 0; j < count && !repeated; ++j) {
      if (j == i || !IsSameOrBelow(paths[i], paths[j], foldCase, windows)) continue;
      // Equal both ways: the earlier one stays.
      repeated = !IsSameOrBelow(paths[j], paths[i], foldCase, windows) || j < i;
    }
    if (!repeated) paths[kept++] = paths[i];
  }
  return kept;
}

int RunParsed(int argc, const char* const* argv, const ConsolePlatform& platform, ScanOptions& options) {
  if (options.command == kCommandVersion) {
    PrintVersion(platform, options);
    return 0;
  }
  ConsoleDriver driver{};
  driver.platform = &platform;
  driver.options = &options;
  driver.out = stdout;
  if (options.command == kCommandRestore) return Restore(&driver, argc, argv);
  char* listText = nullptr;
  const char** listPaths = nullptr;
  if (options.filesFrom && !ReadFilesFrom(&driver, &options, &listText, &listPaths)) return kExitTrouble;
  const char** paths = listPaths ? listPaths : options.argumentPaths;
  options.pathCount =
      DropRepeatedPaths(paths, options.pathCount, platform.foldCase, platform.flavour == kFlavourLiveSystem);
  options.paths = paths;
  int status = Scan(&driver, argc, argv);
  std::free(listPaths);
  std::free(listText);
  return status;
}

}  // namespace

int RunConsoleScanner(int argc, const char* const* argv, const ConsolePlatform& platform) {
  ScanOptions options;
  char reason[256];
  if (!ParseScanOptions(argc, argv, &options, reason, sizeof reason, platform.flavour)) {
    // The reason quotes the command line's words, which may hold anything.
    char escaped[sizeof reason * 4];
    platform.escape(reason, escaped, sizeof escaped);
    std::fprintf(stderr, "%s: ", platform.programName);
    platform.write(stderr, escaped);
    std::fprintf(stderr, "\nTry '%s --help' for more information.\n", platform.programName);
    return kExitUsage;
  }
  if (options.command == kCommandHelp) {
    std::fputs(platform.helpText, stdout);
    return 0;
  }
  SignatureLists lists{};
  int status = kExitUsage;
  if (LoadSignatureLists(platform, &options, &lists)) status = RunParsed(argc, argv, platform, options);
  FreeSignatureLists(&lists);
  return status;
}
