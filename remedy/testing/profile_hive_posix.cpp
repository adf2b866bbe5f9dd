// Profile hives of the tests (see profile_hive_posix.h).
#include "remedy/testing/profile_hive_posix.h"

#include <hivex.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "remedy/testing/minimal_hive.h"

namespace {

// UTF-8 to UTF-16LE with the terminator, as Windows stores string values.
std::string Utf16(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0) { cp = c & 7; n = 4; }
    else if (c >= 0xE0) { cp = c & 15; n = 3; }
    else if (c >= 0xC0) { cp = c & 31; n = 2; }
    for (size_t k = 1; k < n && i + k < text.size(); ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
    i += n;
    auto put = [&out](uint32_t unit) {
      out.push_back(static_cast<char>(unit & 0xFF));
      out.push_back(static_cast<char>(unit >> 8));
    };
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  out.append(2, '\0');
  return out;
}

int SetValues(hive_h* hive, hive_node_h node, const std::vector<TestHiveValue>& values) {
  std::vector<std::string> stored;
  stored.reserve(values.size());
  std::vector<hive_set_value> set;
  for (const TestHiveValue& v : values) {
    stored.push_back(v.type == 1 || v.type == 2 ? Utf16(v.data) : v.data);
    set.push_back(hive_set_value{const_cast<char*>(v.name.c_str()), static_cast<hive_type>(v.type),
                                 stored.back().size(), const_cast<char*>(stored.back().data())});
  }
  return hivex_node_set_values(hive, node, set.size(), set.data(), 0) == 0;
}

}  // namespace

int WriteTestHive(const std::string& path, const std::vector<TestHiveKey>& keys) {
  std::vector<unsigned char> empty = MinimalHive("CMI-CreateHive{D43B12B8-09B5-40DB-B4F6-F6DFEB78DAEC}");
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  int ok = fwrite(empty.data(), 1, empty.size(), f) == empty.size();
  ok = fclose(f) == 0 && ok;
  hive_h* hive = ok ? hivex_open(path.c_str(), HIVEX_OPEN_WRITE) : nullptr;
  if (!hive) return 0;
  for (const TestHiveKey& key : keys) {
    hive_node_h node = hivex_root(hive);
    for (const std::string& part : key.path) {
      hive_node_h child = node ? hivex_node_get_child(hive, node, part.c_str()) : 0;
      node = child ? child : node ? hivex_node_add_child(hive, node, part.c_str()) : 0;
    }
    ok = ok && node && SetValues(hive, node, key.values);
  }
  ok = ok && hivex_commit(hive, nullptr, 0) == 0;
  hivex_close(hive);
  return ok;
}

int WriteProfileHive(const std::string& path, const std::vector<TestHiveValue>& run,
                     const std::vector<TestHiveValue>& environment) {
  return WriteTestHive(path, {{{"Software", "Microsoft", "Windows", "CurrentVersion", "Run"}, run},
                              {{"Environment"}, environment}});
}

int WriteXpSoftwareHive(const std::string& path, const std::vector<TestHiveValue>& run) {
  return WriteTestHive(path, {{{"Microsoft", "Windows NT", "CurrentVersion"},
                               {{"ProductName", 1, "Microsoft Windows XP"},
                                {"CurrentVersion", 1, "5.1"},
                                {"SystemRoot", 1, "C:\\WINDOWS"}}},
                              {{"Microsoft", "Windows", "CurrentVersion", "Run"}, run}});
}

std::string ReglookupOf(const std::string& path) {
  std::string command = "reglookup '" + path + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "";
  std::string out;
  char block[4096];
  size_t got;
  while ((got = fread(block, 1, sizeof block, p)) > 0) out.append(block, got);
  return pclose(p) == 0 ? out : "";
}
