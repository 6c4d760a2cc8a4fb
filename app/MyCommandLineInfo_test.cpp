#include "app/MyCommandLineInfo.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/log/Log.h"

namespace {

struct CommandLineCase {
  std::vector<std::string> arguments{};
  bool silent = false;
  bool check = true;
  bool progress = false;
  std::optional<std::string> version{};  // nullopt: lpInputVersion stays null
  std::int16_t mcuIndex = 0;
  std::uint16_t productId = kApplicationProductId;
  std::vector<std::string> log{};  // every line ParseParam writes, in order
};

std::vector<std::string> Lines(const std::string& argument, const std::string& effect) {
  return {"ParseParam - lpszParam [" + argument + "]", effect};
}

std::vector<CommandLineCase> Cases() {
  std::vector<CommandLineCase> cases;
  auto add = [&](CommandLineCase c) { cases.push_back(std::move(c)); };
  add({.arguments = {}});
  // The three spellings of a letter option, and case-insensitivity.
  add({.arguments = {"/S"}, .silent = true, .log = Lines("S", "ParseParam S - SilentMode [1]")});
  add({.arguments = {"-s"}, .silent = true, .log = Lines("s", "ParseParam S - SilentMode [1]")});
  add({.arguments = {"S"}, .silent = true, .log = Lines("S", "ParseParam S - SilentMode [1]")});
  add({.arguments = {"/Sanything"}, .silent = true, .log = Lines("Sanything", "ParseParam S - SilentMode [1]")});
  add({.arguments = {"/p"},
       .silent = true,
       .progress = true,
       .log = Lines("p", "ParseParam P - SilentMode [1] ProgressMode[1]")});
  {
    CommandLineCase c{.arguments = {"/S", "/F"}, .silent = true, .check = false};
    c.log = {"ParseParam - lpszParam [S]", "ParseParam S - SilentMode [1]", "ParseParam - lpszParam [F]",
             "ParseParam F - CheckMode [0]"};
    add(c);
  }
  // Unknown letters change nothing and are shown upper-cased.
  add({.arguments = {"/X"}, .log = Lines("X", "ParseParam Unknown [X]")});
  add({.arguments = {"/x"}, .log = Lines("x", "ParseParam Unknown [X]")});
  // Only one prefix character is removed.
  add({.arguments = {"//S"}, .log = Lines("/S", "ParseParam Unknown [/]")});
  add({.arguments = {"-/s"}, .log = Lines("/s", "ParseParam Unknown [/]")});
  // An empty argument is logged and changes nothing.
  add({.arguments = {""}, .log = {"ParseParam - lpszParam []"}});
  add({.arguments = {"/"}, .log = {"ParseParam - lpszParam []"}});
  // Version text: the rest of the argument, uncopied.
  add({.arguments = {"/Vv1.02"}, .version = "v1.02", .log = Lines("Vv1.02", "ParseParam V - lpInputVersion [v1.02]")});
  add({.arguments = {"/v"}, .version = "", .log = Lines("v", "ParseParam V - lpInputVersion []")});
  // Decimal index, low 16 bits, shown signed.
  add({.arguments = {"/M1"}, .mcuIndex = 1, .log = Lines("M1", "ParseParam M - mcuIndex [1]")});
  add({.arguments = {"/M"}, .mcuIndex = 0, .log = Lines("M", "ParseParam M - mcuIndex [0]")});
  add({.arguments = {"/M70000"}, .mcuIndex = 4464, .log = Lines("M70000", "ParseParam M - mcuIndex [4464]")});
  add({.arguments = {"/M40000"}, .mcuIndex = -25536, .log = Lines("M40000", "ParseParam M - mcuIndex [-25536]")});
  add({.arguments = {"/M-1"}, .mcuIndex = -1, .log = Lines("M-1", "ParseParam M - mcuIndex [-1]")});
  add({.arguments = {"/M-70000"}, .mcuIndex = -4464, .log = Lines("M-70000", "ParseParam M - mcuIndex [-4464]")});
  add({.arguments = {"/M \t+12abc"}, .mcuIndex = 12, .log = Lines("M \t+12abc", "ParseParam M - mcuIndex [12]")});
  add({.arguments = {"/Mabc"}, .mcuIndex = 0, .log = Lines("Mabc", "ParseParam M - mcuIndex [0]")});
  add({.arguments = {"/M0x10"}, .mcuIndex = 0, .log = Lines("M0x10", "ParseParam M - mcuIndex [0]")});
  // Too large for 32 bits: saturates like strtoul, whose low 16 bits are all ones.
  add({.arguments = {"/M99999999999"}, .mcuIndex = -1, .log = Lines("M99999999999", "ParseParam M - mcuIndex [-1]")});
  // Hexadecimal product ID with or without 0x, low 16 bits.
  add({.arguments = {"/I1a2B"}, .productId = 0x1A2B, .log = Lines("I1a2B", "ParseParam I - ProductID [0x1A2B]")});
  add({.arguments = {"/I0x1a2B"}, .productId = 0x1A2B, .log = Lines("I0x1a2B", "ParseParam I - ProductID [0x1A2B]")});
  add({.arguments = {"-i0XBEEF"}, .productId = 0xBEEF, .log = Lines("i0XBEEF", "ParseParam I - ProductID [0xBEEF]")});
  add({.arguments = {"/I12345678"}, .productId = 0x5678, .log = Lines("I12345678", "ParseParam I - ProductID [0x5678]")});
  add({.arguments = {"/Iabcde"}, .productId = 0xBCDE, .log = Lines("Iabcde", "ParseParam I - ProductID [0xBCDE]")});
  add({.arguments = {"/I  -1"}, .productId = 0xFFFF, .log = Lines("I  -1", "ParseParam I - ProductID [0xFFFF]")});
  add({.arguments = {"/I c02zz"}, .productId = 0x0C02, .log = Lines("I c02zz", "ParseParam I - ProductID [0x0C02]")});
  add({.arguments = {"/I"}, .productId = 0, .log = Lines("I", "ParseParam I - ProductID [0x0000]")});
  add({.arguments = {"/I0x"}, .productId = 0, .log = Lines("I0x", "ParseParam I - ProductID [0x0000]")});
  add({.arguments = {"/Ig1"}, .productId = 0, .log = Lines("Ig1", "ParseParam I - ProductID [0x0000]")});
  // A later option overwrites an earlier one.
  {
    CommandLineCase c{.arguments = {"/M5", "/m7"}, .mcuIndex = 7};
    c.log = {"ParseParam - lpszParam [M5]", "ParseParam M - mcuIndex [5]", "ParseParam - lpszParam [m7]",
             "ParseParam M - mcuIndex [7]"};
    add(c);
  }
  return cases;
}

TEST(CommandLine, OptionsSetTheRecordAndLogEachArgument) {
  for (const CommandLineCase& c : Cases()) {
    std::string label;
    for (const auto& a : c.arguments) label += "'" + a + "' ";
    SCOPED_TRACE(label);
    LogCapture capture;
    CMyCommandLineInfo info;
    info.ParseCommandLine(c.arguments);
    EXPECT_EQ(info.SilentMode, c.silent);
    EXPECT_EQ(info.CheckMode, c.check);
    EXPECT_EQ(info.ProgressMode, c.progress);
    EXPECT_EQ(info.mcuIndex, c.mcuIndex);
    EXPECT_EQ(info.ProductID, c.productId);
    if (c.version) {
      ASSERT_NE(info.lpInputVersion, nullptr);
      EXPECT_EQ(std::string(info.lpInputVersion), *c.version);
      // Not a copy: the pointer lies inside the argument.
      const std::string& argument = c.arguments.back();
      EXPECT_GE(info.lpInputVersion, argument.data());
      EXPECT_LE(info.lpInputVersion, argument.data() + argument.size());
    } else {
      EXPECT_EQ(info.lpInputVersion, nullptr);
    }
    EXPECT_EQ(capture.Messages(), c.log);
  }
}

TEST(CommandLine, NumbersReadLikeAnUnsigned32BitConversion) {
  struct {
    const char* text;
    int base;
    std::uint32_t value;
  } const cases[] = {
      {"", 10, 0},
      {"   ", 10, 0},
      {"42", 10, 42},
      {"\n\v\f\r 42", 10, 42},
      {"+42", 10, 42},
      {"-42", 10, 0xFFFFFFD6u},
      {"--42", 10, 0},
      {"+-42", 10, 0},
      {"4294967295", 10, 0xFFFFFFFFu},
      {"4294967296", 10, 0xFFFFFFFFu},
      {"-4294967296", 10, 0xFFFFFFFFu},
      {"12a", 10, 12},
      {"ffffffff", 16, 0xFFFFFFFFu},
      {"100000000", 16, 0xFFFFFFFFu},
      {"0x1A", 16, 0x1A},
      {"-0x1", 16, 0xFFFFFFFFu},
      {"0xz", 16, 0},
      {"1A", 10, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "' base " + std::to_string(c.base));
    EXPECT_EQ(ParseUnsigned32(c.text, c.base), c.value);
  }
  EXPECT_EQ(ParseUnsigned32(nullptr, 10), 0u);
}

}  // namespace
