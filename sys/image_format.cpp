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

int Same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

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

uint64_t LittleEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i > 0; --i) value = value << 8 | bytes[i - 1];
  return value;
}

const uint32_t kBackingFormatExtension = 0xE2792ACA;

// A qcow2 header's extension of `type`: its data's offset and length, when
// the whole of it lies within `head`. 0 when absent or not all there;
// `complete` says whether the list of extensions was read to its end.
int QcowExtension(const unsigned char* head, size_t length, uint32_t type, size_t* at, size_t* size,
                  int* complete) {
  *complete = 0;
  if (length < 72) return 0;
  uint64_t version = BigEndian(head + 4, 4);
  if (version >= 3 && length < 104) return 0;
  size_t p = version >= 3 ? static_cast<size_t>(BigEndian(head + 100, 4)) : 72;
  while (p >= 72 && p <= length - 8) {
    uint32_t kind = static_cast<uint32_t>(BigEndian(head + p, 4));
    uint64_t bytes = BigEndian(head + p + 4, 4);
    if (kind == 0) {
      *complete = 1;
      return 0;
    }
    if (bytes > length - p - 8) return 0;
    if (kind == type) {
      *at = p + 8;
      *size = static_cast<size_t>(bytes);
      *complete = 1;
      return 1;
    }
    p += 8 + static_cast<size_t>((bytes + 7) & ~static_cast<uint64_t>(7));
  }
  return 0;
}

// What qemu would read as a protocol ("nbd:", "json:{...}", "http://")
// rather than a file: a ':' before any '/'.
int NamesAProtocol(const char* file) {
  const char* colon = std::strchr(file, ':');
  const char* slash = std::strchr(file, '/');
  return colon && (!slash || colon < slash);
}

// Why a header of `format` has the emulator open another file it names (a
// backing file, a parent disk, extents, a data file), or null. A backing
// file is opened only as the person allowed and the header states.
const char* NamesAnotherFile(const char* format, int allowBackingFile, const unsigned char* head, size_t length) {
  if (Same(format, "qcow2") && length >= 80 && BigEndian(head + 4, 4) >= 3 && (head[79] & 4))
    return "it names an external data file";
  if (Same(format, "qcow") && length >= 16 && BigEndian(head + 8, 8) != 0)
    return "it names a backing file, and a qcow header cannot state its format";
  if (Same(format, "qcow2") && length >= 16 && BigEndian(head + 8, 8) != 0) {
    if (!allowBackingFile) return "it names a backing file (--allow-backing-file allows one of stated format)";
    char file[kImageBackingNameCapacity], stated[32];
    if (!ImageBackingFile(head, length, file, sizeof file, stated, sizeof stated))
      return "it names a backing file whose name or format is not within its first 4096 bytes";
    if (!stated[0]) return "it names a backing file without stating its format";
    if (!ImageFormatNamed(stated) || !Same(ImageFormatNamed(stated), stated))
      return "it names a backing file of a format not opened here";
    if (NamesAProtocol(file)) return "it names a backing file that is no plain file";
  }
  if (Same(format, "vmdk") && Starts(head, length, 0, "# Disk DescriptorFile", 21))
    return "it is a VMDK descriptor, whose extents are other files";
  if (Same(format, "vmdk") && length >= 44) {
    // A sparse VMDK's embedded descriptor may name a parent disk.
    uint64_t at = LittleEndian(head + 28, 8);
    if (at != 0) {
      if (at >= length / 512) return "its VMDK descriptor is not within its first 4096 bytes";
      const char* text = reinterpret_cast<const char*>(head + at * 512);
      size_t room = length - static_cast<size_t>(at * 512);
      size_t used = strnlen(text, room);
      if (used == room) return "its VMDK descriptor is not within its first 4096 bytes";
      if (std::strstr(text, "parentFileNameHint")) return "it is a VMDK that names its parent disk";
    }
  }
  if (Same(format, "vpc") && Starts(head, length, 0, "conectix", 8) && length >= 64 && BigEndian(head + 60, 4) == 4)
    return "it is a differencing VHD, which names its parent disk";
  if (Same(format, "vdi") && length >= 0x50 && LittleEndian(head + 0x4c, 4) == 4)
    return "it is a differencing VDI, which names its parent disk";
  return nullptr;
}

const char* const kRawNames[] = {".raw", ".dd", ".bin", ".iso", ".img"};

const struct {
  const char* tail;
  const char* format;
} kNamed[] = {{".qcow2", "qcow2"}, {".qcow", "qcow"}, {".vmdk", "vmdk"}, {".vhdx", "vhdx"},
              {".vhd", "vpc"},     {".vdi", "vdi"}};

// The format the name says, or null when it says none (it is then raw).
const char* FormatOfName(const char* name) {
  for (const auto& named : kNamed)
    if (EndsWithIgnoringCase(name, named.tail)) return named.format;
  return nullptr;
}

}  // namespace

const char* ImageFormatNamed(const char* word) {
  static const char* const kFormats[] = {"raw", "qcow2", "qcow", "vmdk", "vpc", "vhdx", "vdi"};
  if (!word) return nullptr;
  for (const char* format : kFormats)
    if (Same(word, format)) return format;
  return Same(word, "vhd") ? "vpc" : nullptr;
}

int ImageBackingFile(const unsigned char* head, size_t length, char* file, size_t fileCapacity, char* format,
                     size_t formatCapacity) {
  if (fileCapacity) file[0] = 0;
  if (formatCapacity) format[0] = 0;
  if (!Starts(head, length, 0, "QFI\xfb", 4) || length < 20 || BigEndian(head + 4, 4) < 2) return 0;
  uint64_t at = BigEndian(head + 8, 8), size = BigEndian(head + 16, 4);
  if (at == 0 || size == 0 || at >= length || size > length - at || size >= fileCapacity) return 0;
  if (std::memchr(head + at, 0, static_cast<size_t>(size))) return 0;
  size_t extensionAt = 0, extensionSize = 0;
  int complete = 0;
  int stated = QcowExtension(head, length, kBackingFormatExtension, &extensionAt, &extensionSize, &complete);
  if (!complete || (stated && (extensionSize == 0 || extensionSize >= formatCapacity ||
                               std::memchr(head + extensionAt, 0, extensionSize))))
    return 0;
  std::memcpy(file, head + at, static_cast<size_t>(size));
  file[size] = 0;
  if (stated) {
    std::memcpy(format, head + extensionAt, extensionSize);
    format[extensionSize] = 0;
  }
  return 1;
}

int NameSaysDiskImage(const char* name) {
  for (const char* tail : kRawNames)
    if (EndsWithIgnoringCase(name, tail)) return 1;
  return FormatOfName(name) != nullptr;
}

const char* ImageFormatOf(const char* name, const char* given, int allowBackingFile, const unsigned char* head,
                          size_t length, char* why, size_t capacity) {
  const char* said = given ? ImageFormatNamed(given) : FormatOfName(name);
  if (given && !said) {
    std::snprintf(why, capacity, "no image format is called %s", given);
    return nullptr;
  }
  // Raw whatever its first bytes: they are the guest's.
  if (!said || Same(said, "raw")) return "raw";
  const char* found = HeaderFormat(head, length);
  const char* format = said;
  if (Same(said, "vpc") && Same(found, "raw")) {
    format = "raw";  // a fixed VHD: its footer is at its end, its data raw
  } else if (Same(said, "qcow2") && Same(found, "qcow")) {
    format = found;
  } else if (!Same(found, said)) {
    std::snprintf(why, capacity, "%s %s but its first bytes are %s%s", given ? "given as" : "named as", said,
                  Same(found, "raw") ? "no image header" : "a header of ", Same(found, "raw") ? "" : found);
    return nullptr;
  }
  const char* other = NamesAnotherFile(format, allowBackingFile, head, length);
  if (other) {
    std::snprintf(why, capacity, "%s (%s): it is not opened, so that nothing outside it is read or written", other,
                  format);
    return nullptr;
  }
  return format;
}
