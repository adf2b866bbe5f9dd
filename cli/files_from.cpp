// The PATHs of --files-from (see files_from.h).
#include "cli/files_from.h"

#include <cstdlib>
#include <cstring>

int ReadPathList(FILE* in, int nulSeparated, const char* const* first, uint32_t firstCount, PathList* list,
                 const char** why) {
  *list = PathList{};
  size_t used = 0, capacity = 4096;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  int ok = buffer != nullptr;
  while (ok) {
    if (used + 1 >= capacity) {
      char* grown = static_cast<char*>(std::realloc(buffer, capacity * 2));
      if (!grown) {
        ok = 0;
        break;
      }
      buffer = grown;
      capacity *= 2;
    }
    size_t n = std::fread(buffer + used, 1, capacity - used - 1, in);
    used += n;
    if (n == 0) {
      ok = !std::ferror(in);
      break;
    }
  }
  if (!ok) {
    std::free(buffer);
    *why = "could not be read whole";
    return 0;
  }
  buffer[used] = 0;
  const char separator = nulSeparated ? '\0' : '\n';
  // A NUL in a list of lines would cut its entry and another path would be
  // scanned: such a list is refused, whatever else it holds.
  if (!nulSeparated && std::memchr(buffer, 0, used)) {
    std::free(buffer);
    *why = "holds a NUL byte: a list of lines holds none (-0 reads a NUL-separated list)";
    return 0;
  }
  size_t count = firstCount;
  for (size_t i = 0; i < used; ++i) count += buffer[i] == separator;
  const char** paths = count < UINT32_MAX ? static_cast<const char**>(std::malloc((count + 1) * sizeof *paths)) : nullptr;
  if (!paths) {
    std::free(buffer);
    *why = "no memory for its list";
    return 0;
  }
  size_t listed = 0;
  for (uint32_t i = 0; i < firstCount; ++i) paths[listed++] = first[i];
  for (size_t start = 0; start < used;) {
    size_t end = start;
    while (end < used && buffer[end] != separator) ++end;
    buffer[end] = 0;
    if (!nulSeparated && end > start && buffer[end - 1] == '\r') buffer[end - 1] = 0;
    if (buffer[start]) paths[listed++] = buffer + start;
    start = end + 1;
  }
  list->text = buffer;
  list->paths = paths;
  list->count = static_cast<uint32_t>(listed);
  return 1;
}

void FreePathList(PathList* list) {
  std::free(list->paths);
  std::free(list->text);
  *list = PathList{};
}
