// What the console driver writes for people (see console_output.h).
#include "cli/console_output.h"

#include <cstring>

#include "remedy/name_escape.h"

namespace {

void WriteWord(FILE* out, const char* word) { std::fputs(word, out); }

}  // namespace

void ClearProgressLine(ConsoleDriver* d) {
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

void DrawProgressLine(ConsoleDriver* d, const ScanPosition* position) {
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
  ClearProgressLine(d);
  std::fputc('\r', stderr);
  d->platform->write(stderr, line);
  std::fflush(stderr);
  d->progressShown = 1;
}

void WriteSystemText(ConsoleDriver* d, FILE* out, const char* text) {
  char escaped[kTextCapacity];
  d->platform->escape(text, escaped, sizeof escaped);
  if (out != d->log) {
    d->platform->write(out, escaped);
    return;
  }
  char utf8[kTextCapacity * 3];
  std::fputs(d->platform->toUtf8(escaped, utf8, sizeof utf8) ? utf8 : escaped, out);
}

void SayToBoth(ConsoleDriver* d, const char* text) {
  std::fputs(text, d->out);
  if (d->log) std::fputs(text, d->log);
}

void WriteRowLine(ConsoleDriver* d, FILE* out, const char* path, const char* name, ScanRowStatus status,
                  const char* reason) {
  // A mounted volume's names may hold what no Windows name holds; a '\\'
  // among them is shown escaped, as an image's rows show it, so that no row
  // reads as a clean file's Windows path.
  char shown[kTextCapacity];
  if (d->platform->flavour == kFlavourMountedVolume && d->options && !d->options->imageCount &&
      EscapeNonWindowsName(path, shown, sizeof shown) < sizeof shown)
    path = shown;
  WriteSystemText(d, out, path);
  WriteWord(out, ": ");
  if (status != kRowNotExamined) {
    WriteSystemText(d, out, name);
    WriteWord(out, " ");
  }
  // "name (removed)", "name (removal failed: why)", "not examined (why)"
  WriteWord(out, status == kRowNotExamined ? "not examined" : "(");
  if (status != kRowNotExamined) WriteWord(out, RowStatusWord(status));
  if (reason && reason[0]) {
    WriteWord(out, status == kRowNotExamined ? " (" : ": ");
    WriteSystemText(d, out, reason);
  }
  if (status != kRowNotExamined || (reason && reason[0])) WriteWord(out, ")");
  WriteWord(out, "\n");
}

void WriteRunValueLine(ConsoleDriver* d, FILE* out, const RunValueDeletion* v) {
  WriteSystemText(d, out, v->hive);
  WriteWord(out, ": Run value \"");
  WriteSystemText(d, out, v->valueName);
  WriteWord(out, v->wouldDelete ? "\" would be deleted (" : "\" deleted (");
  WriteSystemText(d, out, v->data);
  WriteWord(out, ")\n");
}

void PrintSummary(ConsoleDriver* d, const ScanTotals& t, int withMemory, double seconds, int status) {
  ClearProgressLine(d);
  char text[1024];
  char line[160];
  SayToBoth(d, kSummaryHeading);
  if (withMemory) {
    std::snprintf(line, sizeof line, "Memory modules examined: %u\n", t.memoryModulesExamined);
    SayToBoth(d, line);
  }
  if (FormatSummaryTotals(text, sizeof text, t)) SayToBoth(d, text);
  if (t.excluded) {
    std::snprintf(line, sizeof line, "Excluded: %u\n", t.excluded);
    SayToBoth(d, line);
  }
  if (d->options->action != kActionLeave) {
    std::snprintf(line, sizeof line, "Run values deleted: %u in %u hive(s)\n", t.runValuesDeleted, t.hivesCleaned);
    SayToBoth(d, line);
  } else if (t.detections) {
    std::snprintf(line, sizeof line, "Run values a writing run would delete: %u\n", t.runValuesWouldDelete);
    SayToBoth(d, line);
  }
  if (t.registryTroubles) {
    std::snprintf(line, sizeof line, "Registry troubles: %u\n", t.registryTroubles);
    SayToBoth(d, line);
  }
  if (t.restartNeeded) {
    std::snprintf(line, sizeof line, "Restart needed: %u file(s) are removed at the next restart\n", t.restartNeeded);
    SayToBoth(d, line);
  }
  if (t.stopped) SayToBoth(d, "Stopped: the rest was not examined\n");
  if (t.filesExamined == 0 && t.detections == 0)
    SayToBoth(d, "Nothing was examined: this is no clean bill of health\n");
  std::snprintf(line, sizeof line, "Time: %.3f s\n", seconds);
  SayToBoth(d, line);
  if (d->log) {
    std::snprintf(line, sizeof line, "Exit status: %d\n", status);
    std::fputs(line, d->log);
  }
  std::fflush(d->out);

  WriteSummaryRecord(&d->records, t, withMemory, seconds, status);
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
