#pragma once
// Test support: looks at and drives the Windows dialogs of one GUI thread from
// another thread, through window messages as a user's input would arrive.
// Keeps <windows.h> out, so that tests can include the controller beside it.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProgressSurface.h"

struct ProgressBarState {
  int lower = 0;
  int upper = 0;
  int pos = 0;
  friend bool operator==(const ProgressBarState&, const ProgressBarState&) = default;
};

// A rectangle in pixels.
struct PixelBox {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  friend bool operator==(const PixelBox&, const PixelBox&) = default;
};

// A control's text as its font draws it: its width on one line, and its
// height word-wrapped at the control's width.
struct TextSize {
  int width = 0;
  int height = 0;
};

class CDialogProbe {
 public:
  // Construct on the GUI thread, before its dialog is made: from then on it
  // notes whether the main dialog ever becomes visible.
  CDialogProbe();

  // Whether this process can make windows at all (Wine needs an X display or
  // its null graphics driver).
  static bool WindowsCanBeMade();

  // Waits until the main dialog exists (and is visible when `visible`); false on time-out.
  bool WaitForDialog(bool visible) const;
  bool DialogExists() const;
  // Waits until the main dialog has gone; false on time-out.
  bool WaitForDialogGone() const;
  bool DialogEverShown() const;

  std::string Title() const;
  std::string Text(int controlId) const;
  bool Enabled(int controlId) const;
  // The colours the status text is drawn with, as the dialog answers its colour request.
  Rgb StatusColour() const;
  ProgressBarState Progress() const;
  std::string SystemMenuEntry(int command) const;
  // A control of the main dialog in the dialog's client area; 0 gives the client area itself.
  PixelBox Place(int controlId) const;
  // A rectangle of the main dialog's template, in dialog units, as the dialog's pixels.
  PixelBox FromDialogUnits(int left, int top, int width, int height) const;
  TextSize MeasureText(int controlId) const;

  // Returns once the dialog has handled the button's click.
  void Click(int controlId) const;
  void PressEscape() const;
  void ClickCloseBox() const;
  void SystemCommand(int command) const;
  // Asks the dialog, as Windows does before a log-off or shutdown, whether
  // the session may end; its answer.
  bool SessionMayEnd() const;
  // Tells the dialog, as Windows does after asking, that the session ends
  // (true) or that its end was called off; returns once the dialog has handled it.
  void EndSession(bool ending) const;
  // The reason the dialog gives Windows for holding up the session's end;
  // empty when none; nothing when the system cannot tell (Wine 8 has no
  // ShutdownBlockReasonQuery).
  std::optional<std::string> ShutdownBlockReason() const;

  // Another top-level window of the GUI thread, found by its title. Waits
  // until it is there (or, with `present` false, gone); false on time-out.
  bool WaitForWindow(const std::string& title, bool present = true) const;
  std::vector<std::string> TextsOf(const std::string& title) const;
  bool IsTopMost(const std::string& title) const;
  void PressOk(const std::string& title) const;

  // The progress window: made, shown, owned by the main dialog, and its bar.
  bool ProgressWindowExists() const;
  bool ProgressWindowVisible() const;
  bool ProgressWindowOwnedByDialog() const;
  ProgressBarState ProgressWindowBar() const;

  // Writes what the screen shows of a window, frame included, to a BMP file.
  bool SaveDialogImage(const std::string& path) const;
  bool SaveProgressWindowImage(const std::string& path) const;
  bool SaveWindowImage(const std::string& title, const std::string& path) const;

  static constexpr std::chrono::seconds kTimeout{10};

 private:
  struct HookRemover {
    void operator()(void* hook) const;
  };

  unsigned long m_guiThread;
  std::unique_ptr<void, HookRemover> m_hook;
};
