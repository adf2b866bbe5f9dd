// Test harness for whole scan runs under Wine: a window with the dialog's
// three report controls, RunScan on a worker thread while this thread pumps
// messages, and the summary boxes read and dismissed as a person would.
// Also helpers for planting forged files, Run values and helper processes.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "scan/scan_counters.h"
#include "ui/scan_context.h"

namespace scantest {

struct Row {
  std::string path, name, status;
};

struct Box {
  std::string caption, text;
  bool ownedByWindow;    // owner is the harness's top-level window
  bool afterScanDone;    // WM_SCAN_DONE had arrived when the box showed
};

struct RunRecord {
  std::vector<Row> rows;
  std::vector<Box> boxes;
  std::vector<int> positions;             // every progress position set, in order
  std::vector<std::string> statusTexts;   // every status text set, in order
  bool scanDone = false;
  bool finished = false;                  // the thread ended within the time limit
  ScanCounters counters{};
};

class ScanWindow {
 public:
  ScanWindow();
  ~ScanWindow();
  ScanWindow(const ScanWindow&) = delete;
  ScanWindow& operator=(const ScanWindow&) = delete;

  ScanContext* context() { return context_; }
  // Called on this thread for each status text as it is set (may raise the stop flag).
  void OnStatusText(std::function<void(const std::string&)> hook) { statusHook_ = std::move(hook); }

  // Runs `body` (RunScan by default) on a worker thread with English texts,
  // pumping messages and answering boxes until the thread ends.
  RunRecord Run(std::function<void(ScanContext*)> body = nullptr, DWORD timeoutMs = 240000);
  // Rows of the results list as they are now.
  std::vector<Row> Rows() const;
  void ClearRows();

 private:
  static LRESULT CALLBACK MainProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK ProgressProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK StatusProc(HWND, UINT, WPARAM, LPARAM);

  HWND main_ = nullptr, status_ = nullptr, progress_ = nullptr, list_ = nullptr;
  WNDPROC progressProc_ = nullptr, statusProc_ = nullptr;
  ScanContext* context_ = nullptr;
  RunRecord* record_ = nullptr;
  std::function<void(const std::string&)> statusHook_;
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
bool SetRunValue(const std::string& name, const std::string& data);
bool HasRunValue(const std::string& name);
void DeleteRunValue(const std::string& name);

// Helper processes, terminated on destruction unless already gone.
struct Process {
  HANDLE handle = nullptr;
  DWORD id = 0;
};
Process StartProcess(const std::string& commandLine, const std::string& directory);
// Starts the file holder on `path`; returns once the file is held.
Process HoldFile(const std::string& path);
void Stop(Process* process);
bool StillRunning(const Process& process);
DWORD ExitCode(const Process& process);

// The breadth-first order the walker delivers: every file path under `root`
// (ending in a backslash), as FindFirstFileA lists them.
std::vector<std::string> WalkOrder(const std::string& root);

// HKLM's pending renames as one text (entries joined by '|'), or "".
std::string PendingRenames();

}  // namespace scantest
