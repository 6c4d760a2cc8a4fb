#pragma once
// Qt ends the process on its own when its connection to the display breaks
// (the X server or the compositor gone, an `ssh -X` session dropped, the user
// logged out of the desktop): on X11 it warns "The X11 connection broke" and
// calls exit() from the GUI thread; on Wayland it sends a fatal message, after
// which it aborts. A device half written must not be left so. While a
// CDisplayLossHold lives, both messages call `hold` first, on the thread that
// met the loss, before Qt acts on them. `hold` is expected to end the process
// itself, once the device is safe. (Not from an exit handler: by then the
// objects made since the handler was registered, translations and Qt's own
// among them, are destroyed under a run that still uses them.)
#include <QtGlobal>
#include <functional>

class CDisplayLossHold {
 public:
  explicit CDisplayLossHold(std::function<void()> hold);
  ~CDisplayLossHold();
  CDisplayLossHold(const CDisplayLossHold&) = delete;
  CDisplayLossHold& operator=(const CDisplayLossHold&) = delete;

 private:
  std::function<void()> m_hold;
  QtMessageHandler m_previous;
};
