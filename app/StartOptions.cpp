#include "app/StartOptions.h"

#include <cmath>
#include <cstdlib>

#ifndef QUILLON_VERSION
#define QUILLON_VERSION "unknown"
#endif

namespace {

// Program time may run up to this many times faster than real time; beyond it
// the clock's counters would leave the range of their integers.
constexpr double kMaxTimeScale = 10000.0;

std::optional<double> ParseTimeScale(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != 0 || !std::isfinite(value) || value < 1.0 || value > kMaxTimeScale)
    return std::nullopt;
  return value;
}

}  // namespace

CStartOptions ParseStartOptions(std::span<const std::string> arguments) {
  CStartOptions options;
  for (const std::string& argument : arguments) {
    if (!argument.starts_with("--")) {
      options.letterArgs.push_back(argument);
      continue;
    }
    options.longOptions.push_back(argument);
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const std::optional<std::string> value =
        equals == std::string::npos ? std::nullopt : std::optional<std::string>(argument.substr(equals + 1));
    const bool known = name == "--help" || name == "--version" || name == "--demo" || name == "--vhid-bus" ||
                       name == "--time-scale" || name == "--transcript";
    const bool takesValue = name == "--vhid-bus" || name == "--time-scale";
    if (!known) {
      options.error = "unknown option " + argument;
      return options;
    }
    if (takesValue != value.has_value()) {
      options.error = takesValue ? "option " + name + " needs a value: " + name + "=..."
                                 : "option " + name + " takes no value";
      return options;
    }
    if (name == "--help") {
      options.help = true;
    } else if (name == "--version") {
      options.version = true;
    } else if (name == "--demo") {
      options.demo = true;
    } else if (name == "--transcript") {
      options.transcript = true;
    } else if (name == "--vhid-bus") {
      if (value->empty()) {
        options.error = "option --vhid-bus needs a directory";
        return options;
      }
      options.vhidBus = *value;
    } else if (name == "--time-scale") {
      options.timeScale = ParseTimeScale(*value);
      if (!options.timeScale) {
        options.error = "option --time-scale needs a number from 1 to 10000, not \"" + *value + "\"";
        return options;
      }
    }
  }
  if (options.demo && options.vhidBus) options.error = "--demo runs its own bus; it cannot be combined with --vhid-bus";
  return options;
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName + " [OPTION]...\n"
         "Upgrades the firmware of a connected Aurelix Rho USB audio device with the\n"
         "images built into this program.\n"
         "\n"
         "Options (a letter option may start with '/', '-' or nothing, in either case;\n"
         "its value follows the letter without a space):\n"
         "  /S            silent: no window; upgrade at once\n"
         "  /P            silent with a progress window\n"
         "  /F            force: write every processor, even when the device is as new\n"
         "  /V<text>      input version text (recorded only)\n"
         "  /M<n>         processor index, decimal (recorded only)\n"
         "  /I<hex>       product ID, hexadecimal, 0x allowed (recorded only)\n"
         "  --vhid-bus=DIR    use the virtual HID devices on the bus directory DIR\n"
         "                    instead of USB devices\n"
         "  --demo            start the device emulator (quillon-devemu, installed beside\n"
         "                    this program) on a private bus and upgrade it: in the\n"
         "                    dialog on a desktop, else at once, printing what the\n"
         "                    dialog would show\n"
         "  --time-scale=N    run the program's waits and time-outs N times faster\n"
         "                    (1 to 10000); for tests and demos: only virtual\n"
         "                    devices are used (a vhid bus, the demo, uhid nodes)\n"
         "  --transcript      also print on standard output what the dialog shows\n"
         "                    (status texts, versions, progress)\n"
         "  --help            show this text and exit\n"
         "  --version         show the version and exit\n"
         "\n"
         "Exit status (the log file records the full 32-bit code):\n"
         "  0  upgrade completed (0x00000000)\n"
         "  4  nothing was upgraded: closed, already up to date, or the device\n"
         "     did not enter its bootloader (0x00000004)\n"
         "  1  no device found (0x80000001)\n"
         "  6  the upgrade could not be started (0x80000006)\n"
         "  7  the upgrade failed (0x80000007)\n"
         "  2  a long option was wrong; nothing was started\n"
         "A copy started while another one runs exits with 0.\n"
         "The log file Upgrade-YYYYMMDD-HHMMSS.log in the current directory is kept only\n"
         "when the run failed (codes 1, 6 and 7).\n";
}

std::string VersionText() { return std::string("quillon-upgrade ") + QUILLON_VERSION + "\n"; }
