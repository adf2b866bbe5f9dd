// The console scanners' driver (see console_driver.h).
#include "cli/console_driver.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/signature_table.h"
#include "remedy/json_lines.h"

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
  FILE* out;   // human output: standard output, or standard error with --json -
  FILE* json;  // null without --json
  int jsonIsStdout;
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
  int jsonLost;  // a record could not be written
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
  EscapeForConsole(text, escaped, sizeof escaped);
  d->platform->write(out, escaped);
}

// Buffers for a JSON record big enough for its texts, whatever their size.
struct JsonRecord {
  JsonLine line;
  char* buffer;
  size_t capacity;
  ConsoleDriver* driver;
};

void BeginRecord(JsonRecord* r, ConsoleDriver* d, const char* type, size_t textBytes) {
  r->driver = d;
  // Every byte may become a six-byte escape.
  r->capacity = textBytes * 6 + 1024;
  r->buffer = d->json ? static_cast<char*>(std::malloc(r->capacity)) : nullptr;
  BeginJsonLine(&r->line, r->buffer ? r->buffer : nullptr, r->buffer ? r->capacity : 0);
  if (r->buffer) AddJsonString(&r->line, "type", type);
}

// A text of the system's own encoding, as UTF-8.
void AddText(JsonRecord* r, const char* key, const char* text) {
  if (!r->buffer) return;
  size_t capacity = std::strlen(text) * 3 + 4;
  char* utf8 = static_cast<char*>(std::malloc(capacity));
  if (utf8 && r->driver->platform->toUtf8(text, utf8, capacity)) {
    AddJsonString(&r->line, key, utf8);
  } else {
    r->line.overflow = 1;
  }
  std::free(utf8);
}

void EndRecord(JsonRecord* r) {
  if (r->buffer) {
    if (EndJsonLine(&r->line)) {
      std::fputs(r->line.text, r->driver->json);
      if (r->driver->jsonIsStdout) std::fflush(r->driver->json);
    } else {
      r->driver->jsonLost = 1;
    }
  } else if (r->driver->json) {
    r->driver->jsonLost = 1;
  }
  std::free(r->buffer);
  r->buffer = nullptr;
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
  EscapeForConsole(line, escaped, sizeof escaped);
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

void RowRecord(ConsoleDriver* d, const char* path, const char* name, ScanRowStatus status, const char* reason,
               ScanPass pass) {
  if (!d->json) return;
  JsonRecord r;
  BeginRecord(&r, d, status == kRowNotExamined ? "not_examined" : "detection",
              std::strlen(path) + std::strlen(name) + std::strlen(reason));
  AddText(&r, "path", path);
  if (status != kRowNotExamined) {
    AddJsonString(&r.line, "detection", name);
    AddJsonString(&r.line, "action", RowStatusKey(status));
    AddJsonString(&r.line, "pass", pass == kPassMemory ? "memory" : "file");
  }
  if (reason[0]) AddText(&r, "reason", reason);
  EndRecord(&r);
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
  RowRecord(d, row->path, row->detectionName, row->status, row->reason, row->pass);
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
  if (!d->json) return;
  JsonRecord r;
  BeginRecord(&r, d, "run_value",
              std::strlen(v->hive) + std::strlen(v->key) + std::strlen(v->valueName) + std::strlen(v->data) +
                  std::strlen(v->refersTo) + std::strlen(v->backup));
  AddText(&r, "hive", v->hive);
  AddText(&r, "key", v->key);
  AddText(&r, "value", v->valueName);
  AddText(&r, "data", v->data);
  AddText(&r, "refers_to", v->refersTo);
  AddJsonString(&r.line, "action", "deleted");
  AddText(&r, "backup", v->backup);
  EndRecord(&r);
}

const char* TroubleKey(RunValueTrouble kind) {
  switch (kind) {
    case kRunValuesRefused: return "refused";
    case kRunValuesFailed: return "failed";
    case kRunValuesNotCleaned: break;
  }
  return "not_cleaned";
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
  if (!d->json) return;
  JsonRecord r;
  BeginRecord(&r, d, "registry_trouble", std::strlen(where) + std::strlen(reason));
  AddJsonString(&r.line, "kind", TroubleKey(kind));
  AddText(&r, "where", where);
  AddText(&r, "reason", reason);
  EndRecord(&r);
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
    RowRecord(d, row.path, row.detectionName, row.status, row.reason, row.pass);
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

const char* ActionKey(FoundFileAction action) {
  switch (action) {
    case kActionRemove: return "remove";
    case kActionQuarantine: return "quarantine";
    case kActionLeave: break;
  }
  return "detect";
}

void RunRecord(ConsoleDriver* d, int argc, const char* const* argv, const char* command) {
  if (!d->json) return;
  size_t textBytes = 512;
  for (int i = 0; i < argc; ++i) textBytes += std::strlen(argv[i]) * 2 + 3;
  JsonRecord r;
  BeginRecord(&r, d, "run", textBytes);
  AddJsonString(&r.line, "tool", d->platform->programName);
  AddJsonString(&r.line, "version", kScanVersion);
  char host[256] = "";
  if (d->platform->hostName) d->platform->hostName(host, sizeof host);
  AddText(&r, "host", host);
  char started[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  const std::tm* broken = std::gmtime(&now);
  if (broken) utc = *broken;
  std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", &utc);
  AddJsonString(&r.line, "started", started);
  AddJsonString(&r.line, "command", command);
  // The command line, each argument quoted as JSON quotes it, in one text.
  char* line = static_cast<char*>(std::malloc(textBytes));
  if (line) {
    size_t used = 0;
    for (int i = 0; i < argc && used < textBytes; ++i)
      used += static_cast<size_t>(std::snprintf(line + used, textBytes - used, "%s%s", i ? " " : "", argv[i]));
    AddText(&r, "command_line", line);
  }
  std::free(line);
  AddJsonString(&r.line, "action", ActionKey(d->options->action));
  EndRecord(&r);
  if (!d->options) return;
  for (uint32_t i = 0; i < d->options->pathCount; ++i) {
    JsonRecord root;
    BeginRecord(&root, d, "root", std::strlen(d->options->paths[i]));
    AddText(&root, "path", d->options->paths[i]);
    EndRecord(&root);
  }
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
  if (t.filesExamined == 0) std::fputs("Nothing was examined: this is no clean bill of health\n", d->out);
  std::fprintf(d->out, "Time: %.3f s\n", seconds);
  std::fflush(d->out);

  if (!d->json) return;
  JsonRecord r;
  BeginRecord(&r, d, "summary", 0);
  if (withMemory) AddJsonNumber(&r.line, "memory_modules", t.memoryModulesExamined);
  AddJsonNumber(&r.line, "files", t.filesExamined);
  AddJsonNumber(&r.line, "bytes", t.bytesExamined);
  AddJsonNumber(&r.line, "detections", t.detections);
  AddJsonNumber(&r.line, "removed", t.removed);
  AddJsonNumber(&r.line, "quarantined", t.quarantined);
  AddJsonNumber(&r.line, "left_in_place", t.leftInPlace);
  AddJsonNumber(&r.line, "failed", t.failures);
  AddJsonNumber(&r.line, "not_examined", t.notExamined);
  AddJsonNumber(&r.line, "restart_needed", t.restartNeeded);
  AddJsonNumber(&r.line, "run_values_deleted", t.runValuesDeleted);
  AddJsonNumber(&r.line, "registry_troubles", t.registryTroubles);
  AddJsonNumber(&r.line, "stopped", t.stopped);
  AddJsonFixed(&r.line, "seconds", seconds, 3);
  AddJsonNumber(&r.line, "exit_status", static_cast<uint64_t>(status));
  EndRecord(&r);
}

int Complain(const ConsolePlatform& p, const char* what, const char* why) {
  p.write(stderr, p.programName);
  std::fputs(": ", stderr);
  char escaped[kTextCapacity];
  EscapeForConsole(what, escaped, sizeof escaped);
  p.write(stderr, escaped);
  std::fputs(": ", stderr);
  EscapeForConsole(why, escaped, sizeof escaped);
  p.write(stderr, escaped);
  std::fputs("\n", stderr);
  return kExitTrouble;
}

// Opens --json (or takes standard output for "-"). 0 after saying why.
int OpenJson(ConsoleDriver* d) {
  const char* path = d->options->jsonPath;
  d->out = stdout;
  if (!path) return 1;
  if (std::strcmp(path, "-") == 0) {
    d->json = stdout;
    d->jsonIsStdout = 1;
    d->out = stderr;
    return 1;
  }
  char why[256] = "";
  d->json = d->platform->createOutput(d->platform->context, path, why, sizeof why);
  if (!d->json) {
    Complain(*d->platform, path, why);
    return 0;
  }
  return 1;
}

// 1 when the JSON reached its file whole.
int CloseJson(ConsoleDriver* d) {
  if (!d->json) return 1;
  int whole = !d->jsonLost;
  if (d->jsonIsStdout) {
    whole = std::fflush(stdout) == 0 && whole;
  } else {
    whole = d->platform->finishOutput(d->platform->context, d->json) && whole;
  }
  d->json = nullptr;
  if (!whole) Complain(*d->platform, d->options->jsonPath, "not every JSON record could be written");
  return whole;
}

int Scan(ConsoleDriver* d, int argc, const char* const* argv) {
  const ConsolePlatform& p = *d->platform;
  const ScanOptions& options = *d->options;
  d->started = p.now();
  d->progress = !options.quiet && p.terminalColumns && p.terminalColumns() > 0;
  if (!OpenJson(d)) return kExitTrouble;
  RunRecord(d, argc, argv, "scan");

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
    withMemory = session.ledger.memoryModulesExamined > 0 || !options.noMemory;
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
  RunRecord(d, argc, argv, "restore");
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
    EscapeForConsole(path[0] ? path : "(unreadable manifest line)", escaped, sizeof escaped);
    char said[kTextCapacity + 600];
    if (FormatRestoreRowText(said, sizeof said, escaped, kind, kind == kRestoreRowFailed && why[0] ? why : nullptr))
      p.write(d->out, said);
    if (d->json) {
      JsonRecord r;
      BeginRecord(&r, d, "restore", std::strlen(path) + std::strlen(why));
      AddText(&r, "path", path);
      AddJsonString(&r.line, "result", RestoreRowWord(kind));
      if (why[0] && kind == kRestoreRowFailed) AddText(&r, "reason", why);
      EndRecord(&r);
    }
  }
  p.endRestore(p.context);
  char totals[128];
  if (FormatRestoreTotals(totals, sizeof totals, restored, left)) std::fputs(totals, d->out);
  int status = left ? kExitTrouble : kExitNothingFound;
  if (d->json) {
    char buffer[256];
    if (FormatRestoreSummaryJson(buffer, sizeof buffer, restored, left, status)) std::fputs(buffer, d->json);
  }
  if (!CloseJson(d)) status = kExitTrouble;
  return status;
}

}  // namespace

void ConsoleNotice(ConsoleDriver* d, const char* jsonType, const char* where, const char* reason) {
  ClearProgress(d);
  Complain(*d->platform, where, reason);
  if (!jsonType || !d->json) return;
  JsonRecord r;
  BeginRecord(&r, d, jsonType, std::strlen(where) + std::strlen(reason));
  AddText(&r, "where", where);
  AddText(&r, "reason", reason);
  EndRecord(&r);
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

void EscapeForConsole(const char* text, char* out, size_t capacity) {
  if (!capacity) return;
  size_t used = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
    if (*c < 0x20 || *c == 0x7F || *c == '\\') {
      char escape[5];
      if (*c == '\\') {
        // A backslash stays as it is: Windows paths are full of them, and
        // only a control byte can be taken for markup.
        escape[0] = '\\';
        escape[1] = 0;
      } else {
        std::snprintf(escape, sizeof escape, "\\x%02X", *c);
      }
      size_t n = std::strlen(escape);
      if (used + n >= capacity) break;
      std::memcpy(out + used, escape, n);
      used += n;
    } else {
      if (used + 1 >= capacity) break;
      out[used++] = static_cast<char>(*c);
    }
  }
  out[used] = 0;
}

namespace {

void FormatDuration(char* out, size_t capacity, double seconds) {
  unsigned long total = seconds > 0 ? static_cast<unsigned long>(seconds) : 0;
  if (total >= 3600) {
    std::snprintf(out, capacity, "%lu:%02lu:%02lu", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(out, capacity, "%lu:%02lu", total / 60, total % 60);
  }
}

}  // namespace

void FormatProgressLine(char* out, size_t capacity, uint32_t columns, uint64_t files, uint64_t bytes,
                        double seconds, uint32_t detections, const char* path) {
  if (!capacity) return;
  out[0] = 0;
  if (columns < 2) return;
  size_t width = columns - 1;
  if (width >= capacity) width = capacity - 1;
  char size[32], elapsed[32], head[160];
  FormatByteCount(size, sizeof size, bytes);
  FormatDuration(elapsed, sizeof elapsed, seconds);
  double rate = seconds > 0.001 ? static_cast<double>(files) / seconds : 0;
  int n = std::snprintf(head, sizeof head, "%llu files, %s, %.0f/s, %u found, %s", static_cast<unsigned long long>(files),
                        size, rate, detections, elapsed);
  if (n < 0) return;
  size_t headLength = std::strlen(head);
  if (headLength > width) headLength = width;
  std::memcpy(out, head, headLength);
  size_t used = headLength;
  // The end of the path: its start is the root, which the user knows.
  size_t pathLength = path ? std::strlen(path) : 0;
  if (pathLength && used + 3 < width) {
    out[used++] = ' ';
    out[used++] = ' ';
    size_t room = width - used;
    if (pathLength <= room) {
      std::memcpy(out + used, path, pathLength);
      used += pathLength;
    } else if (room > 3) {
      const char* tail = path + pathLength - (room - 3);
      // Never cut a UTF-8 sequence in two.
      while (*tail && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
      std::memcpy(out + used, "...", 3);
      used += 3;
      size_t tailLength = std::strlen(tail);
      std::memcpy(out + used, tail, tailLength);
      used += tailLength;
    }
  }
  out[used] = 0;
}
