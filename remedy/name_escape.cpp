// Names as data (see name_escape.h).
#include "remedy/name_escape.h"

#include <cstdint>
#include <cstring>

namespace {

// Length of the valid UTF-8 sequence at `p` (1..4), 0 when it is not one.
size_t Utf8Length(const unsigned char* p) {
  unsigned char c = p[0];
  size_t n;
  uint32_t code;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    code = c & 0x07;
  } else {
    return 0;
  }
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code >= 0x80 && code <= 0x9F) return 0;  // C1 controls: shown escaped
  return n;
}

// One unit of the escaped text: a valid UTF-8 sequence as it is, or one
// byte as \xNN. Returns the bytes of `p` it stands for (0 at the end).
size_t EscapeUnit(const unsigned char* p, char unit[5], size_t* length) {
  static const char kHex[] = "0123456789abcdef";
  if (!*p) return 0;
  size_t n = Utf8Length(p);
  if (n == 0 || (n == 1 && (*p < 0x20 || *p == 0x7F)) || (n == 1 && *p == '\\' && p[1] == 'x')) {
    unit[0] = '\\';
    unit[1] = 'x';
    unit[2] = kHex[*p >> 4];
    unit[3] = kHex[*p & 15];
    *length = 4;
    return 1;
  }
  for (size_t i = 0; i < n; ++i) unit[i] = static_cast<char>(p[i]);
  *length = n;
  return n;
}

// The escaped length of `p`, terminator excluded.
size_t EscapedLength(const unsigned char* p) {
  size_t total = 0, length;
  char unit[5];
  for (size_t n; (n = EscapeUnit(p, unit, &length)) != 0; p += n) total += length;
  return total;
}

// Writes the escaped units of `p` while they leave `room` bytes free of
// `capacity`; returns the bytes written (no terminator).
size_t EscapeInto(const unsigned char* p, char* out, size_t capacity, size_t room) {
  size_t used = 0, length;
  char unit[5];
  for (size_t n; (n = EscapeUnit(p, unit, &length)) != 0; p += n) {
    if (used + length + room > capacity) break;
    for (size_t i = 0; i < length; ++i) out[used++] = unit[i];
  }
  return used;
}

const char kCutMarker[] = "...[cut]";

}  // namespace

size_t EscapeNameForTerminal(const char* in, char* out, size_t capacity) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in ? in : "");
  size_t need = EscapedLength(bytes);
  if (need < capacity) out[EscapeInto(bytes, out, capacity, 1)] = 0;
  return need;
}

void EscapeNameCut(const char* in, char* out, size_t capacity) {
  if (!capacity) return;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in ? in : "");
  if (EscapedLength(bytes) < capacity) {
    out[EscapeInto(bytes, out, capacity, 1)] = 0;
    return;
  }
  // Whole units only, so that the cut never leaves half an escape or half a
  // UTF-8 sequence, then the marker.
  if (capacity < sizeof kCutMarker) {
    out[0] = 0;
    return;
  }
  size_t used = EscapeInto(bytes, out, capacity, sizeof kCutMarker);
  std::memcpy(out + used, kCutMarker, sizeof kCutMarker);
}

int NameNeedsEscaping(const char* name) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name ? name : "");
  return EscapedLength(bytes) != strlen(name ? name : "");
}

size_t EscapeNonWindowsName(const char* in, char* out, size_t capacity) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in ? in : "");
  auto NoWindowsName = [](unsigned char c) { return c && strchr("\\:*?\"<>|", c) != nullptr; };
  size_t need = 0;
  for (const unsigned char* p = bytes; *p; ++p) need += NoWindowsName(*p) ? 4 : 1;
  if (need >= capacity) return need;
  size_t used = 0;
  for (const unsigned char* p = bytes; *p; ++p) {
    if (!NoWindowsName(*p)) {
      out[used++] = static_cast<char>(*p);
      continue;
    }
    out[used++] = '\\';
    out[used++] = 'x';
    out[used++] = kHex[*p >> 4];
    out[used++] = kHex[*p & 15];
  }
  out[used] = 0;
  return need;
}
