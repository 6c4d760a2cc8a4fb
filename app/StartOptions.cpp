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
    const bool takesValue =
        name == "--vhid-bus" || name == "--time-scale" || name == "--result-json" || name == "--hid-backend";
    const bool known =
        takesValue || name == "--help" || name == "--version" || name == "--demo" || name == "--transcript";
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
    } else if (name == "--result-json") {
      if (value->empty()) {
        options.error = "option --result-json needs a file name";
        return options;
      }
      options.resultJson = *value;
    } else if (name == "--hid-backend") {
      if (*value == "usb") {
        options.hidRoute = HidRoute::Usb;
      } else if (*value == "hidraw") {
        options.hidRoute = HidRoute::Hidraw;
      } else {
        options.error = "option --hid-backend needs usb or hidraw, not \"" + *value + "\"";
        return options;
      }
    } else if (name == "--time-scale") {
      options.timeScale = ParseTimeScale(*value);
      if (!options.timeScale) {
        options.error = "option --time-scale needs a number from 1 to 10000, not \"" + *value + "\"";
        return options;
      }
    }
  }
  if (options.demo && options.vhidBus) options.error = "--demo runs its own bus; it cannot be combined with --vhid-bus";
  if (options.hidRoute && (options.demo || options.vhidBus))
    options.error = "--hid-backend chooses the route to real devices; it cannot be combined with --vhid-bus or --demo";
  return options;
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName + " [OPTION]...\n"
         "Upgrade the firmware of a connected Aurelix Rho USB audio device with the\n"
         "images built into this program.\n"
         "\n"
         "Letter options, as installers give them: '/', '-' or nothing before the letter,\n"
         "either case, a value right after the letter:\n"
         "  /S                   silent: no window; upgrade at once\n"
         "  /P                   silent, with a progress window\n"
         "  /F                   force: write every processor, even when the device is\n"
         "                         as new as the images\n"
         "  /V<text>             input version text (recorded only)\n"
         "  /M<n>                processor index, decimal (recorded only)\n"
         "  /I<hex>              product ID, hexadecimal, 0x allowed (recorded only)\n"
         "\n"
         "Long options:\n"
         "      --vhid-bus=DIR     use the virtual HID devices on the bus directory DIR\n"
         "                           instead of USB devices\n"
         "      --demo             start the device emulator (quillon-devemu, installed\n"
         "                           beside this program) on a private bus and upgrade\n"
         "                           it: in the dialog on a desktop, else at once,\n"
         "                           printing what the dialog would show\n"
         "      --hid-backend=usb|hidraw\n"
         "                         the route to a real device on Linux: usb (libusb,\n"
         "                           requests as the Windows host sends them) or hidraw;\n"
         "                           default: usb where the device's usbfs node can be\n"
         "                           opened, hidraw otherwise\n"
         "      --time-scale=N     run the program's waits and time-outs N times faster\n"
         "                           (1 to 10000); for tests and demos: only virtual\n"
         "                           devices are used (a vhid bus, the demo, uhid\n"
         "                           nodes, USB devices below dummy_hcd)\n"
         "      --result-json=FILE at the end of a run that found a device, write its\n"
         "                           result (device, processors, versions, outcome,\n"
         "                           exit code) to FILE as JSON\n"
         "      --transcript       also print on standard output what the dialog shows\n"
         "                           (status texts, versions, progress)\n"
         "      --help             display this help and exit\n"
         "      --version          output version information and exit\n"
         "\n"
         "Exit status (the log file records the full 32-bit result code):\n"
         "  0  upgrade completed (0x00000000)\n"
         "  4  nothing was upgraded: closed, already up to date, or the device\n"
         "     did not enter its bootloader (0x00000004)\n"
         "  1  no device found (0x80000001)\n"
         "  6  the upgrade could not be started (0x80000006)\n"
         "  7  the upgrade failed (0x80000007)\n"
         "  2  a long option was wrong; nothing was started\n"
         "A copy started while another one runs exits with 0.\n"
         "\n"
         "Every run writes the log file Upgrade-YYYYMMDD-HHMMSS.log in the current\n"
         "directory and keeps it only when the run failed (codes 1, 6 and 7); a silent\n"
         "run that fails names it on standard error.\n"
         "\n"
         "Full documentation: man " + programName + "\n";
}

std::string ProgramVersion() { return QUILLON_VERSION; }

std::string VersionText() { return "quillon-upgrade " + ProgramVersion() + "\n"; }
