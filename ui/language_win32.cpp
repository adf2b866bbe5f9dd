// System default language to language index.
#include "ui/language_win32.h"

#include <windows.h>

#include "ui/texts.h"

int32_t ChooseLanguageIndex() {
  return LanguageIndexFromLangId(static_cast<uint16_t>(GetSystemDefaultLangID()));
}
