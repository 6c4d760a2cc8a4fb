#include "ui/win32/Layout.h"

#include <algorithm>
#include <string>

namespace {

// Room a push button needs beside its text, in dialog units: its edges and
// some air on either side.
constexpr int kButtonTextMargin = 8;

RECT PlaceInDialog(HWND dialog, HWND control) {
  RECT place{};
  GetWindowRect(control, &place);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
  return place;
}

// The control's text laid out by DrawTextW with `format` in the control's
// font, `width` pixels wide.
RECT MeasureText(HWND control, UINT format, int width) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  RECT bounds{0, 0, width, 0};
  HDC dc = GetDC(control);
  const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &bounds, format | DT_CALCRECT);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  return bounds;
}

void Resize(HWND window, int width, int height) {
  SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MoveDown(HWND dialog, HWND control, int by) {
  const RECT place = PlaceInDialog(dialog, control);
  SetWindowPos(control, nullptr, place.left, place.top + by, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void GrowWindow(HWND window, int wider, int taller) {
  RECT frame{};
  GetWindowRect(window, &frame);
  Resize(window, frame.right - frame.left + wider, frame.bottom - frame.top + taller);
}

}  // namespace

namespace win32 {

void WidenButtonsToFit(HWND dialog, std::initializer_list<int> buttons) {
  RECT margin{0, 0, kButtonTextMargin, 0};
  MapDialogRect(dialog, &margin);
  int current = 0;
  int needed = 0;
  for (int id : buttons) {
    HWND button = GetDlgItem(dialog, id);
    const RECT place = PlaceInDialog(dialog, button);
    current = std::max(current, static_cast<int>(place.right - place.left));
    needed = std::max(needed, static_cast<int>(MeasureText(button, DT_SINGLELINE, 0).right + margin.right));
  }
  const int gain = needed - current;
  if (gain <= 0) return;
  for (int id : buttons) {
    HWND button = GetDlgItem(dialog, id);
    const RECT place = PlaceInDialog(dialog, button);
    Resize(button, place.right - place.left + gain, place.bottom - place.top);
  }
  GrowWindow(dialog, gain, 0);
}

void GrowTextToFit(HWND dialog, int id, std::initializer_list<int> below) {
  HWND control = GetDlgItem(dialog, id);
  RECT client{};
  GetClientRect(control, &client);
  const int needed = MeasureText(control, DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS, client.right).bottom;
  const int extra = needed - client.bottom;
  if (extra <= 0) return;
  Resize(control, client.right, needed);
  for (int other : below) MoveDown(dialog, GetDlgItem(dialog, other), extra);
  GrowWindow(dialog, 0, extra);
}

}  // namespace win32
