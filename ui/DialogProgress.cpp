#include "ui/DialogProgress.h"

#include "resources/StringTable.h"

void CDialogProgress::WriteBegins(WriteSteps steps) {
  m_steps = steps.steps;
  if (!Silent()) {
    m_surface.ProgressSetPos(0);
    m_surface.ProgressSetRange(0, steps.steps);
    m_surface.ProgressSetStep(1);
  }
  if (m_surface.IsProgressMode()) m_surface.StartProgressWindow(steps.windowSteps);
  if (!Silent()) {
    m_surface.EnableButton(DialogButton::Upgrade, false);
    m_surface.EnableButton(DialogButton::Close, false);
    m_surface.SetStatusText(LoadStringById(IDS_UPGRADING));
  }
}

void CDialogProgress::RecordSent(std::uint32_t bytesSent, std::uint32_t total, bool lastRecord) {
  if (Silent()) return;
  const std::uint32_t stepBytes = m_steps != 0 ? total / m_steps : 0;
  const int position = m_surface.ProgressGetPos();
  if (bytesSent >= static_cast<std::uint32_t>(position) * stepBytes && position != m_steps) m_surface.ProgressStepIt();
  ShowBytes(lastRecord ? total : bytesSent, total);
  m_surface.RepaintAndShow();
}

void CDialogProgress::BlockWritten(std::uint32_t written, std::uint32_t total) {
  if (!Silent()) {
    m_surface.ProgressStepIt();
    m_surface.RepaintAndShow();
    ShowBytes(written, total);
  }
  if (m_surface.IsProgressMode()) m_surface.StepProgressWindow();
}

void CDialogProgress::Stepped() {
  if (Silent() || m_surface.ProgressGetPos() >= m_steps) return;
  m_surface.ProgressStepIt();
  m_surface.RepaintAndShow();
}

void CDialogProgress::BytesAcknowledged(std::uint32_t sent, std::uint32_t total) { ShowBytes(sent, total); }

void CDialogProgress::ShowBytes(std::uint32_t written, std::uint32_t total) {
  m_surface.SetStatusText(UpgradingStatusText(written, total));
}
