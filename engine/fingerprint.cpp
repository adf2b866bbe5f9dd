// Block arithmetic of the file fingerprint (see fingerprint.h).
#include "engine/fingerprint.h"

static uint32_t LoadWord(const unsigned char* bytes, uint32_t available) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < 4 && i < available; ++i) word |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return word;
}

void BeginFingerprint(FingerprintState* state, uint32_t length) {
  state->result.length = length;
  state->result.weightedSum = 0;
  state->result.headSum = 0;
  state->multiplier = 1;
}

void AddFingerprintBlock(FingerprintState* state, const unsigned char* block, uint32_t byteCount) {
  if (byteCount == 0) return;
  if (byteCount > kFingerprintBlockSize) byteCount = kFingerprintBlockSize;
  uint32_t words = (byteCount + 3) / 4;
  state->result.headSum += LoadWord(block, byteCount);
  uint32_t sum = state->result.weightedSum;
  uint32_t m = state->multiplier;
  for (uint32_t i = 0; i < words; ++i, ++m) sum += LoadWord(block + 4 * i, byteCount - 4 * i) * m;
  state->result.weightedSum = sum;
  state->multiplier = m;
}

FileFingerprint FingerprintBytes(const unsigned char* data, uint32_t length) {
  FingerprintState state;
  BeginFingerprint(&state, length);
  for (uint32_t done = 0; done < length; done += kFingerprintBlockSize) {
    uint32_t left = length - done;
    AddFingerprintBlock(&state, data + done, left < kFingerprintBlockSize ? left : kFingerprintBlockSize);
  }
  return state.result;
}
