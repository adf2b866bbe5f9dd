// Lookup of the four languages' texts and the language choice rule.
#include "ui/texts.h"

#include "ui/texts_language.h"

namespace {

const TextKey kButtonKeys[] = {TextKey::ButtonScan, TextKey::ButtonExit, TextKey::ButtonAbout,
                               TextKey::ButtonStop};
const TextKey kAboutControlKeys[] = {TextKey::AboutProductLine, TextKey::AboutVersionLabel,
                                     TextKey::AboutUpdateLabel, TextKey::AboutVendorLine};
const TextKey kColumnKeys[] = {TextKey::ColumnFileName, TextKey::ColumnVirusName, TextKey::ColumnStatus};

const int kFirstButtonId = 1;
const int kFirstAboutControlId = 1005;

template <int N>
const char* FromKeyList(const TextKey (&keys)[N], int offset, int32_t languageIndex) {
  if (offset < 0 || offset >= N) return "";
  return Text(keys[offset], languageIndex);
}

}  // namespace

const char* Text(TextKey key, int32_t languageIndex) {
  if (static_cast<int>(key) < 0 || key >= TextKey::Count) return "";
  const char* text = nullptr;
  switch (languageIndex) {
    case kLanguageSimplifiedChinese: text = SimplifiedChineseText(key); break;
    case kLanguageTraditionalChinese: text = TraditionalChineseText(key); break;
    case kLanguageJapanese: text = JapaneseText(key); break;
    default: text = EnglishText(key); break;
  }
  return text ? text : "";
}

const char* ButtonText(int controlId, int32_t languageIndex) {
  return FromKeyList(kButtonKeys, controlId - kFirstButtonId, languageIndex);
}

const char* AboutControlText(int controlId, int32_t languageIndex) {
  return FromKeyList(kAboutControlKeys, controlId - kFirstAboutControlId, languageIndex);
}

const char* ColumnText(int column, int32_t languageIndex) {
  return FromKeyList(kColumnKeys, column, languageIndex);
}

int32_t LanguageIndexFromLangId(uint16_t langId) {
  switch (langId) {
    case 0x0404: return kLanguageTraditionalChinese;  // Chinese (Taiwan)
    case 0x0411: return kLanguageJapanese;
    case 0x0804: return kLanguageSimplifiedChinese;  // Chinese (PRC)
    default: return kLanguageEnglish;  // Hong Kong and Singapore Chinese too
  }
}
