// The first bytes of disk images, forged for the tests of the format rule
// and of backing files: a qcow2 header naming a backing file and stating
// its format or not, or any magic at any offset. Platform-neutral.
#pragma once
#include <cstring>
#include <string>

#include "sys/image_format.h"

struct ImageHead {
  unsigned char bytes[kImageHeadSize] = {};
  ImageHead& Put(size_t at, const void* data, size_t length) {
    std::memcpy(bytes + at, data, length);
    return *this;
  }
  ImageHead& Put(size_t at, const char* text) { return Put(at, text, std::strlen(text)); }
  ImageHead& BigEndian(size_t at, unsigned long long value, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes[at + i] = static_cast<unsigned char>(value >> 8 * (count - 1 - i));
    return *this;
  }
  std::string Text() const { return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes); }
};

// `magic` at `at` (its whole length unless `length` says).
inline ImageHead MagicHead(const char* magic, size_t at = 0, size_t length = 0) {
  ImageHead h;
  return h.Put(at, magic, length ? length : std::strlen(magic));
}

// A qcow2 (version 3) header, naming `backing` at offset 512 when given,
// with the backing-format extension when `stated` is.
inline ImageHead Qcow2Head(const char* backing = nullptr, const char* stated = nullptr) {
  ImageHead h;
  h.Put(0, "QFI\xfb", 4).BigEndian(4, 3, 4).BigEndian(100, 104, 4);
  size_t at = 104;
  if (stated) {
    size_t n = std::strlen(stated);
    h.BigEndian(at, 0xE2792ACA, 4).BigEndian(at + 4, n, 4).Put(at + 8, stated);
    at += 8 + ((n + 7) & ~size_t{7});
  }
  h.BigEndian(at, 0, 8);  // the end of the extensions
  if (backing) h.Put(512, backing).BigEndian(8, 512, 8).BigEndian(16, std::strlen(backing), 4);
  return h;
}
