// The console scanners' driver (see console_driver.h).
#include "cli/console_driver.h"

#include <cstdlib>
#include <cstring>

#include "engine/signature_table.h"
#include "cli/json_records.h"

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

// Text that came from the scanned system: escaped, then written in the console's encoding.
void WriteName(ConsoleDriver* d, FILE* out, const char* text) {
  char escaped[kTextCapacity];
  d->platform->escape(text, escaped, sizeof escaped);
  d->platform->write(out, escaped);
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
  char line[1100];
  FormatProgressLine(line, sizeof line, columns, position->filesExamined, position->bytesExamined,
                     now - d->started, d->detectionsSoFar, d->currentPath);
  char escaped[1100];
  d->platform->escape(line, escaped, sizeof escaped);
  ClearProgress(d);
  std::fputc('\r', stderr);
  d->platform->write(stderr, escaped);
  std::fflush(stderr);
  d->progressShown = 1;
}

void OnCurrentPath(void* context, const char* path) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  std::snprintf(d->currentPath, sizeof d->currentPath, "%s", path);
}

void PrintRow(ConsoleDriver* d, const char* path, const char* name, ScanRowStatus status, const char* reason) {
  ClearProgress(d);
  WriteName(d, d->out, path);
  std::fputs(": ", d->out);
  if (status != kRowNotExamined) {
    WriteName(d, d->out, name);
    std::fputs(" ", d->out);
  }
  // "name (removed)", "name (removal failed: why)", "not examined (why)"
  std::fputs(status == kRowNotExamined ? "not examined" : "(", d->out);
  if (status != kRowNotExamined) std::fputs(RowStatusWord(status), d->out);
  if (reason && reason[0]) {
    std::fputs(status == kRowNotExamined ? " (" : ": ", d->out);
    WriteName(d, d->out, reason);
  }
  if (status != kRowNotExamined || (reason && reason[0])) std::fputs(")", d->out);
  std::fputs("\n", d->out);
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
  WriteName(d, d->out, v->hive);
  std::fputs(": Run value \"", d->out);
  WriteName(d, d->out, v->valueName);
  std::fputs("\" deleted (", d->out);
  WriteName(d, d->out, v->data);
  std::fputs(")\n", d->out);
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
  std::fputs(kSummaryHeading, d->out);
  if (withMemory) std::fprintf(d->out, "Memory modules examined: %u\n", t.memoryModulesExamined);
  if (FormatSummaryTotals(text, sizeof text, t)) std::fputs(text, d->out);
  if (d->options->action != kActionLeave)
    std::fprintf(d->out, "Run values deleted: %u in %u hive(s)\n", t.runValuesDeleted, t.hivesCleaned);
  if (t.registryTroubles) std::fprintf(d->out, "Registry troubles: %u\n", t.registryTroubles);
  if (t.restartNeeded) std::fprintf(d->out, "Restart needed: %u file(s) are removed at the next restart\n", t.restartNeeded);
  if (t.stopped) std::fputs("Stopped: the rest was not examined\n", d->out);
  if (t.filesExamined == 0 && t.detections == 0) std::fputs("Nothing was examined: this is no clean bill of health\n", d->out);
  std::fprintf(d->out, "Time: %.3f s\n", seconds);
  std::fflush(d->out);

  WriteSummaryRecord(&d->records, t, withMemory, seconds, status);
}

void WriteRun(ConsoleDriver* d, int argc, const char* const* argv, const char* command) {
  char host[256] = "";
  if (d->platform->hostName) d->platform->hostName(host, sizeof host);
  // A run over disk images names the images where others name their PATHs.
  const int images = d->options->imageCount > 0;
  WriteRunRecord(&d->records, d->platform->programName, host, argc, argv, command, d->options->action,
                 images ? d->options->images : d->options->paths,
                 images ? d->options->imageCount : d->options->pathCount);
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
  if (!OpenJson(d)) return kExitTrouble;
  WriteRun(d, argc, argv, "scan");

  ScanPorts ports{};
  if (!p.beginScan(p.context, &options, d, &ports)) {
    ScanTotals none{};
    PrintSummary(d, none, 0, p.now() - d->started, kExitTrouble);
    CloseJson(d);
    return kExitTrouble;
  }
  ScanReport report{OnProgress,       OnCurrentPath,     OnResultRow, nullptr, OnStopRequested,
                    OnRunValueDeleted, OnRegistryTrouble, d};
  ScanSession session;
  BeginScanSession(&session, BuiltInSignatures(), options.action, ports, &report, kPathInterval);
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
  SessionCleanRunValues(&session);
  ScanTotals ledger = session.ledger;
  EndScanSession(&session);
  p.endScan(p.context);
  int status = ExitStatusOf(ledger);
  PrintSummary(d, ledger, withMemory, p.now() - d->started, status);
  FreeHeldRows(d);
  if (!CloseJson(d)) status = kExitTrouble;
  return status;
}

int Restore(ConsoleDriver* d, int argc, const char* const* argv) {
  const ConsolePlatform& p = *d->platform;
  const ScanOptions& options = *d->options;
  char why[512] = "";
  if (!p.beginRestore(p.context, &options, why, sizeof why)) return Complain(p, options.quarantineDirectory, why);
  if (!OpenJson(d)) {
    p.endRestore(p.context);
    return kExitTrouble;
  }
  WriteRun(d, argc, argv, "restore");
  uint32_t restored = 0, left = 0;
  for (const char* line = p.nextManifestLine(p.context); line; line = p.nextManifestLine(p.context)) {
    if (line[0] == '\n' || line[0] == '\r' || line[0] == 0) continue;
    char path[kTextCapacity] = "";
    why[0] = 0;
    RestoreRowKind kind = p.restoreLine(p.context, &options, line, path, sizeof path, why, sizeof why);
    if (kind == kRestoreRowDone) {
      ++restored;
    } else {
      ++left;
    }
    char escaped[kTextCapacity];
    d->platform->escape(path[0] ? path : "(unreadable manifest line)", escaped, sizeof escaped);
    char said[kTextCapacity + 600];
    if (FormatRestoreRowText(said, sizeof said, escaped, kind, kind == kRestoreRowFailed && why[0] ? why : nullptr))
      p.write(d->out, said);
    WriteRestoreRecord(&d->records, path, kind, why);
  }
  p.endRestore(p.context);
  char totals[128];
  if (FormatRestoreTotals(totals, sizeof totals, restored, left)) std::fputs(totals, d->out);
  int status = left ? kExitTrouble : kExitNothingFound;
  if (d->records.file) {
    char buffer[256];
    if (FormatRestoreSummaryJson(buffer, sizeof buffer, restored, left, status)) std::fputs(buffer, d->records.file);
  }
  if (!CloseJson(d)) status = kExitTrouble;
  return status;
}

}  // namespace

void ConsoleNotice(ConsoleDriver* d, const char* jsonType, const char* where, const char* reason) {
  ClearProgress(d);
  Complain(*d->platform, where, reason);
  if (jsonType) WriteNoticeRecord(&d->records, jsonType, where, reason);
}

int RunConsoleScanner(int argc, const char* const* argv, const ConsolePlatform& platform) {
  ScanOptions options;
  char reason[256];
  if (!ParseScanOptions(argc, argv, &options, reason, sizeof reason, platform.flavour)) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", platform.programName, reason,
                 platform.programName);
    return kExitUsage;
  }
  switch (options.command) {
    case kCommandHelp: std::fputs(platform.helpText, stdout); return 0;
    case kCommandVersion: std::printf("%s %s\n", platform.programName, kScanVersion); return 0;
    default: break;
  }
  ConsoleDriver driver{};
  driver.platform = &platform;
  driver.options = &options;
  driver.out = stdout;
  return options.command == kCommandRestore ? Restore(&driver, argc, argv) : Scan(&driver, argc, argv);
}
