#include "ui/HeadlessSurface.h"

#include <cstdio>

void CHeadlessSurface::Record(std::string line) {
  if (m_keepHistory) m_history.push_back(std::move(line));
}

void CHeadlessSurface::ProgressSetPos(int position) {
  std::lock_guard lock(m_mutex);
  m_state.progress.SetPos(position);
  Record("progress pos " + std::to_string(position));
}

void CHeadlessSurface::ProgressSetRange(std::uint16_t lower, std::uint16_t upper) {
  std::lock_guard lock(m_mutex);
  m_state.progress.SetRange(lower, upper);
  Record("progress range " + std::to_string(lower) + ".." + std::to_string(upper));
}

void CHeadlessSurface::ProgressSetStep(int step) {
  std::lock_guard lock(m_mutex);
  m_state.progress.SetStep(step);
  Record("progress step " + std::to_string(step));
}

void CHeadlessSurface::ProgressStepIt() {
  std::lock_guard lock(m_mutex);
  m_state.progress.StepIt();
  Record("progress stepit");
}

int CHeadlessSurface::ProgressGetPos() const {
  std::lock_guard lock(m_mutex);
  return m_state.progress.Pos();
}

void CHeadlessSurface::SetStatusText(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_state.statusText = text;
  Record("status: " + text);
}

void CHeadlessSurface::SetStatusColour(Rgb colour) {
  std::lock_guard lock(m_mutex);
  m_state.statusColour = colour;
  Record("colour " + std::to_string(colour.red) + "," + std::to_string(colour.green) + "," +
         std::to_string(colour.blue));
}

void CHeadlessSurface::EnableButton(DialogButton button, bool enable) {
  std::lock_guard lock(m_mutex);
  (button == DialogButton::Upgrade ? m_state.upgradeEnabled : m_state.closeEnabled) = enable;
  Record(std::string("enable ") + (button == DialogButton::Upgrade ? "Upgrade " : "Close ") + (enable ? "1" : "0"));
}

void CHeadlessSurface::EnableDialogWindow() {
  std::lock_guard lock(m_mutex);
  Record("enable window");
}

void CHeadlessSurface::RepaintAndShow() {
  std::lock_guard lock(m_mutex);
  Record("repaint and show");
}

void CHeadlessSurface::StartProgressWindow(std::uint16_t stepCount) {
  std::lock_guard lock(m_mutex);
  CProgressBarModel bar;
  bar.SetRange(0, stepCount);
  bar.SetPos(0);
  bar.SetStep(1);
  m_state.progressWindow = bar;
  ++m_state.progressWindowsStarted;
  Record("progress window start " + std::to_string(stepCount));
}

void CHeadlessSurface::StepProgressWindow() {
  std::lock_guard lock(m_mutex);
  if (m_state.progressWindow) m_state.progressWindow->StepIt();
  Record("progress window step");
}

void CHeadlessSurface::SetWindowTitle(const std::string& title) {
  std::lock_guard lock(m_mutex);
  m_state.title = title;
  Record("title: " + title);
}

void CHeadlessSurface::SetVersionText(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_state.versionText = text;
  Record("version: " + text);
}

void CHeadlessSurface::HideWindow() {
  std::lock_guard lock(m_mutex);
  m_state.windowHidden = true;
  Record("hide");
}

void CHeadlessSurface::ShowMessage(const std::string& text) {
  {
    std::lock_guard lock(m_mutex);
    m_state.messages.push_back(text);
    Record("message: " + text);
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

void CHeadlessSurface::EndDialog(int result) {
  std::lock_guard lock(m_mutex);
  if (!m_state.endResult) m_state.endResult = result;
  m_state.progressWindow.reset();
  Record("end " + std::to_string(result));
}

CHeadlessSurface::State CHeadlessSurface::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

std::vector<std::string> CHeadlessSurface::History() const {
  std::lock_guard lock(m_mutex);
  return m_history;
}
