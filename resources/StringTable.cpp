#include "resources/StringTable.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<int, const char*>, 12> kStrings{{
    {IDS_ABOUTBOX, "&About Device Firmware Upgrade..."},
    {IDS_UPGRADING, "Upgrading in progress, please wait..."},
    {IDS_NOT_CONNECTED, "Your device is not connected, please connect the device and restart the application."},
    {IDS_CURRENT_VERSION, "Current Version: "},
    {IDS_VERSION_UNKNOWN, "Unknown."},
    {IDS_RELOADING, "Reloading driver and updating current firmware versions..."},
    {IDS_ALREADY_RUNNING, "Another instance of this program is already running."},
    {IDS_WILL_UPGRADE, "This program will upgrade the firmware of your "},
    {IDS_PRESS_UPGRADE, ". Press Upgrade to begin."},
    {IDS_INITIALIZING, "Initializing, please wait..."},
    {IDS_IMAGE_NOT_FOR_PART, "The image selected is not correct for flash part!"},
    {IDS_NOTHING_UPGRADED, "No firmware upgrade is performed. Device has the same or newer firmware."},
}};

}  // namespace

std::string LoadStringById(int id) {
  for (const auto& [number, text] : kStrings)
    if (number == id) return text;
  return {};
}
