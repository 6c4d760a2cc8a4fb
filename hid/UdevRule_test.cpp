// The udev rule shipped for real devices must match the identities the code
// looks for, or a non-root user cannot open the device after an ID change.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "hid/DeviceIdentity.h"

namespace {

// The lower-case 4-digit hex form udev compares sysfs ID attributes with.
std::string UdevId(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", id);
  return text;
}

// Each rule line as key (with operator) to value, e.g. `ATTRS{idVendor}==` -> `1a2b`.
std::vector<std::map<std::string, std::string>> ReadRules(const char* path) {
  static const std::regex assignment(R"re(([A-Za-z]+(?:\{[A-Za-z_]+\})?)\s*(==|!=|\+=|:=|=)\s*"([^"]*)")re");
  std::vector<std::map<std::string, std::string>> rules;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#') continue;
    std::map<std::string, std::string> rule;
    for (std::sregex_iterator it(line.begin(), line.end(), assignment), end; it != end; ++it)
      rule[(*it)[1].str() + (*it)[2].str()] = (*it)[3];
    rules.push_back(std::move(rule));
  }
  return rules;
}

// The hidraw nodes (the hidraw route) and the usbfs node of the USB device
// itself (the USB route), each for both identities.
TEST(UdevRule, GrantsTheSeatUserAndPlugdevBothIdentitiesOnHidrawAndUsbfs) {
  const auto rules = ReadRules(QUILLON_UDEV_RULE_FILE);
  ASSERT_FALSE(rules.empty()) << "no rules in " << QUILLON_UDEV_RULE_FILE;

  std::set<std::tuple<std::string, std::string, std::string>> granted;
  for (const auto& rule : rules) {
    const auto value = [&rule](const std::string& key) { return rule.contains(key) ? rule.at(key) : "(none)"; };
    EXPECT_EQ(value("TAG+="), "uaccess");
    EXPECT_EQ(value("GROUP="), "plugdev");
    EXPECT_EQ(value("MODE="), "0660");
    const std::string subsystem = value("SUBSYSTEM==");
    if (subsystem == "usb") {
      // Only the device has a node; its interfaces have none.
      EXPECT_EQ(value("ENV{DEVTYPE}=="), "usb_device");
      granted.emplace(subsystem, value("ATTR{idVendor}=="), value("ATTR{idProduct}=="));
    } else {
      granted.emplace(subsystem, value("ATTRS{idVendor}=="), value("ATTRS{idProduct}=="));
    }
  }
  const std::set<std::tuple<std::string, std::string, std::string>> expected = {
      {"hidraw", UdevId(kVendorId), UdevId(kApplicationProductId)},
      {"hidraw", UdevId(kVendorId), UdevId(kBootloaderProductId)},
      {"usb", UdevId(kVendorId), UdevId(kApplicationProductId)},
      {"usb", UdevId(kVendorId), UdevId(kBootloaderProductId)},
  };
  EXPECT_EQ(granted, expected);
}

}  // namespace
