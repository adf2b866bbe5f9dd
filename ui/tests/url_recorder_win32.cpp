// Stands in for the web browser in the test prefix: registered as the
// "http" protocol's open command, it writes its command line to the file
// named by its first argument, so a test sees what the shell was asked to open.
#include <windows.h>

#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const char* line = GetCommandLineA();
  // First argument: the record file, up to the next blank (no quotes needed).
  const char* start = line;
  if (*start == '"') {
    start = std::strchr(start + 1, '"');
    start = start ? start + 1 : line + std::strlen(line);
  } else {
    while (*start && *start != ' ') ++start;
  }
  while (*start == ' ') ++start;
  char path[MAX_PATH] = {};
  size_t length = 0;
  while (start[length] && start[length] != ' ' && length + 1 < sizeof(path)) {
    path[length] = start[length];
    ++length;
  }
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  CloseHandle(file);
  return 0;
}
