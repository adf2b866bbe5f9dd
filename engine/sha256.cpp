// SHA-256 (see sha256.h).
#include "engine/sha256.h"

#include <cstring>
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#endif

int gSha256PortableForTests = 0;

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(Sha256State* s, const unsigned char* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = s->h[0], b = s->h[1], c = s->h[2], d = s->h[3], e = s->h[4], f = s->h[5], g = s->h[6], h = s->h[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  s->h[0] += a;
  s->h[1] += b;
  s->h[2] += c;
  s->h[3] += d;
  s->h[4] += e;
  s->h[5] += f;
  s->h[6] += g;
  s->h[7] += h;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define QX_SHA256_EXTENSIONS 1
// The processor's own SHA-256 instructions (the x86 SHA extensions), where
// it has them: several times the speed of the portable rounds, which stay
// for every other processor. Only in 64-bit builds, whose systems all save
// the SSE registers (Windows 95 does not). The message schedule and rounds
// follow the extensions' reference order.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithExtensions(Sha256State* s, const unsigned char* p,
                                                                     size_t blocks) {
  const __m128i kByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i state0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&s->h[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&s->h[4]));
  // ABEF and CDGH, as the instructions want them.
  __m128i tmp = _mm_shuffle_epi32(state0, 0xB1);
  state1 = _mm_shuffle_epi32(state1, 0x1B);
  state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);
  for (; blocks; --blocks, p += 64) {
    __m128i abef = state0, cdgh = state1;
    __m128i m[4];
    for (int i = 0; i < 4; ++i)
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), kByteSwap);
    for (int i = 0; i < 16; ++i) {
      __m128i& w = m[i & 3];
      if (i >= 4) {
        // w[i..i+3] from the four words before, as sha256msg1/msg2 compute them.
        __m128i carried = _mm_alignr_epi8(m[(i - 1) & 3], m[(i - 2) & 3], 4);
        w = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w, m[(i - 3) & 3]), carried),
                                 m[(i - 1) & 3]);
      }
      __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i]));
      __m128i message = _mm_add_epi32(w, k);
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);
  state1 = _mm_shuffle_epi32(state1, 0xB1);
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);
  state1 = _mm_alignr_epi8(state1, tmp, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&s->h[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&s->h[4]), state1);
}

// SHA: leaf 7, EBX bit 29; SSE4.1: leaf 1, ECX bit 19; SSSE3: leaf 1, ECX bit 9.
int ProcessorHasExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 19)) || !(c & (1u << 9))) return 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return 0;
  return (b & (1u << 29)) != 0;
}

int HasExtensions() {
  static const int has = ProcessorHasExtensions();
  return has;
}
#endif

// Whole blocks of `p`.
void CompressBlocks(Sha256State* s, const unsigned char* p, size_t blocks) {
#ifdef QX_SHA256_EXTENSIONS
  if (!gSha256PortableForTests && HasExtensions()) {
    CompressWithExtensions(s, p, blocks);
    return;
  }
#endif
  for (; blocks; --blocks, p += 64) Compress(s, p);
}

}  // namespace

void BeginSha256(Sha256State* state) {
  static const uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(state->h, kStart, sizeof kStart);
  state->length = 0;
  state->used = 0;
}

void AddSha256(Sha256State* state, const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  state->length += length;
  while (length > 0) {
    if (state->used == 0 && length >= 64) {
      size_t blocks = length / 64;
      CompressBlocks(state, p, blocks);
      p += 64 * blocks;
      length -= 64 * blocks;
      continue;
    }
    size_t take = 64 - state->used < length ? 64 - state->used : length;
    memcpy(state->block + state->used, p, take);
    state->used += static_cast<uint32_t>(take);
    p += take;
    length -= take;
    if (state->used == 64) {
      CompressBlocks(state, state->block, 1);
      state->used = 0;
    }
  }
}

void EndSha256(Sha256State* state, unsigned char digest[kSha256DigestSize]) {
  uint64_t bits = state->length * 8;
  unsigned char pad = 0x80;
  AddSha256(state, &pad, 1);
  unsigned char zero = 0;
  while (state->used != 56) AddSha256(state, &zero, 1);
  unsigned char tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  AddSha256(state, tail, 8);
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<unsigned char>(state->h[i] >> (24 - 8 * k));
}

void Sha256Hex(const unsigned char digest[kSha256DigestSize], char hex[kSha256HexSize]) {
  static const char kDigits[] = "0123456789abcdef";
  for (uint32_t i = 0; i < kSha256DigestSize; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  hex[64] = 0;
}

void HmacSha256(const unsigned char* key, size_t keyLength, const void* data, size_t length,
                unsigned char mac[kSha256DigestSize]) {
  unsigned char block[64];
  memset(block, 0, sizeof block);
  if (keyLength > sizeof block) {
    Sha256State hashed;
    BeginSha256(&hashed);
    AddSha256(&hashed, key, keyLength);
    EndSha256(&hashed, block);
  } else if (keyLength) {
    memcpy(block, key, keyLength);
  }
  unsigned char pad[64];
  for (size_t i = 0; i < sizeof pad; ++i) pad[i] = static_cast<unsigned char>(block[i] ^ 0x36);
  Sha256State inner;
  BeginSha256(&inner);
  AddSha256(&inner, pad, sizeof pad);
  AddSha256(&inner, data, length);
  unsigned char innerDigest[kSha256DigestSize];
  EndSha256(&inner, innerDigest);
  for (size_t i = 0; i < sizeof pad; ++i) pad[i] = static_cast<unsigned char>(block[i] ^ 0x5c);
  Sha256State outer;
  BeginSha256(&outer);
  AddSha256(&outer, pad, sizeof pad);
  AddSha256(&outer, innerDigest, sizeof innerDigest);
  EndSha256(&outer, mac);
}
