#pragma once
// The benchmark programs' command lines: "--name" flags and "--name VALUE"
// options, each stored straight into the program's option fields.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

struct BenchOption {
  std::string_view name;
  bool takesValue;
  std::function<void(const char* value)> apply;
};

// "--name VALUE" read as a decimal number (atof, strtoul) or kept as text.
inline BenchOption ValueOption(std::string_view name, double& target) {
  return {name, true, [&target](const char* value) { target = std::atof(value); }};
}
inline BenchOption ValueOption(std::string_view name, std::uint32_t& target) {
  return {name, true,
          [&target](const char* value) { target = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10)); }};
}
inline BenchOption ValueOption(std::string_view name, std::string& target) {
  return {name, true, [&target](const char* value) { target = value; }};
}

// "--name" alone sets `target` to `value`.
inline BenchOption FlagOption(std::string_view name, bool& target, bool value) {
  return {name, false, [&target, value](const char*) { target = value; }};
}

// Applies every argument in order; false on an unknown option or a missing value.
inline bool ParseBenchOptions(int argc, char** argv, std::initializer_list<BenchOption> options) {
  for (int i = 1; i < argc; ++i) {
    const BenchOption* match = nullptr;
    for (const BenchOption& option : options)
      if (option.name == argv[i]) match = &option;
    if (match == nullptr || (match->takesValue && i + 1 >= argc)) return false;
    match->apply(match->takesValue ? argv[++i] : nullptr);
  }
  return true;
}
