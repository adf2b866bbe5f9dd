// The resources of the built QuellixRemover.exe (beside this test), read
// back from the file: dialog templates with their control tables and fonts,
// the banner bitmap, the icon groups and the version information.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

class ProgramResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    char* slash = std::strrchr(path, '\\');
    ASSERT_NE(nullptr, slash);
    std::strcpy(slash + 1, "QuellixRemover.exe");
    module_ = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module_) << path;
  }
  static void TearDownTestSuite() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
  }

  // The resource's bytes in Chinese (PRC); empty when it is missing.
  static std::vector<unsigned char> Resource(LPCSTR type, int id) {
    HRSRC found = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), kChinesePrc);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const unsigned char* bytes = static_cast<const unsigned char*>(LockResource(loaded));
    if (!bytes) return {};
    return std::vector<unsigned char>(bytes, bytes + SizeofResource(module_, found));
  }

  static HMODULE module_;
};
HMODULE ProgramResources::module_ = nullptr;

// A cursor over template bytes.
struct Reader {
  const std::vector<unsigned char>& bytes;
  size_t at = 0;
  bool overrun = false;

  uint32_t Take(size_t size) {
    uint32_t value = 0;
    if (at + size > bytes.size()) {
      overrun = true;
      return 0;
    }
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    at += size;
    return value;
  }
  uint16_t Word() { return static_cast<uint16_t>(Take(2)); }
  uint32_t Dword() { return Take(4); }
  void AlignDword() { at = (at + 3) & ~static_cast<size_t>(3); }
  // A name or ordinal: "#n" for an ordinal, else the UTF-8 text.
  std::string NameOrOrdinal() {
    uint16_t first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::wstring text;
    for (uint16_t c = first; c != 0 && !overrun; c = Word()) text += static_cast<wchar_t>(c);
    char utf8[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr);
    return utf8;
  }
};

struct Control {
  int id;
  std::string className;
  std::string text;
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
};

struct Template {
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::string menu, windowClass, title, face;
  int points = 0, weight = -1, italic = -1, charset = -1;
  std::vector<Control> controls;
};

std::string ClassName(const std::string& raw) {
  if (raw == "#128") return "Button";
  if (raw == "#130") return "Static";
  std::string lower = raw;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "static") return "Static";
  if (lower == "button") return "Button";
  if (lower == "msctls_progress32") return "msctls_progress32";
  if (lower == "syslistview32") return "SysListView32";
  return raw;
}

// Parses a classic DLGTEMPLATE or a DLGTEMPLATEEX; `extended` says which it was.
Template Parse(const std::vector<unsigned char>& bytes, bool* extended) {
  Template t;
  Reader r{bytes};
  *extended = bytes.size() >= 4 && bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF && bytes[3] == 0xFF;
  int count = 0;
  if (*extended) {
    r.Dword();  // version and signature
    r.Dword();  // help id
    t.exStyle = r.Dword();
    t.style = r.Dword();
  } else {
    t.style = r.Dword();
    t.exStyle = r.Dword();
  }
  count = r.Word();
  t.x = r.Word(), t.y = r.Word(), t.cx = r.Word(), t.cy = r.Word();
  t.menu = r.NameOrOrdinal();
  t.windowClass = r.NameOrOrdinal();
  t.title = r.NameOrOrdinal();
  if (t.style & DS_SETFONT) {
    t.points = r.Word();
    if (*extended) {
      t.weight = r.Word();
      t.italic = static_cast<unsigned char>(r.Take(1));
      t.charset = static_cast<unsigned char>(r.Take(1));
    }
    t.face = r.NameOrOrdinal();
  }
  for (int i = 0; i < count && !r.overrun; ++i) {
    r.AlignDword();
    Control c = {};
    if (*extended) {
      r.Dword();  // help id
      c.exStyle = r.Dword();
      c.style = r.Dword();
    } else {
      c.style = r.Dword();
      c.exStyle = r.Dword();
    }
    c.x = r.Word(), c.y = r.Word(), c.cx = r.Word(), c.cy = r.Word();
    c.id = *extended ? static_cast<int>(r.Dword()) : static_cast<short>(r.Word());
    c.className = ClassName(r.NameOrOrdinal());
    c.text = r.NameOrOrdinal();
    r.at += r.Word();  // creation data
    t.controls.push_back(c);
  }
  EXPECT_FALSE(r.overrun) << "template ends early";
  return t;
}

const DWORD kChild = WS_CHILD | WS_VISIBLE;

void ExpectControls(const Template& t, const std::vector<Control>& want) {
  ASSERT_EQ(want.size(), t.controls.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const Control& w = want[i];
    const Control& g = t.controls[i];
    SCOPED_TRACE("control " + std::to_string(i) + " (id " + std::to_string(w.id) + ")");
    EXPECT_EQ(w.id, g.id);
    EXPECT_EQ(w.className, g.className);
    EXPECT_EQ(w.style, g.style) << std::hex << "got 0x" << g.style << ", want 0x" << w.style;
    EXPECT_EQ(w.exStyle, g.exStyle);
    EXPECT_EQ(w.x, g.x);
    EXPECT_EQ(w.y, g.y);
    EXPECT_EQ(w.cx, g.cx);
    EXPECT_EQ(w.cy, g.cy);
    if (!w.text.empty()) {
      EXPECT_EQ(w.text, g.text);
    }
  }
}

const char kSimSun[] = "\xE5\xAE\x8B\xE4\xBD\x93";  // 宋体 in UTF-8

TEST_F(ProgramResources, MainDialogTemplate) {
  std::vector<unsigned char> bytes = Resource(RT_DIALOG, 101);
  ASSERT_FALSE(bytes.empty());
  bool extended = false;
  Template t = Parse(bytes, &extended);
  EXPECT_TRUE(extended);
  EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER |
                               DS_SETFONT),
            t.style);
  EXPECT_EQ(0u, t.exStyle);
  EXPECT_EQ(338, t.cx);
  EXPECT_EQ(259, t.cy);
  EXPECT_EQ("", t.menu);
  EXPECT_EQ("", t.windowClass);
  EXPECT_EQ("", t.title);
  EXPECT_EQ(9, t.points);
  EXPECT_EQ(0, t.weight);
  EXPECT_EQ(0, t.italic);
  EXPECT_EQ(DEFAULT_CHARSET, t.charset);
  EXPECT_EQ(kSimSun, t.face);
  ExpectControls(t, {
      {-1, "Static", "#103", kChild | SS_BITMAP, 0, 7, 7, 268, 100},
      {1001, "msctls_progress32", "", kChild | WS_DISABLED, 0, 42, 83, 233, 11},
      {1000, "Static", "", kChild | SS_LEFTNOWORDWRAP, WS_EX_STATICEDGE, 1, 248, 336, 10},
      {1, "Button", "", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 281, 7, 50, 14},
      {2, "Button", "", kChild | BS_PUSHBUTTON | WS_TABSTOP, 0, 281, 31, 50, 14},
      {3, "Button", "", kChild | BS_PUSHBUTTON | WS_TABSTOP, 0, 281, 56, 50, 14},
      {4, "Button", "", kChild | BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0, 281, 81, 50, 14},
      {-1, "Static", "", kChild | SS_ETCHEDHORZ, 0, 1, 246, 337, 1},
      {1002, "SysListView32", "",
       kChild | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | WS_BORDER | WS_TABSTOP, 0, 7, 103,
       324, 140},
      {1003, "Static", "", kChild | SS_LEFT | WS_GROUP, 0, 7, 85, 33, 8},
  });
  // The buttons carry no text of their own.
  for (const Control& c : t.controls)
    if (c.className == "Button") {
      EXPECT_EQ("", c.text) << "button " << c.id;
    }
}

TEST_F(ProgramResources, AboutBoxTemplate) {
  std::vector<unsigned char> bytes = Resource(RT_DIALOG, 102);
  ASSERT_FALSE(bytes.empty());
  bool extended = true;
  Template t = Parse(bytes, &extended);
  EXPECT_FALSE(extended) << "the About box is a classic template";
  EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT), t.style);
  EXPECT_EQ(176, t.cx);
  EXPECT_EQ(117, t.cy);
  EXPECT_EQ("", t.menu);
  EXPECT_EQ("", t.windowClass);
  EXPECT_EQ("", t.title);
  EXPECT_EQ(9, t.points);
  EXPECT_EQ(kSimSun, t.face);
  const DWORD label = kChild | WS_GROUP;
  ExpectControls(t, {
      {1, "Button", "", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 63, 96, 50, 14},
      {1005, "Static", "", label | SS_LEFT, 0, 44, 7, 125, 8},
      {-1, "Static", "#106", kChild | SS_ICON, 0, 7, 7, 20, 20},
      {1006, "Static", "", label | SS_RIGHT, 0, 52, 26, 40, 8},
      {1007, "Static", "", label | SS_RIGHT, 0, 52, 40, 40, 8},
      {1008, "Static", "", label | SS_LEFT, 0, 44, 60, 125, 8},
      {-1, "Static", "1.9", label | SS_LEFT, 0, 92, 26, 42, 8},
      {-1, "Static", "2006-06-23", label | SS_LEFT, 0, 94, 40, 42, 8},
      {1004, "Static", "www.norvex.example", label | SS_LEFT, 0, 53, 69, 84, 12},
  });
}

TEST_F(ProgramResources, BannerBitmap) {
  std::vector<unsigned char> bytes = Resource(RT_BITMAP, 103);
  ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER));
  BITMAPINFOHEADER header;
  std::memcpy(&header, bytes.data(), sizeof(header));
  EXPECT_EQ(402, header.biWidth);
  EXPECT_EQ(102, header.biHeight);
  EXPECT_EQ(8, header.biBitCount);
  EXPECT_EQ(static_cast<DWORD>(BI_RGB), header.biCompression);
}

// (size, bits per pixel) of each image of an icon group, from the group's
// directory and checked against the image it names.
std::vector<std::pair<int, int>> IconImages(HMODULE module, int group, const std::vector<unsigned char>& directory) {
  std::vector<std::pair<int, int>> images;
  if (directory.size() < 6) return images;
  const int count = directory[4] | directory[5] << 8;
  for (int i = 0; i < count && 6 + 14 * (i + 1) <= static_cast<int>(directory.size()); ++i) {
    const unsigned char* entry = directory.data() + 6 + 14 * i;
    const int size = entry[0] ? entry[0] : 256;
    const int bits = entry[6] | entry[7] << 8;
    const int iconId = entry[12] | entry[13] << 8;
    HRSRC found = FindResourceExA(module, RT_ICON, MAKEINTRESOURCEA(iconId), kChinesePrc);
    EXPECT_NE(nullptr, found) << "group " << group << " names a missing icon " << iconId;
    if (!found) continue;
    BITMAPINFOHEADER header;
    std::memcpy(&header, LockResource(LoadResource(module, found)), sizeof(header));
    EXPECT_EQ(size, header.biWidth) << "group " << group << " icon " << iconId;
    EXPECT_EQ(2 * size, header.biHeight) << "group " << group << " icon " << iconId;
    EXPECT_EQ(bits, header.biBitCount) << "group " << group << " icon " << iconId;
    images.push_back({size, bits});
  }
  std::sort(images.begin(), images.end());
  return images;
}

TEST_F(ProgramResources, IconGroups) {
  struct Row {
    int group;
    std::vector<std::pair<int, int>> images;
  };
  const Row rows[] = {
      {104, {{16, 4}, {16, 8}, {16, 32}, {32, 4}, {32, 8}, {32, 32}, {48, 8}, {48, 32}}},
      {105, {{16, 4}, {16, 8}, {16, 32}}},
      {106, {{32, 8}, {32, 32}}},
  };
  for (const Row& row : rows) {
    std::vector<unsigned char> directory = Resource(RT_GROUP_ICON, row.group);
    ASSERT_FALSE(directory.empty()) << "group " << row.group;
    EXPECT_EQ(row.images, IconImages(module_, row.group, directory)) << "group " << row.group;
  }
}

struct FoundResources {
  int count = 0;
  std::vector<std::string> wrong;
};

std::string ResourceName(LPCSTR name) {
  return IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<ULONG_PTR>(name)) : std::string(name);
}

BOOL CALLBACK CountLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR parameter) {
  FoundResources* found = reinterpret_cast<FoundResources*>(parameter);
  ++found->count;
  if (language != kChinesePrc)
    found->wrong.push_back(ResourceName(type) + "/" + ResourceName(name) + " in language " + std::to_string(language));
  return TRUE;
}

BOOL CALLBACK CountName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR parameter) {
  EnumResourceLanguagesA(module, type, name, CountLanguage, parameter);
  return TRUE;
}

BOOL CALLBACK CountType(HMODULE module, LPSTR type, LONG_PTR parameter) {
  EnumResourceNamesA(module, type, CountName, parameter);
  return TRUE;
}

TEST_F(ProgramResources, EveryResourceIsChinesePrc) {
  FoundResources found;
  EnumResourceTypesA(module_, CountType, reinterpret_cast<LONG_PTR>(&found));
  // 2 dialogs, 1 bitmap, 13 icon images, 3 groups, the version, the manifest.
  EXPECT_EQ(21, found.count);
  EXPECT_TRUE(found.wrong.empty()) << found.wrong.front();
}

TEST_F(ProgramResources, VersionInformation) {
  std::vector<unsigned char> bytes = Resource(RT_VERSION, 1);
  ASSERT_FALSE(bytes.empty());
  bytes.resize(bytes.size() * 2);  // room for the conversions of the query
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(bytes.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(9, 1)), fixed->dwFileVersionMS);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(9, 1)), fixed->dwProductVersionMS);
  struct Row {
    const char* key;
    const char* want;
  };
  const Row rows[] = {{"ProductName", "Worm.Quellix Removal Tool"},
                      {"ProductVersion", "1.9"},
                      {"FileVersion", "1.9"},
                      {"CompanyName", "Norvex"},
                      {"OriginalFilename", "QuellixRemover.exe"}};
  for (const Row& row : rows) {
    wchar_t* value = nullptr;
    std::string path = std::string("\\StringFileInfo\\080404b0\\") + row.key;
    std::wstring widePath(path.begin(), path.end());
    ASSERT_TRUE(VerQueryValueW(bytes.data(), widePath.c_str(), reinterpret_cast<void**>(&value), &length)) << row.key;
    EXPECT_EQ(std::wstring(row.want, row.want + std::strlen(row.want)), std::wstring(value)) << row.key;
  }
}

}  // namespace
