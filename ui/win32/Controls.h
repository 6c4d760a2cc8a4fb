#pragma once
// The parts of the Windows dialog below the main window: the coloured status
// text (CColorStatic), the separate progress window (CProg) and the about box.
#include <windows.h>

#include <cstdint>

#include "platform/ProgressSurface.h"
#include "ui/win32/Handles.h"

// Status text whose colour the controller sets, on a button-face background.
class CColorStatic {
 public:
  CColorStatic();
  void Attach(HWND control) { m_control = control; }
  HWND Handle() const { return m_control; }
  // Stores the colour and repaints the control at once.
  void SetTextColour(Rgb colour);
  // The answer to the control's colour request: colours set on `dc`, the brush returned.
  HBRUSH OnCtlColor(HDC dc) const;

 private:
  COLORREF m_background;
  win32::UniqueBrush m_brush;
  Rgb m_textColour = kBlack;
  HWND m_control = nullptr;
};

// The progress window of progress mode (template 135): one bar, owned by the
// main dialog. If it cannot be created, nothing it does has a visible effect.
class CProg {
 public:
  explicit CProg(HWND parent) : m_parent(parent) {}
  // Creates the window hidden, bar at 0 of `stepCount` with step 1, centred
  // horizontally with its vertical centre 150 pixels above the bottom of the
  // screen, directly behind the parent.
  void Start(std::uint16_t stepCount);
  // Shows the window and advances its bar by one step.
  void Step();

 private:
  HWND m_parent;
  win32::UniqueWindow m_window;
};

// The about box (template 100), modal to `owner`.
void ShowAboutBox(HWND owner);

// The module whose resources hold the templates and the icon.
inline HINSTANCE ResourceModule() { return GetModuleHandleW(nullptr); }
