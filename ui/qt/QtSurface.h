#pragma once
// CQtSurface: the dialog surface on Qt widgets. Any thread may call it; every
// update runs on the GUI thread through a CGuiChannel, in order, and the caller
// goes on once it has run. From the end of the dialog on, updates change
// nothing on the screen and return at once.
#include <QObject>
#include <mutex>

#include "ui/DialogSurface.h"
#include "ui/GuiChannel.h"
#include "ui/ProgressBarModel.h"

class CFlashWindow;

class CQtSurface : public CDialogSurface {
 public:
  // Construct on the GUI thread.
  CQtSurface();
  ~CQtSurface() override;

  // GUI thread: binds the window; updates reach it from now on.
  void Open(CFlashWindow* window);
  // GUI thread: the dialog has ended; nothing reaches the window any more.
  void Close();

  void ProgressSetPos(int position) override;
  void ProgressSetRange(std::uint16_t lower, std::uint16_t upper) override;
  void ProgressSetStep(int step) override;
  void ProgressStepIt() override;
  int ProgressGetPos() const override;
  void SetStatusText(const std::string& text) override;
  void SetStatusColour(Rgb colour) override;
  void EnableButton(DialogButton button, bool enable) override;
  void EnableDialogWindow() override;
  void RepaintAndShow() override;
  void StartProgressWindow(std::uint16_t stepCount) override;
  void StepProgressWindow() override;

  void SetWindowTitle(const std::string& title) override;
  void SetVersionText(const std::string& text) override;
  void HideWindow() override;
  void ShowMessage(const std::string& text) override;
  void EndDialog(int result) override;

 private:
  // Applies the main progress bar's model to the window.
  void ShowProgress();

  CGuiChannel m_channel;
  // Receives the wake-up calls on the GUI thread; lives as long as the surface.
  QObject m_receiver;
  // Set and cleared on the GUI thread; read only by updates, which run there.
  CFlashWindow* m_window = nullptr;
  // The bar's state, kept here so that any thread can read the position.
  mutable std::mutex m_modelMutex;
  CProgressBarModel m_model;
};
