// Builds profile hives for tests: the empty hive of minimal_hive.h, filled
// through libhivex with Run values and Environment variables. POSIX.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct TestHiveValue {
  std::string name;
  uint32_t type;      // 1 REG_SZ, 2 REG_EXPAND_SZ, 3 REG_BINARY, 4 REG_DWORD
  std::string data;   // string types: UTF-8 text (stored as UTF-16LE); others: raw bytes
};

// A key to create (its path below the root, parts in order) and its values.
struct TestHiveKey {
  std::vector<std::string> path;
  std::vector<TestHiveValue> values;
};

// Writes `path`: the empty hive with `keys` added. 1 on success.
int WriteTestHive(const std::string& path, const std::vector<TestHiveKey>& keys);

// Writes `path`: an NTUSER.DAT with Software\Microsoft\Windows\CurrentVersion\Run
// holding `run` and Environment holding `environment`. 1 on success.
int WriteProfileHive(const std::string& path, const std::vector<TestHiveValue>& run,
                     const std::vector<TestHiveValue>& environment);

// Writes `path`: a Windows XP SOFTWARE hive (its CurrentVersion, as
// inspection looks for it) whose machine Run key holds `run`.
int WriteXpSoftwareHive(const std::string& path, const std::vector<TestHiveValue>& run);

// Every line of `reglookup` for the hive (the second reader), or "" when it failed.
std::string ReglookupOf(const std::string& path);
