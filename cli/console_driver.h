// The one driver of both console scanners: options, dispatch and the scan
// session. Its parts: console_output (what people see), run_journal (JSON
// Lines and the log, written as things happen), held_rows (the rows sorted
// for people at the end), files_from (--files-from) and console_restore
// (the restore loop). Each platform gives it a small table: its console,
// its files and its ports. Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cli/scan_cli.h"
#include "cli/scan_cli_output.h"
#include "engine/signature_set.h"
#include "remedy/quarantine.h"
#include "scan/scan_session.h"

struct ConsoleDriver;

// How a platform tells the driver about something outside the rows: a note
// on standard error and, when `jsonType` is not null, a JSON record of that
// type with `where` and `reason`.
void ConsoleNotice(ConsoleDriver* driver, const char* jsonType, const char* where, const char* reason);
// The same for a sentence of its own: standard error says `text`; the JSON
// record (when `jsonType` is not null) gives `where` and `reason`.
void ConsoleSay(ConsoleDriver* driver, const char* text, const char* jsonType, const char* where, const char* reason);

// A JSON record alone (`where`, `reason`): what the run did, for the
// record, that standard error need not say.
void ConsoleRecord(ConsoleDriver* driver, const char* jsonType, const char* where, const char* reason);

struct ConsolePlatform {
  const char* programName;
  const char* helpText;
  ScanFlavour flavour;
  // Writes text in the system's own encoding (paths, names: UTF-8 or bytes
  // on POSIX, the ANSI code page on Windows) to `out` as the console reads it.
  void (*write)(FILE* out, const char* text);
  // Shows a name from the scanned system as data, never as markup (control
  // bytes escaped); `out` is always terminated.
  void (*escape)(const char* text, char* out, size_t capacity);
  // The same text as UTF-8 for JSON, and back. 1 when it fit.
  int (*toUtf8)(const char* text, char* out, size_t capacity);
  int (*fromUtf8)(const char* utf8, char* out, size_t capacity);
  // Columns of the terminal behind standard error; 0 when it is none.
  uint32_t (*terminalColumns)();
  double (*now)();           // seconds on a monotonic clock
  int (*interrupted)();      // Ctrl+C or a termination signal arrived
  void (*hostName)(char* out, size_t capacity);
  // Creates --json's file without following a link and without truncating
  // a file this run did not create; the text lands at `path` when closed by
  // finishOutput. Null with the reason in `why`.
  FILE* (*createOutput)(void* context, const char* path, char* why, size_t capacity);
  int (*finishOutput)(void* context, FILE* file);  // 1 when every byte reached the file
  // The scan: set-up (refusals, the quarantine folder, the offline system)
  // and the ports. 0, after telling why through ConsoleNotice, to refuse.
  int (*beginScan)(void* context, const ScanOptions* options, ConsoleDriver* driver, ScanPorts* ports);
  // Before the walk: the memory pass where there is one.
  void (*beforeWalk)(void* context, ScanSession* session);
  // After the walk and the Run values, with the ledger (a word on why
  // removals failed, where the platform knows one).
  void (*endScan)(void* context, const ScanTotals* ledger);
  // Restore and restore --list: opens the quarantine folder and gives its
  // file calls, the place files go back to, and this host's key (`keyed`
  // 0: none is kept, so no line is proven). 0 with `why`.
  int (*beginRestore)(void* context, const ScanOptions* options, QuarantineFolderPort* folder,
                      RestoreTargetPort* target, unsigned char key[kQuarantineKeySize], int* keyed, char* why,
                      size_t capacity);
  void (*endRestore)(void* context);
  void* context;
  // Opens --log's file to append to: created when missing, never through a
  // link, written only at its end. Null with the reason in `why`.
  FILE* (*openLog)(const char* path, char* why, size_t capacity);
  // --exclude and restore --only compare names as Windows does: 1 on
  // Windows and on the mounted Windows volumes the Linux scanner reads.
  int foldCase;
  // --signatures: checks who may have written the list at `path` and adds
  // its rows (LoadSignatureFile). 0 with "PATH: why" or "PATH:LINE: why".
  int (*loadSignatureList)(SignatureLists* lists, const char* path, char* why, size_t capacity);
  // --finish: 1 when nothing is at `path` any more (no file, no folder on
  // the way); 0 when something is, or when that cannot be told.
  int (*pathGone)(void* context, const char* path);
};

// The program: parses `argv` and runs what it asks. The exit status.
int RunConsoleScanner(int argc, const char* const* argv, const ConsolePlatform& platform);
