// Prints the chosen language index and the system default language id, for
// language_choice_test.sh to run under Wine with different locales.
#include <windows.h>

#include <cstdio>

#include "ui/language_win32.h"

int main() {
  std::printf("%d 0x%04x\n", static_cast<int>(ChooseLanguageIndex()), static_cast<unsigned>(GetSystemDefaultLangID()));
  return 0;
}
