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

struct Sink {
  char* out;
  size_t length;
};

void Put(Sink* sink, char c) {
  if (sink->out) sink->out[sink->length] = c;
  ++sink->length;
}

void PutEscaped(Sink* sink, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  Put(sink, '\\');
  Put(sink, 'x');
  Put(sink, kHex[byte >> 4]);
  Put(sink, kHex[byte & 15]);
}

void Escape(Sink* sink, const unsigned char* p) {
  while (*p) {
    size_t n = Utf8Length(p);
    if (n == 0 || (n == 1 && (*p < 0x20 || *p == 0x7F))) {
      PutEscaped(sink, *p++);
      continue;
    }
    if (n == 1 && *p == '\\' && p[1] == 'x') {
      PutEscaped(sink, *p++);
      continue;
    }
    for (size_t i = 0; i < n; ++i) Put(sink, static_cast<char>(*p++));
  }
}

}  // namespace

size_t EscapeNameForTerminal(const char* in, char* out, size_t capacity) {
  Sink count{nullptr, 0};
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in ? in : "");
  Escape(&count, bytes);
  if (count.length < capacity) {
    Sink sink{out, 0};
    Escape(&sink, bytes);
    out[sink.length] = 0;
  }
  return count.length;
}

int NameNeedsEscaping(const char* name) {
  Sink count{nullptr, 0};
  Escape(&count, reinterpret_cast<const unsigned char*>(name ? name : ""));
  return count.length != strlen(name ? name : "");
}
