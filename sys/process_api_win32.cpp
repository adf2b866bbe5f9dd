// Run-time binding of the process enumeration entry points (see process_api_win32.h).
#include "sys/process_api_win32.h"

#include <cstring>
#include <new>

#include "sys/system_library_win32.h"

uint16_t ProcessOsKind(uint32_t version) {
  if (version >= 0x80000000u) return 0;
  if ((version & 0xFFFFu) < 5) return 1;
  return 2;
}

namespace {

// Looks an entry point up with the type of the SDK's own declaration.
template <typename Pointer>
void Bind(HMODULE module, const char* name, Pointer* out) {
  *out = reinterpret_cast<Pointer>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

ProcessApi::ProcessApi()
    : workBuffer(nullptr),
      processTable(nullptr),
      entryCount(0),
      osKind(0),
      tableCapacity(kProcessTableCapacity),
      snapshot(INVALID_HANDLE_VALUE),
      psapiModule(nullptr),
      kernel32Module(nullptr),
      ntdllModule(nullptr),
      CreateToolhelp32Snapshot(nullptr),
      Process32First(nullptr),
      Process32Next(nullptr),
      Module32First(nullptr),
      Module32Next(nullptr),
      Thread32First(nullptr),
      Thread32Next(nullptr),
      EnumProcessModules(nullptr),
      EnumProcesses(nullptr),
      GetModuleFileNameExA(nullptr),
      GetModuleInformation(nullptr),
      NtQuerySystemInformation(nullptr),
      GetProcessId(nullptr),
      NtQueryInformationProcess(nullptr) {
  processTable = new (std::nothrow) ProcessTableEntry[kProcessTableCapacity];
  workBuffer = new (std::nothrow) unsigned char[kProcessWorkBufferSize];
  osKind = ProcessOsKind(GetVersion());

  systemDirectory[0] = '\0';
  UINT length = GetSystemDirectoryA(systemDirectory, sizeof systemDirectory);
  // A directory that fills the field leaves no room for the backslash.
  if (length == 0 || length >= sizeof systemDirectory - 1) {
    systemDirectory[0] = '\0';
  } else {
    CharUpperBuffA(systemDirectory, length);
    if (systemDirectory[length - 1] != '\\') {
      systemDirectory[length] = '\\';
      systemDirectory[length + 1] = '\0';
    }
  }

  kernel32Module = LoadSystemLibrary("Kernel32.dll");
  if (kernel32Module) {
    Bind(kernel32Module, "CreateToolhelp32Snapshot", &CreateToolhelp32Snapshot);
    Bind(kernel32Module, "Process32First", &Process32First);
    Bind(kernel32Module, "Process32Next", &Process32Next);
    Bind(kernel32Module, "Module32First", &Module32First);
    Bind(kernel32Module, "Module32Next", &Module32Next);
    Bind(kernel32Module, "Thread32First", &Thread32First);
    Bind(kernel32Module, "Thread32Next", &Thread32Next);
    Bind(kernel32Module, "GetProcessId", &GetProcessId);
  }
  psapiModule = LoadSystemLibrary("Psapi.dll");
  if (psapiModule) {
    Bind(psapiModule, "EnumProcessModules", &EnumProcessModules);
    Bind(psapiModule, "EnumProcesses", &EnumProcesses);
    Bind(psapiModule, "GetModuleFileNameExA", &GetModuleFileNameExA);
    Bind(psapiModule, "GetModuleInformation", &GetModuleInformation);
  }
  ntdllModule = LoadSystemLibrary("NTDll.dll");
  if (ntdllModule) {
    Bind(ntdllModule, "NtQuerySystemInformation", &NtQuerySystemInformation);
    Bind(ntdllModule, "NtQueryInformationProcess", &NtQueryInformationProcess);
  }
}

void ProcessApi::FreeProcessTable() {
  if (!processTable) return;
  for (uint32_t i = 0; i < entryCount && i < kProcessTableCapacity; ++i) {
    delete[] static_cast<unsigned char*>(processTable[i].ownedBlock);
  }
  delete[] processTable;
  processTable = nullptr;
  entryCount = 0;
}

ProcessApi::~ProcessApi() {
  delete[] workBuffer;
  workBuffer = nullptr;
  FreeProcessTable();
  if (kernel32Module) FreeLibrary(kernel32Module);
  if (psapiModule) FreeLibrary(psapiModule);
  if (ntdllModule) FreeLibrary(ntdllModule);
  // Only Windows 9x snapshots are closed here; on NT the pass closes its own.
  if (snapshot != INVALID_HANDLE_VALUE && osKind == 0) CloseHandle(snapshot);
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
