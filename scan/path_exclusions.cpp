// --exclude's globs (see path_exclusions.h).
#include "scan/path_exclusions.h"

#include <cstring>

namespace {

int IsSeparator(char c) { return c == '/' || c == '\\'; }

char Fold(char c, int foldCase) {
  if (IsSeparator(c)) return '/';
  return foldCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A set "[...]" at `pattern` (just after '['): whether `c` is in it, and
// where the pattern goes on. Null when the set is not closed.
const char* MatchSet(const char* pattern, char c, int foldCase, int* in) {
  int negate = *pattern == '!' || *pattern == '^';
  if (negate) ++pattern;
  int found = 0;
  const char* p = pattern;
  if (!*p) return nullptr;
  // A ']' first is a member.
  do {
    char low = Fold(*p, foldCase);
    char high = low;
    if (p[1] == '-' && p[2] && p[2] != ']') {
      high = Fold(p[2], foldCase);
      p += 2;
    }
    if (c >= low && c <= high) found = 1;
    ++p;
  } while (*p && *p != ']');
  if (*p != ']') return nullptr;
  *in = found != negate;
  return p + 1;
}

// GlobMatches on the text before `end`.
int GlobMatchesRange(const char* pattern, const char* text, const char* end, int foldCase) {
  // Iterative with one backtrack point: the last '*' and where it began to match.
  const char* starPattern = nullptr;
  const char* starText = nullptr;
  while (text < end) {
    char c = Fold(*text, foldCase);
    if (*pattern == '*') {
      while (*pattern == '*') ++pattern;
      if (!*pattern) return 1;
      starPattern = pattern;
      starText = text;
      continue;
    }
    const char* next = nullptr;
    if (*pattern == '?') {
      next = pattern + 1;
    } else if (*pattern == '[') {
      int in = 0;
      const char* after = MatchSet(pattern + 1, c, foldCase, &in);
      if (!after) {
        next = c == '[' ? pattern + 1 : nullptr;  // an unclosed '[' is itself
      } else if (in) {
        next = after;
      }
    } else if (*pattern && Fold(*pattern, foldCase) == c) {
      next = pattern + 1;
    }
    if (next) {
      pattern = next;
      ++text;
    } else if (starPattern) {
      pattern = starPattern;
      text = ++starText;
    } else {
      return 0;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == 0;
}

// `pattern` matches `path` whole or one of the folders it starts with, so
// that a folder's name leaves out its tree. A pattern that ends in a
// separator is matched against folders with their separator ("Games/"), so
// it matches folders only.
int MatchesPathOrFolder(const char* pattern, const char* path, int foldCase) {
  size_t length = std::strlen(pattern);
  int foldersOnly = length > 0 && IsSeparator(pattern[length - 1]);
  const char* end = path + std::strlen(path);
  if (!foldersOnly && GlobMatchesRange(pattern, path, end, foldCase)) return 1;
  for (const char* at = path + 1; at < end; ++at) {
    if (!IsSeparator(*at) || IsSeparator(at[-1])) continue;
    if (GlobMatchesRange(pattern, path, at + foldersOnly, foldCase)) return 1;
  }
  return 0;
}

}  // namespace

int GlobMatches(const char* pattern, const char* text, int foldCase) {
  return GlobMatchesRange(pattern, text, text + std::strlen(text), foldCase);
}

int IsExcludedPath(const PathExclusions& x, const char* path) {
  if (!x.patternCount) return 0;
  // Below the longest root that holds the path.
  const char* relative = nullptr;
  size_t best = 0;
  for (uint32_t i = 0; i < x.rootCount; ++i) {
    size_t n = std::strlen(x.roots[i]);
    while (n > 1 && IsSeparator(x.roots[i][n - 1])) --n;
    if (n < best || std::strncmp(path, x.roots[i], n) != 0) continue;
    if (path[n] == 0 || IsSeparator(path[n]) || IsSeparator(x.roots[i][n - 1])) {
      best = n;
      relative = path + n;
    }
  }
  if (!relative) {
    // After the drive: "C:\..." on a live system, "IMAGE:C:\..." in a disk
    // image's rows.
    relative = path;
    for (const char* at = path; *at; ++at) {
      if (at != path && at[-1] != ':') continue;
      if (((at[0] | 0x20) >= 'a' && (at[0] | 0x20) <= 'z') && at[1] == ':' && (at[2] == 0 || IsSeparator(at[2]))) {
        relative = at + 2;
        break;
      }
    }
    // A drive of an image without a letter: "IMAGE:partition 2:\...".
    const char* unlettered = relative == path ? std::strstr(path, ":\\") : nullptr;
    if (unlettered) relative = unlettered + 1;
  }
  while (IsSeparator(*relative)) ++relative;
  for (uint32_t i = 0; i < x.patternCount; ++i) {
    const char* pattern = x.patterns[i];
    int matched = 0;
    if (IsSeparator(*pattern)) {
      while (IsSeparator(*pattern)) ++pattern;
      matched = MatchesPathOrFolder(pattern, relative, x.foldCase);
    } else {
      for (const char* tail = relative; *tail && !matched;) {
        matched = MatchesPathOrFolder(pattern, tail, x.foldCase);
        while (*tail && !IsSeparator(*tail)) ++tail;
        while (IsSeparator(*tail)) ++tail;
      }
    }
    if (!matched) continue;
    if (x.hits) x.hits[i] += 1;
    return 1;
  }
  return 0;
}
