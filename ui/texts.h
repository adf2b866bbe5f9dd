// The user interface's texts in four languages and the choice of language.
// Platform-neutral. Each language's texts are zero-terminated bytes of its
// Windows code page (936, ASCII, 950, 932), ready for the ANSI window calls;
// they are constants with static lifetime.
#pragma once
#include <cstdint>

enum class TextKey {
  StatusRemoved,
  StatusFailed,
  CaptionReport,
  CaptionCongratulations,
  SummaryDetected,
  SummaryClean,
  RebootAdvice,
  MainTitle,
  AboutTitle,
  ProgressLabel,
  LinkTooltip,
  OkButton,
  ButtonScan,
  ButtonExit,
  ButtonAbout,
  ButtonStop,
  ColumnFileName,
  ColumnVirusName,
  ColumnStatus,
  AboutProductLine,
  AboutVersionLabel,
  AboutUpdateLabel,
  AboutVendorLine,
  Count
};

// Language indices: 0 Simplified Chinese, 1 English, 2 Traditional Chinese,
// 3 Japanese.
enum : int32_t { kLanguageCount = 4 };
enum : int32_t {
  kLanguageSimplifiedChinese = 0,
  kLanguageEnglish = 1,
  kLanguageTraditionalChinese = 2,
  kLanguageJapanese = 3
};

// The text of a key. Never null; an index outside 0..3 reads as English and
// a key outside the list as "".
const char* Text(TextKey key, int32_t languageIndex);

// Caption of main-dialog button 1 (Scan), 2 (Exit), 3 (About), 4 (Stop).
const char* ButtonText(int controlId, int32_t languageIndex);
// Text of About-box control 1005 (product), 1006 (version label),
// 1007 (update label), 1008 (maker).
const char* AboutControlText(int controlId, int32_t languageIndex);
// Header of results column 0 (file name), 1 (virus name), 2 (status).
const char* ColumnText(int column, int32_t languageIndex);

// The whole 16-bit language identifier decides: 0x0404 gives 2, 0x0411
// gives 3, 0x0804 gives 0, anything else (0x0C04 and 0x1004 included) 1.
int32_t LanguageIndexFromLangId(uint16_t langId);
