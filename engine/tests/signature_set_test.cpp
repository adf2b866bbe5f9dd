// Signature lists: every line validated, a bad one refusing its list with
// file and line; duplicates within and across lists; the combined lookup
// (built-in rows first) and its size filter; the single read of a candidate
// that is also hashed for a SHA-256 row.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/candidate_check.h"
#include "engine/signature_set.h"
#include "engine/testing/specimen_forge.h"

namespace {

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed * 131 + i * 7 + (i >> 8));
  return v;
}

std::string HexOf(const unsigned char digest[kSha256DigestSize]) {
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  return hex;
}

std::string DigestHex(const std::vector<unsigned char>& bytes) {
  Sha256State s;
  BeginSha256(&s);
  AddSha256(&s, bytes.data(), bytes.size());
  unsigned char d[kSha256DigestSize];
  EndSha256(&s, d);
  return HexOf(d);
}

std::string ListLine(const char* name, const std::vector<unsigned char>& bytes) {
  FileFingerprint f = FingerprintBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  char line[128];
  EXPECT_TRUE(FormatSignatureListLine(name, f.length, f.weightedSum, f.headSum, line, sizeof line));
  return line;
}

// Lists loaded together, freed at the end of the test.
struct Loaded {
  SignatureLists lists{};
  std::string why;
  ~Loaded() { FreeSignatureLists(&lists); }
  int Add(const char* path, const std::string& text) {
    char reason[512] = "";
    int ok = AddSignatureListText(&lists, path, text.data(), text.size(), reason, sizeof reason);
    why = reason;
    return ok;
  }
  int Finish() {
    char reason[512] = "";
    int ok = FinishSignatureLists(&lists, BuiltInSignatures(), reason, sizeof reason);
    why = reason;
    return ok;
  }
  SignatureSet Set() const { return SignatureSet{BuiltInSignatures(), &lists}; }
};

const char kHash[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(SignatureLists, EachBadLineRefusesItsListWithFileAndLine) {
  const std::string good = "Worm.Test.a\t1536\t0x12345678\t0x00905A4D\n";
  struct Case {
    std::string text;
    const char* why;  // the whole reason, after "bad.list:"
  } cases[] = {
      {"Worm.Test.a 1536 0x12345678\n", "1: a row is NAME SIZE"},
      {"Worm.Test.a 1536 0x12345678 0x00905A4D extra\n", "1: a row is NAME SIZE"},
      {"Worm.Test.a 0 0x12345678 0x00905A4D\n", "1: the size is not a whole number from 1 to 7340032"},
      {"Worm.Test.a 01536 0x12345678 0x00905A4D\n", "1: the size is not"},
      {"Worm.Test.a 7340033 0x12345678 0x00905A4D\n", "1: the size is not"},
      {"Worm.Test.a -1536 0x12345678 0x00905A4D\n", "1: the size is not"},
      {"Worm.Test.a 1536 0x1234567 0x00905A4D\n", "1: the weighted sum is not 0x and 8 hexadecimal digits"},
      {"Worm.Test.a 1536 12345678AB 0x00905A4D\n", "1: the weighted sum is not"},
      {"Worm.Test.a 1536 0x12345678 0x00905A4G\n", "1: the head sum is not"},
      {"Worm.Quellix.aa.dlla.encX 1536 0x12345678 0x00905A4D\n",
       "1: the detection name is longer than 24 characters"},
      {"Worm/Test 1536 0x12345678 0x00905A4D\n", "1: the detection name holds a character other than"},
      {"Worm\"Test 1536 0x12345678 0x00905A4D\n", "1: the detection name holds a character other than"},
      {std::string(kHash) + ":1536\n", "1: a SHA-256 row is SHA256:SIZE:NAME, three fields"},
      {std::string(kHash) + ":1536:Worm.Test.h:73\n", "1: a SHA-256 row is SHA256:SIZE:NAME"},
      {std::string(kHash, 63) + ":1536:Worm.Test.h\n", "1: the SHA-256 is not 64 hexadecimal digits"},
      {"g" + std::string(kHash + 1) + ":1536:Worm.Test.h\n", "1: the SHA-256 is not"},
      {std::string(kHash) + ":99999999:Worm.Test.h\n", "1: the size is not"},
      {std::string(kHash) + ":1536:\n", "1: the detection name is empty"},
      {std::string(kHash) + ":1536:Worm Test\n", "1: the detection name holds"},
      {"# a comment\n\n" + good + "Worm.Test.b 1536 0x1 0x2\n", "4: the weighted sum is not"},
      {good + std::string(600, 'x') + "\n", "2: the line is longer than 512 bytes"},
      {good + std::string("Worm.Test.b\0 1536 0x12345678 0x00905A4D\n", 39), "2: a NUL byte: this is no text list"},
      {good + "Worm.Test.b 1536 0x12345678", "2: a row is NAME SIZE"},  // the last line has no line break
  };
  for (const Case& c : cases) {
    Loaded loaded;
    ASSERT_EQ(1, loaded.Add("first.list", good)) << loaded.why;
    EXPECT_EQ(0, loaded.Add("bad.list", c.text)) << c.why;
    EXPECT_EQ(0u, loaded.why.find(std::string("bad.list:") + c.why)) << loaded.why;
    // The refused list left nothing; the one before it stays.
    EXPECT_EQ(1u, loaded.lists.listCount) << c.why;
    EXPECT_EQ(1u, loaded.lists.rowCount + loaded.lists.hashCount) << c.why;
  }
}

TEST(SignatureLists, AListWithoutRowsIsRefusedAsAWhole) {
  for (const char* text : {"", "\n\n", "# only a comment\n   \n#\n", "\xEF\xBB\xBF"}) {
    Loaded loaded;
    EXPECT_EQ(0, loaded.Add("empty.list", text));
    EXPECT_EQ("empty.list: it holds no row", loaded.why);
  }
}

TEST(SignatureLists, TakesBothFormsWithCommentsBlanksCrLfAndAByteOrderMark) {
  std::string text = std::string("\xEF\xBB\xBF") +
                     "# measured 2026-12-01\r\n"
                     "\r\n"
                     "  Worm.Quellix.as#dll \t 1536   0x0000ABCD\t0xabcdef01  \r\n" +
                     kHash + ":42:Worm.Test.hash\n"
                     "Worm.Test.last\t99\t0x00000001\t0x00000002";
  Loaded loaded;
  ASSERT_EQ(1, loaded.Add("two-forms.list", text)) << loaded.why;
  ASSERT_EQ(1, loaded.Finish()) << loaded.why;
  const SignatureListInfo& info = loaded.lists.lists[0];
  EXPECT_STREQ("two-forms.list", info.path);
  EXPECT_EQ(3u, info.rowCount);
  EXPECT_EQ(DigestHex(std::vector<unsigned char>(text.begin(), text.end())), info.sha256Hex);
  SignatureSet set = loaded.Set();
  EXPECT_STREQ("Worm.Quellix.as#dll", FindInSignatureSet(set, FileFingerprint{1536, 0xABCD, 0xABCDEF01}, nullptr));
  EXPECT_STREQ("Worm.Test.last", FindInSignatureSet(set, FileFingerprint{99, 1, 2}, nullptr));
  EXPECT_EQ(nullptr, FindInSignatureSet(set, FileFingerprint{99, 1, 3}, nullptr));
}

TEST(SignatureLists, ARowGivenTwiceIsRefusedWithBothPlaces) {
  const std::string row = "Worm.Test.a 1536 0x12345678 0x00905A4D\n";
  const std::string hash = std::string(kHash) + ":1536:Worm.Test.h\n";
  struct Case {
    std::string first, second;
    const char* why;
  } cases[] = {
      {row + "# between\n" + row, "Worm.Test.b 1 0x00000000 0x00000000\n", "a.list:3: the same size and sums as a.list:1"},
      {row, "Worm.Test.other 1536 0x12345678 0x00905A4D\n", "b.list:1: the same size and sums as a.list:1"},
      {hash, "\n" + hash, "b.list:2: the same SHA-256 as a.list:1"},
      // The same digest under another size is a contradiction, not a second file.
      {hash, std::string(kHash) + ":77:Worm.Test.h\n", "b.list:1: the same SHA-256 as a.list:1"},
  };
  for (const Case& c : cases) {
    Loaded loaded;
    ASSERT_EQ(1, loaded.Add("a.list", c.first)) << loaded.why;
    ASSERT_EQ(1, loaded.Add("b.list", c.second)) << loaded.why;
    EXPECT_EQ(0, loaded.Finish());
    EXPECT_EQ(c.why, loaded.why);
  }
}

TEST(SignatureSet, BuiltInRowsComeFirstAndTheSizeFilterCoversEveryRow) {
  SignatureTable builtIn = BuiltInSignatures();
  ASSERT_GT(builtIn.count, 0u);
  const SignatureRecord& first = builtIn.rows[0];
  std::vector<unsigned char> listed = Bytes(2001, 1), hashed = Bytes(3003, 2);
  // A list row with a built-in row's numbers does not take its name.
  char shadow[128];
  ASSERT_TRUE(FormatSignatureListLine("Worm.Shadowing", first.fileSize, first.weightedSum, first.headSum, shadow,
                                      sizeof shadow));
  std::string text = shadow + ListLine("Worm.Listed", listed) + DigestHex(hashed) + ":3003:Worm.Hashed\n";
  Loaded loaded;
  ASSERT_EQ(1, loaded.Add("set.list", text)) << loaded.why;
  ASSERT_EQ(1, loaded.Finish()) << loaded.why;
  SignatureSet set = loaded.Set();
  EXPECT_STREQ(first.detectionName,
               FindInSignatureSet(set, FileFingerprint{first.fileSize, first.weightedSum, first.headSum}, nullptr));

  for (uint32_t i = 0; i < builtIn.count; ++i) EXPECT_TRUE(SetHasSize(set, builtIn.rows[i].fileSize)) << i;
  EXPECT_TRUE(SetHasSize(set, 2001));
  EXPECT_TRUE(SetHasSize(set, 3003));
  EXPECT_FALSE(SetHasSize(set, 2002));
  EXPECT_FALSE(SetHasSize(set, 3003 + (uint64_t(1) << 32)));
  EXPECT_FALSE(SetHasSize(BuiltInSignatureSet(), 2001));
  EXPECT_TRUE(SetHashesSize(set, 3003));
  EXPECT_FALSE(SetHashesSize(set, 2001)) << "a family row's size needs no hash";

  struct Source {
    const std::vector<unsigned char>* bytes;
    uint32_t reads;
  };
  auto read = [](void* context, uint64_t offset, unsigned char* block, uint32_t length) {
    Source* s = static_cast<Source*>(context);
    s->reads += 1;
    if (offset + length > s->bytes->size()) return 0;
    std::memcpy(block, s->bytes->data() + offset, length);
    return 1;
  };
  std::vector<unsigned char> otherOfHashedSize = Bytes(3003, 9), unlisted = Bytes(2002, 1);
  struct Case {
    const char* what;
    const std::vector<unsigned char>* content;
    CandidateOutcome outcome;
    const char* name;
    uint32_t reads;
  } cases[] = {
      {"a list row", &listed, kCandidateMatched, "Worm.Listed", 1},
      {"a SHA-256 row", &hashed, kCandidateMatched, "Worm.Hashed", 1},
      {"a SHA-256 row's size, other content", &otherOfHashedSize, kCandidateClean, nullptr, 1},
      {"no row of its size: never read", &unlisted, kCandidateClean, nullptr, 0},
  };
  for (const Case& c : cases) {
    Source source{c.content, 0};
    CandidateReader reader{read, &source};
    const char* name = "stale";
    EXPECT_EQ(c.outcome, CheckCandidate(set, c.content->size(), &reader, &name)) << c.what;
    EXPECT_EQ(c.reads, source.reads) << c.what;
    if (c.name)
      EXPECT_STREQ(c.name, name) << c.what;
    else
      EXPECT_EQ(nullptr, name) << c.what;
  }
  // The built-in rows' forged specimens still match through a set with lists.
  for (uint32_t i = 0; i < builtIn.count; ++i) {
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ForgeSpecimenForRow(builtIn.rows[i], i + 3, &bytes));
    Source source{&bytes, 0};
    CandidateReader reader{read, &source};
    const char* name = nullptr;
    EXPECT_EQ(kCandidateMatched, CheckCandidate(set, bytes.size(), &reader, &name)) << i;
    EXPECT_STREQ(builtIn.rows[i].detectionName, name) << i;
  }
}

TEST(SignatureSet, TheBuiltInVersionFollowsTheRows) {
  SignatureTable builtIn = BuiltInSignatures();
  char version[kSignatureVersionCapacity], fewer[kSignatureVersionCapacity];
  BuiltInSignatureVersion(builtIn, version);
  BuiltInSignatureVersion(SignatureTable{builtIn.rows, builtIn.count - 1}, fewer);
  EXPECT_EQ(16u, std::strlen(version));
  EXPECT_STRNE(version, fewer);
}

}  // namespace
