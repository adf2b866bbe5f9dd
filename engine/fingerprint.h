// The two checksums that identify a worm file, computed over 16384-byte
// blocks. Platform-neutral: the Windows side reads the blocks and feeds them in.
#pragma once
#include <cstdint>

struct FileFingerprint {
  uint32_t length;
  uint32_t weightedSum;
  uint32_t headSum;
};

enum : uint32_t { kFingerprintBlockSize = 16384 };

// Running state of one fingerprint. The word multiplier runs on across blocks.
struct FingerprintState {
  FileFingerprint result;
  uint32_t multiplier;
};

void BeginFingerprint(FingerprintState* state, uint32_t length);

// Adds one block: byteCount is kFingerprintBlockSize for a full block, or the
// size of the last partial block. Missing bytes of a partial last word count
// as zero.
void AddFingerprintBlock(FingerprintState* state, const unsigned char* block, uint32_t byteCount);

// Fingerprint of a whole buffer, split into blocks as a file would be.
FileFingerprint FingerprintBytes(const unsigned char* data, uint32_t length);
