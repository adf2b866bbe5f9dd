// Simplified Chinese texts, stored in code page 936 (compiled with -fexec-charset=CP936).
#include "ui/texts_language.h"

const char* SimplifiedChineseText(TextKey key) {
  switch (key) {
    case TextKey::StatusRemoved: return "已清除";
    case TextKey::StatusFailed: return "杀毒失败";
    case TextKey::CaptionReport: return "提示";
    case TextKey::CaptionCongratulations: return "祝贺";
    case TextKey::SummaryDetected:
      return "扫描内存模块%d个,查到病毒%d个;\n"
             "扫描文件%d个,查到病毒%d个!";
    case TextKey::SummaryClean:
      return "扫描内存模块%d个,扫描文件%d个;\n"
             "没有发现病毒!";
    case TextKey::RebootAdvice:
      return "您的计算机系统内存中已感染了Worm.Quellix病毒,\n"
             "为了安全、彻底地清除此病毒，建议您重新启动计\n"
             "算机后再用此专杀工具查杀一次!";
    case TextKey::MainTitle: return "Worm.Quellix专用查杀工具";
    case TextKey::AboutTitle: return "Norvex杀毒工具";
    case TextKey::ProgressLabel: return "进度：";
    case TextKey::LinkTooltip: return "访问Norvex网站，获取更多信息...";
    case TextKey::OkButton: return "确定";
    case TextKey::ButtonScan: return "杀毒";
    case TextKey::ButtonExit: return "退出";
    case TextKey::ButtonAbout: return "关于...";
    case TextKey::ButtonStop: return "停止";
    case TextKey::ColumnFileName: return "文件名";
    case TextKey::ColumnVirusName: return "病毒名";
    case TextKey::ColumnStatus: return "状态";
    case TextKey::AboutProductLine: return "Worm.Quellix专用查杀工具";
    case TextKey::AboutVersionLabel: return "版本号：";
    case TextKey::AboutUpdateLabel: return "更新时间：";
    case TextKey::AboutVendorLine: return "Norvex公司";
    case TextKey::Count: break;
  }
  return "";
}
