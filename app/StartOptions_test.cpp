#include "app/StartOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(StartOptions, LongOptionsAreTakenOutAndTheRestKeepsItsOrder) {
  struct Case {
    std::vector<std::string> arguments{};
    bool help = false;
    bool version = false;
    bool demo = false;
    bool transcript = false;
    std::optional<std::string> bus{};
    std::optional<double> timeScale{};
    std::optional<std::string> resultJson{};
    std::optional<HidRoute> hidRoute{};
    std::vector<std::string> letterArgs{};
    bool error = false;
  };
  const Case cases[] = {
      {.arguments = {}},
      {.arguments = {"/S", "-f", "M3"}, .letterArgs = {"/S", "-f", "M3"}},
      {.arguments = {"--help"}, .help = true},
      {.arguments = {"/S", "--version", "/F"}, .version = true, .letterArgs = {"/S", "/F"}},
      {.arguments = {"--vhid-bus=/tmp/bus", "/S"}, .bus = "/tmp/bus", .letterArgs = {"/S"}},
      {.arguments = {"--vhid-bus=dir=with=equals"}, .bus = "dir=with=equals"},
      {.arguments = {"--demo", "/p"}, .demo = true, .letterArgs = {"/p"}},
      {.arguments = {"/S", "--transcript"}, .transcript = true, .letterArgs = {"/S"}},
      {.arguments = {"--time-scale=20"}, .timeScale = 20.0},
      {.arguments = {"--time-scale=1", "--demo"}, .demo = true, .timeScale = 1.0},
      {.arguments = {"--time-scale=1e4"}, .timeScale = 10000.0},
      {.arguments = {"/S", "--result-json=out/r.json"}, .resultJson = "out/r.json", .letterArgs = {"/S"}},
      {.arguments = {"--hid-backend=usb"}, .hidRoute = HidRoute::Usb},
      {.arguments = {"--hid-backend=hidraw", "/S"}, .hidRoute = HidRoute::Hidraw, .letterArgs = {"/S"}},
      // A single dash is a letter option: "-S", or "-help" which reads as letter H.
      {.arguments = {"-help"}, .letterArgs = {"-help"}},
      // Unusable long options.
      {.arguments = {"--bogus"}, .error = true},
      {.arguments = {"--"}, .error = true},
      {.arguments = {"--HELP"}, .error = true},
      {.arguments = {"--help=yes"}, .error = true},
      {.arguments = {"--transcript=on"}, .error = true},
      {.arguments = {"--vhid-bus"}, .error = true},
      {.arguments = {"--vhid-bus="}, .error = true},
      {.arguments = {"--result-json"}, .error = true},
      {.arguments = {"--result-json="}, .error = true},
      {.arguments = {"--time-scale=0"}, .error = true},
      {.arguments = {"--time-scale=-3"}, .error = true},
      {.arguments = {"--time-scale=fast"}, .error = true},
      {.arguments = {"--time-scale=5x"}, .error = true},
      {.arguments = {"--time-scale=inf"}, .error = true},
      {.arguments = {"--time-scale=nan"}, .error = true},
      // Slower than real time, or so fast that the clock's counters overflow.
      {.arguments = {"--time-scale=0.5"}, .error = true},
      {.arguments = {"--time-scale=10001"}, .error = true},
      {.arguments = {"--time-scale=1e300"}, .error = true},
      {.arguments = {"--demo", "--vhid-bus=/tmp/bus"}, .error = true},
      {.arguments = {"--hid-backend"}, .error = true},
      {.arguments = {"--hid-backend="}, .error = true},
      {.arguments = {"--hid-backend=USB"}, .error = true},
      {.arguments = {"--hid-backend=libusb"}, .error = true},
      {.arguments = {"--hid-backend=usb", "--demo"}, .error = true},
      {.arguments = {"--vhid-bus=/tmp/bus", "--hid-backend=hidraw"}, .error = true},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const auto& a : c.arguments) label += "'" + a + "' ";
    SCOPED_TRACE(label);
    const CStartOptions options = ParseStartOptions(c.arguments);
    EXPECT_EQ(!options.error.empty(), c.error) << options.error;
    if (c.error) continue;
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.version, c.version);
    EXPECT_EQ(options.demo, c.demo);
    EXPECT_EQ(options.transcript, c.transcript);
    EXPECT_EQ(options.vhidBus, c.bus);
    EXPECT_EQ(options.timeScale, c.timeScale);
    EXPECT_EQ(options.resultJson, c.resultJson);
    EXPECT_EQ(options.hidRoute, c.hidRoute);
    EXPECT_EQ(options.letterArgs, c.letterArgs);
    EXPECT_EQ(options.longOptions.size() + options.letterArgs.size(), c.arguments.size());
  }
}

// The options of a text: "/S" for a letter option, "--name" for a long one.
struct Story {
  std::set<std::string> options;
  std::set<int> exitCodes;
};

std::string ReadSource(const std::string& relative) {
  std::ifstream file(std::string(QUILLON_SOURCE_DIR) + "/" + relative);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void AddOption(Story& story, const std::string& token) {
  if (token.size() >= 2 && token[0] == '/') story.options.insert(token.substr(0, 2));
  if (token.starts_with("--")) story.options.insert(token.substr(0, token.find('=')));
}

// Scans `text` line by line; `option` and `exitCode` pick a line's option token or exit code.
Story Scan(const std::string& text, const std::regex& option, const std::regex& exitCode) {
  Story story;
  std::istringstream lines(text);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, option))
      AddOption(story, std::regex_replace(match[1].str(), std::regex(R"(\\-)"), "-"));
    if (std::regex_search(line, match, exitCode)) story.exitCodes.insert(std::stoi(match[1].str()));
  }
  return story;
}

// The README's tables, the manual page and --help name the same options and exit codes.
TEST(StartOptions, ReadmeManPageAndHelpTellTheSameStory) {
  const Story help = Scan(UsageText("quillon-upgrade"), std::regex(R"(^ {2,6}(/[A-Z]|--[a-z-]+))"),
                          std::regex(R"(^  ([0-9])  )"));
  const Story readme = Scan(ReadSource("README.md"), std::regex(R"(^\| `(/[A-Z]|--[a-z-]+))"),
                            std::regex(R"(^\| ([0-9]) \| (0x[0-9a-f]{8}|—) \|)"));
  const Story manual = Scan(ReadSource("packaging/linux/quillon-upgrade.1"),
                            std::regex(R"(^\.BI? (/[A-Z]|(\\-){2}[a-z\\-]+))"), std::regex(R"(^([0-9])\t)"));
  const std::set<std::string> options = {"/S", "/P", "/F", "/V", "/M", "/I", "--vhid-bus", "--demo",
                                         "--time-scale", "--result-json", "--transcript", "--help", "--version",
                                         "--hid-backend"};
  const std::set<int> exitCodes = {0, 1, 2, 4, 6, 7};
  for (const auto& [name, story] : {std::pair{"--help", help}, {"README.md", readme}, {"quillon-upgrade.1", manual}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(story.options, options);
    EXPECT_EQ(story.exitCodes, exitCodes);
  }
  // Every long option it names is one the program takes.
  for (const std::string& option : options) {
    if (!option.starts_with("--")) continue;
    EXPECT_EQ(ParseStartOptions(std::vector<std::string>{option}).error.find("unknown"), std::string::npos) << option;
  }
  EXPECT_EQ(VersionText().rfind("quillon-upgrade ", 0), 0u);
}

}  // namespace
