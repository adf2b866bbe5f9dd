// The volume in memory (see memory_volume.h).
#include "remedy/testing/memory_volume.h"

#include <cstdio>
#include <cstring>

namespace {

MemoryVolume* Of(void* context) { return static_cast<MemoryVolume*>(context); }

void Say(char* why, size_t capacity, const char* text) {
  if (capacity) snprintf(why, capacity, "%s", text);
}

int List(void* context, const char* folder, int (*each)(void*, const VolumeEntry&), void* eachContext, char* why,
         size_t capacity) {
  MemoryVolume* v = Of(context);
  std::string prefix = folder;
  if (prefix.empty()) {
    if (v->rootUnreadable) return Say(why, capacity, "Permission denied"), 0;
  } else {
    auto at = v->entries.find(prefix);
    if (at == v->entries.end()) return Say(why, capacity, "No such file or directory"), 0;
    if (at->second.kind != kVolumeFolder) return Say(why, capacity, "Not a directory"), 0;
    if (at->second.unreadable) return Say(why, capacity, "Permission denied"), 0;
    prefix += "/";
  }
  for (const auto& e : v->entries) {
    if (e.first.empty() || e.first.compare(0, prefix.size(), prefix) != 0) continue;
    std::string name = e.first.substr(prefix.size());
    if (name.empty() || name.find('/') != std::string::npos) continue;
    VolumeEntry entry{name.c_str(), e.second.kind, e.second.bytes.size(), e.second.identity};
    if (!each(eachContext, entry)) break;
  }
  return 1;
}

int Look(void* context, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity) {
  auto at = Of(context)->entries.find(path);
  *missing = at == Of(context)->entries.end();
  if (*missing) return Say(why, capacity, "No such file or directory"), 0;
  *entry = VolumeEntry{nullptr, at->second.kind, at->second.bytes.size(), at->second.identity};
  return 1;
}

const MemoryVolumeEntry* ReadableFile(void* context, const char* path) {
  auto at = Of(context)->entries.find(path);
  if (at == Of(context)->entries.end() || at->second.kind != kVolumeFile || at->second.unreadable) return nullptr;
  return &at->second;
}

int64_t Read(void* context, const char* path, uint64_t offset, void* buffer, size_t capacity) {
  const MemoryVolumeEntry* file = ReadableFile(context, path);
  if (!file) return -1;
  if (offset >= file->bytes.size()) return 0;
  size_t n = file->bytes.size() - static_cast<size_t>(offset);
  if (n > capacity) n = capacity;
  memcpy(buffer, file->bytes.data() + offset, n);
  return static_cast<int64_t>(n);
}

int Fetch(void* context, const char* path, int hostFd, char* why, size_t capacity) {
  const MemoryVolumeEntry* file = ReadableFile(context, path);
  if (!file) return Say(why, capacity, "it cannot be read"), 0;
  Of(context)->hostFiles[hostFd] = file->bytes;
  return 1;
}

int HostBytes(void* context, int hostFd, uint64_t size, std::string* bytes) {
  auto at = Of(context)->hostFiles.find(hostFd);
  if (at == Of(context)->hostFiles.end() || at->second.size() != size) return 0;
  *bytes = at->second;
  return 1;
}

int PutWhole(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity) {
  auto at = Of(context)->entries.find(path);
  if (at == Of(context)->entries.end() || at->second.kind != kVolumeFile) return Say(why, capacity, "no file"), 0;
  std::string bytes;
  if (!HostBytes(context, hostFd, size, &bytes)) return Say(why, capacity, "the host file cannot be read"), 0;
  at->second.bytes = bytes;
  at->second.identity = Of(context)->nextIdentity++;
  Of(context)->writes += 1;
  return 1;
}

VolumeChange Remove(void* context, const char* path, uint64_t identity, uint64_t size, char* why, size_t capacity) {
  auto at = Of(context)->entries.find(path);
  if (at == Of(context)->entries.end()) return Say(why, capacity, "No such file or directory"), kVolumeChangeFailed;
  if (at->second.kind != kVolumeFile || at->second.identity != identity || at->second.bytes.size() != size)
    return kVolumeChangeNotSame;
  Of(context)->entries.erase(at);
  Of(context)->writes += 1;
  return kVolumeChangeDone;
}

int WriteNew(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity) {
  if (Of(context)->entries.count(path)) return Say(why, capacity, "File exists"), 0;
  std::string bytes;
  if (!HostBytes(context, hostFd, size, &bytes)) return Say(why, capacity, "the host file cannot be read"), 0;
  AddMemoryFile(Of(context), path, bytes);
  Of(context)->writes += 1;
  return 1;
}

}  // namespace

void AddMemoryFolder(MemoryVolume* volume, const std::string& path, int unreadable) {
  volume->entries[path] = MemoryVolumeEntry{kVolumeFolder, "", unreadable, volume->nextIdentity++};
}

void AddMemoryFile(MemoryVolume* volume, const std::string& path, const std::string& bytes, int unreadable) {
  volume->entries[path] = MemoryVolumeEntry{kVolumeFile, bytes, unreadable, volume->nextIdentity++};
}

void AddMemoryLink(MemoryVolume* volume, const std::string& path) {
  volume->entries[path] = MemoryVolumeEntry{kVolumeLink, "", 0, volume->nextIdentity++};
}

OfflineVolumePort MemoryVolumePort(MemoryVolume* volume, int readOnly) {
  OfflineVolumePort port{volume, List, Look, Read, Fetch, PutWhole, Remove, WriteNew};
  if (readOnly) port.putWhole = nullptr, port.remove = nullptr, port.writeNew = nullptr;
  return port;
}
