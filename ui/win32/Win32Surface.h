#pragma once
// CWin32Surface: the dialog surface on the Windows dialog. Any thread may call
// it; every update runs on the GUI thread through a CGuiChannel, woken by a
// message posted to the dialog, in order, and the caller goes on once it has
// run. From the end of the dialog on, updates change nothing on the screen
// and return at once.
#include <functional>
#include <mutex>

#include "ui/DialogSurface.h"
#include "ui/GuiChannel.h"
#include "ui/ProgressBarModel.h"

class CFlashWindow;

class CWin32Surface : public CDialogSurface {
 public:
  // Construct on the GUI thread.
  CWin32Surface() = default;
  ~CWin32Surface() override;

  // GUI thread, once the window exists: updates reach it from now on.
  void Open(CFlashWindow& window);
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
  void BlockSessionEnd(const std::string& reason) override;
  void AllowSessionEnd() override;

 private:
  // Runs `update` on the GUI thread against the window, while there is one.
  void OnWindow(std::function<void(CFlashWindow&)> update);

  CGuiChannel m_channel;
  // Set and cleared on the GUI thread; read only by updates, which run there.
  CFlashWindow* m_window = nullptr;
  // The bar's state, kept here so that any thread can read the position.
  mutable std::mutex m_modelMutex;
  CProgressBarModel m_model;
};
