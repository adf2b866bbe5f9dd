// PATHs as the console scanners compare them: whether one lies below
// another (by their words, never by asking the file system), and each PATH
// once. Platform-neutral.
#pragma once
#include <cstdint>

// 1 when `path` is `root` or lies below it, by their words (a trailing
// separator aside); a ".." below the root may lead anywhere, so it is not.
// `windows`: '\\' separates too.
int IsSameOrBelow(const char* path, const char* root, int foldCase, int windows);

// Each PATH once: one named twice, or inside another PATH, would be walked
// twice, and a file the first walk removed would be "not examined" in the
// second. The first of equal PATHs stays. Returns how many are left.
uint32_t DropRepeatedPaths(const char** paths, uint32_t count, int foldCase, int windows);
