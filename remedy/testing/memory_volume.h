// An offline volume in memory behind the volume table, for the native tests
// of the offline rules: folders, files, links and entries that cannot be
// listed or read, and every write the rules make. Platform-neutral.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "remedy/offline_volume_port.h"

struct MemoryVolumeEntry {
  VolumeEntryKind kind;
  std::string bytes;
  int unreadable;  // a folder that cannot be listed, a file that cannot be read
  uint64_t identity;
};

struct MemoryVolume {
  std::map<std::string, MemoryVolumeEntry> entries;  // by path below the root; "" is the root
  uint64_t nextIdentity = 1;
  int rootUnreadable = 0;
  uint32_t writes = 0;  // every putWhole, remove and writeNew that changed something
  // The host's files, by the descriptor the rules pass on: what `fetch`
  // wrote and what `putWhole` and `writeNew` read.
  std::map<int, std::string> hostFiles;
};

void AddMemoryFolder(MemoryVolume* volume, const std::string& path, int unreadable = 0);
void AddMemoryFile(MemoryVolume* volume, const std::string& path, const std::string& bytes, int unreadable = 0);
void AddMemoryLink(MemoryVolume* volume, const std::string& path);

// The table over `volume`; the writing members are null when `readOnly`.
OfflineVolumePort MemoryVolumePort(MemoryVolume* volume, int readOnly = 0);
