#include "ui/qt/Display.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

std::string_view Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string_view(value) : std::string_view();
}

// Asks libxcb (loaded at run time, so the program does not depend on it) to
// connect to $DISPLAY: the same connection the Qt xcb platform would make.
// A connection that answers is kept open for the life of the process: an X
// server with no other client (a bare Xvfb) resets itself when its last client
// leaves, and would refuse the windows that this check has just promised.
bool X11Answers() {
  if (Env("DISPLAY").empty()) return false;
  void* library = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  using ConnectFn = void* (*)(const char*, int*);
  using HasErrorFn = int (*)(void*);
  using DisconnectFn = void (*)(void*);
  auto connect = reinterpret_cast<ConnectFn>(dlsym(library, "xcb_connect"));
  auto hasError = reinterpret_cast<HasErrorFn>(dlsym(library, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<DisconnectFn>(dlsym(library, "xcb_disconnect"));
  bool answers = false;
  if (connect && hasError && disconnect) {
    void* connection = connect(nullptr, nullptr);
    // xcb_connect never returns null; a failed connection reports an error.
    answers = connection && hasError(connection) == 0;
    if (connection && !answers) disconnect(connection);
  }
  if (!answers) dlclose(library);
  return answers;
}

bool WaylandAnswers() {
  const std::string_view display = Env("WAYLAND_DISPLAY");
  if (display.empty()) return false;
  std::string path(display);
  if (path.front() != '/') {
    const std::string_view runtimeDir = Env("XDG_RUNTIME_DIR");
    if (runtimeDir.empty()) return false;
    path = std::string(runtimeDir) + "/" + path;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return answers;
}

}  // namespace

DisplayKind ProbeDisplay() {
  const std::string_view platform = Env("QT_QPA_PLATFORM");
  if (platform.starts_with("offscreen") || platform.starts_with("minimal")) return DisplayKind::Offscreen;
  if (platform.starts_with("xcb")) return X11Answers() ? DisplayKind::Real : DisplayKind::None;
  if (platform.starts_with("wayland")) return WaylandAnswers() ? DisplayKind::Real : DisplayKind::None;
  // Another platform chosen on purpose (vnc, eglfs, linuxfb): trust the choice.
  if (!platform.empty()) return DisplayKind::Real;
  return (X11Answers() || WaylandAnswers()) ? DisplayKind::Real : DisplayKind::None;
}

DisplayKind DetectDisplay() {
  static const DisplayKind kind = ProbeDisplay();
  return kind;
}
