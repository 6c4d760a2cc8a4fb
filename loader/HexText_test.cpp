#include "loader/HexText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  CHexLines walker(Bytes(text));
  while (const auto line = walker.Next()) lines.emplace_back(*line);
  return lines;
}

TEST(HexLines, SplitsAtLineFeedAndSkipsEmptyAndCarriageReturnOnlyLines) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases{
      {"CRLF", ":00000001FF\r\n", {":00000001FF"}},
      {"LF only", ":10\n:20\n", {":10", ":20"}},
      {"last line without LF", ":10\r\n:20", {":10", ":20"}},
      {"empty lines", "\n\n:10\n\n\n:20\n\n", {":10", ":20"}},
      {"CR-only lines", ":10\r\n\r\n\r\n:20\r\n", {":10", ":20"}},
      {"lone CR at the end", ":10\n\r", {":10"}},
      {"nothing", "", {}},
      {"short lines", ":\n:0\r\n", {":", ":0"}},
  };
  for (const Case& c : cases) EXPECT_EQ(LinesOf(c.text), c.lines) << c.name;
}

TEST(HexLines, NeverReadsPastTheText) {
  // The view ends one byte before a LF that lies outside it.
  const std::string backing = ":0011\n";
  CHexLines walker(Bytes(backing).first(5));
  const auto line = walker.Next();
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, ":0011");
  EXPECT_FALSE(walker.Next().has_value());
}

TEST(DecodeRecordLine, DecodesPairsAndRefusesWhatCannotBeSentWhole) {
  struct Case {
    const char* line;
    std::optional<std::vector<std::uint8_t>> bytes;
  };
  const std::vector<Case> cases{
      {":00000001FF", std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0xFF}},
      {":0a0b0CfF", std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C, 0xFF}},  // lower case decodes like upper case
      {":0G", std::nullopt},                                             // not a hexadecimal digit
      {":0 1F", std::nullopt},
      {":001", std::nullopt},  // a digit left over
      {":", std::nullopt},     // nothing to send
      {":0", std::nullopt},
  };
  for (const Case& c : cases) {
    RecordBytes out{};
    const auto count = DecodeRecordLine(c.line, out);
    ASSERT_EQ(count.has_value(), c.bytes.has_value()) << c.line;
    if (count) {
      EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + *count), *c.bytes) << c.line;
    }
  }
}

TEST(DecodeRecordLine, SixtyOneBytesFitSixtyTwoDoNot) {
  RecordBytes out{};
  EXPECT_EQ(DecodeRecordLine(":" + std::string(2 * 61, 'A'), out), 61u);
  EXPECT_FALSE(DecodeRecordLine(":" + std::string(2 * 62, 'A'), out).has_value());
}

TEST(SurveyHexText, CountsLinesEstimatesSizeAndFindsTheFirstLineThatCannotBeSent) {
  struct Case {
    const char* name;
    std::string text;
    std::uint32_t lines;
    std::uint32_t estimate;
    std::optional<std::uint32_t> badLine;
  };
  const std::string record = ":0400000001020304F2\r\n";
  const std::vector<Case> cases{
      {"single end record", ":00000001FF\r\n", 1, 5, std::nullopt},
      {"records then end", record + record + ":00000001FF\r\n", 3, 9 + 9 + 5, std::nullopt},
      {"empty lines not counted", record + "\n\n" + ":00000001FF\r\n", 2, 0 /* set below */, std::nullopt},
      {"bad pair refused", record + ":04000000010203ZZF2\r\n" + ":00000001FF\r\n", 3, 0, 2u},
      {"too long refused", ":" + std::string(124, 'A') + "\r\n", 1, 0, 1u},
      {"junk after the end record is not read", ":00000001FF\r\n\x1A garbage", 2, 0, std::nullopt},
      {"length-00 record mid-text ends the check", record + ":00000004AABBZZ\r\n:ZZ\r\n", 3, 0, 2u},
  };
  for (const Case& c : cases) {
    const HexTextSurvey survey = SurveyHexText(Bytes(c.text));
    EXPECT_EQ(survey.lineCount, c.lines) << c.name;
    EXPECT_EQ(survey.badLine, c.badLine) << c.name;
    const std::uint64_t framing = 3ull * c.lines;
    const std::uint32_t expected = c.text.size() > framing ? (c.text.size() - framing) / 2 : 0;
    EXPECT_EQ(survey.estimatedBinarySize, expected) << c.name;
    if (c.estimate != 0) {
      EXPECT_EQ(survey.estimatedBinarySize, c.estimate) << c.name;
    }
  }
}

}  // namespace
