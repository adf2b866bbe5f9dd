// quellix-scan.exe: the console scanner of the live Windows system. The
// memory pass and the file pass are the dialog's (scan/), driven with the
// action asked for; the options, words and exit statuses are the Linux
// scanner's (ui/scan_cli); this file is the console around them.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "remedy/autorun_win32.h"
#include "remedy/json_lines.h"
#include "remedy/quarantine_win32.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "scan/scan_counters.h"
#include "sys/fs_redirection_win32.h"
#include "sys/system_queries_win32.h"
#include "ui/language_win32.h"
#include "ui/scan_cli.h"
#include "ui/scan_cli_output.h"
#include "ui/texts.h"
#include "walker/file_list_win32.h"

namespace {

static_assert(uint32_t{kRestoreResultFailed} == kRestoreRowFailed && uint32_t{kRestoreResultDone} == kRestoreRowDone &&
                  uint32_t{kRestoreResultExists} == kRestoreRowExists &&
                  uint32_t{kRestoreResultBadCopy} == kRestoreRowBadCopy,
              "restore results are read as RestoreRowKind");

enum : uint32_t {
  kLineCapacity = 8192,
  kWideLineCapacity = 4096,
  kProgressEvery = 1024,
  // Terminated processes need a moment to release their files.
  kAfterMemoryPauseMs = 2000,
  // Removed files whose Run values --all-users looks for in other hives.
  kMaxRemovedPaths = 512,
};

const char kRunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The code page of each language's texts (see ui/texts.h).
const UINT kTextCodePages[kLanguageCount] = {936, 1252, 950, 932};

// Ctrl+C and Ctrl+Break raise the stop flag; the scan ends after the current
// file and still reports.
volatile LONG gStop = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(const_cast<LONG*>(&gStop), 1);
  return TRUE;
}

struct Console {
  const ScanOptions* options;
  FILE* json;
  int32_t language;
  UINT outputCodePage;
  int progress;  // standard error is a console and --quiet was not given
  int progressShown;
  int inMemoryPass;
  ScanTotals memory;  // the memory pass's rows, counted here
  uint32_t atRestart;
  uint32_t troubles;
  QuarantineFolder quarantine;
  char removedPaths[kMaxRemovedPaths][MAX_PATH];
  uint32_t removedCount;
  uint32_t removedOverflow;  // removed, but no room to remember them
};

// `text` in code page `from`, written in the console's code page.
void WriteText(Console* c, FILE* out, const char* text, UINT from) {
  static wchar_t wide[kWideLineCapacity];
  static char converted[kWideLineCapacity * 2];
  if (from != c->outputCodePage) {
    int count = MultiByteToWideChar(from, 0, text, -1, wide, kWideLineCapacity);
    if (count > 0 && WideCharToMultiByte(c->outputCodePage, 0, wide, -1, converted, sizeof converted, nullptr,
                                         nullptr) > 0)
      text = converted;
  }
  fputs(text, out);
}

void ClearProgress(Console* c) {
  if (!c->progressShown) return;
  fputs("\r                                                                              \r", stderr);
  c->progressShown = 0;
}

void Say(Console* c, const char* text) {
  ClearProgress(c);
  WriteText(c, stdout, text, CP_ACP);
}

void Complain(Console* c, const char* what, const char* why) {
  ClearProgress(c);
  char line[kLineCapacity];
  snprintf(line, sizeof line, "%s: %s: %s\n", kLiveScanProgramName, what, why);
  WriteText(c, stderr, line, CP_ACP);
}

void WriteJson(Console* c, JsonLine* line) {
  if (c->json && EndJsonLine(line)) fputs(line->text, c->json);
}

// The row's status in the system's language where the tables have it.
void StatusText(Console* c, ScanRowStatus status, char* out, size_t capacity) {
  const char* removed = Text(TextKey::StatusRemoved, c->language);
  switch (status) {
    case kRowRemoved: snprintf(out, capacity, "%s", removed); break;
    case kRowRemovalFailed: snprintf(out, capacity, "%s", Text(TextKey::StatusFailed, c->language)); break;
    case kRowScheduledAtRestart: snprintf(out, capacity, "%s, at restart", removed); break;
    default: snprintf(out, capacity, "%s", RowStatusWord(status)); break;
  }
}

void OnProgress(void* context, const ScanPosition* position) {
  Console* c = static_cast<Console*>(context);
  if (!c->progress || position->filesExamined % kProgressEvery != 0 || position->filesExamined == 0) return;
  fprintf(stderr, "\r%llu files", static_cast<unsigned long long>(position->filesExamined));
  c->progressShown = 1;
}

void OnResultRow(void* context, const char* path, const char* name, ScanRowStatus status) {
  Console* c = static_cast<Console*>(context);
  if (c->inMemoryPass) {
    c->memory.detections += 1;
    if (status == kRowRemoved || status == kRowScheduledAtRestart) c->memory.removed += 1;
    if (status == kRowRemovalFailed) c->memory.failures += 1;
    if (status == kRowLeftInPlace) c->memory.leftInPlace += 1;
  }
  if (status == kRowScheduledAtRestart) c->atRestart += 1;
  if (status == kRowRemoved || status == kRowScheduledAtRestart || status == kRowQuarantined) {
    if (c->removedCount < kMaxRemovedPaths && strlen(path) < MAX_PATH) {
      memcpy(c->removedPaths[c->removedCount++], path, strlen(path) + 1);
    } else {
      c->removedOverflow += 1;
    }
  }

  ClearProgress(c);
  char statusText[256];
  StatusText(c, status, statusText, sizeof statusText);
  if (status == kRowNotExamined) {
    WriteText(c, stdout, path, CP_ACP);
  } else {
    char head[kLineCapacity];
    snprintf(head, sizeof head, "%s: %s (", path, name);
    WriteText(c, stdout, head, CP_ACP);
  }
  if (status == kRowNotExamined) fputs(": ", stdout);
  WriteText(c, stdout, statusText, kTextCodePages[c->language]);
  fputs(status == kRowNotExamined ? "\n" : ")\n", stdout);
  fflush(stdout);

  char utf8[kLineCapacity];
  if (!AnsiToUtf8(path, utf8, sizeof utf8)) snprintf(utf8, sizeof utf8, "%s", path);
  char buffer[kLineCapacity * 2];
  if (c->json && FormatRowJson(buffer, sizeof buffer, utf8, name, status, c->inMemoryPass ? "memory" : "file"))
    fputs(buffer, c->json);
}

int OnStopRequested(void*) { return gStop ? 1 : 0; }

ScanRowStatus QuarantinePort(void* context, const FoundFile* file, const FileIdentity* identity, const char* name) {
  Console* c = static_cast<Console*>(static_cast<FilePass*>(context)->frontEnd);
  char hex[kSha256HexSize];
  switch (QuarantineWin32File(&c->quarantine, file->path, *identity, name, hex)) {
    case kQuarantineResultDone: return kRowQuarantined;
    case kQuarantineResultAtRestart: return kRowScheduledAtRestart;
    case kQuarantineResultNotSame:
      Complain(c, file->path, "not quarantined: it is not the file that was checked any more");
      return kRowRemovalFailed;
    case kQuarantineResultKeptCopy: {
      char why[160];
      snprintf(why, sizeof why, "copied to the quarantine as %s but not removed", hex);
      Complain(c, file->path, why);
      return kRowRemovalFailed;
    }
    default: Complain(c, file->path, "not quarantined"); return kRowRemovalFailed;
  }
}

int StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    char a = *text, b = *prefix;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return 0;
  }
  return 1;
}

struct Walk {
  Console* console;
  FilePass pass;
  const char* skipped;  // the quarantine folder (ends in a backslash), or null
};

// The quarantine folder holds detections by design: never examined.
int OnWalkFile(void* context, const char* directory, const FindRecord* record) {
  Walk* w = static_cast<Walk*>(context);
  if (w->skipped && StartsWithIgnoringCase(directory, w->skipped)) return gStop ? 0 : 1;
  return OnFileFound(&w->pass, directory, record);
}

// One PATH: a folder is walked, a file examined alone.
void ScanPath(Walk* w, const char* path) {
  char full[MAX_PATH];
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(path, sizeof full, full, &namePart);
  DWORD attributes = length && length < sizeof full ? GetFileAttributesA(full) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Complain(w->console, path, "cannot be read");
    NoteNotExamined(&w->pass.run, path);
    return;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    FileList walk;
    walk.Open(full, 1, "*", OnWalkFile, w);
    walk.Close();
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(full, &found);
  if (search == INVALID_HANDLE_VALUE || !namePart) {
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    NoteNotExamined(&w->pass.run, path);
    return;
  }
  FindClose(search);
  FindRecord record{};
  record.attributes = found.dwFileAttributes;
  record.size = found.nFileSizeLow;
  record.sizeHigh = found.nFileSizeHigh;
  snprintf(record.name, sizeof record.name, "%s", namePart);
  *namePart = 0;
  OnWalkFile(w, full, &record);
}

// --all-users: the Run key of every loaded user hive, for each removed file.
void CleanAllUsers(Console* c) {
  if (!c->removedCount && !c->removedOverflow) return;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    FILETIME written;
    LONG status = RegEnumKeyExA(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, &written);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    // A user's classes hive has no Run key.
    if (length > 8 && StartsWithIgnoringCase(name + length - 8, "_Classes")) continue;
    char subkey[512];
    snprintf(subkey, sizeof subkey, "%s\\%s", name, kRunKeyPath);
    // Where the account may not write, the hive is said to be passed over.
    HKEY key;
    LONG opened = RegOpenKeyExA(HKEY_USERS, subkey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (opened == ERROR_SUCCESS) RegCloseKey(key);
    if (opened != ERROR_SUCCESS) {
      if (opened != ERROR_FILE_NOT_FOUND) {
        char what[600];
        snprintf(what, sizeof what, "HKEY_USERS\\%s", subkey);
        Complain(c, what, "not examined: this account may not change it");
        char buffer[1024];
        if (c->json && FormatHiveEventJson(buffer, sizeof buffer, "hive_refused", name, "access denied"))
          fputs(buffer, c->json);
      }
      continue;
    }
    for (uint32_t i = 0; i < c->removedCount; ++i) DeleteReferringValues(HKEY_USERS, subkey, c->removedPaths[i]);
  }
  // Other hives may still start a file that could not be remembered.
  if (c->removedOverflow) {
    Complain(c, "--all-users", "too many removed files: other users' Run values not all examined");
    c->troubles += 1;
  }
}

void PrintSummary(Console* c, const ScanTotals& t, int status, double seconds) {
  ClearProgress(c);
  char text[kLineCapacity];
  UINT textPage = kTextCodePages[c->language];
  fputs("\n", stdout);
  const int detected = t.detections + t.memoryDetections > 0;
  if (detected) {
    snprintf(text, sizeof text, Text(TextKey::SummaryDetected, c->language), static_cast<int>(t.memoryModulesExamined),
             static_cast<int>(t.memoryDetections), static_cast<int>(t.filesExamined), static_cast<int>(t.detections));
  } else {
    snprintf(text, sizeof text, Text(TextKey::SummaryClean, c->language), static_cast<int>(t.memoryModulesExamined),
             static_cast<int>(t.filesExamined));
  }
  WriteText(c, stdout, text, textPage);
  fputs("\n", stdout);
  if (c->atRestart || c->memory.removed) {
    WriteText(c, stdout, Text(TextKey::RebootAdvice, c->language), textPage);
    fputs("\n", stdout);
  }
  fputs(kSummaryHeading, stdout);
  printf("Memory modules examined: %u\n", t.memoryModulesExamined);
  if (FormatSummaryTotals(text, sizeof text, t)) fputs(text, stdout);
  if (c->atRestart) printf("Restart needed: %u file(s) are removed at the next restart\n", c->atRestart);
  if (gStop) printf("Stopped: the rest was not examined\n");
  printf("Time: %.3f s\n", seconds);
  fflush(stdout);

  char buffer[1024];
  JsonLine line;
  BeginSummaryJson(&line, buffer, sizeof buffer, t, 1);
  AddJsonNumber(&line, "at_restart", c->atRestart);
  AddJsonNumber(&line, "restart_needed", c->atRestart ? 1 : 0);
  AddJsonNumber(&line, "stopped", gStop ? 1 : 0);
  AddJsonFixed(&line, "seconds", seconds, 3);
  AddJsonNumber(&line, "exit_status", static_cast<uint64_t>(status));
  WriteJson(c, &line);
}

void SetUpConsole(Console* c, const ScanOptions* options) {
  c->options = options;
  c->language = ChooseLanguageIndex();
  if (c->language < 0 || c->language >= kLanguageCount) c->language = kLanguageEnglish;
  c->outputCodePage = GetConsoleOutputCP();
  if (c->outputCodePage == 0) c->outputCodePage = GetOEMCP();
  DWORD mode = 0;
  c->progress = !options->quiet && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
  c->quarantine.manifest = INVALID_HANDLE_VALUE;
}

int Scan(const ScanOptions& options) {
  FsRedirectionOff trueNames;  // under WOW64, every file under its true path
  static Console console;
  Console* c = &console;
  SetUpConsole(c, &options);
  LARGE_INTEGER frequency, started, ended;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart == 0) frequency.QuadPart = 1;
  QueryPerformanceCounter(&started);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  if (options.jsonPath) {
    c->json = fopen(options.jsonPath, "wb");
    if (!c->json) {
      Complain(c, options.jsonPath, "cannot be written");
      return kExitTrouble;
    }
  }
  if (options.action == kActionQuarantine && !OpenQuarantineFolder(options.quarantineDirectory, &c->quarantine)) {
    Complain(c, options.quarantineDirectory, "no quarantine folder can be made there");
    if (c->json) fclose(c->json);
    return kExitTrouble;
  }

  ScanCounters& counters = gScanCounters;
  memset(&counters, 0, sizeof counters);
  BeginAutorunRestoreSection();
  ScanReport report{OnProgress, nullptr, OnResultRow, nullptr, OnStopRequested, c};

  if (!options.noMemory && !gStop) {
    c->inMemoryPass = 1;
    ScanMemory(&report, options.action != kActionLeave);
    c->inMemoryPass = 0;
    if (c->memory.removed) Sleep(kAfterMemoryPauseMs);
  }

  static Walk walk;
  walk.console = c;
  walk.pass = ActionFilePass(&report, options.action, QuarantinePort, c);
  walk.skipped = options.action == kActionQuarantine ? c->quarantine.directory : nullptr;
  if (!gStop) {
    if (options.pathCount == 0) {
      ScanFixedDrivesWith(OnWalkFile, &walk);
    } else {
      // No estimate over named folders: the position carries no share.
      walk.pass.run.share = nullptr;
      for (uint32_t i = 0; i < options.pathCount && !gStop; ++i) ScanPath(&walk, options.paths[i]);
    }
  }
  if (options.allUsers && options.action != kActionLeave) CleanAllUsers(c);

  ScanTotals totals = walk.pass.run.totals;
  totals.memoryModulesExamined = counters.memoryModulesScanned;
  totals.memoryDetections = c->memory.detections;
  totals.detections += c->memory.detections;
  totals.removed += c->memory.removed;
  totals.failures += c->memory.failures;
  totals.leftInPlace += c->memory.leftInPlace;
  int status = ExitStatusOf(totals, c->troubles + (gStop ? 1 : 0));
  if (totals.failures && LacksAdministratorRights())
    Complain(c, "not all detections removed", "this account lacks administrator rights: run it as an administrator");
  QueryPerformanceCounter(&ended);
  PrintSummary(c, totals, status,
               static_cast<double>(ended.QuadPart - started.QuadPart) / static_cast<double>(frequency.QuadPart));
  CloseQuarantineFolder(&c->quarantine);
  if (c->json) fclose(c->json);
  return status;
}

// quellix-scan.exe restore DIR: every manifest line put back in order.
int Restore(const ScanOptions& options) {
  FsRedirectionOff trueNames;  // the manifest names true paths
  static Console console;
  Console* c = &console;
  SetUpConsole(c, &options);
  char manifestPath[MAX_PATH];
  const char* directory = options.quarantineDirectory;
  size_t length = strlen(directory);
  snprintf(manifestPath, sizeof manifestPath, "%s%smanifest.jsonl", directory,
           length && directory[length - 1] == '\\' ? "" : "\\");
  FILE* manifest = fopen(manifestPath, "rb");
  if (!manifest) {
    Complain(c, manifestPath, "cannot be read");
    return kExitTrouble;
  }
  FILE* json = options.jsonPath ? fopen(options.jsonPath, "wb") : nullptr;
  if (options.jsonPath && !json) {
    Complain(c, options.jsonPath, "cannot be written");
    fclose(manifest);
    return kExitTrouble;
  }
  uint32_t restored = 0, left = 0;
  static char text[kLineCapacity];
  while (fgets(text, sizeof text, manifest)) {
    if (text[0] == '\n' || text[0] == '\r') continue;
    char path[MAX_PATH];
    RestoreRowKind kind =
        static_cast<RestoreRowKind>(RestoreWin32ManifestLine(directory, text, options.force, path));
    if (kind == kRestoreRowDone) {
      ++restored;
    } else {
      ++left;
    }
    char line[kLineCapacity];
    if (FormatRestoreRowText(line, sizeof line, path, kind, nullptr)) Say(c, line);
    char utf8[kLineCapacity];
    if (!AnsiToUtf8(path, utf8, sizeof utf8)) utf8[0] = 0;
    char buffer[kLineCapacity * 2];
    if (json && FormatRestoreRowJson(buffer, sizeof buffer, utf8, kind)) fputs(buffer, json);
  }
  fclose(manifest);
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
  static ScanOptions options;
  char reason[256];
  if (!ParseScanOptions(argc, argv, &options, reason, sizeof reason, kFlavourLiveSystem)) {
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kLiveScanProgramName, reason,
            kLiveScanProgramName);
    return kExitUsage;
  }
  switch (options.command) {
    case kCommandHelp:
      fputs(kLiveScanHelpText, stdout);
      return 0;
    case kCommandVersion:
      printf("%s %s\n", kLiveScanProgramName, kScanVersion);
      return 0;
    case kCommandRestore:
      return Restore(options);
    case kCommandScan:
    default:
      return Scan(options);
  }
}
