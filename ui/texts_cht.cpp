// Traditional Chinese texts, stored in code page 950 (compiled with -fexec-charset=CP950).
#include "ui/texts_language.h"

const char* TraditionalChineseText(TextKey key) {
  switch (key) {
    case TextKey::StatusRemoved: return "已清除";
    case TextKey::StatusFailed: return "殺毒失敗";
    case TextKey::CaptionReport: return "提示";
    case TextKey::CaptionCongratulations: return "祝賀";
    case TextKey::SummaryDetected:
      return "掃描內存模塊%d個,查到病毒%d個;\n"
             "掃描文件%d個,查到病毒%d個!";
    case TextKey::SummaryClean:
      return "掃描內存模塊%d個,掃描文件%d個;\n"
             "沒有發現病毒!";
    case TextKey::RebootAdvice:
      return "您的計算機系統內存中已感染了Worm.Quellix病毒,\n"
             "為了安全、徹底地清除此病毒，建議您重新啟動計\n"
             "算機後再用此專殺工具查殺一次!";
    case TextKey::MainTitle: return "Worm.Quellix專用查殺工具";
    case TextKey::AboutTitle: return "Norvex殺毒工具";
    case TextKey::ProgressLabel: return "進度：";
    case TextKey::LinkTooltip: return "訪問Norvex網站，獲取更多信息...";
    case TextKey::OkButton: return "確定";
    case TextKey::ButtonScan: return "殺毒";
    case TextKey::ButtonExit: return "退出";
    case TextKey::ButtonAbout: return "關於...";
    case TextKey::ButtonStop: return "停止";
    case TextKey::ColumnFileName: return "文件名";
    case TextKey::ColumnVirusName: return "病毒名";
    case TextKey::ColumnStatus: return "狀態";
    case TextKey::AboutProductLine: return "Worm.Quellix專用查殺工具";
    case TextKey::AboutVersionLabel: return "版本號：";
    case TextKey::AboutUpdateLabel: return "更新時間：";
    case TextKey::AboutVendorLine: return "Norvex公司";
    case TextKey::Count: break;
  }
  return "";
}
