// The console scanners' shared output (see scan_cli_output.h).
#include "cli/scan_cli_output.h"

#include <cstdio>

#include "cli/scan_cli.h"

namespace {

// snprintf's result as success: nothing cut off.
int Fits(int written, size_t capacity) { return written >= 0 && static_cast<size_t>(written) < capacity; }

}  // namespace

const char kSummaryHeading[] = "\n----------- SCAN SUMMARY -----------\n";

int FormatSummaryTotals(char* out, size_t capacity, const ScanTotals& t) {
  if (!capacity) return 0;
  char bytes[32];
  FormatByteCount(bytes, sizeof bytes, t.bytesExamined);
  char handled[160] = "";
  if (t.detections &&
      !Fits(snprintf(handled, sizeof handled, " (removed %u, quarantined %u, left in place %u, failed %u)", t.removed,
                     t.quarantined, t.leftInPlace, t.failures),
            sizeof handled))
    return 0;
  return Fits(snprintf(out, capacity, "Files examined: %llu\nBytes examined: %llu (%s)\nDetections: %u%s\n"
                                      "Not examined: %u\n",
                       static_cast<unsigned long long>(t.filesExamined),
                       static_cast<unsigned long long>(t.bytesExamined), bytes, t.detections, handled, t.notExamined),
              capacity);
}

const char* RestoreRowWord(RestoreRowKind kind) {
  switch (kind) {
    case kRestoreRowDone: return "restored";
    case kRestoreRowExists: return "exists";
    case kRestoreRowBadCopy: return "damaged copy";
    case kRestoreRowFailed: break;
  }
  return "failed";
}

int FormatRestoreRowText(char* out, size_t capacity, const char* path, RestoreRowKind kind, const char* why) {
  int written;
  switch (kind) {
    case kRestoreRowDone: written = snprintf(out, capacity, "%s: restored\n", path); break;
    case kRestoreRowExists:
      written = snprintf(out, capacity, "%s: not restored: a file is in its place (--force replaces it)\n", path);
      break;
    case kRestoreRowBadCopy:
      written =
          snprintf(out, capacity, "%s: not restored: the quarantined copy does not have its recorded SHA-256\n", path);
      break;
    case kRestoreRowFailed:
    default:
      written = snprintf(out, capacity, "%s: not restored%s%s\n", path[0] ? path : "(unreadable manifest line)",
                         why ? ": " : "", why ? why : "");
      break;
  }
  return Fits(written, capacity);
}

int FormatRestoreTotals(char* out, size_t capacity, uint32_t restored, uint32_t left) {
  return Fits(snprintf(out, capacity, "\nRestored: %u\nNot restored: %u\n", restored, left), capacity);
}

int FormatRestoreSummaryJson(char* out, size_t capacity, uint32_t restored, uint32_t left, int status) {
  JsonLine line;
  BeginJsonLine(&line, out, capacity);
  AddJsonString(&line, "type", "summary");
  AddJsonNumber(&line, "restored", restored);
  AddJsonNumber(&line, "not_restored", left);
  AddJsonNumber(&line, "exit_status", static_cast<uint64_t>(status));
  return EndJsonLine(&line);
}
