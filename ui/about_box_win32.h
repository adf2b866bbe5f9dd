// The About box (dialog 102) and its web link, a static control subclassed
// into a hyperlink: hand cursor, blue text turning red and underlined under
// the mouse, a tooltip, and a click that opens the maker's web site.
#pragma once
#include <windows.h>

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// WM_INITDIALOG: link font, tooltip tool, subclassing, texts; returns TRUE.
BOOL InitAboutDialog(HWND dialog);
LRESULT CALLBACK LinkWindowProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);

// What a click on the link asks the shell to open.
extern const char kMakerUrl[];
