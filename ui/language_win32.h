// Choice of the user-interface language from the system default language (Win32).
#pragma once
#include <cstdint>

// LanguageIndexFromLangId applied to GetSystemDefaultLangID; the user's own
// locale and the thread locale play no part.
int32_t ChooseLanguageIndex();
