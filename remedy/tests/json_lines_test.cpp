// JSON Lines: escapes, raw bytes of file names, and reading fields back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "remedy/json_lines.h"

namespace {

TEST(JsonLines, WritesEscapesAndRawBytes) {
  char buffer[256];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonString(&line, "path", "C:\\a \"b\"\t\x01");
  AddJsonString(&line, "latin", "caf\xe9");
  AddJsonString(&line, "utf8", "caf\xc3\xa9 \xe6\x97\xa5");
  AddJsonNumber(&line, "size", 18446744073709551615ull);
  AddJsonSigned(&line, "when", -5);
  AddJsonFixed(&line, "seconds", 1.23456, 3);
  ASSERT_EQ(1, EndJsonLine(&line));
  EXPECT_STREQ(
      "{\"path\":\"C:\\\\a \\\"b\\\"\\u0009\\u0001\",\"latin\":\"caf\\udce9\",\"utf8\":\"caf\xc3\xa9 \xe6\x97\xa5\","
      "\"size\":18446744073709551615,\"when\":-5,\"seconds\":1.235}\n",
      buffer);
}

TEST(JsonLines, EveryByteComesBack) {
  // Every byte value but NUL, in runs that are and are not valid UTF-8.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  all += "\xe6\x97\xa5\xf0\x9f\x98\x80\xed\xa0\x80\xc0\xaf";  // valid, valid, surrogate, overlong
  char buffer[4096];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonString(&line, "a", "x");
  AddJsonString(&line, "name", all.c_str());
  AddJsonNumber(&line, "n", 42);
  ASSERT_EQ(1, EndJsonLine(&line));
  char back[4096];
  ASSERT_EQ(1, FindJsonString(buffer, "name", back, sizeof back));
  EXPECT_EQ(all, std::string(back));
  int64_t n = 0;
  ASSERT_EQ(1, FindJsonNumber(buffer, "n", &n));
  EXPECT_EQ(42, n);
  // A key's name inside a value is not a key.
  ASSERT_EQ(1, FindJsonString("{\"a\":\"n\",\"n\":\"v\"}", "n", back, sizeof back));
  EXPECT_STREQ("v", back);
}

TEST(JsonLines, ReadingRefusesWhatDoesNotFitOrIsMalformed) {
  char out[8];
  strcpy(out, "keep");
  struct Case {
    const char* line;
    const char* key;
  } cases[] = {
      {"{\"k\":\"12345678\"}", "k"},  // needs 9 bytes
      {"{\"k\":\"abc", "k"},          // unterminated
      {"{\"k\":\"\\u00\"}", "k"},     // short escape
      {"{\"k\":\"\\u0000\"}", "k"},   // NUL
      {"{\"k\":\"\\udc10\"}", "k"},   // lone low surrogate that is no byte
      {"{\"k\":\"\\q\"}", "k"},
      {"{\"k\":5}", "k"},             // not a string
      {"{\"other\":\"v\"}", "k"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(0, FindJsonString(c.line, c.key, out, sizeof out)) << c.line;
    EXPECT_STREQ("keep", out) << c.line;
  }
  int64_t n = 7;
  EXPECT_EQ(0, FindJsonNumber("{\"n\":\"1\"}", "n", &n));
  EXPECT_EQ(0, FindJsonNumber("{\"n\":99999999999999999999}", "n", &n));
  EXPECT_EQ(7, n);
  char small[16];
  JsonLine line;
  BeginJsonLine(&line, small, sizeof small);
  AddJsonString(&line, "path", "a long value");
  EXPECT_EQ(0, EndJsonLine(&line));
  EXPECT_LT(strlen(small), sizeof small);
}

}  // namespace
