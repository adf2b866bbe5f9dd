// Run-key cleanup: one sweep over the key's values, deleting each whose
// command line starts the removed file.
#include "remedy/autorun.h"

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Names and data of the common size fit without asking the key.
const DWORD kInitialCapacity = 260;
// Registry limits: 16383 characters of name (two bytes each in a double-byte
// code page); data beyond a megabyte is no command line worth reading.
const DWORD kMaxNameCapacity = 2 * 16383 + 1;
const DWORD kMaxDataCapacity = 1024 * 1024;

uint32_t LookupVariable(void*, const char* name, char* value, uint32_t capacity, uint32_t* lastError) {
  // A successful lookup leaves the last-error code alone; without this a
  // "not found" left by an earlier value would hide a variable that exists.
  SetLastError(ERROR_SUCCESS);
  DWORD got = GetEnvironmentVariableA(name, value, capacity);
  *lastError = GetLastError();
  return got;
}

int LeadByte(void*, unsigned char byte) { return IsDBCSLeadByte(byte) ? 1 : 0; }

struct ValueBuffers {
  char* name;
  DWORD nameCapacity;
  // One byte more than dataCapacity, for the terminator after the returned bytes.
  char* data;
  DWORD dataCapacity;
};

void FreeBuffers(ValueBuffers* buffers) {
  if (buffers->name) HeapFree(GetProcessHeap(), 0, buffers->name);
  if (buffers->data) HeapFree(GetProcessHeap(), 0, buffers->data);
  buffers->name = nullptr;
  buffers->data = nullptr;
}

// Replaces the buffers by ones of at least the given capacities. 0 when the
// memory is not there; the old buffers are then kept.
int SizeBuffers(ValueBuffers* buffers, DWORD nameCapacity, DWORD dataCapacity) {
  if (buffers->name && nameCapacity <= buffers->nameCapacity && dataCapacity <= buffers->dataCapacity) return 1;
  if (nameCapacity < buffers->nameCapacity) nameCapacity = buffers->nameCapacity;
  if (dataCapacity < buffers->dataCapacity) dataCapacity = buffers->dataCapacity;
  char* name = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, nameCapacity));
  char* data = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, dataCapacity + 1));
  if (!name || !data) {
    if (name) HeapFree(GetProcessHeap(), 0, name);
    if (data) HeapFree(GetProcessHeap(), 0, data);
    return 0;
  }
  FreeBuffers(buffers);
  *buffers = {name, nameCapacity, data, dataCapacity};
  return 1;
}

// Larger buffers after ERROR_MORE_DATA: what the key now reports, at least
// double the old size, within the registry's limits. 0 when they cannot grow.
int GrowBuffers(HKEY key, ValueBuffers* buffers, DWORD dataNeeded) {
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                   nullptr);
  DWORD nameCapacity = buffers->nameCapacity < kMaxNameCapacity / 2 ? buffers->nameCapacity * 2 : kMaxNameCapacity;
  if (maxName < kMaxNameCapacity / 2 && 2 * maxName + 1 > nameCapacity) nameCapacity = 2 * maxName + 1;
  DWORD dataCapacity = buffers->dataCapacity < kMaxDataCapacity / 2 ? buffers->dataCapacity * 2 : kMaxDataCapacity;
  if (maxData > dataCapacity) dataCapacity = maxData;
  if (dataNeeded > dataCapacity) dataCapacity = dataNeeded;
  if (dataCapacity > kMaxDataCapacity) dataCapacity = kMaxDataCapacity;
  if (nameCapacity <= buffers->nameCapacity && dataCapacity <= buffers->dataCapacity) return 0;
  return SizeBuffers(buffers, nameCapacity, dataCapacity);
}

}  // namespace

CommandLineHost ProcessCommandLineHost() { return CommandLineHost{LookupVariable, LeadByte, nullptr}; }

int DeleteRegistryValue(HKEY root, const char* subkey, const char* valueName) {
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
  LONG status = RegDeleteValueA(key, valueName);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 1 : 0;
}

int DeleteReferringValues(HKEY root, const char* subkey, const char* path) {
  HKEY key;
  if (RegOpenKeyA(root, subkey, &key) != ERROR_SUCCESS) return 1;

  CommandLineHost host = ProcessCommandLineHost();
  ValueBuffers buffers = {nullptr, 0, nullptr, 0};
  // Buffers of the size the key reports, so a long value is read like any other.
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                   nullptr);
  DWORD nameCapacity = maxName < kMaxNameCapacity / 2 ? 2 * maxName + 1 : kMaxNameCapacity;
  DWORD dataCapacity = maxData < kMaxDataCapacity ? maxData : kMaxDataCapacity;
  if (nameCapacity < kInitialCapacity) nameCapacity = kInitialCapacity;
  if (dataCapacity < kInitialCapacity) dataCapacity = kInitialCapacity;

  if (SizeBuffers(&buffers, nameCapacity, dataCapacity)) {
    DWORD index = 0;
    for (;;) {
      DWORD nameSize = buffers.nameCapacity;
      DWORD dataSize = buffers.dataCapacity;
      DWORD type = 0;
      LONG status = RegEnumValueA(key, index, buffers.name, &nameSize, nullptr, &type,
                                  reinterpret_cast<BYTE*>(buffers.data), &dataSize);
      if (status == ERROR_MORE_DATA) {
        // A value beyond what can be held is passed over; it must not end
        // the sweep and shield the values after it.
        if (!GrowBuffers(key, &buffers, dataSize)) ++index;
        continue;
      }
      if (status != ERROR_SUCCESS) break;
      // Data of any type, stored with or without its terminator, ends within
      // the bytes returned for this value.
      buffers.data[dataSize <= buffers.dataCapacity ? dataSize : buffers.dataCapacity] = 0;
      // After a deletion the next value has moved into this index.
      if (CommandLineRefersTo(buffers.data, path, &host) && DeleteRegistryValue(root, subkey, buffers.name)) continue;
      ++index;
    }
  }
  FreeBuffers(&buffers);
  RegCloseKey(key);
  return 1;
}

int CleanAutorun(const char* path) { return DeleteReferringValues(HKEY_CURRENT_USER, kRunKey, path); }
