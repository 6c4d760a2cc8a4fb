#pragma once
// The embedded firmware image of a processor, found by its type, checked
// against its MD5 digest and made ready for the upgrader.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "app/log/Status.h"

class CFirmwareUpgrade;

// Finds an embedded item by name.
using EmbeddedItemLookup = std::function<std::optional<std::span<const std::uint8_t>>(std::string_view name)>;

// Looks up the image of processor `mcuIndex`'s type and its digest through
// `lookup`; a missing image, a missing or short digest or a mismatch fails
// with E_FAIL. A matching image is handed to the upgrader's
// PrepareFirmwareImage, whose status and raw buffer are the result.
HRESULT LoadEmbeddedImage(CFirmwareUpgrade& upgrader, const EmbeddedItemLookup& lookup, std::int16_t mcuIndex,
                          std::uint32_t* rawSize, std::unique_ptr<std::uint8_t[]>* rawBuffer);
