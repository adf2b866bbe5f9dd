// JSON Lines writing and reading (see json_lines.h).
#include "remedy/json_lines.h"

#include <cstdio>
#include <cstring>

namespace {

void Put(JsonLine* line, const char* bytes, size_t count) {
  if (line->overflow || line->length + count + 1 > line->capacity) {
    line->overflow = 1;
    return;
  }
  memcpy(line->text + line->length, bytes, count);
  line->length += count;
  line->text[line->length] = 0;
}

void PutChar(JsonLine* line, char c) { Put(line, &c, 1); }

// Length of the valid UTF-8 sequence at `s`, or 0 when the byte there does
// not open one (overlong forms and surrogates are not valid).
size_t Utf8Sequence(const unsigned char* s) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  for (size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

void PutQuoted(JsonLine* line, const char* value) {
  PutChar(line, '"');
  const unsigned char* s = reinterpret_cast<const unsigned char*>(value);
  while (*s) {
    char escape[8];
    unsigned char c = *s;
    if (c == '"' || c == '\\') {
      escape[0] = '\\';
      escape[1] = static_cast<char>(c);
      Put(line, escape, 2);
      ++s;
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(escape, sizeof escape, "\\u%04x", c);
      Put(line, escape, 6);
      ++s;
    } else {
      size_t n = Utf8Sequence(s);
      if (n == 0) {
        snprintf(escape, sizeof escape, "\\udc%02x", c);
        Put(line, escape, 6);
        ++s;
      } else {
        Put(line, reinterpret_cast<const char*>(s), n);
        s += n;
      }
    }
  }
  PutChar(line, '"');
}

void PutKey(JsonLine* line, const char* key) {
  if (line->fields++) PutChar(line, ',');
  PutQuoted(line, key);
  PutChar(line, ':');
}

// Where the value of `key` starts in a flat one-line object, or null.
const char* FindValue(const char* line, const char* key) {
  size_t keyLength = strlen(key);
  const char* p = line;
  while ((p = strchr(p, '"')) != nullptr) {
    // A key is a string followed by ':'; skip over every string whole.
    const char* start = p + 1;
    const char* q = start;
    while (*q && *q != '"') q += (*q == '\\' && q[1]) ? 2 : 1;
    if (!*q) return nullptr;
    const char* after = q + 1;
    while (*after == ' ') ++after;
    if (*after == ':') {
      if (static_cast<size_t>(q - start) == keyLength && memcmp(start, key, keyLength) == 0) {
        ++after;
        while (*after == ' ') ++after;
        return after;
      }
    }
    p = after;
  }
  return nullptr;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int ReadHex4(const char* p, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    int h = HexValue(p[i]);
    if (h < 0) return 0;
    v = v * 16 + static_cast<uint32_t>(h);
  }
  *value = v;
  return 1;
}

size_t EncodeUtf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

void BeginJsonLine(JsonLine* line, char* buffer, size_t capacity) {
  *line = JsonLine{buffer, capacity, 0, 0, 0};
  if (capacity) buffer[0] = 0;
  PutChar(line, '{');
}

void AddJsonString(JsonLine* line, const char* key, const char* value) {
  PutKey(line, key);
  PutQuoted(line, value ? value : "");
}

void AddJsonNumber(JsonLine* line, const char* key, uint64_t value) {
  char digits[24];
  int n = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
  PutKey(line, key);
  Put(line, digits, static_cast<size_t>(n));
}

void AddJsonSigned(JsonLine* line, const char* key, int64_t value) {
  char digits[24];
  int n = snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
  PutKey(line, key);
  Put(line, digits, static_cast<size_t>(n));
}

void AddJsonFixed(JsonLine* line, const char* key, double value, int decimals) {
  char digits[48];
  int n = snprintf(digits, sizeof digits, "%.*f", decimals, value);
  PutKey(line, key);
  if (n > 0 && static_cast<size_t>(n) < sizeof digits) {
    Put(line, digits, static_cast<size_t>(n));
  } else {
    line->overflow = 1;
  }
}

int EndJsonLine(JsonLine* line) {
  Put(line, "}\n", 2);
  return !line->overflow;
}

namespace {

// Decodes the string at `p` (after its opening quote). Counts the bytes when
// `out` is null; writes them otherwise. 1 when the string is well formed.
int DecodeString(const char* p, char* out, size_t* length) {
  size_t n = 0;
  char piece[4];
  while (*p && *p != '"') {
    size_t pieceLength = 1;
    if (*p != '\\') {
      piece[0] = *p++;
    } else {
      char e = p[1];
      p += 2;
      switch (e) {
        case '"': piece[0] = '"'; break;
        case '\\': piece[0] = '\\'; break;
        case '/': piece[0] = '/'; break;
        case 'b': piece[0] = '\b'; break;
        case 'f': piece[0] = '\f'; break;
        case 'n': piece[0] = '\n'; break;
        case 'r': piece[0] = '\r'; break;
        case 't': piece[0] = '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!ReadHex4(p, &cp)) return 0;
          p += 4;
          if (cp >= 0xDC80 && cp <= 0xDCFF) {
            piece[0] = static_cast<char>(cp - 0xDC00);  // a raw byte, escaped when written
          } else if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (p[0] != '\\' || p[1] != 'u' || !ReadHex4(p + 2, &low) || low < 0xDC00 || low > 0xDFFF) return 0;
            p += 6;
            pieceLength = EncodeUtf8(0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00), piece);
          } else if ((cp >= 0xDC00 && cp <= 0xDFFF) || cp == 0) {
            return 0;  // a lone low surrogate of no byte, or a NUL that would cut the text
          } else {
            pieceLength = EncodeUtf8(cp, piece);
          }
          break;
        }
        default: return 0;
      }
    }
    if (out) memcpy(out + n, piece, pieceLength);
    n += pieceLength;
  }
  if (*p != '"') return 0;
  if (out) out[n] = 0;
  *length = n;
  return 1;
}

}  // namespace

int FindJsonString(const char* line, const char* key, char* out, size_t capacity) {
  const char* p = FindValue(line, key);
  if (!p || *p != '"') return 0;
  size_t length = 0;
  if (!DecodeString(p + 1, nullptr, &length) || length + 1 > capacity) return 0;
  return DecodeString(p + 1, out, &length);
}

int FindJsonNumber(const char* line, const char* key, int64_t* value) {
  const char* p = FindValue(line, key);
  if (!p) return 0;
  int negative = *p == '-';
  if (negative) ++p;
  if (*p < '0' || *p > '9') return 0;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > (UINT64_MAX - 9) / 10) return 0;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (v > static_cast<uint64_t>(INT64_MAX)) return 0;
  *value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  return 1;
}
