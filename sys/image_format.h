// Which format a virtual machine's disk image is opened as. The person
// decides, by --format or by a name that says a format; a guest may write
// any header to the start of its raw disk, and a raw disk opened as qcow2
// or VMDK would have the emulator follow the files that header names on the
// host, and write the image in a format the virtual machine does not read.
// So a header only has to agree with what the person said, never chooses.
// Platform-neutral.
#pragma once
#include <cstddef>

enum {
  kImageHeadSize = 4096,         // bytes read from the start of an image
  kImageBackingNameCapacity = 1024,  // a qcow2 backing file's name, as qemu allows it
};

// The format libguestfs takes for a word --format accepts ("raw", "qcow2",
// "qcow", "vmdk", "vpc" or "vhd", "vhdx", "vdi"), or null.
const char* ImageFormatNamed(const char* word);

// "raw", "qcow", "qcow2", "vmdk", "vpc", "vhdx" or "vdi" for the image
// `name` (a path) whose first `length` bytes are `head`. The format is
// `given` (--format, null when none), else the one its name says (.qcow2,
// .qcow, .vmdk, .vhd, .vhdx, .vdi), else raw: .raw, .dd, .bin, .iso, .img
// and any other name are raw whatever their bytes. A format other than raw
// must find its header (a fixed .vhd, whose header is at its end, is read
// as raw). Null when they disagree, or when the header has the emulator
// open another file, with the reason in `why`: a VMDK descriptor's extents,
// a differencing VHD's or VDI's parent, a qcow2 external data file, and a
// backing file unless `allowBackingFile` and the qcow2 header states the
// backing file's format (ImageBackingFile), which is then opened as that.
const char* ImageFormatOf(const char* name, const char* given, int allowBackingFile, const unsigned char* head,
                          size_t length, char* why, size_t capacity);

// The backing file a qcow2 header names, as written there (relative to the
// image's folder unless it starts with '/'), and the format the header
// states for it ("" when none). 1 when the header names one and both lie
// within `head` and fit; 0 otherwise (`file` and `format` then empty).
int ImageBackingFile(const unsigned char* head, size_t length, char* file, size_t fileCapacity, char* format,
                     size_t formatCapacity);

// 1 when the name `name` (a path) says by its ending alone, case ignored,
// that it is a disk image: one of the names above. Never reads the file.
int NameSaysDiskImage(const char* name);
