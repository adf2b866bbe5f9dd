// The walk of a disk image read in this process (see image_walk_posix.h).
#include "image/image_walk_posix.h"

#include <fcntl.h>
#include <hivex.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "remedy/hive_posix.h"
#include "remedy/name_escape.h"
#include "sys/owned_fd_posix.h"
#include "walker/visited_set.h"

namespace {

struct Match {
  VolumeEntry entry;
  std::string spelt;
  int found;
};

// The folder (with `wantFile`, the regular file) of `folder` named `name`
// in any case, its exact spelling first.
int FindFolder(ImageVolume* volume, uint64_t folder, const char* name, Match* match, int wantFile) {
  struct Pick {
    const char* name;
    int wantFile;
    Match* match;
  } pick{name, wantFile, match};
  match->found = 0;
  char why[kImageTroubleCapacity];
  auto each = [](void* context, const VolumeEntry& entry, const char* trouble) -> int {
    Pick* p = static_cast<Pick*>(context);
    if (trouble || entry.kind != (p->wantFile ? kVolumeFile : kVolumeFolder)) return 1;
    int exact = std::strcmp(entry.name, p->name) == 0;
    if (!p->match->found || exact) {
      p->match->entry = entry;
      p->match->entry.name = nullptr;  // the listing's, gone after it
      p->match->spelt = entry.name;
      p->match->found = 1;
    }
    return exact ? 0 : 1;
  };
  return FindImageEntries(volume, folder, name, each, &pick, why, sizeof why) && match->found;
}

struct Pending {
  uint64_t folder;
  std::string below;  // "WINDOWS/system32/", "" at the root
  std::string shown;  // "WINDOWS\system32\"
};

struct FolderWalk {
  const WalkVisitor* visitor;
  ImageVolume* volume;
  uint32_t volumeIndex;
  const std::string* drive;  // "IMAGE:C:\"
  const Pending* at;
  std::vector<Pending> children;
  ImageWalkStats* stats;
  int go;
};

int Visit(void* context, const VolumeEntry& entry, const char* trouble) {
  FolderWalk* w = static_cast<FolderWalk*>(context);
  if (w->stats) w->stats->names += 1;
  std::string below = w->at->below + entry.name;
  // A name holding a '\' (or another character no Windows name holds) is
  // shown escaped: joined as it is, it would read as another file's path.
  std::string path = *w->drive + w->at->shown + NonWindowsNameEscaped(entry.name);
  if (trouble) {
    w->go = w->visitor->unreadable(w->visitor->context, path.c_str(), EIO);
  } else if (entry.kind == kVolumeFile) {
    ImageFileRecord record{w->volume, w->volumeIndex, entry.identity, entry.size, below.c_str()};
    size_t directory = w->drive->size() + w->at->shown.size();
    WalkEntry walked{path.c_str(), directory, path.c_str() + directory, entry.size, &record};
    w->go = w->visitor->file(w->visitor->context, &walked);
  } else if (entry.kind == kVolumeFolder) {
    w->children.push_back(Pending{entry.identity, below + "/", path.substr(w->drive->size()) + "\\"});
  }
  return w->go;
}

int WalkVolume(ImageVolume* volume, uint32_t index, const std::string& drive, const WalkVisitor& visitor,
               ImageWalkStats* stats) {
  if (!volume->fs) return visitor.unreadable(visitor.context, drive.c_str(), EIO);
  VisitedSet visited;
  InitVisitedSet(&visited);
  std::vector<Pending> stack;
  stack.push_back(Pending{volume->root, "", ""});
  AddToVisitedSet(&visited, 0, volume->root);
  int go = 1;
  while (go && !stack.empty()) {
    Pending at = std::move(stack.back());
    stack.pop_back();
    FolderWalk walk{&visitor, volume, index, &drive, &at, {}, stats, 1};
    char why[kImageTroubleCapacity];
    if (stats) stats->folders += 1;
    int listed = ListImageFolder(volume, at.folder, Visit, &walk, why, sizeof why);
    if (listed == 0) {
      std::string path = drive + at.shown;
      go = visitor.unreadable(visitor.context, path.c_str(), EIO);
      continue;
    }
    go = walk.go;
    // Pushed last first, so that folders are entered in their listing's order.
    for (size_t i = walk.children.size(); go && i-- > 0;) {
      int added = AddToVisitedSet(&visited, 0, walk.children[i].folder);
      if (added == 0) continue;
      if (added < 0) {
        std::string path = drive + walk.children[i].shown;
        go = visitor.unreadable(visitor.context, path.c_str(), ENOMEM);
        continue;
      }
      stack.push_back(std::move(walk.children[i]));
    }
  }
  FreeVisitedSet(&visited);
  return go;
}

uint64_t Little(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// Opens the SYSTEM hive at `hive` (on the system volume) from a host copy
// and reads the letters its MountedDevices gives this disk's partitions.
// 0 when the hive cannot be read: Windows is then not recognised, as
// inspection would fail on it.
int ReadSystemHive(ImageDisk* disk, ImageSystem* system, const std::string& hive) {
  OfflineVolumePort port;
  ImageVolumePort(&disk->volumes[system->volume], &port);
  VolumeEntry entry{};
  int missing = 0;
  char why[kImageTroubleCapacity];
  if (!port.look(port.context, hive.c_str(), &entry, &missing, why, sizeof why) || entry.kind != kVolumeFile ||
      entry.size > kMaxHiveSize)
    return 0;
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-system-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  OwnedFd copy(mkostemp(name.data(), O_CLOEXEC));
  if (!copy.valid()) return 0;
  unlink(name.data());
  if (!port.fetch(port.context, hive.c_str(), copy.get(), why, sizeof why)) return 0;
  char through[64];
  std::snprintf(through, sizeof through, "/dev/fd/%d", copy.get());
  hive_h* h = hivex_open(through, 0);
  if (!h) return 0;
  unsigned char signature[4];
  if (!disk->mbr || !ReadNbdDisk(&disk->nbd, 440, signature, sizeof signature)) {
    hivex_close(h);
    return 1;
  }
  hive_node_h devices = hivex_node_get_child(h, hivex_root(h), "MountedDevices");
  hive_value_h* values = devices ? hivex_node_values(h, devices) : nullptr;
  for (size_t i = 0; values && values[i]; ++i) {
    char* key = hivex_value_key(h, values[i]);
    hive_type type;
    size_t length = 0;
    char* data = key ? hivex_value_value(h, values[i], &type, &length) : nullptr;
    // "\DosDevices\E:" = disk signature, then the partition's byte offset.
    const char prefix[] = "\\DosDevices\\";
    size_t p = sizeof prefix - 1;
    if (data && length == 12 && std::strncmp(key, prefix, p) == 0 && key[p] >= 'A' && key[p] <= 'Z' &&
        key[p + 1] == ':' && !key[p + 2] && std::memcmp(data, signature, 4) == 0) {
      uint64_t offset = Little(reinterpret_cast<unsigned char*>(data) + 4, 8);
      for (uint32_t v = 0; v < disk->volumeCount; ++v)
        if (disk->volumes[v].offset == offset && !system->letters[v][0]) system->letters[v][0] = key[p];
    }
    free(data);
    free(key);
  }
  free(values);
  hivex_close(h);
  return 1;
}

// One volume per letter: the system volume keeps its own, C without one;
// of two others the first keeps it.
void SettleLetters(ImageDisk* disk, ImageSystem* system) {
  char* own = system->letters[system->volume];
  if (!own[0]) own[0] = 'C';
  for (uint32_t v = 0; v < disk->volumeCount; ++v) {
    if (v == system->volume || !system->letters[v][0]) continue;
    for (uint32_t w = 0; w < disk->volumeCount; ++w)
      if (w != v && (w == system->volume || w < v) && system->letters[w][0] == system->letters[v][0])
        system->letters[v][0] = 0;
  }
}

}  // namespace

void FindImageSystem(ImageDisk* disk, ImageSystem* system) {
  std::memset(system, 0, sizeof *system);
  for (uint32_t v = 0; v < disk->volumeCount && !system->found; ++v) {
    ImageVolume* volume = &disk->volumes[v];
    if (!volume->fs) continue;
    for (const char* top : {"WINDOWS", "WINNT"}) {
      Match windows{}, system32{}, config{}, hive{};
      if (!FindFolder(volume, volume->root, top, &windows, 0) ||
          !FindFolder(volume, windows.entry.identity, "system32", &system32, 0) ||
          !FindFolder(volume, system32.entry.identity, "config", &config, 0) ||
          !FindFolder(volume, config.entry.identity, "SYSTEM", &hive, 1) ||
          windows.spelt.size() >= sizeof system->systemFolder)
        continue;
      system->volume = v;
      if (!ReadSystemHive(disk, system,
                          windows.spelt + "/" + system32.spelt + "/" + config.spelt + "/" + hive.spelt)) {
        std::memset(system->letters, 0, sizeof system->letters);
        system->unreadableHive = 1;
        continue;
      }
      system->found = 1;
      system->unreadableHive = 0;
      std::snprintf(system->systemFolder, sizeof system->systemFolder, "%s", windows.spelt.c_str());
      SettleLetters(disk, system);
      break;
    }
  }
  if (!system->found) system->volume = 0;
}

const char* ImageDriveLabel(const ImageDisk& disk, const ImageSystem& system, uint32_t volume) {
  return system.letters[volume][0] ? system.letters[volume] : disk.volumes[volume].label;
}

int WalkImageDisk(ImageDisk* disk, const ImageSystem& system, const char* imageName, const WalkVisitor& visitor,
                  ImageWalkStats* stats) {
  for (uint32_t v = 0; v < disk->volumeCount; ++v) {
    std::string drive = std::string(imageName) + ":" + ImageDriveLabel(*disk, system, v) + ":\\";
    if (!WalkVolume(&disk->volumes[v], v, drive, visitor, stats)) return 0;
  }
  return 1;
}
