#include "hid/Reports.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A report the device cut short reads as absent field by field, never beyond its end.
TEST(ReportFields, ShortReportsReadAsAbsent) {
  struct Case {
    const char* name;
    Bytes report;
    std::optional<std::uint8_t> kind;
    std::optional<std::uint8_t> status;
    std::optional<std::uint8_t> value;
  };
  const Case cases[] = {
      {"empty", {}, std::nullopt, std::nullopt, std::nullopt},
      {"up to the kind", {0x00, 0x11, 0x3E}, 0x3E, std::nullopt, std::nullopt},
      {"up to the status", {0x00, 0x11, 0x3E, 0x80}, 0x3E, 0x80, std::nullopt},
      {"up to the value", {0x00, 0x11, 0x3E, 0x00, 0x07}, 0x3E, 0x00, 0x07},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(InputKind(c.report), c.kind);
    EXPECT_EQ(AnswerStatus(c.report), c.status);
    EXPECT_EQ(AnswerValue(c.report), c.value);
    EXPECT_EQ(IsNegativeAnswer(c.report), c.status == kNegativeAnswer);
  }
  EXPECT_FALSE(IsAnswerTo(Bytes{0x00, 0x11}, Bytes{0x00, 0x11}));
  EXPECT_FALSE(IsAnswerTo(Bytes{0x00, 0x11, 0x3E}, Bytes{0x00}));
  EXPECT_TRUE(IsAnswerTo(Bytes{0x00, 0x11, 0x3E}, Bytes{0x00, 0x3E}));
  EXPECT_EQ(AnswerVersionBytes(Bytes{0, 0, 3, 0, 1, 2, 3}), std::nullopt);
  EXPECT_EQ(LoaderVersionOf(Bytes{0, 0, 0x3F, 3}), std::nullopt);
}

TEST(ReportFields, StatusWordOnlyFromAWholeStatusReport) {
  EXPECT_EQ(StatusWordOf(Bytes{0x00, 0x00, REPORT_KIND_STATUS, 'O', 'K', 0, 0}), STATUS_OK);
  EXPECT_EQ(StatusWordOf(Bytes{0x00, 0x00, REPORT_KIND_STATUS, 'O', 'K', 0}), std::nullopt);
  EXPECT_EQ(StatusWordOf(Bytes{0x00, 0x00, CMD_GROUP_UART_DATA, 'O', 'K', 0, 0}), std::nullopt);
}

TEST(ReportFields, UartDataIsWhatTheCountClaimsAndArrived) {
  struct Case {
    const char* name;
    Bytes report;
    std::optional<Bytes> data;
  };
  Bytes full(kInputReportLength, 0xAB);
  full[kInputKindByte] = CMD_GROUP_UART_DATA;
  full[kPayloadCountByte] = 0xFF;
  const Case cases[] = {
      {"no count", {0x00, 0x00, CMD_GROUP_UART_DATA}, std::nullopt},
      {"other kind", {0x00, 0x00, REPORT_KIND_STATUS, 1, 5}, std::nullopt},
      {"count met", {0x00, 0x00, CMD_GROUP_UART_DATA, 2, 5, 6, 7}, Bytes{5, 6}},
      {"count beyond arrival", {0x00, 0x00, CMD_GROUP_UART_DATA, 9, 5}, Bytes{5}},
      {"count beyond a report", full, Bytes(kInputPayloadMax, 0xAB)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto data = UartDataOf(c.report);
    ASSERT_EQ(data.has_value(), c.data.has_value());
    if (data) {
      EXPECT_EQ(Bytes(data->begin(), data->end()), *c.data);
    }
  }
}

// Writes outside a short buffer write nothing.
TEST(ReportFields, SettersStayInsideTheBuffer) {
  std::array<std::uint8_t, 2> tiny{};
  SetRequestHeader(tiny, CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  SetPayloadCount(tiny, 5);
  PutLoaderVersion(tiny, {3, 1});
  EXPECT_EQ(tiny, (std::array<std::uint8_t, 2>{0x00, CMD_GROUP_SYSTEM}));
  EXPECT_TRUE(RequestParameters(tiny).empty());
  EXPECT_TRUE(RequestPayload(tiny).empty());
}

}  // namespace
