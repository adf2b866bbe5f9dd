// Offline view of a Windows volume (see offline_windows.h).
#include "remedy/offline_windows.h"

#include <cstring>

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

int SameNameIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (Upper(*a) != Upper(*b)) return 0;
  return *a == *b;
}

int Copy(char* out, size_t capacity, const char* text) {
  size_t length = strlen(text);
  if (length + 1 > capacity) return 0;
  memcpy(out, text, length + 1);
  return 1;
}

uint32_t Lookup(void* context, const char* name, char* value, uint32_t capacity, uint32_t* lastError) {
  const OfflineEnvironment* environment = static_cast<const OfflineEnvironment*>(context);
  for (uint32_t i = 0; i < environment->count; ++i) {
    const OfflineVariable& v = environment->variables[i];
    if (!SameNameIgnoringCase(v.name, name)) continue;
    uint32_t length = static_cast<uint32_t>(strlen(v.value));
    *lastError = 0;
    // As GetEnvironmentVariableA: the size needed, terminator included, when it does not fit.
    if (length + 1 > capacity) return length + 1;
    memcpy(value, v.value, length + 1);
    return length;
  }
  *lastError = kErrorEnvVarNotFound;
  return 0;
}

}  // namespace

int SetOfflineDrive(OfflineDrives* drives, char letter, const char* mounted) {
  letter = Upper(letter);
  OfflineDrive* slot = nullptr;
  for (uint32_t i = 0; i < drives->count; ++i)
    if (drives->drives[i].letter == letter) slot = &drives->drives[i];
  if (!slot) {
    if (drives->count >= kMaxOfflineDrives) return 0;
    slot = &drives->drives[drives->count];
    if (!Copy(slot->mounted, sizeof slot->mounted, mounted)) return 0;
    slot->letter = letter;
    drives->count += 1;
    return 1;
  }
  return Copy(slot->mounted, sizeof slot->mounted, mounted);
}

int HoldsNonWindowsName(const char* path) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p)
    if (*p < 0x20 || strchr("\\:*?\"<>|", *p)) return 1;
  return 0;
}

namespace {

// The drive whose folder holds `mounted` (the longest match), or null.
const OfflineDrive* DriveHolding(const OfflineDrives& drives, const char* mounted, size_t* rootLength) {
  const OfflineDrive* best = nullptr;
  size_t bestLength = 0;
  for (uint32_t i = 0; i < drives.count; ++i) {
    const char* root = drives.drives[i].mounted;
    size_t length = strlen(root);
    // "/" holds everything; "/mnt/c" holds "/mnt/c/x" but not "/mnt/cd/x".
    if (length == 1 && root[0] == '/') length = 0;
    if (strncmp(mounted, root, length) != 0 || (mounted[length] != '/' && mounted[length] != 0)) continue;
    if (!best || length > bestLength) {
      best = &drives.drives[i];
      bestLength = length;
    }
  }
  *rootLength = bestLength;
  return best;
}

}  // namespace

int HoldsNonWindowsNameOnDrive(const OfflineDrives& drives, const char* mounted) {
  size_t bestLength = 0;
  const OfflineDrive* best = DriveHolding(drives, mounted, &bestLength);
  return best && HoldsNonWindowsName(mounted + bestLength);
}

int WindowsPathOf(const OfflineDrives& drives, const char* mounted, char* out, size_t capacity) {
  size_t bestLength = 0;
  const OfflineDrive* best = DriveHolding(drives, mounted, &bestLength);
  if (!best) return 0;
  const char* rest = mounted + bestLength;
  if (HoldsNonWindowsName(rest)) return 0;
  size_t restLength = strlen(rest);
  size_t total = 2 + (restLength ? restLength : 1);
  if (total + 1 > capacity) return 0;
  out[0] = best->letter;
  out[1] = ':';
  if (!restLength) {
    out[2] = '\\';
    out[3] = 0;
    return 1;
  }
  for (size_t i = 0; i <= restLength; ++i) out[2 + i] = rest[i] == '/' ? '\\' : rest[i];
  return 1;
}

int SetOfflineVariable(OfflineEnvironment* environment, const char* name, const char* value) {
  if (strlen(name) + 1 > kOfflineNameCapacity || strlen(value) + 1 > kEnvironmentValueCapacity) return 0;
  OfflineVariable* slot = nullptr;
  for (uint32_t i = 0; i < environment->count; ++i)
    if (SameNameIgnoringCase(environment->variables[i].name, name)) slot = &environment->variables[i];
  if (!slot) {
    if (environment->count >= kMaxOfflineVariables) return 0;
    slot = &environment->variables[environment->count++];
  }
  Copy(slot->name, sizeof slot->name, name);
  Copy(slot->value, sizeof slot->value, value);
  return 1;
}

CommandLineHost OfflineCommandLineHost(const OfflineEnvironment* environment) {
  return CommandLineHost{Lookup, nullptr, const_cast<OfflineEnvironment*>(environment)};
}

int IsHibernatedHeader(const unsigned char* bytes, size_t length) {
  if (length < 4) return 0;
  char word[5];
  for (int i = 0; i < 4; ++i) word[i] = static_cast<char>(bytes[i] | 0x20);  // ASCII letters to lower case
  word[4] = 0;
  return (memcmp(word, "hibr", 4) == 0 || memcmp(word, "rstr", 4) == 0) ? 1 : 0;
}

HiveHeaderState CheckHiveHeader(const unsigned char* bytes, size_t length) {
  if (length < 12 || memcmp(bytes, "regf", 4) != 0) return kHiveHeaderNotRegf;
  uint32_t primary = uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 | uint32_t(bytes[6]) << 16 | uint32_t(bytes[7]) << 24;
  uint32_t secondary =
      uint32_t(bytes[8]) | uint32_t(bytes[9]) << 8 | uint32_t(bytes[10]) << 16 | uint32_t(bytes[11]) << 24;
  return primary == secondary ? kHiveHeaderClean : kHiveHeaderLogPending;
}

uint32_t HiveBinsLength(const unsigned char* bytes, size_t length) {
  if (length < 0x2C) return 0;
  return uint32_t(bytes[0x28]) | uint32_t(bytes[0x29]) << 8 | uint32_t(bytes[0x2A]) << 16 |
         uint32_t(bytes[0x2B]) << 24;
}
