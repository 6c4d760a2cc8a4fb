#pragma once
// CDialogSurface: everything the main dialog's controller shows, beyond the
// progress surface that the writers share: the window title, the version line,
// hiding the window, the system-modal message box and the end of the dialog.
// Implemented headless (silent runs, tests) and with Qt widgets (desktop).
#include <string>

#include "platform/ProgressSurface.h"

class CDialogSurface : public CProgressSurface {
 public:
  void SetModes(bool silentMode, bool progressMode) {
    m_SilentMode = silentMode;
    m_ProgressMode = progressMode;
  }
  bool IsSilentMode() const override { return m_SilentMode; }
  bool IsProgressMode() const override { return m_ProgressMode; }

  virtual void SetWindowTitle(const std::string& title) = 0;
  // Control 1003; an empty text clears the line.
  virtual void SetVersionText(const std::string& text) = 0;
  // Hides the main window for good (silent mode).
  virtual void HideWindow() = 0;
  // A system-modal message box; returns once it is dismissed (or at once when
  // nobody could dismiss it).
  virtual void ShowMessage(const std::string& text) = 0;
  // Ends the dialog with `result`; the window and the progress window go away.
  virtual void EndDialog(int result) = 0;
  // While the device is written the end of the session is refused, the
  // system showing `reason`, and allowed again afterwards. Only Windows asks
  // a window before the session ends; elsewhere these do nothing.
  virtual void BlockSessionEnd(const std::string& reason) { (void)reason; }
  virtual void AllowSessionEnd() {}

 private:
  bool m_SilentMode = false;
  bool m_ProgressMode = false;
};
