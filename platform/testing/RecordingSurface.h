#pragma once
// A progress surface for tests of the writers: it keeps the state a dialog
// would show and the order of the status texts.
#include <mutex>
#include <string>
#include <vector>

#include "platform/ProgressSurface.h"

class CRecordingSurface final : public CProgressSurface {
 public:
  CRecordingSurface(bool silent, bool progressMode) : m_SilentMode(silent), m_ProgressMode(progressMode) {}

  bool IsSilentMode() const override { return m_SilentMode; }
  bool IsProgressMode() const override { return m_ProgressMode; }
  void ProgressSetPos(int position) override { Locked([&] { m_position = position; }); }
  void ProgressSetRange(std::uint16_t lower, std::uint16_t upper) override {
    Locked([&] {
      m_rangeLower = lower;
      m_rangeUpper = upper;
    });
  }
  void ProgressSetStep(int step) override { Locked([&] { m_step = step; }); }
  void ProgressStepIt() override {
    Locked([&] {
      m_position += m_step;
      if (m_position > m_rangeUpper) m_position = m_rangeUpper;
      ++m_stepCalls;
    });
  }
  int ProgressGetPos() const override {
    std::lock_guard lock(m_mutex);
    return m_position;
  }
  void SetStatusText(const std::string& text) override { Locked([&] { m_texts.push_back(text); }); }
  void SetStatusColour(Rgb colour) override { Locked([&] { m_colour = colour; }); }
  void EnableButton(DialogButton button, bool enable) override {
    Locked([&] { (button == DialogButton::Upgrade ? m_upgradeEnabled : m_closeEnabled) = enable; });
  }
  void EnableDialogWindow() override {}
  void RepaintAndShow() override { Locked([&] { ++m_repaints; }); }
  void StartProgressWindow(std::uint16_t stepCount) override {
    Locked([&] {
      ++m_progressWindowsStarted;
      m_progressWindowSteps = stepCount;
    });
  }
  void StepProgressWindow() override { Locked([&] { ++m_progressWindowStepCalls; }); }

  // What was shown, read after the writer returned.
  std::vector<std::string> m_texts;
  int m_position = 0;
  int m_rangeLower = 0;
  int m_rangeUpper = 100;
  int m_step = 10;
  int m_stepCalls = 0;
  int m_repaints = 0;
  Rgb m_colour = kBlack;
  bool m_upgradeEnabled = true;
  bool m_closeEnabled = true;
  int m_progressWindowsStarted = 0;
  int m_progressWindowSteps = -1;
  int m_progressWindowStepCalls = 0;

 private:
  template <typename F>
  void Locked(F&& change) {
    std::lock_guard lock(m_mutex);
    change();
  }

  bool m_SilentMode;
  bool m_ProgressMode;
  mutable std::mutex m_mutex;
};
