// --exclude's globs: the path below the root, any tail, anchoring, sets,
// separators of both systems, and Windows' case.
#include <gtest/gtest.h>

#include "scan/path_exclusions.h"

namespace {

TEST(PathExclusions, GlobsOnThePathBelowTheRoot) {
  struct Case {
    const char* pattern;
    const char* path;
    int foldCase;
    int excluded;
  } cases[] = {
      {"*.tmp", "/mnt/c/a/b.tmp", 0, 1},
      {"*.tmp", "/mnt/c/a/b.tmpx", 0, 0},
      {"*.TMP", "/mnt/c/a/b.tmp", 0, 0},
      {"*.TMP", "C:\\a\\b.tmp", 1, 1},
      {"Temp/*", "/mnt/c/Users/x/Temp/deep/y.exe", 0, 1},  // any tail; '*' crosses separators
      {"Temp/*", "/mnt/c/Users/x/NotTemp/y.exe", 0, 0},    // a tail starts after a separator
      {"/Temp/*", "/mnt/c/Users/Temp/y.exe", 0, 0},        // anchored at the root
      {"/Temp/*", "/mnt/c/Temp/y.exe", 0, 1},
      {"Temp\\*", "D:\\q\\Temp\\y.exe", 1, 1},             // either separator
      {"mnt/*", "/mnt/c/mntx/y", 0, 0},                    // the root's own folders never match
      {"pagefile.sys", "/mnt/c/pagefile.sys", 0, 1},
      {"page?ile.sys", "/mnt/c/pagefile.sys", 0, 1},
      {"[ph]agefile.sys", "/mnt/c/hagefile.sys", 0, 1},
      {"[!ph]agefile.sys", "/mnt/c/hagefile.sys", 0, 0},
      {"[a-c]x", "/mnt/c/bx", 0, 1},
      {"[a-c", "/mnt/c/[a-c", 0, 1},  // an unclosed set is the text itself
      {"a*b*c", "/mnt/c/aXbYbZc", 0, 1},
      {"a*b*c", "/mnt/c/aXbYbZ", 0, 0},
      {"*", "/mnt/c/anything", 0, 1},
  };
  const char* const roots[] = {"/mnt/c/", "D:\\q"};
  for (const Case& c : cases) {
    const char* const patterns[] = {c.pattern};
    PathExclusions x{patterns, 1, roots, 2, c.foldCase};
    EXPECT_EQ(c.excluded, IsExcludedPath(x, c.path)) << c.pattern << " on " << c.path;
  }
  // A path under no root: after its drive or leading separators.
  const char* const patterns[] = {"/Windows/*"};
  PathExclusions x{patterns, 1, nullptr, 0, 1};
  EXPECT_EQ(1, IsExcludedPath(x, "C:\\WINDOWS\\Temp\\a.exe"));
  EXPECT_EQ(0, IsExcludedPath(x, "C:\\Users\\Windows\\a.exe"));
  // A disk image's row: after the drive that follows the image's name.
  EXPECT_EQ(1, IsExcludedPath(x, "/vm/pc17.qcow2:C:\\WINDOWS\\Temp\\a.exe"));
  EXPECT_EQ(0, IsExcludedPath(x, "/vm/Windows/pc17.qcow2:D:\\a.exe"));
  PathExclusions none{nullptr, 0, nullptr, 0, 0};
  EXPECT_EQ(0, IsExcludedPath(none, "/a"));
}

}  // namespace
