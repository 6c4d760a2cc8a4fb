// Arbitrary command lines: the long options (ParseStartOptions) and, of the
// arguments they leave, the letter options (CMyCommandLineInfo). Checks beyond
// "no crash": the long options take exactly the arguments that start with "--"
// and leave the others in order; a command line is refused exactly at the first
// unusable long option (or for --demo with --vhid-bus); a time scale is a
// number from 1 to 10000 spelled out whole; the letter options set exactly what
// their letters say, the version text points into its own argument, and the
// numbers are read as the C library's strtoull reads them, cut to 32 bits.
//
// Input: the arguments, separated by NUL bytes.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/MyCommandLineInfo.h"
#include "app/StartOptions.h"
#include "fuzz/FuzzCheck.h"

namespace {

std::vector<std::string> Arguments(std::span<const std::uint8_t> data) {
  std::vector<std::string> arguments(1);
  for (const std::uint8_t byte : data) {
    if (byte == 0) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(static_cast<char>(byte));
    }
  }
  return arguments;
}

// The number in `text` as strtoull reads it, then as the option stores it: a
// magnitude beyond 32 bits is 0xFFFFFFFF, a minus sign negates modulo 2^32.
std::uint32_t ReferenceUnsigned32(const char* text, int base) {
  errno = 0;
  const unsigned long long value = std::strtoull(text, nullptr, base);
  if (errno == ERANGE) return 0xFFFFFFFFu;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  const unsigned long long magnitude = negative ? 0ull - value : value;
  if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  const auto result = static_cast<std::uint32_t>(magnitude);
  return negative ? 0u - result : result;
}

bool IsKnownLongOption(const std::string& argument) {
  const std::string name = argument.substr(0, argument.find('='));
  return name == "--help" || name == "--version" || name == "--demo" || name == "--vhid-bus" ||
         name == "--time-scale" || name == "--result-json" || name == "--transcript";
}

void CheckStartOptions(const std::vector<std::string>& arguments, const CStartOptions& options) {
  // The long options are taken in order, up to the one that made the command
  // line unusable; the letter arguments before it are left in order.
  const std::size_t taken = options.longOptions.size();
  std::size_t longSeen = 0;
  std::vector<std::string> letterArgs;
  // The one refusal of the whole command line comes after every option was read.
  const bool combinationRefused = options.error.starts_with("--demo runs its own bus");
  FUZZ_CHECK(!combinationRefused || (options.demo && options.vhidBus));
  const bool refusedAtAnOption = !options.error.empty() && !combinationRefused;
  FUZZ_CHECK(!refusedAtAnOption || taken > 0);
  for (const std::string& argument : arguments) {
    if (argument.starts_with("--")) {
      FUZZ_CHECK(longSeen < taken || refusedAtAnOption);
      if (longSeen < taken) FUZZ_CHECK(options.longOptions[longSeen] == argument);
      ++longSeen;
      if (refusedAtAnOption && longSeen == taken) break;
    } else {
      letterArgs.push_back(argument);
    }
  }
  FUZZ_CHECK(longSeen == taken);
  FUZZ_CHECK(options.letterArgs == letterArgs);
  // Every long option before the refused one is one the program knows.
  const std::size_t usable = refusedAtAnOption ? taken - 1 : taken;
  for (std::size_t i = 0; i < usable; ++i) FUZZ_CHECK(IsKnownLongOption(options.longOptions[i]));

  auto given = [&](const std::string& name) {
    for (const std::string& option : options.longOptions) {
      if (option == name) return true;
    }
    return false;
  };
  FUZZ_CHECK(!options.help || given("--help"));
  FUZZ_CHECK(!options.version || given("--version"));
  FUZZ_CHECK(!options.demo || given("--demo"));
  FUZZ_CHECK(!options.transcript || given("--transcript"));
  if (options.resultJson) FUZZ_CHECK(given("--result-json=" + *options.resultJson));
  if (options.vhidBus) {
    FUZZ_CHECK(!options.vhidBus->empty());
    FUZZ_CHECK(given("--vhid-bus=" + *options.vhidBus));
  }
  if (options.timeScale) {
    FUZZ_CHECK(*options.timeScale >= 1.0 && *options.timeScale <= 10000.0);
    bool spelled = false;
    for (const std::string& option : options.longOptions) {
      if (!option.starts_with("--time-scale=")) continue;
      const std::string text = option.substr(13);
      char* end = nullptr;
      const double value = std::strtod(text.c_str(), &end);
      spelled = spelled || (!text.empty() && *end == 0 && value == *options.timeScale);
    }
    FUZZ_CHECK(spelled);
  }
}

void CheckLetterOptions(const std::vector<std::string>& arguments, const CMyCommandLineInfo& info) {
  bool silent = false;
  bool progress = false;
  bool check = true;
  const std::string* version = nullptr;
  std::int16_t mcuIndex = 0;
  std::uint16_t productId = kApplicationProductId;
  for (const std::string& argument : arguments) {
    const char* param = argument.c_str();
    if (*param == '-' || *param == '/') ++param;
    switch (*param) {
      case 'S':
      case 's':
        silent = true;
        break;
      case 'P':
      case 'p':
        silent = progress = true;
        break;
      case 'F':
      case 'f':
        check = false;
        break;
      case 'V':
      case 'v':
        version = &argument;
        break;
      case 'M':
      case 'm':
        mcuIndex = static_cast<std::int16_t>(ReferenceUnsigned32(param + 1, 10) & 0xFFFFu);
        break;
      case 'I':
      case 'i':
        productId = static_cast<std::uint16_t>(ReferenceUnsigned32(param + 1, 16) & 0xFFFFu);
        break;
      default:
        break;
    }
  }
  FUZZ_CHECK(info.SilentMode == silent);
  FUZZ_CHECK(info.ProgressMode == progress);
  FUZZ_CHECK(info.CheckMode == check);
  FUZZ_CHECK(info.mcuIndex == mcuIndex);
  FUZZ_CHECK(info.ProductID == productId);
  if (version == nullptr) {
    FUZZ_CHECK(info.lpInputVersion == nullptr);
  } else {
    // The text after the letter, inside the argument it came from.
    const char* start = version->c_str();
    FUZZ_CHECK(info.lpInputVersion > start && info.lpInputVersion <= start + version->size());
    FUZZ_CHECK(info.lpInputVersion[-1] == 'V' || info.lpInputVersion[-1] == 'v');
    FUZZ_CHECK(std::string(info.lpInputVersion) == version->substr(info.lpInputVersion - start));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments = Arguments(std::span(data, size));
  const CStartOptions options = ParseStartOptions(arguments);
  CheckStartOptions(arguments, options);

  CMyCommandLineInfo info;
  info.ParseCommandLine(options.letterArgs);
  CheckLetterOptions(options.letterArgs, info);
  return 0;
}
