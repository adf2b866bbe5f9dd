// The console scanners' driver (see console_driver.h).
#include "cli/console_driver.h"

#include <cstdlib>
#include <cstring>

#include "cli/console_output.h"
#include "cli/console_restore.h"
#include "cli/console_state.h"
#include "cli/earlier_runs.h"
#include "cli/files_from.h"
#include "cli/path_roots.h"
#include "cli/run_journal.h"
#include "engine/signature_table.h"
#include "sys/owned_stream.h"

namespace {

// ---- the scan's report ----

void OnProgress(void* context, const ScanPosition* position) {
  DrawProgressLine(static_cast<ConsoleDriver*>(context), position);
}

void OnCurrentPath(void* context, const char* path) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  std::snprintf(d->currentPath, sizeof d->currentPath, "%s", path);
}

// The row goes into the records at once; people get it in path order at
// the end.
void OnResultRow(void* context, const ScanRow* row) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  if (row->status != kRowNotExamined) d->detectionsSoFar += 1;
  JournalRow(d, *row);
  if (HoldRow(&d->held, *row)) return;
  // Out of memory: the row is said now, out of order, rather than lost.
  d->rowsLost = 1;
  ClearProgressLine(d);
  WriteRowLine(d, d->out, row->path, row->detectionName, row->status, row->reason);
}

int OnStopRequested(void* context) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  return d->platform->interrupted && d->platform->interrupted() ? 1 : 0;
}

void OnRunValueDeleted(void* context, const RunValueDeletion* v) {
  ConsoleDriver* d = static_cast<ConsoleDriver*>(context);
  ClearProgressLine(d);
  WriteRunValueLine(d, d->out, v);
  JournalRunValue(d, v);
}

void OnChangeAhead(void* context, const char* path, const char* detectionName, uint32_t action) {
  JournalChangeAhead(static_cast<ConsoleDriver*>(context), path, detectionName, action);
}

void OnRegistryTrouble(void* context, RunValueTrouble kind, const char* where, const char* reason) {
  JournalTrouble(static_cast<ConsoleDriver*>(context), kind, where, reason);
}

// ---- the run ----

void PrintHeldRows(ConsoleDriver* d) {
  SortHeldRows(&d->held);
  for (size_t i = 0; i < d->held.count; ++i) {
    const HeldRow& row = d->held.rows[i];
    WriteRowLine(d, d->out, row.path, row.detectionName, row.status, row.reason);
  }
  std::fflush(d->out);
}

// --finish: each earlier run read and checked before anything is scanned.
// 0 after saying why.
int LoadEarlierRuns(ConsoleDriver* d, EarlierRun* runs) {
  const ScanOptions& options = *d->options;
  for (uint32_t i = 0; i < options.earlierRunCount; ++i) {
    const char* name = options.earlierRuns[i];
    OwnedStream in(std::fopen(name, "rb"));
    char why[256] = "cannot be read";
    if (!in.get() || !ReadEarlierRun(in.get(), &runs[i], why, sizeof why)) {
      ConsoleNotice(d, "refused", name, why);
      return 0;
    }
  }
  return 1;
}

// The files the earlier runs took away that are still gone and lie below a
// PATH have their Run values cleaned as if this run had taken them.
void FinishEarlierRuns(ConsoleDriver* d, ScanSession* session, const EarlierRun* runs) {
  const ConsolePlatform& p = *d->platform;
  const ScanOptions& options = *d->options;
  const int windows = p.flavour == kFlavourLiveSystem;
  for (uint32_t i = 0; i < options.earlierRunCount; ++i) {
    uint32_t gone = 0;
    for (uint32_t j = 0; j < runs[i].count; ++j) {
      char path[kTextCapacity];
      if (!p.fromUtf8(runs[i].paths[j], path, sizeof path) || !p.pathGone) continue;
      int below = options.pathCount == 0 && windows;  // the live system's every drive
      for (uint32_t k = 0; k < options.pathCount && !below; ++k)
        below = IsSameOrBelow(path, options.paths[k], p.foldCase, windows);
      if (!below || !p.pathGone(p.context, path)) continue;
      SessionTakenEarlier(session, path);
      ++gone;
    }
    char said[512], reason[400];
    std::snprintf(reason, sizeof reason, "the run started %s on %s took away %u file(s) still gone here",
                  runs[i].started, runs[i].host, gone);
    std::snprintf(said, sizeof said, "finishing the clean of %s: their Run values are cleaned too", reason);
    ConsoleSay(d, said, "finishing", options.earlierRuns[i], reason);
  }
}

int Scan(ConsoleDriver* d, int argc, const char* const* argv) {
  const ConsolePlatform& p = *d->platform;
  const ScanOptions& options = *d->options;
  d->started = p.now();
  d->progress = !options.quiet && p.terminalColumns && p.terminalColumns() > 0;
  if (!OpenRunRecords(d)) return kExitTrouble;
  JournalRunStart(d, argc, argv, "scan");

  // A list that names nothing is no reason to scan every drive.
  int refused = options.filesFrom && options.pathCount == 0;
  if (refused) ConsoleNotice(d, "refused", options.filesFrom, "names no PATH: nothing was scanned");
  EarlierRun earlier[kMaxEarlierRuns] = {};
  refused = refused || !LoadEarlierRuns(d, earlier);
  ScanPorts ports{};
  if (refused || !p.beginScan(p.context, &options, d, &ports)) {
    // Nothing was walked: the refusal said why; the records still close the run.
    for (EarlierRun& run : earlier) FreeEarlierRun(&run);
    ScanTotals none{};
    WriteSummaryRecord(&d->records, none, 0, p.now() - d->started, kExitTrouble);
    if (d->log) std::fprintf(d->log, "Refused: nothing was examined (exit status %d)\n", kExitTrouble);
    CloseRunRecords(d);
    return kExitTrouble;
  }
  ScanReport report{OnProgress,      OnCurrentPath,     OnResultRow,   nullptr, OnStopRequested,
                    OnRunValueDeleted, OnRegistryTrouble, OnChangeAhead, d};
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
  ClearProgressLine(d);
  if (session.ledger.stopped)
    ConsoleNotice(d, nullptr, "interrupted", "the rest was not examined");
  PrintHeldRows(d);
  // A pattern that left nothing out is most likely a typo, not a wish.
  for (uint32_t i = 0; i < options.excludeCount && !session.ledger.stopped; ++i)
    if (!excludeHits[i]) ConsoleNotice(d, "exclude_unused", options.excludes[i], "--exclude matched nothing");
  if (!session.ledger.stopped) FinishEarlierRuns(d, &session, earlier);
  for (EarlierRun& run : earlier) FreeEarlierRun(&run);
  SessionCleanRunValues(&session);
  ScanTotals ledger = session.ledger;
  EndScanSession(&session);
  p.endScan(p.context, &ledger);
  int status = ExitStatusOf(ledger);
  PrintSummary(d, ledger, withMemory, p.now() - d->started, status);
  FreeHeldRows(&d->held);
  if (!CloseRunRecords(d)) status = kExitTrouble;
  return status;
}

}  // namespace

void ConsoleNotice(ConsoleDriver* d, const char* jsonType, const char* where, const char* reason) {
  ClearProgressLine(d);
  Complain(*d->platform, where, reason);
  if (d->log) {
    WriteSystemText(d, d->log, where);
    std::fputs(": ", d->log);
    WriteSystemText(d, d->log, reason);
    std::fputs("\n", d->log);
  }
  if (jsonType) WriteNoticeRecord(&d->records, jsonType, where, reason);
}

void ConsoleSay(ConsoleDriver* d, const char* text, const char* jsonType, const char* where, const char* reason) {
  ClearProgressLine(d);
  const ConsolePlatform& p = *d->platform;
  p.write(stderr, p.programName);
  std::fputs(": ", stderr);
  WriteSystemText(d, stderr, text);
  std::fputs("\n", stderr);
  if (d->log) {
    WriteSystemText(d, d->log, text);
    std::fputs("\n", d->log);
  }
  if (jsonType) WriteNoticeRecord(&d->records, jsonType, where ? where : "", reason ? reason : text);
}

void ConsoleRecord(ConsoleDriver* d, const char* jsonType, const char* where, const char* reason) {
  WriteNoticeRecord(&d->records, jsonType, where, reason);
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

// --files-from's PATHs after the command line's. 0 after saying why.
int ReadFilesFrom(const ConsolePlatform& p, const ScanOptions& options, PathList* list) {
  const char* name = options.filesFrom;
  const int standardInput = std::strcmp(name, "-") == 0;
  OwnedStream owned(standardInput ? nullptr : std::fopen(name, "rb"));
  FILE* in = standardInput ? stdin : owned.get();
  if (!in) {
    Complain(p, name, "cannot be read");
    return 0;
  }
  const char* why = "";
  if (!ReadPathList(in, options.nulSeparated, options.paths, options.pathCount, list, &why)) {
    Complain(p, name, why);
    return 0;
  }
  return 1;
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
  if (options.command == kCommandRestore) return RunRestore(&driver, argc, argv);
  PathList list{};
  if (options.filesFrom && !ReadFilesFrom(platform, options, &list)) return kExitTrouble;
  const char** paths = list.paths ? list.paths : options.argumentPaths;
  if (list.paths) options.pathCount = list.count;
  options.pathCount =
      DropRepeatedPaths(paths, options.pathCount, platform.foldCase, platform.flavour == kFlavourLiveSystem);
  options.paths = paths;
  int status = Scan(&driver, argc, argv);
  FreePathList(&list);
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
