// Quarantine and restore (see quarantine_posix.h).
#include "remedy/quarantine_posix.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "remedy/file_removal_posix.h"
#include "remedy/json_lines.h"

const char kQuarantineManifestName[] = "manifest.jsonl";

namespace {

enum : uint32_t { kCopyBlock = 65536 };

// Makes `path` and its missing parents.
int MakeDirectories(const char* path) {
  char partial[kQuarantinePathCapacity];
  size_t length = strlen(path);
  if (length + 1 > sizeof partial) {
    errno = ENAMETOOLONG;
    return 0;
  }
  memcpy(partial, path, length + 1);
  for (size_t i = 1; i <= length; ++i) {
    if (partial[i] != '/' && partial[i] != 0) continue;
    char saved = partial[i];
    partial[i] = 0;
    if (mkdir(partial, 0700) != 0 && errno != EEXIST) return 0;
    partial[i] = saved;
  }
  return 1;
}

// Copies `from` to `to` while hashing. 1 when every byte was written.
int CopyHashing(int from, int to, Sha256State* sha, uint64_t* copied) {
  static unsigned char block[kCopyBlock];
  *copied = 0;
  for (;;) {
    ssize_t got = read(from, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return 0;
    if (got == 0) return 1;
    AddSha256(sha, block, static_cast<size_t>(got));
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, block + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return 0;
      done += put;
    }
    *copied += static_cast<uint64_t>(got);
  }
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

}  // namespace

int OpenQuarantine(const char* directory, QuarantineStore* store) {
  if (!MakeDirectories(directory)) return 0;
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int manifestFd = openat(fd, kQuarantineManifestName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  FILE* manifest = manifestFd >= 0 ? fdopen(manifestFd, "a") : nullptr;
  if (!manifest) {
    int error = errno;
    if (manifestFd >= 0) close(manifestFd);
    close(fd);
    errno = error;
    return 0;
  }
  *store = QuarantineStore{fd, manifest};
  return 1;
}

void CloseQuarantine(QuarantineStore* store) {
  if (store->manifest) fclose(store->manifest);
  if (store->directoryFd >= 0) close(store->directoryFd);
  *store = QuarantineStore{-1, nullptr};
}

QuarantineOutcome QuarantineFile(QuarantineStore* store, int directoryFd, const char* name,
                                 const char* originalPath, const FileIdentity& checked, const char* detectionName,
                                 char hexOut[kSha256HexSize]) {
  hexOut[0] = 0;
  int source = openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME);
  if (source < 0 && errno == EPERM) source = openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (source < 0) return errno == ELOOP ? kQuarantineNotSame : kQuarantineFailed;
  struct stat st;
  if (fstat(source, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(source);
    return kQuarantineNotSame;
  }
  FileIdentity now{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 1};
  if (!SameFileIdentity(now, checked)) {
    close(source);
    return kQuarantineNotSame;
  }

  char temp[64];
  TempName(temp, sizeof temp, "incoming");
  int target = openat(store->directoryFd, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (target < 0) {
    close(source);
    return kQuarantineFailed;
  }
  Sha256State sha;
  BeginSha256(&sha);
  uint64_t copied = 0;
  int ok = CopyHashing(source, target, &sha, &copied) && copied == static_cast<uint64_t>(st.st_size) &&
           fchmod(target, 0400) == 0 && fsync(target) == 0;
  int error = errno;
  close(target);
  close(source);
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  // The same content quarantined before keeps its one copy.
  if (ok && renameat(store->directoryFd, temp, store->directoryFd, hex) != 0) {
    error = errno;
    ok = 0;
  }
  if (!ok) {
    unlinkat(store->directoryFd, temp, 0);
    errno = error;
    return kQuarantineFailed;
  }
  fsync(store->directoryFd);
  memcpy(hexOut, hex, kSha256HexSize);

  // The original goes only once its copy is safe; the line records it either way.
  RemovalOutcome removal = RemoveCheckedFile(directoryFd, name, checked);
  int removalError = errno;

  char absolute[kQuarantinePathCapacity];
  if (originalPath[0] == '/') {
    snprintf(absolute, sizeof absolute, "%s", originalPath);
  } else {
    char cwd[kQuarantinePathCapacity];
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
    snprintf(absolute, sizeof absolute, "%s/%s", cwd, originalPath);
  }
  char mode[16];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  char when[32];
  time_t seconds = time(nullptr);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);

  char buffer[kQuarantinePathCapacity * 2 + 1024];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonString(&line, "path", absolute);
  AddJsonNumber(&line, "size", static_cast<uint64_t>(st.st_size));
  AddJsonString(&line, "mode", mode);
  AddJsonNumber(&line, "uid", st.st_uid);
  AddJsonNumber(&line, "gid", st.st_gid);
  AddJsonSigned(&line, "atime_ns", Nanoseconds(st.st_atim));
  AddJsonSigned(&line, "mtime_ns", Nanoseconds(st.st_mtim));
  AddJsonString(&line, "detection", detectionName);
  AddJsonString(&line, "sha256", hex);
  AddJsonString(&line, "quarantined", when);
  AddJsonString(&line, "original", removal == kRemovalDone ? "removed" : "kept");
  if (EndJsonLine(&line)) {
    fputs(buffer, store->manifest);
    fflush(store->manifest);
    fsync(fileno(store->manifest));
  }
  if (removal == kRemovalDone) return kQuarantineDone;
  errno = removalError;
  return removal == kRemovalNotSame ? kQuarantineNotSame : kQuarantineKeptCopy;
}

RestoreOutcome RestoreManifestLine(int quarantineFd, const char* line, int force, char* pathOut) {
  pathOut[0] = 0;
  char path[kQuarantinePathCapacity];
  char hex[kSha256HexSize + 1];
  char mode[16];
  int64_t atime = 0, mtime = 0, size = 0;
  if (!FindJsonString(line, "path", path, sizeof path) || !FindJsonString(line, "sha256", hex, sizeof hex) ||
      strlen(hex) != 64 || strspn(hex, "0123456789abcdef") != 64 || !FindJsonString(line, "mode", mode, sizeof mode) ||
      !FindJsonNumber(line, "atime_ns", &atime) || !FindJsonNumber(line, "mtime_ns", &mtime) ||
      !FindJsonNumber(line, "size", &size) || path[0] != '/') {
    errno = EINVAL;
    return kRestoreFailed;
  }
  memcpy(pathOut, path, strlen(path) + 1);

  char* slash = strrchr(path, '/');
  const char* name = slash + 1;
  if (!*name) {
    errno = EINVAL;
    return kRestoreFailed;
  }
  *slash = 0;
  int directory = open(path[0] ? path : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return kRestoreFailed;
  struct stat st;
  if (!force && fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    close(directory);
    return kRestoreExists;
  }
  int source = openat(quarantineFd, hex, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (source < 0) {
    int error = errno;
    close(directory);
    errno = error;
    return kRestoreFailed;
  }
  char temp[64];
  TempName(temp, sizeof temp, "quellix-restore");
  int target = openat(directory, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  RestoreOutcome outcome = kRestoreFailed;
  int error = 0;
  if (target < 0) {
    error = errno;
  } else {
    Sha256State sha;
    BeginSha256(&sha);
    uint64_t copied = 0;
    int ok = CopyHashing(source, target, &sha, &copied);
    error = errno;
    unsigned char digest[kSha256DigestSize];
    EndSha256(&sha, digest);
    char got[kSha256HexSize];
    Sha256Hex(digest, got);
    unsigned long bits = strtoul(mode, nullptr, 8) & 07777;
    struct timespec times[2] = {FromNanoseconds(atime), FromNanoseconds(mtime)};
    if (ok && (strcmp(got, hex) != 0 || copied != static_cast<uint64_t>(size))) {
      outcome = kRestoreBadCopy;
    } else if (ok && fchmod(target, static_cast<mode_t>(bits)) == 0 && futimens(target, times) == 0 &&
               fsync(target) == 0) {
      // Without --force, something that appeared meanwhile still wins.
      int placed = force ? renameat(directory, temp, directory, name)
                         : renameat2(directory, temp, directory, name, RENAME_NOREPLACE);
      if (placed == 0) {
        outcome = kRestoreDone;
      } else {
        outcome = !force && errno == EEXIST ? kRestoreExists : kRestoreFailed;
      }
    }
    if (outcome == kRestoreFailed) error = errno;
    close(target);
    if (outcome != kRestoreDone) unlinkat(directory, temp, 0);
  }
  close(source);
  close(directory);
  errno = error;
  return outcome;
}
