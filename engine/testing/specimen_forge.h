// Forges harmless stand-ins for worm files: byte buffers of a given size
// whose fingerprint equals given sums. Used by tests, the demo and the
// benchmarks; no real worm file is ever needed.
#pragma once
#include <cstdint>
#include <vector>
#include "engine/signature_table.h"

struct SpecimenRequest {
  uint32_t size;
  uint32_t weightedSum;
  uint32_t headSum;
  const unsigned char* leading;  // bytes the specimen must start with, or null
  uint32_t leadingLength;
  uint32_t seed;                 // filler bytes after the leading ones
};

// Fills `out` with the specimen. 1 on success; 0 when no free word is left to
// adjust (the leading bytes cover every candidate, or fix a single-block head
// word to another value than the one asked for).
int ForgeSpecimen(const SpecimenRequest& request, std::vector<unsigned char>* out);

// Specimen of one table row, starting with the leading bytes such files carry
// ("MZ" and the rest of the row's head word for a one-block executable).
int ForgeSpecimenForRow(const SignatureRecord& row, uint32_t seed, std::vector<unsigned char>* out);

// Same size and the same first bytes as the row's specimen, but no match.
int ForgeDecoyForRow(const SignatureRecord& row, uint32_t seed, std::vector<unsigned char>* out);
