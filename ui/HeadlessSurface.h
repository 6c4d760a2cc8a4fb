#pragma once
// CHeadlessSurface: the dialog without a window. Silent runs use it when no
// progress window can be shown; tests use it to see what a run would have shown.
// It keeps the current state of every control and, when asked to, a history of
// every operation in the order it arrived. Safe to call from any thread.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/DialogSurface.h"
#include "ui/ProgressBarModel.h"

class CHeadlessSurface : public CDialogSurface {
 public:
  explicit CHeadlessSurface(bool keepHistory = false) : m_keepHistory(keepHistory) {}

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
  // Writes the text to standard error: nobody could dismiss a box here.
  void ShowMessage(const std::string& text) override;
  void EndDialog(int result) override;

  // What the controls show now.
  struct State {
    std::string title = "Quillon Device Firmware Upgrade";
    std::string statusText = "No device found!";
    Rgb statusColour = kBlack;
    std::string versionText = "Current Version :";
    bool upgradeEnabled = false;
    bool closeEnabled = true;
    bool windowHidden = false;
    CProgressBarModel progress;
    // The progress window: absent until started.
    std::optional<CProgressBarModel> progressWindow;
    int progressWindowsStarted = 0;
    std::vector<std::string> messages;
    std::optional<int> endResult;
  };
  State Snapshot() const;
  // Every operation as one line ("status: ...", "enable Upgrade 0", ...).
  std::vector<std::string> History() const;

 private:
  void Record(std::string line);

  const bool m_keepHistory;
  mutable std::mutex m_mutex;
  State m_state;
  std::vector<std::string> m_history;
};
