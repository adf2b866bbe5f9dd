// Scratch directories and file helpers for the tests that run under Wine.
#include "tests/support/win_files_win32.h"

#include <cstdio>

namespace qxtest {

std::wstring Widen(const std::string& ansi) {
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? n : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &wide[0], n);
  wide.resize(wcslen(wide.c_str()));
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string ansi(n > 0 ? n : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &ansi[0], n, nullptr, nullptr);
  ansi.resize(strlen(ansi.c_str()));
  return ansi;
}

wchar_t UnrepresentableChar() {
  const wchar_t candidates[] = {0x0436, 0x4E2D, 0x03A9, 0x0E01, 0x05D0, 0x263A};
  for (wchar_t c : candidates) {
    wchar_t text[2] = {c, 0};
    char out[8];
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, &usedDefault);
    if (usedDefault) return c;
  }
  return 0;
}

std::string CurrentDirectory() {
  char buffer[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, n < sizeof buffer ? n : 0);
}

void RemoveTreeW(const std::wstring& path) {
  WIN32_FIND_DATAW record;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &record);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = record.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = path + L"\\" + name;
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        RemoveTreeW(full);
      else if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(full.c_str());
      else
        DeleteFileW(full.c_str());
    } while (FindNextFileW(search, &record));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

ScratchDir::ScratchDir(const char* tag) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  char name[MAX_PATH];
  snprintf(name, sizeof name, "%sqx-%s-%lu-%lu\\", temp, tag, GetCurrentProcessId(), GetTickCount());
  path_ = name;
  MakeDirs(path_);
}

ScratchDir::~ScratchDir() {
  // Never remove the directory we stand in.
  SetCurrentDirectoryA("C:\\");
  RemoveTreeW(Widen(path_.substr(0, path_.size() - 1)));
}

bool MakeDirs(const std::string& path) {
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static bool WriteHandle(HANDLE file, const std::vector<unsigned char>& bytes) {
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  return WriteHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr), bytes);
}

bool WriteBytesW(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  return WriteHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr), bytes);
}

bool ReadBytes(const std::string& path, std::vector<unsigned char>* bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(file, nullptr);
  bytes->assign(size, 0);
  DWORD got = 0;
  BOOL ok = size == 0 || ReadFile(file, bytes->data(), size, &got, nullptr);
  CloseHandle(file);
  return ok && got == size;
}

}  // namespace qxtest
