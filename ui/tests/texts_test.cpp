// The four languages' text tables: every stored text decodes, with its
// language's code page, to exactly the expected Unicode text; placeholders
// agree across languages; the shaped lookups and the language rule.
#include <gtest/gtest.h>

#include <string>

#include "ui/texts.h"
#include "ui/tests/decode.h"

namespace {

struct ExpectedText {
  TextKey key;
  const char* name;
  const char* utf8[kLanguageCount];  // Simplified Chinese, English, Traditional Chinese, Japanese
};

// "\n" is LF only; every blank is an ASCII space.
const ExpectedText kExpected[] = {
    {TextKey::StatusRemoved, "StatusRemoved",
     {u8"已清除",
      u8"Deleted",
      u8"已清除",
      u8"除去しました"}},
    {TextKey::StatusFailed, "StatusFailed",
     {u8"杀毒失败",
      u8"Delete failed",
      u8"殺毒失敗",
      u8"除去失敗"}},
    {TextKey::CaptionReport, "CaptionReport",
     {u8"提示",
      u8"Report",
      u8"提示",
      u8"提示"}},
    {TextKey::CaptionCongratulations, "CaptionCongratulations",
     {u8"祝贺",
      u8"Congratulations",
      u8"祝賀",
      u8"おめでとう"}},
    {TextKey::SummaryDetected, "SummaryDetected",
     {u8"扫描内存模块%d个,查到病毒%d个;\n扫描文件%d个,查到病毒%d个!",
      u8"%d memory modules scaned, %d viruses detected! \n%d files scaned, %d viruses detected!",
      u8"掃描內存模塊%d個,查到病毒%d個;\n掃描文件%d個,查到病毒%d個!",
      u8"%d メモリをスキャンしました。 %dのウイルスを発見しました。\n%dのファイルをスキャンしました。 %dのウイルスを発見しました!"}},
    {TextKey::SummaryClean, "SummaryClean",
     {u8"扫描内存模块%d个,扫描文件%d个;\n没有发现病毒!",
      u8" %d memory modules and %d files scaned, \n no virus detected!",
      u8"掃描內存模塊%d個,掃描文件%d個;\n沒有發現病毒!",
      u8" %d メモリと%d ファイルをスキャンしました。\nウイルスを発見できませんでした"}},
    {TextKey::RebootAdvice, "RebootAdvice",
     {u8"您的计算机系统内存中已感染了Worm.Quellix病毒,\n为了安全、彻底地清除此病毒，建议您重新启动计\n算机后再用此专杀工具查杀一次!",
      u8" Your computer memory has been infected by Worm.Quellix,\n to remove this virus safely and competely,please reboot \n your computer and scan with this tool once again!",
      u8"您的計算機系統內存中已感染了Worm.Quellix病毒,\n為了安全、徹底地清除此病毒，建議您重新啟動計\n算機後再用此專殺工具查殺一次!",
      u8"コンピュータシステムの中にウイルス「Worm.Quellix」を発見しました。\n徹底的に除去する為にコンピュータシステムを再起動して、再度スキャンしてください"}},
    {TextKey::MainTitle, "MainTitle",
     {u8"Worm.Quellix专用查杀工具",
      u8"Worm.Quellix Removal Tool",
      u8"Worm.Quellix專用查殺工具",
      u8"ウイルス：Worm.Quellix 除去ツール"}},
    {TextKey::AboutTitle, "AboutTitle",
     {u8"Norvex杀毒工具",
      u8"About",
      u8"Norvex殺毒工具",
      u8"除去ツール"}},
    {TextKey::ProgressLabel, "ProgressLabel",
     {u8"进度：",
      u8"Progress",
      u8"進度：",
      u8"進捗状況"}},
    {TextKey::LinkTooltip, "LinkTooltip",
     {u8"访问Norvex网站，获取更多信息...",
      u8"To get more infomation, please visit our web site.",
      u8"訪問Norvex網站，獲取更多信息...",
      u8"Norvexのホームページを訪問し、詳細情報を入手する"}},
    {TextKey::OkButton, "OkButton",
     {u8"确定",
      u8"Ok",
      u8"確定",
      u8"OK"}},
    {TextKey::ButtonScan, "ButtonScan",
     {u8"杀毒",
      u8"Scan",
      u8"殺毒",
      u8"スキャン"}},
    {TextKey::ButtonExit, "ButtonExit",
     {u8"退出",
      u8"Exit",
      u8"退出",
      u8"退出"}},
    {TextKey::ButtonAbout, "ButtonAbout",
     {u8"关于...",
      u8"About...",
      u8"關於...",
      u8"...について"}},
    {TextKey::ButtonStop, "ButtonStop",
     {u8"停止",
      u8"Stop",
      u8"停止",
      u8"停止"}},
    {TextKey::ColumnFileName, "ColumnFileName",
     {u8"文件名",
      u8"File Name",
      u8"文件名",
      u8"ファイル名前"}},
    {TextKey::ColumnVirusName, "ColumnVirusName",
     {u8"病毒名",
      u8"Virus Name",
      u8"病毒名",
      u8"ウイルス名前"}},
    {TextKey::ColumnStatus, "ColumnStatus",
     {u8"状态",
      u8"Status",
      u8"狀態",
      u8"状態"}},
    {TextKey::AboutProductLine, "AboutProductLine",
     {u8"Worm.Quellix专用查杀工具",
      u8"Worm.Quellix Removal Tool",
      u8"Worm.Quellix專用查殺工具",
      u8"Worm.Quellix 除去専用ツール"}},
    {TextKey::AboutVersionLabel, "AboutVersionLabel",
     {u8"版本号：",
      u8"Version: ",
      u8"版本號：",
      u8"バージョン: "}},
    {TextKey::AboutUpdateLabel, "AboutUpdateLabel",
     {u8"更新时间：",
      u8"Update: ",
      u8"更新時間：",
      u8"更新日時: "}},
    {TextKey::AboutVendorLine, "AboutVendorLine",
     {u8"Norvex公司",
      u8"Norvex",
      u8"Norvex公司",
      u8"Norvex社"}},
};

const int kCodePages[kLanguageCount] = {936, 20127, 950, 932};
const int kKeyCount = static_cast<int>(TextKey::Count);

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

TEST(Texts, EveryKeyIsListedOnce) {
  ASSERT_EQ(static_cast<size_t>(kKeyCount), sizeof kExpected / sizeof kExpected[0]);
  for (int k = 0; k < kKeyCount; ++k) EXPECT_EQ(k, static_cast<int>(kExpected[k].key)) << kExpected[k].name;
}

TEST(Texts, StoredBytesDecodeToTheExpectedText) {
  for (const ExpectedText& row : kExpected) {
    for (int language = 0; language < kLanguageCount; ++language) {
      const char* stored = Text(row.key, language);
      ASSERT_NE(nullptr, stored) << row.name << " language " << language;
      std::string decoded;
      ASSERT_TRUE(DecodeToUtf8(stored, kCodePages[language], &decoded))
          << row.name << " language " << language << ": not valid in code page " << kCodePages[language];
      EXPECT_EQ(std::string(row.utf8[language]), decoded) << row.name << " language " << language;
      EXPECT_NE(std::string(), decoded) << row.name << " language " << language;
    }
  }
}

TEST(Texts, EnglishIsPlainAsciiAndTheOthersAreCodePageBytes) {
  for (const ExpectedText& row : kExpected) {
    for (unsigned char c : std::string(Text(row.key, kLanguageEnglish)))
      EXPECT_LT(c, 0x80) << row.name;
    // A text with characters beyond ASCII must not be stored as its UTF-8 form.
    for (int language : {kLanguageSimplifiedChinese, kLanguageTraditionalChinese, kLanguageJapanese}) {
      const std::string utf8 = row.utf8[language];
      bool ascii = true;
      for (unsigned char c : utf8) ascii = ascii && c < 0x80;
      if (!ascii) {
        EXPECT_NE(utf8, std::string(Text(row.key, language))) << row.name << " language " << language;
      }
    }
  }
}

TEST(Texts, PlaceholdersAgreeAcrossLanguages) {
  for (const ExpectedText& row : kExpected) {
    const int want = row.key == TextKey::SummaryDetected ? 4 : row.key == TextKey::SummaryClean ? 2 : 0;
    for (int language = 0; language < kLanguageCount; ++language) {
      std::string decoded;
      ASSERT_TRUE(DecodeToUtf8(Text(row.key, language), kCodePages[language], &decoded)) << row.name;
      // Every '%' is the start of a "%d": the texts go to a formatter.
      EXPECT_EQ(want, CountOf(decoded, "%d")) << row.name << " language " << language;
      EXPECT_EQ(want, CountOf(decoded, "%")) << row.name << " language " << language;
    }
  }
}

TEST(Texts, ShapedTablesFollowControlAndColumnOrder) {
  struct Shaped {
    const char* (*lookup)(int, int32_t);
    int first;
    TextKey keys[4];
    int count;
  };
  const Shaped tables[] = {
      {ButtonText, 1, {TextKey::ButtonScan, TextKey::ButtonExit, TextKey::ButtonAbout, TextKey::ButtonStop}, 4},
      {AboutControlText,
       1005,
       {TextKey::AboutProductLine, TextKey::AboutVersionLabel, TextKey::AboutUpdateLabel, TextKey::AboutVendorLine},
       4},
      {ColumnText, 0, {TextKey::ColumnFileName, TextKey::ColumnVirusName, TextKey::ColumnStatus}, 3},
  };
  for (const Shaped& table : tables) {
    for (int language = 0; language < kLanguageCount; ++language) {
      for (int i = 0; i < table.count; ++i)
        EXPECT_STREQ(Text(table.keys[i], language), table.lookup(table.first + i, language))
            << "id " << table.first + i << " language " << language;
      EXPECT_STREQ("", table.lookup(table.first - 1, language)) << "id " << table.first - 1;
      EXPECT_STREQ("", table.lookup(table.first + table.count, language)) << "id " << table.first + table.count;
    }
  }
}

TEST(Texts, OutOfRangeLookupsNeverFail) {
  EXPECT_STREQ(Text(TextKey::MainTitle, kLanguageEnglish), Text(TextKey::MainTitle, -1));
  EXPECT_STREQ(Text(TextKey::MainTitle, kLanguageEnglish), Text(TextKey::MainTitle, kLanguageCount));
  EXPECT_STREQ("", Text(TextKey::Count, kLanguageJapanese));
}

TEST(Texts, LanguageFromSystemDefaultLanguageId) {
  const struct {
    uint16_t langId;
    int32_t index;
  } rows[] = {
      {0x0804, 0},  // Chinese (PRC)
      {0x0404, 2},  // Chinese (Taiwan)
      {0x0411, 3},  // Japanese
      {0x0409, 1},  // English (United States)
      {0x0C04, 1},  // Chinese (Hong Kong SAR)
      {0x1004, 1},  // Chinese (Singapore)
      {0x1404, 1},  // Chinese (Macao SAR)
      {0x0004, 1},  // Chinese, neutral sublanguage
      {0x0011, 1},  // Japanese, neutral sublanguage
      {0x0412, 1},  // Korean
      {0x0407, 1},  // German
      {0x0000, 1},
      {0xFFFF, 1},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.index, LanguageIndexFromLangId(row.langId)) << std::hex << "langId 0x" << row.langId;
}

}  // namespace
