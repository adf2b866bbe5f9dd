// PATHs compared by their words (see path_roots.h).
#include "cli/path_roots.h"

#include <cstring>

namespace {

// '\' separates only on Windows: on Linux it is part of a name.
int IsPathSeparator(char c, int windows) { return c == '/' || (windows && c == '\\'); }

}  // namespace

int IsSameOrBelow(const char* path, const char* root, int foldCase, int windows) {
  size_t n = std::strlen(root);
  while (n > 0 && IsPathSeparator(root[n - 1], windows)) --n;
  for (size_t i = 0; i < n; ++i) {
    char a = path[i], b = root[i];
    if (foldCase && a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (foldCase && b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (IsPathSeparator(a, windows) && IsPathSeparator(b, windows)) continue;
    if (a != b || !a) return 0;
  }
  const char* rest = path + n;
  while (IsPathSeparator(*rest, windows)) ++rest;
  if (*rest && rest == path + n && n != 0) return 0;
  for (const char* part = rest; *part;) {
    size_t length = 0;
    while (part[length] && !IsPathSeparator(part[length], windows)) ++length;
    if (length == 2 && part[0] == '.' && part[1] == '.') return 0;
    part += length;
    while (IsPathSeparator(*part, windows)) ++part;
  }
  return 1;
}

uint32_t DropRepeatedPaths(const char** paths, uint32_t count, int foldCase, int windows) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    int repeated = 0;
    for (uint32_t j = 0; j < count && !repeated; ++j) {
      if (j == i || !IsSameOrBelow(paths[i], paths[j], foldCase, windows)) continue;
      // Equal both ways: the earlier one stays.
      repeated = !IsSameOrBelow(paths[j], paths[i], foldCase, windows) || j < i;
    }
    if (!repeated) paths[kept++] = paths[i];
  }
  return kept;
}

