// restore and restore --list (see console_restore.h).
#include "cli/console_restore.h"

#include <cstring>

#include "cli/console_output.h"
#include "cli/run_journal.h"

namespace {

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
  SayToBoth(d, head);
  WriteSystemText(d, d->out, readable ? shown : "(unreadable manifest line)");
  if (d->log) WriteSystemText(d, d->log, readable ? shown : "(unreadable manifest line)");
  char tail[512];
  if (readable) {
    std::snprintf(tail, sizeof tail, "  (%s, %s, %s%s)\n", record.detection, size, record.when,
                  record.trusted ? "" : "; not proven by this host's key: restore needs --to or --image");
  } else {
    std::snprintf(tail, sizeof tail, "%s", "\n");
  }
  SayToBoth(d, tail);
  WriteEntryRecord(&d->records, record, readable, restored);
}

}  // namespace

int RunRestore(ConsoleDriver* d, int argc, const char* const* argv) {
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
  if (!OpenRunRecords(d)) {
    CloseQuarantineStore(&store);
    p.endRestore(p.context);
    return kExitTrouble;
  }
  JournalRunStart(d, argc, argv, options.listOnly ? "list" : "restore");
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
    FlushRunRecords(d);
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
    SayToBoth(d, totals);
  } else {
    char totals[160];
    if (FormatRestoreTotals(totals, sizeof totals, restored, already, left)) SayToBoth(d, totals);
    if (left) status = kExitTrouble;
  }
  if (d->log) std::fprintf(d->log, "Exit status: %d\n", status);
  if (d->records.file && !options.listOnly) {
    char buffer[256];
    if (FormatRestoreSummaryJson(buffer, sizeof buffer, restored, already, left, status))
      std::fputs(buffer, d->records.file);
  }
  if (!CloseRunRecords(d)) status = kExitTrouble;
  return status;
}

