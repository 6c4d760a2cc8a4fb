#include "resources/EmbeddedImages.h"

#include <array>

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
    if (item.name == name) return std::span<const std::uint8_t>(item.begin, item.end);
  }
  return std::nullopt;
}
