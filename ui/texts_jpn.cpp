// Japanese texts, stored in code page 932 (compiled with -fexec-charset=CP932).
#include "ui/texts_language.h"

const char* JapaneseText(TextKey key) {
  switch (key) {
    case TextKey::StatusRemoved: return "除去しました";
    case TextKey::StatusFailed: return "除去失敗";
    case TextKey::CaptionReport: return "提示";
    case TextKey::CaptionCongratulations: return "おめでとう";
    case TextKey::SummaryDetected:
      return "%d メモリをスキャンしました。 %dのウイルスを発見しました。\n"
             "%dのファイルをスキャンしました。 %dのウイルスを発見しました!";
    case TextKey::SummaryClean:
      return " %d メモリと%d ファイルをスキャンしました。\n"
             "ウイルスを発見できませんでした";
    case TextKey::RebootAdvice:
      return "コンピュータシステムの中にウイルス「Worm.Quellix」を発見しました。\n"
             "徹底的に除去する為にコンピュータシステムを再起動して、再度スキャンしてください";
    case TextKey::MainTitle: return "ウイルス：Worm.Quellix 除去ツール";
    case TextKey::AboutTitle: return "除去ツール";
    case TextKey::ProgressLabel: return "進捗状況";
    case TextKey::LinkTooltip: return "Norvexのホームページを訪問し、詳細情報を入手する";
    case TextKey::OkButton: return "OK";
    case TextKey::ButtonScan: return "スキャン";
    case TextKey::ButtonExit: return "退出";
    case TextKey::ButtonAbout: return "...について";
    case TextKey::ButtonStop: return "停止";
    case TextKey::ColumnFileName: return "ファイル名前";
    case TextKey::ColumnVirusName: return "ウイルス名前";
    case TextKey::ColumnStatus: return "状態";
    case TextKey::AboutProductLine: return "Worm.Quellix 除去専用ツール";
    case TextKey::AboutVersionLabel: return "バージョン: ";
    case TextKey::AboutUpdateLabel: return "更新日時: ";
    case TextKey::AboutVendorLine: return "Norvex社";
    case TextKey::Count: break;
  }
  return "";
}
