// A disk image through libguestfs (see guest_disk_posix.h).
#include "sys/guest_disk_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <guestfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys/image_format.h"
#include "sys/image_layers_posix.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

namespace {

int Fail(GuestDisk* disk, char* why, size_t capacity, const char* what) {
  const char* error = disk->handle ? guestfs_last_error(disk->handle) : nullptr;
  snprintf(why, capacity, "%s%s%s", what, error ? ": " : "", error ? error : "");
  CloseGuestDisk(disk);
  return 0;
}

int AddDrive(GuestDisk* disk, const char* label, const char* device, int system) {
  if (disk->driveCount >= kMaxGuestDrives) return 0;
  for (uint32_t i = 0; i < disk->driveCount; ++i)
    if (strcmp(disk->drives[i].device, device) == 0) return 1;
  GuestDrive& d = disk->drives[disk->driveCount];
  memset(&d, 0, sizeof d);
  char named[kGuestNameCapacity];
  if (strlen(label) != 1) {
    GuestDriveLabel(device, named, sizeof named);
    label = named;
  }
  if (snprintf(d.label, sizeof d.label, "%s", label) >= static_cast<int>(sizeof d.label) ||
      snprintf(d.device, sizeof d.device, "%s", device) >= static_cast<int>(sizeof d.device))
    return 0;
  // A letter's mount point is the letter alone: "/C".
  if (strlen(label) == 1) {
    snprintf(d.mountPoint, sizeof d.mountPoint, "/%s", label);
  } else {
    snprintf(d.mountPoint, sizeof d.mountPoint, "/fs%u", disk->driveCount);
  }
  d.system = system;
  disk->driveCount += 1;
  return 1;
}

int IsUpperLetter(const char* text) { return text[0] >= 'A' && text[0] <= 'Z' && text[1] == 0; }

// The fixed drives of every Windows installation, the system's own first.
void InspectDrives(GuestDisk* disk) {
  guestfs_h* g = disk->handle;
  OwnedGuestStrings roots(guestfs_inspect_os(g));
  if (!roots.list) {
    const char* error = guestfs_last_error(g);
    snprintf(disk->inspectionError, sizeof disk->inspectionError, "%s", error && *error ? error : "unknown error");
    return;
  }
  for (char** root = roots.list; *root; ++root) {
    char* type = guestfs_inspect_get_type(g, *root);
    int windows = type && strcmp(type, "windows") == 0;
    free(type);
    if (!windows) continue;
    disk->inspected = 1;
    char* systemRoot = guestfs_inspect_get_windows_systemroot(g, *root);
    char systemLetter[2] = "C";
    OwnedGuestStrings mappings(guestfs_inspect_get_drive_mappings(g, *root));
    if (mappings.list) {
      for (char** m = mappings.list; m[0] && m[1]; m += 2)
        if (strcmp(m[1], *root) == 0 && IsUpperLetter(m[0])) systemLetter[0] = m[0][0];
    }
    AddDrive(disk, systemLetter, *root, 1);
    if (systemRoot && !disk->systemRoot[0]) {
      snprintf(disk->systemRoot, sizeof disk->systemRoot, "%c:%s", systemLetter[0], systemRoot);
      for (char* p = disk->systemRoot; *p; ++p)
        if (*p == '/') *p = '\\';
    }
    free(systemRoot);
    if (mappings.list) {
      for (char** m = mappings.list; m[0] && m[1]; m += 2)
        if (IsUpperLetter(m[0])) AddDrive(disk, m[0], m[1], 0);
    }
  }
}

// Without an installation found, every NTFS and FAT file system is scanned
// under its device's name.
void EveryWindowsFileSystem(GuestDisk* disk) {
  OwnedGuestStrings found(guestfs_list_filesystems(disk->handle));
  if (!found.list) return;
  for (char** f = found.list; f[0] && f[1]; f += 2)
    if (strcmp(f[1], "ntfs") == 0 || strcmp(f[1], "vfat") == 0 || strcmp(f[1], "msdos") == 0 ||
        strcmp(f[1], "exfat") == 0)
      AddDrive(disk, f[0], f[0], 0);
}

}  // namespace

OwnedGuestStrings::~OwnedGuestStrings() {
  if (!list) return;
  for (char** p = list; *p; ++p) free(*p);
  free(list);
}

int ImageOpenForWriting(const char* path, long* pid) {
  struct stat image;
  if (stat(path, &image) != 0) return 0;
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  int found = 0;
  long self = static_cast<long>(getpid());
  while (struct dirent* e = readdir(proc)) {
    char* end = nullptr;
    long id = strtol(e->d_name, &end, 10);
    if (*end || id <= 0 || id == self) continue;
    char folder[64];
    snprintf(folder, sizeof folder, "/proc/%ld/fd", id);
    DIR* fds = opendir(folder);
    if (!fds) continue;
    while (struct dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      char link[128];
      struct stat st;
      snprintf(link, sizeof link, "%s/%s", folder, f->d_name);
      if (stat(link, &st) != 0 || st.st_dev != image.st_dev || st.st_ino != image.st_ino) continue;
      char info[128];
      snprintf(info, sizeof info, "/proc/%ld/fdinfo/%s", id, f->d_name);
      OwnedStream stream(fopen(info, "re"));
      char line[256];
      while (stream.get() && fgets(line, sizeof line, stream.get())) {
        unsigned long flags = 0;
        if (sscanf(line, "flags: %lo", &flags) == 1 && (flags & O_ACCMODE) != O_RDONLY) {
          found = 1;
          *pid = id;
        }
      }
      if (found) break;
    }
    closedir(fds);
    if (found) break;
  }
  closedir(proc);
  return found;
}

namespace {

// A private folder for the overlay a read-only run writes to, removed
// with it once qemu holds it open (or the launch failed).
struct OverlayFolder {
  char folder[PATH_MAX] = "";
  char file[PATH_MAX] = "";
  OverlayFolder() = default;
  OverlayFolder(const OverlayFolder&) = delete;
  OverlayFolder& operator=(const OverlayFolder&) = delete;
  ~OverlayFolder() {
    if (file[0]) unlink(file);
    if (folder[0]) rmdir(folder);
  }
};

int MakeOverlayFolder(OverlayFolder* overlay) {
  const char* tmpdir = getenv("TMPDIR");
  char folder[PATH_MAX];
  int n = snprintf(folder, sizeof folder, "%s/quellix-overlay-XXXXXX", tmpdir && *tmpdir ? tmpdir : "/tmp");
  if (n < 0 || static_cast<size_t>(n) + sizeof "/overlay.qcow2" > sizeof folder) {
    errno = ENAMETOOLONG;
    return 0;
  }
  if (!mkdtemp(folder)) return 0;
  snprintf(overlay->folder, sizeof overlay->folder, "%s", folder);
  snprintf(overlay->file, sizeof overlay->file, "%s/overlay.qcow2", folder);
  return 1;
}

}  // namespace

int OpenGuestDisk(const char* image, const GuestDiskRequest& request, GuestDisk* disk, char* why, size_t capacity) {
  memset(disk, 0, sizeof *disk);
  disk->writable = request.writable;
  // The emulator is given the canonical name: the one the backing files
  // are checked beside, and an absolute one for the overlay to name.
  char canonical[PATH_MAX];
  const char* format =
      ChooseImageFormat(image, request.format, request.allowBackingFile, canonical, sizeof canonical, why, capacity);
  if (!format) return 0;
  disk->handle = guestfs_create();
  if (!disk->handle) return Fail(disk, why, capacity, "libguestfs could not start");
  guestfs_set_error_handler(disk->handle, nullptr, nullptr);
  // The format is given, so that the emulator does not guess it from bytes
  // the guest may have written. Read-only, the image lies beneath an
  // overlay of ours, not libguestfs's: with qemu's locking, libguestfs 1.48
  // hands its overlay to qemu with no format above it (file.driver=qcow2),
  // so qemu probes the guest's bytes, and a raw disk whose guest wrote a
  // qcow2 header would be read as qcow2, following the backing file that
  // header names on the host. Ours names the image with its format stated
  // and is itself opened as qcow2; qemu opens a backing file read-only.
  OverlayFolder overlay;
  if (!request.writable) {
    if (!MakeOverlayFolder(&overlay)) {
      snprintf(why, capacity, "no folder for the overlay: %s", strerror(errno));
      CloseGuestDisk(disk);
      return 0;
    }
    if (guestfs_disk_create(disk->handle, overlay.file, "qcow2", -1, GUESTFS_DISK_CREATE_BACKINGFILE, canonical,
                            GUESTFS_DISK_CREATE_BACKINGFORMAT, format, -1) != 0)
      return Fail(disk, why, capacity, "cannot make the overlay that keeps the image unchanged");
  }
  if (guestfs_add_drive_opts(disk->handle, request.writable ? canonical : overlay.file, GUESTFS_ADD_DRIVE_OPTS_FORMAT,
                             request.writable ? format : "qcow2", -1) != 0)
    return Fail(disk, why, capacity, "cannot open the image");
  if (guestfs_launch(disk->handle) != 0) return Fail(disk, why, capacity, "the appliance did not start");
  InspectDrives(disk);
  // Inspection mounts the guest's file systems (at "/" among others) and
  // may leave them so when it fails: nothing else could then be mounted.
  if (guestfs_umount_all(disk->handle) != 0) return Fail(disk, why, capacity, "cannot unmount after inspection");
  if (!disk->inspected) {
    disk->driveCount = 0;
    EveryWindowsFileSystem(disk);
  }
  if (disk->driveCount == 0) {
    // Nothing failed here: the appliance's last error would be an older one.
    snprintf(why, capacity, "%s", "no Windows installation and no NTFS or FAT file system");
    CloseGuestDisk(disk);
    return 0;
  }
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    GuestDrive& d = disk->drives[i];
    if (guestfs_mkmountpoint(disk->handle, d.mountPoint) != 0) return Fail(disk, why, capacity, "no mount point");
    // Read-only first, even for a run that writes: what forbids writing is
    // looked at before anything could be written.
    d.mounted = guestfs_mount_ro(disk->handle, d.device, d.mountPoint) == 0;
  }
  return 1;
}

int RemountGuestDiskWritable(GuestDisk* disk, char* why, size_t capacity) {
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    GuestDrive& d = disk->drives[i];
    if (!d.mounted) continue;
    if (guestfs_umount(disk->handle, d.mountPoint) != 0 || guestfs_mount(disk->handle, d.device, d.mountPoint) != 0) {
      d.mounted = 0;
      const char* error = guestfs_last_error(disk->handle);
      snprintf(why, capacity, "%s: cannot be written to: %s", d.label, error ? error : "unknown error");
      CloseGuestDisk(disk);
      return 0;
    }
  }
  return 1;
}

int CloseGuestDisk(GuestDisk* disk) {
  if (!disk->handle) return 1;
  int ok = 1;
  if (disk->writable) {
    ok = guestfs_sync(disk->handle) == 0 && ok;
    ok = guestfs_umount_all(disk->handle) == 0 && ok;
    ok = guestfs_shutdown(disk->handle) == 0 && ok;
  }
  guestfs_close(disk->handle);
  disk->handle = nullptr;
  return ok;
}

const char* GuestError(const GuestDisk* disk) {
  const char* error = disk->handle ? guestfs_last_error(disk->handle) : nullptr;
  return error ? error : "unknown error";
}

void GuestDriveLabel(const char* device, char* out, size_t capacity) {
  if (!capacity) return;
  const char disk[] = "/dev/sda";
  const size_t length = sizeof disk - 1;
  const char* number = device + length;
  int digits = strncmp(device, disk, length) == 0;
  for (const char* c = number; digits && *c; ++c) digits = *c >= '0' && *c <= '9';
  if (digits && !*number) {
    snprintf(out, capacity, "%s", "whole disk");
  } else if (digits && number[0] != '0' && strlen(number) < 6) {
    snprintf(out, capacity, "partition %s", number);
  } else {
    snprintf(out, capacity, "%s", device);
  }
}

int GuestWindowsPath(const GuestDrive& drive, const char* appliancePath, char* out, size_t capacity) {
  size_t mountLength = strlen(drive.mountPoint);
  if (strncmp(appliancePath, drive.mountPoint, mountLength) != 0) return 0;
  const char* rest = appliancePath + mountLength;
  if (*rest && *rest != '/') return 0;
  int n = snprintf(out, capacity, "%s:%s", drive.label, *rest ? rest : "/");
  if (n < 0 || static_cast<size_t>(n) >= capacity) return 0;
  for (char* p = out + strlen(drive.label); *p; ++p)
    if (*p == '/') *p = '\\';
  return 1;
}

int FindGuestDrive(const GuestDisk& disk, const char* volumeLabel, uint32_t* drive) {
  for (uint32_t i = 0; i < disk.driveCount; ++i) {
    char label[kGuestNameCapacity];
    GuestDriveLabel(disk.drives[i].device, label, sizeof label);
    // Another device (a logical volume) keeps its own name: no partition of the image.
    if (!disk.drives[i].mounted || strcmp(label, disk.drives[i].device) == 0 || strcmp(label, volumeLabel) != 0)
      continue;
    *drive = i;
    return 1;
  }
  return 0;
}

int GuestPathBelow(const GuestDrive& drive, const char* below, char* out, size_t capacity) {
  for (const char* part = below;;) {
    const char* end = strchr(part, '/');
    size_t length = end ? static_cast<size_t>(end - part) : strlen(part);
    if (length == 0 || (part[0] == '.' && (length == 1 || (length == 2 && part[1] == '.')))) return 0;
    if (!end) break;
    part = end + 1;
  }
  int n = snprintf(out, capacity, "%s/%s", drive.mountPoint, below);
  return n >= 0 && static_cast<size_t>(n) < capacity;
}
