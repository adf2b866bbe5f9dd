// fingerprint: measures files for the signature table.
//   fingerprint [--rows NAME | --list NAME] FILE...
// One line per file: path, size, weighted sum, head sum and the detection
// name (or "-"), tab-separated. With --rows, each line is instead a row in
// the table's data-file format, ready to paste into signature_rows.inc; with
// --list, a row of a signature list that the console scanners read at run
// time (--signatures).
// Exit status: 0 nothing matched, 1 a file matched, 2 a file could not be read.
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/fingerprint.h"
#include "engine/signature_set.h"
#include "engine/signature_table.h"
#include "sys/owned_stream.h"

static int MeasureFile(const char* path, FileFingerprint* out) {
  OwnedStream stream(std::fopen(path, "rb"));
  if (!stream.valid()) return 0;
  FILE* file = stream.get();
  std::vector<unsigned char> block(kFingerprintBlockSize);
  FingerprintState state;
  BeginFingerprint(&state, 0);
  uint32_t length = 0;
  int ok = 1;
  for (;;) {
    size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got == 0) break;
    AddFingerprintBlock(&state, block.data(), static_cast<uint32_t>(got));
    length += static_cast<uint32_t>(got);
    if (got < block.size()) break;
  }
  if (std::ferror(file)) ok = 0;
  state.result.length = length;
  *out = state.result;
  return ok;
}

int main(int argc, char** argv) {
  const char* rowName = nullptr;
  int listForm = 0;
  int first = 1;
  if (argc > 2 && (std::strcmp(argv[1], "--rows") == 0 || std::strcmp(argv[1], "--list") == 0)) {
    listForm = argv[1][2] == 'l';
    rowName = argv[2];
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: fingerprint [--rows NAME | --list NAME] FILE...\n");
    return 2;
  }
  int matched = 0, failed = 0;
  for (int i = first; i < argc; ++i) {
    FileFingerprint fingerprint;
    if (!MeasureFile(argv[i], &fingerprint)) {
      std::fprintf(stderr, "fingerprint: cannot read %s\n", argv[i]);
      failed = 1;
      continue;
    }
    const SignatureRecord* row =
        fingerprint.length <= kMaxCheckedFileSize ? FindSignature(BuiltInSignatures(), fingerprint) : nullptr;
    if (row) matched = 1;
    char line[128];
    if (listForm) {
      if (std::strlen(rowName) < kDetectionNameCapacity &&
          FormatSignatureListLine(rowName, fingerprint.length, fingerprint.weightedSum, fingerprint.headSum, line,
                                  sizeof line)) {
        std::fputs(line, stdout);
      } else {
        std::fprintf(stderr, "fingerprint: a detection name has at most 24 characters\n");
        failed = 1;
      }
    } else if (rowName)
      std::printf("SIGNATURE_ROW(\"%s\", %u, 0x%08X, 0x%08X)\n", rowName, fingerprint.length,
                  fingerprint.weightedSum, fingerprint.headSum);
    else
      std::printf("%s\t%u\t0x%08X\t0x%08X\t%s\n", argv[i], fingerprint.length, fingerprint.weightedSum,
                  fingerprint.headSum, row ? row->detectionName : "-");
  }
  return failed ? 2 : matched ? 1 : 0;
}
