#pragma once
// Long options ("--name" or "--name=value") for people who use the updater as a
// Linux tool. They are taken out of the command line before the letter options
// are read; every other argument is left, in order, for CMyCommandLineInfo.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/HidDevice.h"

struct CStartOptions {
  bool help = false;
  bool version = false;
  bool demo = false;
  bool transcript = false;
  std::optional<std::string> vhidBus;
  std::optional<double> timeScale;
  std::optional<std::string> resultJson;  // file for the machine-readable result
  std::optional<HidRoute> hidRoute;       // --hid-backend: the route to real devices
  std::vector<std::string> longOptions;  // the long options as given, for the log
  std::vector<std::string> letterArgs;   // everything else, in order
  std::string error;                     // not empty: the command line cannot be used
};

CStartOptions ParseStartOptions(std::span<const std::string> arguments);

// Text printed by --help and --version.
std::string UsageText(const std::string& programName);
std::string VersionText();
// The release, "2.0.0".
std::string ProgramVersion();

// Exit code for a command line with an unusable long option; nothing has started then.
inline constexpr int kExitUsageError = 2;
