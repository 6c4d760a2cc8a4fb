#include <mutex>

#include "platform/HidDevice.h"
#include "platform/HidrawBackend.h"
#include "platform/VhidBackend.h"

namespace {

std::mutex g_backendMutex;
std::unique_ptr<CHidBackend> g_backend;

void Choose(std::unique_ptr<CHidBackend> backend) {
  std::lock_guard lock(g_backendMutex);
  g_backend = std::move(backend);
}

}  // namespace

CHidBackend& HidBackend() {
  std::lock_guard lock(g_backendMutex);
  if (!g_backend) g_backend = std::make_unique<CHidrawBackend>("/sys", "/dev");
  return *g_backend;
}

void UseHidrawBackend(const std::string& sysfsRoot, const std::string& devRoot) {
  Choose(std::make_unique<CHidrawBackend>(sysfsRoot, devRoot));
}

void UseVhidBackend(const std::string& busDirectory) { Choose(std::make_unique<CVhidBackend>(busDirectory)); }

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string HidUtf8ToUtf16(std::span<const std::uint8_t> text) {
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

