// The quarantine's file calls on Linux (see quarantine_posix.h).
#include "remedy/quarantine_posix.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remedy/file_removal_posix.h"
#include "remedy/trusted_folder_posix.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

int (*gRenameNoReplaceForTests)(int fromFd, const char* from, int toFd, const char* to) = nullptr;
int gWithoutOpenat2ForTests = 0;

namespace {

int64_t Nanoseconds(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

struct timespec FromNanoseconds(int64_t ns) {
  struct timespec t;
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    t.tv_sec -= 1;
  }
  return t;
}

// The store's root whose given spelling begins `path` (the longest), and
// the rest of `path` after it.
const QuarantineRoot* RootOf(const QuarantineRoots& store, const char* path, const char** rest) {
  const QuarantineRoot* best = nullptr;
  size_t bestLength = 0;
  for (uint32_t i = 0; i < store.count; ++i) {
    const char* given = store.roots[i].given;
    // A single file scanned: its own path, the root its folder.
    if (store.roots[i].file) {
      if (strcmp(path, given) != 0) continue;
      const char* slash = strrchr(path, '/');
      *rest = slash ? slash + 1 : path;
      return &store.roots[i];
    }
    size_t n = strlen(given);
    while (n > 1 && given[n - 1] == '/') --n;
    if (strncmp(path, given, n) != 0 || (path[n] != '/' && path[n] != 0 && !(n == 1 && given[0] == '/'))) continue;
    if (!best || n > bestLength) {
      best = &store.roots[i];
      bestLength = n;
    }
  }
  if (best) {
    const char* r = path + bestLength;
    while (*r == '/') ++r;
    *rest = r;
  }
  return best;
}

int Keep(char* reason, const char* text) {
  snprintf(reason, kQuarantineReasonCapacity, "%s", text);
  return 0;
}

int KeepErrno(char* reason) {
  snprintf(reason, kQuarantineReasonCapacity, "%s", strerror(errno ? errno : EIO));
  return 0;
}

// ---- the folder ----

PosixQuarantineFolder* FolderOf(void* context) { return static_cast<PosixQuarantineFolder*>(context); }

// Files are descriptors boxed in the pointer (fd + 1, so that 0 stays null).
int FdOf(void* file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }
void* FileOf(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1); }

int FolderOpen(void* context, const char* name, QuarantineOpen how, void** file) {
  PosixQuarantineFolder* f = FolderOf(context);
  *file = nullptr;
  OwnedFd fd;
  if (how == kOpenNew) {
    if (!CreateNewFile(f->directoryFd, name, 0600, &fd)) return KeepErrno(f->reason);
  } else {
    int flags = how == kOpenRead ? O_RDONLY : O_WRONLY | O_CREAT | O_APPEND;
    fd.reset(openat(f->directoryFd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid()) return errno == ELOOP ? Keep(f->reason, "it is a symbolic link") : KeepErrno(f->reason);
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return KeepErrno(f->reason);
    if (!S_ISREG(st.st_mode)) return Keep(f->reason, "it is not a regular file");
    // The manifest is written only when it is this user's and has one name.
    if (how == kOpenAppend && (st.st_nlink != 1 || st.st_uid != geteuid()))
      return Keep(f->reason, "the manifest is no plain file of its own");
    int flagsNow = fcntl(fd.get(), F_GETFL);
    if (flagsNow >= 0) fcntl(fd.get(), F_SETFL, flagsNow & ~O_NONBLOCK);
  }
  *file = FileOf(fd.release());
  return 1;
}

int FolderRead(void* context, void* file, void* data, size_t capacity, size_t* got) {
  for (;;) {
    ssize_t n = read(FdOf(file), data, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return KeepErrno(FolderOf(context)->reason);
    *got = static_cast<size_t>(n);
    return 1;
  }
}

int FolderWrite(void* context, void* file, const void* data, size_t length) {
  return WriteAllBytes(FdOf(file), data, length) ? 1 : KeepErrno(FolderOf(context)->reason);
}

int FolderRewind(void* context, void* file) {
  return lseek(FdOf(file), 0, SEEK_SET) == 0 ? 1 : KeepErrno(FolderOf(context)->reason);
}

int FolderSize(void* context, void* file, uint64_t* size) {
  struct stat st;
  if (fstat(FdOf(file), &st) != 0) return KeepErrno(FolderOf(context)->reason);
  *size = static_cast<uint64_t>(st.st_size);
  return 1;
}

int FolderTruncate(void* context, void* file, uint64_t size) {
  return ftruncate(FdOf(file), static_cast<off_t>(size)) == 0 ? 1 : KeepErrno(FolderOf(context)->reason);
}

int FolderFlush(void* context, void* file) {
  return fsync(FdOf(file)) == 0 ? 1 : KeepErrno(FolderOf(context)->reason);
}

int FolderClose(void* context, void* file, int seal) {
  OwnedFd fd(FdOf(file));
  int ok = !seal || fchmod(fd.get(), 0400) == 0;
  if (!ok) KeepErrno(FolderOf(context)->reason);
  if (!fd.close() && ok) ok = KeepErrno(FolderOf(context)->reason);
  return ok;
}

int FolderExists(void* context, const char* name) {
  struct stat st;
  return fstatat(FolderOf(context)->directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int RenameNoReplace(int dirFd, const char* from, const char* to) {
  if (gRenameNoReplaceForTests) return gRenameNoReplaceForTests(dirFd, from, dirFd, to);
  return renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE);
}

// Puts `temp` at `name` without replacing anything: a rename where the file
// system offers it, a new link then the temporary name's removal where it
// does not (ntfs-3g answers EINVAL).
int PlaceNew(int dirFd, const char* temp, const char* name) {
  if (RenameNoReplace(dirFd, temp, name) == 0) return 1;
  if (errno != EINVAL && errno != ENOSYS) return 0;
  if (linkat(dirFd, temp, dirFd, name, 0) != 0) return 0;
  unlinkat(dirFd, temp, 0);
  return 1;
}

int FolderRename(void* context, const char* from, const char* to) {
  PosixQuarantineFolder* f = FolderOf(context);
  if (!PlaceNew(f->directoryFd, from, to)) return KeepErrno(f->reason);
  fsync(f->directoryFd);
  return 1;
}

int FolderRemove(void* context, const char* name) {
  PosixQuarantineFolder* f = FolderOf(context);
  return unlinkat(f->directoryFd, name, 0) == 0 ? 1 : KeepErrno(f->reason);
}

void FolderReason(void* context, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", FolderOf(context)->reason);
}

void UtcNow(void*, char out[32]) {
  time_t seconds = time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  strftime(out, 32, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

int RandomBytes(unsigned char* out, size_t count) {
  size_t have = 0;
  while (have < count) {
    ssize_t n = getrandom(out + have, count - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    have += static_cast<size_t>(n);
  }
  return 1;
}

void FolderRandom(void*, unsigned char* out, size_t count) {
  if (!RandomBytes(out, count)) memset(out, 0, count);
}

void FillPort(PosixQuarantineFolder* folder, QuarantineFolderPort* port) {
  *port = QuarantineFolderPort{folder,        FolderOpen,  FolderRead,   FolderWrite,  FolderRewind,
                               FolderSize,    FolderTruncate, FolderFlush, FolderClose, FolderExists,
                               FolderRename,  FolderRemove, FolderReason, UtcNow,       FolderRandom};
}

int Adopt(OwnedFd* fd, PosixQuarantineFolder* folder, QuarantineFolderPort* port) {
  struct stat st;
  if (fstat(fd->get(), &st) != 0) return 0;
  *folder = PosixQuarantineFolder{fd->release(), static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                                  ""};
  FillPort(folder, port);
  return 1;
}

// ---- the original ----

struct PosixOriginal {
  int fd;
  int directoryFd;
  const char* name;
  FileIdentity checked;
  char reason[kQuarantineReasonCapacity];
};

int OriginalRead(void* context, void* data, size_t capacity, size_t* got) {
  PosixOriginal* o = static_cast<PosixOriginal*>(context);
  for (;;) {
    ssize_t n = read(o->fd, data, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return KeepErrno(o->reason);
    *got = static_cast<size_t>(n);
    return 1;
  }
}

QuarantineOutcome OriginalRemove(void* context, char* why, size_t capacity) {
  PosixOriginal* o = static_cast<PosixOriginal*>(context);
  RemovalOutcome removal = RemoveCheckedFile(o->directoryFd, o->name, o->checked);
  if (removal == kRemovalDone) return kQuarantineDone;
  if (removal == kRemovalNotSame) return kQuarantineNotSame;
  snprintf(why, capacity, "%s", strerror(errno ? errno : EIO));
  return kQuarantineKeptCopy;
}

void OriginalReason(void* context, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", static_cast<PosixOriginal*>(context)->reason);
}

// ---- the way back ----

PosixRestoreTarget* TargetOf(void* context) { return static_cast<PosixRestoreTarget*>(context); }

// Opens the folder `relative` beneath `rootFd`, following no link and never
// leaving the root. "" is the root itself.
int OpenBeneath(int rootFd, const std::string& relative, OwnedFd* out) {
  if (relative.empty()) {
    out->reset(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    return out->valid();
  }
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = -1;
  errno = ENOSYS;
  if (!gWithoutOpenat2ForTests) fd = syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
  if (fd >= 0) {
    out->reset(static_cast<int>(fd));
    return 1;
  }
  if (errno != ENOSYS && errno != EPERM) return 0;
  // Older kernels: one part at a time, none of them a link.
  OwnedFd current(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  size_t start = 0;
  while (current.valid() && start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    current.reset(openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    start = end + 1;
  }
  if (!current.valid()) return 0;
  *out = static_cast<OwnedFd&&>(current);
  return 1;
}

RestoreOutcome Refuse(PosixRestoreTarget* t, const char* text) {
  Keep(t->reason, text);
  return kRestoreFailed;
}

RestoreOutcome Failed(PosixRestoreTarget* t) {
  KeepErrno(t->reason);
  return kRestoreFailed;
}

RestoreOutcome TargetBegin(void* context, const QuarantineRecord& record, const RestorePlace& place, int force,
                           char* shown, size_t shownCapacity) {
  PosixRestoreTarget* t = TargetOf(context);
  EndPosixRestoreTarget(t);
  const char* root = place.root;
  size_t rootLength = strlen(root);
  snprintf(shown, shownCapacity, "%s%s%s", root, rootLength && root[rootLength - 1] == '/' ? "" : "/",
           record.relative);
  if (place.image) return Refuse(t, "it was taken from a disk image");
  if (root[0] != '/') return Refuse(t, "its root is no absolute path");
  // The recorded root is opened as it is, no link; a root the person names
  // may be reached through one.
  OwnedFd rootFd(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (place.named ? 0 : O_NOFOLLOW)));
  if (!rootFd.valid()) return Failed(t);
  struct stat st;
  if (!place.named && record.rootIdentified &&
      (fstat(rootFd.get(), &st) != 0 || static_cast<uint64_t>(st.st_dev) != record.rootDevice ||
       static_cast<uint64_t>(st.st_ino) != record.rootInode))
    return Refuse(t, "the scanned root is not the folder it was (name the place with --to)");
  std::string rest = record.relative;
  size_t slash = rest.rfind('/');
  std::string folderPart = slash == std::string::npos ? "" : rest.substr(0, slash);
  std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
  OwnedFd directory;
  if (!OpenBeneath(rootFd.get(), folderPart, &directory)) {
    // O_NOFOLLOW with O_DIRECTORY says ENOTDIR for a link at the end.
    if (errno == ELOOP || errno == EXDEV || errno == ENOTDIR)
      return Refuse(t, "a folder on its way is a symbolic link or no folder");
    return Failed(t);
  }
  if (!force && fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return kRestoreExists;
  static unsigned counter = 0;
  snprintf(t->temp, sizeof t->temp, ".quellix-restore-%ld-%u", static_cast<long>(getpid()), ++counter);
  OwnedFd temp;
  if (!CreateNewFile(directory.get(), t->temp, 0600, &temp)) {
    t->temp[0] = 0;
    return Failed(t);
  }
  snprintf(t->name, sizeof t->name, "%s", name.c_str());
  t->directoryFd = directory.release();
  t->tempFd = temp.release();
  return kRestoreDone;
}

int TargetWrite(void* context, const void* data, size_t length) {
  PosixRestoreTarget* t = TargetOf(context);
  return WriteAllBytes(t->tempFd, data, length) ? 1 : KeepErrno(t->reason);
}

RestoreOutcome TargetFinish(void* context, const QuarantineRecord& record, int force) {
  PosixRestoreTarget* t = TargetOf(context);
  OwnedFd temp(t->tempFd);
  t->tempFd = -1;
  mode_t bits = record.meta & kMetaMode ? static_cast<mode_t>(record.mode & 0777) : 0600;  // never setuid, setgid or sticky
  struct timespec times[2] = {FromNanoseconds(record.atimeNs), FromNanoseconds(record.mtimeNs)};
  if (!(record.meta & kMetaAtime)) times[0] = times[1];
  int ready = fchmod(temp.get(), bits) == 0 && (!(record.meta & kMetaMtime) || futimens(temp.get(), times) == 0) &&
              fsync(temp.get()) == 0;
  ready = temp.close() && ready;
  RestoreOutcome outcome = kRestoreFailed;
  if (!ready) {
    KeepErrno(t->reason);
  } else if (force ? renameat(t->directoryFd, t->temp, t->directoryFd, t->name) == 0
                   : PlaceNew(t->directoryFd, t->temp, t->name)) {
    // --force replaces in one step; otherwise something that appeared
    // meanwhile still wins.
    fsync(t->directoryFd);
    t->temp[0] = 0;
    outcome = kRestoreDone;
  } else {
    outcome = !force && errno == EEXIST ? kRestoreExists : kRestoreFailed;
    KeepErrno(t->reason);
  }
  EndPosixRestoreTarget(t);
  return outcome;
}

void TargetAbandon(void* context) { EndPosixRestoreTarget(TargetOf(context)); }

void TargetReason(void* context, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", TargetOf(context)->reason);
}

int ReadKey(int folderFd, const char* name, unsigned char key[kQuarantineKeySize], char* why, size_t capacity) {
  OwnedFd fd(openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return 0;
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) || st.st_size != kQuarantineKeySize) {
    snprintf(why, capacity, "%s",
             "the key file is no regular file of this user's, 32 bytes, readable by nobody else");
    errno = EPERM;
    return 0;
  }
  size_t have = 0;
  while (have < kQuarantineKeySize) {
    ssize_t n = read(fd.get(), key + have, kQuarantineKeySize - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      snprintf(why, capacity, "the key file cannot be read: %s", strerror(n == 0 ? EIO : errno));
      return 0;
    }
    have += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

int OpenPosixQuarantineFolder(const char* directory, PosixQuarantineFolder* folder, QuarantineFolderPort* port,
                              char* why, size_t capacity) {
  OwnedFd fd;
  int created = 0;
  const char* reason = nullptr;
  if (!OpenTrustedFolder(directory, &fd, &created, &reason)) {
    snprintf(why, capacity, "%s", reason ? reason : strerror(errno));
    return 0;
  }
  if (!Adopt(&fd, folder, port)) {
    snprintf(why, capacity, "%s", strerror(errno));
    return 0;
  }
  return 1;
}

int OpenPosixQuarantineToRead(const char* directory, PosixQuarantineFolder* folder, QuarantineFolderPort* port,
                              char* why, size_t capacity) {
  OwnedFd fd(open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    snprintf(why, capacity, "%s",
             errno == ENOENT                    ? "there is no such folder: nothing was quarantined there"
             : errno == ENOTDIR || errno == ELOOP ? "it is no folder (or a symbolic link)"
                                                  : strerror(errno));
    return 0;
  }
  if (!Adopt(&fd, folder, port)) {
    snprintf(why, capacity, "%s", strerror(errno));
    return 0;
  }
  return 1;
}

void ClosePosixQuarantineFolder(PosixQuarantineFolder* folder) {
  OwnedFd fd(folder->directoryFd);
  folder->directoryFd = -1;
}

int LoadPosixQuarantineKey(int create, unsigned char key[kQuarantineKeySize], int* missing, char* why,
                           size_t capacity) {
  *missing = 0;
  const char* named = getenv("QUELLIX_SCAN_KEY");
  char state[4096];
  std::string path;
  if (named && named[0] == '/') {
    path = named;
  } else if (HostStateFolder(state, sizeof state)) {
    path = std::string(state) + "/quarantine.key";
  } else {
    snprintf(why, capacity, "%s", "no place for this host's key: set HOME or QUELLIX_SCAN_KEY");
    *missing = 1;
    return 0;
  }
  size_t slash = path.rfind('/');
  std::string folderPath = slash == 0 ? "/" : path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  OwnedFd folder;
  const char* reason = nullptr;
  if (create) {
    int created = 0;
    if (!OpenTrustedFolder(folderPath.c_str(), &folder, &created, &reason)) {
      snprintf(why, capacity, "the key's folder %s: %s", folderPath.c_str(), reason ? reason : strerror(errno));
      return 0;
    }
  } else {
    folder.reset(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid() || !IsTrustedFolder(folder.get(), &reason)) {
      *missing = !folder.valid() && errno == ENOENT;
      snprintf(why, capacity, "the key's folder %s: %s", folderPath.c_str(), reason ? reason : strerror(errno));
      return 0;
    }
  }
  why[0] = 0;
  if (ReadKey(folder.get(), name.c_str(), key, why, capacity)) return 1;
  if (why[0] || errno != ENOENT) {
    if (!why[0]) snprintf(why, capacity, "the key file %s: %s", path.c_str(), strerror(errno));
    return 0;
  }
  if (!create) {
    *missing = 1;
    snprintf(why, capacity, "%s", "this host has no key yet");
    return 0;
  }
  // Made whole beside its name, then linked in: two runs at once agree.
  unsigned char fresh[kQuarantineKeySize];
  char temp[64];
  snprintf(temp, sizeof temp, ".%s-%ld", name.c_str(), static_cast<long>(getpid()));
  OwnedFd made;
  int ok = RandomBytes(fresh, sizeof fresh) && CreateNewFile(folder.get(), temp, 0600, &made) &&
           WriteAllBytes(made.get(), fresh, sizeof fresh) && fsync(made.get()) == 0 && made.close();
  int placed = ok && linkat(folder.get(), temp, folder.get(), name.c_str(), 0) == 0;
  int error = errno;
  unlinkat(folder.get(), temp, 0);
  memset(fresh, 0, sizeof fresh);
  if (!placed && !(ok && error == EEXIST)) {
    snprintf(why, capacity, "the key file %s cannot be made: %s", path.c_str(), strerror(error));
    return 0;
  }
  fsync(folder.get());
  return ReadKey(folder.get(), name.c_str(), key, why, capacity);
}

int ResolveQuarantineRoots(const char* const* paths, uint32_t count, QuarantineRoots* out) {
  out->roots = static_cast<QuarantineRoot*>(calloc(count ? count : 1, sizeof(QuarantineRoot)));
  out->count = 0;
  if (!out->roots) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    QuarantineRoot& r = out->roots[out->count];
    struct stat st;
    if (snprintf(r.given, sizeof r.given, "%s", paths[i]) >= static_cast<int>(sizeof r.given)) continue;
    char canonical[PATH_MAX];
    if (!realpath(paths[i], canonical) || stat(canonical, &st) != 0) continue;
    // A single file scanned: its folder is the root.
    if (!S_ISDIR(st.st_mode)) {
      char* slash = strrchr(canonical, '/');
      if (slash == canonical) {
        slash[1] = 0;
      } else if (slash) {
        *slash = 0;
      }
      if (stat(canonical, &st) != 0) continue;
      r.file = 1;
    }
    snprintf(r.canonical, sizeof r.canonical, "%s", canonical);
    r.device = static_cast<uint64_t>(st.st_dev);
    r.inode = static_cast<uint64_t>(st.st_ino);
    ++out->count;
  }
  return 1;
}

void FreeQuarantineRoots(QuarantineRoots* roots) {
  free(roots->roots);
  roots->roots = nullptr;
  roots->count = 0;
}

namespace {

// The manifest line of a file (or stream) at `walkPath`, beneath one of
// `roots`, whose state is `st`. 0 with `why`.
int DescribeTaken(const QuarantineRoots& roots, const char* walkPath, const struct stat& st, uint64_t size,
                  const char* detectionName, QuarantineRecord* record, char* why, size_t capacity) {
  const char* relative = nullptr;
  const QuarantineRoot* root = RootOf(roots, walkPath, &relative);
  if (!root || !*relative) {
    snprintf(why, capacity, "%s", "not quarantined: it lies beneath no scanned root");
    return 0;
  }
  ClearQuarantineRecord(record);
  int fits = snprintf(record->path, sizeof record->path, "%s%s%s", root->canonical,
                      strcmp(root->canonical, "/") == 0 ? "" : "/", relative) < static_cast<int>(sizeof record->path);
  snprintf(record->root, sizeof record->root, "%s", root->canonical);
  fits = fits && snprintf(record->relative, sizeof record->relative, "%s", relative) <
                     static_cast<int>(sizeof record->relative);
  if (!fits) {
    snprintf(why, capacity, "%s", "not quarantined: its path is too long for the manifest");
    return 0;
  }
  record->rootIdentified = 1;
  record->rootDevice = root->device;
  record->rootInode = root->inode;
  record->size = size;
  record->meta = kMetaMode | kMetaOwner | kMetaAtime | kMetaMtime;
  record->mode = st.st_mode & 07777;
  record->uid = st.st_uid;
  record->gid = st.st_gid;
  record->atimeNs = Nanoseconds(st.st_atim);
  record->mtimeNs = Nanoseconds(st.st_mtim);
  snprintf(record->detection, sizeof record->detection, "%s", detectionName);
  return 1;
}

// The checked file `name`, opened to read: kQuarantineDone with `source`
// and `st`, else the outcome with `why`.
QuarantineOutcome OpenChecked(int directoryFd, const char* name, const FileIdentity& checked, OwnedFd* source,
                              struct stat* st, char* why, size_t capacity) {
  source->reset(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME));
  if (!source->valid() && errno == EPERM)
    source->reset(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source->valid() || fstat(source->get(), st) != 0 || !S_ISREG(st->st_mode) ||
      !SameFileIdentity(FileIdentity{static_cast<uint64_t>(st->st_dev), static_cast<uint64_t>(st->st_ino), 1},
                        checked)) {
    if (!source->valid() && errno != ELOOP) {
      snprintf(why, capacity, "not quarantined: %s", strerror(errno));
      return kQuarantineFailed;
    }
    snprintf(why, capacity, "%s", "it is not the file that was checked any more");
    return kQuarantineNotSame;
  }
  return kQuarantineDone;
}

struct StreamOriginal {
  int directoryFd;
  const char* name;
  const char* stream;
  uint64_t size;
  uint64_t at;
  StreamBytes bytes;
  FileIdentity checked;
  char reason[kQuarantineReasonCapacity];
};

int StreamRead(void* context, void* data, size_t capacity, size_t* got) {
  StreamOriginal* o = static_cast<StreamOriginal*>(context);
  size_t want = o->size - o->at < capacity ? static_cast<size_t>(o->size - o->at) : capacity;
  int64_t n = want ? o->bytes.read(o->bytes.context, o->at, data, want) : 0;
  if (n < 0) {
    snprintf(o->reason, sizeof o->reason, "%s", "the stream could not be read");
    return 0;
  }
  o->at += static_cast<uint64_t>(n);
  *got = static_cast<size_t>(n);
  return 1;
}

QuarantineOutcome StreamRemove(void* context, char* why, size_t capacity) {
  StreamOriginal* o = static_cast<StreamOriginal*>(context);
  RemovalOutcome removal = RemoveCheckedStream(o->directoryFd, o->name, o->stream, o->size, o->checked);
  if (removal == kRemovalDone) return kQuarantineDone;
  if (removal == kRemovalNotSame) return kQuarantineNotSame;
  snprintf(why, capacity, "%s", strerror(errno ? errno : EIO));
  return kQuarantineKeptCopy;
}

void StreamReason(void* context, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", static_cast<StreamOriginal*>(context)->reason);
}

}  // namespace

QuarantineOutcome QuarantinePosixFile(QuarantineStore* store, const QuarantineRoots& roots, int directoryFd,
                                      const char* name, const char* walkPath, const FileIdentity& checked,
                                      const char* detectionName, char* why, size_t capacity) {
  PosixOriginal original{-1, directoryFd, name, checked, ""};
  OwnedFd source;
  struct stat st;
  QuarantineOutcome opened = OpenChecked(directoryFd, name, checked, &source, &st, why, capacity);
  if (opened != kQuarantineDone) return opened;
  static QuarantineRecord record;
  if (!DescribeTaken(roots, walkPath, st, static_cast<uint64_t>(st.st_size), detectionName, &record, why, capacity))
    return kQuarantineFailed;
  original.fd = source.get();
  QuarantineOriginal port{&original, OriginalRead, OriginalRemove, OriginalReason};
  return QuarantineOne(store, &record, port, why, capacity);
}

QuarantineOutcome QuarantinePosixStream(QuarantineStore* store, const QuarantineRoots& roots, int directoryFd,
                                        const char* name, const char* stream, uint64_t size, const StreamBytes& bytes,
                                        const char* walkPath, const FileIdentity& checked,
                                        const char* detectionName, char* why, size_t capacity) {
  OwnedFd source;
  struct stat st;
  QuarantineOutcome opened = OpenChecked(directoryFd, name, checked, &source, &st, why, capacity);
  if (opened != kQuarantineDone) return opened;
  static QuarantineRecord record;
  if (!DescribeTaken(roots, walkPath, st, size, detectionName, &record, why, capacity)) return kQuarantineFailed;
  StreamOriginal original{directoryFd, name, stream, size, 0, bytes, checked, ""};
  QuarantineOriginal port{&original, StreamRead, StreamRemove, StreamReason};
  return QuarantineOne(store, &record, port, why, capacity);
}

void PosixRestoreTargetPort(PosixRestoreTarget* target, RestoreTargetPort* port) {
  *target = PosixRestoreTarget{-1, "", "", -1, ""};
  *port = RestoreTargetPort{target, TargetBegin, TargetWrite, TargetFinish, TargetAbandon, TargetReason};
}

void EndPosixRestoreTarget(PosixRestoreTarget* t) {
  OwnedFd temp(t->tempFd);
  t->tempFd = -1;
  temp.reset();
  if (t->temp[0] && t->directoryFd >= 0) unlinkat(t->directoryFd, t->temp, 0);
  t->temp[0] = 0;
  OwnedFd directory(t->directoryFd);
  t->directoryFd = -1;
}
