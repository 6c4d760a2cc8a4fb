#include "app/StartOptions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
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
    EXPECT_EQ(options.letterArgs, c.letterArgs);
    EXPECT_EQ(options.longOptions.size() + options.letterArgs.size(), c.arguments.size());
  }
}

TEST(StartOptions, HelpNamesEveryOptionAndExitCode) {
  const std::string usage = UsageText("quillon-upgrade");
  for (const char* needle : {"/S", "/P", "/F", "/V", "/M", "/I", "--vhid-bus=DIR", "--demo", "--time-scale=N",
                             "--transcript", "--help", "--version", "0x80000001", "0x80000006", "0x80000007", "  4  "})
    EXPECT_NE(usage.find(needle), std::string::npos) << needle;
  EXPECT_EQ(VersionText().rfind("quillon-upgrade ", 0), 0u);
}

}  // namespace
