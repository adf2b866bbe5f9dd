// The console scanners' shared output: the exact texts both programs print,
// and nothing half-written when the caller's buffer is short.
#include <gtest/gtest.h>

#include <cstring>

#include "cli/scan_cli_output.h"

namespace {

TEST(ScanCliOutput, SummaryTotals) {
  struct Case {
    ScanTotals totals;
    const char* text;
  } cases[] = {
      {{12, 312, 0, 0, 0, 0, 0, 1, 0, 0},
       "Files examined: 12\nBytes examined: 312 (312 bytes)\nDetections: 0\nNot examined: 1\n"},
      {{5000000000ULL, 1536 * 1024, 4, 1, 1, 1, 1, 0, 7, 2},
       "Files examined: 5000000000\nBytes examined: 1572864 (1.5 MiB)\nDetections: 4 (removed 1, quarantined 1, "
       "left in place 1, failed 1)\nNot examined: 0\n"},
  };
  for (const Case& c : cases) {
    char text[512];
    ASSERT_TRUE(FormatSummaryTotals(text, sizeof text, c.totals));
    EXPECT_STREQ(c.text, text);
    // One byte short of the terminator: refused.
    EXPECT_FALSE(FormatSummaryTotals(text, strlen(c.text), c.totals));
  }
}

TEST(ScanCliOutput, RowsAndRestores) {
  char out[512];
  ASSERT_TRUE(FormatRowJson(out, sizeof out, "/v/a.exe", "Worm.Quellix", kRowQuarantined, "file"));
  EXPECT_STREQ("{\"type\":\"detection\",\"path\":\"/v/a.exe\",\"detection\":\"Worm.Quellix\","
               "\"action\":\"quarantined\",\"pass\":\"file\"}\n",
               out);
  ASSERT_TRUE(FormatRowJson(out, sizeof out, "/v/d", "", kRowNotExamined, "file"));
  EXPECT_STREQ("{\"type\":\"not_examined\",\"path\":\"/v/d\"}\n", out);
  EXPECT_FALSE(FormatRowJson(out, 20, "/v/d", "", kRowNotExamined, nullptr));

  struct Case {
    const char* path;
    RestoreRowKind kind;
    const char* why;
    const char* text;
    const char* json;
  } cases[] = {
      {"C:\\a.exe", kRestoreRowDone, nullptr, "C:\\a.exe: restored\n",
       "{\"type\":\"restore\",\"path\":\"C:\\\\a.exe\",\"result\":\"restored\"}\n"},
      {"/a", kRestoreRowExists, nullptr, "/a: not restored: a file is in its place (--force replaces it)\n",
       "{\"type\":\"restore\",\"path\":\"/a\",\"result\":\"exists\"}\n"},
      {"/a", kRestoreRowBadCopy, nullptr,
       "/a: not restored: the quarantined copy does not have its recorded SHA-256\n",
       "{\"type\":\"restore\",\"path\":\"/a\",\"result\":\"damaged copy\"}\n"},
      {"/a", kRestoreRowFailed, "Permission denied", "/a: not restored: Permission denied\n",
       "{\"type\":\"restore\",\"path\":\"/a\",\"result\":\"failed\"}\n"},
      {"", kRestoreRowFailed, nullptr, "(unreadable manifest line): not restored\n",
       "{\"type\":\"restore\",\"path\":\"\",\"result\":\"failed\"}\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(FormatRestoreRowText(out, sizeof out, c.path, c.kind, c.why));
    EXPECT_STREQ(c.text, out);
    EXPECT_FALSE(FormatRestoreRowText(out, strlen(c.text), c.path, c.kind, c.why));
    ASSERT_TRUE(FormatRestoreRowJson(out, sizeof out, c.path, c.kind));
    EXPECT_STREQ(c.json, out);
  }
}

}  // namespace
