#pragma once
// The user-visible texts, looked up by their string number, in the user's
// language (resources/Translation.h).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDS_UPGRADING = 104;
inline constexpr int IDS_NOT_CONNECTED = 110;
inline constexpr int IDS_CURRENT_VERSION = 114;
inline constexpr int IDS_VERSION_UNKNOWN = 115;
inline constexpr int IDS_RELOADING = 119;
inline constexpr int IDS_ALREADY_RUNNING = 121;
// One sentence with the product name as {product}, so that a translation can
// place the name where its grammar needs it.
inline constexpr int IDS_WILL_UPGRADE = 123;
inline constexpr int IDS_INITIALIZING = 136;
inline constexpr int IDS_IMAGE_NOT_FOR_PART = 137;
inline constexpr int IDS_NOTHING_UPGRADED = 140;

// The text of string `id`; empty when the table has no such string.
std::string LoadStringById(int id);

// The main window's caption: "<product> Device Firmware Upgrade"; the
// templates name the product "Quillon" until a device is loaded.
inline constexpr char kTemplateProductName[] = "Quillon";
std::string WindowTitle(const std::string& productName);

// The about box: its caption and its one line of text.
std::string AboutBoxCaption();
std::string AboutBoxText();

// String 104 with the byte count of the write on a second line.
std::string UpgradingStatusText(std::uint64_t written, std::uint64_t total);

struct ByteCount {
  std::uint64_t written;
  std::uint64_t total;
};
// The counts of a byte-count line as UpgradingStatusText writes its second
// line, in the chosen language; nullopt when `line` is not one.
std::optional<ByteCount> ByteCountOf(std::string_view line);
