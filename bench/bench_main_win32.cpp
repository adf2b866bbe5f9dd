// The benchmark program, run under Wine by bench/run. It times, inside one
// process and with QueryPerformanceCounter (so Wine's start-up is never part
// of a figure):
//   files   the file pass, a bare walk and the straightforward row-by-row
//           check over every fixed drive of its prefix, run after run;
//   memory  the memory pass against a bare OpenProcess sweep of the same ids,
//           with and without extra processes;
//   probe   CheckFile on a 1536-byte candidate that matches no row;
//   sleep   an idle process for the memory sweep to meet.
// Output is one line per figure, "kind key=value ...", read by bench/report.py.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/straightforward_check_win32.h"
#include "engine/file_check_win32.h"
#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "scan/progress.h"
#include "scan/scan_report.h"
#include "scan/testing/recording_report.h"
#include "sys/handle_win32.h"
#include "sys/system_queries_win32.h"
#include "walker/file_list_win32.h"

namespace {

// ---- timing -----------------------------------------------------------------

double Now() {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// ---- bytes read, counted at the program's own import of ReadFile ------------
// Wine reports no I/O counters, so the engine's reads are counted by sending
// this program's calls to ReadFile through a counting stand-in.

typedef BOOL(WINAPI* ReadFileFunction)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
ReadFileFunction gRealReadFile = nullptr;
unsigned long long gBytesRead = 0;
unsigned long long gReadCalls = 0;

BOOL WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD wanted, LPDWORD got, LPOVERLAPPED overlapped) {
  BOOL ok = gRealReadFile(file, buffer, wanted, got, overlapped);
  gReadCalls += 1;
  if (ok && got) gBytesRead += *got;
  return ok;
}

int HookReadFile() {
  BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return 0;
  for (const IMAGE_IMPORT_DESCRIPTOR* library =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name; ++library) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + library->Name), "kernel32.dll") != 0) continue;
    if (library->OriginalFirstThunk == 0) continue;
    const IMAGE_THUNK_DATA* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "ReadFile") != 0) continue;
      DWORD oldProtection = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &oldProtection)) return 0;
      gRealReadFile = reinterpret_cast<ReadFileFunction>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&CountingReadFile);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, oldProtection, &oldProtection);
      return 1;
    }
  }
  return 0;
}

unsigned long long IoCounterReadBytes() {
  IO_COUNTERS counters;
  std::memset(&counters, 0, sizeof counters);
  if (!GetProcessIoCounters(GetCurrentProcess(), &counters)) return 0;
  return counters.ReadTransferCount;
}

// ---- the report: a recorder that no one reads during the run ----------------

struct Report {
  RecordingReport recording{};
  ScanReport table{};
};

void ResetRun(Report* report) {
  report->recording = RecordingReport{};
  report->table = RecordingScanReport(&report->recording);
}

// The program's English words for the statuses the file pass reports.
const char* StatusWord(ScanRowStatus status) {
  return status == kRowRemoved || status == kRowScheduledAtRestart ? "Deleted" : "Delete failed";
}

void PrintRows(const char* contender, const Report& report) {
  for (const RecordedRow& row : report.recording.rows)
    std::printf("row contender=%s\t%s\t%s\t%s\n", contender, row.path.c_str(), row.detectionName.c_str(),
                StatusWord(row.status));
}

void PrintMemory(const char* when) {
  PROCESS_MEMORY_COUNTERS memory;
  std::memset(&memory, 0, sizeof memory);
  memory.cb = sizeof memory;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) return;
  std::printf("memory when=%s peak_working_set=%llu working_set=%llu peak_pagefile=%llu pagefile=%llu\n", when,
              static_cast<unsigned long long>(memory.PeakWorkingSetSize),
              static_cast<unsigned long long>(memory.WorkingSetSize),
              static_cast<unsigned long long>(memory.PeakPagefileUsage),
              static_cast<unsigned long long>(memory.PagefileUsage));
}

// ---- specimens: kept in memory and put back before each run -----------------
// The file pass and the straightforward check remove what they detect.

struct Specimen {
  std::string path;
  std::vector<unsigned char> bytes;
};

int ReadWholeFile(const char* path, std::vector<unsigned char>* bytes) {
  OwnedHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return 0;
  DWORD size = GetFileSize(file.get(), nullptr);
  int ok = 0;
  if (size != INVALID_FILE_SIZE) {
    bytes->assign(size, 0);
    DWORD got = 0;
    ok = size == 0 || (ReadFile(file.get(), bytes->data(), size, &got, nullptr) && got == size);
  }
  return ok;
}

int WriteWholeFile(const char* path, const std::vector<unsigned char>& bytes) {
  OwnedHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return 0;
  DWORD written = 0;
  int ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  return file.close() && ok;
}

int RestoreSpecimens(const std::vector<Specimen>& specimens) {
  int ok = 1;
  for (const Specimen& specimen : specimens)
    if (GetFileAttributesA(specimen.path.c_str()) == INVALID_FILE_ATTRIBUTES)
      ok &= WriteWholeFile(specimen.path.c_str(), specimen.bytes);
  return ok;
}

// ---- the bare walk: the same drives, a callback that does nothing -----------

unsigned long gBareFiles = 0;

int NothingToDo(void*, const WalkEntry*) {
  gBareFiles += 1;
  return 1;
}

void BareWalkFixedDrives() {
  FixedDrives drives = ListFixedDrives();
  FileList walk;
  for (uint32_t i = 0; i < drives.count; ++i) {
    walk.Open(drives.roots[i], 1, WalkVisitor{NothingToDo, nullptr, nullptr});
    walk.Close();
  }
}

// The file pass's reporting alone (path, progress, status line), with no
// check: splits the pass's cost over the bare walk into reports and the
// checks of candidates.
struct ReportOnlyRun {
  const ScanReport* report;
  ProgressEstimate estimate;
};

int ReportOnlyFile(void* context, const WalkEntry* entry) {
  ReportOnlyRun* run = static_cast<ReportOnlyRun*>(context);
  const FindRecord* record = static_cast<const FindRecord*>(entry->native);
  FileProgress progress = AdvanceFileProgress(&run->estimate, record->size);
  if (progress.moveBar)
    ReportProgress(run->report, ScanPosition{run->estimate.filesCounted, run->estimate.bytesDone, progress.position});
  if (progress.showPath) ReportCurrentPath(run->report, entry->path);
  return ReportStopRequested(run->report) ? 0 : 1;
}

int GoOn(void*, const char*, uint32_t) { return 1; }

CandidateOutcome CheckRowByRow(const SignatureSet&, const char* path, char* nameOut, FileIdentity* identity) {
  return CheckFileRowByRowUnidentified(path, nameOut, identity) ? kCandidateMatched : kCandidateClean;
}

struct Outcome {
  double seconds;
  unsigned long files;
  unsigned long detections;
  unsigned long long bytesRead;
};

enum class Contender { Pass, Walk, Check, Report };

const char* ContenderName(Contender contender) {
  switch (contender) {
    case Contender::Pass: return "pass";
    case Contender::Walk: return "walk";
    case Contender::Check: return "check";
    case Contender::Report: return "report";
  }
  return "?";
}

Outcome RunContender(Contender contender, Report* report) {
  ResetRun(report);
  Win32Scan scan = FixedDrivesScan();
  ScanSession session;
  BeginScanSession(&session, BuiltInSignatureSet(), kActionRemove, Win32ScanPorts(&scan), &report->table,
                   kStatusLineInterval);
  ReportOnlyRun reportOnly{&report->table, {}};
  WalkVisitor reportOnlyVisitor{ReportOnlyFile, GoOn, &reportOnly};
  gBareFiles = 0;
  gBytesRead = 0;
  double start = Now();
  switch (contender) {
    case Contender::Pass: SessionWalk(&session); break;
    case Contender::Walk: BareWalkFixedDrives(); break;
    case Contender::Check:
      scan.check = CheckRowByRow;
      session.checkEveryFile = 1;
      SessionWalk(&session);
      break;
    case Contender::Report: Win32Walk(&scan, &reportOnlyVisitor); break;
  }
  Outcome outcome;
  outcome.seconds = Now() - start;
  outcome.files = contender == Contender::Walk     ? gBareFiles
                  : contender == Contender::Report ? reportOnly.estimate.filesCounted
                                                   : static_cast<unsigned long>(session.ledger.filesExamined);
  outcome.detections = session.ledger.fileDetections;
  EndScanSession(&session);
  outcome.bytesRead = gBytesRead;
  return outcome;
}

void PrintOutcome(Contender contender, int run, const Outcome& outcome) {
  std::printf("run contender=%s run=%d seconds=%.6f files=%lu detections=%lu bytes_read=%llu\n",
              ContenderName(contender), run, outcome.seconds, outcome.files, outcome.detections, outcome.bytesRead);
  std::fflush(stdout);
}

// files RUNS [--check-runs N] [--specimen PATH]... [--forge ROW SEED PATH]...
int FilesCommand(int argc, char** argv) {
  if (argc < 3) return 2;
  int runs = std::atoi(argv[2]);
  int checkRuns = runs;
  std::vector<Specimen> specimens;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check-runs") == 0 && i + 1 < argc) {
      checkRuns = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--specimen") == 0 && i + 1 < argc) {
      Specimen specimen;
      specimen.path = argv[++i];
      if (!ReadWholeFile(specimen.path.c_str(), &specimen.bytes)) {
        std::fprintf(stderr, "bench: cannot read specimen %s\n", specimen.path.c_str());
        return 1;
      }
      specimens.push_back(specimen);
    } else if (std::strcmp(argv[i], "--forge") == 0 && i + 3 < argc) {
      uint32_t row = static_cast<uint32_t>(std::atoi(argv[i + 1]));
      uint32_t seed = static_cast<uint32_t>(std::atoi(argv[i + 2]));
      Specimen specimen;
      specimen.path = argv[i + 3];
      i += 3;
      SignatureTable table = BuiltInSignatures();
      if (row >= table.count || !ForgeSpecimenForRow(table.rows[row], seed, &specimen.bytes) ||
          !WriteWholeFile(specimen.path.c_str(), specimen.bytes)) {
        std::fprintf(stderr, "bench: cannot forge row %u at %s\n", row, specimen.path.c_str());
        return 1;
      }
      specimens.push_back(specimen);
    } else {
      std::fprintf(stderr, "bench: unknown argument %s\n", argv[i]);
      return 2;
    }
  }

  Report report;
  PrintMemory("before");
  // The first pass warms every cache and is the one whose rows and memory are
  // reported: nothing else has walked in this process before it.
  Outcome warm = RunContender(Contender::Pass, &report);
  PrintMemory("after-pass");
  PrintRows("pass", report);
  std::printf("warmup contender=pass seconds=%.6f files=%lu detections=%lu\n", warm.seconds, warm.files,
              warm.detections);
  int status = RestoreSpecimens(specimens) ? 0 : 1;

  // Contenders take turns within each run, so drift in the machine's load
  // spreads over all of them alike.
  for (int run = 1; run <= runs && status == 0; ++run) {
    const Contender order[] = {Contender::Walk, Contender::Pass, Contender::Report, Contender::Check};
    for (Contender contender : order) {
      if (contender == Contender::Check && run > checkRuns) continue;
      Outcome outcome = RunContender(contender, &report);
      PrintOutcome(contender, run, outcome);
      if (run == 1 && contender == Contender::Check) PrintRows("check", report);
      if (!RestoreSpecimens(specimens)) status = 1;
    }
  }
  PrintMemory("end");
  return status;
}

// ---- memory pass and the bare sweep -----------------------------------------

struct Sweep {
  double seconds;
  unsigned long answered;  // ids that OpenProcess accepted
};

Sweep BareOpenProcessSweep() {
  Sweep sweep = {0, 0};
  double start = Now();
  for (DWORD id = 0; id < kSweepEndId; ++id) {
    OwnedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, id));
    if (process.valid()) sweep.answered += 1;
  }
  sweep.seconds = Now() - start;
  return sweep;
}

// The sweep plus one module snapshot walk per process (ids come in fours
// per process, so every fourth id): what listing modules adds to the sweep,
// without any check.
Sweep SnapshotSweep() {
  Sweep sweep = {0, 0};
  double start = Now();
  MODULEENTRY32 module;
  for (DWORD id = 0; id < kSweepEndId; ++id) {
    OwnedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, id));
    if (!process.valid()) continue;
    if ((id & 3) == 0) {
      OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id));
      if (snapshot.valid()) {
        sweep.answered += 1;
        module.dwSize = sizeof module;
        for (BOOL more = Module32First(snapshot.get(), &module); more; more = Module32Next(snapshot.get(), &module)) {
        }
      }
    }
  }
  sweep.seconds = Now() - start;
  return sweep;
}

int StartSleepers(int count, std::vector<PROCESS_INFORMATION>* started) {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self) return 0;
  char commandLine[MAX_PATH + 16];
  std::snprintf(commandLine, sizeof commandLine, "\"%s\" sleep", self);
  for (int i = 0; i < count; ++i) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(self, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
      return 0;
    OwnedHandle thread(process.hThread);
    started->push_back(process);
  }
  // Each sleeper is up once its loader has finished; give them that time.
  Sleep(1500);
  for (const PROCESS_INFORMATION& process : *started)
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_TIMEOUT) return 0;
  return 1;
}

void StopSleepers(std::vector<PROCESS_INFORMATION>* started) {
  for (const PROCESS_INFORMATION& process : *started) {
    OwnedHandle owner(process.hProcess);
    TerminateProcess(owner.get(), 0);
    WaitForSingleObject(owner.get(), 5000);
  }
  started->clear();
}

// memory RUNS EXTRA...   (one series per count of extra processes)
int MemoryCommand(int argc, char** argv) {
  if (argc < 4) return 2;
  int runs = std::atoi(argv[2]);
  Report report;
  int status = 0;
  for (int i = 3; i < argc && status == 0; ++i) {
    int extra = std::atoi(argv[i]);
    std::vector<PROCESS_INFORMATION> sleepers;
    if (!StartSleepers(extra, &sleepers)) {
      std::fprintf(stderr, "bench: cannot start %d sleepers\n", extra);
      status = 1;
    }
    BareOpenProcessSweep();  // warm-up
    for (int run = 1; run <= runs && status == 0; ++run) {
      Sweep sweep = BareOpenProcessSweep();
      std::printf("run contender=openprocess extra=%d run=%d seconds=%.6f answered=%lu\n", extra, run,
                  sweep.seconds, sweep.answered);
      Sweep snapshots = SnapshotSweep();
      std::printf("run contender=snapshots extra=%d run=%d seconds=%.6f processes=%lu\n", extra, run,
                  snapshots.seconds, snapshots.answered);
      ResetRun(&report);
      Win32Scan scan = FixedDrivesScan();
      ScanSession session;
      BeginScanSession(&session, BuiltInSignatureSet(), kActionRemove, Win32ScanPorts(&scan), &report.table, 0);
      double start = Now();
      ScanMemory(&session);
      double seconds = Now() - start;
      std::printf("run contender=memorypass extra=%d run=%d seconds=%.6f modules=%u detections=%u\n", extra, run,
                  seconds, session.ledger.memoryModulesExamined, session.ledger.memoryDetections);
      EndScanSession(&session);
      std::fflush(stdout);
    }
    StopSleepers(&sleepers);
  }
  return status;
}

// ---- CheckFile on one 1536-byte candidate that matches no row ---------------

typedef int (*CheckFunction)(const char*, char*);

struct Probe {
  const char* contender;
  CheckFunction check;
  std::vector<double> times;
  unsigned long long bytes;
  unsigned long long reads;
  unsigned long long ioBytes;
  int matched;
};

// The probes take turns, call by call, so that the machine's load falls
// on both alike. 1 when either matched (then the file is no decoy).
int ProbeBoth(Probe* probes, int count, const char* path, int iterations) {
  char name[64];
  int matched = 0;
  for (int p = 0; p < count; ++p) probes[p].check(path, name);  // warm
  for (int i = 0; i < iterations; ++i) {
    for (int p = 0; p < count; ++p) {
      Probe& probe = probes[p];
      unsigned long long bytesBefore = gBytesRead, readsBefore = gReadCalls, ioBefore = IoCounterReadBytes();
      double start = Now();
      probe.matched |= probe.check(path, name);
      probe.times.push_back(Now() - start);
      probe.bytes += gBytesRead - bytesBefore;
      probe.reads += gReadCalls - readsBefore;
      probe.ioBytes += IoCounterReadBytes() - ioBefore;
    }
  }
  for (int p = 0; p < count; ++p) {
    Probe& probe = probes[p];
    std::sort(probe.times.begin(), probe.times.end());
    unsigned long long calls = static_cast<unsigned long long>(iterations);
    std::printf("probe contender=%s calls=%d median_seconds=%.9f min_seconds=%.9f max_seconds=%.9f "
                "bytes_per_call=%llu reads_per_call=%llu io_counter_bytes_per_call=%llu matched=%d\n",
                probe.contender, iterations, probe.times[probe.times.size() / 2], probe.times.front(),
                probe.times.back(), probe.bytes / calls, probe.reads / calls, probe.ioBytes / calls, probe.matched);
    matched |= probe.matched;
  }
  return matched;
}

// The system calls one CheckFile makes, each alone: where a candidate's cost goes.
int GetAttributesOnly(const char* path, char*) {
  GetFileAttributesA(path);
  return 0;
}

int OpenSizeClose(const char* path, char*) {
  OwnedHandle file(OpenForReading(path, nullptr));
  if (!file.valid()) return 0;
  GetFileSize(file.get(), nullptr);
  return 0;
}

int SetAttributesOnly(const char* path, char*) {
  SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);
  return 0;
}

// probe ITERATIONS
int ProbeCommand(int argc, char** argv) {
  if (argc < 3) return 2;
  int iterations = std::max(1, std::atoi(argv[2]));
  char directory[MAX_PATH];
  DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length + 32 >= sizeof directory) return 1;
  std::string path = std::string(directory) + "qx-probe-1536.bin";

  // A decoy of the first 1536-byte row: that size, an executable's first
  // bytes, and no row's sums.
  SignatureTable table = BuiltInSignatures();
  uint32_t row = 0;
  while (row < table.count && table.rows[row].fileSize != 1536) ++row;
  std::vector<unsigned char> bytes;
  if (row == table.count || !ForgeDecoyForRow(table.rows[row], 7, &bytes) || !WriteWholeFile(path.c_str(), bytes))
    return 1;
  uint32_t rowsOfSize = 0;
  for (uint32_t i = 0; i < table.count; ++i) rowsOfSize += table.rows[i].fileSize == 1536;
  std::printf("probe-file size=%u rows_of_size=%u\n", static_cast<unsigned>(bytes.size()), rowsOfSize);
  Probe probes[] = {{"checkfile", CheckFile, {}, 0, 0, 0, 0},
                    {"rowbyrow", CheckFileRowByRow, {}, 0, 0, 0, 0},
                    {"getattributes", GetAttributesOnly, {}, 0, 0, 0, 0},
                    {"openclose", OpenSizeClose, {}, 0, 0, 0, 0},
                    {"setattributes", SetAttributesOnly, {}, 0, 0, 0, 0}};
  int matched = ProbeBoth(probes, sizeof probes / sizeof probes[0], path.c_str(), iterations);
  DeleteFileA(path.c_str());
  // A match would mean the decoy is not one: the figures describe another case.
  return matched ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "sleep") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (!HookReadFile()) std::fprintf(stderr, "bench: reads are not counted (ReadFile import not found)\n");
  if (argc >= 2 && std::strcmp(argv[1], "files") == 0) return FilesCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "memory") == 0) return MemoryCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "probe") == 0) return ProbeCommand(argc, argv);
  std::fprintf(stderr,
               "usage: bench files RUNS [--check-runs N] [--specimen PATH]... [--forge ROW SEED PATH]...\n"
               "       bench memory RUNS EXTRA...\n"
               "       bench probe ITERATIONS\n"
               "       bench sleep\n");
  return 2;
}
