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
      // A folder's name leaves out its tree; a trailing separator: folders only.
      {"WINDOWS", "/mnt/c/WINDOWS/system32/a.exe", 0, 1},
      {"windows", "/mnt/c/WINDOWS/system32/a.exe", 1, 1},
      {"system32", "/mnt/c/WINDOWS/system32x/a.exe", 0, 0},
      {"/Documents and Settings/bob", "/mnt/c/Documents and Settings/bob/Desktop/a.exe", 0, 1},
      {"/Documents and Settings/bob", "/mnt/c/Documents and Settings/bobby/a.exe", 0, 0},
      {"/Documents and Settings/bob", "/mnt/c/x/Documents and Settings/bob/a.exe", 0, 0},
      {"Games/", "/mnt/c/Program Files/Games/x/y.exe", 0, 1},
      {"Games/", "/mnt/c/Program Files/Games", 0, 0},
      {"Games\\", "D:\\q\\Games\\y.exe", 1, 1},
      {"*.VBS", "C:\\a\\update.vbs", 1, 1},
      {"*.VBS", "/vm/a.qcow2:C:\\a\\update.vbs", 1, 1},
  };
  const char* const roots[] = {"/mnt/c/", "D:\\q"};
  for (const Case& c : cases) {
    const char* const patterns[] = {c.pattern};
    PathExclusions x{patterns, 1, roots, 2, c.foldCase, nullptr};
    EXPECT_EQ(c.excluded, IsExcludedPath(x, c.path)) << c.pattern << " on " << c.path;
  }
  // A path under no root: after its drive or leading separators.
  const char* const patterns[] = {"/Windows/*"};
  PathExclusions x{patterns, 1, nullptr, 0, 1, nullptr};
  EXPECT_EQ(1, IsExcludedPath(x, "C:\\WINDOWS\\Temp\\a.exe"));
  EXPECT_EQ(0, IsExcludedPath(x, "C:\\Users\\Windows\\a.exe"));
  // A disk image's row: after the drive that follows the image's name.
  EXPECT_EQ(1, IsExcludedPath(x, "/vm/pc17.qcow2:C:\\WINDOWS\\Temp\\a.exe"));
  EXPECT_EQ(0, IsExcludedPath(x, "/vm/Windows/pc17.qcow2:D:\\a.exe"));
  EXPECT_EQ(1, IsExcludedPath(x, "/vm/pc17.qcow2:partition 2:\\Windows\\a.exe"));
  EXPECT_EQ(0, IsExcludedPath(x, "/vm/pc17.qcow2:partition 2:\\x\\Windows\\a.exe"));
  PathExclusions none{nullptr, 0, nullptr, 0, 0, nullptr};
  EXPECT_EQ(0, IsExcludedPath(none, "/a"));
}

// Each pattern counts what it left out, so that one that matched nothing
// can be told; a path is counted once, by the first pattern that takes it.
TEST(PathExclusions, CountsHitsPerPattern) {
  const char* const patterns[] = {"*.tmp", "Temp/", "nothing-here"};
  const char* const roots[] = {"/mnt/c"};
  uint32_t hits[3] = {};
  PathExclusions x{patterns, 3, roots, 1, 0, hits};
  for (const char* path : {"/mnt/c/a.tmp", "/mnt/c/Temp/b.tmp", "/mnt/c/Temp/c.exe", "/mnt/c/d.exe"})
    IsExcludedPath(x, path);
  EXPECT_EQ(2u, hits[0]);
  EXPECT_EQ(1u, hits[1]);
  EXPECT_EQ(0u, hits[2]);
}

}  // namespace
