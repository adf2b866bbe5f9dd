// Test harness for whole scan runs (see scan_harness_win32.h).
#include "scan/tests/scan_harness_win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "scan/scan_run_win32.h"
#include "scan/testing/recording_report.h"
#include "sys/fs_redirection_win32.h"

namespace scantest {
namespace {

struct ThreadArgs {
  std::function<void(const ScanReport*)> body;
  const ScanReport* report;
};

DWORD WINAPI ScanThread(void* raw) {
  ThreadArgs* args = static_cast<ThreadArgs*>(raw);
  if (args->body) {
    args->body(args->report);
  } else {
    RunScan(args->report);
  }
  return 0;
}

struct FilteredWalk {
  WalkVisitor inner;
  int (*filter)(const WalkEntry*);
};

int FilteredFile(void* context, const WalkEntry* entry) {
  FilteredWalk* walk = static_cast<FilteredWalk*>(context);
  if (!walk->filter(entry)) return 0;
  return walk->inner.file(walk->inner.context, entry);
}

int FilteredUnreadable(void* context, const char* path, uint32_t error) {
  FilteredWalk* walk = static_cast<FilteredWalk*>(context);
  return walk->inner.unreadable(walk->inner.context, path, error);
}

}  // namespace

void MemoryPassOnly(const ScanReport* report) {
  Win32Scan scan = FixedDrivesScan();
  ScanSession session;
  BeginScanSession(&session, BuiltInSignatureSet(), kActionRemove, Win32ScanPorts(&scan), report, kStatusLineInterval);
  ScanMemory(&session);
  EndScanSession(&session);
}

void FilePassOnly(const ScanReport* report, int checkEveryFile, int (*filter)(const WalkEntry*),
                  ProgressEstimate* estimate) {
  Win32Scan scan = FixedDrivesScan();
  ScanSession session;
  BeginScanSession(&session, BuiltInSignatureSet(), kActionRemove, Win32ScanPorts(&scan), report, kStatusLineInterval);
  session.checkEveryFile = checkEveryFile;
  if (filter) {
    FilteredWalk walk{SessionWalkVisitor(&session), filter};
    WalkVisitor visitor{FilteredFile, FilteredUnreadable, &walk};
    Win32Walk(&scan, &visitor);
  } else {
    SessionWalk(&session);
  }
  EndScanSession(&session);
  if (estimate) *estimate = scan.progress;
}

const char* StatusWord(ScanRowStatus status) {
  switch (status) {
    case kRowRemoved:
    case kRowScheduledAtRestart: return "Deleted";
    case kRowRemovalFailed: return "Delete failed";
    case kRowLeftInPlace: return "left in place";
    case kRowQuarantined: return "quarantined";
    case kRowNotExamined: return "not examined";
  }
  return "?";
}

// The recorder's own entries, with the path hook and the stop flag on top.
void ScanRecorder::PathSeen(void* context, const char* path) {
  ScanRecorder* self = static_cast<ScanRecorder*>(context);
  self->recording_.currentPath(self->recording_.context, path);
  if (self->statusHook_) self->statusHook_(path);
}

int ScanRecorder::StopAsked(void* context) {
  ScanRecorder* self = static_cast<ScanRecorder*>(context);
  self->recording_.stopRequested(self->recording_.context);
  return self->stop_.load() ? 1 : 0;
}

RunRecord ScanRecorder::Run(std::function<void(const ScanReport*)> body, DWORD timeoutMs) {
  RecordingReport recording{};
  recording_ = RecordingScanReport(&recording);
  ScanReport report = recording_;
  report.currentPath = PathSeen;
  report.stopRequested = StopAsked;
  report.context = this;
  // The recorder's entries that need no wrapping take its context.
  struct Forward {
    static void Progress(void* c, const ScanPosition* p) {
      ScanRecorder* self = static_cast<ScanRecorder*>(c);
      self->recording_.progress(self->recording_.context, p);
    }
    static void ResultRow(void* c, const ScanRow* row) {
      ScanRecorder* self = static_cast<ScanRecorder*>(c);
      if (self->redirectionOwnersAtFirstRow_ < 0) self->redirectionOwnersAtFirstRow_ = FsRedirectionOffOwners();
      self->recording_.resultRow(self->recording_.context, row);
    }
    static void RunEnded(void* c, const ScanTotals* totals) {
      ScanRecorder* self = static_cast<ScanRecorder*>(c);
      self->redirectionOwnersAtEnd_ = FsRedirectionOffOwners();
      self->recording_.runEnded(self->recording_.context, totals);
    }
    static void ValueDeleted(void* c, const RunValueDeletion* deletion) {
      ScanRecorder* self = static_cast<ScanRecorder*>(c);
      self->recording_.runValueDeleted(self->recording_.context, deletion);
    }
    static void Trouble(void* c, RunValueTrouble kind, const char* where, const char* reason) {
      ScanRecorder* self = static_cast<ScanRecorder*>(c);
      self->recording_.registryTrouble(self->recording_.context, kind, where, reason);
    }
  };
  report.progress = Forward::Progress;
  report.resultRow = Forward::ResultRow;
  report.runEnded = Forward::RunEnded;
  report.runValueDeleted = Forward::ValueDeleted;
  report.registryTrouble = Forward::Trouble;

  RunRecord record;
  redirectionOwnersAtFirstRow_ = redirectionOwnersAtEnd_ = -1;
  ThreadArgs args{body, &report};
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, ScanThread, &args, 0, &threadId);
  if (thread) {
    record.finished = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    if (!record.finished) TerminateThread(thread, 1);
    CloseHandle(thread);
  }
  for (const RecordedRow& row : recording.rows)
    record.rows.push_back(Row{row.path, row.detectionName, StatusWord(row.status)});
  for (const ScanPosition& position : recording.positions)
    if (position.percent != kUnknownShare) record.positions.push_back(static_cast<int>(position.percent));
  record.statusTexts = recording.paths;
  record.ends = recording.ends;
  if (!record.ends.empty()) record.counters = record.ends.back();
  record.redirectionOwnersAtFirstRow = redirectionOwnersAtFirstRow_;
  record.redirectionOwnersAtEnd = redirectionOwnersAtEnd_;
  return record;
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::vector<unsigned char> bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  unsigned char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  CloseHandle(file);
  return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool MakeDirectories(const std::string& path) {
  for (size_t at = 3; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '\\') CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string& path) {
  std::string base = path;
  if (!base.empty() && base.back() != '\\') base += '\\';
  WIN32_FIND_DATAW found;
  std::wstring wide(base.begin(), base.end());
  HANDLE search = FindFirstFileW((wide + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = wide + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // Recurse through the narrow form only for ASCII names; others are leaves here.
        std::string narrow(full.begin(), full.end());
        RemoveTree(narrow);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (base.size() > 3) RemoveDirectoryW(wide.c_str());
}

std::vector<unsigned char> Specimen(uint32_t row, uint32_t seed) {
  std::vector<unsigned char> bytes;
  ForgeSpecimenForRow(kSignatureTable[row], seed, &bytes);
  return bytes;
}

std::vector<unsigned char> Decoy(uint32_t row, uint32_t seed) {
  std::vector<unsigned char> bytes;
  ForgeDecoyForRow(kSignatureTable[row], seed, &bytes);
  return bytes;
}

std::vector<unsigned char> PaddedSpecimen(uint32_t row, const std::vector<unsigned char>& image) {
  const SignatureRecord& record = kSignatureTable[row];
  SpecimenRequest request{record.fileSize, record.weightedSum, record.headSum, image.data(),
                          static_cast<uint32_t>(image.size()), 1};
  std::vector<unsigned char> bytes;
  ForgeSpecimen(request, &bytes);
  return bytes;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ProgramDirectory() {
  char path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text(path, length);
  return text.substr(0, text.rfind('\\') + 1);
}

namespace {
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
}

bool SetRunValue(const std::string& name, const std::string& data, HKEY root) {
  HKEY key;
  if (RegCreateKeyA(root, kRunKey, &key) != ERROR_SUCCESS) return false;
  LONG result = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool HasRunValue(const std::string& name, HKEY root) {
  HKEY key;
  if (RegOpenKeyA(root, kRunKey, &key) != ERROR_SUCCESS) return false;
  LONG result = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

void DeleteRunValue(const std::string& name, HKEY root) {
  HKEY key;
  if (RegOpenKeyA(root, kRunKey, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, name.c_str());
  RegCloseKey(key);
}

Process StartProcess(const std::string& commandLine, const std::string& directory) {
  Process process;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
    CloseHandle(info.hThread);
    process.handle = info.hProcess;
    process.id = info.dwProcessId;
  }
  return process;
}

Process HoldFile(const std::string& path, bool exclusive) {
  static int serial = 0;
  std::string eventName = "QxHolderReady" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
  Process process = StartProcess("\"" + ProgramDirectory() + "scan_file_holder.exe\" \"" + path + "\" " + eventName +
                                     (exclusive ? " exclusive" : ""),
                                 "");
  if (process.handle) {
    HANDLE waits[2] = {ready, process.handle};
    if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) Stop(&process);
  }
  CloseHandle(ready);
  return process;
}

void Stop(Process* process) {
  if (!process->handle) return;
  TerminateProcess(process->handle, 1);
  WaitForSingleObject(process->handle, 10000);
  CloseHandle(process->handle);
  process->handle = nullptr;
}

bool StillRunning(const Process& process) {
  DWORD code = 0;
  return process.handle && GetExitCodeProcess(process.handle, &code) && code == STILL_ACTIVE;
}

DWORD ExitCode(const Process& process) {
  DWORD code = 0;
  if (process.handle) WaitForSingleObject(process.handle, 10000);
  if (!process.handle || !GetExitCodeProcess(process.handle, &code)) return 0xFFFFFFFFu;
  return code;
}

std::vector<std::string> WalkOrder(const std::string& root) {
  std::vector<std::string> files;
  std::deque<std::string> pending{root};
  while (!pending.empty()) {
    std::string directory = pending.front();
    pending.pop_front();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      std::string name = found.cFileName;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (name != "." && name != "..") pending.push_back(directory + name + "\\");
      } else {
        files.push_back(directory + name);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return files;
}

std::string PendingRenames() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return "";
  std::vector<char> data(65536);
  DWORD size = static_cast<DWORD>(data.size());
  DWORD type = 0;
  std::string joined;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &size) == ERROR_SUCCESS) {
    for (DWORD at = 0; at < size; ++at) joined += data[at] ? data[at] : '|';
  }
  RegCloseKey(key);
  return joined;
}

std::string Slurp(const std::string& path) {
  std::vector<unsigned char> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

ConsoleRun RunConsoleProgram(const std::string& commandLine, const std::string& outputPath, DWORD timeoutMs,
                             DWORD flags, const std::function<void(const PROCESS_INFORMATION&)>& during) {
  ConsoleRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, output);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back(0);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, "C:\\", &startup, &process)) {
    ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
    CloseHandle(output);
    return run;
  }
  CloseHandle(output);
  if (during) during(process);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, timeoutMs)) << commandLine;
  GetExitCodeProcess(process.hProcess, &run.status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.output = Slurp(outputPath);
  return run;
}

}  // namespace scantest
