#pragma once
// Whether windows can be shown, decided once before any window-system call so
// that a run without a display never tries to connect to one.
enum class DisplayKind {
  None,       // no window system reachable: silent and headless runs only
  Offscreen,  // Qt's offscreen or minimal platform: windows render, nobody sees or clicks them
  Real,       // a window system that answered a connection
};

// Decided on the first call; every later call answers the same.
DisplayKind DetectDisplay();
// Looks afresh at the environment and the window system.
DisplayKind ProbeDisplay();
