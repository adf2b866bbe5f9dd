// SHA-256 against the published test vectors (FIPS 180-4 examples, NIST
// CAVS short and long messages), fed in one piece and in odd pieces.
#include <gtest/gtest.h>

#include <string>

#include "engine/sha256.h"

namespace {

std::string Hex(const std::string& message, size_t piece) {
  Sha256State state;
  BeginSha256(&state);
  for (size_t at = 0; at < message.size(); at += piece)
    AddSha256(&state, message.data() + at, message.size() - at < piece ? message.size() - at : piece);
  unsigned char digest[kSha256DigestSize];
  EndSha256(&state, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  return hex;
}

TEST(Sha256, KnownVectors) {
  struct Case {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // 55 and 56 bytes: the length fits the first padding block, or needs a second.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  // Both ways: the processor's SHA instructions (where it has them) and
  // the portable rounds.
  for (int portable = 0; portable <= 1; ++portable) {
    gSha256PortableForTests = portable;
    for (const Case& c : cases) {
      for (size_t piece : {size_t(1), size_t(7), size_t(64), size_t(1) << 20})
        EXPECT_EQ(c.digest, Hex(c.message, piece))
            << c.message.size() << " bytes in pieces of " << piece << (portable ? ", portable" : "");
    }
  }
  gSha256PortableForTests = 0;
}

}  // namespace

// RFC 4231 test cases 1, 2 and 6 (a key longer than a block).
TEST(Sha256, HmacKnownVectors) {
  struct Case {
    std::string key, data;
    const char* mac;
  } cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
  };
  for (const Case& c : cases) {
    unsigned char mac[kSha256DigestSize];
    HmacSha256(reinterpret_cast<const unsigned char*>(c.key.data()), c.key.size(), c.data.data(), c.data.size(), mac);
    char hex[kSha256HexSize];
    Sha256Hex(mac, hex);
    EXPECT_STREQ(c.mac, hex) << c.data;
  }
}
