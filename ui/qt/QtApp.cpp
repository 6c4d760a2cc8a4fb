#include "ui/qt/QtApp.h"

#include <cstdlib>

namespace {
int g_argc = 1;
char g_programName[] = "quillon-upgrade";
char* g_argv[] = {g_programName, nullptr};
}  // namespace

CQtAppScope::CQtAppScope() {
  if (QApplication::instance()) return;
  // A Wayland-only session: Qt's default here would try X11 and give up.
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && std::getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "wayland", 0);
  m_app = std::make_unique<QApplication>(g_argc, g_argv);
  // Our own event loops decide when the dialog ends, not the last closed window.
  QApplication::setQuitOnLastWindowClosed(false);
}

CQtAppScope::~CQtAppScope() = default;
