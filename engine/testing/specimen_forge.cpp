// Specimen forging: pick one word to fix the head sum and one odd-indexed
// word to fix the weighted sum (an odd multiplier is invertible mod 2^32).
#include "engine/testing/specimen_forge.h"

#include <cstring>

static uint32_t InverseOfOdd(uint32_t odd) {
  uint32_t inverse = odd;  // Newton's iteration doubles the correct bits each step
  for (int i = 0; i < 5; ++i) inverse *= 2 - odd * inverse;
  return inverse;
}

static uint32_t ReadWord(const std::vector<unsigned char>& bytes, uint32_t index) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < 4 && index * 4 + i < bytes.size(); ++i)
    word |= static_cast<uint32_t>(bytes[index * 4 + i]) << (8 * i);
  return word;
}

static void WriteWord(std::vector<unsigned char>* bytes, uint32_t index, uint32_t word) {
  for (uint32_t i = 0; i < 4; ++i) (*bytes)[index * 4 + i] = static_cast<unsigned char>(word >> (8 * i));
}

// A word (0-based index) that the forge may change: wholly inside the file
// and wholly after the leading bytes.
static bool IsFreeWord(const SpecimenRequest& request, uint32_t index) {
  return index * 4 >= request.leadingLength && index * 4 + 4 <= request.size;
}

int ForgeSpecimen(const SpecimenRequest& request, std::vector<unsigned char>* out) {
  if (request.leadingLength > request.size) return 0;
  std::vector<unsigned char> bytes(request.size);
  uint32_t state = request.seed * 2654435761u + 1;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<unsigned char>(state >> 16);
  }
  if (request.leadingLength) memcpy(bytes.data(), request.leading, request.leadingLength);

  const uint32_t wordsPerBlock = kFingerprintBlockSize / 4;
  const uint32_t blocks = (request.size + kFingerprintBlockSize - 1) / kFingerprintBlockSize;
  const uint32_t words = (request.size + 3) / 4;

  // Head sum: adjust the last free block-head word, or demand it already fits.
  FileFingerprint current = FingerprintBytes(bytes.data(), request.size);
  if (current.headSum != request.headSum) {
    bool adjusted = false;
    for (uint32_t block = blocks; block-- > 0 && !adjusted;) {
      uint32_t index = block * wordsPerBlock;
      if (!IsFreeWord(request, index)) continue;
      WriteWord(&bytes, index, ReadWord(bytes, index) + (request.headSum - current.headSum));
      adjusted = true;
    }
    if (!adjusted) return 0;
  }

  // Weighted sum: adjust a free word whose 1-based multiplier is odd and that is no block head.
  current = FingerprintBytes(bytes.data(), request.size);
  if (current.weightedSum != request.weightedSum) {
    bool adjusted = false;
    for (uint32_t index = words; index-- > 0 && !adjusted;) {
      uint32_t multiplier = index + 1;
      if (multiplier % 2 == 0 || index % wordsPerBlock == 0 || !IsFreeWord(request, index)) continue;
      uint32_t delta = (request.weightedSum - current.weightedSum) * InverseOfOdd(multiplier);
      WriteWord(&bytes, index, ReadWord(bytes, index) + delta);
      adjusted = true;
    }
    if (!adjusted) return 0;
  }

  current = FingerprintBytes(bytes.data(), request.size);
  if (current.headSum != request.headSum || current.weightedSum != request.weightedSum) return 0;
  out->swap(bytes);
  return 1;
}

static uint32_t LeadingFor(const SignatureRecord& row, unsigned char* leading) {
  // A one-block file's head sum is its first word: those four bytes are fixed.
  if (row.fileSize < kFingerprintBlockSize) {
    for (int i = 0; i < 4; ++i) leading[i] = static_cast<unsigned char>(row.headSum >> (8 * i));
    return 4;
  }
  leading[0] = 'M';
  leading[1] = 'Z';
  return 2;
}

int ForgeSpecimenForRow(const SignatureRecord& row, uint32_t seed, std::vector<unsigned char>* out) {
  unsigned char leading[4];
  SpecimenRequest request{row.fileSize, row.weightedSum, row.headSum, leading, LeadingFor(row, leading), seed};
  return ForgeSpecimen(request, out);
}

int ForgeDecoyForRow(const SignatureRecord& row, uint32_t seed, std::vector<unsigned char>* out) {
  if (!ForgeSpecimenForRow(row, seed, out) || out->size() < 8) return 0;
  // One byte away from the specimen; a change whose weighted term vanishes
  // modulo 2^32 would still match, so step on until the sums differ.
  for (size_t at = out->size() / 2; at < out->size(); ++at) {
    (*out)[at] ^= 0x01;
    FileFingerprint fingerprint = FingerprintBytes(out->data(), static_cast<uint32_t>(out->size()));
    if (fingerprint.weightedSum != row.weightedSum || fingerprint.headSum != row.headSum) return 1;
    (*out)[at] ^= 0x01;
  }
  return 0;
}
