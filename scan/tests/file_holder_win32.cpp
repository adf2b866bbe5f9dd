// Test helper: holds a file open for reading without delete sharing, as a
// running program would, until it is terminated; with a third argument
// "exclusive", without read sharing either, so nobody else can read it.
// Signals the named event given as its second argument once the file is open.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  DWORD sharing = argc == 4 && lstrcmpA(argv[3], "exclusive") == 0 ? 0 : FILE_SHARE_READ;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ready) {
    SetEvent(ready);
    CloseHandle(ready);
  }
  for (;;) Sleep(60000);
}
