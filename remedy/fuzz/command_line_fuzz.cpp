// libFuzzer target for the Run-key command-line test and its expansion.
// Input: one flag byte, then newline-separated fields: the command line, the
// file path, and any number of NAME=VALUE environment entries.
// Flags: 1 the last-error code starts as "not found"; 2 Shift-JIS lead
// bytes; 4 the lookup copies raw bytes without a terminator.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remedy/command_line.h"

namespace {

struct Environment {
  std::vector<std::string> names;
  std::vector<std::string> values;
  uint32_t lastError;
  bool raw;
};

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

uint32_t Lookup(void* context, const char* name, char* value, uint32_t capacity, uint32_t* lastError) {
  auto* environment = static_cast<Environment*>(context);
  size_t nameLength = strlen(name);
  for (size_t i = 0; i < environment->names.size(); ++i) {
    const std::string& candidate = environment->names[i];
    if (candidate.size() != nameLength) continue;
    bool same = true;
    for (size_t k = 0; k < nameLength && same; ++k) same = Upper(candidate[k]) == Upper(name[k]);
    if (!same) continue;
    const std::string& found = environment->values[i];
    uint32_t length = static_cast<uint32_t>(found.size());
    *lastError = environment->lastError;
    if (environment->raw) {
      memcpy(value, found.data(), length < capacity ? length : capacity);
      return length;
    }
    if (length >= capacity) return length + 1;
    memcpy(value, found.c_str(), length + 1);
    return length;
  }
  environment->lastError = kErrorEnvVarNotFound;
  *lastError = environment->lastError;
  return 0;
}

int ShiftJisLeadByte(void*, unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t flags = data[0];
  std::vector<std::string> fields(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == '\n')
      fields.emplace_back();
    else
      fields.back().push_back(static_cast<char>(data[i]));
  }
  fields.resize(fields.size() < 2 ? 2 : fields.size());

  Environment environment;
  environment.lastError = (flags & 1) ? kErrorEnvVarNotFound : 0;
  environment.raw = (flags & 4) != 0;
  for (size_t i = 2; i < fields.size(); ++i) {
    size_t equals = fields[i].find('=');
    if (equals == std::string::npos) continue;
    environment.names.push_back(fields[i].substr(0, equals));
    environment.values.push_back(fields[i].substr(equals + 1));
  }
  CommandLineHost host = {Lookup, (flags & 2) ? ShiftJisLeadByte : nullptr, &environment};

  // Exact-size heap copies, so a read past either text is caught.
  const std::string& line = fields[0];
  const std::string& path = fields[1];
  char* lineCopy = static_cast<char*>(malloc(line.size() + 1));
  char* pathCopy = static_cast<char*>(malloc(path.size() + 1));
  memcpy(lineCopy, line.c_str(), line.size() + 1);
  memcpy(pathCopy, path.c_str(), path.size() + 1);

  uint32_t startError = environment.lastError;
  int first = CommandLineRefersTo(lineCopy, pathCopy, &host);
  environment.lastError = startError;
  int second = CommandLineRefersTo(lineCopy, pathCopy, &host);
  if (first != 0 && first != 1) abort();
  if (first != second) abort();
  if (memcmp(lineCopy, line.c_str(), line.size() + 1) != 0 || memcmp(pathCopy, path.c_str(), path.size() + 1) != 0)
    abort();
  free(lineCopy);
  free(pathCopy);

  // The expansion alone: bounded in replacements and in length.
  std::vector<char> text(kCommandTextCapacity, 0);
  size_t copied = line.size() < kCommandTextCapacity - 1 ? line.size() : kCommandTextCapacity - 1;
  memcpy(text.data(), line.data(), copied);
  environment.lastError = startError;
  uint32_t replaced = ExpandEnvironmentReferences(text.data(), &host);
  if (replaced > kMaxExpansions) abort();
  if (strnlen(text.data(), kCommandTextCapacity) > kCommandTextCapacity - 1) abort();
  return 0;
}
