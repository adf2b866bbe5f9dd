// JSON Lines of the quarantine manifest and the console scanners: one flat
// object per line, written into a fixed buffer, and read back field by
// field. Platform-neutral.
//
// Texts are byte strings. Valid UTF-8 is written as it is; a byte that is
// not part of valid UTF-8 is written as the lone surrogate \uDC80..\uDCFF
// (the convention of Python's "surrogateescape"), so any file name of any
// system comes back byte for byte.
#pragma once
#include <cstddef>
#include <cstdint>

struct JsonLine {
  char* text;
  size_t capacity;
  size_t length;
  int overflow;  // something did not fit: the line must not be used
  int fields;
};

// Starts an object in `buffer`.
void BeginJsonLine(JsonLine* line, char* buffer, size_t capacity);
void AddJsonString(JsonLine* line, const char* key, const char* value);
void AddJsonNumber(JsonLine* line, const char* key, uint64_t value);
void AddJsonSigned(JsonLine* line, const char* key, int64_t value);
// A number with `decimals` digits after the point (seconds).
void AddJsonFixed(JsonLine* line, const char* key, double value, int decimals);
// Ends the object with "}\n" and its terminator. 1 when the whole line fit.
int EndJsonLine(JsonLine* line);

// The string field `key` of a one-line object, decoded into `out`
// (terminated). 1 when found and it fit; else 0 and `out` untouched.
int FindJsonString(const char* line, const char* key, char* out, size_t capacity);
// The number field `key` (integer, may be negative). 1 when found.
int FindJsonNumber(const char* line, const char* key, int64_t* value);
