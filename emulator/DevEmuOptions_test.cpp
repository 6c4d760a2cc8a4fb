#include "emulator/DevEmuOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

namespace {

TEST(DevEmuOptions, VersionTexts) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"2017/10/03", 0x03102017u}, {"0", 0u},          {"2017/1/03", std::nullopt},
      {"2017-10-03", std::nullopt}, {"20a7/10/03", std::nullopt}, {"2017/10/03/", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseEmuVersion(c.text), c.expected) << c.text;
}

TEST(DevEmuOptions, ValuesReachTheConfiguration) {
  std::string error;
  const auto options = ParseDevEmuOptions(
      {"--bus", "/tmp/b", "--mcu", "33:2017/10/03", "--mcu=13:0", "--loader-version", "2.9", "--timing", "off",
       "--time-scale", "20", "--spin-ms", "0.25", "--baud", "115200", "--begin-status", "0x1", "--finish-never", "--reject-record", "5",
       "--unplug-at-ms", "250", "--chip-loss", "0.25", "--chip-never-returns", "loader", "--strict-dfu", "--basic-dfu",
       "--tcp"},
      error);
  ASSERT_TRUE(options) << error;
  const EmulatorConfig& c = options->config;
  EXPECT_EQ(options->bus, "/tmp/b");
  ASSERT_EQ(c.processors.size(), 2u) << "the first --mcu replaces the default set";
  EXPECT_EQ(c.processors[0].typeCode, 33);
  EXPECT_EQ(c.processors[0].version, 0x03102017u);
  EXPECT_EQ(c.processors[1].version, 0u);
  EXPECT_EQ(c.loaderMajor, 2);
  EXPECT_EQ(c.loaderMinor, 9);
  EXPECT_EQ(c.timing, EmuTiming::Off);
  EXPECT_EQ(c.timeScale, 20.0);
  EXPECT_EQ(c.spinMs, 0.25);
  EXPECT_EQ(c.uartBaud, 115200u);
  EXPECT_EQ(c.faults.beginStatus, 1u);
  EXPECT_TRUE(c.faults.finishNeverAnswers);
  EXPECT_EQ(c.faults.rejectRecord, 5u);
  EXPECT_EQ(c.faults.unplugAtMs, 250);
  EXPECT_EQ(c.chipFaults.hostToChipLossRate, 0.25);
  EXPECT_EQ(c.chipFaults.neverReturns, CEmuBluetoothChip::EResetFault::IntoLoader);
  EXPECT_TRUE(c.strictDfu);
  EXPECT_TRUE(c.basicDfu);
  EXPECT_EQ(c.busForm, EmuBusForm::Tcp);
}

TEST(DevEmuOptions, Refusals) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                        // no bus
      {"--bus"},                                 // value missing
      {"--bus", "/b", "--bogus"},                // unknown option
      {"--bus", "/b", "--timing", "fast"},       // unknown timing
      {"--bus", "/b", "--time-scale", "0"},      // not positive
      {"--bus", "/b", "--baud", "12x"},          // not a number
      {"--bus", "/b", "--mcu", "33"},            // no version
      {"--bus", "/b", "--chip-loss", "1.5"},     // not a share
      {"--bus", "/b", "--loader-version", "3"},  // no minor
      {"--bus", "/b", "--begin-never=1"},        // a flag takes no value
      {"--bus", "/b", "--uhid"},                 // two front ends
      {"--uhid", "--tcp"},                       // a bus form without a bus
      {"--uhid", "--usb"},                       // two front ends
      {"--uhid", "--udc", "dummy_udc.0"},        // a controller without --usb
      {"--usb", "--no-interrupt-out", "app"},    // no such identity
  };
  for (const auto& arguments : cases) {
    std::string error;
    EXPECT_FALSE(ParseDevEmuOptions(arguments, error)) << testing::PrintToString(arguments);
    EXPECT_FALSE(error.empty());
  }
  std::string error;
  const auto help = ParseDevEmuOptions({"--help"}, error);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
  const auto uhid = ParseDevEmuOptions({"--uhid"}, error);
  ASSERT_TRUE(uhid) << error;
  EXPECT_TRUE(uhid->uhid);
  const auto usb =
      ParseDevEmuOptions({"--usb", "--udc=dummy_udc.0", "--strict", "--no-interrupt-out", "bootloader",
                          "--consumer-control", "--halt-in-records", "3", "--halt-in-blocks=2"},
                         error);
  ASSERT_TRUE(usb) << error;
  EXPECT_TRUE(usb->usb);
  EXPECT_EQ(usb->udc, "dummy_udc.0");
  EXPECT_TRUE(usb->config.strictRoutes);
  EXPECT_TRUE(usb->config.consumerControlInterface);
  EXPECT_EQ(usb->config.faults.haltInDuringRecords, 3u);
  EXPECT_EQ(usb->config.faults.haltInDuringBlocks, 2u);
  EXPECT_TRUE(usb->config.applicationInterruptOut);
  EXPECT_FALSE(usb->config.bootloaderInterruptOut);
}

// --help and the manual page name the same options, and the program takes each.
TEST(DevEmuOptions, HelpAndManualPageNameEveryOption) {
  const auto optionsIn = [](const std::string& text) {
    std::set<std::string> options;
    const std::regex option(R"(--[a-z][a-z-]*|(^|[ ,])-h\b)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
      std::string name = it->str();
      name.erase(0, name.find('-'));
      options.insert(name);
    }
    options.erase("--name");  // "--name=value", the form every option also takes
    return options;
  };
  std::ifstream file(std::string(QUILLON_SOURCE_DIR) + "/packaging/linux/quillon-devemu.1");
  std::string manual{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");
  const std::size_t begin = manual.find(".SH OPTIONS");
  ASSERT_NE(begin, std::string::npos);
  manual = manual.substr(begin, manual.find(".SH EXIT STATUS") - begin);

  const std::set<std::string> documented = optionsIn(DevEmuUsage());
  EXPECT_EQ(optionsIn(manual), documented);
  EXPECT_GT(documented.size(), 40u);
  for (const std::string& name : documented) {
    std::string error;
    ParseDevEmuOptions({"--bus", "/b", name}, error);
    EXPECT_EQ(error.find("unknown option"), std::string::npos) << name;
  }
}

}  // namespace
