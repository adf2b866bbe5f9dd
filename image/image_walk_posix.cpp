// The walk of a disk image read in this process (see image_walk_posix.h).
#include "image/image_walk_posix.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "walker/visited_set.h"

namespace {

struct Match {
  VolumeEntry entry;
  std::string spelt;
  int found;
};

// The folder of `folder` named `name` in any case (its exact spelling wins).
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
  std::string path = *w->drive + w->at->shown + entry.name;
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
      system->found = 1;
      system->volume = v;
      std::snprintf(system->systemFolder, sizeof system->systemFolder, "%s", windows.spelt.c_str());
      break;
    }
  }
}

const char* ImageDriveLabel(const ImageDisk& disk, const ImageSystem& system, uint32_t volume) {
  return system.found && system.volume == volume ? "C" : disk.volumes[volume].label;
}

int WalkImageDisk(ImageDisk* disk, const ImageSystem& system, const char* imageName, const WalkVisitor& visitor,
                  ImageWalkStats* stats) {
  for (uint32_t v = 0; v < disk->volumeCount; ++v) {
    std::string drive = std::string(imageName) + ":" + ImageDriveLabel(*disk, system, v) + ":\\";
    if (!WalkVolume(&disk->volumes[v], v, drive, visitor, stats)) return 0;
  }
  return 1;
}
