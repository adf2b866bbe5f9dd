// REGEDIT4 text of registry values.
#include "remedy/reg_export.h"

#include <cstdio>
#include <cstring>

const char kRegeditFileHeader[] = "REGEDIT4\r\n";

namespace {

// Appends to a bounded buffer and counts what the whole text needs.
// Appends to a buffer, or only counts when out is null.
struct TextSink {
  char* out;
  size_t length;
};

void Put(TextSink* sink, char c) {
  if (sink->out) sink->out[sink->length] = c;
  ++sink->length;
}

void PutText(TextSink* sink, const char* text) {
  while (*text) Put(sink, *text++);
}

// Quoted text, with the two characters that regedit reads as escapes escaped.
void PutQuoted(TextSink* sink, const char* text, size_t length) {
  Put(sink, '"');
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\\' || text[i] == '"') Put(sink, '\\');
    Put(sink, text[i]);
  }
  Put(sink, '"');
}

int IsPlainString(const unsigned char* data, uint32_t size) {
  if (size == 0 || data[size - 1] != 0) return 0;
  for (uint32_t i = 0; i + 1 < size; ++i) {
    if (data[i] < 0x20 || data[i] == 0x7F) return 0;
  }
  return 1;
}

void PutName(TextSink* sink, const char* name) {
  if (!name || !*name) {
    Put(sink, '@');
  } else {
    PutQuoted(sink, name, strlen(name));
  }
  Put(sink, '=');
}

void KeyLine(TextSink* sink, const char* keyPath) {
  PutText(sink, "\r\n[");
  PutText(sink, keyPath ? keyPath : "");
  PutText(sink, "]\r\n");
}

void ValueLine(TextSink* sink, const char* name, uint32_t type, const unsigned char* data, uint32_t size) {
  PutName(sink, name);
  if (type == kRegString && IsPlainString(data, size)) {
    PutQuoted(sink, reinterpret_cast<const char*>(data), size - 1);
  } else if (type == kRegDword && size == 4) {
    uint32_t value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                     static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    char text[20];
    snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
    PutText(sink, text);
  } else {
    char text[24];
    if (type == kRegBinary) {
      PutText(sink, "hex:");
    } else {
      snprintf(text, sizeof text, "hex(%x):", static_cast<unsigned>(type));
      PutText(sink, text);
    }
    size_t lineStart = 0;
    for (uint32_t i = 0; i < size; ++i) {
      // regedit's own width: a line goes on after a backslash before 80 columns.
      if (sink->length - lineStart > 74) {
        PutText(sink, "\\\r\n  ");
        lineStart = sink->length - 2;
      }
      snprintf(text, sizeof text, i + 1 < size ? "%02x," : "%02x", static_cast<unsigned>(data[i]));
      PutText(sink, text);
    }
  }
  PutText(sink, "\r\n");
}

}  // namespace

size_t FormatRegKeyLine(char* out, size_t capacity, const char* keyPath) {
  TextSink count = {nullptr, 0};
  KeyLine(&count, keyPath);
  if (count.length < capacity) {
    TextSink sink = {out, 0};
    KeyLine(&sink, keyPath);
    out[sink.length] = 0;
  }
  return count.length;
}

size_t FormatRegValueLine(char* out, size_t capacity, const char* name, uint32_t type, const unsigned char* data,
                          uint32_t size) {
  TextSink count = {nullptr, 0};
  ValueLine(&count, name, type, data, size);
  if (count.length < capacity) {
    TextSink sink = {out, 0};
    ValueLine(&sink, name, type, data, size);
    out[sink.length] = 0;
  }
  return count.length;
}
