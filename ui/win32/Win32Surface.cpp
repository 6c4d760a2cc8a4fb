#include "ui/win32/Win32Surface.h"

#include "ui/win32/FlashWindow.h"
#include "ui/win32/MessageBox.h"

CWin32Surface::~CWin32Surface() { m_channel.Close(); }

void CWin32Surface::Open(CFlashWindow& window) {
  m_window = &window;
  window.SetWakeHandler([this] { m_channel.Drain(); });
  // Only posts: the channel calls this with its lock held.
  m_channel.Open([&window] { window.PostWake(); });
}

void CWin32Surface::Close() {
  m_channel.Close();
  m_window = nullptr;
}

void CWin32Surface::OnWindow(std::function<void(CFlashWindow&)> update) {
  m_channel.Run([this, update = std::move(update)] {
    if (m_window) update(*m_window);
  });
}

void CWin32Surface::ProgressSetPos(int position) {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.SetPos(position);
  }
  OnWindow([position](CFlashWindow& window) { window.ProgressSetPos(position); });
}

void CWin32Surface::ProgressSetRange(std::uint16_t lower, std::uint16_t upper) {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.SetRange(lower, upper);
  }
  OnWindow([lower, upper](CFlashWindow& window) { window.ProgressSetRange(lower, upper); });
}

void CWin32Surface::ProgressSetStep(int step) {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.SetStep(step);
  }
  OnWindow([step](CFlashWindow& window) { window.ProgressSetStep(step); });
}

void CWin32Surface::ProgressStepIt() {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.StepIt();
  }
  OnWindow([](CFlashWindow& window) { window.ProgressStepIt(); });
}

int CWin32Surface::ProgressGetPos() const {
  std::lock_guard lock(m_modelMutex);
  return m_model.Pos();
}

void CWin32Surface::SetStatusText(const std::string& text) {
  OnWindow([text](CFlashWindow& window) { window.SetStatusText(text); });
}

void CWin32Surface::SetStatusColour(Rgb colour) {
  OnWindow([colour](CFlashWindow& window) { window.SetStatusColour(colour); });
}

void CWin32Surface::EnableButton(DialogButton button, bool enable) {
  OnWindow([button, enable](CFlashWindow& window) { window.EnableButton(button, enable); });
}

void CWin32Surface::EnableDialogWindow() {
  OnWindow([](CFlashWindow& window) { window.EnableDialogWindow(); });
}

void CWin32Surface::RepaintAndShow() {
  OnWindow([](CFlashWindow& window) { window.RepaintAndShow(); });
}

void CWin32Surface::StartProgressWindow(std::uint16_t stepCount) {
  OnWindow([stepCount](CFlashWindow& window) { window.StartProgressWindow(stepCount); });
}

void CWin32Surface::StepProgressWindow() {
  OnWindow([](CFlashWindow& window) { window.StepProgressWindow(); });
}

void CWin32Surface::SetWindowTitle(const std::string& title) {
  OnWindow([title](CFlashWindow& window) { window.SetTitle(title); });
}

void CWin32Surface::SetVersionText(const std::string& text) {
  OnWindow([text](CFlashWindow& window) { window.SetVersionText(text); });
}

void CWin32Surface::HideWindow() {
  OnWindow([](CFlashWindow& window) { window.KeepHidden(); });
}

void CWin32Surface::ShowMessage(const std::string& text) {
  m_channel.Run([text] { ShowSystemModalMessage(text); });
}

void CWin32Surface::EndDialog(int result) {
  OnWindow([this, result](CFlashWindow& window) {
    // The close begins here: from now on updates from the flashing thread
    // return at once.
    Close();
    window.EndDialog(result);
  });
}

void CWin32Surface::BlockSessionEnd(const std::string& reason) {
  OnWindow([reason](CFlashWindow& window) { window.BlockSessionEnd(reason); });
}

void CWin32Surface::AllowSessionEnd() {
  OnWindow([](CFlashWindow& window) { window.AllowSessionEnd(); });
}
