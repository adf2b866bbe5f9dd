// A disk image read in this process: qemu-nbd is started by libnbd on a
// private socket (systemd socket activation: no root, no /dev/nbd*), always
// with the format given and read-only, so that no byte of the image chooses
// how it is opened. One owner for the connection; reads by offset. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

struct nbd_handle;

struct NbdDisk {
  nbd_handle* handle;  // owned; the server ends with it
  uint64_t size;
};

// Whether the server locks the image file as the emulator does. A format's
// reader (qcow2, ...) locks its file against writers; a run that may hand
// the image to the appliance for writing while this reader is open takes no
// lock (it still never writes, and may then read what the appliance changed
// as it was: whatever it acts on is checked again there).
enum ImageLocking : uint32_t {
  kReaderLocks = 0,
  kReaderTakesNoLock = 1,
};

// Opens `image` (a regular file) as `format` ("raw", "qcow2", "vmdk",
// "vpc", "vhdx", "vdi", "qcow": what ImageFormatOf decided). 0 with the
// reason in `why`; nothing is then left open.
int OpenNbdDisk(const char* image, const char* format, ImageLocking locking, NbdDisk* disk, char* why,
                size_t capacity);

// `length` bytes from `offset`. 1 when every byte came; a read past the
// end is a failure.
int ReadNbdDisk(NbdDisk* disk, uint64_t offset, void* buffer, size_t length);

// Ends the connection and the server. Safe on a disk never opened.
void CloseNbdDisk(NbdDisk* disk);
