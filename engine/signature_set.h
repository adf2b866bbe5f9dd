// The signatures one run uses: the built-in rows, then the rows of the
// signature lists named at run time (this family's rows and SHA-256 rows),
// with one size filter over all of them. Lists are parsed and validated
// here from bytes the platform reads after it has checked who may write the
// file (signature_file_posix, signature_file_win32). Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/fingerprint.h"
#include "engine/sha256.h"
#include "engine/signature_table.h"

enum : uint32_t {
  kSignatureListPathCapacity = 1024,
  kMaxSignatureListLine = 512,               // bytes; a longer line is refused
  kMaxSignatureListRows = 16u * 1024 * 1024,  // in all lists together
  kSignatureVersionCapacity = 17,  // 16 hexadecimal digits and the terminator
};

// A row of this family from a list: the three numbers of a built-in row.
struct ListedRow {
  uint32_t fileSize;
  uint32_t weightedSum;
  uint32_t headSum;
  uint32_t name;  // offset of the detection name in SignatureLists::names
  uint32_t list;  // index in SignatureLists::lists
  uint32_t line;  // 1-based line of that list
};

// A SHA-256 row from a list: size and digest of the whole file.
struct HashRow {
  unsigned char digest[kSha256DigestSize];
  uint32_t fileSize;
  uint32_t name;
  uint32_t list;
  uint32_t line;
};

// What the run says about one list: where it came from, the SHA-256 of its
// bytes as read, and how many rows it gave.
struct SignatureListInfo {
  char path[kSignatureListPathCapacity];
  char sha256Hex[kSha256HexSize];
  uint32_t rowCount;
};

// Every list of a run. Zero-initialised before the first AddSignatureList;
// FreeSignatureLists releases it. Arrays grow with malloc/realloc.
struct SignatureLists {
  char* names;  // terminated names, back to back
  size_t namesUsed, namesCapacity;
  ListedRow* rows;  // after FinishSignatureLists: by size, weighted sum, head sum
  size_t rowCount, rowCapacity;
  HashRow* hashes;  // after FinishSignatureLists: by digest
  size_t hashCount, hashCapacity;
  SignatureListInfo* lists;
  size_t listCount, listCapacity;
  uint32_t* sizes;  // every size of every row, built-in ones too: sorted, unique
  size_t sizeCount;
  uint32_t* hashSizes;  // the sizes of SHA-256 rows: sorted, unique
  size_t hashSizeCount;
  int finished;
};

// The set a scan checks against. `lists` null: the built-in rows alone.
struct SignatureSet {
  SignatureTable builtIn;
  const SignatureLists* lists;
};

SignatureSet BuiltInSignatureSet();

// Reads one list's bytes, piece by piece (the platform's file).
struct SignatureListSource {
  // Up to `capacity` bytes into `data`; *got 0 at the end. 1, or 0 when the
  // read failed.
  int (*read)(void* context, void* data, size_t capacity, size_t* got);
  void* context;
};

// Parses and validates one list, shown as `path`, and adds its rows. 1 on
// success; 0 with the reason in `why` ("PATH:LINE: ...", or "PATH: ..." for
// the whole file), and then `lists` holds none of this list's rows.
int AddSignatureList(SignatureLists* lists, const char* path, const SignatureListSource& source, char* why,
                     size_t capacity);

// The same over bytes in memory.
int AddSignatureListText(SignatureLists* lists, const char* path, const char* text, size_t length, char* why,
                         size_t capacity);

// After the last list: sorts the rows, refuses a row given twice (in one
// list or two) with both places, and builds the size filter over the
// built-in rows and every list row. 1, or 0 with `why`.
int FinishSignatureLists(SignatureLists* lists, SignatureTable builtIn, char* why, size_t capacity);

void FreeSignatureLists(SignatureLists* lists);

// Detection name of a list row.
inline const char* ListedName(const SignatureLists& lists, uint32_t offset) { return lists.names + offset; }

// 1 when a file of `size` bytes is worth reading: at most
// kMaxCheckedFileSize and the size of some row. One lookup when lists are
// loaded.
int SetHasSize(const SignatureSet& set, uint64_t size);

// 1 when a file of `size` bytes must be hashed: a SHA-256 row has that size.
int SetHashesSize(const SignatureSet& set, uint64_t size);

// The detection name a file carries, or null: the first built-in row that
// matches (the built-in order kept), else a list row of the same numbers,
// else (when `digest` is given) a SHA-256 row of that size and digest.
const char* FindInSignatureSet(const SignatureSet& set, const FileFingerprint& fingerprint,
                               const unsigned char* digest);

// The built-in rows' version: the first 16 hexadecimal digits of the
// SHA-256 of their text as a list would give them, one row a line.
void BuiltInSignatureVersion(SignatureTable builtIn, char version[kSignatureVersionCapacity]);

// A row as a list line of this family, as `fingerprint --list` prints it
// (with its newline). 1 when it fit.
int FormatSignatureListLine(const char* name, uint32_t size, uint32_t weightedSum, uint32_t headSum, char* out,
                            size_t capacity);
