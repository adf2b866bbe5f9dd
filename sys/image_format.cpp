// The format of a disk image (see image_format.h).
#include "sys/image_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

int EndsWithIgnoringCase(const char* name, const char* tail) {
  size_t n = std::strlen(name), t = std::strlen(tail);
  if (t > n) return 0;
  for (size_t i = 0; i < t; ++i) {
    char c = name[n - t + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return 0;
  }
  return 1;
}

int Starts(const unsigned char* head, size_t length, size_t at, const char* magic, size_t magicLength) {
  return length >= at + magicLength && std::memcmp(head + at, magic, magicLength) == 0;
}

// The format the header at the start says, or "raw".
const char* HeaderFormat(const unsigned char* head, size_t length) {
  if (Starts(head, length, 0, "QFI\xfb", 4) && length >= 8)
    return head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] == 1 ? "qcow" : "qcow2";
  if (Starts(head, length, 0, "KDMV", 4) || Starts(head, length, 0, "# Disk DescriptorFile", 21)) return "vmdk";
  if (Starts(head, length, 0, "vhdxfile", 8)) return "vhdx";
  if (Starts(head, length, 0, "conectix", 8)) return "vpc";
  if (Starts(head, length, 0x40, "\x7f\x10\xda\xbe", 4)) return "vdi";
  return "raw";
}

uint64_t BigEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// Why a header of `format` has the emulator open another file it names (a
// backing file, a parent disk, extents), or null. Such a file is on the
// host, where the guest that wrote the header has no say.
const char* NamesAnotherFile(const char* format, const unsigned char* head, size_t length) {
  if ((std::strcmp(format, "qcow2") == 0 || std::strcmp(format, "qcow") == 0) && length >= 16 &&
      BigEndian(head + 8, 8) != 0)
    return "it names a backing file";
  if (std::strcmp(format, "vmdk") == 0 && Starts(head, length, 0, "# Disk DescriptorFile", 21))
    return "it is a VMDK descriptor, whose extents are other files";
  if (std::strcmp(format, "vpc") == 0 && Starts(head, length, 0, "conectix", 8) && length >= 64 &&
      BigEndian(head + 60, 4) == 4)
    return "it is a differencing VHD, which names its parent disk";
  if (std::strcmp(format, "vdi") == 0 && length >= 0x50 &&
      (head[0x4c] | head[0x4d] << 8 | head[0x4e] << 16 | static_cast<uint32_t>(head[0x4f]) << 24) == 4)
    return "it is a differencing VDI, which names its parent disk";
  return nullptr;
}

const char* const kRawNames[] = {".raw", ".dd", ".bin", ".iso"};

const struct {
  const char* tail;
  const char* format;
} kNamed[] = {{".qcow2", "qcow2"}, {".qcow", "qcow"}, {".vmdk", "vmdk"}, {".vhdx", "vhdx"},
              {".vhd", "vpc"},     {".vdi", "vdi"}};

}  // namespace

int NameSaysDiskImage(const char* name) {
  for (const char* tail : kRawNames)
    if (EndsWithIgnoringCase(name, tail)) return 1;
  for (const auto& named : kNamed)
    if (EndsWithIgnoringCase(name, named.tail)) return 1;
  return EndsWithIgnoringCase(name, ".img");
}

namespace {

const char* FormatByName(const char* name, const unsigned char* head, size_t length, char* why, size_t capacity) {
  for (const char* tail : kRawNames)
    if (EndsWithIgnoringCase(name, tail)) return "raw";
  const char* found = HeaderFormat(head, length);
  for (const auto& named : kNamed) {
    if (!EndsWithIgnoringCase(name, named.tail)) continue;
    if (std::strcmp(found, named.format) == 0) return found;
    if (std::strcmp(named.format, "vpc") == 0 && std::strcmp(found, "raw") == 0) return "raw";  // a fixed VHD
    if (std::strcmp(named.format, "qcow2") == 0 && std::strcmp(found, "qcow") == 0) return found;
    std::snprintf(why, capacity, "named as %s but its first bytes are %s%s", named.format,
                  std::strcmp(found, "raw") == 0 ? "no image header" : "a header of ",
                  std::strcmp(found, "raw") == 0 ? "" : found);
    return nullptr;
  }
  return found;
}

}  // namespace

const char* ImageFormatOf(const char* name, const unsigned char* head, size_t length, char* why, size_t capacity) {
  const char* format = FormatByName(name, head, length, why, capacity);
  const char* other = format ? NamesAnotherFile(format, head, length) : nullptr;
  if (other) {
    std::snprintf(why, capacity, "%s (%s): it is not opened, so that nothing outside it is read or written", other,
                  format);
    return nullptr;
  }
  return format;
}
