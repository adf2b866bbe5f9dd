// The run's signature set: list parsing, validation and the combined lookup
// (see signature_set.h).
#include "engine/signature_set.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint32_t {
  kMaxNameLength = kDetectionNameCapacity - 1,
  kReadPiece = 65536,
};

// Grows a malloc'd array of plain records to hold `need`. 1, or 0 when out
// of memory (the array is then as it was).
template <typename T>
int Reserve(T** data, size_t* capacity, size_t need) {
  if (need <= *capacity) return 1;
  size_t grown = *capacity ? *capacity : 256;
  while (grown < need) grown *= 2;
  void* moved = std::realloc(*data, grown * sizeof(T));
  if (!moved) return 0;
  *data = static_cast<T*>(moved);
  *capacity = grown;
  return 1;
}

int IsBlank(char c) { return c == ' ' || c == '\t'; }

// Value of each hexadecimal digit, -1 for any other byte: a million SHA-256
// rows are 64 million digits.
struct HexDigits {
  signed char value[256];
};
constexpr HexDigits MakeHexDigits() {
  HexDigits d{};
  for (int i = 0; i < 256; ++i) d.value[i] = -1;
  for (int i = 0; i < 10; ++i) d.value['0' + i] = static_cast<signed char>(i);
  for (int i = 0; i < 6; ++i) d.value['a' + i] = d.value['A' + i] = static_cast<signed char>(10 + i);
  return d;
}
constexpr HexDigits kHexDigits = MakeHexDigits();

int HexValue(char c) { return kHexDigits.value[static_cast<unsigned char>(c)]; }

// Letters, digits and . _ - # + : what detection names are made of.
int IsNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-' || c == '#' || c == '+';
}

struct Field {
  const char* text;
  size_t length;
};

// A size: decimal digits without a sign or leading zero, 1 to
// kMaxCheckedFileSize (larger files are never read).
int ParseSize(Field f, uint32_t* out) {
  if (f.length == 0 || f.length > 7 || f.text[0] == '0') return 0;
  uint32_t value = 0;
  for (size_t i = 0; i < f.length; ++i) {
    if (f.text[i] < '0' || f.text[i] > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(f.text[i] - '0');
  }
  if (value > kMaxCheckedFileSize) return 0;
  *out = value;
  return 1;
}

// "0x" and exactly eight hexadecimal digits, as the fingerprint tool prints.
int ParseSum(Field f, uint32_t* out) {
  if (f.length != 10 || f.text[0] != '0' || (f.text[1] != 'x' && f.text[1] != 'X')) return 0;
  uint32_t value = 0;
  for (size_t i = 2; i < 10; ++i) {
    int digit = HexValue(f.text[i]);
    if (digit < 0) return 0;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *out = value;
  return 1;
}

int ParseDigest(Field f, unsigned char digest[kSha256DigestSize]) {
  if (f.length != 2 * kSha256DigestSize) return 0;
  for (size_t i = 0; i < kSha256DigestSize; ++i) {
    int high = HexValue(f.text[2 * i]), low = HexValue(f.text[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return 1;
}

// Why a name cannot be a detection name, or null.
const char* NameFault(Field f) {
  if (f.length == 0) return "the detection name is empty";
  if (f.length > kMaxNameLength) return "the detection name is longer than 24 characters";
  for (size_t i = 0; i < f.length; ++i)
    if (!IsNameCharacter(f.text[i])) return "the detection name holds a character other than A-Z a-z 0-9 . _ - # +";
  return nullptr;
}

// One list being read: its rows so far and the line being put together.
struct ListParse {
  SignatureLists* lists;
  uint32_t list;
  uint32_t line;  // the current line's number
  uint32_t rows;
  uint32_t lastName;  // a run of rows of one name keeps the name once
  int haveLastName;
  char text[kMaxSignatureListLine + 1];
  size_t length;
  int tooLong;
  int sawNul;
  int atStart;  // nothing read yet: a UTF-8 byte-order mark is skipped
};

// The offset of `f` in the names, stored once per run of equal names. ~0u
// when out of memory.
uint32_t StoreName(ListParse* p, Field f) {
  SignatureLists* l = p->lists;
  if (p->haveLastName) {
    const char* last = l->names + p->lastName;
    if (std::strlen(last) == f.length && std::memcmp(last, f.text, f.length) == 0) return p->lastName;
  }
  if (!Reserve(&l->names, &l->namesCapacity, l->namesUsed + f.length + 1)) return ~0u;
  uint32_t offset = static_cast<uint32_t>(l->namesUsed);
  std::memcpy(l->names + offset, f.text, f.length);
  l->names[offset + f.length] = 0;
  l->namesUsed += f.length + 1;
  p->lastName = offset;
  p->haveLastName = 1;
  return offset;
}

// Splits `line` at `separator` (blank: runs of blanks). The number of
// fields, at most `most` + 1 (one more tells "too many").
size_t Split(const char* line, size_t length, char separator, Field* fields, size_t most) {
  size_t count = 0, i = 0;
  while (i <= length && count <= most) {
    if (separator == ' ')
      while (i < length && IsBlank(line[i])) ++i;
    if (separator == ' ' && i == length) break;
    size_t start = i;
    while (i < length && (separator == ' ' ? !IsBlank(line[i]) : line[i] != separator)) ++i;
    fields[count++] = Field{line + start, i - start};
    ++i;
  }
  return count;
}

// Takes one line (without its line break). Null when it is good, else why.
const char* TakeLine(ListParse* p, const char* line, size_t length) {
  if (length && line[length - 1] == '\r') --length;
  while (length && IsBlank(line[length - 1])) --length;
  while (length && IsBlank(*line)) {
    ++line;
    --length;
  }
  if (length == 0 || line[0] == '#') return nullptr;
  SignatureLists* l = p->lists;
  if (l->rowCount + l->hashCount >= kMaxSignatureListRows) return "more rows than the lists may hold together";
  Field fields[5];
  if (std::memchr(line, ':', length)) {
    // sha256:size:name, the common hash-list form
    if (Split(line, length, ':', fields, 3) != 3) return "a SHA-256 row is SHA256:SIZE:NAME, three fields";
    HashRow row{};
    if (!ParseDigest(fields[0], row.digest)) return "the SHA-256 is not 64 hexadecimal digits";
    if (!ParseSize(fields[1], &row.fileSize)) return "the size is not a whole number from 1 to 7340032";
    if (const char* fault = NameFault(fields[2])) return fault;
    row.name = StoreName(p, fields[2]);
    row.list = p->list;
    row.line = p->line;
    if (row.name == ~0u || !Reserve(&l->hashes, &l->hashCapacity, l->hashCount + 1)) return "no memory for the row";
    l->hashes[l->hashCount++] = row;
  } else {
    if (Split(line, length, ' ', fields, 4) != 4)
      return "a row is NAME SIZE WEIGHTED_SUM HEAD_SUM (as fingerprint --list prints it) or SHA256:SIZE:NAME";
    if (const char* fault = NameFault(fields[0])) return fault;
    ListedRow row{};
    if (!ParseSize(fields[1], &row.fileSize)) return "the size is not a whole number from 1 to 7340032";
    if (!ParseSum(fields[2], &row.weightedSum)) return "the weighted sum is not 0x and 8 hexadecimal digits";
    if (!ParseSum(fields[3], &row.headSum)) return "the head sum is not 0x and 8 hexadecimal digits";
    row.name = StoreName(p, fields[0]);
    row.list = p->list;
    row.line = p->line;
    if (row.name == ~0u || !Reserve(&l->rows, &l->rowCapacity, l->rowCount + 1)) return "no memory for the row";
    l->rows[l->rowCount++] = row;
  }
  p->rows += 1;
  return nullptr;
}

// Ends the line gathered so far. Null, or why it is refused.
const char* EndLine(ListParse* p) {
  const char* fault = nullptr;
  if (p->sawNul) {
    fault = "a NUL byte: this is no text list";
  } else if (p->tooLong) {
    fault = "the line is longer than 512 bytes";
  } else {
    fault = TakeLine(p, p->text, p->length);
  }
  p->length = 0;
  p->tooLong = p->sawNul = 0;
  return fault;
}

int Refuse(char* why, size_t capacity, const char* path, uint32_t line, const char* reason) {
  if (line)
    std::snprintf(why, capacity, "%s:%u: %s", path, line, reason);
  else
    std::snprintf(why, capacity, "%s: %s", path, reason);
  return 0;
}

struct MemorySource {
  const char* text;
  size_t length;
  size_t at;
};

int ReadMemory(void* context, void* data, size_t capacity, size_t* got) {
  MemorySource* m = static_cast<MemorySource*>(context);
  size_t n = std::min(capacity, m->length - m->at);
  std::memcpy(data, m->text + m->at, n);
  m->at += n;
  *got = n;
  return 1;
}

bool RowBefore(const ListedRow& a, const ListedRow& b) {
  if (a.fileSize != b.fileSize) return a.fileSize < b.fileSize;
  if (a.weightedSum != b.weightedSum) return a.weightedSum < b.weightedSum;
  if (a.headSum != b.headSum) return a.headSum < b.headSum;
  if (a.list != b.list) return a.list < b.list;
  return a.line < b.line;
}

bool SameNumbers(const ListedRow& a, const ListedRow& b) {
  return a.fileSize == b.fileSize && a.weightedSum == b.weightedSum && a.headSum == b.headSum;
}

// The digest's first eight bytes as a number in their order: most pairs
// differ there, so the sort rarely compares whole digests.
uint64_t DigestPrefix(const HashRow& row) {
  uint64_t prefix = 0;
  for (int i = 0; i < 8; ++i) prefix = prefix << 8 | row.digest[i];
  return prefix;
}

bool HashBefore(const HashRow& a, const HashRow& b) {
  uint64_t x = DigestPrefix(a), y = DigestPrefix(b);
  if (x != y) return x < y;
  int order = std::memcmp(a.digest, b.digest, kSha256DigestSize);
  if (order) return order < 0;
  if (a.list != b.list) return a.list < b.list;
  return a.line < b.line;
}

// Sorted, unique.
size_t Unique(uint32_t* values, size_t count) {
  std::sort(values, values + count);
  return static_cast<size_t>(std::unique(values, values + count) - values);
}

int Duplicate(const SignatureLists* l, uint32_t list, uint32_t line, uint32_t firstList, uint32_t firstLine,
              const char* what, char* why, size_t capacity) {
  std::snprintf(why, capacity, "%s:%u: %s as %s:%u", l->lists[list].path, line, what, l->lists[firstList].path,
                firstLine);
  return 0;
}

}  // namespace

SignatureSet BuiltInSignatureSet() { return SignatureSet{BuiltInSignatures(), nullptr}; }

int AddSignatureList(SignatureLists* lists, const char* path, const SignatureListSource& source, char* why,
                     size_t capacity) {
  if (lists->finished) return Refuse(why, capacity, path, 0, "the lists were already finished");
  if (!Reserve(&lists->lists, &lists->listCapacity, lists->listCount + 1))
    return Refuse(why, capacity, path, 0, "no memory for the list");
  // The line buffer and the piece read are too large for a small stack.
  struct Work {
    ListParse parse;
    unsigned char piece[kReadPiece];
  };
  Work* work = static_cast<Work*>(std::malloc(sizeof(Work)));
  if (!work) return Refuse(why, capacity, path, 0, "no memory to read the list");
  // Where this list's rows begin: a refused list takes them all back.
  const size_t firstRow = lists->rowCount, firstHash = lists->hashCount, firstName = lists->namesUsed;
  ListParse* p = &work->parse;
  *p = ListParse{};
  p->lists = lists;
  p->list = static_cast<uint32_t>(lists->listCount);
  p->line = 1;
  p->atStart = 1;
  SignatureListInfo& info = lists->lists[lists->listCount];
  std::snprintf(info.path, sizeof info.path, "%s", path);

  Sha256State hash;
  BeginSha256(&hash);
  const char* fault = nullptr;
  uint32_t faultLine = 0;  // 0: the file's fault, not a line's
  for (;;) {
    size_t got = 0;
    if (!source.read(source.context, work->piece, sizeof work->piece, &got)) {
      fault = "it could not be read whole";
      break;
    }
    if (got == 0) {
      if (p->length || p->tooLong || p->sawNul) {
        faultLine = p->line;
        fault = EndLine(p);
      }
      break;
    }
    AddSha256(&hash, work->piece, got);
    const unsigned char* piece = work->piece;
    size_t i = 0;
    if (p->atStart) {
      p->atStart = 0;
      if (got >= 3 && piece[0] == 0xEF && piece[1] == 0xBB && piece[2] == 0xBF) i = 3;
    }
    // A line at a time: the bytes up to the next line break join the line
    // being gathered (a NUL among them marks it, what does not fit makes it
    // too long).
    while (i < got && !fault) {
      const unsigned char* end = static_cast<const unsigned char*>(std::memchr(piece + i, '\n', got - i));
      size_t stop = end ? static_cast<size_t>(end - piece) : got;
      size_t take = stop - i;
      if (std::memchr(piece + i, 0, take)) p->sawNul = 1;
      size_t room = kMaxSignatureListLine - p->length;
      if (take > room) {
        p->tooLong = 1;
        take = room;
      }
      std::memcpy(p->text + p->length, piece + i, take);
      p->length += take;
      i = stop;
      if (end) {
        faultLine = p->line;
        fault = EndLine(p);
        p->line += 1;
        i += 1;
      }
    }
    if (fault) break;
  }
  if (!fault && p->rows == 0) {
    fault = "it holds no row";
    faultLine = 0;
  }
  uint32_t rows = p->rows;
  std::free(work);
  if (fault) {
    lists->rowCount = firstRow;
    lists->hashCount = firstHash;
    lists->namesUsed = firstName;
    return Refuse(why, capacity, path, faultLine, fault);
  }
  unsigned char digest[kSha256DigestSize];
  EndSha256(&hash, digest);
  Sha256Hex(digest, info.sha256Hex);
  info.rowCount = rows;
  lists->listCount += 1;
  return 1;
}

int AddSignatureListText(SignatureLists* lists, const char* path, const char* text, size_t length, char* why,
                         size_t capacity) {
  MemorySource memory{text, length, 0};
  return AddSignatureList(lists, path, SignatureListSource{ReadMemory, &memory}, why, capacity);
}

int FinishSignatureLists(SignatureLists* l, SignatureTable builtIn, char* why, size_t capacity) {
  std::sort(l->rows, l->rows + l->rowCount, RowBefore);
  for (size_t i = 1; i < l->rowCount; ++i)
    if (SameNumbers(l->rows[i - 1], l->rows[i]))
      return Duplicate(l, l->rows[i].list, l->rows[i].line, l->rows[i - 1].list, l->rows[i - 1].line,
                       "the same size and sums", why, capacity);
  std::sort(l->hashes, l->hashes + l->hashCount, HashBefore);
  for (size_t i = 1; i < l->hashCount; ++i)
    if (std::memcmp(l->hashes[i - 1].digest, l->hashes[i].digest, kSha256DigestSize) == 0)
      return Duplicate(l, l->hashes[i].list, l->hashes[i].line, l->hashes[i - 1].list, l->hashes[i - 1].line,
                       "the same SHA-256", why, capacity);

  size_t total = builtIn.count + l->rowCount + l->hashCount;
  uint32_t* sizes = static_cast<uint32_t*>(std::malloc((total ? total : 1) * sizeof(uint32_t)));
  uint32_t* hashSizes = static_cast<uint32_t*>(std::malloc((l->hashCount ? l->hashCount : 1) * sizeof(uint32_t)));
  if (!sizes || !hashSizes) {
    std::free(sizes);
    std::free(hashSizes);
    std::snprintf(why, capacity, "%s", "no memory for the size filter");
    return 0;
  }
  size_t n = 0;
  for (uint32_t i = 0; i < builtIn.count; ++i) sizes[n++] = builtIn.rows[i].fileSize;
  for (size_t i = 0; i < l->rowCount; ++i) sizes[n++] = l->rows[i].fileSize;
  for (size_t i = 0; i < l->hashCount; ++i) {
    sizes[n++] = l->hashes[i].fileSize;
    hashSizes[i] = l->hashes[i].fileSize;
  }
  std::free(l->sizes);
  std::free(l->hashSizes);
  l->sizes = sizes;
  l->sizeCount = Unique(sizes, n);
  l->hashSizes = hashSizes;
  l->hashSizeCount = Unique(hashSizes, l->hashCount);
  l->finished = 1;
  return 1;
}

void FreeSignatureLists(SignatureLists* l) {
  std::free(l->names);
  std::free(l->rows);
  std::free(l->hashes);
  std::free(l->lists);
  std::free(l->sizes);
  std::free(l->hashSizes);
  *l = SignatureLists{};
}

int SetHasSize(const SignatureSet& set, uint64_t size) {
  if (size > kMaxCheckedFileSize) return 0;
  const SignatureLists* l = set.lists;
  if (!l || !l->finished) return HasSignatureOfSize(set.builtIn, static_cast<uint32_t>(size));
  return std::binary_search(l->sizes, l->sizes + l->sizeCount, static_cast<uint32_t>(size));
}

int SetHashesSize(const SignatureSet& set, uint64_t size) {
  const SignatureLists* l = set.lists;
  if (!l || !l->finished || size > kMaxCheckedFileSize) return 0;
  return std::binary_search(l->hashSizes, l->hashSizes + l->hashSizeCount, static_cast<uint32_t>(size));
}

const char* FindInSignatureSet(const SignatureSet& set, const FileFingerprint& fingerprint,
                               const unsigned char* digest) {
  if (const SignatureRecord* row = FindSignature(set.builtIn, fingerprint)) return row->detectionName;
  const SignatureLists* l = set.lists;
  if (!l || !l->finished) return nullptr;
  ListedRow key{fingerprint.length, fingerprint.weightedSum, fingerprint.headSum, 0, 0, 0};
  const ListedRow* rows = l->rows;
  const ListedRow* end = rows + l->rowCount;
  const ListedRow* row = std::lower_bound(rows, end, key, RowBefore);
  if (row != end && SameNumbers(*row, key)) return ListedName(*l, row->name);
  if (!digest) return nullptr;
  HashRow wanted{};
  std::memcpy(wanted.digest, digest, kSha256DigestSize);
  const HashRow* hashes = l->hashes;
  const HashRow* hashEnd = hashes + l->hashCount;
  const HashRow* hash = std::lower_bound(hashes, hashEnd, wanted, HashBefore);
  if (hash != hashEnd && std::memcmp(hash->digest, digest, kSha256DigestSize) == 0 &&
      hash->fileSize == fingerprint.length)
    return ListedName(*l, hash->name);
  return nullptr;
}

int FormatSignatureListLine(const char* name, uint32_t size, uint32_t weightedSum, uint32_t headSum, char* out,
                            size_t capacity) {
  int n = std::snprintf(out, capacity, "%s\t%u\t0x%08X\t0x%08X\n", name, size, weightedSum, headSum);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

void BuiltInSignatureVersion(SignatureTable builtIn, char version[kSignatureVersionCapacity]) {
  Sha256State hash;
  BeginSha256(&hash);
  char line[128];
  for (uint32_t i = 0; i < builtIn.count; ++i) {
    const SignatureRecord& r = builtIn.rows[i];
    if (FormatSignatureListLine(r.detectionName, r.fileSize, r.weightedSum, r.headSum, line, sizeof line))
      AddSha256(&hash, line, std::strlen(line));
  }
  unsigned char digest[kSha256DigestSize];
  EndSha256(&hash, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  std::memcpy(version, hex, kSignatureVersionCapacity - 1);
  version[kSignatureVersionCapacity - 1] = 0;
}
