#include "resources/StringTable.h"

#include <array>
#include <charconv>
#include <utility>

#include "resources/Translation.h"

namespace {

constexpr std::array<std::pair<int, const char*>, 11> kStrings{{
    {IDS_ABOUTBOX, MarkForTranslation("&About Device Firmware Upgrade...")},
    {IDS_UPGRADING, MarkForTranslation("Upgrading in progress, please wait...")},
    {IDS_NOT_CONNECTED,
     MarkForTranslation("Your device is not connected, please connect the device and restart the application.")},
    // xgettext:python-brace-format
    {IDS_CURRENT_VERSION, MarkForTranslation("Current Version: {version}")},
    {IDS_VERSION_UNKNOWN, MarkForTranslation("Unknown.")},
    {IDS_RELOADING, MarkForTranslation("Reloading driver and updating current firmware versions...")},
    {IDS_ALREADY_RUNNING, MarkForTranslation("Another instance of this program is already running.")},
    // TRANSLATORS: {product} is the device's product name as the device reports it.
    // xgettext:python-brace-format
    {IDS_WILL_UPGRADE, MarkForTranslation("This program will upgrade the firmware of your {product}. Press Upgrade to begin.")},
    {IDS_INITIALIZING, MarkForTranslation("Initializing, please wait...")},
    {IDS_IMAGE_NOT_FOR_PART, MarkForTranslation("The image selected is not correct for flash part!")},
    {IDS_NOTHING_UPGRADED,
     MarkForTranslation("No firmware upgrade is performed. Device has the same or newer firmware.")},
}};

// The program's name and version as the about box shows them; names are not translated.
constexpr char kProgramName[] = "Quillon Device HID Firmware Upgrade";
constexpr char kProgramVersion[] = "2.00";

// xgettext:python-brace-format
constexpr const char* kByteCountText = MarkForTranslation("{written} of {total} bytes");

}  // namespace

std::string LoadStringById(int id) {
  for (const auto& [number, text] : kStrings)
    if (number == id) return Tr(text);
  return {};
}

std::string UpgradingStatusText(std::uint64_t written, std::uint64_t total) {
  return LoadStringById(IDS_UPGRADING) + "\n" +
         FormatText(Tr(kByteCountText), {{"written", std::to_string(written)}, {"total", std::to_string(total)}});
}

std::optional<ByteCount> ByteCountOf(std::string_view line) {
  constexpr std::string_view kWritten = "{written}";
  constexpr std::string_view kTotal = "{total}";
  const std::string pattern = Tr(kByteCountText);
  // The two numbers in the order the translation places them; the text
  // around them must match exactly.
  struct Slot {
    std::size_t at;
    std::string_view placeholder;
    std::uint64_t* value;
  };
  ByteCount count{};
  Slot slots[2] = {{pattern.find(kWritten), kWritten, &count.written}, {pattern.find(kTotal), kTotal, &count.total}};
  if (slots[0].at == std::string::npos || slots[1].at == std::string::npos) return std::nullopt;
  if (slots[1].at < slots[0].at) std::swap(slots[0], slots[1]);
  const std::string_view text = pattern;
  std::size_t literalAt = 0;
  for (const Slot& slot : slots) {
    const std::string_view literal = text.substr(literalAt, slot.at - literalAt);
    if (!line.starts_with(literal)) return std::nullopt;
    line.remove_prefix(literal.size());
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), *slot.value);
    if (error != std::errc()) return std::nullopt;
    line.remove_prefix(static_cast<std::size_t>(end - line.data()));
    literalAt = slot.at + slot.placeholder.size();
  }
  if (line != text.substr(literalAt)) return std::nullopt;
  return count;
}

std::string WindowTitle(const std::string& productName) {
  // TRANSLATORS: the window's caption; {product} is the device's product name.
  // xgettext:python-brace-format
  return FormatText(Tr("{product} Device Firmware Upgrade"), {{"product", productName}});
}

std::string AboutBoxCaption() {
  // xgettext:python-brace-format
  return FormatText(Tr("About {program}"), {{"program", kProgramName}});
}

std::string AboutBoxText() {
  // xgettext:python-brace-format
  return FormatText(Tr("{program} Version {version}"), {{"program", kProgramName}, {"version", kProgramVersion}});
}
