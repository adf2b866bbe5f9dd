// The About box (template 102) and its hyperlink.
//
// The link is a plain static control without SS_NOTIFY, which reports itself
// transparent to the mouse; answering HTCLIENT to WM_NCHITTEST is what lets
// it get the cursor and clicks. The hover state starts at the first hit test
// inside it and ends at the first timer tick that finds another window under
// the cursor, since the link gets no message when the mouse leaves it.
#include "ui/about_box_win32.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstddef>

#include "ui/language_win32.h"
#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"
#include "ui/scan_context_win32.h"
#include "ui/texts.h"

const char kMakerUrl[] = "http://www.norvex.example/";

namespace {

// Underlined system font for the hovered link; lives as long as one box.
HFONT LinkFont = nullptr;

const UINT_PTR kHoverTimer = 1;
const COLORREF kLinkBlue = RGB(0, 0, 255);
const COLORREF kLinkRed = RGB(255, 0, 0);

#if !defined(_WIN64)
static_assert(offsetof(TOOLINFOA, lParam) + sizeof(LPARAM) == 44, "the link's tool is registered with a 44-byte TOOLINFOA");
#endif

LONG_PTR HoverFlag(HWND dialog) { return GetWindowLongPtrA(dialog, GWLP_USERDATA); }

void SetHoverFlag(HWND dialog, LONG_PTR value) { SetWindowLongPtrA(dialog, GWLP_USERDATA, value); }

// The tool of the link: the About box's window and the link's handle as id.
TOOLINFOA LinkTool(HWND dialog, HWND link) {
  TOOLINFOA tool = {};
  tool.cbSize = TTTOOLINFOA_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = dialog;
  tool.uId = reinterpret_cast<UINT_PTR>(link);
  return tool;
}

INT_PTR LinkColours(HWND dialog, HDC dc) {
  if (HoverFlag(dialog) == 1) {
    SelectObject(dc, LinkFont);
    SetTextColor(dc, kLinkRed);
  } else {
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    SetTextColor(dc, kLinkBlue);
  }
  SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

}  // namespace

BOOL InitAboutDialog(HWND dialog) {
  HWND link = GetDlgItem(dialog, IDC_LINK);
  const ScanContext* context =
      reinterpret_cast<const ScanContext*>(GetWindowLongPtrA(GetParent(dialog), GWLP_USERDATA));
  const int32_t language = context ? context->languageIndex : ChooseLanguageIndex();

  LOGFONTA font = {};
  if (GetObjectA(GetStockObject(SYSTEM_FONT), sizeof(font), &font)) {
    font.lfUnderline = 1;
    LinkFont = CreateFontIndirectA(&font);
  }

  TOOLINFOA tool = LinkTool(dialog, link);
  tool.lpszText = const_cast<char*>(Text(TextKey::LinkTooltip, language));
  SendMessageA(SharedTooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));

  // After the tool: the procedure kept is the tooltip's own subclass, so the
  // link sees every message first and the tooltip still gets the mouse.
  LONG_PTR previous = SetWindowLongPtrA(link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LinkWindowProc));
  SetWindowLongPtrA(link, GWLP_USERDATA, previous);
  // The link is drawn in the font chosen at WM_CTLCOLORSTATIC; a static that
  // keeps the dialog's font selects that one over it when it paints.
  SendMessageA(link, WM_SETFONT, 0, FALSE);

  SetWindowTextA(dialog, Text(TextKey::AboutTitle, language));
  SetDlgItemTextA(dialog, IDC_ABOUT_OK, Text(TextKey::OkButton, language));
  for (int id = IDC_ABOUT_PRODUCT; id <= IDC_ABOUT_VENDOR; ++id)
    SetDlgItemTextA(dialog, id, AboutControlText(id, language));
  return TRUE;
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return InitAboutDialog(dialog);
    case WM_COMMAND:
      if (wParam == IDOK || wParam == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CTLCOLORSTATIC:
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != IDC_LINK) return FALSE;
      return LinkColours(dialog, reinterpret_cast<HDC>(wParam));
    case WM_DESTROY: {
      TOOLINFOA tool = LinkTool(dialog, GetDlgItem(dialog, IDC_LINK));
      SendMessageA(SharedTooltip, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
      if (LinkFont) DeleteObject(LinkFont);
      LinkFont = nullptr;
      return TRUE;
    }
    default:
      return FALSE;
  }
}

LRESULT CALLBACK LinkWindowProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND dialog = GetParent(link);
  switch (message) {
    case WM_SETCURSOR:
      SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));  // IDC_HAND
      return TRUE;
    case WM_NCHITTEST: {
      // The message's own coordinates are not used: the cursor is asked.
      POINT cursor;
      RECT client;
      if (GetCursorPos(&cursor) && ScreenToClient(link, &cursor) && GetClientRect(link, &client) &&
          PtInRect(&client, cursor)) {
        if (HoverFlag(dialog) == 0) {
          SetHoverFlag(dialog, 1);
          SetTimer(link, kHoverTimer, 1, nullptr);
          InvalidateRect(link, nullptr, TRUE);
        }
        return HTCLIENT;
      }
      break;
    }
    case WM_TIMER: {
      POINT cursor;
      if (!GetCursorPos(&cursor) || WindowFromPoint(cursor) != link) {
        KillTimer(link, kHoverTimer);
        SetHoverFlag(dialog, 0);
        InvalidateRect(link, nullptr, TRUE);
      }
      return 0;
    }
    case WM_LBUTTONDOWN:
      ShellExecuteA(nullptr, nullptr, kMakerUrl, nullptr, nullptr, SW_SHOW);
      return 0;
    case WM_DESTROY:
      if (HoverFlag(dialog) == 1) KillTimer(link, kHoverTimer);
      break;
    default:
      break;
  }
  WNDPROC previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(link, GWLP_USERDATA));
  return CallWindowProcA(previous, link, message, wParam, lParam);
}
