// Test harness for whole scan runs under Wine: RunScan (or one pass) on a
// worker thread reporting to the recording report, the way any front end
// would see the run. Also helpers for planting forged files, Run values and
// helper processes.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "scan/progress.h"
#include "scan/scan_report.h"
#include "walker/walk_visitor.h"

namespace scantest {

// A row with its status in the program's English words: "Deleted" for a
// removal (now or at restart), "Delete failed", and the console scanners'
// words for the statuses only they use.
struct Row {
  std::string path, name, status;
};
const char* StatusWord(ScanRowStatus status);

struct RunRecord {
  std::vector<Row> rows;
  std::vector<int> positions;             // every known share reported, in order
  std::vector<std::string> statusTexts;   // every current path (status text) reported, in order
  std::vector<ScanTotals> ends;           // the run's end, as reported (once per run)
  bool finished = false;                  // the thread ended within the time limit
  ScanTotals counters{};                  // the last end's ledger (zero when none)
  // FsRedirectionOff owners alive on the scan thread at the first row and at
  // the end (-1: not reached): what runs inside the redirection's scope.
  int redirectionOwnersAtFirstRow = -1;
  int redirectionOwnersAtEnd = -1;
};

// One pass on its own, the way the program runs it: a session over every
// fixed drive with the program's ports, ended with its ledger. `filter`
// (may be null) sees each file first: 1 passes it on, 0 ends the walk.
// `estimate` (may be null) receives the progress estimate at the end.
void MemoryPassOnly(const ScanReport* report);
void FilePassOnly(const ScanReport* report, int checkEveryFile = 0, int (*filter)(const WalkEntry*) = nullptr,
                  ProgressEstimate* estimate = nullptr);

class ScanRecorder {
 public:
  ScanRecorder() = default;
  ScanRecorder(const ScanRecorder&) = delete;
  ScanRecorder& operator=(const ScanRecorder&) = delete;

  // Called on the scan thread for each status text as it is reported (may call RequestStop).
  void OnStatusText(std::function<void(const std::string&)> hook) { statusHook_ = std::move(hook); }
  // The stop question is answered "stop" from now until ClearStop.
  void RequestStop() { stop_.store(true); }
  void ClearStop() { stop_.store(false); }

  // Runs `body` (RunScan by default) on a worker thread with the recording
  // report and waits for it.
  RunRecord Run(std::function<void(const ScanReport*)> body = nullptr, DWORD timeoutMs = 240000);

 private:
  static void PathSeen(void* context, const char* path);
  static int StopAsked(void* context);

  std::function<void(const std::string&)> statusHook_;
  std::atomic<bool> stop_{false};
  ScanReport recording_{};
  int redirectionOwnersAtFirstRow_ = -1;  // written on the scan thread, read after it ended
  int redirectionOwnersAtEnd_ = -1;
};

// Files, directories and forged content (ANSI paths).
std::vector<unsigned char> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);
bool MakeDirectories(const std::string& path);
void RemoveTree(const std::string& path);
std::vector<unsigned char> Specimen(uint32_t row, uint32_t seed);
std::vector<unsigned char> Decoy(uint32_t row, uint32_t seed);
// A copy of `image` padded and patched to carry `row`'s signature.
std::vector<unsigned char> PaddedSpecimen(uint32_t row, const std::vector<unsigned char>& image);
bool Exists(const std::string& path);
// Directory of this test program, ending in a backslash.
std::string ProgramDirectory();

// Values of HKCU's Run key.
bool SetRunValue(const std::string& name, const std::string& data, HKEY root = HKEY_CURRENT_USER);
bool HasRunValue(const std::string& name, HKEY root = HKEY_CURRENT_USER);
void DeleteRunValue(const std::string& name, HKEY root = HKEY_CURRENT_USER);

// Helper processes, terminated on destruction unless already gone.
struct Process {
  HANDLE handle = nullptr;
  DWORD id = 0;
};
Process StartProcess(const std::string& commandLine, const std::string& directory);
// Starts the file holder on `path`; returns once the file is held
// (`exclusive`: not even for reading).
Process HoldFile(const std::string& path, bool exclusive = false);
void Stop(Process* process);
bool StillRunning(const Process& process);
DWORD ExitCode(const Process& process);

// The breadth-first order the walker delivers: every file path under `root`
// (ending in a backslash), as FindFirstFileA lists them.
std::vector<std::string> WalkOrder(const std::string& root);

// HKLM's pending renames as one text (entries joined by '|'), or "".
std::string PendingRenames();

// A file's bytes as a string ("" when it cannot be read).
std::string Slurp(const std::string& path);

// A console program run to its end: exit status (0xFFFFFFFF when it did not
// start) and standard output and error together.
struct ConsoleRun {
  DWORD status = 0xFFFFFFFF;
  std::string output;
};
// Runs `commandLine` in C:\ with its output in `outputPath`, waiting up to
// `timeoutMs`; `during` (if given) is called once it has started.
ConsoleRun RunConsoleProgram(const std::string& commandLine, const std::string& outputPath, DWORD timeoutMs,
                             DWORD flags = 0, const std::function<void(const PROCESS_INFORMATION&)>& during = nullptr);

}  // namespace scantest
