// The POSIX tree walk (see tree_walk_posix.h). Directories waiting to be
// read are paths on one stack shared by the workers. A worker pops one,
// opens it below the root's descriptor without following any link, lists
// it, stats its entries, hands its files to the visitor in batches under
// one lock and pushes its subdirectories. Only the directories being read
// hold a descriptor (one per worker), and the stack holds a path per
// directory still waiting, never one per file.
#include "walker/tree_walk_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sys/owned_fd_posix.h"

namespace {

std::atomic<int> gComponentOpen{0};

const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Directories not yet read, last in first out: each record is the path's
// bytes followed by its length and depth.
struct PendingStack {
  char* bytes;
  size_t length;
  size_t capacity;
  size_t count;
};

struct PendingTrailer {
  uint32_t length;
  uint32_t depth;
};

int PushPending(PendingStack* s, const char* path, size_t length, uint32_t depth) {
  size_t need = s->length + length + sizeof(PendingTrailer);
  if (need > s->capacity) {
    size_t capacity = s->capacity ? s->capacity * 2 : 16384;
    while (capacity < need) capacity *= 2;
    char* bytes = static_cast<char*>(realloc(s->bytes, capacity));
    if (!bytes) return 0;
    s->bytes = bytes;
    s->capacity = capacity;
  }
  memcpy(s->bytes + s->length, path, length);
  PendingTrailer trailer{static_cast<uint32_t>(length), depth};
  memcpy(s->bytes + s->length + length, &trailer, sizeof trailer);
  s->length = need;
  s->count += 1;
  return 1;
}

// Takes the top record into `path` (NUL-terminated; kTreePathCapacity bytes).
void PopPending(PendingStack* s, char* path, size_t* length, uint32_t* depth) {
  PendingTrailer trailer;
  memcpy(&trailer, s->bytes + s->length - sizeof trailer, sizeof trailer);
  s->length -= sizeof trailer + trailer.length;
  memcpy(path, s->bytes + s->length, trailer.length);
  path[trailer.length] = 0;
  *length = trailer.length;
  *depth = trailer.depth;
  s->count -= 1;
}

// Subdirectory names of the directory being read: each name, its NUL and
// its length in two bytes, so that the list can be read backwards.
struct NameList {
  char* bytes;
  size_t length;
  size_t capacity;
};

int AddName(NameList* list, const char* name, size_t nameLength) {
  size_t need = list->length + nameLength + 3;
  if (need > list->capacity) {
    size_t capacity = list->capacity ? list->capacity * 2 : 4096;
    while (capacity < need) capacity *= 2;
    char* bytes = static_cast<char*>(realloc(list->bytes, capacity));
    if (!bytes) return 0;
    list->bytes = bytes;
    list->capacity = capacity;
  }
  memcpy(list->bytes + list->length, name, nameLength + 1);
  uint16_t length16 = static_cast<uint16_t>(nameLength);
  memcpy(list->bytes + list->length + nameLength + 1, &length16, 2);
  list->length = need;
  return 1;
}

struct Walk {
  const TreeWalkOptions* options;
  VisitedSet* visited;
  const WalkVisitor* visitor;
  uint64_t rootDevice;
  int rootFd;
  size_t rootLength;
  std::atomic<int> openat2Works;
  std::atomic<int> stopped;
  // Guards the stack, `busy` and the visited set.
  pthread_mutex_t queueLock;
  pthread_cond_t queueChanged;
  PendingStack pending;
  uint32_t busy;     // workers reading a directory (and so perhaps about to push)
  uint32_t waiting;  // workers asleep for want of a directory
  // One visitor call at a time.
  pthread_mutex_t reportLock;
};

// Files of the directory being read, handed over together: one lock for
// many calls.
enum : uint32_t { kBatchFiles = 64, kBatchNameBytes = 8192 };

struct BatchFile {
  uint32_t nameOffset;
  uint32_t nameLength;
  uint64_t size;
  uint64_t device;
  uint64_t inode;
};

struct Worker {
  Walk* walk;
  TreeWalkStats stats;
  NameList subdirectories;
  uint32_t batchCount;
  uint32_t batchNameBytes;
  BatchFile batch[kBatchFiles];
  char batchNames[kBatchNameBytes];
  char path[kTreePathCapacity];
  char scratch[kTreePathCapacity];
};

void WakeAll(Walk* walk) {
  pthread_mutex_lock(&walk->queueLock);
  pthread_cond_broadcast(&walk->queueChanged);
  pthread_mutex_unlock(&walk->queueLock);
}

// Where "/name" goes after the directory path w->path[0..length): no
// separator after a root that ends in one ("/").
size_t NameStart(const Worker* w, size_t length) {
  return length > 0 && w->path[length - 1] == '/' ? length : length + 1;
}

int NameFits(const Worker* w, size_t length, size_t nameLength) {
  return NameStart(w, length) + nameLength + 1 <= sizeof w->path;
}

// Writes "/name" after the directory path; the caller checked NameFits.
size_t PutName(Worker* w, size_t length, const char* name, size_t nameLength) {
  size_t start = NameStart(w, length);
  if (start > length) w->path[length] = '/';
  memcpy(w->path + start, name, nameLength);
  w->path[start + nameLength] = 0;
  return start;
}

// Hands the batched files of directory `fd` (path w->path[0..length)) to
// the visitor. 0 when the walk was stopped.
int FlushFiles(Worker* w, int fd, size_t length) {
  Walk* walk = w->walk;
  if (w->batchCount == 0) return !walk->stopped.load(std::memory_order_relaxed);
  pthread_mutex_lock(&walk->reportLock);
  int go = !walk->stopped.load(std::memory_order_relaxed);
  for (uint32_t i = 0; go && i < w->batchCount; ++i) {
    const BatchFile& f = w->batch[i];
    size_t start = PutName(w, length, w->batchNames + f.nameOffset, f.nameLength);
    TreeEntry entry{};
    entry.directoryFd = fd;
    entry.name = w->path + start;
    entry.path = w->path;
    entry.pathLength = start + f.nameLength;
    entry.directoryLength = length;
    entry.size = f.size;
    entry.device = f.device;
    entry.inode = f.inode;
    WalkEntry walkEntry{w->path, start, entry.name, f.size, &entry};
    go = walk->visitor->file(walk->visitor->context, &walkEntry);
  }
  if (!go) walk->stopped.store(1);
  pthread_mutex_unlock(&walk->reportLock);
  w->batchCount = 0;
  w->batchNameBytes = 0;
  w->path[length] = 0;
  if (!go) WakeAll(walk);
  return go;
}

// Reports w->path[0..length), or the entry `name` in it when given and its
// path fits, as unreadable, after the files batched before it. 0 when the
// walk was stopped.
int ReportUnreadable(Worker* w, int fd, size_t length, const char* name, int error) {
  Walk* walk = w->walk;
  if (!FlushFiles(w, fd, length)) return 0;
  if (name && NameFits(w, length, strlen(name))) PutName(w, length, name, strlen(name));
  pthread_mutex_lock(&walk->reportLock);
  int go = !walk->stopped.load(std::memory_order_relaxed);
  if (go && walk->visitor->unreadable)
    go = walk->visitor->unreadable(walk->visitor->context, w->path, static_cast<uint32_t>(error));
  if (!go) walk->stopped.store(1);
  pthread_mutex_unlock(&walk->reportLock);
  w->path[length] = 0;
  if (!go) WakeAll(walk);
  return go;
}

// Adds a regular file to the batch. 0 when the walk was stopped.
int BatchFileEntry(Worker* w, int fd, size_t length, const char* name, size_t nameLength, const struct stat& st) {
  if (w->batchCount == kBatchFiles || w->batchNameBytes + nameLength + 1 > kBatchNameBytes) {
    if (!FlushFiles(w, fd, length)) return 0;
  }
  BatchFile& f = w->batch[w->batchCount++];
  f.nameOffset = w->batchNameBytes;
  f.nameLength = static_cast<uint32_t>(nameLength);
  f.size = static_cast<uint64_t>(st.st_size);
  f.device = static_cast<uint64_t>(st.st_dev);
  f.inode = static_cast<uint64_t>(st.st_ino);
  memcpy(w->batchNames + w->batchNameBytes, name, nameLength + 1);
  w->batchNameBytes += static_cast<uint32_t>(nameLength + 1);
  return 1;
}

// Decides whether a just-opened directory is walked: 1 walk, 0 skip (already
// reported or counted), -1 stop.
int Admit(Worker* w, size_t length, const struct stat& st) {
  Walk* walk = w->walk;
  if (!walk->options->crossFileSystems && static_cast<uint64_t>(st.st_dev) != walk->rootDevice) {
    w->stats.otherFileSystems += 1;
    return 0;
  }
  pthread_mutex_lock(&walk->queueLock);
  int added = AddToVisitedSet(walk->visited, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
  pthread_mutex_unlock(&walk->queueLock);
  if (added < 0) return ReportUnreadable(w, -1, length, nullptr, ENOMEM) ? 0 : -1;
  if (added == 0) {
    w->stats.repeats += 1;
    return 0;
  }
  return 1;
}

// Opens `relative` (below the root) one name at a time, none of them
// followed if it is a link.
int OpenByComponents(Worker* w, const char* relative) {
  Walk* walk = w->walk;
  size_t length = strlen(relative);
  memcpy(w->scratch, relative, length + 1);
  OwnedFd current;  // until the first step: the root's descriptor, not ours to close
  char* name = w->scratch;
  for (;;) {
    char* slash = strchr(name, '/');
    if (slash) *slash = 0;
    int next = openat(current.valid() ? current.get() : walk->rootFd, *name ? name : ".", kDirectoryFlags);
    int error = errno;
    current.reset();
    if (next < 0) {
      errno = error;
      return -1;
    }
    current.reset(next);
    if (!slash) return current.release();
    name = slash + 1;
  }
}

// Opens the directory w->path (below the root) without following a link
// anywhere on the way: a directory renamed or swapped for a link since it
// was listed is never left for somewhere outside the tree.
int OpenBelowRoot(Worker* w) {
  Walk* walk = w->walk;
  const char* relative = w->path + walk->rootLength;
  while (*relative == '/') ++relative;
#if defined(__linux__) && defined(SYS_openat2)
  if (!gComponentOpen.load(std::memory_order_relaxed) && walk->openat2Works.load(std::memory_order_relaxed)) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(kDirectoryFlags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    // EAGAIN: a rename elsewhere raced the lookup; it may be tried again.
    for (int attempt = 0; attempt < 8; ++attempt) {
      long fd = syscall(SYS_openat2, walk->rootFd, relative, &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EAGAIN) continue;
      // Older kernels and some sandboxes: the same walk, one name at a time.
      if (errno == ENOSYS || errno == EPERM) {
        walk->openat2Works.store(0);
        break;
      }
      return -1;
    }
  }
#endif
  return OpenByComponents(w, relative);
}

// Pushes the subdirectories listed in w->subdirectories, the first on top,
// so that one worker alone walks depth first in listing order. 0 when the
// walk was stopped.
int PushSubdirectories(Worker* w, int fd, size_t length, uint32_t depth) {
  Walk* walk = w->walk;
  NameList* names = &w->subdirectories;
  int go = 1;
  for (size_t at = 0; go && at < names->length;) {
    size_t nameLength = strlen(names->bytes + at);
    if (!NameFits(w, length, nameLength)) go = ReportUnreadable(w, fd, length, nullptr, ENAMETOOLONG);
    at += nameLength + 3;
  }
  uint32_t pushed = 0;
  int outOfMemory = 0;
  pthread_mutex_lock(&walk->queueLock);
  for (size_t end = names->length; go && end > 0;) {
    uint16_t nameLength;
    memcpy(&nameLength, names->bytes + end - 2, 2);
    const char* name = names->bytes + end - 3 - nameLength;
    end -= nameLength + 3u;
    if (!NameFits(w, length, nameLength)) continue;
    size_t start = PutName(w, length, name, nameLength);
    if (PushPending(&walk->pending, w->path, start + nameLength, depth + 1)) {
      pushed += 1;
    } else {
      outOfMemory = 1;
    }
  }
  // As many sleepers woken as there is new work for (this worker takes the
  // first directory itself): waking them all would have most find nothing
  // left and sleep again.
  for (uint32_t i = 1; i < pushed && i <= walk->waiting; ++i) pthread_cond_signal(&walk->queueChanged);
  pthread_mutex_unlock(&walk->queueLock);
  w->path[length] = 0;
  names->length = 0;
  if (go && outOfMemory) go = ReportUnreadable(w, fd, length, nullptr, ENOMEM);
  return go;
}

// Lists the open directory `fd` (owned: closed here) whose path is
// w->path[0..length). 0 when the walk was stopped.
int ListDirectory(Worker* w, int fd, size_t length, uint32_t depth) {
  Walk* walk = w->walk;
  w->stats.directories += 1;
  DIR* stream = fdopendir(fd);
  if (!stream) {
    int error = errno;
    OwnedFd unlisted(fd);
    unlisted.reset();
    return ReportUnreadable(w, -1, length, nullptr, error);
  }
  w->subdirectories.length = 0;
  int go = 1;
  for (;;) {
    if (walk->stopped.load(std::memory_order_relaxed)) {
      go = 0;
      break;
    }
    errno = 0;
    struct dirent* d = readdir(stream);
    if (!d) {
      if (errno) go = ReportUnreadable(w, fd, length, nullptr, errno);
      break;
    }
    const char* name = d->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = d->d_type;
    if (type == DT_LNK) {
      w->stats.symbolicLinks += 1;
      continue;
    }
    size_t nameLength = strlen(name);
    if (type == DT_DIR) {
      if (!AddName(&w->subdirectories, name, nameLength)) go = ReportUnreadable(w, fd, length, name, ENOMEM);
      if (!go) break;
      continue;
    }
    if (type != DT_REG && type != DT_UNKNOWN) {
      w->stats.special += 1;
      continue;
    }
    if (!NameFits(w, length, nameLength)) {
      if (!ReportUnreadable(w, fd, length, nullptr, ENAMETOOLONG)) {
        go = 0;
        break;
      }
      continue;
    }
    struct stat st;
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      go = ReportUnreadable(w, fd, length, name, errno);
    } else if (S_ISREG(st.st_mode)) {
      go = BatchFileEntry(w, fd, length, name, nameLength, st);
    } else if (S_ISDIR(st.st_mode)) {
      if (!AddName(&w->subdirectories, name, nameLength)) go = ReportUnreadable(w, fd, length, name, ENOMEM);
    } else if (S_ISLNK(st.st_mode)) {
      w->stats.symbolicLinks += 1;
    } else {
      w->stats.special += 1;
    }
    if (!go) break;
  }
  if (go) go = FlushFiles(w, fd, length);
  if (go) go = PushSubdirectories(w, fd, length, depth);
  w->batchCount = 0;
  w->batchNameBytes = 0;
  w->subdirectories.length = 0;
  closedir(stream);
  return go;
}

// Reads the directory waiting at w->path[0..length). 0 when the walk was
// stopped.
int ReadPending(Worker* w, size_t length, uint32_t depth) {
  Walk* walk = w->walk;
  if (depth == 0) {
    // The root, admitted when it was opened.
    int fd = openat(walk->rootFd, ".", kDirectoryFlags);
    if (fd < 0) return ReportUnreadable(w, -1, length, nullptr, errno);
    return ListDirectory(w, fd, length, depth);
  }
  if (depth > kMaxTreeDepth) return ReportUnreadable(w, -1, length, nullptr, ELOOP);
  int fd = OpenBelowRoot(w);
  if (fd < 0) {
    int error = errno;
    // Swapped for a link or a file since it was listed: not followed.
    if (error == ELOOP || error == ENOTDIR) {
      w->stats.symbolicLinks += error == ELOOP;
      return 1;
    }
    return ReportUnreadable(w, -1, length, nullptr, error);
  }
  OwnedFd directory(fd);
  struct stat st;
  if (fstat(directory.get(), &st) != 0) {
    int error = errno;
    directory.reset();
    return ReportUnreadable(w, -1, length, nullptr, error);
  }
  int admit = Admit(w, length, st);
  if (admit <= 0) return admit == 0;
  return ListDirectory(w, directory.release(), length, depth);
}

void RunWorker(Worker* w) {
  Walk* walk = w->walk;
  for (;;) {
    pthread_mutex_lock(&walk->queueLock);
    while (walk->pending.count == 0 && walk->busy > 0 && !walk->stopped.load(std::memory_order_relaxed)) {
      walk->waiting += 1;
      pthread_cond_wait(&walk->queueChanged, &walk->queueLock);
      walk->waiting -= 1;
    }
    if (walk->stopped.load(std::memory_order_relaxed) || walk->pending.count == 0) {
      pthread_mutex_unlock(&walk->queueLock);
      return;
    }
    size_t length;
    uint32_t depth;
    PopPending(&walk->pending, w->path, &length, &depth);
    walk->busy += 1;
    pthread_mutex_unlock(&walk->queueLock);

    ReadPending(w, length, depth);

    pthread_mutex_lock(&walk->queueLock);
    walk->busy -= 1;
    if (walk->busy == 0 && walk->pending.count == 0) pthread_cond_broadcast(&walk->queueChanged);
    pthread_mutex_unlock(&walk->queueLock);
  }
}

void* WorkerThread(void* worker) {
  RunWorker(static_cast<Worker*>(worker));
  return nullptr;
}

// The root is a single regular file: reached through its directory like any
// other file. 0 when the walk was stopped.
int WalkSingleFile(Worker* w, size_t length) {
  char* slash = strrchr(w->path, '/');
  size_t dirLength = slash ? static_cast<size_t>(slash - w->path) : 0;
  char* directory = w->scratch;
  if (!slash) {
    memcpy(directory, ".", 2);
  } else if (dirLength == 0) {
    memcpy(directory, "/", 2);
  } else {
    memcpy(directory, w->path, dirLength);
    directory[dirLength] = 0;
  }
  const char* name = slash ? slash + 1 : w->path;
  int go = 1;
  OwnedFd owner(open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int fd = owner.get();
  struct stat st;
  if (fd < 0) {
    go = ReportUnreadable(w, -1, length, nullptr, errno);
  } else {
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      go = ReportUnreadable(w, -1, length, nullptr, errno);
    } else if (S_ISREG(st.st_mode)) {
      TreeEntry entry{fd, name, w->path, length, dirLength, static_cast<uint64_t>(st.st_size),
                      static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), nullptr, nullptr, 0};
      WalkEntry walkEntry{w->path, static_cast<size_t>(name - w->path), name, entry.size, &entry};
      go = w->walk->visitor->file(w->walk->visitor->context, &walkEntry);
    }
  }
  return go;
}

// Walks from the open root directory with `workers` workers, the calling
// thread one of them.
void RunWorkers(Worker* pool, uint32_t workers) {
  pthread_t threads[kMaxTreeWorkers];
  uint32_t started = 1;
  for (uint32_t i = 1; i < workers; ++i) {
    // A worker the system will not start leaves more for the others.
    if (pthread_create(&threads[started], nullptr, WorkerThread, &pool[i]) == 0) started += 1;
  }
  RunWorker(&pool[0]);
  for (uint32_t i = 1; i < started; ++i) pthread_join(threads[i], nullptr);
}

}  // namespace

void UseComponentOpenForTesting(int on) { gComponentOpen.store(on); }

TreeWalkResult WalkTree(const char* root, const TreeWalkOptions& options, VisitedSet* visited,
                        const WalkVisitor& visitor, TreeWalkStats* stats) {
  uint32_t workers = options.workers ? options.workers : kDefaultTreeWorkers;
  if (workers > kMaxTreeWorkers) workers = kMaxTreeWorkers;
  Worker* pool = static_cast<Worker*>(calloc(workers, sizeof(Worker)));
  if (!pool) {
    if (visitor.unreadable && !visitor.unreadable(visitor.context, root, ENOMEM)) return kWalkStopped;
    return kWalkFinished;
  }
  Walk walk;
  walk.options = &options;
  walk.visited = visited;
  walk.visitor = &visitor;
  walk.rootDevice = 0;
  walk.rootFd = -1;
  walk.rootLength = 0;
  walk.openat2Works.store(1);
  walk.stopped.store(0);
  pthread_mutex_init(&walk.queueLock, nullptr);
  pthread_cond_init(&walk.queueChanged, nullptr);
  pthread_mutex_init(&walk.reportLock, nullptr);
  walk.pending = PendingStack{nullptr, 0, 0, 0};
  walk.busy = 0;
  walk.waiting = 0;
  for (uint32_t i = 0; i < workers; ++i) pool[i].walk = &walk;
  Worker* w = &pool[0];

  size_t length = strlen(root);
  // Trailing slashes would make "root//name"; "/" itself stays.
  while (length > 1 && root[length - 1] == '/') --length;
  if (length + 1 > sizeof w->path) {
    if (visitor.unreadable && !visitor.unreadable(visitor.context, root, ENAMETOOLONG)) walk.stopped.store(1);
  } else {
    memcpy(w->path, root, length);
    w->path[length] = 0;
    walk.rootLength = length;
    struct stat st;
    if (fstatat(AT_FDCWD, w->path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ReportUnreadable(w, -1, length, nullptr, errno);
    } else if (S_ISLNK(st.st_mode)) {
      w->stats.symbolicLinks += 1;
      ReportUnreadable(w, -1, length, nullptr, ELOOP);
    } else if (S_ISDIR(st.st_mode)) {
      walk.rootFd = open(w->path, kDirectoryFlags);
      if (walk.rootFd < 0 || fstat(walk.rootFd, &st) != 0) {
        ReportUnreadable(w, -1, length, nullptr, errno);
      } else {
        walk.rootDevice = static_cast<uint64_t>(st.st_dev);
        // Each root is on its own file system; only what lies below is held to it.
        if (Admit(w, length, st) > 0) {
          if (PushPending(&walk.pending, w->path, length, 0)) {
            RunWorkers(pool, workers);
          } else {
            ReportUnreadable(w, -1, length, nullptr, ENOMEM);
          }
        }
      }
    } else if (S_ISREG(st.st_mode)) {
      if (!WalkSingleFile(w, length)) walk.stopped.store(1);
    } else {
      w->stats.special += 1;
    }
  }

  for (uint32_t i = 0; i < workers; ++i) {
    stats->directories += pool[i].stats.directories;
    stats->symbolicLinks += pool[i].stats.symbolicLinks;
    stats->otherFileSystems += pool[i].stats.otherFileSystems;
    stats->repeats += pool[i].stats.repeats;
    stats->special += pool[i].stats.special;
    free(pool[i].subdirectories.bytes);
  }
  OwnedFd(walk.rootFd).reset();
  free(walk.pending.bytes);
  pthread_mutex_destroy(&walk.queueLock);
  pthread_cond_destroy(&walk.queueChanged);
  pthread_mutex_destroy(&walk.reportLock);
  int stopped = walk.stopped.load();
  free(pool);
  return stopped ? kWalkStopped : kWalkFinished;
}
