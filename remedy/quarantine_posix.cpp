// Quarantine and restore (see quarantine_posix.h).
#include "remedy/quarantine_posix.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remedy/file_removal_posix.h"
#include "remedy/json_lines.h"
#include "remedy/trusted_folder_posix.h"
#include "sys/owned_fd_posix.h"

const char kQuarantineManifestName[] = "manifest.jsonl";
const char kQuarantineMarkerName[] = ".quellix-quarantine";

int (*gRenameNoReplaceForTests)(int fromFd, const char* from, int toFd, const char* to) = nullptr;
int gWithoutOpenat2ForTests = 0;

namespace {

enum : uint32_t { kCopyBlock = 65536 };

// Every copy starts with this header, so that no copy has the size of what
// it holds: a later scan of a tree holding the quarantine finds nothing in it.
const char kCopyHeader[16] = {'Q', 'U', 'E', 'L', 'L', 'I', 'X', '-', 'C', 'O', 'P', 'Y', '-', '1', '\n', 0};
const int64_t kCopyFormat = 2;

int WriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length) {
    ssize_t put = write(fd, p, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return 0;
    }
    p += put;
    length -= static_cast<size_t>(put);
  }
  return 1;
}

// Reads up to `limit` bytes from `from`, hashing them and writing them to
// `to` (-1: only hashing). `*read` gets how many came.
int CopyHashing(int from, int to, uint64_t limit, Sha256State* sha, uint64_t* copied) {
  static unsigned char block[kCopyBlock];
  *copied = 0;
  while (*copied < limit) {
    uint64_t want = limit - *copied < sizeof block ? limit - *copied : sizeof block;
    ssize_t got = read(from, block, static_cast<size_t>(want));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return 0;
    if (got == 0) return 1;
    AddSha256(sha, block, static_cast<size_t>(got));
    if (to >= 0 && !WriteAll(to, block, static_cast<size_t>(got))) return 0;
    *copied += static_cast<uint64_t>(got);
  }
  return 1;
}

void TempName(char* out, size_t capacity, const char* stem) {
  static unsigned counter = 0;
  snprintf(out, capacity, ".%s-%ld-%u", stem, static_cast<long>(getpid()), ++counter);
}

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
const QuarantineRoot* RootOf(const QuarantineStore& store, const char* path, const char** rest) {
  const QuarantineRoot* best = nullptr;
  size_t bestLength = 0;
  for (uint32_t i = 0; i < store.rootCount; ++i) {
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

int Fail(const char** why, const char* reason) {
  *why = reason;
  errno = EPERM;
  return 0;
}

}  // namespace

int OpenQuarantine(const char* directory, const char* const* roots, uint32_t rootCount, QuarantineStore* store,
                   const char** why) {
  *why = nullptr;
  if (rootCount > kMaxQuarantineRoots) {
    errno = E2BIG;
    return 0;
  }
  OwnedFd folder;
  int created = 0;
  if (!OpenTrustedFolder(directory, &folder, &created, why)) return 0;
  // A folder already there: appended to only when this tool made it, so
  // that lines of someone else's manifest are never restored as ours.
  struct stat st;
  int marked = fstatat(folder.get(), kQuarantineMarkerName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               st.st_uid == geteuid();
  int hasManifest = fstatat(folder.get(), kQuarantineManifestName, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (hasManifest && !marked) return Fail(why, "it holds a manifest this tool did not make; name a new folder");
  if (!marked) {
    OwnedFd marker;
    if (!CreateNewFile(folder.get(), kQuarantineMarkerName, 0400, &marker)) return 0;
  }
  OwnedFd manifest(openat(folder.get(), kQuarantineManifestName,
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!manifest.valid()) return 0;
  if (fstat(manifest.get(), &st) != 0) return 0;
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid())
    return Fail(why, "its manifest is no plain file of its own");

  QuarantineRoot* table = static_cast<QuarantineRoot*>(calloc(rootCount ? rootCount : 1, sizeof(QuarantineRoot)));
  if (!table) return 0;
  uint32_t count = 0;
  for (uint32_t i = 0; i < rootCount; ++i) {
    QuarantineRoot& r = table[count];
    if (snprintf(r.given, sizeof r.given, "%s", roots[i]) >= static_cast<int>(sizeof r.given)) continue;
    char canonical[PATH_MAX];
    if (!realpath(roots[i], canonical) || stat(canonical, &st) != 0) continue;
    // A single file scanned: its folder is the root.
    if (!S_ISDIR(st.st_mode)) {
      char* slash = strrchr(canonical, '/');
      if (slash == canonical) slash[1] = 0;
      else if (slash) *slash = 0;
      if (stat(canonical, &st) != 0) continue;
      r.file = 1;
    }
    snprintf(r.canonical, sizeof r.canonical, "%s", canonical);
    r.device = static_cast<uint64_t>(st.st_dev);
    r.inode = static_cast<uint64_t>(st.st_ino);
    ++count;
  }
  *store = QuarantineStore{folder.release(), manifest.release(), table, count};
  return 1;
}

void CloseQuarantine(QuarantineStore* store) {
  OwnedFd manifest(store->manifestFd), folder(store->directoryFd);
  free(store->roots);
  *store = QuarantineStore{-1, -1, nullptr, 0};
}

int StoreQuarantineCopy(QuarantineStore* store, int sourceFd, uint64_t size, char hexOut[kSha256HexSize],
                        int* placedNow) {
  hexOut[0] = 0;
  *placedNow = 0;
  char temp[64];
  TempName(temp, sizeof temp, "incoming");
  OwnedFd target;
  if (!CreateNewFile(store->directoryFd, temp, 0600, &target)) return 0;
  Sha256State sha;
  BeginSha256(&sha);
  uint64_t copied = 0;
  int ok = WriteAll(target.get(), kCopyHeader, sizeof kCopyHeader) &&
           CopyHashing(sourceFd, target.get(), size, &sha, &copied) && copied == size &&
           fchmod(target.get(), 0400) == 0 && fsync(target.get()) == 0;
  int error = ok ? 0 : (errno ? errno : EIO);
  ok = target.close() && ok;
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  // The same content quarantined before keeps its one copy.
  struct stat existing;
  if (ok && fstatat(store->directoryFd, hex, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
    if (renameat(store->directoryFd, temp, store->directoryFd, hex) != 0) {
      error = errno;
      ok = 0;
    } else {
      *placedNow = 1;
    }
  }
  if (!*placedNow) unlinkat(store->directoryFd, temp, 0);
  if (!ok) {
    errno = error;
    return 0;
  }
  fsync(store->directoryFd);
  memcpy(hexOut, hex, kSha256HexSize);
  return 1;
}

int AppendQuarantineRecord(QuarantineStore* store, JsonLine* line, int placedNow, const char hex[kSha256HexSize]) {
  int error = 0;
  AddJsonNumber(line, "format", static_cast<uint64_t>(kCopyFormat));
  char when[32];
  time_t seconds = time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  AddJsonString(line, "quarantined", when);
  // Write-ahead: the original goes only once its line is on the disk. A
  // line that did not get there whole is taken back, so that the next one
  // starts on a line of its own.
  struct stat manifestState;
  int recorded = EndJsonLine(line) && fstat(store->manifestFd, &manifestState) == 0;
  if (recorded) {
    recorded = WriteAll(store->manifestFd, line->text, line->length) && fsync(store->manifestFd) == 0;
    if (!recorded) {
      error = errno;
      if (ftruncate(store->manifestFd, manifestState.st_size) != 0) { /* the reader skips a broken line */ }
      errno = error;
    }
  } else {
    errno = ENAMETOOLONG;
  }
  if (!recorded) {
    error = errno;
    if (placedNow) unlinkat(store->directoryFd, hex, 0);
    errno = error;
    return 0;
  }
  return 1;
}

QuarantineOutcome QuarantineFile(QuarantineStore* store, int directoryFd, const char* name,
                                 const char* originalPath, const FileIdentity& checked, const char* detectionName,
                                 char hexOut[kSha256HexSize]) {
  hexOut[0] = 0;
  OwnedFd source(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME));
  if (!source.valid() && errno == EPERM)
    source.reset(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source.valid()) return errno == ELOOP ? kQuarantineNotSame : kQuarantineFailed;
  struct stat st;
  if (fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kQuarantineNotSame;
  FileIdentity now{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 1};
  if (!SameFileIdentity(now, checked)) return kQuarantineNotSame;
  const char* relative = nullptr;
  const QuarantineRoot* root = RootOf(*store, originalPath, &relative);
  if (!root || !*relative) {
    errno = EINVAL;
    return kQuarantineFailed;
  }

  uint64_t size = static_cast<uint64_t>(st.st_size);
  int placedNow = 0;
  if (!StoreQuarantineCopy(store, source.get(), size, hexOut, &placedNow)) return kQuarantineFailed;
  source.reset();
  char hex[kSha256HexSize];
  memcpy(hex, hexOut, kSha256HexSize);

  char absolute[kQuarantinePathCapacity];
  snprintf(absolute, sizeof absolute, "%s%s%s", root->canonical, strcmp(root->canonical, "/") == 0 ? "" : "/",
           relative);
  char mode[16];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));

  std::string buffer(kQuarantinePathCapacity * 20, '\0');
  JsonLine line;
  BeginJsonLine(&line, &buffer[0], buffer.size());
  AddJsonString(&line, "path", absolute);
  AddJsonString(&line, "root", root->canonical);
  AddJsonNumber(&line, "root_device", root->device);
  AddJsonNumber(&line, "root_inode", root->inode);
  AddJsonString(&line, "relative", relative);
  AddJsonNumber(&line, "size", size);
  AddJsonString(&line, "mode", mode);
  AddJsonNumber(&line, "uid", st.st_uid);
  AddJsonNumber(&line, "gid", st.st_gid);
  AddJsonSigned(&line, "atime_ns", Nanoseconds(st.st_atim));
  AddJsonSigned(&line, "mtime_ns", Nanoseconds(st.st_mtim));
  AddJsonString(&line, "detection", detectionName);
  AddJsonString(&line, "sha256", hex);
  if (!AppendQuarantineRecord(store, &line, placedNow, hex)) {
    hexOut[0] = 0;
    return kQuarantineFailed;
  }

  RemovalOutcome removal = RemoveCheckedFile(directoryFd, name, checked);
  if (removal == kRemovalDone) return kQuarantineDone;
  return removal == kRemovalNotSame ? kQuarantineNotSame : kQuarantineKeptCopy;
}

namespace {

// Each part of a path beneath a root: not empty, not "." or "..".
int IsPlainRelative(const char* relative) {
  if (!*relative) return 0;
  const char* p = relative;
  for (;;) {
    const char* end = strchr(p, '/');
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (n == 0 || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return 0;
    if (!end) return 1;
    p = end + 1;
  }
}

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

RestoreOutcome Refuse(const char** why, const char* reason) {
  *why = reason;
  errno = EPERM;
  return kRestoreFailed;
}

}  // namespace

RestoreOutcome CopyOutOfQuarantine(int quarantineFd, const char* line, int targetFd) {
  char hex[kSha256HexSize + 1];
  int64_t size = 0, format = 0;
  if (!FindJsonString(line, "sha256", hex, sizeof hex) || strlen(hex) != 64 ||
      strspn(hex, "0123456789abcdef") != 64 || !FindJsonNumber(line, "size", &size) || size < 0) {
    errno = EINVAL;
    return kRestoreFailed;
  }
  FindJsonNumber(line, "format", &format);
  OwnedFd source(openat(quarantineFd, hex, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source.valid()) return errno == ELOOP ? kRestoreBadCopy : kRestoreFailed;
  uint64_t header = format == kCopyFormat ? sizeof kCopyHeader : 0;
  uint64_t expected = static_cast<uint64_t>(size);
  struct stat st;
  if (fstat(source.get(), &st) != 0) return kRestoreFailed;
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != expected + header) return kRestoreBadCopy;
  char head[sizeof kCopyHeader];
  if (header && (read(source.get(), head, sizeof head) != static_cast<ssize_t>(sizeof head) ||
                 memcmp(head, kCopyHeader, sizeof head) != 0))
    return kRestoreBadCopy;
  Sha256State sha;
  BeginSha256(&sha);
  uint64_t copied = 0;
  if (!CopyHashing(source.get(), targetFd, expected, &sha, &copied)) return kRestoreFailed;
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char got[kSha256HexSize];
  Sha256Hex(digest, got);
  return copied == expected && strcmp(got, hex) == 0 ? kRestoreDone : kRestoreBadCopy;
}

RestoreOutcome RestoreManifestLine(int quarantineFd, const char* line, const RestoreRequest& request, char* pathOut,
                                   const char** why) {
  pathOut[0] = 0;
  *why = nullptr;
  char recordedRoot[kQuarantinePathCapacity], relative[kQuarantinePathCapacity];
  char hex[kSha256HexSize + 1];
  char mode[16];
  int64_t atime = 0, mtime = 0, size = 0, device = 0, inode = 0, format = 0;
  if (!FindJsonString(line, "sha256", hex, sizeof hex) || strlen(hex) != 64 ||
      strspn(hex, "0123456789abcdef") != 64 || !FindJsonString(line, "mode", mode, sizeof mode) ||
      !FindJsonNumber(line, "atime_ns", &atime) || !FindJsonNumber(line, "mtime_ns", &mtime) ||
      !FindJsonNumber(line, "size", &size) || size < 0) {
    errno = EINVAL;
    return kRestoreFailed;
  }
  if (!FindJsonString(line, "root", recordedRoot, sizeof recordedRoot) ||
      !FindJsonString(line, "relative", relative, sizeof relative) || !FindJsonNumber(line, "root_device", &device) ||
      !FindJsonNumber(line, "root_inode", &inode)) {
    if (!FindJsonString(line, "path", pathOut, kQuarantinePathCapacity)) pathOut[0] = 0;
    return Refuse(why, "the entry names no scanned root");
  }
  FindJsonNumber(line, "format", &format);
  const char* root = request.toRoot ? request.toRoot : recordedRoot;
  snprintf(pathOut, kQuarantinePathCapacity, "%s%s%s", root, root[strlen(root) - 1] == '/' ? "" : "/", relative);
  if (!IsPlainRelative(relative)) return Refuse(why, "its path would leave its root (an empty, \".\" or \"..\" part)");

  OwnedFd rootFd(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (request.toRoot ? 0 : O_NOFOLLOW)));
  if (!rootFd.valid()) return kRestoreFailed;
  struct stat st;
  if (!request.toRoot && (fstat(rootFd.get(), &st) != 0 || static_cast<int64_t>(st.st_dev) != device ||
                          static_cast<int64_t>(st.st_ino) != inode))
    return Refuse(why, "the scanned root is not the folder it was (name the place with --to)");

  std::string rest = relative;
  size_t slash = rest.rfind('/');
  std::string folderPart = slash == std::string::npos ? "" : rest.substr(0, slash);
  std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
  OwnedFd directory;
  if (!OpenBeneath(rootFd.get(), folderPart, &directory)) {
    // O_NOFOLLOW with O_DIRECTORY says ENOTDIR for a link at the end.
    if (errno == ELOOP || errno == EXDEV || errno == ENOTDIR)
      return Refuse(why, "a folder on its way is a symbolic link or no folder");
    return kRestoreFailed;
  }
  if (!request.force && fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return kRestoreExists;

  // The copy: a regular file of the recorded size and SHA-256, checked
  // before anything at the destination is touched.
  OwnedFd source(openat(quarantineFd, hex, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source.valid()) return errno == ELOOP ? kRestoreBadCopy : kRestoreFailed;
  uint64_t header = format == kCopyFormat ? sizeof kCopyHeader : 0;
  uint64_t expected = static_cast<uint64_t>(size);
  char head[sizeof kCopyHeader];
  if (fstat(source.get(), &st) != 0) return kRestoreFailed;
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != expected + header) return kRestoreBadCopy;
  auto verified = [&](int to) {
    if (lseek(source.get(), 0, SEEK_SET) != 0) return 0;
    if (header && (read(source.get(), head, sizeof head) != static_cast<ssize_t>(sizeof head) ||
                   memcmp(head, kCopyHeader, sizeof head) != 0))
      return 0;
    Sha256State sha;
    BeginSha256(&sha);
    uint64_t copied = 0;
    if (!CopyHashing(source.get(), to, expected, &sha, &copied) || copied != expected) return 0;
    unsigned char digest[kSha256DigestSize];
    EndSha256(&sha, digest);
    char got[kSha256HexSize];
    Sha256Hex(digest, got);
    return strcmp(got, hex) == 0 ? 1 : 0;
  };
  if (!verified(-1)) return kRestoreBadCopy;

  char temp[64];
  TempName(temp, sizeof temp, "quellix-restore");
  OwnedFd target;
  if (!CreateNewFile(directory.get(), temp, 0600, &target)) return kRestoreFailed;
  unsigned long bits = strtoul(mode, nullptr, 8) & 0777;  // never setuid, setgid or sticky
  struct timespec times[2] = {FromNanoseconds(atime), FromNanoseconds(mtime)};
  RestoreOutcome outcome = kRestoreFailed;
  int error = 0;
  if (!verified(target.get())) {
    // The copy changed between the two readings.
    outcome = kRestoreBadCopy;
  } else if (fchmod(target.get(), static_cast<mode_t>(bits)) == 0 && futimens(target.get(), times) == 0 &&
             fsync(target.get()) == 0 && target.close()) {
    // --force replaces in one step; otherwise something that appeared
    // meanwhile still wins.
    int placed = request.force ? renameat(directory.get(), temp, directory.get(), name.c_str()) == 0
                               : PlaceNew(directory.get(), temp, name.c_str());
    if (placed) {
      outcome = kRestoreDone;
      fsync(directory.get());
    } else {
      outcome = !request.force && errno == EEXIST ? kRestoreExists : kRestoreFailed;
    }
  }
  error = errno;
  if (outcome != kRestoreDone) unlinkat(directory.get(), temp, 0);
  errno = error;
  return outcome;
}

void QuarantineFailureText(QuarantineOutcome outcome, const char* hex, const char* cause, char* why,
                           size_t capacity) {
  if (outcome == kQuarantineNotSame) {
    snprintf(why, capacity, "%s", "it is not the file that was checked any more");
  } else if (outcome == kQuarantineKeptCopy) {
    snprintf(why, capacity, "copied to the quarantine as %s but not removed: %s", hex, cause);
  } else {
    snprintf(why, capacity, "not quarantined: %s", cause);
  }
}
