// SHA-256 (FIPS 180-4): quarantined files are named and verified by it, and
// candidates of a list's SHA-256 rows are hashed with it.
// Platform-neutral; no allocation.
#pragma once
#include <cstddef>
#include <cstdint>

struct Sha256State {
  uint32_t h[8];
  uint64_t length;  // bytes hashed so far
  unsigned char block[64];
  uint32_t used;    // bytes waiting in `block`
};

enum : uint32_t {
  kSha256DigestSize = 32,
  kSha256HexSize = 65,  // 64 hexadecimal digits and the terminator
};

void BeginSha256(Sha256State* state);
void AddSha256(Sha256State* state, const void* data, size_t length);
void EndSha256(Sha256State* state, unsigned char digest[kSha256DigestSize]);

// Lower-case hexadecimal text of a digest.
void Sha256Hex(const unsigned char digest[kSha256DigestSize], char hex[kSha256HexSize]);

// HMAC-SHA256 (RFC 2104) of `data` under `key`.
void HmacSha256(const unsigned char* key, size_t keyLength, const void* data, size_t length,
                unsigned char mac[kSha256DigestSize]);

// Tests only: non-zero takes the portable rounds even where the processor
// has SHA instructions, so that both are tested on one machine.
extern int gSha256PortableForTests;
