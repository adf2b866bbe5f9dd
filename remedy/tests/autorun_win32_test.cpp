// Run-key cleanup under Wine, against the real HKEY_CURRENT_USER Run key:
// its values are saved before each test and put back afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "remedy/autorun_win32.h"
#include "tests/support/win_files_win32.h"

namespace {

const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kScratchKey[] = "Software\\QxRemedyTest";

struct SavedValue {
  std::wstring name;
  DWORD type;
  std::vector<BYTE> data;
};

std::vector<SavedValue> ReadAllValues(HKEY key) {
  std::vector<SavedValue> values;
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                   nullptr);
  std::vector<wchar_t> name(maxName + 2);
  std::vector<BYTE> data(maxData + 2);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueW(key, index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS) break;
    values.push_back({std::wstring(name.data(), nameSize), type, std::vector<BYTE>(data.begin(), data.begin() + dataSize)});
  }
  return values;
}

void DeleteAllValues(HKEY key) {
  for (const SavedValue& value : ReadAllValues(key)) RegDeleteValueW(key, value.name.c_str());
}

std::vector<std::string> EnumeratedNames(HKEY root, const char* subkey) {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    char name[1024];
    DWORD nameSize = sizeof name;
    if (RegEnumValueA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, nameSize);
  }
  RegCloseKey(key);
  return names;
}

bool KeyExists(HKEY root, const char* subkey) {
  HKEY key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::string SystemRootPath(const char* rest) {
  char root[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("SystemRoot", root, sizeof root);
  return std::string(root, n < sizeof root ? n : 0) + rest;
}

std::vector<BYTE> Bytes(const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); }
std::vector<BYTE> Text(const std::string& text) { return std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1); }

// Text of `total` bytes, terminator included, opening with `head`.
std::vector<BYTE> PaddedText(const std::string& head, size_t total) {
  std::string text = head + std::string(total - 1 - head.size(), 'p');
  return Text(text);
}

class RunKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, kRun, &run_));
    saved_ = ReadAllValues(run_);
    DeleteAllValues(run_);
    RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(kScratchKey) + "\\Missing").c_str());
  }
  void TearDown() override {
    if (run_) RegCloseKey(run_);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, kRun, &run_));
    DeleteAllValues(run_);
    for (const SavedValue& value : saved_)
      RegSetValueExW(run_, value.name.c_str(), 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
    EXPECT_EQ(saved_.size(), ReadAllValues(run_).size());
    RegCloseKey(run_);
    RegDeleteKeyA(HKEY_CURRENT_USER, kScratchKey);
  }
  void Set(const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(run_, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                            static_cast<DWORD>(data.size())))
        << name;
  }
  bool Has(const std::string& name) {
    return RegQueryValueExA(run_, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  HKEY run_ = nullptr;
  std::vector<SavedValue> saved_;
};

TEST_F(RunKeyTest, EveryReferringValueIsDeletedAndNoOther) {
  const std::string path = SystemRootPath("\\system32\\worm.exe");
  const std::string name259 = "a13" + std::string(256, 'n');
  const std::string name300 = "a14" + std::string(297, 'n');
  const std::string longName = "a15" + std::string(297, 'l');
  struct Row {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
    bool deleted;
  };
  // Names sort in the order of creation, so every enumeration order Wine or
  // Windows uses puts the rows in this order.
  const std::vector<Row> rows = {
      {"a01-quoted", REG_SZ, Text("\"" + path + "\" /s"), true},
      {"a02-adjacent", REG_SZ, Text("worm -q"), true},
      {"a03-argument", REG_SZ, Text("notepad.exe " + path), false},
      {"a04-longer", REG_SZ, Text("xxxxy.exe"), false},
      // Stored without a terminator after a longer value: only its own bytes count.
      {"a05-binary", REG_BINARY, Bytes("worm"), true},
      {"a06-dword", REG_DWORD, Bytes("worm"), true},
      {"a07-dword-number", REG_DWORD, {1, 0, 0, 0}, false},
      {"a08-multi", REG_MULTI_SZ, Bytes(std::string("worm.exe\0\0", 10)), true},
      {"a09-multi-later", REG_MULTI_SZ, Bytes(std::string("notepad\0worm.exe\0\0", 18)), false},
      {"a10-empty", REG_SZ, {}, false},
      {"a11-none", REG_NONE, {}, false},
      {"a12-data259", REG_SZ, PaddedText("worm.exe ", 259), true},
      {"a12-data261", REG_SZ, PaddedText("worm.exe ", 261), true},
      {"a12-data261-other", REG_SZ, PaddedText("notepad ", 261), false},
      {name259, REG_SZ, Text("worm.exe"), true},
      {name300, REG_SZ, Text("worm"), true},
      // A long value that refers to nothing must not shield the next one.
      {longName, REG_EXPAND_SZ, PaddedText("notepad ", 400), false},
      {"a16-after-long", REG_SZ, Text("C:/WINDOWS/system32/WORM.EXE"), true},
      {"a17-unset-variable", REG_SZ, Text("%NoSuchVariable%\\worm.exe"), false},
      // Found after a lookup that failed: the earlier "not found" must not linger.
      {"a18-systemroot", REG_EXPAND_SZ, Text("%SystemRoot%\\system32\\worm.exe"), true},
      {"a19-last", REG_SZ, Text("worm.exe"), true},
  };
  std::vector<std::string> created;
  for (const Row& row : rows) {
    Set(row.name, row.type, row.data);
    created.push_back(row.name);
  }
  ASSERT_EQ(created, EnumeratedNames(HKEY_CURRENT_USER, kRun)) << "the rows are not enumerated in their order";

  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  for (const Row& row : rows) EXPECT_EQ(!row.deleted, Has(row.name)) << row.name.substr(0, 24);
}

TEST_F(RunKeyTest, AdjacentReferringValuesAreAllDeleted) {
  const std::string path = SystemRootPath("\\system32\\worm.exe");
  for (const char* name : {"b1", "b2", "b3", "b4"}) Set(name, REG_SZ, Text("worm.exe /run"));
  Set("b5", REG_SZ, Text("notepad.exe"));
  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  EXPECT_EQ(std::vector<std::string>{"b5"}, EnumeratedNames(HKEY_CURRENT_USER, kRun));
}

TEST_F(RunKeyTest, MissingKeyChangesNothing) {
  const std::string path = SystemRootPath("\\system32\\worm.exe");
  std::string missing = std::string(kScratchKey) + "\\Missing";
  EXPECT_EQ(1, DeleteReferringValues(HKEY_CURRENT_USER, missing.c_str(), path.c_str()));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, missing.c_str()));

  // The Run key itself gone (it has no subkeys in a test prefix).
  RegCloseKey(run_);
  run_ = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, kRun));
  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kRun));
}

TEST_F(RunKeyTest, DeleteRegistryValueReportsWhatHappened) {
  Set("c1", REG_SZ, Text("worm.exe"));
  EXPECT_EQ(1, DeleteRegistryValue(HKEY_CURRENT_USER, kRun, "c1"));
  EXPECT_FALSE(Has("c1"));
  EXPECT_EQ(0, DeleteRegistryValue(HKEY_CURRENT_USER, kRun, "c1"));
  EXPECT_EQ(0, DeleteRegistryValue(HKEY_CURRENT_USER, "Software\\QxRemedyTest\\Missing", "c1"));
}

// Values the sweep deletes go to QuellixRemover-restore.reg in the folder
// %TEMP% names, here a scratch folder of the test's own.
class RestoreFileTest : public RunKeyTest {
 protected:
  void SetUp() override {
    RunKeyTest::SetUp();
    char saved[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("TEMP", saved, sizeof saved);
    savedTemp_ = std::string(saved, n < sizeof saved ? n : 0);
    scratch_ = new qxtest::ScratchDir("restore");
    SetEnvironmentVariableA("TEMP", scratch_->path().c_str());
    BeginAutorunRestoreSection();
  }
  void TearDown() override {
    SetEnvironmentVariableA("TEMP", savedTemp_.c_str());
    delete scratch_;
    RunKeyTest::TearDown();
  }
  std::string RestoreFile() { return scratch_->Sub("QuellixRemover-restore.reg"); }
  std::string RestoreText() {
    std::vector<unsigned char> bytes;
    if (!qxtest::ReadBytes(RestoreFile(), &bytes)) return "";
    return std::string(bytes.begin(), bytes.end());
  }
  struct Value {
    DWORD type;
    std::vector<BYTE> data;
  };
  bool Read(const std::string& name, Value* value) {
    DWORD size = 0;
    if (RegQueryValueExA(run_, name.c_str(), nullptr, &value->type, nullptr, &size) != ERROR_SUCCESS) return false;
    value->data.assign(size, 0);
    return RegQueryValueExA(run_, name.c_str(), nullptr, &value->type, value->data.data(), &size) == ERROR_SUCCESS;
  }

  qxtest::ScratchDir* scratch_ = nullptr;
  std::string savedTemp_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Imports a .reg file with the prefix's own regedit, silently.
bool ImportWithRegedit(const std::string& file) {
  std::string line = "regedit.exe /s \"" + file + "\"";
  std::vector<char> text(line.begin(), line.end());
  text.push_back(0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended;
}

TEST_F(RestoreFileTest, DeletedValuesComeBackExactlyByImportingTheRestoreFile) {
  const std::string path = SystemRootPath("\\system32\\worm.exe");
  struct Row {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const std::vector<Row> rows = {
      {"e1 plain", REG_SZ, Text("worm.exe /s")},
      {"e2 \"quoted\" \\name", REG_SZ, Text("\"" + path + "\" -x \"a\\b\"")},
      {"e3-expand", REG_EXPAND_SZ, Text("%SystemRoot%\\system32\\worm.exe")},
      {"e4-binary", REG_BINARY, Bytes("worm")},
      {"e5-dword", REG_DWORD, Bytes("worm")},
      {"e6-multi", REG_MULTI_SZ, Bytes(std::string("worm.exe\0-x\0\0", 13))},
      {"e7-long", REG_SZ, PaddedText("worm.exe ", 400)},
      {"e8-no-terminator", REG_SZ, Bytes("worm -q")},
  };
  for (const Row& row : rows) Set(row.name, row.type, row.data);
  Set("keep", REG_SZ, Text("notepad.exe"));
  std::vector<Value> before(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) ASSERT_TRUE(Read(rows[i].name, &before[i])) << rows[i].name;

  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  for (const Row& row : rows) EXPECT_FALSE(Has(row.name)) << row.name;
  EXPECT_TRUE(Has("keep"));

  // The next run adds a section of its own; the header stays the file's first line only.
  BeginAutorunRestoreSection();
  Set("e9-next-run", REG_SZ, Text("WORM"));
  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  EXPECT_FALSE(Has("e9-next-run"));

  std::string text = RestoreText();
  printf("%s", text.c_str());
  EXPECT_EQ(0u, text.find("REGEDIT4\r\n"));
  EXPECT_EQ(1u, Count(text, "REGEDIT4"));
  EXPECT_EQ(2u, Count(text, "\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"));
  EXPECT_EQ(2u, Count(text, "\r\n; "));

  ASSERT_TRUE(ImportWithRegedit(RestoreFile()));
  for (size_t i = 0; i < rows.size(); ++i) {
    Value after;
    ASSERT_TRUE(Read(rows[i].name, &after)) << rows[i].name << " did not come back";
    EXPECT_EQ(before[i].type, after.type) << rows[i].name;
    EXPECT_EQ(before[i].data, after.data) << rows[i].name;
  }
  Value next;
  ASSERT_TRUE(Read("e9-next-run", &next));
  EXPECT_EQ(Text("WORM"), next.data);
}

TEST_F(RestoreFileTest, ValueThatCannotBeKeptIsNotDeleted) {
  const std::string path = SystemRootPath("\\system32\\worm.exe");
  Set("f1", REG_SZ, Text("worm.exe"));
  SetEnvironmentVariableA("TEMP", (scratch_->path() + "no such folder").c_str());
  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  EXPECT_TRUE(Has("f1"));
  SetEnvironmentVariableA("TEMP", nullptr);
  EXPECT_EQ(1, CleanAutorun(path.c_str()));
  EXPECT_TRUE(Has("f1"));
}

TEST(ProcessCommandLineHost, VariableIsFoundWhateverTheLastErrorWas) {
  CommandLineHost host = ProcessCommandLineHost();
  const std::string path = SystemRootPath("\\system32\\worm.exe");
  SetLastError(ERROR_ENVVAR_NOT_FOUND);
  EXPECT_EQ(1, CommandLineRefersTo("%SystemRoot%\\system32\\worm.exe", path.c_str(), &host));
  EXPECT_EQ(0, CommandLineRefersTo("%NoSuchVariable%\\worm.exe", path.c_str(), &host));
  EXPECT_EQ(1, CommandLineRefersTo("%systemroot%system32\\WORM", path.c_str(), &host));
}

}  // namespace
