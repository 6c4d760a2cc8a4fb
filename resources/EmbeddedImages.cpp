#include "resources/EmbeddedImages.h"

#include <array>
#include <cstdint>

// Start and end symbols of the items that EmbeddedImages.S pulls in.
extern "C" {
extern const std::uint8_t quillon_lpc18xx_rcdata_start[];
extern const std::uint8_t quillon_lpc18xx_rcdata_end[];
extern const std::uint8_t quillon_lpc18xx_rcdata_md5_start[];
extern const std::uint8_t quillon_lpc18xx_rcdata_md5_end[];
extern const std::uint8_t quillon_bc08_rcdata_start[];
extern const std::uint8_t quillon_bc08_rcdata_end[];
extern const std::uint8_t quillon_bc08_rcdata_md5_start[];
extern const std::uint8_t quillon_bc08_rcdata_md5_end[];
}

namespace {

struct EmbeddedItem {
  std::string_view name;
  const std::uint8_t* begin;
  const std::uint8_t* end;
};

// KESTRAN_RCDATA (third controller type) is not carried by this build.
const std::array<EmbeddedItem, 4> kEmbeddedItems = {{
    {"LPC18XX_RCDATA", quillon_lpc18xx_rcdata_start, quillon_lpc18xx_rcdata_end},
    {"LPC18XX_RCDATA_MD5", quillon_lpc18xx_rcdata_md5_start, quillon_lpc18xx_rcdata_md5_end},
    {"BC08_RCDATA", quillon_bc08_rcdata_start, quillon_bc08_rcdata_end},
    {"BC08_RCDATA_MD5", quillon_bc08_rcdata_md5_start, quillon_bc08_rcdata_md5_end},
}};

}  // namespace

std::optional<std::span<const std::uint8_t>> FindEmbeddedItem(std::string_view name) {
  for (const EmbeddedItem& item : kEmbeddedItems) {
    // The two symbols bound one item but are distinct objects to the compiler,
    // so the length is taken from their addresses.
    if (item.name == name) {
      const auto size = reinterpret_cast<std::uintptr_t>(item.end) - reinterpret_cast<std::uintptr_t>(item.begin);
      return std::span<const std::uint8_t>(item.begin, size);
    }
  }
  return std::nullopt;
}
