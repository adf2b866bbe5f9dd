// An empty registry hive file (regf base block, one hive bin holding the
// root key and its security cell), written from the published description
// of the format, so that tests can build profile hives with libhivex without
// any hive from a real system. Tests only; the product reads and writes
// hives through libhivex alone.
#pragma once
#include <cstdint>
#include <vector>

enum : uint32_t {
  kHiveBaseBlockSize = 4096,
  kHiveBinSize = 4096,
};

// The bytes of an empty hive whose root key is `rootName` (ASCII, at most
// 64 characters). Sequence numbers both 1 unless told otherwise.
std::vector<unsigned char> MinimalHive(const char* rootName, uint32_t primarySequence = 1,
                                       uint32_t secondarySequence = 1);

// Sets the two sequence numbers of a base block (at least 512 bytes) and
// its checksum, as the system leaves a hive whose log is not yet applied.
void StampHiveSequences(unsigned char* baseBlock, uint32_t primarySequence, uint32_t secondarySequence);

// Makes the value `valueName` (ASCII, its name stored compressed) of a hive
// hold `length` bytes of `fill` as the system stores a large value: a "db"
// record whose segments (at most 16344 bytes each) lie in a hive bin added
// at the end. 1 when the value was found and the hive grew.
int MakeBigDataValue(std::vector<unsigned char>* hive, const char* valueName, uint32_t length, unsigned char fill);
