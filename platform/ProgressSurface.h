#pragma once
// What the upgrade controller, and the dialog's side of a write on its behalf,
// may do to the screen: the main dialog's progress bar, coloured status text,
// buttons and the separate progress window. The desktop dialog implements it
// with widgets; silent runs and tests use a headless implementation. Every
// operation may be called from the flashing thread and completes before it returns.
#include <cstdint>
#include <string>

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kRed{255, 0, 0};

enum class DialogButton { Upgrade, Close };

class CProgressSurface {
 public:
  virtual ~CProgressSurface() = default;

  // m_SilentMode and m_ProgressMode of the main dialog.
  virtual bool IsSilentMode() const = 0;
  virtual bool IsProgressMode() const = 0;

  // Main dialog progress bar.
  virtual void ProgressSetPos(int position) = 0;
  virtual void ProgressSetRange(std::uint16_t lower, std::uint16_t upper) = 0;
  virtual void ProgressSetStep(int step) = 0;
  virtual void ProgressStepIt() = 0;
  virtual int ProgressGetPos() const = 0;

  // Status text (control 1000) and its colour; red stays red for the rest of the run.
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetStatusColour(Rgb colour) = 0;

  virtual void EnableButton(DialogButton button, bool enable) = 0;
  virtual void EnableDialogWindow() = 0;
  // Repaint pending areas now, then show the window normally (never in silent mode).
  virtual void RepaintAndShow() = 0;

  // The separate progress window: destroys a previous one, creates a new one
  // and starts it with `stepCount` steps (range 0..stepCount, step 1).
  virtual void StartProgressWindow(std::uint16_t stepCount) = 0;
  // Shows the progress window and advances its bar by one step.
  virtual void StepProgressWindow() = 0;
};
