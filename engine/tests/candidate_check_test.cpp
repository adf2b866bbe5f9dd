// The size filter and the single read of a candidate, against a table of
// forged rows that share sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/candidate_check.h"
#include "engine/fingerprint.h"
#include "engine/testing/specimen_forge.h"

namespace {

struct Source {
  std::vector<unsigned char> bytes;
  uint32_t reads;
  uint64_t failAt;  // offset whose read fails; UINT64_MAX: none
};

int Read(void* context, uint64_t offset, unsigned char* block, uint32_t length) {
  Source* s = static_cast<Source*>(context);
  s->reads += 1;
  if (offset == s->failAt || offset + length > s->bytes.size()) return 0;
  memcpy(block, s->bytes.data() + offset, length);
  return 1;
}

// Three rows of one size (the first two differ), one of a two-block size.
std::vector<SignatureRecord> Rows(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                                  const std::vector<unsigned char>& big) {
  FileFingerprint fa = FingerprintBytes(a.data(), static_cast<uint32_t>(a.size()));
  FileFingerprint fb = FingerprintBytes(b.data(), static_cast<uint32_t>(b.size()));
  FileFingerprint fbig = FingerprintBytes(big.data(), static_cast<uint32_t>(big.size()));
  return {{"Row.A", fa.length, fa.weightedSum, fa.headSum},
          {"Row.B", fb.length, fb.weightedSum, fb.headSum},
          {"Row.B.again", fb.length, fb.weightedSum, fb.headSum},
          {"Row.Big", fbig.length, fbig.weightedSum, fbig.headSum}};
}

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed * 31 + i * 7 + (i >> 9));
  return v;
}

TEST(CandidateCheck, ReadsOnceAndTakesTheFirstMatchingRow) {
  std::vector<unsigned char> a = Bytes(1536, 1), b = Bytes(1536, 2), big = Bytes(40000, 3);
  std::vector<SignatureRecord> rows = Rows(a, b, big);
  SignatureSet table{SignatureTable{rows.data(), static_cast<uint32_t>(rows.size())}, nullptr};

  struct Case {
    const char* what;
    std::vector<unsigned char> content;
    CandidateOutcome outcome;
    const char* row;
    uint32_t reads;
  } cases[] = {
      {"first row of a shared size", a, kCandidateMatched, "Row.A", 1},
      {"second distinct row, its first copy", b, kCandidateMatched, "Row.B", 1},
      {"right size, other content", Bytes(1536, 9), kCandidateClean, nullptr, 1},
      {"three blocks, matching", big, kCandidateMatched, "Row.Big", 3},
      {"no row of this size: never read", Bytes(1537, 1), kCandidateClean, nullptr, 0},
      {"empty file", {}, kCandidateClean, nullptr, 0},
  };
  for (const Case& c : cases) {
    Source source{c.content, 0, UINT64_MAX};
    CandidateReader reader{Read, &source};
    const char* row = "stale";
    EXPECT_EQ(c.outcome, CheckCandidate(table, c.content.size(), &reader, &row)) << c.what;
    EXPECT_EQ(c.reads, source.reads) << c.what;
    if (c.row) {
      ASSERT_NE(nullptr, row) << c.what;
      EXPECT_STREQ(c.row, row) << c.what;
    } else {
      EXPECT_EQ(nullptr, row) << c.what;
    }
  }
}

TEST(CandidateCheck, AFailedReadIsUnreadableNotClean) {
  std::vector<unsigned char> a = Bytes(1536, 1), b = Bytes(1536, 2), big = Bytes(40000, 3);
  std::vector<SignatureRecord> rows = Rows(a, b, big);
  SignatureSet table{SignatureTable{rows.data(), static_cast<uint32_t>(rows.size())}, nullptr};
  Source source{big, 0, kFingerprintBlockSize};  // the second block fails
  CandidateReader reader{Read, &source};
  const char* row = nullptr;
  EXPECT_EQ(kCandidateUnreadable, CheckCandidate(table, big.size(), &reader, &row));
  EXPECT_EQ(nullptr, row);
  // A file that shrank after it was listed: the listed size cannot be read.
  Source shrunk{std::vector<unsigned char>(a.begin(), a.begin() + 1000), 0, UINT64_MAX};
  CandidateReader shrunkReader{Read, &shrunk};
  EXPECT_EQ(kCandidateUnreadable, CheckCandidate(table, 1536, &shrunkReader, &row));
}

TEST(CandidateCheck, SizeFilterOfTheBuiltInTable) {
  SignatureTable builtIn = BuiltInSignatures();
  SignatureSet table = BuiltInSignatureSet();
  for (uint32_t i = 0; i < builtIn.count; ++i) {
    EXPECT_TRUE(IsCandidateSize(table, builtIn.rows[i].fileSize)) << i;
    EXPECT_FALSE(IsCandidateSize(table, builtIn.rows[i].fileSize + (uint64_t(1) << 32)))
        << "64-bit size wraps to row " << i;
  }
  EXPECT_FALSE(IsCandidateSize(table, 0));
  EXPECT_FALSE(IsCandidateSize(table, kMaxCheckedFileSize + 1));
  // Every built-in row's forged specimen matches its own row through the check.
  for (uint32_t i = 0; i < builtIn.count; ++i) {
    Source source{{}, 0, UINT64_MAX};
    ASSERT_TRUE(ForgeSpecimenForRow(builtIn.rows[i], i + 1, &source.bytes));
    CandidateReader reader{Read, &source};
    const char* row = nullptr;
    ASSERT_EQ(kCandidateMatched, CheckCandidate(table, source.bytes.size(), &reader, &row)) << i;
    EXPECT_STREQ(builtIn.rows[i].detectionName, row);
  }
}

}  // namespace
