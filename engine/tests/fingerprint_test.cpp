// Fingerprint arithmetic, signature lookup and the specimen forge.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/fingerprint.h"
#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"

namespace {

FileFingerprint Of(const std::vector<unsigned char>& bytes) {
  return FingerprintBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Straight from the definition: every little-endian word times its 1-based
// index, and the first word of every 16384-byte block.
FileFingerprint Reference(const std::vector<unsigned char>& bytes) {
  FileFingerprint f{static_cast<uint32_t>(bytes.size()), 0, 0};
  for (size_t i = 0; i < bytes.size(); i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && i + k < bytes.size(); ++k) word |= uint32_t(bytes[i + k]) << (8 * k);
    f.weightedSum += word * static_cast<uint32_t>(i / 4 + 1);
    if (i % 16384 == 0) f.headSum += word;
  }
  return f;
}

std::vector<unsigned char> Pattern(size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
  return bytes;
}

TEST(Fingerprint, WorkedExampleAndEmptyFile) {
  FileFingerprint f = Of({1, 0, 0, 0, 2, 0});
  EXPECT_EQ(6u, f.length);
  EXPECT_EQ(5u, f.weightedSum);
  EXPECT_EQ(1u, f.headSum);

  FileFingerprint empty = FingerprintBytes(nullptr, 0);
  EXPECT_EQ(0u, empty.length);
  EXPECT_EQ(0u, empty.weightedSum);
  EXPECT_EQ(0u, empty.headSum);
}

TEST(Fingerprint, BlockBoundaries) {
  for (size_t size : {size_t(16384), size_t(16385), size_t(16386), size_t(16387), size_t(32768),
                      size_t(38004), size_t(141030)}) {
    std::vector<unsigned char> bytes = Pattern(size);
    FileFingerprint got = Of(bytes), want = Reference(bytes);
    EXPECT_EQ(want.weightedSum, got.weightedSum) << "size " << size;
    EXPECT_EQ(want.headSum, got.headSum) << "size " << size;
  }
}

TEST(Fingerprint, PartialLastBlockAndMultiplierCarry) {
  // 16385 bytes, all zero but the last one: it is word 4097 and the second block's head.
  std::vector<unsigned char> one(16385, 0);
  one.back() = 0xAB;
  FileFingerprint f = Of(one);
  EXPECT_EQ(0xABu * 4097u, f.weightedSum);
  EXPECT_EQ(0xABu, f.headSum);

  // 16384 + 2 bytes ending 34 12: word 4097 is 0x1234.
  std::vector<unsigned char> two(16386, 0);
  two[16384] = 0x34;
  two[16385] = 0x12;
  f = Of(two);
  EXPECT_EQ(0x1234u * 4097u, f.weightedSum);
  EXPECT_EQ(0x1234u, f.headSum);

  // Exactly one block: multipliers 1..4096, head is word 1.
  std::vector<unsigned char> block(16384, 0);
  block[0] = 2;
  block[16380] = 1;
  f = Of(block);
  EXPECT_EQ(2u + 4096u, f.weightedSum);
  EXPECT_EQ(2u, f.headSum);

  // Feeding blocks one by one gives the same as the whole buffer.
  std::vector<unsigned char> bytes = Pattern(40000);
  FingerprintState state;
  BeginFingerprint(&state, 40000);
  AddFingerprintBlock(&state, bytes.data(), 16384);
  AddFingerprintBlock(&state, bytes.data() + 16384, 16384);
  AddFingerprintBlock(&state, bytes.data() + 32768, 40000 - 32768);
  EXPECT_EQ(Reference(bytes).weightedSum, state.result.weightedSum);
  EXPECT_EQ(Reference(bytes).headSum, state.result.headSum);
}

TEST(SignatureTable, PublishedRowsInTableOrder) {
  ASSERT_EQ(9u, kSignatureCount);
  EXPECT_EQ(nullptr, kSignatureTable[kSignatureCount].detectionName);
  EXPECT_EQ(0u, kSignatureTable[kSignatureCount].fileSize);
  EXPECT_STREQ("Worm.Quellix.c", kSignatureTable[0].detectionName);
  EXPECT_EQ(0x420FC82Fu, kSignatureTable[0].weightedSum);
  EXPECT_STREQ("Worm.Mail.Drimo.qd", kSignatureTable[kSignatureCount - 1].detectionName);
  EXPECT_EQ(28288u, kSignatureTable[kSignatureCount - 1].fileSize);
  for (uint32_t i = 0; i < kSignatureCount; ++i)
    EXPECT_LT(std::strlen(kSignatureTable[i].detectionName), size_t(kDetectionNameCapacity)) << "row " << i;
}

TEST(SignatureTable, FirstMatchWinsOnSharedSizes) {
  const SignatureRecord rows[] = {
      {"first.other", 1536, 0x11111111, 0x00005A4D},
      {"second", 1536, 0x457B5A35, 0x00005A4D},
      {"third.same.sums", 1536, 0x457B5A35, 0x00005A4D},
      {"other.size", 2048, 0x457B5A35, 0x00005A4D},
  };
  SignatureTable table{rows, 4};
  FileFingerprint f{1536, 0x457B5A35, 0x00005A4D};
  ASSERT_NE(nullptr, FindSignature(table, f));
  EXPECT_STREQ("second", FindSignature(table, f)->detectionName);
  EXPECT_EQ(1, HasSignatureOfSize(table, 2048));
  EXPECT_EQ(0, HasSignatureOfSize(table, 2049));
  f.length = 1537;
  EXPECT_EQ(nullptr, FindSignature(table, f));
  // The bound is the count: a row past it is never seen.
  SignatureTable shorter{rows + 3, 0};
  EXPECT_EQ(nullptr, FindSignature(shorter, FileFingerprint{2048, 0x457B5A35, 0x00005A4D}));
}

TEST(SpecimenForge, EveryRowRoundTripsAndOneFlippedByteBreaksIt) {
  for (uint32_t i = 0; i < kSignatureCount; ++i) {
    const SignatureRecord& row = kSignatureTable[i];
    std::vector<unsigned char> bytes;
    ASSERT_EQ(1, ForgeSpecimenForRow(row, i + 1, &bytes)) << "row " << i;
    ASSERT_EQ(row.fileSize, bytes.size());
    const SignatureRecord* found = FindSignature(BuiltInSignatures(), Of(bytes));
    ASSERT_NE(nullptr, found) << "row " << i;
    EXPECT_STREQ(row.detectionName, found->detectionName);

    // The head word, a weighted word in the middle, and the last byte of the
    // file when it sits in a partial word. (A change in the top byte of a word
    // whose multiplier is a multiple of 256 vanishes modulo 2^32; see below.)
    std::vector<size_t> positions = {0, bytes.size() / 2 + 1};
    if (bytes.size() % 4 != 0) positions.push_back(bytes.size() - 1);
    for (size_t at : positions) {
      std::vector<unsigned char> flipped = bytes;
      flipped[at] ^= 0x01;
      EXPECT_EQ(nullptr, FindSignature(BuiltInSignatures(), Of(flipped))) << "row " << i << " byte " << at;
    }

    std::vector<unsigned char> decoy;
    ASSERT_EQ(1, ForgeDecoyForRow(row, i + 1, &decoy));
    EXPECT_EQ(bytes.size(), decoy.size());
    EXPECT_EQ(0, std::memcmp(bytes.data(), decoy.data(), 16));
    EXPECT_EQ(nullptr, FindSignature(BuiltInSignatures(), Of(decoy)));
  }
}

TEST(Fingerprint, TopByteOfWordWithMultipleOf256IsInvisible) {
  // Row 36's file is 17408 bytes: its last word has the multiplier 4352 = 17 * 256,
  // so its top byte contributes (byte << 24) * 4352 = 0 modulo 2^32. A limit of
  // the checksum itself, which the decoys must step around.
  std::vector<unsigned char> bytes;
  ASSERT_EQ(1, ForgeSpecimenForRow(kSignatureTable[2], 7, &bytes));
  ASSERT_EQ(17408u, bytes.size());
  bytes.back() ^= 0xFF;
  EXPECT_NE(nullptr, FindSignature(BuiltInSignatures(), Of(bytes)));
  bytes[bytes.size() - 2] ^= 0x01;
  EXPECT_EQ(nullptr, FindSignature(BuiltInSignatures(), Of(bytes)));
}

TEST(SpecimenForge, LeadingBytesAreKeptOrRefused) {
  const SignatureRecord& script = kSignatureTable[4];  // starts with "<hea"
  ASSERT_EQ(1086u, script.fileSize);
  const unsigned char head[] = {'<', 'h', 'e', 'a', 'd', '>'};
  std::vector<unsigned char> bytes;
  ASSERT_EQ(1, ForgeSpecimen({script.fileSize, script.weightedSum, script.headSum, head, 6, 3}, &bytes));
  EXPECT_EQ(0, std::memcmp(bytes.data(), head, 6));

  // One block whose head word is fixed by the leading bytes to another value: impossible.
  const unsigned char mz[] = {'M', 'Z', 0x90, 0x00};
  EXPECT_EQ(0, ForgeSpecimen({script.fileSize, script.weightedSum, script.headSum, mz, 4, 3}, &bytes));
  // Leading bytes that cover the whole file leave nothing to adjust.
  std::vector<unsigned char> all(1086, 0);
  EXPECT_EQ(0, ForgeSpecimen({1086, 0x1234, 0, all.data(), 1086, 3}, &bytes));
}

}  // namespace
