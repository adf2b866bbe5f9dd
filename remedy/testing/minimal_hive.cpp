// The empty hive of the tests (see minimal_hive.h). Offsets of cells count
// from the first hive bin, which follows the 4096-byte base block.
#include "remedy/testing/minimal_hive.h"

#include <cstring>

namespace {

void Put16(std::vector<unsigned char>* b, size_t at, uint16_t v) {
  (*b)[at] = static_cast<unsigned char>(v);
  (*b)[at + 1] = static_cast<unsigned char>(v >> 8);
}

void Put32(std::vector<unsigned char>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t Get32(const std::vector<unsigned char>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

size_t Align8(size_t n) { return (n + 7) & ~size_t(7); }

}  // namespace

std::vector<unsigned char> MinimalHive(const char* rootName, uint32_t primarySequence, uint32_t secondarySequence) {
  std::vector<unsigned char> b(kHiveBaseBlockSize + kHiveBinSize, 0);
  size_t nameLength = strnlen(rootName, 64);
  const uint64_t kWritten = 0x01C0000000000000ull;  // some FILETIME in the 2000s

  // Base block.
  memcpy(&b[0], "regf", 4);
  Put32(&b, 0x0C, static_cast<uint32_t>(kWritten));
  Put32(&b, 0x10, static_cast<uint32_t>(kWritten >> 32));
  Put32(&b, 0x14, 1);  // major version
  Put32(&b, 0x18, 3);  // minor version: the NT 4.0 and later layout
  Put32(&b, 0x1C, 0);  // primary file
  Put32(&b, 0x20, 1);  // direct memory load
  const uint32_t kRootOffset = 0x20;
  Put32(&b, 0x24, kRootOffset);
  Put32(&b, 0x28, kHiveBinSize);
  Put32(&b, 0x2C, 1);  // clustering factor
  for (size_t i = 0; i < nameLength && i < 31; ++i) Put16(&b, 0x30 + 2 * i, static_cast<uint8_t>(rootName[i]));

  // The one hive bin.
  const size_t bin = kHiveBaseBlockSize;
  memcpy(&b[bin], "hbin", 4);
  Put32(&b, bin + 0x04, 0);
  Put32(&b, bin + 0x08, kHiveBinSize);

  // Root key (nk). Cells start 0x20 into the bin; a used cell's size is negative.
  const size_t nkCell = Align8(4 + 0x4C + nameLength);
  const uint32_t kSecurityOffset = static_cast<uint32_t>(kRootOffset + nkCell);
  size_t nk = bin + kRootOffset;
  Put32(&b, nk, static_cast<uint32_t>(-static_cast<int32_t>(nkCell)));
  nk += 4;
  memcpy(&b[nk], "nk", 2);
  Put16(&b, nk + 0x02, 0x2C);  // hive entry, not deletable, name stored as ASCII
  Put32(&b, nk + 0x04, static_cast<uint32_t>(kWritten));
  Put32(&b, nk + 0x08, static_cast<uint32_t>(kWritten >> 32));
  Put32(&b, nk + 0x10, 0);           // parent
  Put32(&b, nk + 0x14, 0);           // subkeys
  Put32(&b, nk + 0x18, 0);           // volatile subkeys
  Put32(&b, nk + 0x1C, 0xFFFFFFFF);  // subkey list
  Put32(&b, nk + 0x20, 0xFFFFFFFF);  // volatile subkey list
  Put32(&b, nk + 0x24, 0);           // values
  Put32(&b, nk + 0x28, 0xFFFFFFFF);  // value list
  Put32(&b, nk + 0x2C, kSecurityOffset);
  Put32(&b, nk + 0x30, 0xFFFFFFFF);  // class name
  Put16(&b, nk + 0x48, static_cast<uint16_t>(nameLength));
  Put16(&b, nk + 0x4A, 0);
  memcpy(&b[nk + 0x4C], rootName, nameLength);

  // Security (sk): a self-relative descriptor with a null DACL, linked to itself.
  const unsigned char kDescriptor[20] = {1, 0, 0x04, 0x80};  // revision 1; self-relative, DACL present (null)
  const size_t skCell = Align8(4 + 0x14 + sizeof kDescriptor);
  size_t sk = bin + kSecurityOffset;
  Put32(&b, sk, static_cast<uint32_t>(-static_cast<int32_t>(skCell)));
  sk += 4;
  memcpy(&b[sk], "sk", 2);
  Put32(&b, sk + 0x04, kSecurityOffset);
  Put32(&b, sk + 0x08, kSecurityOffset);
  Put32(&b, sk + 0x0C, 1);  // reference count
  Put32(&b, sk + 0x10, sizeof kDescriptor);
  memcpy(&b[sk + 0x14], kDescriptor, sizeof kDescriptor);

  // The rest of the bin is one free cell (positive size).
  size_t used = kRootOffset + nkCell + skCell;
  Put32(&b, bin + used, static_cast<uint32_t>(kHiveBinSize - used));

  StampHiveSequences(b.data(), primarySequence, secondarySequence);
  return b;
}

void StampHiveSequences(unsigned char* base, uint32_t primarySequence, uint32_t secondarySequence) {
  std::vector<unsigned char> b(base, base + 0x200);
  Put32(&b, 0x04, primarySequence);
  Put32(&b, 0x08, secondarySequence);
  // Checksum: XOR of the first 127 double words of the base block.
  uint32_t sum = 0;
  for (size_t at = 0; at < 0x1FC; at += 4) sum ^= Get32(b, at);
  if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
  if (sum == 0) sum = 1;
  Put32(&b, 0x1FC, sum);
  memcpy(base, b.data(), b.size());
}

int MakeBigDataValue(std::vector<unsigned char>* hive, const char* valueName, uint32_t length, unsigned char fill) {
  std::vector<unsigned char>& b = *hive;
  const size_t nameLength = strlen(valueName);
  if (b.size() < kHiveBaseBlockSize + kHiveBinSize) return 0;
  // The vk cell: "vk", name length, data length, data offset, type, flags, spare, name.
  size_t vk = 0;
  for (size_t at = kHiveBaseBlockSize; at + 0x14 + nameLength <= b.size(); at += 2) {
    if (b[at] == 'v' && b[at + 1] == 'k' && static_cast<size_t>(b[at + 2] | b[at + 3] << 8) == nameLength &&
        memcmp(&b[at + 0x14], valueName, nameLength) == 0) {
      vk = at;
      break;
    }
  }
  if (!vk) return 0;
  const uint32_t kSegment = 16344;
  uint32_t segments = (length + kSegment - 1) / kSegment;
  size_t used = 0x20;  // the bin's header
  std::vector<size_t> segmentAt;
  for (uint32_t i = 0; i < segments; ++i) {
    segmentAt.push_back(used);
    used += Align8(4 + kSegment);
  }
  size_t listAt = used;
  used += Align8(4 + 4 * segments);
  size_t dbAt = used;
  used += Align8(4 + 8);
  size_t binSize = (used + 4 + kHiveBinSize - 1) / kHiveBinSize * kHiveBinSize;
  uint32_t binOffset = static_cast<uint32_t>(b.size() - kHiveBaseBlockSize);
  b.resize(b.size() + binSize, 0);
  size_t bin = kHiveBaseBlockSize + binOffset;
  memcpy(&b[bin], "hbin", 4);
  Put32(&b, bin + 4, binOffset);
  Put32(&b, bin + 8, static_cast<uint32_t>(binSize));
  for (uint32_t i = 0; i < segments; ++i) {
    size_t cell = bin + segmentAt[i];
    Put32(&b, cell, static_cast<uint32_t>(-static_cast<int32_t>(Align8(4 + kSegment))));
    memset(&b[cell + 4], fill, kSegment);
    Put32(&b, bin + listAt + 4 + 4 * i, static_cast<uint32_t>(binOffset + segmentAt[i]));
  }
  Put32(&b, bin + listAt, static_cast<uint32_t>(-static_cast<int32_t>(Align8(4 + 4 * segments))));
  Put32(&b, bin + dbAt, static_cast<uint32_t>(-static_cast<int32_t>(Align8(4 + 8))));
  b[bin + dbAt + 4] = 'd';
  b[bin + dbAt + 5] = 'b';
  Put16(&b, bin + dbAt + 6, static_cast<uint16_t>(segments));
  Put32(&b, bin + dbAt + 8, static_cast<uint32_t>(binOffset + listAt));
  size_t freeAt = Align8(used);
  Put32(&b, bin + freeAt, static_cast<uint32_t>(binSize - freeAt));
  Put32(&b, vk + 4, length);
  Put32(&b, vk + 8, static_cast<uint32_t>(binOffset + dbAt));
  Put32(&b, 0x28, static_cast<uint32_t>(b.size() - kHiveBaseBlockSize));
  StampHiveSequences(b.data(), Get32(b, 4), Get32(b, 8));
  return 1;
}
