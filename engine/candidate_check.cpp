// Size filter and single-read check (see candidate_check.h).
#include "engine/candidate_check.h"

#include "engine/fingerprint.h"

int IsCandidateSize(SignatureTable table, uint64_t size) {
  return size <= kMaxCheckedFileSize && HasSignatureOfSize(table, static_cast<uint32_t>(size));
}

CandidateOutcome CheckCandidate(SignatureTable table, uint64_t size, const CandidateReader* reader,
                                const SignatureRecord** row) {
  *row = nullptr;
  if (!IsCandidateSize(table, size)) return kCandidateClean;
  uint32_t length = static_cast<uint32_t>(size);
  unsigned char block[kFingerprintBlockSize];
  FingerprintState state;
  BeginFingerprint(&state, length);
  for (uint32_t done = 0; done < length; done += kFingerprintBlockSize) {
    uint32_t left = length - done;
    uint32_t want = left < kFingerprintBlockSize ? left : kFingerprintBlockSize;
    if (!reader->read(reader->context, done, block, want)) return kCandidateUnreadable;
    AddFingerprintBlock(&state, block, want);
  }
  *row = FindSignature(table, state.result);
  return *row ? kCandidateMatched : kCandidateClean;
}
