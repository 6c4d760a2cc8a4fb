#pragma once
// Project texts are UTF-8; the W functions of Win32 take UTF-16.
#include <string>
#include <string_view>

#include "app/log/Utf16Text.h"

namespace win32 {

inline std::wstring Wide(std::string_view text) {
  const std::u16string utf16 = Utf8ToUtf16(text);
  return {utf16.begin(), utf16.end()};
}

}  // namespace win32
