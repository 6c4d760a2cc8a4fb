#pragma once
// Text conversions between UTF-16, the width of device strings and paths in
// the device-facing interfaces, and UTF-8, the width of logs, windows and files.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Decodes UTF-8; a byte that starts no valid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::span<const std::uint8_t> text);
std::u16string Utf8ToUtf16(std::string_view text);

// Encodes UTF-16 up to its terminating zero or `maxUnits` units, whichever
// comes first; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, std::size_t maxUnits = std::string::npos);
