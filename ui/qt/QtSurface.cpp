#include "ui/qt/QtSurface.h"

#include <QMetaObject>

#include "ui/qt/FlashWindow.h"
#include "ui/qt/MessageBox.h"

CQtSurface::CQtSurface() = default;

CQtSurface::~CQtSurface() { m_channel.Close(); }

void CQtSurface::Open(CFlashWindow* window) {
  m_window = window;
  // Wake-ups are queued events for the receiver, which lives on the GUI thread.
  m_channel.Open([this] {
    QMetaObject::invokeMethod(&m_receiver, [this] { m_channel.Drain(); }, Qt::QueuedConnection);
  });
}

void CQtSurface::Close() {
  m_channel.Close();
  m_window = nullptr;
}

void CQtSurface::ShowProgress() {
  CProgressBarModel model;
  {
    std::lock_guard lock(m_modelMutex);
    model = m_model;
  }
  m_channel.Run([this, model] {
    if (m_window) m_window->ShowProgressModel(model);
  });
}

void CQtSurface::ProgressSetPos(int position) {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.SetPos(position);
  }
  ShowProgress();
}

void CQtSurface::ProgressSetRange(std::uint16_t lower, std::uint16_t upper) {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.SetRange(lower, upper);
  }
  ShowProgress();
}

void CQtSurface::ProgressSetStep(int step) {
  std::lock_guard lock(m_modelMutex);
  m_model.SetStep(step);
}

void CQtSurface::ProgressStepIt() {
  {
    std::lock_guard lock(m_modelMutex);
    m_model.StepIt();
  }
  ShowProgress();
}

int CQtSurface::ProgressGetPos() const {
  std::lock_guard lock(m_modelMutex);
  return m_model.Pos();
}

void CQtSurface::SetStatusText(const std::string& text) {
  m_channel.Run([this, text] {
    if (m_window) m_window->SetStatusText(QString::fromStdString(text));
  });
}

void CQtSurface::SetStatusColour(Rgb colour) {
  m_channel.Run([this, colour] {
    if (m_window) m_window->Status()->SetTextColour(colour);
  });
}

void CQtSurface::EnableButton(DialogButton button, bool enable) {
  m_channel.Run([this, button, enable] {
    if (!m_window) return;
    (button == DialogButton::Upgrade ? m_window->UpgradeButton() : m_window->CloseButton())->setEnabled(enable);
  });
}

void CQtSurface::EnableDialogWindow() {
  m_channel.Run([this] {
    if (m_window) m_window->setEnabled(true);
  });
}

void CQtSurface::RepaintAndShow() {
  m_channel.Run([this] {
    if (m_window) m_window->RepaintAndShow();
  });
}

void CQtSurface::StartProgressWindow(std::uint16_t stepCount) {
  m_channel.Run([this, stepCount] {
    if (m_window) m_window->StartProgressWindow(stepCount);
  });
}

void CQtSurface::StepProgressWindow() {
  m_channel.Run([this] {
    if (m_window) m_window->StepProgressWindow();
  });
}

void CQtSurface::SetWindowTitle(const std::string& title) {
  m_channel.Run([this, title] {
    if (m_window) m_window->setWindowTitle(QString::fromStdString(title));
  });
}

void CQtSurface::SetVersionText(const std::string& text) {
  m_channel.Run([this, text] {
    if (m_window) m_window->SetVersionText(QString::fromStdString(text));
  });
}

void CQtSurface::HideWindow() {
  m_channel.Run([this] {
    if (m_window) m_window->KeepHidden();
  });
}

void CQtSurface::ShowMessage(const std::string& text) {
  m_channel.Run([text] { ShowSystemModalMessage(text); });
}

void CQtSurface::EndDialog(int result) {
  m_channel.Run([this, result] {
    if (m_window) m_window->EndDialog(result);
  });
}
