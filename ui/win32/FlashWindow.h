#pragma once
// CFlashWindow: the main dialog's window (template 102 of Dialog.rc), touched
// on the GUI thread only; the controller reaches it through CWin32Surface.
// This header keeps <windows.h> out, whose macros (IDOK, S_OK, HRESULT ...)
// collide with the controller's names.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/ProgressSurface.h"

class CFlashWindow {
 public:
  // What the buttons do: Upgrade, and Close (also Escape and the close box,
  // told apart by the text `onCancel` gets); `onQueryEndSession` says whether
  // the session may end now; `onEndSession` hears that it ends (true) or that
  // its end was called off (false); `runEnded` tells when the dialog has ended
  // and nothing writes the device any more, and `onSessionEnded` is called then.
  CFlashWindow(std::function<void()> onUpgrade, std::function<void(const std::string& what)> onCancel,
               std::function<bool()> onQueryEndSession, std::function<void(bool ending)> onEndSession,
               std::function<bool()> runEnded, std::function<void()> onSessionEnded);
  ~CFlashWindow();
  CFlashWindow(const CFlashWindow&) = delete;
  CFlashWindow& operator=(const CFlashWindow&) = delete;

  // Runs the modal dialog; `onInit` runs once its controls exist, before it is
  // shown. False when the window could not be created.
  bool Run(std::function<void()> onInit);
  // Any thread: has the GUI thread call `handler` (set on the GUI thread).
  void PostWake() const;
  void SetWakeHandler(std::function<void()> handler);

  void ProgressSetPos(int position);
  void ProgressSetRange(std::uint16_t lower, std::uint16_t upper);
  void ProgressSetStep(int step);
  void ProgressStepIt();
  void SetStatusText(const std::string& text);
  void SetStatusColour(Rgb colour);
  void EnableButton(DialogButton button, bool enable);
  void EnableDialogWindow();
  // Repaints pending areas now, then shows the window unless it is kept hidden.
  void RepaintAndShow();
  // Destroys a previous progress window, then makes and starts a new one.
  void StartProgressWindow(std::uint16_t stepCount);
  void StepProgressWindow();
  void SetTitle(const std::string& title);
  void SetVersionText(const std::string& text);
  // Silent mode: the window can never be shown from now on.
  void KeepHidden();
  // Destroys the progress window and ends the modal dialog with `result`.
  void EndDialog(int result);
  // The reason Windows shows for a refused end of the session, and its removal.
  void BlockSessionEnd(const std::string& reason);
  void AllowSessionEnd();

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};
