// English texts, plain ASCII.
#include "ui/texts_language.h"

const char* EnglishText(TextKey key) {
  switch (key) {
    case TextKey::StatusRemoved: return "Deleted";
    case TextKey::StatusFailed: return "Delete failed";
    case TextKey::CaptionReport: return "Report";
    case TextKey::CaptionCongratulations: return "Congratulations";
    case TextKey::SummaryDetected:
      return "%d memory modules scaned, %d viruses detected! \n"
             "%d files scaned, %d viruses detected!";
    case TextKey::SummaryClean:
      return " %d memory modules and %d files scaned, \n"
             " no virus detected!";
    case TextKey::RebootAdvice:
      return " Your computer memory has been infected by Worm.Quellix,\n"
             " to remove this virus safely and competely,please reboot \n"
             " your computer and scan with this tool once again!";
    case TextKey::MainTitle: return "Worm.Quellix Removal Tool";
    case TextKey::AboutTitle: return "About";
    case TextKey::ProgressLabel: return "Progress";
    case TextKey::LinkTooltip: return "To get more infomation, please visit our web site.";
    case TextKey::OkButton: return "Ok";
    case TextKey::ButtonScan: return "Scan";
    case TextKey::ButtonExit: return "Exit";
    case TextKey::ButtonAbout: return "About...";
    case TextKey::ButtonStop: return "Stop";
    case TextKey::ColumnFileName: return "File Name";
    case TextKey::ColumnVirusName: return "Virus Name";
    case TextKey::ColumnStatus: return "Status";
    case TextKey::AboutProductLine: return "Worm.Quellix Removal Tool";
    case TextKey::AboutVersionLabel: return "Version: ";
    case TextKey::AboutUpdateLabel: return "Update: ";
    case TextKey::AboutVendorLine: return "Norvex";
    case TextKey::Count: break;
  }
  return "";
}
