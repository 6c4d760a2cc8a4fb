#include <windows.h>

#include <string>

#include "resources/EmbeddedImages.h"

// The items are RCDATA resources of the program's own module; a loaded
// resource stays mapped as long as the module, so the span never dangles.
std::optional<std::span<const std::uint8_t>> FindEmbeddedItem(std::string_view name) {
  const std::string resourceName(name);
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC resource = FindResourceA(module, resourceName.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (resource == nullptr) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, resource);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return std::nullopt;
  return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), SizeofResource(module, resource));
}
