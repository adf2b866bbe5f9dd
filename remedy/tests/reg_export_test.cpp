// REGEDIT4 text of registry values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "remedy/reg_export.h"

namespace {

std::string ValueLine(const char* name, uint32_t type, const std::vector<unsigned char>& data) {
  size_t needed = FormatRegValueLine(nullptr, 0, name, type, data.data(), static_cast<uint32_t>(data.size()));
  std::string text(needed + 1, '#');
  size_t written = FormatRegValueLine(&text[0], text.size(), name, type, data.data(), static_cast<uint32_t>(data.size()));
  EXPECT_EQ(needed, written);
  EXPECT_EQ(0, text[needed]);
  text.resize(needed);
  return text;
}

std::vector<unsigned char> Bytes(const char* text, size_t length) {
  return std::vector<unsigned char>(text, text + length);
}

TEST(RegExport, ValueLines) {
  struct Row {
    const char* name;
    uint32_t type;
    std::vector<unsigned char> data;
    const char* expected;
  } rows[] = {
      {"agent", kRegString, Bytes("\"C:\\Program Files\\a.exe\" -q", 28),
       "\"agent\"=\"\\\"C:\\\\Program Files\\\\a.exe\\\" -q\"\r\n"},
      {"", kRegString, Bytes("x", 2), "@=\"x\"\r\n"},
      {nullptr, kRegString, Bytes("", 1), "@=\"\"\r\n"},
      {"q\"\\", kRegString, Bytes("x", 2), "\"q\\\"\\\\\"=\"x\"\r\n"},
      // Stored without its terminator, or holding a line break: bytes as they are.
      {"raw", kRegString, Bytes("ab", 2), "\"raw\"=hex(1):61,62\r\n"},
      {"nl", kRegString, Bytes("a\nb", 4), "\"nl\"=hex(1):61,0a,62,00\r\n"},
      {"exp", kRegExpandString, Bytes("%a%", 4), "\"exp\"=hex(2):25,61,25,00\r\n"},
      {"dw", kRegDword, {0x78, 0x56, 0x34, 0x12}, "\"dw\"=dword:12345678\r\n"},
      {"short", kRegDword, {1, 2}, "\"short\"=hex(4):01,02\r\n"},
      {"bin", kRegBinary, {0, 0xff}, "\"bin\"=hex:00,ff\r\n"},
      {"none", kRegNone, {}, "\"none\"=hex(0):\r\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.expected, ValueLine(row.name, row.type, row.data)) << (row.name ? row.name : "(null)");
  }
}

TEST(RegExport, LongBinaryValuesWrapWithinEightyColumns) {
  std::vector<unsigned char> data(300, 0xab);
  std::string text = ValueLine("long", kRegBinary, data);
  size_t pairs = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    ASSERT_NE(std::string::npos, end);
    std::string line = text.substr(start, end - start);
    EXPECT_LT(line.size(), 80u) << line;
    for (size_t i = 0; i + 1 < line.size(); ++i) pairs += line.compare(i, 2, "ab") == 0;
    bool last = end + 2 == text.size();
    EXPECT_EQ(last ? 'b' : '\\', line.back()) << line;
    start = end + 2;
  }
  EXPECT_EQ(300u, pairs);
}

TEST(RegExport, TooSmallBufferIsLeftAsItWas) {
  const unsigned char data[] = "C:\\worm.exe";
  char out[8];
  memset(out, '#', sizeof out);
  size_t needed = FormatRegValueLine(out, sizeof out, "w", kRegString, data, sizeof data);
  EXPECT_EQ(strlen("\"w\"=\"C:\\\\worm.exe\"\r\n"), needed);
  for (char c : out) EXPECT_EQ('#', c);

  char key[64];
  memset(key, '#', sizeof key);
  size_t keyLength = FormatRegKeyLine(key, 5, "HKEY_CURRENT_USER\\Run");
  EXPECT_EQ('#', key[0]);
  ASSERT_LT(keyLength, sizeof key);
  EXPECT_EQ(keyLength, FormatRegKeyLine(key, keyLength + 1, "HKEY_CURRENT_USER\\Run"));
  EXPECT_STREQ("\r\n[HKEY_CURRENT_USER\\Run]\r\n", key);
}

}  // namespace
