// The Run-key command-line test and its environment expansion, with an
// environment that behaves like GetEnvironmentVariableA.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "remedy/command_line.h"

namespace {

struct FakeEnvironment {
  std::vector<std::pair<std::string, std::string>> variables;
  // The thread's last-error code: a successful lookup leaves it as it was.
  uint32_t lastError = 0;
  int lookups = 0;
};

bool SameNameIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

uint32_t FakeLookup(void* context, const char* name, char* value, uint32_t capacity, uint32_t* lastError) {
  auto* environment = static_cast<FakeEnvironment*>(context);
  ++environment->lookups;
  uint32_t result = 0;
  bool found = false;
  for (const auto& variable : environment->variables) {
    if (!SameNameIgnoringCase(variable.first, name)) continue;
    found = true;
    uint32_t length = static_cast<uint32_t>(variable.second.size());
    if (length < capacity) {
      memcpy(value, variable.second.c_str(), length + 1);
      result = length;
    } else {
      result = length + 1;
    }
    break;
  }
  if (!found) environment->lastError = kErrorEnvVarNotFound;
  *lastError = environment->lastError;
  return result;
}

// Shift-JIS lead bytes, for paths whose trail bytes equal "\".
int ShiftJisLeadByte(void*, unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

struct Fixture {
  FakeEnvironment environment;
  CommandLineHost host;
  Fixture() : host{FakeLookup, nullptr, &environment} { environment.variables.push_back({"SystemRoot", "C:\\WINDOWS"}); }
  int RefersTo(const char* commandLine, const char* path) { return CommandLineRefersTo(commandLine, path, &host); }
  std::string Expand(const std::string& input, uint32_t* replaced = nullptr) {
    std::vector<char> text(kCommandTextCapacity, 0);
    memcpy(text.data(), input.c_str(), input.size() + 1);
    uint32_t count = ExpandEnvironmentReferences(text.data(), &host);
    if (replaced) *replaced = count;
    return text.data();
  }
};

const char kWormPath[] = "C:\\WINDOWS\\SYSTEM32\\WORM.EXE";

TEST(CommandLineRefersTo, RunValueTable) {
  struct Row {
    const char* commandLine;
    int refers;
  };
  const Row rows[] = {
      {"\"c:\\windows\\system32\\worm.exe\" /s", 1},
      {"C:/Windows/System32/worm.exe", 1},
      {"worm.exe", 1},
      {"WORM", 1},
      {"worm -q", 1},
      {"worm\\x", 1},
      {"C:\\WINDOWS\\SYSTEM32\\WORM.EXE.OLD", 1},
      {"C:\\WINDOWS\\SYSTEM32\\WORM.EXEC", 1},
      {"C:\\WINDOWS\\SYSTEM32\\WORMY.EXE", 0},
      {"rundll32.exe C:\\WINDOWS\\SYSTEM32\\WORM.EXE", 0},
      {"%SystemRoot%\\system32\\worm.exe", 1},
      {"%SystemRoot%system32\\worm.exe", 1},
      {"%NoSuchVariable%\\worm.exe", 0},
      {"", 0},
      {nullptr, 0},
      {"\"", 0},
      // Further cases around the same rules.
      {"worm.ex", 0},
      {"wormy", 0},
      {"worm\"x", 1},
      {"%systemroot%\\SYSTEM32\\WORM", 1},
      {"%SystemRoot%", 0},
      {"\"\"c:\\windows\\system32\\worm.exe", 0},
  };
  for (const Row& row : rows) {
    Fixture fixture;
    EXPECT_EQ(row.refers, fixture.RefersTo(row.commandLine, kWormPath))
        << "command line: " << (row.commandLine ? row.commandLine : "(null)");
  }
}

// A quoted program names exactly the file between its quotes.
TEST(CommandLineRefersTo, QuotedProgramIsTheFileBetweenTheQuotes) {
  struct Row {
    const char* commandLine;
    const char* path;
    int refers;
  };
  const Row rows[] = {
      {"\"C:\\Program Files\\Vendor\\agent.exe\" -tray", "C:\\Program.exe", 0},
      {"\"C:\\Program Files\\Vendor\\agent.exe\"", "C:\\PROGRAM.EXE", 0},
      {"\"c:\\program.exe\" -tray", "C:\\Program.exe", 1},
      {"\"C:/Program.exe\"", "C:\\Program.exe", 1},
      {"\"program.exe\" /s", "C:\\Program.exe", 1},
      {"\"PROGRAM\"", "C:\\Program.exe", 1},
      {"\"program.ex\"", "C:\\Program.exe", 0},
      {"\"program.exe.old\"", "C:\\Program.exe", 0},
      {"\"C:\\WINDOWS\\SYSTEM32\\WORMY.EXE\"", kWormPath, 0},
      {"\"%SystemRoot%\\system32\\worm.exe\" -x", kWormPath, 1},
      {"\"%NoSuchVariable%\\worm.exe\"", kWormPath, 0},
      // No closing quote: the rest of the text is the program.
      {"\"c:\\windows\\system32\\worm.exe", kWormPath, 1},
      {"\"c:\\windows\\system32\\worm.exe -s", kWormPath, 0},
      // Unquoted, Windows itself tries C:\Program.exe first: still referred to.
      {"C:\\Program Files\\Vendor\\agent.exe -tray", "C:\\Program.exe", 1},
  };
  for (const Row& row : rows) {
    Fixture fixture;
    EXPECT_EQ(row.refers, fixture.RefersTo(row.commandLine, row.path))
        << "command line: " << row.commandLine << " path: " << row.path;
  }
}

TEST(CommandLineRefersTo, PathShapes) {
  struct Row {
    const char* commandLine;
    const char* path;
    int refers;
  };
  const std::string longExtension = "." + std::string(40, 'E');
  const std::string longExtensionPath = "C:\\DIR\\WORM" + longExtension;
  const std::string cutExtensionLine = "worm" + longExtension.substr(0, 31);
  const std::string wholeExtensionLine = "worm" + longExtension + " -x";
  const std::string longName = "C:\\" + std::string(252, 'N') + ".EXE";
  const std::string longNameLine = std::string(252, 'n') + ".exe";
  const Row rows[] = {
      {"C:\\WINDOWS\\WORM", "C:\\WINDOWS\\WORM", 0},
      {"WORM", "C:\\WINDOWS\\WORM", 0},
      // A dot in a directory name makes the stem; the bare name has no extension.
      {"C:\\A", "C:\\A.B\\WORM", 1},
      {"wormy", "C:\\A.B\\WORM", 1},
      // An extension longer than 31 bytes is compared whole.
      {cutExtensionLine.c_str(), longExtensionPath.c_str(), 0},
      {wholeExtensionLine.c_str(), longExtensionPath.c_str(), 1},
      {longNameLine.c_str(), longName.c_str(), 1},
      // A file named only by an extension has no base name to look for.
      {"\"", "C:\\DIR\\.EXE", 0},
      {" anything", "C:\\DIR\\.EXE", 0},
      {"c:\\dir\\.exe", "C:\\DIR\\.EXE", 1},
      {"anything", ".EXE", 0},
      // Upper-casing touches ASCII letters only.
      {"\xE9t\xE9.exe", "C:\\\xC9T\xC9.EXE", 0},
      {"\xC9t\xC9.exe", "C:\\\xC9T\xC9.EXE", 1},
  };
  for (const Row& row : rows) {
    Fixture fixture;
    EXPECT_EQ(row.refers, fixture.RefersTo(row.commandLine, row.path))
        << "command line: " << row.commandLine << " path: " << row.path;
  }
}

// Win32's long form and mounted volumes give paths beyond MAX_PATH: each is
// matched by the same rule up to what a command line can hold, and a longer
// one is said not to fit rather than passed over.
TEST(CommandLineRefersTo, PathsBeyondMaxPathAreMatchedUpToTheTextsLength) {
  Fixture fixture;
  struct Row {
    size_t folderLength;
    int fits;
  } rows[] = {{252, 1}, {253, 1}, {600, 1}, {kMaxReferredPathLength - 12, 1}, {kMaxReferredPathLength - 11, 0}};
  for (const Row& row : rows) {
    std::string path = "C:\\" + std::string(row.folderLength, 'N') + "\\WORM.EXE";
    std::string quoted = "\"" + path + "\" -s", lower = path, argument = path + " /x";
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    std::string clean = path.substr(0, path.size() - 8) + "CLEAN.EXE";
    EXPECT_EQ(row.fits, ReferredPathFits(path.c_str())) << path.size();
    EXPECT_EQ(row.fits, fixture.RefersTo(path.c_str(), path.c_str())) << path.size();
    EXPECT_EQ(row.fits, fixture.RefersTo(lower.c_str(), path.c_str())) << path.size();
    EXPECT_EQ(row.fits, fixture.RefersTo(argument.c_str(), path.c_str())) << path.size();
    if (row.fits) {
      EXPECT_EQ(1, fixture.RefersTo(quoted.c_str(), path.c_str())) << path.size();
    }
    EXPECT_EQ(0, fixture.RefersTo(clean.c_str(), path.c_str())) << path.size();
  }
  EXPECT_EQ(0, ReferredPathFits(nullptr));
}

TEST(CommandLineRefersTo, DoubleByteTrailBackslashStaysInTheName) {
  // 0x95 0x5C is one Shift-JIS character whose trail byte is "\".
  const char path[] = "C:\\DIR\\AB\x95\\CD.EXE";
  Fixture fixture;
  fixture.host.isLeadByte = ShiftJisLeadByte;
  EXPECT_EQ(1, fixture.RefersTo("ab\x95\\cd.exe", path));
  EXPECT_EQ(0, fixture.RefersTo("cd.exe", path));
  // Read as single bytes, the same path would have the base name CD.
  fixture.host.isLeadByte = nullptr;
  EXPECT_EQ(1, fixture.RefersTo("cd.exe", path));
}

TEST(CommandLineRefersTo, LongCommandLineIsExaminedWithinItsFirstBytes) {
  Fixture fixture;
  std::string line = "worm.exe " + std::string(10000, 'x');
  EXPECT_EQ(1, fixture.RefersTo(line.c_str(), kWormPath));
  line = std::string(10000, 'x') + "worm.exe";
  EXPECT_EQ(0, fixture.RefersTo(line.c_str(), kWormPath));
}

TEST(ExpandEnvironmentReferences, Assembly) {
  struct Row {
    const char* input;
    const char* expanded;
  };
  const Row rows[] = {
      {"%SystemRoot%", "C:\\WINDOWS\\"},
      {"%SystemRoot%\\x", "C:\\WINDOWS\\x"},
      {"a%SystemRoot%b", "a\\C:\\WINDOWS\\b"},
      {"a\\%SystemRoot%b", "a\\C:\\WINDOWS\\b"},
      {"%Slash%x", "\\x\\x"},
      {"a%Slash%", "a\\x\\"},
      {"%Trail%x", "T\\x"},
      {"%SystemRoot%%SystemRoot%", "C:\\WINDOWS\\C:\\WINDOWS\\"},
      {"no reference", "no reference"},
      {"50% off", "50% off"},
      {"%NoSuchVariable%\\%SystemRoot%", "%NoSuchVariable%\\%SystemRoot%"},
      {"%%x", "%%x"},
      {"%Percent%x", "C:\\WINDOWS\\x"},
  };
  for (const Row& row : rows) {
    Fixture fixture;
    fixture.environment.variables.push_back({"Slash", "\\x"});
    fixture.environment.variables.push_back({"Trail", "T\\"});
    fixture.environment.variables.push_back({"Percent", "%SystemRoot%\\"});
    EXPECT_EQ(row.expanded, fixture.Expand(row.input)) << "input: " << row.input;
  }
}

TEST(ExpandEnvironmentReferences, LookupResultsThatEndTheExpansion) {
  struct Row {
    const char* what;
    std::string value;
    uint32_t staleError;
    const char* expanded;
  };
  const Row rows[] = {
      {"259 bytes fit", std::string(259, 'v'), 0, nullptr},
      {"260 bytes do not fit", std::string(260, 'v'), 0, "%V%"},
      {"a stale not-found error", "value", kErrorEnvVarNotFound, "%V%"},
      {"another stale error", "value", 5, "value\\"},
  };
  for (const Row& row : rows) {
    Fixture fixture;
    fixture.environment.variables.push_back({"V", row.value});
    fixture.environment.lastError = row.staleError;
    std::string expected = row.expanded ? row.expanded : row.value + "\\";
    EXPECT_EQ(expected, fixture.Expand("%V%")) << row.what;
  }
}

TEST(ExpandEnvironmentReferences, SelfReferenceStopsAfterBoundedReplacements) {
  Fixture fixture;
  fixture.environment.variables.push_back({"Loop", "%Loop%"});
  uint32_t replaced = 0;
  std::string text = fixture.Expand("%Loop%\\worm.exe", &replaced);
  EXPECT_EQ(static_cast<uint32_t>(kMaxExpansions), replaced);
  EXPECT_EQ(static_cast<int>(kMaxExpansions), fixture.environment.lookups);
  EXPECT_EQ("%Loop%\\worm.exe", text);
  // The test still ends, with the unexpanded text compared.
  EXPECT_EQ(0, CommandLineRefersTo("%Loop%\\worm.exe", kWormPath, &fixture.host));
}

TEST(ExpandEnvironmentReferences, GrowthStopsWithinTheTextBuffer) {
  Fixture fixture;
  // Each replacement brings the reference back with 251 more bytes.
  fixture.environment.variables.push_back({"G", "%G%" + std::string(250, 'x')});
  uint32_t replaced = 0;
  std::string text = fixture.Expand("%G%", &replaced);
  EXPECT_EQ(10u, replaced);
  EXPECT_EQ(3u + 10u * 251u, text.size());
  EXPECT_EQ("%G%x", text.substr(0, 4));

  // Long values fill the text to its last byte and no further.
  Fixture exact;
  exact.environment.variables.push_back({"L", std::string(258, 'v') + "\\"});
  std::string many;
  for (int i = 0; i < 10; ++i) many += "%L%";
  text = exact.Expand(many, &replaced);
  EXPECT_EQ(10u, replaced);
  EXPECT_EQ(2590u, text.size());
  text = exact.Expand(many + "%L%", &replaced);
  EXPECT_EQ(10u, replaced);
  EXPECT_EQ(2590u + 3u, text.size());
  // A prefix ending in a backslash adds no separator of its own.
  text = exact.Expand(std::string(8, 'x') + "\\" + many, &replaced);
  EXPECT_EQ(10u, replaced);
  EXPECT_EQ(2599u, text.size());
  text = exact.Expand(std::string(9, 'x') + "\\" + many, &replaced);
  EXPECT_EQ(9u, replaced);
  EXPECT_EQ(10u + 30u + 9u * 256u, text.size());
}

}  // namespace
