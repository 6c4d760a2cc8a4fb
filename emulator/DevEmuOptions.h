#pragma once
// The command line of quillon-devemu: every configuration value and fault of the emulator.
#include <optional>
#include <string>
#include <vector>

#include "emulator/EmulatorConfig.h"

struct DevEmuOptions {
  std::string bus;  // served in the form config.busForm names
  bool uhid = false;  // a HID device of the running kernel through /dev/uhid instead of a vhid bus
  bool usb = false;   // a USB device on a USB device controller (configfs gadget, FunctionFS)
  std::string udc;    // with usb: the controller; empty = the first of /sys/class/udc
  EmulatorConfig config;
  bool help = false;
};

// Parses the arguments after the program name; on failure `error` says which one is wrong.
std::optional<DevEmuOptions> ParseDevEmuOptions(const std::vector<std::string>& arguments, std::string& error);

// "YYYY/MM/DD" (or "0") as a version word with BCD fields; no value when malformed.
std::optional<std::uint32_t> ParseEmuVersion(const std::string& text);

std::string DevEmuUsage();
