// Size filter and single-read check (see candidate_check.h).
#include "engine/candidate_check.h"

#include "engine/fingerprint.h"
#include "engine/sha256.h"

int IsCandidateSize(const SignatureSet& set, uint64_t size) { return SetHasSize(set, size); }

CandidateOutcome CheckCandidate(const SignatureSet& set, uint64_t size, const CandidateReader* reader,
                                const char** detectionName) {
  *detectionName = nullptr;
  if (!IsCandidateSize(set, size)) return kCandidateClean;
  const int hashed = SetHashesSize(set, size);
  uint32_t length = static_cast<uint32_t>(size);
  unsigned char block[kFingerprintBlockSize];
  FingerprintState state;
  BeginFingerprint(&state, length);
  Sha256State hash;
  if (hashed) BeginSha256(&hash);
  for (uint32_t done = 0; done < length; done += kFingerprintBlockSize) {
    uint32_t left = length - done;
    uint32_t want = left < kFingerprintBlockSize ? left : kFingerprintBlockSize;
    if (!reader->read(reader->context, done, block, want)) return kCandidateUnreadable;
    AddFingerprintBlock(&state, block, want);
    if (hashed) AddSha256(&hash, block, want);
  }
  unsigned char digest[kSha256DigestSize];
  if (hashed) EndSha256(&hash, digest);
  *detectionName = FindInSignatureSet(set, state.result, hashed ? digest : nullptr);
  return *detectionName ? kCandidateMatched : kCandidateClean;
}
