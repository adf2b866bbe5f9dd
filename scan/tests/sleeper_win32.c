/* A harmless stand-in for a memory-resident worm: it only sleeps. Built
   without the C runtime so that its image stays a few kilobytes; the tests
   pad and patch copies of it to carry a signature. */
#include <windows.h>

void SleeperStart(void) {
  for (;;) Sleep(60000);
}
