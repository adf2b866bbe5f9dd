// Which format a virtual machine's disk image is opened as. The image's
// name and first bytes decide here, never the emulator's own probing: a
// guest may write any header to the start of its raw disk, and a raw disk
// opened as qcow2 or VMDK would have the emulator follow the backing files
// that header names on the host, and write the image in a format the
// virtual machine does not read. Platform-neutral.
#pragma once
#include <cstddef>

enum { kImageHeadSize = 512 };  // bytes read from the start of an image

// "raw", "qcow", "qcow2", "vmdk", "vpc", "vhdx" or "vdi" for the image
// `name` (a path) whose first `length` bytes are `head`. A name that says
// raw (.raw, .dd, .bin, .iso) is raw whatever its bytes; a name that says a
// format (.qcow2, .vmdk, .vhd, .vhdx, .vdi) must carry that format's header
// (a fixed .vhd, whose header is at its end, is read as raw); any other name
// goes by the header, raw when there is none. Null when the name and the
// bytes disagree, or when the header has the emulator open another file
// (a qcow2 backing file, a VMDK descriptor's extents, a differencing VHD's
// or VDI's parent), with the reason in `why`.
const char* ImageFormatOf(const char* name, const unsigned char* head, size_t length, char* why, size_t capacity);

// 1 when the name `name` (a path) says by its ending alone, case ignored,
// that it is a disk image: one of the names above, or .img (whose header
// says its format when it is opened). Never reads the file.
int NameSaysDiskImage(const char* name);
