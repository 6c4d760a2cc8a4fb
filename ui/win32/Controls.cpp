#include "ui/win32/Controls.h"

#include <commctrl.h>

#include <array>

#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/win32/Layout.h"
#include "ui/win32/Resource.h"
#include "ui/win32/WideText.h"

namespace {

// The progress window only reports: closing it by hand is ignored.
INT_PTR CALLBACK ProgressProc(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) SetWindowTextW(window, win32::Wide(WindowTitle(kTemplateProductName)).c_str());
  return message == WM_INITDIALOG || message == WM_CLOSE ? TRUE : FALSE;
}

// The template's English texts in the chosen language; the text and the
// button grow where the translation needs more room.
void TranslateAboutBox(HWND window) {
  SetWindowTextW(window, win32::Wide(AboutBoxCaption()).c_str());
  SetDlgItemTextW(window, IDC_ABOUT_TEXT, win32::Wide(AboutBoxText()).c_str());
  SetDlgItemTextW(window, IDOK, win32::Wide(Tr("OK")).c_str());
  win32::WidenButtonsToFit(window, {IDOK});
  win32::GrowTextToFit(window, IDC_ABOUT_TEXT, {IDOK});
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    TranslateAboutBox(window);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

CColorStatic::CColorStatic()
    : m_background(GetSysColor(COLOR_BTNFACE)), m_brush(CreateSolidBrush(m_background)) {}

void CColorStatic::SetTextColour(Rgb colour) {
  m_textColour = colour;
  if (m_control) RedrawWindow(m_control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

HBRUSH CColorStatic::OnCtlColor(HDC dc) const {
  SetTextColor(dc, RGB(m_textColour.red, m_textColour.green, m_textColour.blue));
  SetBkColor(dc, m_background);
  return m_brush.get();
}

void CProg::Start(std::uint16_t stepCount) {
  m_window.reset(CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(IDD_PROGRESS), m_parent, ProgressProc, 0));
  if (!m_window) return;
  HWND window = m_window.get();
  ShowWindow(window, SW_HIDE);
  const HWND bar = GetDlgItem(window, IDC_PROGRESS);
  SendMessageW(bar, PBM_SETPOS, 0, 0);
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, stepCount));
  SendMessageW(bar, PBM_SETSTEP, 1, 0);
  // It carries the main dialog's title, which names the device.
  std::array<wchar_t, 256> title{};
  if (GetWindowTextW(m_parent, title.data(), static_cast<int>(title.size())) > 0) SetWindowTextW(window, title.data());
  RECT frame{};
  GetWindowRect(window, &frame);
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - frame.right / 2;
  // 150 pixels at 100 %, as many more as the monitor's scale asks for.
  const int y = GetSystemMetrics(SM_CYSCREEN) - frame.bottom / 2 - MulDiv(150, static_cast<int>(GetDpiForWindow(window)), 96);
  SetWindowPos(window, m_parent, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

void CProg::Step() {
  HWND window = m_window.get();
  if (!window) return;
  ShowWindow(window, SW_SHOW);
  SendMessageW(GetDlgItem(window, IDC_PROGRESS), PBM_STEPIT, 0, 0);
  UpdateWindow(window);
}

void ShowAboutBox(HWND owner) {
  DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc, 0);
}
