// Names shown to a person: control bytes, C1 controls and bytes that are not
// UTF-8 become \xNN; valid UTF-8 stays as it is; the text reads back one way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "remedy/name_escape.h"

namespace {

// Valid UTF-8 holding no control character: no C0, DEL or C1 (U+0080 to
// U+009F), and no lone byte a terminal could read as a C1 control.
bool ShowsNoControl(const std::string& shown) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(shown.c_str());
  while (*p) {
    unsigned char c = *p;
    size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || (n == 1 && (c < 0x20 || c == 0x7F)) || (c == 0xC2 && p[1] <= 0x9F)) return false;
    for (size_t i = 1; i < n; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += n;
  }
  return true;
}

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

// A Run value's data may be far longer than any buffer it is shown from:
// cut or not, every control byte is escaped, and the cut keeps whole units.
TEST(NameEscape, AnyLengthIsEscapedTheSameWay) {
  const std::string controls = "\x1b[31m\x9b" "2J\xc2\x9b" "1m\x85\xc2\x85\r\n\x7f";
  const std::string filler(20000, 'a');
  const std::string text = controls + filler + controls + "caf\xc3\xa9" + filler + controls;
  const std::string whole = Escaped(text);
  ASSERT_TRUE(ShowsNoControl(whole));
  for (size_t capacity : {16384u, 4096u, 9u, 10u, 13u, 14u}) {
    std::vector<char> out(capacity, '?');
    EscapeNameCut(text.c_str(), out.data(), capacity);
    std::string shown(out.data());
    ASSERT_LT(shown.size(), capacity) << capacity;
    ASSERT_GE(shown.size(), 8u) << capacity;
    EXPECT_EQ("...[cut]", shown.substr(shown.size() - 8)) << capacity;
    std::string kept = shown.substr(0, shown.size() - 8);
    EXPECT_EQ(0u, whole.find(kept)) << capacity << ": the cut is a prefix of the whole escape";
    EXPECT_TRUE(ShowsNoControl(shown)) << capacity;
    // A "\\x" always begins an escape: none is cut short.
    size_t last = kept.rfind("\\x");
    EXPECT_TRUE(last == std::string::npos || last + 4 <= kept.size()) << capacity;
  }
  // Room for the whole: the same text as EscapeNameForTerminal gives.
  std::vector<char> out(whole.size() + 1);
  EscapeNameCut(text.c_str(), out.data(), out.size());
  EXPECT_EQ(whole, out.data());
  char tiny[8] = "keep";
  EscapeNameCut(text.c_str(), tiny, sizeof tiny);
  EXPECT_STREQ("", tiny);
}

// A name holding what no Windows name holds is shown with it escaped, so
// that a Windows path joined from names never reads as another file's: the
// worm "App\app.exe" in "Program Files" is not the clean app.exe of the
// "App" folder.
TEST(NameEscape, WhatNoWindowsNameHoldsIsEscapedInAName) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"app.exe", "app.exe"},
      {"App\\app.exe", "App\\x5capp.exe"},
      {"a:b*c?d\"e<f>g|h", "a\\x3ab\\x2ac\\x3fd\\x22e\\x3cf\\x3eg\\x7ch"},
      {"caf\xc3\xa9 x.exe", "caf\xc3\xa9 x.exe"},
      {"\\", "\\x5c"},
      {"", ""},
  };
  for (const Row& r : rows) {
    char out[64] = "unchanged";
    EXPECT_EQ(strlen(r.out), EscapeNonWindowsName(r.in, out, sizeof out)) << r.in;
    EXPECT_STREQ(r.out, out) << r.in;
  }
  // The whole or nothing: a name that does not fit leaves the buffer.
  char small[8] = "kept";
  EXPECT_EQ(10u, EscapeNonWindowsName("ab\\cdef", small, sizeof small));
  EXPECT_STREQ("kept", small);
  EXPECT_EQ(8u, EscapeNonWindowsName("a\\cde", small, sizeof small));
  EXPECT_STREQ("kept", small);
  EXPECT_EQ(7u, EscapeNonWindowsName("a\\cd", small, sizeof small));
  EXPECT_STREQ("a\\x5ccd", small);
}

}  // namespace
