// forge-specimen: writes harmless stand-ins for worm files.
//   forge-specimen ROW OUTFILE [SEED]            specimen of table row ROW
//   forge-specimen --decoy ROW OUTFILE [SEED]     same size and first bytes, no match
//   forge-specimen --pad ROW INFILE OUTFILE       INFILE padded and patched to carry ROW
//   forge-specimen --list                         the table's rows
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/testing/specimen_forge.h"

static int WriteAll(const char* path, const std::vector<unsigned char>& bytes) {
  FILE* file = std::fopen(path, "wb");
  if (!file) return 0;
  size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
  return std::fclose(file) == 0 && written == bytes.size();
}

static int ReadAll(const char* path, std::vector<unsigned char>* bytes) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return 0;
  unsigned char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
  std::fclose(file);
  return 1;
}

static const SignatureRecord* Row(const char* text) {
  char* end = nullptr;
  unsigned long index = std::strtoul(text, &end, 10);
  if (!end || *end || index >= kSignatureCount) return nullptr;
  return &kSignatureTable[index];
}

int main(int argc, char** argv) {
  std::vector<unsigned char> bytes;
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (uint32_t i = 0; i < kSignatureCount; ++i)
      std::printf("%u\t%s\t%u\n", i, kSignatureTable[i].detectionName, kSignatureTable[i].fileSize);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "--pad") == 0) {
    const SignatureRecord* row = Row(argv[2]);
    std::vector<unsigned char> image;
    if (!row || !ReadAll(argv[3], &image)) return 2;
    SpecimenRequest request{row->fileSize, row->weightedSum, row->headSum, image.data(),
                            static_cast<uint32_t>(image.size()), 1};
    if (!ForgeSpecimen(request, &bytes) || !WriteAll(argv[4], bytes)) return 1;
    return 0;
  }
  bool decoy = argc >= 2 && std::strcmp(argv[1], "--decoy") == 0;
  int at = decoy ? 2 : 1;
  if (argc < at + 2 || argc > at + 3) {
    std::fprintf(stderr, "usage: forge-specimen [--decoy] ROW OUTFILE [SEED] | --pad ROW IN OUT | --list\n");
    return 2;
  }
  const SignatureRecord* row = Row(argv[at]);
  uint32_t seed = argc == at + 3 ? static_cast<uint32_t>(std::strtoul(argv[at + 2], nullptr, 10)) : 1;
  if (!row) return 2;
  int ok = decoy ? ForgeDecoyForRow(*row, seed, &bytes) : ForgeSpecimenForRow(*row, seed, &bytes);
  if (!ok || !WriteAll(argv[at + 1], bytes)) return 1;
  return 0;
}
