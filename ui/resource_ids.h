// Identifiers of the program's resources and dialog controls; shared by the
// resource script and the dialog code, so plain #defines only.
#pragma once

#define IDD_MAIN 101
#define IDD_ABOUT 102
#define IDB_BANNER 103
#define IDI_PROGRAM 104
#define IDI_SMALL 105
#define IDI_ABOUT 106

// Main dialog. Buttons 1 to 4 are Scan (IDOK), Exit (IDCANCEL), About, Stop.
#define IDC_SCAN 1
#define IDC_EXIT 2
#define IDC_ABOUT 3
#define IDC_STOP 4
#define IDC_STATUS_LINE 1000
#define IDC_PROGRESS 1001
#define IDC_RESULTS 1002
#define IDC_PROGRESS_LABEL 1003

// About box. Button 1 is OK.
#define IDC_ABOUT_OK 1
#define IDC_LINK 1004
#define IDC_ABOUT_PRODUCT 1005
#define IDC_ABOUT_VERSION_LABEL 1006
#define IDC_ABOUT_UPDATE_LABEL 1007
#define IDC_ABOUT_VENDOR 1008

#define IDC_NONE -1
