// System libraries by full path (see system_library_win32.h).
#include "sys/system_library_win32.h"

#include <cstring>

#include "sys/fs_redirection_win32.h"

int SystemLibraryPath(const char* name, char* path, size_t capacity) {
  if (!path || capacity == 0) return 0;
  path[0] = '\0';
  if (!name || !name[0] || std::strpbrk(name, "\\/:")) return 0;
  char directory[MAX_PATH];
  const UINT length = GetSystemDirectoryA(directory, sizeof directory);
  // 0 is failure; a result of the buffer's size or more is the size it needs.
  if (length == 0 || length >= sizeof directory) return 0;
  const bool separator = directory[length - 1] != '\\';
  const size_t nameLength = std::strlen(name);
  if (length + (separator ? 1 : 0) + nameLength + 1 > capacity) return 0;
  std::memcpy(path, directory, length);
  size_t at = length;
  if (separator) path[at++] = '\\';
  std::memcpy(path + at, name, nameLength + 1);
  return 1;
}

HMODULE LoadSystemLibrary(const char* name) {
  char path[MAX_PATH];
  if (!SystemLibraryPath(name, path, sizeof path)) return nullptr;
  // A 32-bit process under WOW64 needs the 32-bit library that redirection
  // shows under this name, whatever the calling thread has turned off.
  FsRedirectionOnForLoad load;
  return LoadLibraryA(path);
}
