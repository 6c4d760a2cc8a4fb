#include "app/log/Utf16Text.h"

std::u16string Utf8ToUtf16(std::span<const std::uint8_t> text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::uint8_t lead = text[i];
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      code = lead & 0x07;
    } else {
      extra = 4;  // never valid
    }
    bool valid = extra < 4;
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size() || (text[i + k] & 0xC0) != 0x80) {
        valid = false;
      } else {
        code = code << 6 | (text[i + k] & 0x3F);
      }
    }
    const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (valid && (code < minimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  return Utf8ToUtf16(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string Utf16ToUtf8(const char16_t* text, std::size_t maxUnits) {
  std::string out;
  for (std::size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < maxUnits && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}
