/* A 32-bit library for the WOW64 test to plant in SysWOW64: loading it by
   its System32 name with the thread's redirection off must still find it. */
#include <windows.h>

__declspec(dllexport) int WINAPI QxWowProbe(void) { return 32; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
