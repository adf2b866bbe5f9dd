// Run-time binding of the process enumeration entry points (see process_api_win32.h).
#include "sys/process_api_win32.h"

#include <cstring>

#include "sys/system_library_win32.h"

ProcessApi::ProcessApi()
    : CreateToolhelp32Snapshot(nullptr),
      Module32First(nullptr),
      Module32Next(nullptr),
      GetProcessId(nullptr),
      NtQueryInformationProcess(nullptr),
      kernel32_(LoadSystemLibrary("Kernel32.dll")),
      ntdll_(LoadSystemLibrary("NTDll.dll")) {
  if (HMODULE kernel = kernel32_.get()) {
    CreateToolhelp32Snapshot = BindEntryPoint<decltype(CreateToolhelp32Snapshot)>(kernel, "CreateToolhelp32Snapshot");
    Module32First = BindEntryPoint<decltype(Module32First)>(kernel, "Module32First");
    Module32Next = BindEntryPoint<decltype(Module32Next)>(kernel, "Module32Next");
    GetProcessId = BindEntryPoint<decltype(GetProcessId)>(kernel, "GetProcessId");
  }
  if (HMODULE ntdll = ntdll_.get())
    NtQueryInformationProcess = BindEntryPoint<decltype(NtQueryInformationProcess)>(ntdll, "NtQueryInformationProcess");
}

int QueryProcessId(const ProcessApi& api, HANDLE process, DWORD* id) {
  if (api.GetProcessId) {
    DWORD found = api.GetProcessId(process);
    if (found != 0) {
      *id = found;
      return 1;
    }
  }
  if (api.NtQueryInformationProcess) {
    PROCESS_BASIC_INFORMATION basic;
    std::memset(&basic, 0, sizeof basic);
    ULONG returned = 0;
    if (api.NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &returned) == 0) {
      *id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(basic.UniqueProcessId));
      return 1;
    }
  }
  return 0;
}
