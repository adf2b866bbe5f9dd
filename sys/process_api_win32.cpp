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
    CreateToolhelp32Snapshot = BindEntryPoint<decltype(CreateToolhelp32Snapshot)>(kernel32Module, "CreateToolhelp32Snapshot");
    Process32First = BindEntryPoint<decltype(Process32First)>(kernel32Module, "Process32First");
    Process32Next = BindEntryPoint<decltype(Process32Next)>(kernel32Module, "Process32Next");
    Module32First = BindEntryPoint<decltype(Module32First)>(kernel32Module, "Module32First");
    Module32Next = BindEntryPoint<decltype(Module32Next)>(kernel32Module, "Module32Next");
    Thread32First = BindEntryPoint<decltype(Thread32First)>(kernel32Module, "Thread32First");
    Thread32Next = BindEntryPoint<decltype(Thread32Next)>(kernel32Module, "Thread32Next");
    GetProcessId = BindEntryPoint<decltype(GetProcessId)>(kernel32Module, "GetProcessId");
  }
  psapiModule = LoadSystemLibrary("Psapi.dll");
  if (psapiModule) {
    EnumProcessModules = BindEntryPoint<decltype(EnumProcessModules)>(psapiModule, "EnumProcessModules");
    EnumProcesses = BindEntryPoint<decltype(EnumProcesses)>(psapiModule, "EnumProcesses");
    GetModuleFileNameExA = BindEntryPoint<decltype(GetModuleFileNameExA)>(psapiModule, "GetModuleFileNameExA");
    GetModuleInformation = BindEntryPoint<decltype(GetModuleInformation)>(psapiModule, "GetModuleInformation");
  }
  ntdllModule = LoadSystemLibrary("NTDll.dll");
  if (ntdllModule) {
    NtQuerySystemInformation = BindEntryPoint<decltype(NtQuerySystemInformation)>(ntdllModule, "NtQuerySystemInformation");
    NtQueryInformationProcess = BindEntryPoint<decltype(NtQueryInformationProcess)>(ntdllModule, "NtQueryInformationProcess");
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
  // The table owns its snapshot on every system.
  if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
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
