// System libraries by full path: the path built from the system directory
// with its bounds, refused names, and a planted DLL that a bare-name load
// reaches and the full-path load does not.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "sys/system_library_win32.h"

namespace {

std::string SystemDirectory() {
  char directory[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(directory, sizeof directory);
  std::string text(directory, length);
  if (!text.empty() && text.back() != '\\') text += '\\';
  return text;
}

TEST(SystemLibraryPath, BoundsAndRefusedNames) {
  const std::string want = SystemDirectory() + "Psapi.dll";
  ASSERT_GT(want.size(), sizeof("Psapi.dll"));
  struct Row {
    const char* name;
    size_t capacity;
    int result;
    const char* path;  // null: the expected full path
  };
  const Row rows[] = {
      {"Psapi.dll", MAX_PATH, 1, nullptr},
      {"Psapi.dll", want.size() + 1, 1, nullptr},  // exactly fits with its terminator
      {"Psapi.dll", want.size(), 0, ""},           // one byte short
      {"", MAX_PATH, 0, ""},
      {"..\\Psapi.dll", MAX_PATH, 0, ""},
      {"sub/Psapi.dll", MAX_PATH, 0, ""},
      {"C:Psapi.dll", MAX_PATH, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " in " + std::to_string(row.capacity));
    char path[MAX_PATH + 8];
    std::memset(path, 'x', sizeof path);
    EXPECT_EQ(row.result, SystemLibraryPath(row.name, path, row.capacity));
    EXPECT_EQ(row.path ? std::string(row.path) : want, std::string(path));
    EXPECT_EQ('x', path[row.capacity]) << "wrote past the capacity";
  }
  EXPECT_EQ(0, SystemLibraryPath("Psapi.dll", nullptr, MAX_PATH));
  char one[1] = {'x'};
  EXPECT_EQ(0, SystemLibraryPath(nullptr, one, sizeof one));
  EXPECT_EQ('\0', one[0]);
}

TEST(LoadSystemLibrary, LoadsFromTheSystemDirectory) {
  HMODULE psapi = LoadSystemLibrary("Psapi.dll");
  ASSERT_NE(nullptr, psapi);
  char loaded[MAX_PATH] = {};
  ASSERT_NE(0u, GetModuleFileNameA(psapi, loaded, sizeof loaded));
  EXPECT_EQ(0, lstrcmpiA((SystemDirectory() + "psapi.dll").c_str(), loaded));
  EXPECT_NE(nullptr, GetProcAddress(psapi, "EnumProcesses"));
  FreeLibrary(psapi);
}

TEST(LoadSystemLibrary, IgnoresADllOutsideTheSystemDirectory) {
  // A file with a DLL's name in the current folder, one of the places a bare
  // name is searched (as the program's own folder is): the bare-name load
  // finds it (and refuses its content), the full-path load never looks there.
  char temp[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
  char previous[MAX_PATH] = {};
  ASSERT_NE(0u, GetCurrentDirectoryA(sizeof previous, previous));
  ASSERT_TRUE(SetCurrentDirectoryA(temp)) << temp;
  const std::string planted = std::string(temp) + "qxplanted.dll";
  HANDLE file = CreateFileA(planted.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << planted;
  DWORD written = 0;
  WriteFile(file, "not a DLL", 9, &written, nullptr);
  CloseHandle(file);

  SetLastError(0);
  HMODULE bare = LoadLibraryA("qxplanted.dll");
  const DWORD bareError = GetLastError();
  SetLastError(0);
  HMODULE full = LoadSystemLibrary("qxplanted.dll");
  const DWORD fullError = GetLastError();
  DeleteFileA(planted.c_str());
  SetCurrentDirectoryA(previous);
  if (bare) FreeLibrary(bare);
  if (full) FreeLibrary(full);
  EXPECT_EQ(nullptr, bare);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), bareError) << "the bare name reached the planted file";
  EXPECT_EQ(nullptr, full);
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), fullError) << "the full path must not reach it";
}

}  // namespace
