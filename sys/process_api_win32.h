// The process- and module-enumeration entry points of Kernel32, Psapi and
// NTDll, bound at run time so that the program starts on every Windows
// version whether or not they exist (Win32). The memory pass creates one per
// sweep and calls the toolhelp module functions through it.
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <psapi.h>
#include <winternl.h>

#include <cstdint>

#if !defined(_WIN64)
static_assert(sizeof(MODULEENTRY32) == 548, "the ANSI module record of 32-bit Windows");
#endif

enum : uint32_t {
  kProcessWorkBufferSize = 16432,
  kProcessTableCapacity = 32,
  kProcessTableEntrySize = 144,
};

// One entry of the process table: its last field is a block the entry owns.
struct ProcessTableEntry {
  unsigned char info[kProcessTableEntrySize - sizeof(void*)];
  void* ownedBlock;
};
static_assert(sizeof(ProcessTableEntry) == kProcessTableEntrySize, "process table entry");

// Family of Windows from the 32-bit GetVersion result: 0 for Windows
// 95/98/Me, 1 for NT 4.0 (low word below 5), 2 otherwise (2000 and later,
// and NT 3.51 whose low word 0x3303 reads as large).
uint16_t ProcessOsKind(uint32_t version);

class ProcessApi {
 public:
  ProcessApi();
  ~ProcessApi();
  ProcessApi(const ProcessApi&) = delete;
  ProcessApi& operator=(const ProcessApi&) = delete;

  // Releases the process table and the blocks its entries own; a second
  // call does nothing.
  void FreeProcessTable();

  unsigned char* workBuffer;
  ProcessTableEntry* processTable;
  uint32_t entryCount;
  uint16_t osKind;
  char systemDirectory[MAX_PATH];  // upper case, ends in a backslash
  int32_t tableCapacity;
  HANDLE snapshot;
  HMODULE psapiModule;
  HMODULE kernel32Module;
  HMODULE ntdllModule;
  decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot;
  decltype(&::Process32First) Process32First;
  decltype(&::Process32Next) Process32Next;
  decltype(&::Module32First) Module32First;
  decltype(&::Module32Next) Module32Next;
  decltype(&::Thread32First) Thread32First;
  decltype(&::Thread32Next) Thread32Next;
  decltype(&::EnumProcessModules) EnumProcessModules;
  decltype(&::EnumProcesses) EnumProcesses;
  decltype(&::GetModuleFileNameExA) GetModuleFileNameExA;
  decltype(&::GetModuleInformation) GetModuleInformation;
  decltype(&::NtQuerySystemInformation) NtQuerySystemInformation;
  // Tell which process an opened handle really reaches (NT accepts several
  // ids for one process); either may be missing on older systems.
  decltype(&::GetProcessId) GetProcessId;
  decltype(&::NtQueryInformationProcess) NtQueryInformationProcess;
};

// The system's own id of the process behind `process` (a handle with query
// access), through GetProcessId or else NtQueryInformationProcess. 1 when
// known; on failure *id is not written.
int QueryProcessId(const ProcessApi& api, HANDLE process, DWORD* id);
