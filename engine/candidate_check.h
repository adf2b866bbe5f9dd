// The platform-neutral half of checking one file: the size filter, and one
// read of a candidate matched against every row of its size (and hashed
// when a SHA-256 row has its size). The platform supplies the reading
// (CreateFile/ReadFile, or pread on a descriptor).
#pragma once
#include <cstdint>

#include "engine/signature_set.h"

// 1 when a file of `size` bytes is worth reading at all: at most
// kMaxCheckedFileSize and the size of some row of the set.
int IsCandidateSize(const SignatureSet& set, uint64_t size);

struct CandidateReader {
  // Fills `block` with `length` bytes of the file starting at `offset`
  // (length at most kFingerprintBlockSize). 1 when all of them were read.
  int (*read)(void* context, uint64_t offset, unsigned char* block, uint32_t length);
  void* context;
};

enum CandidateOutcome : uint32_t {
  kCandidateClean = 0,       // no row of its size, or no row matched
  kCandidateMatched = 1,
  kCandidateUnreadable = 2,  // a read failed: nothing can be said
};

// Checks a file of `size` bytes. The reader is called only for a candidate
// size, once per block, whatever the number of rows of that size. On a match
// *detectionName is the name of the row that matched (built-in rows first,
// the first of them); otherwise it is null.
CandidateOutcome CheckCandidate(const SignatureSet& set, uint64_t size, const CandidateReader* reader,
                                const char** detectionName);
