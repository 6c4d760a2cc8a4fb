#include "ui/win32/FlashWindow.h"

#include <windows.h>
#include <commctrl.h>

#include <optional>

#include "app/log/Log.h"
#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/win32/Controls.h"
#include "ui/win32/Handles.h"
#include "ui/win32/Layout.h"
#include "ui/win32/Resource.h"
#include "ui/win32/WideText.h"

namespace {

win32::UniqueIcon LoadIconSized(int widthMetric, int heightMetric) {
  return win32::UniqueIcon(static_cast<HICON>(LoadImageW(ResourceModule(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                         IMAGE_ICON, GetSystemMetrics(widthMetric),
                                                         GetSystemMetrics(heightMetric), 0)));
}

// Windows asks processes whether the session may end from the highest
// shutdown level down; the highest an application may take (0x3FF on the
// SetProcessShutdownParameters page) has this one asked, and told, first.
constexpr DWORD kShutdownLevel = 0x3FF;

}  // namespace

class CFlashWindow::Impl {
 public:
  Impl(std::function<void()> onUpgrade, std::function<void(const std::string&)> onCancel,
       std::function<bool()> onQueryEndSession, std::function<void(bool)> onEndSession,
       std::function<bool()> runEnded, std::function<void()> onSessionEnded)
      : m_onUpgrade(std::move(onUpgrade)),
        m_onCancel(std::move(onCancel)),
        m_onQueryEndSession(std::move(onQueryEndSession)),
        m_onEndSession(std::move(onEndSession)),
        m_runEnded(std::move(runEnded)),
        m_onSessionEnded(std::move(onSessionEnded)) {}

  bool Run(std::function<void()> onInit);
  void PostWake() const { PostMessageW(m_window, kWakeMessage, 0, 0); }
  HWND Control(int id) const { return GetDlgItem(m_window, id); }
  void SetText(int id, const std::string& text) const { SetWindowTextW(Control(id), win32::Wide(text).c_str()); }
  void ShowStatus(const std::string& text) const;

  // Set once, before the window exists or on the GUI thread; PostWake reads
  // it only after the surface has opened, which follows its creation.
  HWND m_window = nullptr;
  std::function<void()> m_onWake;
  CColorStatic m_status;
  std::optional<CProg> m_pProg;
  bool m_keepHidden = false;

 private:
  static constexpr UINT kWakeMessage = WM_APP + 1;

  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void PaintIcon();
  void ServeUntilTheRunHasEnded();

  std::function<void()> m_onUpgrade;
  std::function<void(const std::string&)> m_onCancel;
  std::function<bool()> m_onQueryEndSession;
  std::function<void(bool)> m_onEndSession;
  std::function<bool()> m_runEnded;
  std::function<void()> m_onSessionEnded;
  std::function<void()> m_onInit;
  win32::UniqueIcon m_bigIcon;
  win32::UniqueIcon m_smallIcon;
};

bool CFlashWindow::Impl::Run(std::function<void()> onInit) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  m_onInit = std::move(onInit);
  if (!SetProcessShutdownParameters(kShutdownLevel, 0))
    LogMessage("CFlashWindow - Shutdown level not raised [%d]", static_cast<int>(GetLastError()));
  return DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(IDD_FLASH_DIALOG), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this)) != -1;
}

INT_PTR CALLBACK CFlashWindow::Impl::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* self = reinterpret_cast<Impl*>(lParam);
    self->m_window = window;
    self->OnInitDialog();
    return TRUE;
  }
  auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, DWLP_USER));
  return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

void CFlashWindow::Impl::OnInitDialog() {
  m_bigIcon = LoadIconSized(SM_CXICON, SM_CYICON);
  m_smallIcon = LoadIconSized(SM_CXSMICON, SM_CYSMICON);
  SendMessageW(m_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon.get()));
  SendMessageW(m_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon.get()));
  const std::string about = LoadStringById(IDS_ABOUTBOX);
  if (HMENU menu = GetSystemMenu(m_window, FALSE); menu && !about.empty()) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, win32::Wide(about).c_str());
  }
  // The template's texts are English; the user reads them in the chosen language.
  SetWindowTextW(m_window, win32::Wide(WindowTitle(kTemplateProductName)).c_str());
  SetText(IDOK, Tr("Upgrade"));
  SetText(IDCANCEL, Tr("Close"));
  SetText(IDC_VERSION, Tr("Current Version :"));
  SetText(IDC_VERSION_HIDDEN, Tr("Current Version :"));
  win32::WidenButtonsToFit(m_window, {IDOK, IDCANCEL});
  m_status.Attach(Control(IDC_STATUS));
  ShowStatus(Tr("No device found!"));
  if (m_onInit) m_onInit();
}

// A longer text (a translation, a long product name) makes room below itself
// rather than being cut: the bar and the window's bottom move down.
void CFlashWindow::Impl::ShowStatus(const std::string& text) const {
  SetText(IDC_STATUS, text);
  win32::GrowTextToFit(m_window, IDC_STATUS, {IDC_PROGRESS});
}

INT_PTR CFlashWindow::Impl::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kWakeMessage:
      if (m_onWake) m_onWake();
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        m_onUpgrade();
        return TRUE;
      }
      // Close is disabled while the device is written: then only Escape sends it.
      if (LOWORD(wParam) == IDCANCEL) {
        m_onCancel("Close or Escape");
        return TRUE;
      }
      return FALSE;
    // The close box works in every state, also while Close is disabled.
    case WM_CLOSE:
      m_onCancel("the close box");
      return TRUE;
    // A dialog procedure answers through DWLP_MSGRESULT. The query is only a
    // question: another program or the user may still call the end off.
    case WM_QUERYENDSESSION:
      SetWindowLongPtrW(m_window, DWLP_MSGRESULT, m_onQueryEndSession() ? TRUE : FALSE);
      return TRUE;
    // The session may end any time after this returns with wParam TRUE
    // (WM_ENDSESSION), so it returns only once the dialog has ended and no
    // processor is being written: an end forced while writing ("Shut down
    // anyway", or a shutdown that asks nobody) waits here for the device to be safe.
    case WM_ENDSESSION:
      m_onEndSession(wParam != FALSE);
      if (wParam != FALSE) {
        ServeUntilTheRunHasEnded();
        m_onSessionEnded();
        // The message was sent, not posted: the modal loop looks at the
        // dialog's end only once a posted message wakes it.
        PostMessageW(m_window, WM_NULL, 0, 0);
      }
      SetWindowLongPtrW(m_window, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
      ShowAboutBox(m_window);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) != m_status.Handle()) return FALSE;
      return reinterpret_cast<INT_PTR>(m_status.OnCtlColor(reinterpret_cast<HDC>(wParam)));
    case WM_WINDOWPOSCHANGING:
      if (m_keepHidden) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
      return FALSE;
    case WM_PAINT:
      if (!IsIconic(m_window)) return FALSE;
      PaintIcon();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_bigIcon.get());
    default:
      return FALSE;
  }
}

// The flashing thread's updates reach the window as posted messages, each
// awaited by the thread, so they go on being dispatched while this waits.
void CFlashWindow::Impl::ServeUntilTheRunHasEnded() {
  constexpr DWORD kRecheckMs = 50;  // the thread's end itself posts nothing
  while (!m_runEnded()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kRecheckMs, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (IsDialogMessageW(m_window, &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

// A minimised window shows the icon centred in its client area.
void CFlashWindow::Impl::PaintIcon() {
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(m_window, &paint);
  SendMessageW(m_window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  GetClientRect(m_window, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_bigIcon.get());
  EndPaint(m_window, &paint);
}

CFlashWindow::CFlashWindow(std::function<void()> onUpgrade, std::function<void(const std::string& what)> onCancel,
                           std::function<bool()> onQueryEndSession, std::function<void(bool ending)> onEndSession,
                           std::function<bool()> runEnded, std::function<void()> onSessionEnded)
    : m_impl(std::make_unique<Impl>(std::move(onUpgrade), std::move(onCancel), std::move(onQueryEndSession),
                                    std::move(onEndSession), std::move(runEnded), std::move(onSessionEnded))) {}

CFlashWindow::~CFlashWindow() = default;

bool CFlashWindow::Run(std::function<void()> onInit) { return m_impl->Run(std::move(onInit)); }

void CFlashWindow::PostWake() const { m_impl->PostWake(); }

void CFlashWindow::SetWakeHandler(std::function<void()> handler) { m_impl->m_onWake = std::move(handler); }

void CFlashWindow::ProgressSetPos(int position) {
  SendMessageW(m_impl->Control(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CFlashWindow::ProgressSetRange(std::uint16_t lower, std::uint16_t upper) {
  SendMessageW(m_impl->Control(IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void CFlashWindow::ProgressSetStep(int step) {
  SendMessageW(m_impl->Control(IDC_PROGRESS), PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void CFlashWindow::ProgressStepIt() { SendMessageW(m_impl->Control(IDC_PROGRESS), PBM_STEPIT, 0, 0); }

void CFlashWindow::SetStatusText(const std::string& text) { m_impl->ShowStatus(text); }

void CFlashWindow::SetStatusColour(Rgb colour) { m_impl->m_status.SetTextColour(colour); }

void CFlashWindow::EnableButton(DialogButton button, bool enable) {
  HWND control = m_impl->Control(button == DialogButton::Upgrade ? IDOK : IDCANCEL);
  EnableWindow(control, enable ? TRUE : FALSE);
  // The run disables the button that had the focus, which leaves the keyboard
  // with nowhere to go (Escape and Return would do nothing after the run): a
  // button enabled again takes the focus while no enabled control has it.
  HWND focus = GetFocus();
  if (enable && (focus == nullptr || !IsWindowEnabled(focus)))
    SendMessageW(m_impl->m_window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void CFlashWindow::EnableDialogWindow() { EnableWindow(m_impl->m_window, TRUE); }

void CFlashWindow::RepaintAndShow() {
  UpdateWindow(m_impl->m_window);
  ShowWindow(m_impl->m_window, SW_SHOWNORMAL);
}

void CFlashWindow::StartProgressWindow(std::uint16_t stepCount) {
  m_impl->m_pProg.reset();
  m_impl->m_pProg.emplace(m_impl->m_window).Start(stepCount);
}

void CFlashWindow::StepProgressWindow() {
  if (m_impl->m_pProg) m_impl->m_pProg->Step();
}

void CFlashWindow::SetTitle(const std::string& title) {
  SetWindowTextW(m_impl->m_window, win32::Wide(title).c_str());
}

void CFlashWindow::SetVersionText(const std::string& text) {
  ShowWindow(m_impl->Control(IDC_VERSION_HIDDEN), SW_HIDE);
  ShowWindow(m_impl->Control(IDC_COMBO_HIDDEN), SW_HIDE);
  const HWND version = m_impl->Control(IDC_VERSION);
  ShowWindow(version, SW_SHOW);
  SetWindowPos(version, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetWindowTextW(version, win32::Wide(text).c_str());
}

void CFlashWindow::KeepHidden() {
  m_impl->m_keepHidden = true;
  ShowWindow(m_impl->m_window, SW_HIDE);
}

void CFlashWindow::EndDialog(int result) {
  m_impl->m_pProg.reset();
  ::EndDialog(m_impl->m_window, result);
}

void CFlashWindow::BlockSessionEnd(const std::string& reason) {
  ShutdownBlockReasonCreate(m_impl->m_window, win32::Wide(reason).c_str());
}

void CFlashWindow::AllowSessionEnd() { ShutdownBlockReasonDestroy(m_impl->m_window); }
