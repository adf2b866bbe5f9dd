// The console scanners' shared output: the exact texts both programs print,
// and nothing half-written when the caller's buffer is short.
#include <gtest/gtest.h>

#include <cstring>

#include "cli/scan_cli_output.h"

namespace {

ScanTotals Totals(uint64_t files, uint64_t bytes, uint32_t detections, uint32_t removed, uint32_t quarantined,
                  uint32_t leftInPlace, uint32_t failures, uint32_t notExamined) {
  ScanTotals t{};
  t.filesExamined = files;
  t.bytesExamined = bytes;
  t.detections = detections;
  t.removed = removed;
  t.quarantined = quarantined;
  t.leftInPlace = leftInPlace;
  t.failures = failures;
  t.notExamined = notExamined;
  return t;
}

TEST(ScanCliOutput, SummaryTotals) {
  struct Case {
    ScanTotals totals;
    const char* text;
  } cases[] = {
      {Totals(12, 312, 0, 0, 0, 0, 0, 1),
       "Files examined: 12\nBytes examined: 312 (312 bytes)\nDetections: 0\nNot examined: 1\n"},
      {Totals(5000000000ULL, 1536 * 1024, 4, 1, 1, 1, 1, 0),
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

TEST(ScanCliOutput, Restores) {
  char out[512];

  struct Case {
    const char* path;
    RestoreOutcome kind;
    const char* why;
    const char* text;
  } cases[] = {
      {"C:\\a.exe", kRestoreDone, nullptr, "C:\\a.exe: restored\n"},
      {"/a", kRestoreExists, nullptr, "/a: not restored: a file is in its place (--force replaces it)\n"},
      {"/a", kRestoreBadCopy, nullptr,
       "/a: not restored: the quarantined copy does not have its recorded SHA-256\n"},
      {"/a", kRestoreAlready, nullptr, "/a: already restored\n"},
      {"/a", kRestoreFailed, "Permission denied", "/a: not restored: Permission denied\n"},
      {"", kRestoreFailed, nullptr, "(unreadable manifest line): not restored\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(FormatRestoreRowText(out, sizeof out, c.path, c.kind, c.why));
    EXPECT_STREQ(c.text, out);
    EXPECT_FALSE(FormatRestoreRowText(out, strlen(c.text), c.path, c.kind, c.why));
  }
}

}  // namespace
