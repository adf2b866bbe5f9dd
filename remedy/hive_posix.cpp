// Offline Run-value cleaning through libhivex (see hive_posix.h).
#include "remedy/hive_posix.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remedy/name_escape.h"
#include "remedy/reg_export.h"
#include "remedy/trusted_folder_posix.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

void (*gAfterHiveReadForTests)(const char* hivePath) = nullptr;

namespace {

// The keys whose values start programs at every logon (Run) or at the
// next one (RunOnce), by where they lie in the hive and by regedit's name.
struct RunKey {
  const char* const* parts;
  uint32_t depth;
  const char* regKey;  // the .reg file's key line
  const char* shown;   // below the hive's root, as records name it
};
const char* const kUserRun[] = {"Software", "Microsoft", "Windows", "CurrentVersion", "Run"};
const char* const kUserRunOnce[] = {"Software", "Microsoft", "Windows", "CurrentVersion", "RunOnce"};
const char* const kMachineRun[] = {"Microsoft", "Windows", "CurrentVersion", "Run"};
const char* const kMachineRunOnce[] = {"Microsoft", "Windows", "CurrentVersion", "RunOnce"};
const RunKey kUserKeys[] = {
    {kUserRun, 5, "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
     "Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
    {kUserRunOnce, 5, "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
     "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"},
};
const RunKey kMachineKeys[] = {
    {kMachineRun, 4, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
     "Microsoft\\Windows\\CurrentVersion\\Run"},
    {kMachineRunOnce, 4, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
     "Microsoft\\Windows\\CurrentVersion\\RunOnce"},
};
const uint32_t kRunKeyCount = 2;

int Say(char* reason, size_t capacity, const char* format, const char* detail) {
  if (capacity) snprintf(reason, capacity, format, detail);
  return 0;
}

// libhivex opens by name: the name of a descriptor we hold, so that what it
// reads or writes is the very file we opened.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The type is read as a number: a hive may hold types libhivex's enum does
// not list, and such a value must not be loaded as a hive_type.
uint32_t ValueType(hive_h* hive, hive_value_h value, size_t* length) {
  uint32_t raw = 0;
  static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type is read through a uint32_t");
  if (hivex_value_type(hive, value, reinterpret_cast<hive_type*>(&raw), length) != 0) return UINT32_MAX;
  return raw;
}

char* ValueData(hive_h* hive, hive_value_h value, uint32_t* type, size_t* length) {
  return hivex_value_value(hive, value, reinterpret_cast<hive_type*>(type), length);
}

hive_node_h Descend(hive_h* hive, const char* const* parts, uint32_t depth) {
  hive_node_h node = hivex_root(hive);
  // hivex_node_get_child compares names without regard to case, as Windows does.
  for (uint32_t i = 0; node && i < depth; ++i) node = hivex_node_get_child(hive, node, parts[i]);
  return node;
}

// The text a value is examined as: string types as UTF-8, every other type
// as the bytes it holds up to the first zero byte. Malloc'ed; null when it
// cannot be read.
char* ValueText(hive_h* hive, hive_value_h value) {
  size_t length = 0;
  uint32_t type = ValueType(hive, value, &length);
  if (type == UINT32_MAX) return nullptr;
  if (type == kRegString || type == kRegExpandString) return hivex_value_string(hive, value);
  char* raw = ValueData(hive, value, &type, &length);
  if (!raw) return nullptr;
  char* text = static_cast<char*>(malloc(length + 1));
  if (text) {
    memcpy(text, raw, length);
    text[length] = 0;
  }
  free(raw);
  return text;
}

// Copies the open file `from` (its `size` bytes) into a new file.
int CopyInto(int from, uint64_t size, int to) { return CopyFileBytes(from, size, to) && fsync(to) == 0; }

// The folder, opened (made first when it is a new default one). 0 with
// errno, or with the reason in `why`.
int OpenBackupFolder(HiveBackup* backup, const char** why) {
  if (backup->folderFd >= 0) return 1;
  OwnedFd folder;
  int created = 0;
  *why = nullptr;
  if (backup->requested) {
    if (!OpenTrustedFolder(backup->folder, &folder, &created, why)) return 0;
  } else {
    char state[kMountedPathCapacity - 128];
    if (!HostStateFolder(state, sizeof state)) {
      *why = "this host has no folder for backups (set HOME, or name one with --backup)";
      return 0;
    }
    std::string parent = std::string(state) + "/backups";
    OwnedFd backups;
    int madeParent = 0;
    if (!OpenTrustedFolder(parent.c_str(), &backups, &madeParent, why)) return 0;
    // A name no other run (or earlier use of the same second) has taken.
    char stem[64];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stem, sizeof stem, "quellix-backup-%Y%m%d-%H%M%S", &local);
    for (uint32_t n = 1;; ++n) {
      snprintf(backup->folder, sizeof backup->folder, "%s/%s-%ld-%u", parent.c_str(), stem,
               static_cast<long>(getpid()), n);
      if (mkdirat(backups.get(), backup->folder + parent.size() + 1, 0700) == 0) break;
      if (errno != EEXIST || n >= 1000) return 0;
    }
    created = 1;
    folder.reset(openat(backups.get(), backup->folder + parent.size() + 1,
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return 0;
  }
  backup->created = created;
  backup->folderFd = folder.release();
  return 1;
}

int EnsureFolder(HiveBackup* backup) {
  const char* why = nullptr;
  if (OpenBackupFolder(backup, &why)) return 1;
  if (why) errno = EPERM;
  return 0;
}

// Two new files in the backup folder, "<serial>-<user>-<hive>" and
// "<serial>-<user>-Run.reg", the serial moving on past names already there.
int CreateBackupFiles(HiveBackup* backup, const char* user, const char* hiveName, OwnedFd* copy, OwnedFd* reg) {
  for (uint32_t tries = 0; tries < 10000; ++tries) {
    backup->serial += 1;
    std::string stem = std::to_string(backup->serial) + "-" + user + "-";
    std::string copyName = stem + hiveName, regName = stem + "Run.reg";
    if (!CreateNewFile(backup->folderFd, copyName.c_str(), 0600, copy)) {
      if (errno != EEXIST) return 0;
      continue;
    }
    if (CreateNewFile(backup->folderFd, regName.c_str(), 0600, reg)) {
      snprintf(backup->regFile, sizeof backup->regFile, "%s/%s", backup->folder, regName.c_str());
      return 1;
    }
    int error = errno;
    copy->reset();
    unlinkat(backup->folderFd, copyName.c_str(), 0);
    if (error != EEXIST) {
      errno = error;
      return 0;
    }
  }
  return 0;
}

// A UTF-8 string value as the ANSI bytes REGEDIT4 wants, when it is plain
// ASCII; 0 otherwise (the raw bytes are exported instead).
int AsciiString(const char* text, size_t* length) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p, ++n)
    if (*p >= 0x80) return 0;
  *length = n;
  return 1;
}

struct Collected {
  uint32_t key;  // index into the hive's RunKey table
  char* name;
  uint32_t type;
  size_t length;
  char* data;
  int remove;
  const char* refersTo;
  char* text;
};

struct CollectedValues {
  std::vector<Collected> values;
  ~CollectedValues() {
    for (Collected& c : values) {
      free(c.name);
      free(c.data);
      free(c.text);
    }
  }
};

// Each value that goes (or would go) to the listener, and counted.
void TellGone(const CollectedValues& collected, const RunKey* keys, const char* hivePath,
              const HiveValueListener& listener, uint32_t* deleted) {
  for (const Collected& c : collected.values) {
    if (!c.remove) continue;
    *deleted += 1;
    if (listener.deleted)
      listener.deleted(listener.context, hivePath, keys[c.key].shown, c.name, c.text ? c.text : "", c.refersTo);
  }
}

struct HiveOwner {
  hive_h* hive = nullptr;
  ~HiveOwner() {
    if (hive) hivex_close(hive);
  }
};

// The user's name as a part of a file name: nothing but letters, digits,
// '-', '_' and '.'; the rest becomes '_'.
std::string FileNamePart(const char* user) {
  std::string part;
  for (const char* p = user; *p && part.size() < 64; ++p) {
    char c = *p;
    int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                (c == '.' && !part.empty());
    part += plain ? c : '_';
  }
  return part.empty() ? "user" : part;
}

void AppendRegValue(std::string* text, const Collected& c) {
  size_t asciiLength = 0;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(c.data);
  uint32_t size = static_cast<uint32_t>(c.length);
  if ((c.type == kRegString || c.type == kRegExpandString) && c.text && AsciiString(c.text, &asciiLength)) {
    data = reinterpret_cast<const unsigned char*>(c.text);
    size = static_cast<uint32_t>(asciiLength + 1);
  }
  size_t length = FormatRegValueLine(nullptr, 0, c.name, c.type, data, size);
  std::vector<char> line(length + 1);
  FormatRegValueLine(line.data(), line.size(), c.name, c.type, data, size);
  text->append(line.data(), length);
}

// The new hive holds in `key` exactly `kept`, in order, byte for byte.
int HoldsExactly(hive_h* hive, const RunKey& key, const std::vector<const Collected*>& kept) {
  hive_node_h run = Descend(hive, key.parts, key.depth);
  if (!run) return 0;
  hive_value_h* values = hivex_node_values(hive, run);
  if (!values) return 0;
  size_t count = 0;
  while (values[count]) ++count;
  int same = count == kept.size();
  for (size_t i = 0; same && i < count; ++i) {
    char* name = hivex_value_key(hive, values[i]);
    uint32_t type = 0;
    size_t length = 0;
    char* data = ValueData(hive, values[i], &type, &length);
    same = name && data && strcmp(name, kept[i]->name) == 0 && type == kept[i]->type &&
           length == kept[i]->length && memcmp(data, kept[i]->data, length) == 0;
    free(name);
    free(data);
  }
  free(values);
  return same;
}

// A private copy of the open hive in memory, for a read that must change
// nothing: libhivex opens by name and would read the file without O_NOATIME.
int CopyToMemory(int fd, uint64_t size, OwnedFd* memory) {
  memory->reset(memfd_create("quellix-hive", MFD_CLOEXEC));
  return memory->valid() && CopyInto(fd, size, memory->get());
}

}  // namespace

void InitHiveBackup(HiveBackup* backup, const char* requested) {
  backup->folder[0] = 0;
  backup->regFile[0] = 0;
  backup->requested = requested != nullptr;
  backup->folderFd = -1;
  backup->created = 0;
  backup->serial = 0;
  if (requested) snprintf(backup->folder, sizeof backup->folder, "%s", requested);
}

int PrepareHiveBackup(HiveBackup* backup, const char* const* scanned, uint32_t count, char* why, size_t capacity) {
  const char* reason = nullptr;
  if (!OpenBackupFolder(backup, &reason)) {
    snprintf(why, capacity, "%s", reason ? reason : strerror(errno));
    return 0;
  }
  // The volume being cleaned is no place for what may have to bring it back.
  char folder[PATH_MAX], root[PATH_MAX];
  for (uint32_t i = 0; i < count && !backup->requested; ++i) {
    if (!realpath(backup->folder, folder) || !realpath(scanned[i], root)) continue;
    size_t n = strlen(root);
    if (strncmp(folder, root, n) == 0 && (folder[n] == '/' || folder[n] == 0 || n == 1)) {
      snprintf(why, capacity, "the default backup folder lies in %s, which is scanned: name another place with "
               "--backup", scanned[i]);
      return 0;
    }
  }
  // A folder that cannot take a file would fail only once the files are gone.
  char probe[64];
  snprintf(probe, sizeof probe, ".probe-%ld", static_cast<long>(getpid()));
  OwnedFd file;
  if (!CreateNewFile(backup->folderFd, probe, 0600, &file) || !file.close()) {
    snprintf(why, capacity, "no file can be made there: %s", strerror(errno));
    unlinkat(backup->folderFd, probe, 0);
    return 0;
  }
  unlinkat(backup->folderFd, probe, 0);
  return 1;
}

void CloseHiveBackup(HiveBackup* backup) {
  OwnedFd folder(backup->folderFd);
  backup->folderFd = -1;
  if (backup->created && backup->serial == 0) rmdir(backup->folder);
  backup->created = 0;
}

long ReadFileHead(const char* path, unsigned char* bytes, size_t length) {
  // Looking must not leave a trace, the access time included.
  OwnedFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME));
  if (!fd.valid() && errno == EPERM) fd.reset(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  ssize_t got = read(fd.get(), bytes, length);
  return static_cast<long>(got);
}

int ReadHiveString(const char* hivePath, const char* const* keyPath, uint32_t depth, const char* valueName, char* out,
                   size_t capacity) {
  // Read from a copy in memory: a detection-only run reads it too, and
  // looking must not leave a trace.
  OwnedFd fd(open(hivePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME));
  if (!fd.valid() && errno == EPERM) fd.reset(open(hivePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  OwnedFd memory;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > kMaxHiveSize ||
      !CopyToMemory(fd.get(), static_cast<uint64_t>(st.st_size), &memory))
    return 0;
  HiveOwner owner;
  owner.hive = hivex_open(DescriptorPath(memory.get()).c_str(), 0);
  if (!owner.hive) return 0;
  int found = 0;
  hive_node_h node = Descend(owner.hive, keyPath, depth);
  hive_value_h value = node ? hivex_node_get_value(owner.hive, node, valueName) : 0;
  char* text = value ? hivex_value_string(owner.hive, value) : nullptr;
  if (text && strlen(text) + 1 <= capacity) {
    memcpy(out, text, strlen(text) + 1);
    found = 1;
  }
  free(text);
  return found;
}

namespace {

// One cleaning, step by step: what was opened and read, and what goes.
struct HiveCleaning {
  const HiveCleanRequest* request;
  char* reason;
  size_t capacity;
  OwnedFd fd;
  struct stat st;
  uint64_t size;
  HiveHeaderState state;
  OwnedFd memory;
  HiveOwner owner;
  const RunKey* keys;
  CollectedValues collected;
  hive_node_h runNodes[kRunKeyCount];
  size_t toDelete;
};

HiveCleanOutcome Refuse(HiveCleaning* c, HiveCleanOutcome outcome, const char* format, const char* detail = "") {
  Say(c->reason, c->capacity, format, detail);
  return outcome;
}

// The hive, once, through its folder, no link followed, and every reason
// its shape gives not to touch it. Done when it may be read.
HiveCleanOutcome OpenHive(HiveCleaning* c) {
  const HiveCleanRequest& request = *c->request;
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  c->fd.reset(openat(request.folderFd, request.name, flags | O_NOATIME));
  if (!c->fd.valid() && errno == EPERM) c->fd.reset(openat(request.folderFd, request.name, flags));
  if (!c->fd.valid() || fstat(c->fd.get(), &c->st) != 0)
    return Refuse(c, kHiveCleanFailed, "cannot be read: %s", strerror(errno));
  if (!S_ISREG(c->st.st_mode)) return Refuse(c, kHiveRefusedShape, "it is no regular file%s");
  unsigned char head[512];
  ssize_t got = pread(c->fd.get(), head, sizeof head, 0);
  if (got < 0) return Refuse(c, kHiveCleanFailed, "cannot be read: %s", strerror(errno));
  c->state = CheckHiveHeader(head, static_cast<size_t>(got));
  if (c->state == kHiveHeaderNotRegf) return Refuse(c, kHiveNotNt, "not a registry hive%s");
  c->size = static_cast<uint64_t>(c->st.st_size);
  if (c->st.st_nlink > 1)
    return Refuse(c, kHiveRefusedShape, "it has other names (hard links), which would change with it%s");
  if (static_cast<uint64_t>(c->st.st_blocks) * 512 < c->size)
    return Refuse(c, kHiveRefusedShape, "it is a sparse file, which no system writes as a hive%s");
  if (c->size > kMaxHiveSize) return Refuse(c, kHiveRefusedShape, "it is larger than any user hive (over 256 MiB)%s");
  uint32_t bins = HiveBinsLength(head, static_cast<size_t>(got));
  if (bins == 0 || 4096 + static_cast<uint64_t>(bins) > c->size)
    return Refuse(c, kHiveRefusedShape, "its header claims more than the file holds%s");
  // A preview reads a copy and opens nothing for writing.
  if (request.preview && !CopyToMemory(c->fd.get(), c->size, &c->memory))
    return Refuse(c, kHiveCleanFailed, "cannot be read: %s", strerror(errno));
  c->owner.hive = request.preview ? hivex_open(DescriptorPath(c->memory.get()).c_str(), 0)
                                  : hivex_open(DescriptorPath(c->fd.get()).c_str(), HIVEX_OPEN_WRITE);
  if (!c->owner.hive) return Refuse(c, kHiveCleanFailed, "libhivex cannot open it: %s", strerror(errno));
  c->keys = request.machineHive ? kMachineKeys : kUserKeys;
  return kHiveCleanDone;
}

// The environment: what the volume tells, then the user's own variables
// (the SOFTWARE hive has none).
void ReadEnvironment(HiveCleaning* c, OfflineEnvironment* environment) {
  hive_h* hive = c->owner.hive;
  *environment = *c->request->volumeEnvironment;
  hive_node_h key = c->request->machineHive ? 0 : hivex_node_get_child(hive, hivex_root(hive), "Environment");
  hive_value_h* variables = key ? hivex_node_values(hive, key) : nullptr;
  for (size_t i = 0; variables && variables[i]; ++i) {
    char* name = hivex_value_key(hive, variables[i]);
    char* value = ValueText(hive, variables[i]);
    if (name && value && *name) SetOfflineVariable(environment, name, value);
    free(name);
    free(value);
  }
  free(variables);
}

// Which Run values start a removed file. A name a .reg file cannot hold as
// it is stays, so that nothing goes that cannot be brought back (a preview
// does not offer it either); each is counted in `kept` and named.
HiveCleanOutcome CollectRunValues(HiveCleaning* c, const CommandLineHost& host, uint32_t* kept) {
  const HiveCleanRequest& request = *c->request;
  hive_h* hive = c->owner.hive;
  std::string leftNames;
  c->toDelete = 0;
  for (uint32_t k = 0; k < kRunKeyCount; ++k) {
    c->runNodes[k] = Descend(hive, c->keys[k].parts, c->keys[k].depth);
    hive_value_h* values = c->runNodes[k] ? hivex_node_values(hive, c->runNodes[k]) : nullptr;
    for (size_t i = 0; values && values[i]; ++i) {
      c->collected.values.push_back(Collected{});
      Collected& v = c->collected.values.back();
      v.key = k;
      v.name = hivex_value_key(hive, values[i]);
      v.data = ValueData(hive, values[i], &v.type, &v.length);
      v.text = ValueText(hive, values[i]);
      if (!v.name || !v.data) {
        free(values);
        return Refuse(c, kHiveCleanFailed, "a Run value cannot be read%s");
      }
      for (uint32_t r = 0; v.text && r < request.removedCount && !v.remove; ++r) {
        if (CommandLineRefersTo(v.text, request.removedWindowsPaths[r], &host)) {
          v.remove = 1;
          v.refersTo = request.removedWindowsPaths[r];
        }
      }
      if (v.remove && NameNeedsEscaping(v.name)) {
        v.remove = 0;
        if (request.preview) continue;
        *kept += 1;
        std::vector<char> shown(EscapeNameForTerminal(v.name, nullptr, 0) + 1);
        EscapeNameForTerminal(v.name, shown.data(), shown.size());
        leftNames += (leftNames.empty() ? "" : ", ") + std::string("\"") + shown.data() + "\"";
      }
      c->toDelete += v.remove;
    }
    free(values);
  }
  if (*kept)
    Say(c->reason, c->capacity,
        "Run value %s starts a removed file but its name holds control characters, so it cannot be saved to a .reg "
        "file and is left",
        leftNames.c_str());
  return kHiveCleanDone;
}

// The new hive in the new file `next` beside the old one: each key's kept
// values, in their order, written, flushed and read back.
HiveCleanOutcome WriteNewHive(HiveCleaning* c, int next) {
  std::vector<hive_set_value> kept[kRunKeyCount];
  std::vector<const Collected*> keptValues[kRunKeyCount];
  uint32_t goes[kRunKeyCount] = {};
  for (const Collected& v : c->collected.values) {
    goes[v.key] += v.remove;
    if (v.remove) continue;
    hive_set_value value{v.name, hive_t_REG_NONE, v.length, v.data};
    memcpy(&value.t, &v.type, sizeof v.type);
    kept[v.key].push_back(value);
    keptValues[v.key].push_back(&v);
  }
  hive_h* hive = c->owner.hive;
  for (uint32_t k = 0; k < kRunKeyCount; ++k)
    if (goes[k] && hivex_node_set_values(hive, c->runNodes[k], kept[k].size(), kept[k].data(), 0) != 0)
      return Refuse(c, kHiveCleanFailed, "libhivex cannot rewrite its Run keys, so it is left as it was: %s",
                    strerror(errno));
  if (hivex_commit(hive, DescriptorPath(next).c_str(), 0) != 0 || fsync(next) != 0)
    return Refuse(c, kHiveCleanFailed, "the new hive could not be written, so it is left as it was: %s",
                  strerror(errno));
  unsigned char head[512];
  ssize_t got = pread(next, head, sizeof head, 0);
  int readBack = got > 0 && CheckHiveHeader(head, static_cast<size_t>(got)) == kHiveHeaderClean;
  if (readBack) {
    HiveOwner written;
    written.hive = hivex_open(DescriptorPath(next).c_str(), 0);
    readBack = written.hive != nullptr;
    for (uint32_t k = 0; readBack && k < kRunKeyCount; ++k)
      if (c->runNodes[k]) readBack = HoldsExactly(written.hive, c->keys[k], keptValues[k]);
  }
  if (!readBack) return Refuse(c, kHiveCleanFailed, "the new hive did not read back as written, so it is left as it was%s");
  return kHiveCleanDone;
}

// The copy of the hive and the .reg of what goes, before it is replaced.
HiveCleanOutcome WriteBackup(HiveCleaning* c) {
  const HiveCleanRequest& request = *c->request;
  HiveBackup* backup = request.backup;
  std::string user = FileNamePart(request.user);
  OwnedFd copy, reg;
  if (!EnsureFolder(backup) ||
      !CreateBackupFiles(backup, user.c_str(), request.machineHive ? "SOFTWARE" : "NTUSER.DAT", &copy, &reg) ||
      !CopyInto(c->fd.get(), c->size, copy.get()) || !copy.close())
    return Refuse(c, kHiveCleanFailed, "no backup could be made, so it is not changed: %s", strerror(errno));
  std::string text = kRegeditFileHeader;
  std::vector<char> shownPath(EscapeNameForTerminal(request.hivePath, nullptr, 0) + 1);
  EscapeNameForTerminal(request.hivePath, shownPath.data(), shownPath.size());
  text += std::string("; Run values deleted from ") + shownPath.data() + "\r\n";
  for (uint32_t k = 0; k < kRunKeyCount; ++k) {
    int goes = 0;
    for (const Collected& v : c->collected.values) goes |= v.remove && v.key == k;
    if (!goes) continue;
    std::vector<char> keyLine(FormatRegKeyLine(nullptr, 0, c->keys[k].regKey) + 1);
    FormatRegKeyLine(keyLine.data(), keyLine.size(), c->keys[k].regKey);
    text += keyLine.data();
    for (const Collected& v : c->collected.values)
      if (v.remove && v.key == k) AppendRegValue(&text, v);
  }
  if (!WriteAllBytes(reg.get(), text.data(), text.size()) || fsync(reg.get()) != 0 || !reg.close())
    return Refuse(c, kHiveCleanFailed, "the .reg backup could not be written, so it is not changed: %s",
                  strerror(errno));
  fsync(backup->folderFd);
  return kHiveCleanDone;
}

// The new file takes the hive's name, only while the name still is the
// file that was read.
HiveCleanOutcome SwapIn(HiveCleaning* c, int next, const char* temp) {
  const HiveCleanRequest& request = *c->request;
  struct stat now;
  if (fstatat(request.folderFd, request.name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != c->st.st_dev ||
      now.st_ino != c->st.st_ino)
    return Refuse(c, kHiveCleanFailed, "it was replaced while it was being cleaned, so it is not changed%s");
  if (fchown(next, c->st.st_uid, c->st.st_gid) != 0 && errno != EPERM) { /* the owner is kept where allowed */ }
  if (fchmod(next, c->st.st_mode & 0777) != 0 || fsync(next) != 0 ||
      renameat(request.folderFd, temp, request.folderFd, request.name) != 0)
    return Refuse(c, kHiveCleanFailed, "the new hive could not take its place, so it is not changed: %s",
                  strerror(errno));
  fsync(request.folderFd);
  return kHiveCleanDone;
}

}  // namespace

HiveCleanOutcome CleanHiveRunValues(const HiveCleanRequest& request, const HiveValueListener& listener,
                                    uint32_t* deleted, uint32_t* kept, char* reason, size_t capacity) {
  *deleted = 0;
  *kept = 0;
  if (capacity) reason[0] = 0;
  std::vector<HiveCleaning> holder(1);
  HiveCleaning* c = holder.data();
  c->request = &request;
  c->reason = reason;
  c->capacity = capacity;
  HiveCleanOutcome outcome = OpenHive(c);
  if (outcome != kHiveCleanDone) return outcome;
  std::vector<OfflineEnvironment> environment(1);
  ReadEnvironment(c, environment.data());
  CommandLineHost host = OfflineCommandLineHost(environment.data());
  outcome = CollectRunValues(c, host, kept);
  if (outcome != kHiveCleanDone || c->toDelete == 0) return outcome;
  if (request.preview) {
    TellGone(c->collected, c->keys, request.hivePath, listener, deleted);
    return kHiveCleanDone;
  }

  // Something goes: first every reason not to write.
  if (c->state == kHiveHeaderLogPending)
    return Refuse(c, kHiveRefusedLog,
                  "its transaction log is not applied (the two sequence numbers of its header differ)%s");
  struct statvfs volume;
  if (fstatvfs(c->fd.get(), &volume) == 0 && (volume.f_flag & ST_RDONLY))
    return Refuse(c, kHiveRefusedReadOnly, "it is on a read-only mount%s");
  if (gAfterHiveReadForTests) gAfterHiveReadForTests(request.hivePath);

  char temp[96];
  static unsigned counter = 0;
  snprintf(temp, sizeof temp, ".quellix-hive-%ld-%u.tmp", static_cast<long>(getpid()), ++counter);
  OwnedFd next;
  if (!CreateNewFile(request.folderFd, temp, 0600, &next))
    return Refuse(c, kHiveCleanFailed, "no new hive could be written beside it: %s", strerror(errno));
  struct TempName {
    int folderFd;
    const char* name;
    int keep;
    ~TempName() {
      if (!keep) unlinkat(folderFd, name, 0);
    }
  } tempName{request.folderFd, temp, 0};
  if ((outcome = WriteNewHive(c, next.get())) != kHiveCleanDone || (outcome = WriteBackup(c)) != kHiveCleanDone ||
      (outcome = SwapIn(c, next.get(), temp)) != kHiveCleanDone)
    return outcome;
  tempName.keep = 1;
  TellGone(c->collected, c->keys, request.hivePath, listener, deleted);
  return kHiveCleanDone;
}
