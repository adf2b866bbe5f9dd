// The listing of an NTFS mount by its MFT (see mft_walk_posix.h).
#include "walker/mft_walk_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/mft_records_posix.h"
#include "sys/owned_fd_posix.h"
#include "sys/owned_stream.h"

namespace {

const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

enum FolderState : uint8_t {
  kStateUnknown = 0,
  kStateIn = 1,   // below the PATH, listed
  kStateOut = 2,  // elsewhere on the volume, the file system's own, behind a link, or walked before
  kStateResolving = 3,
};

struct Folder {
  uint64_t record;
  uint64_t parent;
  uint32_t sequence;
  uint32_t parentSequence;
  uint32_t nameAt;  // in Listing::names
  uint16_t nameLength;
  uint8_t state;
  uint8_t reparse;
};

// A file whose size (or a stream's) a signature has, by one of its names.
struct Candidate {
  uint64_t record;
  uint64_t parent;
  uint32_t parentSequence;
  uint64_t size;
  std::string name;
  std::string stream;  // empty: the file's unnamed data
};

struct Listing {
  const MftWalkOptions* options;
  VisitedSet* visited;
  const WalkVisitor* visitor;
  TreeWalkStats* stats;
  const char* root;
  size_t rootLength;
  OwnedFd rootFd;
  uint64_t device;
  uint64_t rootRecord;
  MftVolume volume;
  std::vector<Folder> folders;  // in record order
  std::string names;
  // (sequence, record) of every parent folder a file names.
  VisitedSet parents;
  std::vector<Candidate> candidates;
  char trouble[512];
  // Second pass.
  size_t cachedFolder;
  std::string cachedPath;  // the cached folder's path, root included
  int stopped;
  // A PATH that is one file: the root is its folder, and only its record is read.
  int single;
  const char* singleName;
  std::string singleFolder;  // as the rows begin ("" for a name without a folder)
  int singleSeen;
};

const size_t kNoFolder = static_cast<size_t>(-1);

size_t FindFolder(const Listing& l, uint64_t record, uint32_t sequence) {
  auto at = std::lower_bound(l.folders.begin(), l.folders.end(), record,
                             [](const Folder& f, uint64_t r) { return f.record < r; });
  if (at == l.folders.end() || at->record != record || at->sequence != sequence) return kNoFolder;
  return static_cast<size_t>(at - l.folders.begin());
}

int Trouble(Listing* l, const char* text, unsigned long long record) {
  std::snprintf(l->trouble, sizeof l->trouble, text, record);
  return 0;
}

// A name the mount could show as it is: no '/', not "." or "..".
int PlainName(const char* name) {
  return name[0] && !std::strchr(name, '/') && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

int Worth(const Listing& l, uint64_t size) { return l.options->worthReading(l.options->context, size); }

// ---- the first pass: folders, the parents files name, candidates ----

int FirstPass(void* context, const MftRecord& r) {
  Listing* l = static_cast<Listing*>(context);
  int own = r.record < kMftFirstUserRecord;
  if (r.folder) {
    if (r.record == kMftRootRecord) {
      l->folders.push_back(Folder{r.record, r.record, r.sequence, r.sequence, 0, 0, kStateUnknown, 0});
      return 1;
    }
    if (r.nameCount != 1)
      return Trouble(l, "folder record %llu has other than one name", static_cast<unsigned long long>(r.record));
    const MftName& n = r.names[0];
    size_t length = std::strlen(n.name);
    if (!PlainName(n.name) || length > 0xFFFF || l->names.size() > 0xFFFFFFFFu - length)
      return Trouble(l, "folder record %llu has a name no mount shows", static_cast<unsigned long long>(r.record));
    Folder f{r.record, n.parent, r.sequence, n.parentSequence, static_cast<uint32_t>(l->names.size()),
             static_cast<uint16_t>(length), static_cast<uint8_t>(own ? kStateOut : kStateUnknown),
             static_cast<uint8_t>(r.reparse)};
    l->names.append(n.name, length);
    l->folders.push_back(f);
    return 1;
  }
  if (own) return 1;
  for (uint32_t i = 0; i < r.nameCount; ++i) {
    const MftName& n = r.names[i];
    if (!PlainName(n.name))
      return Trouble(l, "record %llu has a name no mount shows", static_cast<unsigned long long>(r.record));
    if (AddToVisitedSet(&l->parents, n.parentSequence, n.parent) < 0)
      return Trouble(l, "out of memory at record %llu", static_cast<unsigned long long>(r.record));
    if (r.reparse) continue;
    if (Worth(*l, r.size)) l->candidates.push_back(Candidate{r.record, n.parent, n.parentSequence, r.size, n.name, ""});
    if (i != 0) continue;
    for (uint32_t s = 0; s < r.streamCount; ++s) {
      // A stream's name goes into the row and the attribute's name.
      if (!PlainName(r.streams[s].name))
        return Trouble(l, "record %llu has a stream name no mount shows", static_cast<unsigned long long>(r.record));
      if (Worth(*l, r.streams[s].size))
        l->candidates.push_back(
            Candidate{r.record, n.parent, n.parentSequence, r.streams[s].size, n.name, r.streams[s].name});
    }
  }
  return 1;
}

// The state of folder `index`, its parents' first; 0 with `trouble` for a
// folder whose parent the MFT does not hold (an orphan: the mount cannot
// show it, so the two views differ).
int Resolve(Listing* l, size_t index, uint32_t depth) {
  Folder& f = l->folders[index];
  if (f.state == kStateIn || f.state == kStateOut) return 1;
  if (f.state == kStateResolving || depth > 4096)
    return Trouble(l, "folder record %llu is inside itself", static_cast<unsigned long long>(f.record));
  if (f.record == l->rootRecord) {
    f.state = InVisitedSet(l->visited, l->device, f.record) ? kStateOut : kStateIn;
    return 1;
  }
  if (f.record == kMftRootRecord) {
    f.state = kStateOut;  // above the PATH
    return 1;
  }
  size_t parent = FindFolder(*l, f.parent, f.parentSequence);
  if (parent == kNoFolder)
    return Trouble(l, "folder record %llu is in no folder the MFT holds", static_cast<unsigned long long>(f.record));
  f.state = kStateResolving;
  if (!Resolve(l, parent, depth + 1)) return 0;
  uint8_t above = l->folders[parent].state;
  // A link or junction is never followed; a folder walked before is not
  // walked again.
  f.state = above == kStateIn && !f.reparse && !InVisitedSet(l->visited, l->device, f.record) ? kStateIn : kStateOut;
  return 1;
}

int ResolveAll(Listing* l) {
  for (size_t i = 0; i < l->folders.size(); ++i)
    if (!Resolve(l, i, 0)) return 0;
  for (size_t g = 0; g < l->parents.groupCount; ++g) {
    const VisitedGroup& group = l->parents.groups[g];
    uint32_t sequence = static_cast<uint32_t>(group.first);
    for (size_t s = 0; s < group.capacity; ++s)
      if (group.seconds[s] && FindFolder(*l, group.seconds[s], sequence) == kNoFolder)
        return Trouble(l, "files name folder record %llu, which the MFT does not hold",
                       static_cast<unsigned long long>(group.seconds[s]));
    if (group.zeroSeen && FindFolder(*l, 0, sequence) == kNoFolder)
      return Trouble(l, "files name folder record %llu, which the MFT does not hold", 0ull);
  }
  return 1;
}

// The path of folder `index` below the PATH ("" for the PATH itself).
void RelativePath(const Listing& l, size_t index, std::string* out) {
  std::vector<size_t> chain;
  for (size_t i = index; l.folders[i].record != l.rootRecord;
       i = FindFolder(l, l.folders[i].parent, l.folders[i].parentSequence))
    chain.push_back(i);
  out->clear();
  for (size_t k = chain.size(); k-- > 0;) {
    if (!out->empty()) out->push_back('/');
    const Folder& f = l.folders[chain[k]];
    out->append(l.names, f.nameAt, f.nameLength);
  }
}

// Opens the folder `relative` below the PATH one name at a time, none of
// them followed if it is a link. -1 with errno.
int OpenBelow(const Listing& l, const std::string& relative) {
  OwnedFd current(dup(l.rootFd.get()));
  size_t at = 0;
  while (current.valid() && at < relative.size()) {
    size_t end = relative.find('/', at);
    if (end == std::string::npos) end = relative.size();
    std::string name = relative.substr(at, end - at);
    current.reset(openat(current.get(), name.c_str(), kDirectoryFlags));
    at = end + 1;
  }
  return current.release();
}

// 1 when the mount shows the candidate as the MFT does: the same record
// behind the name, a regular file of the same size, the stream there with
// its size.
int MountConfirms(const Listing& l, int directoryFd, const Candidate& c) {
  struct stat st;
  if (fstatat(directoryFd, c.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_ino) != c.record || static_cast<uint64_t>(st.st_dev) != l.device)
    return 0;
  if (c.stream.empty()) return static_cast<uint64_t>(st.st_size) == c.size;
  OwnedFd file(openat(directoryFd, c.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return 0;
  std::string attribute = "user." + c.stream;
  ssize_t size = fgetxattr(file.get(), attribute.c_str(), nullptr, 0);
  return size >= 0 && static_cast<uint64_t>(size) == c.size;
}

int ConfirmCandidates(Listing* l) {
  std::string relative;
  for (const Candidate& c : l->candidates) {
    size_t parent = FindFolder(*l, c.parent, c.parentSequence);
    if (parent == kNoFolder || l->folders[parent].state != kStateIn) continue;
    RelativePath(*l, parent, &relative);
    OwnedFd folder(OpenBelow(*l, relative));
    if (!folder.valid() || !MountConfirms(*l, folder.get(), c)) {
      std::string shown = relative.empty() ? c.name : relative + "/" + c.name;
      if (!c.stream.empty()) shown += ":" + c.stream;
      std::snprintf(l->trouble, sizeof l->trouble, "the mount does not show %s as the MFT does", shown.c_str());
      return 0;
    }
  }
  return 1;
}

// ---- the second pass: every file below the PATH, in record order ----

struct StreamSource {
  Listing* listing;
  uint64_t record;
};

int Unreadable(Listing* l, const std::string& path, int error) {
  if (l->visitor->unreadable && !l->visitor->unreadable(l->visitor->context, path.c_str(), static_cast<uint32_t>(error)))
    l->stopped = 1;
  return !l->stopped;
}

// Hands on one name of a file (or one stream) to the visitor: a candidate
// with its folder open and confirmed again, anything else for counting.
int HandOn(Listing* l, const std::string& folderPath, const char* name, uint64_t record, uint64_t size,
           const MftStream* stream) {
  std::string path = folderPath.empty() ? std::string(name) : folderPath + "/" + name;
  size_t nameLength = std::strlen(name);
  if (stream) path += std::string(":") + stream->name;
  if (path.size() >= kTreePathCapacity) return Unreadable(l, path, ENAMETOOLONG);
  size_t directoryLength = folderPath.empty() ? 0 : folderPath.size() + 1;
  TreeEntry entry{-1, nullptr, path.c_str(), path.size(), directoryLength, size, l->device, record,
                  stream ? stream->name : nullptr, nullptr, static_cast<uint16_t>(stream ? stream->id : 0)};
  entry.name = entry.path + entry.directoryLength;
  std::string ownName(name, nameLength);
  StreamSource source{l, record};
  OwnedFd folder;
  if (Worth(*l, size)) {
    folder.reset(OpenBelow(*l, l->single || folderPath.size() <= l->rootLength ? ""
                                                                                : folderPath.substr(l->rootLength + 1)));
    Candidate again{record, 0, 0, size, ownName, stream ? stream->name : ""};
    if (!folder.valid() || !MountConfirms(*l, folder.get(), again)) return Unreadable(l, path, ESTALE);
    entry.directoryFd = folder.get();
    // Whoever acts on it opens the name in the folder, not "NAME:STREAM".
    if (stream) entry.name = ownName.c_str();
    entry.streamSource = &source;
  }
  WalkEntry walkEntry{entry.path, entry.directoryLength, entry.path + entry.directoryLength, size, &entry};
  if (!l->visitor->file(l->visitor->context, &walkEntry)) l->stopped = 1;
  return !l->stopped;
}

int SecondPass(void* context, const MftRecord& r) {
  Listing* l = static_cast<Listing*>(context);
  if (r.record < kMftFirstUserRecord) return 1;
  if (r.folder) {
    size_t index = FindFolder(*l, r.record, r.sequence);
    if (index != kNoFolder && l->folders[index].state == kStateIn) {
      l->stats->directories += 1;
      if (AddToVisitedSet(l->visited, l->device, r.record) < 0) return Unreadable(l, l->root, ENOMEM);
    } else if (index != kNoFolder && l->folders[index].reparse) {
      size_t parent = FindFolder(*l, l->folders[index].parent, l->folders[index].parentSequence);
      if (parent != kNoFolder && l->folders[parent].state == kStateIn) l->stats->symbolicLinks += 1;
    }
    return 1;
  }
  for (uint32_t i = 0; i < r.nameCount; ++i) {
    const MftName& n = r.names[i];
    size_t parent = FindFolder(*l, n.parent, n.parentSequence);
    // A folder made since the first pass is the run's own (quarantine,
    // backups): it was not there to be listed.
    if (parent == kNoFolder || l->folders[parent].state != kStateIn) continue;
    if (r.reparse) {
      l->stats->symbolicLinks += 1;
      continue;
    }
    if (parent != l->cachedFolder) {
      std::string relative;
      RelativePath(*l, parent, &relative);
      l->cachedPath.assign(l->root, l->rootLength);
      if (!relative.empty()) l->cachedPath += "/" + relative;
      l->cachedFolder = parent;
    }
    if (!HandOn(l, l->cachedPath, n.name, r.record, r.size, nullptr)) return 0;
    if (i == 0)
      for (uint32_t s = 0; s < r.streamCount; ++s)
        if (Worth(*l, r.streams[s].size) && !HandOn(l, l->cachedPath, n.name, r.record, r.streams[s].size, &r.streams[s]))
          return 0;
  }
  return 1;
}

// A PATH that is one file: its record must name it in its folder, as the
// mount does; then it and its streams are handed on.
int OneRecord(void* context, const MftRecord& r) {
  Listing* l = static_cast<Listing*>(context);
  int named = 0;
  for (uint32_t i = 0; i < r.nameCount; ++i)
    if (r.names[i].parent == l->rootRecord && std::strcmp(r.names[i].name, l->singleName) == 0) named = 1;
  if (r.folder || r.reparse || !named)
    return Trouble(l, "record %llu is not the file the mount shows", static_cast<unsigned long long>(r.record));
  for (uint32_t s = 0; s < r.streamCount; ++s)
    if (!PlainName(r.streams[s].name))
      return Trouble(l, "record %llu has a stream name no mount shows", static_cast<unsigned long long>(r.record));
  l->singleSeen = 1;
  return 1;
}

int HandOnOne(Listing* l, uint64_t record) {
  struct Streams {
    Listing* l;
    uint64_t size;
    std::vector<MftStream> streams;
    std::vector<std::string> names;
  } kept{l, 0, {}, {}};
  auto keep = [](void* context, const MftRecord& r) {
    Streams* k = static_cast<Streams*>(context);
    k->size = r.size;
    for (uint32_t s = 0; s < r.streamCount; ++s) {
      k->names.push_back(r.streams[s].name);
      k->streams.push_back(r.streams[s]);
    }
    return 1;
  };
  char why[kMftTroubleCapacity];
  if (!ReadMftRecord(&l->volume, record, keep, &kept, why, sizeof why)) return Unreadable(l, l->root, EIO);
  if (!HandOn(l, l->singleFolder, l->singleName, record, kept.size, nullptr)) return 0;
  for (size_t s = 0; s < kept.streams.size(); ++s) {
    kept.streams[s].name = kept.names[s].c_str();
    if (Worth(*l, kept.streams[s].size) &&
        !HandOn(l, l->singleFolder, l->singleName, record, kept.streams[s].size, &kept.streams[s]))
      return 0;
  }
  return 1;
}

// ---- the mount ----

int SamePathOrBelow(const char* path, const char* point) {
  size_t n = std::strlen(point);
  if (std::strcmp(point, "/") == 0) return 1;
  return std::strncmp(path, point, n) == 0 && (path[n] == 0 || path[n] == '/');
}

// The mount `canonical` lies on (device `device`), and whether another
// file system is mounted below it.
int FindMount(const char* canonical, uint64_t device, MountInfo* found, int* inside) {
  OwnedStream owned(std::fopen("/proc/self/mountinfo", "re"));
  FILE* table = owned.get();
  if (!table) return 0;
  static MountInfo mount;
  std::vector<std::string> points;
  char* line = nullptr;
  size_t size = 0;
  int any = 0;
  ssize_t length;
  while ((length = getline(&line, &size, table)) > 0) {
    if (line[length - 1] == '\n') line[length - 1] = 0;
    if (!ParseMountInfoLine(line, &mount)) continue;
    points.push_back(mount.point);
    if (makedev(mount.major, mount.minor) != device || !SamePathOrBelow(canonical, mount.point)) continue;
    if (!any || std::strlen(mount.point) >= std::strlen(found->point)) *found = mount;
    any = 1;
  }
  std::free(line);
  *inside = 0;
  if (any)
    for (const std::string& p : points)
      if (p != found->point && SamePathOrBelow(p.c_str(), found->point)) *inside = 1;
  return any;
}

}  // namespace

MftWalkResult WalkNtfsMount(const char* root, const MftWalkOptions& options, VisitedSet* visited,
                            const WalkVisitor& visitor, TreeWalkStats* stats) {
  struct stat st;
  char canonical[PATH_MAX];
  static MountInfo mount;
  int inside = 0;
  WalkFacts facts{options.mode, 0, &mount, 0, 0, options.crossFileSystems, options.everyFile};
  if (options.mode != kWalkDirs) {
    if (lstat(root, &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) || !realpath(root, canonical)) {
      options.decided(options.context, root, 0, "it is no folder or file", 0);
      return kMftNotUsed;
    }
    facts.mountFound = FindMount(canonical, static_cast<uint64_t>(st.st_dev), &mount, &inside);
    facts.wholeVolume = facts.mountFound && std::strcmp(mount.root, "/") == 0;
    facts.mountsInside = inside;
  }
  WalkChoice choice = ChooseWalk(facts);
  if (!choice.useMft) {
    options.decided(options.context, root, 0, choice.reason, choice.sayOnConsole);
    return kMftNotUsed;
  }

  Listing l;
  l.options = &options;
  l.visited = visited;
  l.visitor = &visitor;
  l.stats = stats;
  l.root = root;
  l.rootLength = std::strlen(root);
  while (l.rootLength > 1 && root[l.rootLength - 1] == '/') --l.rootLength;
  l.single = S_ISREG(st.st_mode);
  l.singleName = nullptr;
  l.singleSeen = 0;
  std::string folderOfFile;
  if (l.single) {
    const char* slash = std::strrchr(root, '/');
    l.singleName = slash ? slash + 1 : root;
    l.singleFolder.assign(root, slash ? static_cast<size_t>(slash - root) : 0);
    folderOfFile = slash == root ? "/" : l.singleFolder.empty() ? "." : l.singleFolder;
    l.root = folderOfFile.c_str();
    l.rootLength = folderOfFile.size();
  }
  l.device = 0;
  l.rootRecord = 0;
  std::memset(&l.volume, 0, sizeof l.volume);
  l.trouble[0] = 0;
  l.cachedFolder = kNoFolder;
  l.stopped = 0;
  InitVisitedSet(&l.parents);
  auto end = [&]() {
    CloseMftVolume(&l.volume);
    FreeVisitedSet(&l.parents);
    l.rootFd.reset();
  };
  auto fallBack = [&](int ntfs, const char* reason) {
    WalkChoice folders = ChooseFolders(options.mode, ntfs, reason);
    options.decided(options.context, root, 0, folders.reason, folders.sayOnConsole);
    end();
    return kMftNotUsed;
  };

  l.rootFd.reset(open(l.root, kDirectoryFlags));
  struct stat rootState, pointState;
  struct statvfs fs;
  if (!l.rootFd.valid() || fstat(l.rootFd.get(), &rootState) != 0 || stat(mount.point, &pointState) != 0 ||
      fstatvfs(l.rootFd.get(), &fs) != 0)
    return fallBack(0, "it cannot be opened");
  l.device = static_cast<uint64_t>(rootState.st_dev);
  l.rootRecord = static_cast<uint64_t>(rootState.st_ino);
  // What the mount has taken in reaches the device before it is read.
  syncfs(l.rootFd.get());
  // The device is opened here, never through a link, and must be a disk or
  // a file: the library gets this very file.
  OwnedFd device(open(mount.source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat deviceState;
  if (!device.valid() || fstat(device.get(), &deviceState) != 0 ||
      !(S_ISBLK(deviceState.st_mode) || S_ISREG(deviceState.st_mode))) {
    std::snprintf(l.trouble, sizeof l.trouble, "its device %s cannot be read: %s", mount.source,
                  device.valid() ? "it is no disk or file" : std::strerror(errno));
    return fallBack(0, l.trouble);
  }
  char byDescriptor[64];
  std::snprintf(byDescriptor, sizeof byDescriptor, "/proc/self/fd/%d", device.get());
  if (!OpenMftVolume(byDescriptor, &l.volume, l.trouble, sizeof l.trouble)) return fallBack(0, l.trouble);
  // The device holds the mounted volume: the same size, its root folder the
  // mount's.
  if (l.volume.bytes != static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize || pointState.st_ino != kMftRootRecord ||
      static_cast<uint64_t>(pointState.st_dev) != l.device)
    return fallBack(1, "its device does not hold the volume the mount shows");

  char why[kMftTroubleCapacity + 64] = "";
  if (l.single) {
    uint64_t record = static_cast<uint64_t>(st.st_ino);
    int read = ReadMftRecord(&l.volume, record, OneRecord, &l, why, sizeof why);
    if (l.trouble[0]) return fallBack(1, l.trouble);
    if (!read) return fallBack(1, why);
    if (!l.singleSeen) return fallBack(1, "its record is not in use in the MFT");
    options.decided(options.context, root, 1, mount.source, 0);
    HandOnOne(&l, record);
    end();
    return l.stopped ? kMftStopped : kMftFinished;
  }
  int listed = WalkMftRecords(&l.volume, FirstPass, &l, why, sizeof why);
  if (listed != 1) return fallBack(1, listed < 0 ? l.trouble : why);
  if (std::none_of(l.folders.begin(), l.folders.end(), [&](const Folder& f) { return f.record == l.rootRecord; }))
    return fallBack(1, "the MFT holds no folder of its record number");
  if (!ResolveAll(&l) || !ConfirmCandidates(&l)) return fallBack(1, l.trouble);

  options.decided(options.context, root, 1, mount.source, 0);
  int walked = WalkMftRecords(&l.volume, SecondPass, &l, why, sizeof why);
  // The listing broke off after files were handed on: what it did not reach
  // is said, never passed over in silence.
  if (walked == 0 && !l.stopped && visitor.unreadable && !visitor.unreadable(visitor.context, root, EIO))
    l.stopped = 1;
  end();
  return l.stopped ? kMftStopped : kMftFinished;
}

int64_t ReadListedStream(const TreeEntry& entry, uint64_t offset, void* buffer, size_t capacity) {
  const StreamSource* source = static_cast<const StreamSource*>(entry.streamSource);
  if (!source || !entry.stream) return -1;
  return ReadMftStream(&source->listing->volume, source->record, entry.streamId, offset, buffer, capacity);
}
