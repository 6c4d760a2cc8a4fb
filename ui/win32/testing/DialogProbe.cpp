#include "ui/win32/testing/DialogProbe.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <thread>
#include <vector>

#include "app/log/Utf16Text.h"
#include "ui/win32/Handles.h"
#include "ui/win32/Resource.h"
#include "ui/win32/WideText.h"

namespace {

std::atomic<bool> g_dialogShown = false;

bool IsMainDialog(HWND window) { return GetDlgItem(window, IDC_STATUS) != nullptr; }
bool IsProgressWindow(HWND window) {
  return !IsMainDialog(window) && GetDlgItem(window, IDC_PROGRESS) != nullptr;
}

// Sees every message the GUI thread's windows have handled.
LRESULT CALLBACK WatchShown(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == WM_WINDOWPOSCHANGED && IsMainDialog(call->hwnd) &&
      IsWindowVisible(call->hwnd))
    g_dialogShown = true;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

template <typename Predicate>
HWND FindThreadWindow(DWORD thread, Predicate matches) {
  struct Search {
    Predicate& matches;
    HWND found = nullptr;
  } search{matches};
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM context) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(context);
        if (!s.matches(window)) return TRUE;
        s.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string TextOf(HWND window) {
  wchar_t buffer[512] = {};
  // Sent, so that a window of another thread answers it on its own thread.
  SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
  return Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
}

template <typename Predicate>
bool WaitUntil(Predicate done) {
  const auto end = std::chrono::steady_clock::now() + CDialogProbe::kTimeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

ProgressBarState BarOf(HWND bar) {
  PBRANGE range{};
  SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  return {range.iLow, range.iHigh, static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0))};
}

bool SaveImage(HWND window, const std::string& path) {
  RECT frame{};
  if (!window || !GetWindowRect(window, &frame)) return false;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
  SelectObject(memory, previous);
  BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  const int lines = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                              reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (lines != height) return false;
  const BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(header) + pixels.size()), 0,
                              0, sizeof(BITMAPFILEHEADER) + sizeof(header)};
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  return out.good();
}

HWND Dialog(DWORD thread) { return FindThreadWindow(thread, IsMainDialog); }
HWND Titled(DWORD thread, const std::string& title) {
  const std::wstring wide = win32::Wide(title);
  return FindThreadWindow(thread, [&](HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return wide == buffer;
  });
}

}  // namespace

void CDialogProbe::HookRemover::operator()(void* hook) const { UnhookWindowsHookEx(static_cast<HHOOK>(hook)); }

CDialogProbe::CDialogProbe()
    : m_guiThread(GetCurrentThreadId()),
      m_hook(SetWindowsHookExW(WH_CALLWNDPROCRET, WatchShown, nullptr, GetCurrentThreadId())) {
  g_dialogShown = false;
}

bool CDialogProbe::WindowsCanBeMade() {
  const win32::UniqueWindow window(
      CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
  return window != nullptr;
}

bool CDialogProbe::WaitForDialog(bool visible) const {
  return WaitUntil([&] {
    HWND dialog = Dialog(m_guiThread);
    return dialog && (!visible || IsWindowVisible(dialog));
  });
}

bool CDialogProbe::DialogExists() const { return Dialog(m_guiThread) != nullptr; }
bool CDialogProbe::WaitForDialogGone() const {
  return WaitUntil([&] { return Dialog(m_guiThread) == nullptr; });
}
bool CDialogProbe::DialogEverShown() const { return g_dialogShown; }

std::string CDialogProbe::Title() const { return TextOf(Dialog(m_guiThread)); }
std::string CDialogProbe::Text(int controlId) const { return TextOf(GetDlgItem(Dialog(m_guiThread), controlId)); }
bool CDialogProbe::Enabled(int controlId) const {
  return IsWindowEnabled(GetDlgItem(Dialog(m_guiThread), controlId)) != FALSE;
}

Rgb CDialogProbe::StatusColour() const {
  HWND dialog = Dialog(m_guiThread);
  HDC dc = CreateCompatibleDC(nullptr);
  SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_STATUS)));
  const COLORREF colour = GetTextColor(dc);
  DeleteDC(dc);
  return {GetRValue(colour), GetGValue(colour), GetBValue(colour)};
}

ProgressBarState CDialogProbe::Progress() const { return BarOf(GetDlgItem(Dialog(m_guiThread), IDC_PROGRESS)); }

std::string CDialogProbe::SystemMenuEntry(int command) const {
  wchar_t buffer[256] = {};
  GetMenuStringW(GetSystemMenu(Dialog(m_guiThread), FALSE), static_cast<UINT>(command), buffer, 256, MF_BYCOMMAND);
  return Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
}

PixelBox CDialogProbe::Place(int controlId) const {
  HWND dialog = Dialog(m_guiThread);
  RECT place{};
  if (controlId == 0) {
    GetClientRect(dialog, &place);
  } else {
    GetWindowRect(GetDlgItem(dialog, controlId), &place);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
  }
  return {place.left, place.top, place.right, place.bottom};
}

PixelBox CDialogProbe::FromDialogUnits(int left, int top, int width, int height) const {
  // The dialog manager scales a control's position and size each on its own,
  // as MapDialogRect scales each of a rectangle's four numbers.
  RECT scaled{left, top, width, height};
  MapDialogRect(Dialog(m_guiThread), &scaled);
  return {scaled.left, scaled.top, scaled.left + scaled.right, scaled.top + scaled.bottom};
}

TextSize CDialogProbe::MeasureText(int controlId) const {
  HWND control = GetDlgItem(Dialog(m_guiThread), controlId);
  const std::wstring text = win32::Wide(TextOf(control));
  RECT client{};
  GetClientRect(control, &client);
  HDC dc = GetDC(control);
  const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE line{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &line);
  RECT wrapped{0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  return {static_cast<int>(line.cx), static_cast<int>(wrapped.bottom)};
}

void CDialogProbe::Click(int controlId) const {
  HWND dialog = Dialog(m_guiThread);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, controlId)));
}

void CDialogProbe::PressEscape() const {
  HWND dialog = Dialog(m_guiThread);
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(dialog, WM_KEYUP, VK_ESCAPE, 0);
}

void CDialogProbe::ClickCloseBox() const { PostMessageW(Dialog(m_guiThread), WM_SYSCOMMAND, SC_CLOSE, 0); }

bool CDialogProbe::SessionMayEnd() const {
  return SendMessageW(Dialog(m_guiThread), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF) != FALSE;
}

void CDialogProbe::EndSession(bool ending) const {
  SendMessageW(Dialog(m_guiThread), WM_ENDSESSION, ending ? TRUE : FALSE, ENDSESSION_LOGOFF);
}

std::optional<std::string> CDialogProbe::ShutdownBlockReason() const {
  // Looked up, not imported: calling Wine's missing entry point ends the process.
  using Query = BOOL(WINAPI*)(HWND, LPWSTR, DWORD*);
  const auto query =
      reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"),
                                                                     "ShutdownBlockReasonQuery")));
  if (query == nullptr || GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr)
    return std::nullopt;
  wchar_t buffer[256] = {};
  DWORD size = 256;
  if (!query(Dialog(m_guiThread), buffer, &size)) return std::string();
  return Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
}

void CDialogProbe::SystemCommand(int command) const {
  PostMessageW(Dialog(m_guiThread), WM_SYSCOMMAND, static_cast<WPARAM>(command), 0);
}

bool CDialogProbe::WaitForWindow(const std::string& title, bool present) const {
  return WaitUntil([&] { return (Titled(m_guiThread, title) != nullptr) == present; });
}

std::vector<std::string> CDialogProbe::TextsOf(const std::string& title) const {
  std::vector<std::string> texts;
  for (HWND child = GetWindow(Titled(m_guiThread, title), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    texts.push_back(TextOf(child));
  return texts;
}

bool CDialogProbe::IsTopMost(const std::string& title) const {
  return (GetWindowLongPtrW(Titled(m_guiThread, title), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

void CDialogProbe::PressOk(const std::string& title) const {
  HWND window = Titled(m_guiThread, title);
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
}

bool CDialogProbe::ProgressWindowExists() const { return FindThreadWindow(m_guiThread, IsProgressWindow) != nullptr; }

bool CDialogProbe::ProgressWindowVisible() const {
  return IsWindowVisible(FindThreadWindow(m_guiThread, IsProgressWindow)) != FALSE;
}

bool CDialogProbe::ProgressWindowOwnedByDialog() const {
  HWND progress = FindThreadWindow(m_guiThread, IsProgressWindow);
  return progress && GetWindow(progress, GW_OWNER) == Dialog(m_guiThread);
}

ProgressBarState CDialogProbe::ProgressWindowBar() const {
  return BarOf(GetDlgItem(FindThreadWindow(m_guiThread, IsProgressWindow), IDC_PROGRESS));
}

bool CDialogProbe::SaveDialogImage(const std::string& path) const { return SaveImage(Dialog(m_guiThread), path); }

bool CDialogProbe::SaveProgressWindowImage(const std::string& path) const {
  return SaveImage(FindThreadWindow(m_guiThread, IsProgressWindow), path);
}

bool CDialogProbe::SaveWindowImage(const std::string& title, const std::string& path) const {
  return SaveImage(Titled(m_guiThread, title), path);
}
