// Registry values as REGEDIT4 text, so that a deleted value can be brought
// back by importing a .reg file. Free of the platform: the caller reads the
// values and writes the text where it belongs.
#pragma once
#include <cstddef>
#include <cstdint>

// Value types as the registry numbers them.
enum : uint32_t {
  kRegNone = 0,
  kRegString = 1,
  kRegExpandString = 2,
  kRegBinary = 3,
  kRegDword = 4,
};

// The first line of a REGEDIT4 file, with the blank line after it.
extern const char kRegeditFileHeader[];

// Each formatter writes its text (CR LF line ends) and a terminator into
// `out` when the text fits `capacity` bytes, terminator included; when it
// does not fit, `out` is left as it was. Returns the text's length without
// the terminator either way, so a caller can size a buffer and ask again.

// "\r\n[KEY]\r\n": a blank line, then the key's section line.
size_t FormatRegKeyLine(char* out, size_t capacity, const char* keyPath);

// One value line. `name` empty or null is the key's default value. A string
// value holding a terminator at its end and nothing but printable text before
// it is written as a quoted string, a four-byte dword as dword:, every other
// value byte for byte as hex(type): so that it comes back exactly as it was.
size_t FormatRegValueLine(char* out, size_t capacity, const char* name, uint32_t type, const unsigned char* data,
                          uint32_t size);
