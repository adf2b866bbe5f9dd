// --exclude: which paths of a walk are not examined. A pattern is a glob on
// the path below the scan's root: `*` matches any run of characters (the
// separator too, so "cache/*" leaves out a whole tree), `?` one character,
// `[...]` one of a set ("[!...]" none of it); '/' and '\' are the same
// separator. A pattern that starts with a separator is anchored at the root;
// any other may match the whole relative path or any tail of it that starts
// after a separator ("*.tmp", "Temp/*"). A pattern that matches a folder
// leaves out that folder's whole tree ("WINDOWS", "/Documents and
// Settings/bob"); one that ends in a separator matches folders only
// ("Games/"). Platform-neutral.
#pragma once
#include <cstdint>

struct PathExclusions {
  const char* const* patterns;
  uint32_t patternCount;
  // The run's roots, to find the path below its root; a path under none of
  // them is taken from after its drive ("C:\", "IMAGE:partition 2:\") or
  // leading separators.
  const char* const* roots;
  uint32_t rootCount;
  int foldCase;  // Windows names: "*.TMP" matches "a.tmp"
  // Per pattern, how many paths it left out (null: not counted), so that a
  // pattern that matched nothing can be told.
  uint32_t* hits;
};

// 1 when `text` is matched whole by `pattern`.
int GlobMatches(const char* pattern, const char* text, int foldCase);

// 1 when `path` (root included, as the walk gives it) is excluded.
int IsExcludedPath(const PathExclusions& exclusions, const char* path);
