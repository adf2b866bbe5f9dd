// The record a console run keeps as it goes (see run_journal.h).
#include "cli/run_journal.h"

#include <cstring>
#include <ctime>
#include <initializer_list>

#include "cli/console_output.h"
#include "sys/owned_stream.h"

namespace {

// A scan that removes or quarantines, or a restore.
int RunChanges(const ConsoleDriver* d) {
  const ScanOptions& o = *d->options;
  return o.command == kCommandRestore ? !o.listOnly : o.action != kActionLeave;
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
  // A run that changes anything keeps its record current: each record
  // reaches the file before the next change is made.
  d->records.flushEach = RunChanges(d);
  return 1;
}

int OpenLog(ConsoleDriver* d) {
  const char* path = d->options->logPath;
  if (!path) return 1;
  char why[256] = "could not be opened";
  d->log = d->platform->openLog ? d->platform->openLog(path, why, sizeof why) : nullptr;
  if (!d->log) Complain(*d->platform, path, why);
  return d->log != nullptr;
}

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

int CloseJson(ConsoleDriver* d) {
  if (!d->records.file) return 1;
  int whole = !d->records.lost;
  if (d->records.file == stdout) {
    whole = std::fflush(stdout) == 0 && whole;
  } else {
    whole = d->platform->finishOutput(d->platform->context, d->records.file) && whole;
  }
  d->records.file = nullptr;
  if (!whole) Complain(*d->platform, d->options->jsonPath, "not every JSON record could be written");
  return whole;
}

// A change reached the records: out to the files before the next one.
void AfterChange(ConsoleDriver* d) {
  if (!RunChanges(d)) return;
  FlushRunRecords(d);
}

void LogHeading(ConsoleDriver* d, const char* host, int argc, const char* const* argv, const char* command) {
  if (!d->log) return;
  d->logHeaded = 1;
  char started[32] = "";
  std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);
  if (utc) std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", utc);
  std::fprintf(d->log, "==== %s %s %s on ", started, d->platform->programName, kScanVersion);
  WriteSystemText(d, d->log, host);
  std::fputs("\nCommand line:", d->log);
  for (int i = 0; i < argc; ++i) {
    std::fputs(" ", d->log);
    WriteSystemText(d, d->log, argv[i]);
  }
  std::fprintf(d->log, "\nCommand: %s\n", command);
}

void LogSignatures(ConsoleDriver* d) {
  if (!d->log) return;
  const SignatureSet& set = d->options->signatures;
  char version[kSignatureVersionCapacity];
  BuiltInSignatureVersion(set.builtIn, version);
  std::fprintf(d->log, "Signatures: %u built-in rows (version %s)\n", set.builtIn.count, version);
  for (size_t i = 0; set.lists && i < set.lists->listCount; ++i) {
    const SignatureListInfo& list = set.lists->lists[i];
    std::fputs("Signature list: ", d->log);
    WriteSystemText(d, d->log, list.path);
    std::fprintf(d->log, " (%u rows, SHA-256 %s)\n", list.rowCount, list.sha256Hex);
  }
}

}  // namespace

int OpenRunRecords(ConsoleDriver* d) {
  // The log first: a log that cannot be kept leaves no empty JSON behind.
  if (!OpenLog(d)) return 0;
  if (!OpenJson(d)) {
    CloseLog(d);
    return 0;
  }
  return 1;
}

int CloseRunRecords(ConsoleDriver* d) {
  int whole = CloseJson(d);
  return CloseLog(d) && whole;
}

void JournalRunStart(ConsoleDriver* d, int argc, const char* const* argv, const char* command) {
  char host[256] = "";
  if (d->platform->hostName) d->platform->hostName(host, sizeof host);
  LogHeading(d, host, argc, argv, command);
  const int scan = std::strcmp(command, "scan") == 0;
  if (scan) LogSignatures(d);
  // A run over disk images names the images where others name their PATHs.
  const int images = d->options->imageCount > 0;
  WriteRunRecord(&d->records, d->platform->programName, host, argc, argv, command, d->options->action,
                 images ? d->options->images : d->options->paths,
                 images ? d->options->imageCount : d->options->pathCount, images,
                 scan ? &d->options->signatures : nullptr);
  AfterChange(d);
}

void JournalChangeAhead(ConsoleDriver* d, const char* path, const char* detectionName, uint32_t action) {
  const char* verb = action == kActionQuarantine ? "quarantining" : "removing";
  if (d->log) {
    std::fprintf(d->log, "%s ", verb);
    WriteSystemText(d, d->log, path);
    std::fputs(" (", d->log);
    WriteSystemText(d, d->log, detectionName);
    std::fputs(")\n", d->log);
  }
  WriteIntentRecord(&d->records, path, detectionName, verb);
  FlushRunRecords(d);
}

void JournalRow(ConsoleDriver* d, const ScanRow& row) {
  if (d->log) WriteRowLine(d, d->log, row.path, row.detectionName, row.status, row.reason);
  WriteRowRecord(&d->records, row.path, row.detectionName, row.status, row.reason, row.pass);
  AfterChange(d);
}

void JournalRunValue(ConsoleDriver* d, const RunValueDeletion* v) {
  if (d->log) WriteRunValueLine(d, d->log, v);
  WriteRunValueRecord(&d->records, v);
  AfterChange(d);
}

void JournalTrouble(ConsoleDriver* d, RunValueTrouble kind, const char* where, const char* reason) {
  ClearProgressLine(d);
  for (FILE* out : {stderr, d->log}) {
    if (!out) continue;
    if (out == stderr) {
      d->platform->write(stderr, d->platform->programName);
      std::fputs(": ", stderr);
    }
    WriteSystemText(d, out, where);
    std::fputs(": Run values not cleaned: ", out);
    WriteSystemText(d, out, reason);
    std::fputs("\n", out);
  }
  WriteTroubleRecord(&d->records, kind, where, reason);
  AfterChange(d);
}

void FlushRunRecords(ConsoleDriver* d) {
  if (d->records.file) std::fflush(d->records.file);
  if (d->log) std::fflush(d->log);
}
