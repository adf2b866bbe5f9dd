// Test helper: holds a file open for reading without delete sharing, as a
// running program would, until it is terminated. Signals the named event
// given as its second argument once the file is open.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ready) {
    SetEvent(ready);
    CloseHandle(ready);
  }
  for (;;) Sleep(60000);
}
