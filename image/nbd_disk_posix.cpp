// A disk image read in this process (see nbd_disk_posix.h).
#include "image/nbd_disk_posix.h"

#include <fcntl.h>
#include <libnbd.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

namespace {

// Well below the largest request a server must take.
const size_t kMostPerRead = 4u << 20;

const char* const kFormats[] = {"raw", "qcow2", "qcow", "vmdk", "vpc", "vhdx", "vdi"};

uint64_t BigEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

int Fail(NbdDisk* disk, char* why, size_t capacity, const char* what, const char* detail) {
  std::snprintf(why, capacity, "%s%s%s", what, detail ? ": " : "", detail ? detail : "");
  CloseNbdDisk(disk);
  return 0;
}

}  // namespace

int OpenNbdDisk(const char* image, const char* format, ImageLocking locking, NbdDisk* disk, char* why,
                size_t capacity) {
  disk->handle = nullptr;
  disk->size = 0;
  int known = 0;
  for (const char* f : kFormats) known = known || (format && std::strcmp(format, f) == 0);
  if (!known) return Fail(disk, why, capacity, "no image format was decided", nullptr);
  // The server is given the absolute path of the regular file checked
  // here: a name with a ':' before its first '/' would be read by the
  // emulator as a protocol.
  char absolute[PATH_MAX];
  {
    OwnedFd file;
    struct stat st;
    char reason[128];
    if (!OpenRegularFile(image, O_RDONLY, 0, &file, &st, reason, sizeof reason))
      return Fail(disk, why, capacity, "cannot be read", reason);
    if (!realpath(image, absolute)) return Fail(disk, why, capacity, "cannot be read", std::strerror(errno));
    // A qcow2 image whose header names an external data file would have
    // the emulator open that host file: refused like a backing file.
    unsigned char head[80];
    ssize_t got = pread(file.get(), head, sizeof head, 0);
    if (std::strcmp(format, "qcow2") == 0 &&
        (got < static_cast<ssize_t>(sizeof head) || (BigEndian(head + 4, 4) >= 3 && (BigEndian(head + 72, 8) & 2))))
      return Fail(disk, why, capacity, "its qcow2 header names an external data file or is cut short (qcow2)", nullptr);
  }
  disk->handle = nbd_create();
  if (!disk->handle) return Fail(disk, why, capacity, "cannot start reading it", nbd_get_error());
  char formatOption[32];
  std::snprintf(formatOption, sizeof formatOption, "--format=%s", format);
  char program[] = "qemu-nbd", readOnly[] = "--read-only", shared[] = "--shared=1", end[] = "--";
  char* argv[] = {program, readOnly, formatOption, shared, end, absolute, nullptr};
  // The same, spelt as options: a ',' in the name is doubled to stay in it.
  char imageOpts[] = "--image-opts";
  std::string options = std::string("driver=") + format + ",file.driver=file,file.locking=off,file.filename=";
  for (const char* c = absolute; *c; ++c) options += *c == ',' ? std::string(",,") : std::string(1, *c);
  if (locking == kReaderTakesNoLock) {
    argv[2] = imageOpts;
    argv[5] = &options[0];
  }
  if (nbd_connect_systemd_socket_activation(disk->handle, argv) == -1)
    return Fail(disk, why, capacity, "qemu-nbd did not serve it (is qemu-utils installed?)", nbd_get_error());
  // The server must say the export is read-only: nothing here writes.
  if (nbd_is_read_only(disk->handle) != 1) return Fail(disk, why, capacity, "qemu-nbd serves it writable", nullptr);
  int64_t size = nbd_get_size(disk->handle);
  if (size < 0) return Fail(disk, why, capacity, "its size is unknown", nbd_get_error());
  disk->size = static_cast<uint64_t>(size);
  return 1;
}

int ReadNbdDisk(NbdDisk* disk, uint64_t offset, void* buffer, size_t length) {
  if (!disk->handle || offset > disk->size || length > disk->size - offset) return 0;
  unsigned char* at = static_cast<unsigned char*>(buffer);
  while (length) {
    size_t part = length < kMostPerRead ? length : kMostPerRead;
    if (nbd_pread(disk->handle, at, part, offset, 0) == -1) return 0;
    at += part;
    offset += part;
    length -= part;
  }
  return 1;
}

void CloseNbdDisk(NbdDisk* disk) {
  if (disk->handle) nbd_close(disk->handle);
  disk->handle = nullptr;
  disk->size = 0;
}
