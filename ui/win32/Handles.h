#pragma once
// Owners of Win32 handles: each one releases its handle with the call that
// belongs to it when it goes out of scope.
#include <windows.h>

#include <memory>
#include <type_traits>

namespace win32 {

struct WindowDestroyer {
  void operator()(HWND window) const { DestroyWindow(window); }
};
struct GdiObjectDeleter {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
struct IconDestroyer {
  void operator()(HICON icon) const { DestroyIcon(icon); }
};

using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;
using UniqueBrush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, GdiObjectDeleter>;
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroyer>;

}  // namespace win32
