// The module-enumeration and process-identity entry points of Kernel32 and
// NTDll, bound at run time so that the program starts on every Windows
// version whether or not they exist (Win32). The memory pass creates one per
// sweep and calls the toolhelp module functions through it.
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include "sys/handle_win32.h"

#if !defined(_WIN64)
static_assert(sizeof(MODULEENTRY32) == 548, "the ANSI module record of 32-bit Windows");
#endif

class ProcessApi {
 public:
  ProcessApi();
  ProcessApi(const ProcessApi&) = delete;
  ProcessApi& operator=(const ProcessApi&) = delete;

  // Each entry point is null where the system lacks it.
  decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot;
  decltype(&::Module32First) Module32First;
  decltype(&::Module32Next) Module32Next;
  // Tell which process an opened handle really reaches (NT accepts several
  // ids for one process); either may be missing on older systems.
  decltype(&::GetProcessId) GetProcessId;
  decltype(&::NtQueryInformationProcess) NtQueryInformationProcess;

 private:
  // Held for as long as the entry points above may be called.
  OwnedModule kernel32_;
  OwnedModule ntdll_;
};

// The system's own id of the process behind `process` (a handle with query
// access), through GetProcessId or else NtQueryInformationProcess. 1 when
// known; on failure *id is not written.
int QueryProcessId(const ProcessApi& api, HANDLE process, DWORD* id);
