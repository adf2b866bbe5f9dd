// The POSIX tree walk (see tree_walk_posix.h).
#include "walker/tree_walk_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

void InitVisitedDirectories(VisitedDirectories* visited) { *visited = VisitedDirectories{nullptr, 0, 0}; }

void FreeVisitedDirectories(VisitedDirectories* visited) {
  free(visited->slots);
  InitVisitedDirectories(visited);
}

namespace {

size_t Slot(uint64_t device, uint64_t inode, size_t capacity) {
  uint64_t h = (device * 0x9E3779B97F4A7C15ull) ^ (inode * 0xC2B2AE3D27D4EB4Full);
  h ^= h >> 29;
  return static_cast<size_t>(h) & (capacity - 1);
}

int InsertSlot(uint64_t* slots, size_t capacity, uint64_t key0, uint64_t inode) {
  for (size_t i = Slot(key0, inode, capacity);; i = (i + 1) & (capacity - 1)) {
    if (slots[2 * i] == 0) {
      slots[2 * i] = key0;
      slots[2 * i + 1] = inode;
      return 1;
    }
    if (slots[2 * i] == key0 && slots[2 * i + 1] == inode) return 0;
  }
}

// 1 when newly added, 0 when seen before, -1 when out of memory.
int AddVisited(VisitedDirectories* v, uint64_t device, uint64_t inode) {
  if ((v->count + 1) * 2 > v->capacity) {
    size_t capacity = v->capacity ? v->capacity * 2 : 1024;
    uint64_t* slots = static_cast<uint64_t*>(calloc(capacity * 2, sizeof(uint64_t)));
    if (!slots) return -1;
    for (size_t i = 0; i < v->capacity; ++i)
      if (v->slots[2 * i]) InsertSlot(slots, capacity, v->slots[2 * i], v->slots[2 * i + 1]);
    free(v->slots);
    v->slots = slots;
    v->capacity = capacity;
  }
  // Device + 1 so that no real pair is all zeros.
  if (!InsertSlot(v->slots, v->capacity, device + 1, inode)) return 0;
  v->count += 1;
  return 1;
}

}  // namespace

int MarkDirectoryVisited(VisitedDirectories* visited, uint64_t device, uint64_t inode) {
  return AddVisited(visited, device, inode) >= 0;
}

namespace {

struct Walk {
  const TreeWalkOptions* options;
  VisitedDirectories* visited;
  const TreeWalkVisitor* visitor;
  TreeWalkStats* stats;
  uint64_t rootDevice;
  char path[kTreePathCapacity];
};

int Unreadable(Walk* w, const char* path, int error) {
  return w->visitor->unreadable ? w->visitor->unreadable(w->visitor->context, path, error) : 1;
}

// Appends "/name" to the path at `length`; 0 when it does not fit.
int Append(Walk* w, size_t length, const char* name, size_t nameLength, size_t* newLength) {
  size_t slash = length > 0 && w->path[length - 1] == '/' ? 0 : 1;
  if (length + slash + nameLength + 1 > sizeof w->path) return 0;
  if (slash) w->path[length] = '/';
  memcpy(w->path + length + slash, name, nameLength + 1);
  *newLength = length + slash + nameLength;
  return 1;
}

int ReportFile(Walk* w, int dirFd, const char* name, size_t pathLength, size_t dirLength, const struct stat& st) {
  TreeEntry entry;
  entry.directoryFd = dirFd;
  entry.name = name;
  entry.path = w->path;
  entry.pathLength = pathLength;
  entry.size = static_cast<uint64_t>(st.st_size);
  entry.device = static_cast<uint64_t>(st.st_dev);
  entry.inode = static_cast<uint64_t>(st.st_ino);
  entry.directoryLength = dirLength;
  return w->visitor->file(w->visitor->context, &entry);
}

// Subdirectory names of one directory, gathered before any is entered, so
// that only one descriptor per level stays open.
struct NameList {
  char* bytes;
  size_t length;
  size_t capacity;
};

int AddName(NameList* list, const char* name, size_t nameLength) {
  if (list->length + nameLength + 1 > list->capacity) {
    size_t capacity = list->capacity ? list->capacity * 2 : 4096;
    while (capacity < list->length + nameLength + 1) capacity *= 2;
    char* bytes = static_cast<char*>(realloc(list->bytes, capacity));
    if (!bytes) return 0;
    list->bytes = bytes;
    list->capacity = capacity;
  }
  memcpy(list->bytes + list->length, name, nameLength + 1);
  list->length += nameLength + 1;
  return 1;
}

// Decides whether a just-opened directory is walked: 1 walk, 0 skip (already
// reported or counted), -1 stop.
int Admit(Walk* w, const struct stat& st) {
  if (!w->options->crossFileSystems && static_cast<uint64_t>(st.st_dev) != w->rootDevice) {
    w->stats->otherFileSystems += 1;
    return 0;
  }
  int added = AddVisited(w->visited, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
  if (added < 0) return Unreadable(w, w->path, ENOMEM) ? 0 : -1;
  if (added == 0) {
    w->stats->repeats += 1;
    return 0;
  }
  return 1;
}

// Walks the open directory `fd` (owned: closed here) whose path is
// w->path[0..length). 0 when the walk was stopped.
int WalkDirectory(Walk* w, int fd, size_t length, uint32_t depth) {
  w->stats->directories += 1;
  DIR* stream = fdopendir(fd);
  if (!stream) {
    int error = errno;
    close(fd);
    return Unreadable(w, w->path, error);
  }
  NameList subdirectories{nullptr, 0, 0};
  int go = 1;
  for (;;) {
    errno = 0;
    struct dirent* d = readdir(stream);
    if (!d) {
      if (errno) go = Unreadable(w, w->path, errno);
      break;
    }
    const char* name = d->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = d->d_type;
    if (type == DT_LNK) {
      w->stats->symbolicLinks += 1;
      continue;
    }
    size_t nameLength = strlen(name);
    if (type == DT_DIR) {
      if (!AddName(&subdirectories, name, nameLength)) {
        go = Unreadable(w, w->path, ENOMEM);
        if (!go) break;
      }
      continue;
    }
    if (type != DT_REG && type != DT_UNKNOWN) {
      w->stats->special += 1;
      continue;
    }
    size_t fileLength = 0;
    if (!Append(w, length, name, nameLength, &fileLength)) {
      go = Unreadable(w, w->path, ENAMETOOLONG);
      w->path[length] = 0;
      if (!go) break;
      continue;
    }
    struct stat st;
    if (fstatat(dirfd(stream), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      go = Unreadable(w, w->path, errno);
    } else if (S_ISREG(st.st_mode)) {
      go = ReportFile(w, dirfd(stream), name, fileLength, length, st);
    } else if (S_ISDIR(st.st_mode)) {
      if (!AddName(&subdirectories, name, nameLength)) go = Unreadable(w, w->path, ENOMEM);
    } else if (S_ISLNK(st.st_mode)) {
      w->stats->symbolicLinks += 1;
    } else {
      w->stats->special += 1;
    }
    w->path[length] = 0;
    if (!go) break;
  }

  for (size_t at = 0; go && at < subdirectories.length;) {
    const char* name = subdirectories.bytes + at;
    size_t nameLength = strlen(name);
    at += nameLength + 1;
    size_t childLength = 0;
    if (!Append(w, length, name, nameLength, &childLength)) {
      go = Unreadable(w, w->path, ENAMETOOLONG);
      w->path[length] = 0;
      continue;
    }
    if (depth + 1 > kMaxTreeDepth) {
      go = Unreadable(w, w->path, ELOOP);
    } else {
      int child = openat(dirfd(stream), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
      struct stat st;
      if (child < 0) {
        // A directory swapped for a link since it was listed is not followed.
        if (errno == ELOOP || errno == ENOTDIR) {
          w->stats->symbolicLinks += errno == ELOOP;
        } else {
          go = Unreadable(w, w->path, errno);
        }
      } else if (fstat(child, &st) != 0) {
        go = Unreadable(w, w->path, errno);
        close(child);
      } else {
        int admit = Admit(w, st);
        if (admit > 0) {
          go = WalkDirectory(w, child, childLength, depth + 1);
        } else {
          close(child);
          if (admit < 0) go = 0;
        }
      }
    }
    w->path[length] = 0;
  }
  free(subdirectories.bytes);
  closedir(stream);
  return go;
}

}  // namespace

TreeWalkResult WalkTree(const char* root, const TreeWalkOptions& options, VisitedDirectories* visited,
                        const TreeWalkVisitor& visitor, TreeWalkStats* stats) {
  Walk* w = static_cast<Walk*>(malloc(sizeof(Walk)));
  if (!w) {
    if (visitor.unreadable && !visitor.unreadable(visitor.context, root, ENOMEM)) return kWalkStopped;
    return kWalkFinished;
  }
  w->options = &options;
  w->visited = visited;
  w->visitor = &visitor;
  w->stats = stats;
  int go = 1;
  size_t length = strlen(root);
  // Trailing slashes would make "root//name"; "/" itself stays.
  while (length > 1 && root[length - 1] == '/') --length;
  if (length + 1 > sizeof w->path) {
    go = Unreadable(w, root, ENAMETOOLONG);
    free(w);
    return go ? kWalkFinished : kWalkStopped;
  }
  memcpy(w->path, root, length);
  w->path[length] = 0;

  struct stat st;
  if (fstatat(AT_FDCWD, w->path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    go = Unreadable(w, w->path, errno);
  } else if (S_ISLNK(st.st_mode)) {
    stats->symbolicLinks += 1;
    go = Unreadable(w, w->path, ELOOP);
  } else if (S_ISDIR(st.st_mode)) {
    int fd = open(w->path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || fstat(fd, &st) != 0) {
      go = Unreadable(w, w->path, errno);
      if (fd >= 0) close(fd);
    } else {
      w->rootDevice = static_cast<uint64_t>(st.st_dev);
      // Each root is on its own file system; only what lies below is held to it.
      int admit = Admit(w, st);
      if (admit > 0) {
        go = WalkDirectory(w, fd, length, 0);
      } else {
        close(fd);
        if (admit < 0) go = 0;
      }
    }
  } else if (S_ISREG(st.st_mode)) {
    // A single file: reached through its directory like any other.
    char* slash = strrchr(w->path, '/');
    size_t dirLength = slash ? static_cast<size_t>(slash - w->path) : 0;
    char directory[kTreePathCapacity];
    if (!slash) {
      memcpy(directory, ".", 2);
    } else if (dirLength == 0) {
      memcpy(directory, "/", 2);
    } else {
      memcpy(directory, w->path, dirLength);
      directory[dirLength] = 0;
    }
    const char* name = slash ? slash + 1 : w->path;
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat again;
    if (fd < 0) {
      go = Unreadable(w, w->path, errno);
    } else {
      if (fstatat(fd, name, &again, AT_SYMLINK_NOFOLLOW) != 0) {
        go = Unreadable(w, w->path, errno);
      } else if (S_ISREG(again.st_mode)) {
        go = ReportFile(w, fd, name, length, dirLength, again);
      }
      close(fd);
    }
  } else {
    stats->special += 1;
  }
  free(w);
  return go ? kWalkFinished : kWalkStopped;
}
