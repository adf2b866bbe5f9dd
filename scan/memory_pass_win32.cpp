// The memory pass over running processes (see memory_pass_win32.h).
#include "scan/memory_pass_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "engine/file_check_win32.h"
#include "remedy/autorun_win32.h"
#include "remedy/removal_win32.h"
#include "sys/fs_redirection_win32.h"
#include "sys/handle_win32.h"
#include "sys/process_api_win32.h"

const char kResidentDetectionName[] = "Worm.Mail.Drimo.qd";

namespace {

enum : uint32_t {
  kPathSize = MAX_PATH,
  kDetectionNameSize = 64,
  kStatusTextSize = 512,
  kTerminationPauseMs = 2000,
  // Access that only identifies a process; the limited form is what newer
  // systems grant where the full one is refused.
  kQueryLimitedInformation = 0x1000,
  kSeenBytes = 0x10000 / 8,
};

const char kCompanionName[] = "m_hook.sys";

// NT resolves an id with its low two bits ignored, so one process answers
// to four ids in a row (its module snapshot even reports the id asked for).
// 1 when the process behind `id` was examined already under another id;
// otherwise it is recorded as examined now. A process whose identity cannot
// be learnt is always examined.
int MetAlready(const ProcessApi& api, DWORD id, unsigned char* seen) {
  OwnedHandle query(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id));
  if (!query.valid()) query.reset(OpenProcess(kQueryLimitedInformation, FALSE, id));
  if (!query.valid()) return 0;
  DWORD real = 0;
  int known = QueryProcessId(api, query.get(), &real);
  query.reset();
  if (!known || real >= 0x10000) return 0;
  unsigned char bit = static_cast<unsigned char>(1u << (real & 7));
  if (seen[real >> 3] & bit) return 1;
  seen[real >> 3] |= bit;
  return 0;
}

// Cuts `path` after its last backslash; 0 when it holds none.
int CutAfterLastBackslash(char* path) {
  char* slash = std::strrchr(path, '\\');
  if (!slash) return 0;
  slash[1] = '\0';
  return 1;
}

// Terminates the infected process, removes its file, the Run values that
// start it, the companion beside it and the emptied directory.
// The removal acts only on the file that was checked: during the pause a
// directory of the path could be swapped for a link elsewhere.
// The process handle is closed here, before the pause; its owner stays the caller's.
void HandleInfected(ScanSession* session, OwnedHandle* process, char* path, const FileIdentity& identity) {
  BOOL terminated = TerminateProcess(process->get(), kResidentExitCode);
  process->reset();
  Sleep(kTerminationPauseMs);
  int removed = terminated ? RemoveIdentifiedFile(path, &identity) : 0;
  ScanRowStatus status = removed == kRemovedAtRestart ? kRowScheduledAtRestart : removed ? kRowRemoved : kRowRemovalFailed;
  // The Run values go whatever became of the file: the process that would
  // start again is the worm (the row's own cleaning covers a removed file).
  if (status == kRowRemovalFailed) SessionCleanRunValuesOf(session, path);
  SessionMemoryRow(session, path, kResidentDetectionName, status);

  if (!CutAfterLastBackslash(path)) return;
  size_t directoryLength = std::strlen(path);
  // A companion path over the buffer could not be opened anyway: skip it.
  if (directoryLength + sizeof kCompanionName <= kPathSize) {
    std::memcpy(path + directoryLength, kCompanionName, sizeof kCompanionName);
    char name[kDetectionNameSize];
    FileIdentity companion;
    int gone = CheckFileAgainst(session->signatures, path, name, &companion) ? RemoveIdentifiedFile(path, &companion)
                                                                             : 0;
    if (gone) SessionMemoryRow(session, path, name, gone == kRemovedAtRestart ? kRowScheduledAtRestart : kRowRemoved);
    path[directoryLength] = '\0';
  }
  // Removing a junction would take away a link that is no worm's.
  if (!PathCrossesReparsePoint(path)) RemoveDirectoryA(path);
}

// Walks the module snapshot of one process. 1 when an executable module is
// the resident variant; its path is then in `path`.
int FindResidentModule(ProcessApi& api, ScanSession* session, DWORD id, MODULEENTRY32* module, char* path,
                       FileIdentity* identity) {
  OwnedHandle snapshot(api.CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id));
  if (!snapshot.valid()) return 0;
  int infected = 0;
  for (BOOL more = api.Module32First(snapshot.get(), module); more && !infected;
       more = api.Module32Next(snapshot.get(), module)) {
    // The record's path may lack a terminator only if the system misbehaves.
    module->szExePath[sizeof module->szExePath - 1] = '\0';
    TrueModulePath(module->szExePath, module->szExePath, sizeof module->szExePath);  // System32 -> SysWOW64
    if (module->th32ProcessID != id || !std::strstr(module->szExePath, ".exe")) continue;
    char status[kStatusTextSize];
    std::snprintf(status, sizeof status, "Memory>>%s", module->szExePath);
    ReportCurrentPath(session->report, status);
    SessionMemoryModule(session);
    char name[kDetectionNameSize];
    if (!CheckFileAgainst(session->signatures, module->szExePath, name, identity)) continue;
    if (std::strcmp(name, kResidentDetectionName) != 0) continue;
    SessionMemoryResident(session);
    std::snprintf(path, kPathSize, "%s", module->szExePath);
    infected = 1;
  }
  return infected;
}

}  // namespace

void ScanMemory(ScanSession* session, int change) {
  ProcessApi api;
  if (!api.CreateToolhelp32Snapshot || !api.Module32First || !api.Module32Next) return;

  MODULEENTRY32 module;
  std::memset(&module, 0, sizeof module);
  module.dwSize = sizeof module;  // 548 on 32-bit Windows
  unsigned char seen[kSeenBytes];
  std::memset(seen, 0, sizeof seen);
  char path[kPathSize];
  FileIdentity identity;

  if (SessionStopRequested(session)) return;
  for (DWORD id = 0; id < kSweepEndId; ++id) {
    OwnedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, id));
    if (process.valid() && !MetAlready(api, id, seen) &&
        FindResidentModule(api, session, id, &module, path, &identity)) {
      // Detection only: reported, the process left running (its handle closes here).
      if (change) {
        HandleInfected(session, &process, path, identity);
      } else {
        SessionMemoryRow(session, path, kResidentDetectionName, kRowLeftInPlace);
      }
    }
    if (SessionStopRequested(session)) break;
  }
}
