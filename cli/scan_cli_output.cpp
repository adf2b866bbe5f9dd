// The console scanners' shared output (see scan_cli_output.h).
#include "cli/scan_cli_output.h"

#include <cstdio>
#include <cstring>

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

int FormatRestoreRowText(char* out, size_t capacity, const char* path, RestoreOutcome outcome, const char* why) {
  int written;
  switch (outcome) {
    case kRestoreDone: written = snprintf(out, capacity, "%s: restored\n", path); break;
    case kRestoreAlready: written = snprintf(out, capacity, "%s: already restored\n", path); break;
    case kRestoreExists:
      written = snprintf(out, capacity, "%s: not restored: a file is in its place (--force replaces it)\n", path);
      break;
    case kRestoreBadCopy:
      written =
          snprintf(out, capacity, "%s: not restored: the quarantined copy does not have its recorded SHA-256\n", path);
      break;
    case kRestoreFailed:
    default:
      written = snprintf(out, capacity, "%s: not restored%s%s\n", path[0] ? path : "(unreadable manifest line)",
                         why ? ": " : "", why ? why : "");
      break;
  }
  return Fits(written, capacity);
}

int FormatRestoreTotals(char* out, size_t capacity, uint32_t restored, uint32_t already, uint32_t left) {
  return Fits(snprintf(out, capacity, "\nRestored: %u\nAlready restored: %u\nNot restored: %u\n", restored, already, left),
              capacity);
}

int FormatRestoreSummaryJson(char* out, size_t capacity, uint32_t restored, uint32_t already, uint32_t left,
                             int status) {
  JsonLine line;
  BeginJsonLine(&line, out, capacity);
  AddJsonString(&line, "type", "summary");
  AddJsonNumber(&line, "restored", restored);
  AddJsonNumber(&line, "already_restored", already);
  AddJsonNumber(&line, "not_restored", left);
  AddJsonNumber(&line, "exit_status", static_cast<uint64_t>(status));
  return EndJsonLine(&line);
}

void EscapeForConsole(const char* text, char* out, size_t capacity) {
  if (!capacity) return;
  size_t used = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
    if (*c < 0x20 || *c == 0x7F || *c == '\\') {
      char escape[5];
      if (*c == '\\') {
        // A backslash stays as it is: Windows paths are full of them, and
        // only a control byte can be taken for markup.
        escape[0] = '\\';
        escape[1] = 0;
      } else {
        std::snprintf(escape, sizeof escape, "\\x%02X", *c);
      }
      size_t n = std::strlen(escape);
      if (used + n >= capacity) break;
      std::memcpy(out + used, escape, n);
      used += n;
    } else {
      if (used + 1 >= capacity) break;
      out[used++] = static_cast<char>(*c);
    }
  }
  out[used] = 0;
}

namespace {

void FormatDuration(char* out, size_t capacity, double seconds) {
  unsigned long total = seconds > 0 ? static_cast<unsigned long>(seconds) : 0;
  if (total >= 3600) {
    std::snprintf(out, capacity, "%lu:%02lu:%02lu", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(out, capacity, "%lu:%02lu", total / 60, total % 60);
  }
}

}  // namespace

void FormatProgressLine(char* out, size_t capacity, uint32_t columns, uint64_t files, uint64_t bytes,
                        double seconds, uint32_t detections, uint32_t percent, const char* path) {
  if (!capacity) return;
  out[0] = 0;
  if (columns < 2) return;
  size_t width = columns - 1;
  if (width >= capacity) width = capacity - 1;
  char size[32], elapsed[32], estimate[64] = "", head[160] = "";
  FormatByteCount(size, sizeof size, bytes);
  FormatDuration(elapsed, sizeof elapsed, seconds);
  double rate = seconds > 0.001 ? static_cast<double>(files) / seconds : 0;
  // An estimate says little before 1% or once it is outgrown.
  if (percent != kUnknownShare && percent >= 1 && percent < 100) {
    char left[32];
    FormatDuration(left, sizeof left, seconds * (100 - percent) / percent);
    std::snprintf(estimate, sizeof estimate, ", %u%%, %s left", percent, left);
  }
  // The fullest form that fits: on a narrow terminal the rate, the bytes and
  // the time so far go before the count found, the share and the time left,
  // and the path gives way before any of them.
  const unsigned long long count = static_cast<unsigned long long>(files);
  for (int form = 0; form < 4; ++form) {
    int n = form == 0   ? std::snprintf(head, sizeof head, "%llu files, %s, %.0f/s, %u found, %s%s", count, size,
                                        rate, detections, elapsed, estimate)
            : form == 1 ? std::snprintf(head, sizeof head, "%llu files, %s, %u found, %s%s", count, size,
                                        detections, elapsed, estimate)
            : form == 2 ? std::snprintf(head, sizeof head, "%llu files, %u found%s", count, detections, estimate)
                        : std::snprintf(head, sizeof head, "%llu f, %u found%s", count, detections, estimate);
    if (n < 0) return;
    if (static_cast<size_t>(n) <= width) break;
  }
  size_t headLength = std::strlen(head);
  if (headLength > width) headLength = width;
  std::memcpy(out, head, headLength);
  size_t used = headLength;
  // The end of the path: its start is the root, which the user knows.
  size_t pathLength = path ? std::strlen(path) : 0;
  if (pathLength && used + 3 < width) {
    out[used++] = ' ';
    out[used++] = ' ';
    size_t room = width - used;
    if (pathLength <= room) {
      std::memcpy(out + used, path, pathLength);
      used += pathLength;
    } else if (room > 3) {
      const char* tail = path + pathLength - (room - 3);
      // Never cut a UTF-8 sequence in two.
      while (*tail && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
      std::memcpy(out + used, "...", 3);
      used += 3;
      size_t tailLength = std::strlen(tail);
      std::memcpy(out + used, tail, tailLength);
      used += tailLength;
    }
  }
  out[used] = 0;
}
