// An earlier run's JSON Lines read back (see earlier_runs.h).
#include "cli/earlier_runs.h"

#include <cstdlib>
#include <cstring>

#include "remedy/json_lines.h"

namespace {

enum : size_t {
  // Larger than the record of any run over a real disk; refused rather than read.
  kMaxRecordBytes = 256u * 1024 * 1024,
};

int Say(char* why, size_t capacity, const char* text) {
  std::snprintf(why, capacity, "%s", text);
  return 0;
}

// The whole file, terminated. Null when it cannot be read or is too large.
char* ReadWhole(FILE* in, size_t* used) {
  size_t capacity = 65536;
  *used = 0;
  char* text = static_cast<char*>(std::malloc(capacity));
  while (text) {
    if (*used + 1 >= capacity) {
      char* grown = capacity < kMaxRecordBytes ? static_cast<char*>(std::realloc(text, capacity * 2)) : nullptr;
      if (!grown) break;
      text = grown;
      capacity *= 2;
    }
    size_t n = std::fread(text + *used, 1, capacity - *used - 1, in);
    *used += n;
    if (n == 0) {
      if (std::ferror(in)) break;
      text[*used] = 0;
      return text;
    }
  }
  std::free(text);
  return nullptr;
}

int AddPath(EarlierRun* run, const char* path, size_t length) {
  for (uint32_t i = 0; i < run->count; ++i)
    if (std::strcmp(run->paths[i], path) == 0) return 1;
  if ((run->count & (run->count - 1)) == 0) {  // 0, 1, 2, 4...: grow
    size_t capacity = run->count ? run->count * 2u : 1u;
    void* grown = std::realloc(run->paths, capacity * sizeof *run->paths);
    if (!grown) return 0;
    run->paths = static_cast<char**>(grown);
  }
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (!copy) return 0;
  std::memcpy(copy, path, length + 1);
  run->paths[run->count++] = copy;
  return 1;
}

int IsWord(const char* line, const char* key, const char* word) {
  char value[32];
  return FindJsonString(line, key, value, sizeof value) && std::strcmp(value, word) == 0;
}

// A row or intent of something the run took away.
int TookAway(const char* line) {
  if (IsWord(line, "type", "intent")) return 1;
  return IsWord(line, "type", "detection") &&
         (IsWord(line, "action", "removed") || IsWord(line, "action", "removed_at_restart") ||
          IsWord(line, "action", "quarantined"));
}

}  // namespace

int ReadEarlierRun(FILE* in, EarlierRun* run, char* why, size_t capacity) {
  *run = EarlierRun{};
  size_t used = 0;
  char* text = ReadWhole(in, &used);
  if (!text) return Say(why, capacity, "cannot be read whole");
  if (std::memchr(text, 0, used)) {
    std::free(text);
    return Say(why, capacity, "holds a NUL byte: it is no JSON Lines file");
  }
  int ok = 1, first = 1;
  char* path = static_cast<char*>(std::malloc(used + 1));
  if (!path) ok = Say(why, capacity, "no memory to read it");
  for (char* line = text; ok && *line;) {
    char* end = std::strchr(line, '\n');
    if (end) *end = 0;
    if (first) {
      first = 0;
      if (!IsWord(line, "type", "run") || !IsWord(line, "command", "scan") ||
          !(IsWord(line, "tool", "quellix-scan") || IsWord(line, "tool", "quellix-scan.exe")))
        ok = Say(why, capacity, "does not begin with the run record of a scan (give the --json FILE of a run)");
      else if (!IsWord(line, "action", "remove") && !IsWord(line, "action", "quarantine"))
        ok = Say(why, capacity, "is the record of a run that took nothing away");
      if (ok && (!FindJsonString(line, "started", run->started, sizeof run->started) ||
                 !FindJsonString(line, "host", run->host, sizeof run->host)))
        ok = Say(why, capacity, "its run record names no start or host");
    } else if (TookAway(line) && FindJsonString(line, "path", path, used + 1) && path[0]) {
      if (!AddPath(run, path, std::strlen(path))) ok = Say(why, capacity, "no memory for its list");
    }
    line = end ? end + 1 : line + std::strlen(line);
  }
  if (ok && first) ok = Say(why, capacity, "is empty");
  std::free(path);
  std::free(text);
  return ok;
}

void FreeEarlierRun(EarlierRun* run) {
  for (uint32_t i = 0; i < run->count; ++i) std::free(run->paths[i]);
  std::free(run->paths);
  *run = EarlierRun{};
}
