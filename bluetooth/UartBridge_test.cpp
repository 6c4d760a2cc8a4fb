#include "bluetooth/UartBridge.h"

#include <gtest/gtest.h>

#include "bluetooth/testing/TestChip.h"

namespace {

class UartBridgeTest : public testing::Test {
 protected:
  void SetUp() override {
    UartBridgeSetHandle(m_device);
    DrainHostQueue();
  }
  void TearDown() override {
    UartBridgeSetHandle(nullptr);
    DrainHostQueue();
  }

  static Bytes DataOf(const Bytes& report) { return Bytes(report.begin() + 4, report.begin() + 4 + report[3]); }

  std::shared_ptr<CFakeHidDevice> m_device = std::make_shared<CFakeHidDevice>();
};

Bytes Sequence(std::size_t count, std::uint8_t first = 1) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>((first + i) % 0xC0);
  return bytes;
}

// What a case writes: a byte through UartPutByte, or kFrameStart for a frame's
// opening delimiter through UartPutHeldDelimiter.
constexpr int kFrameStart = -1;

std::vector<int> Writes(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

TEST_F(UartBridgeTest, ReportsCarryGroupCountAndBytesAndAreSentAtAClosingDelimiterOrSixtyBytes) {
  struct Case {
    const char* name;
    std::vector<int> input;
    std::vector<Bytes> expectedData;
  };
  Bytes fiftyNinePlusDelimiter = Sequence(59);
  fiftyNinePlusDelimiter.push_back(0xC0);
  Bytes sixtyOne = Sequence(61);
  sixtyOne.push_back(0xC0);
  std::vector<int> fiftyNinePlusStart = Writes(Sequence(59));
  fiftyNinePlusStart.push_back(kFrameStart);
  std::vector<int> sixtyPlusDelimiter = Writes(Sequence(60));
  sixtyPlusDelimiter.push_back(0xC0);
  const Case cases[] = {
      {"lone closing delimiter", {0xC0}, {{0xC0}}},
      {"59 + delimiter", Writes(fiftyNinePlusDelimiter), {fiftyNinePlusDelimiter}},
      {"61 + delimiter", Writes(sixtyOne), {Sequence(60), {sixtyOne[60], 0xC0}}},
      // The opening delimiter starts the report rather than going out alone:
      // the bridge hands bytes to the UART and reads no frames, so where a
      // report begins means nothing to the device; the frame's end still
      // closes its report.
      {"frame", {kFrameStart, 0x40, 0x41, 0xC0}, {{0xC0, 0x40, 0x41, 0xC0}}},
      {"opening delimiter alone waits for its frame", {kFrameStart}, {}},
      // An abandoned frame's bytes share the report with the next frame.
      {"frame after an abandoned one", {kFrameStart, 0x40, kFrameStart, 0x41, 0xC0}, {{0xC0, 0x40, 0xC0, 0x41, 0xC0}}},
      {"opening delimiter as the 60th byte", fiftyNinePlusStart, {fiftyNinePlusDelimiter}},
      // A closing delimiter right after a full report still goes out at once.
      {"closing delimiter after a full report", sixtyPlusDelimiter, {Sequence(60), {0xC0}}},
      {"no delimiter below 60", Writes(Sequence(59)), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UartBridgeSetHandle(m_device);
    m_device->ClearSent();
    for (const int write : c.input) {
      if (write == kFrameStart) {
        UartPutHeldDelimiter();
      } else {
        UartPutByte(static_cast<std::uint8_t>(write));
      }
    }
    const std::vector<Bytes> reports = m_device->Sent();
    ASSERT_EQ(reports.size(), c.expectedData.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
      ASSERT_EQ(reports[i].size(), 65u);
      EXPECT_EQ(reports[i][0], 0x00);
      EXPECT_EQ(reports[i][1], 0x28);
      EXPECT_EQ(reports[i][2], 0x00);
      EXPECT_EQ(reports[i][3], c.expectedData[i].size());
      EXPECT_EQ(DataOf(reports[i]), c.expectedData[i]);
    }
  }
}

TEST_F(UartBridgeTest, BytesWithoutALiveHandleAreDroppedAndNeverReachALaterDevice) {
  UartBridgeSetHandle(nullptr);
  UartPutHeldDelimiter();
  for (const std::uint8_t byte : Sequence(10)) UartPutByte(byte);
  UartPutByte(0xC0);
  EXPECT_TRUE(m_device->Sent().empty());

  // A device closed after it was handed over is never used either.
  auto closed = std::make_shared<CFakeHidDevice>();
  UartBridgeSetHandle(closed);
  std::weak_ptr<CFakeHidDevice> watch = closed;
  closed.reset();
  UartPutByte(0xC0);
  EXPECT_TRUE(watch.expired());

  // Bytes batched for one device are not sent to the next.
  UartBridgeSetHandle(m_device);
  UartPutByte(0x11);
  auto next = std::make_shared<CFakeHidDevice>();
  UartBridgeSetHandle(next);
  UartPutByte(0xC0);
  ASSERT_EQ(next->Sent().size(), 1u);
  EXPECT_EQ(DataOf(next->Sent()[0]), Bytes{0xC0});
  EXPECT_TRUE(m_device->Sent().empty());
}

TEST_F(UartBridgeTest, InputReportsQueueOnlyUartDataWithinTheCountAndTheBytesReceived) {
  struct Case {
    const char* name;
    Bytes report;
    Bytes queued;
  };
  Bytes full(32, 0);
  full[2] = 0x28;
  full[3] = 200;  // claims more than a report can hold
  for (int i = 4; i < 32; ++i) full[i] = static_cast<std::uint8_t>(i);
  Bytes expectedFull(full.begin() + 4, full.end());
  const Case cases[] = {
      {"uart data", {0x00, 0x00, 0x28, 0x03, 0xAA, 0xBB, 0xCC, 0xDD}, {0xAA, 0xBB, 0xCC}},
      {"other kind", {0x00, 0x00, 0xEE, 0x03, 0xAA, 0xBB, 0xCC}, {}},
      {"count over 28", full, expectedFull},
      {"count beyond the bytes received", {0x00, 0x00, 0x28, 0x05, 0x01, 0x02}, {0x01, 0x02}},
      {"no count byte", {0x00, 0x00, 0x28}, {}},
      {"zero count", {0x00, 0x00, 0x28, 0x00, 0x01}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UartRxPush(c.report);
    Bytes taken;
    std::uint8_t byte = 0;
    while (UartGetByte(byte)) taken.push_back(byte);
    EXPECT_EQ(taken, c.queued);
  }
}

TEST_F(UartBridgeTest, QueueHoldsAtMost1023BytesAndDropsTheRestOfAReport) {
  std::uint8_t byte = 0x5A;
  EXPECT_FALSE(UartRxPending());
  EXPECT_FALSE(UartGetByte(byte));
  EXPECT_EQ(byte, 0x5A);

  Bytes stream = Sequence(1023, 7);
  PushToHost(stream);
  EXPECT_TRUE(UartRxPending());
  PushToHost(Bytes{0xE1, 0xE2});  // full: all dropped
  ASSERT_TRUE(UartGetByte(byte));
  EXPECT_EQ(byte, stream[0]);
  PushToHost(Bytes{0xE3, 0xE4});  // exactly one fits
  stream.push_back(0xE3);

  Bytes taken;
  while (UartGetByte(byte)) taken.push_back(byte);
  EXPECT_EQ(taken, Bytes(stream.begin() + 1, stream.end()));
}

}  // namespace
