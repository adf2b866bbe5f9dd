// Names shown to a person: control bytes, C1 controls and bytes that are not
// UTF-8 become \xNN; valid UTF-8 stays as it is; the text reads back one way.
#include <gtest/gtest.h>

#include <string>

#include "remedy/name_escape.h"

namespace {

std::string Escaped(const std::string& in) {
  size_t need = EscapeNameForTerminal(in.c_str(), nullptr, 0);
  std::string out(need + 1, '?');
  EXPECT_EQ(need, EscapeNameForTerminal(in.c_str(), &out[0], out.size()));
  out.resize(need);
  return out;
}

TEST(NameEscape, ControlBytesAndBrokenUtf8BecomeVisible) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"plain.exe", "plain.exe"},
      {"a\r\nWorm.Fake (removed)", "a\\x0d\\x0aWorm.Fake (removed)"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
      {"tab\there\x7f", "tab\\x09here\\x7f"},
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
      {"raw \xe9\xff", "raw \\xe9\\xff"},
      {"c1 \xc2\x9b" "31m", "c1 \\xc2\\x9b31m"},
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"cut \xe6\x97", "cut \\xe6\\x97"},
      {"C:\\x1b\\dir", "C:\\x5cx1b\\dir"},
      {"", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.out, Escaped(row.in)) << row.in;
    EXPECT_EQ(std::string(row.in) != row.out, NameNeedsEscaping(row.in) != 0) << row.in;
  }
}

TEST(NameEscape, TooSmallLeavesTheBufferAsItWas) {
  char out[10] = "keep";
  EXPECT_EQ(10u, EscapeNameForTerminal("a\nb\n", out, sizeof out));
  EXPECT_STREQ("keep", out);
  char fits[11];
  EXPECT_EQ(10u, EscapeNameForTerminal("a\nb\n", fits, sizeof fits));
  EXPECT_STREQ("a\\x0ab\\x0a", fits);
}

}  // namespace
