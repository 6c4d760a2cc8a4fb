#pragma once
// The firmware images and their MD5 digests carried inside the program, looked
// up by item name: LPC18XX_RCDATA / LPC18XX_RCDATA_MD5 (Intel HEX text for the
// main microcontroller), BC08_RCDATA / BC08_RCDATA_MD5 (DFU file for the
// Bluetooth chip). KESTRAN_RCDATA (third controller type) is not in this build.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// The bytes of item `name`, which live as long as the program; nullopt when the
// build carries no such item.
std::optional<std::span<const std::uint8_t>> FindEmbeddedItem(std::string_view name);
