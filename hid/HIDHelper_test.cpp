#include "hid/HIDHelper.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "hid/Reports.h"
#include "hid/testing/VhidTestPeer.h"
#include "platform/Clock.h"
#include "platform/testing/TempDirectory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using HostMessage = CVhidTestPeer::HostMessage;

constexpr std::uint8_t kOutput = 0x10;
constexpr std::uint8_t kSetFeature = 0x12;

// Real-time bound for things a test waits on; never reached when the code works.
template <typename Predicate>
bool Eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

Bytes InputReport(std::uint8_t kind, std::initializer_list<std::uint8_t> tail = {}, std::size_t length = 32) {
  Bytes report(length, 0);
  report[2] = kind;
  std::size_t i = 3;
  for (std::uint8_t b : tail)
    if (i < length) report[i++] = b;
  return report;
}

std::array<std::uint8_t, kOutputReportLength> Request(std::uint8_t group, std::uint8_t code) {
  std::array<std::uint8_t, kOutputReportLength> report{};
  for (std::size_t i = 3; i < report.size(); ++i) report[i] = 0xA5;  // marks bytes the answer must not touch
  report[1] = group;
  report[2] = code;
  return report;
}

void ReplyStatus(CVhidTestPeer& peer, const HostMessage& message) {
  const std::uint8_t ok[] = {0};
  peer.SendMessage(static_cast<std::uint8_t>(message.type + 0x80), ok);
}

// UART data the hook received, for the clamp test.
std::mutex g_uartMutex;
std::vector<Bytes> g_uartReports;
void RecordUart(std::span<const std::uint8_t> report) {
  std::lock_guard lock(g_uartMutex);
  g_uartReports.emplace_back(report.begin(), report.end());
}

class HidHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_busDirectory.Valid());
    UseVhidBackend(m_bus);
    // 100 ms of program time lasts 25 ms: the gaps the tests rely on stay far
    // apart from the 500 ms limits even on a loaded machine under a sanitizer.
    Clock::SetTimeScale(4);
  }
  void TearDown() override {
    m_helper.reset();
    m_peer.reset();
    Clock::SetTimeScale(1);
  }

  CVhidTestPeer& Plug(std::uint16_t productId = kApplicationProductId) {
    m_peer = std::make_unique<CVhidTestPeer>(m_bus, kVendorId, productId);
    return *m_peer;
  }

  // Opens the application identity (falling back to the bootloader) with the reader running.
  CHIDHelper& Open() {
    m_helper = std::make_unique<CHIDHelper>();
    EXPECT_EQ(m_helper->OpenDeviceHandle(kVendorId, kApplicationProductId, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(m_helper->ReaderStopped(), 0u);
    return *m_helper;
  }

  // Sends reports and waits until the reader has taken all of them (a status
  // report goes last and is awaited through the status word).
  void SendAndSettle(const std::vector<Bytes>& reports) {
    m_helper->SetStatusWord(0);
    for (const Bytes& report : reports) ASSERT_TRUE(m_peer->SendInputReport(report));
    ASSERT_TRUE(m_peer->SendInputReport(InputReport(REPORT_KIND_STATUS, {0x5A, 0x5A, 0, 0})));
    ASSERT_TRUE(Eventually([&] { return m_helper->StatusWord() == 0x5A5A; }));
  }

  std::size_t CountSent(std::uint8_t type) {
    std::size_t count = 0;
    for (const HostMessage& message : m_peer->Messages()) count += message.type == type;
    return count;
  }

  CTempDirectory m_busDirectory{"quillon-hid"};
  const std::string m_bus = m_busDirectory.Path().string();
  std::unique_ptr<CVhidTestPeer> m_peer;
  std::unique_ptr<CHIDHelper> m_helper;
};

TEST_F(HidHelperTest, AnswerAfterTwoUnrelatedReportsIsTaken) {
  Plug().SetHandler([](CVhidTestPeer& peer, const HostMessage& message) {
    ReplyStatus(peer, message);
    peer.SendInputReport(InputReport(CMD_GROUP_UART_DATA, {2, 0x11, 0x22}));
    peer.SendInputReport(InputReport(REPORT_KIND_STATUS, {'O', 'K', 0, 0}));
    peer.SendInputReport(InputReport(CMD_GROUP_SYSTEM, {0x00, 3}));
  });
  CHIDHelper& helper = Open();
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(helper.CommandTransaction(request), 1);
  EXPECT_EQ(request[2], CMD_GROUP_SYSTEM);
  EXPECT_EQ(request[4], 3);
}

// Unrelated reports keep a transaction waiting while they come at most
// 100 ms apart; 500 ms of silence ends it.
TEST_F(HidHelperTest, UnrelatedReportStreamKeepsTransactionWaiting) {
  struct Case {
    int unrelatedReports;
    std::uint32_t answerDelayMs;
    int expected;
  };
  // Real time: the 100 ms gaps must stay clear of the 500 ms limit even when a
  // loaded machine under a sanitizer delays the device thread.
  Clock::SetTimeScale(1);
  for (const Case c : {Case{12, 100, 1}, Case{3, 1500, 0}}) {
    SCOPED_TRACE(c.unrelatedReports);
    std::atomic<bool> requested{false};
    Plug().SetHandler([&](CVhidTestPeer& peer, const HostMessage& message) {
      ReplyStatus(peer, message);
      requested = true;
    });
    CHIDHelper& helper = Open();
    std::thread device([&] {
      ASSERT_TRUE(Eventually([&] { return requested.load(); }));
      for (int i = 0; i < c.unrelatedReports; ++i) {
        Clock::SleepMs(100);
        m_peer->SendInputReport(InputReport(CMD_GROUP_UART_DATA, {0}));
      }
      Clock::SleepMs(c.answerDelayMs);
      m_peer->SendInputReport(InputReport(CMD_GROUP_SYSTEM, {0, 7}));
    });
    auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
    EXPECT_EQ(helper.CommandTransaction(request), c.expected);
    EXPECT_EQ(request[4], c.expected == 1 ? 7 : 0xA5);
    device.join();
    m_helper.reset();
    m_peer.reset();
  }
}

TEST_F(HidHelperTest, TransactionGivesUpAfterFiveSecondsOfUnrelatedReports) {
  std::atomic<bool> requested{false};
  std::atomic<bool> stop{false};
  Plug().SetHandler([&](CVhidTestPeer& peer, const HostMessage& message) {
    ReplyStatus(peer, message);
    requested = true;
  });
  CHIDHelper& helper = Open();
  std::atomic<int> sent{0};
  std::thread device([&] {
    ASSERT_TRUE(Eventually([&] { return requested.load(); }));
    // 60 s of program time unless the transaction ends first.
    for (int i = 0; i < 600 && !stop; ++i, ++sent) {
      Clock::SleepMs(100);
      m_peer->SendInputReport(InputReport(CMD_GROUP_UART_DATA, {0}));
    }
  });
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(helper.CommandTransaction(request), 0);
  EXPECT_LT(sent.load(), 600);  // it ended while the stream still ran
  stop = true;
  device.join();
}

TEST_F(HidHelperTest, ReportsOlderThanTheRequestNeverAnswerIt) {
  CVhidTestPeer& peer = Plug();
  std::atomic<bool> answer{false};
  peer.SetHandler([&](CVhidTestPeer& device, const HostMessage& message) {
    ReplyStatus(device, message);
    if (answer) device.SendInputReport(InputReport(CMD_GROUP_SYSTEM, {0, 9}));
  });
  Open();
  SendAndSettle({InputReport(CMD_GROUP_SYSTEM, {0, 1}), InputReport(CMD_GROUP_SYSTEM, {0, 2})});
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(m_helper->CommandTransaction(request), 0);
  EXPECT_EQ(request[4], 0xA5);

  EXPECT_EQ(m_helper->AnswerLength(), 0u);

  answer = true;
  SendAndSettle({InputReport(CMD_GROUP_SYSTEM, {0, 1})});
  EXPECT_EQ(m_helper->CommandTransaction(request), 1);
  EXPECT_EQ(request[4], 9);
  EXPECT_EQ(m_helper->AnswerLength(), 32u);

  // A transaction that gets no answer leaves no length of the one before.
  answer = false;
  EXPECT_EQ(m_helper->CommandTransaction(request), 0);
  EXPECT_EQ(m_helper->AnswerLength(), 0u);
}

TEST_F(HidHelperTest, ShortAnswerOverwritesOnlyTheBytesReceived) {
  Plug().SetHandler([](CVhidTestPeer& peer, const HostMessage& message) {
    ReplyStatus(peer, message);
    peer.SendInputReport(Bytes{0, 0x01, CMD_GROUP_SYSTEM, 0x44, 0x55});
  });
  CHIDHelper& helper = Open();
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_TYPE);
  EXPECT_EQ(helper.OutputReportTransaction(request), 1);
  EXPECT_EQ(request[0], 0);
  EXPECT_EQ(request[1], 0x01);
  EXPECT_EQ(request[2], CMD_GROUP_SYSTEM);
  EXPECT_EQ(request[3], 0x44);
  EXPECT_EQ(request[4], 0x55);
  for (std::size_t i = 5; i < request.size(); ++i) EXPECT_EQ(request[i], 0xA5) << i;
  EXPECT_EQ(helper.AnswerLength(), 5u);
}

TEST_F(HidHelperTest, WriteTheDeviceDoesNotAcceptFailsTheTransaction) {
  Plug().SetHandler([](CVhidTestPeer&, const HostMessage&) {});  // never answers OUTPUT
  CHIDHelper& helper = Open();
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(helper.CommandTransaction(request), 0);
  EXPECT_EQ(CountSent(kOutput), 1u);
}

TEST_F(HidHelperTest, FeatureTransactionOutcomes) {
  struct Case {
    const char* name;
    std::optional<std::uint8_t> answerByte3;  // none: the device stays silent
    int expected;
    std::size_t attempts;
  };
  for (const Case& c : {Case{"positive", 0x00, 1, 1}, Case{"negative", 0x80, 0, 1}, Case{"silent", {}, 0, 5}}) {
    SCOPED_TRACE(c.name);
    Plug().SetHandler([&](CVhidTestPeer& peer, const HostMessage& message) {
      ReplyStatus(peer, message);
      if (c.answerByte3) peer.SendInputReport(InputReport(CMD_GROUP_LOADER, {*c.answerByte3, 0x66}));
    });
    CHIDHelper& helper = Open();
    auto request = Request(CMD_GROUP_LOADER, 0x01);
    EXPECT_EQ(helper.FeatureReportTransaction(request), c.expected);
    EXPECT_EQ(CountSent(kSetFeature), c.attempts);
    EXPECT_EQ(request[4], c.expected == 1 ? 0x66 : 0xA5);
    m_helper.reset();
    m_peer.reset();
  }
}

TEST_F(HidHelperTest, OpenFallsBackToTheBootloaderIdentity) {
  Plug(kBootloaderProductId);
  CHIDHelper helper;
  std::uint16_t product = 0;
  std::unique_ptr<char16_t[]> path;
  EXPECT_EQ(helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 0, &product, &path), S_OK);
  EXPECT_EQ(helper.IsBootloader(), 1u);
  EXPECT_EQ(product, kApplicationProductId);  // the pair asked for, not the one opened
  ASSERT_NE(path, nullptr);
  EXPECT_NE(std::u16string(path.get()).find(u"pid_0c02"), std::u16string::npos);
  EXPECT_EQ(helper.ReaderStopped(), 0u);
}

TEST_F(HidHelperTest, OpenModeOtherThanZeroOpensOnlyTheBootloader) {
  Plug(kApplicationProductId);
  LogCapture log;
  CHIDHelper helper;
  EXPECT_EQ(helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 1, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(helper.Device(), nullptr);
  EXPECT_TRUE(log.Contains("HIDHelper::OpenDeviceHandle - hRes[80004005] IsBootloader[0]"));
}

TEST_F(HidHelperTest, SecondStartFindsTheRunningReader) {
  Plug();
  LogCapture log;
  CHIDHelper& helper = Open();
  EXPECT_EQ(helper.StartHIDInterruptThread(), S_OK);
  EXPECT_TRUE(log.Contains("Thread already created"));
  int readers = 0;
  for (const std::string& line : log.Messages()) readers += line == "HIDHelper::HIDInterruptThread";
  EXPECT_EQ(readers, 1);
}

TEST_F(HidHelperTest, StatusReportSetsTheStatusWord) {
  Plug();
  CHIDHelper& helper = Open();
  helper.SetStatusWord(0);
  m_peer->SendInputReport(InputReport(REPORT_KIND_STATUS, {'O', 'K', 0, 0}));
  EXPECT_TRUE(Eventually([&] { return helper.StatusWord() == STATUS_OK; }));
}

TEST_F(HidHelperTest, UnplugEndsTheReaderWithOnlyItsExitLine) {
  Plug();
  CHIDHelper& helper = Open();
  LogCapture log;
  m_peer->Unplug();
  // The reader raises its stopped flag just before it logs its exit line.
  ASSERT_TRUE(Eventually([&] {
    return helper.ReaderStopped() == 1 && log.Contains("HIDHelper::HIDInterruptThread - Exit Event");
  }));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"HIDHelper::HIDInterruptThread - Exit Event"});
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(helper.CommandTransaction(request), 0);
}

TEST_F(HidHelperTest, UartDataHookGetsOnlyTheBytesThatArrived) {
  struct Case {
    Bytes report;
    std::size_t expectedCount;
  };
  const Case cases[] = {
      {InputReport(CMD_GROUP_UART_DATA, {5, 1, 2, 3, 4, 5}), 5},
      {InputReport(CMD_GROUP_UART_DATA, {200}), 28},             // claims more than a report holds
      {InputReport(CMD_GROUP_UART_DATA, {20, 1, 2, 3}, 7), 3},   // claims more than arrived
      {InputReport(CMD_GROUP_UART_DATA, {9}, 4), 0},
  };
  Plug();
  {
    std::lock_guard lock(g_uartMutex);
    g_uartReports.clear();
  }
  CHIDHelper helper;
  helper.SetUartDataHook(&RecordUart);
  m_helper.reset();
  ASSERT_EQ(helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 0, nullptr, nullptr), S_OK);
  for (const Case& c : cases) m_peer->SendInputReport(c.report);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(g_uartMutex);
    return g_uartReports.size() == std::size(cases);
  }));
  std::lock_guard lock(g_uartMutex);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Bytes& got = g_uartReports[i];
    ASSERT_EQ(got.size(), 4 + cases[i].expectedCount);
    EXPECT_EQ(got[3], cases[i].expectedCount);
    EXPECT_TRUE(std::equal(got.begin() + 4, got.end(), cases[i].report.begin() + 4));
  }
}

TEST_F(HidHelperTest, RestartsNeverRunTwoReaders) {
  Plug();
  LogCapture log;
  CHIDHelper& helper = Open();
  std::atomic<bool> stop{false};
  std::thread device([&] {
    while (!stop) {
      m_peer->SendInputReport(InputReport(CMD_GROUP_UART_DATA, {1, 0x33}));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int i = 0; i < 20; ++i) {
    helper.StopHIDInterruptThread();
    EXPECT_EQ(helper.ReaderStopped(), 1u);
    EXPECT_EQ(helper.StartHIDInterruptThread(), S_OK);
    EXPECT_EQ(helper.StartHIDInterruptThread(), S_OK);
  }
  stop = true;
  device.join();
  helper.CloseDeviceHandle();
  // Every reader ends before the next one starts.
  int running = 0;
  int readers = 0;
  for (const std::string& line : log.Messages()) {
    if (line == "HIDHelper::HIDInterruptThread") {
      ++readers;
      EXPECT_EQ(++running, 1);
    }
    if (line == "HIDHelper::HIDInterruptThread - Exit Event") --running;
  }
  EXPECT_EQ(running, 0);
  EXPECT_EQ(readers, 21);
}

TEST_F(HidHelperTest, ReaderRestartsOnAnOpenHandleAfterItEndedByItself) {
  Plug();
  CHIDHelper& helper = Open();
  m_peer->Unplug();
  ASSERT_TRUE(Eventually([&] { return helper.ReaderStopped() == 1; }));
  EXPECT_EQ(helper.StartHIDInterruptThread(), S_OK);
  EXPECT_TRUE(Eventually([&] { return helper.ReaderStopped() == 1; }));  // the device is still gone
  helper.CloseDeviceHandle();
  EXPECT_EQ(helper.Device(), nullptr);
}

TEST_F(HidHelperTest, WithoutAReaderNothingWaits) {
  LogCapture log;
  CHIDHelper helper;
  EXPECT_EQ(helper.StartHIDInterruptThread(), E_FAIL);
  EXPECT_TRUE(log.Contains("No HID device opened"));
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(helper.CommandTransaction(request), 0);
  EXPECT_EQ(helper.FeatureReportTransaction(request), 0);
  EXPECT_EQ(helper.StopHIDInterruptThread(), 0);
  char16_t name[16];
  EXPECT_FALSE(helper.GetProductString(name, sizeof name));
}

TEST_F(HidHelperTest, FullRingDoesNotBlockLaterAnswers) {
  Plug().SetHandler([](CVhidTestPeer& peer, const HostMessage& message) {
    ReplyStatus(peer, message);
    peer.SendInputReport(InputReport(CMD_GROUP_SYSTEM, {0, 4}));
  });
  Open();
  std::vector<Bytes> burst(100, InputReport(CMD_GROUP_UART_DATA, {0}));
  SendAndSettle(burst);
  auto request = Request(CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT);
  EXPECT_EQ(m_helper->CommandTransaction(request), 1);
  EXPECT_EQ(request[4], 4);
}

TEST_F(HidHelperTest, ProductStringComesFromTheDevice) {
  Plug();
  CHIDHelper& helper = Open();
  char16_t name[8];
  ASSERT_TRUE(helper.GetProductString(name, sizeof name));
  EXPECT_EQ(std::u16string(name), u"Test De");  // cut to the buffer, NUL kept
}

TEST_F(HidHelperTest, I2CPassthruWriteOutcomes) {
  struct Case {
    const char* name;
    std::optional<std::uint8_t> answerByte4;
    int force;
    int expected;
    std::size_t writes;
    const char* line;
    std::uint8_t dataLength = 3;
    std::size_t answerLength = 32;
  };
  const Case cases[] = {
      {"accepted", 0, 0, 1, 1, nullptr},
      {"refused", 1, 0, 0, 5, "L::I2CPassthruWrite - Try [4] failed"},
      {"refused but forced", 1, 1, 1, 1, nullptr},
      {"silent", {}, 0, 0, 1, "L::I2CPassthruWrite - 2 Try [0] failed"},
      // The answer ends before byte 4; the request's own 0 there is no verdict.
      {"answer without its verdict", 0, 0, 0, 5, "L::I2CPassthruWrite - Try [4] failed", 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Plug().SetHandler([&](CVhidTestPeer& peer, const HostMessage& message) {
      ReplyStatus(peer, message);
      if (c.answerByte4) {
        peer.SendInputReport(InputReport(CMD_GROUP_I2C_WRITE, {0x50, *c.answerByte4}, c.answerLength));
      }
    });
    CHIDHelper& helper = Open();
    const std::uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(helper.I2CPassthruWrite(0x50, c.dataLength, data, c.force), c.expected);
    EXPECT_EQ(CountSent(kOutput), c.writes);
    if (c.line) {
      EXPECT_TRUE(log.Contains(c.line));
    }
    const HostMessage first = m_peer->Messages().front();
    ASSERT_EQ(first.payload.size(), kOutputReportLength);
    EXPECT_EQ(first.payload[1], CMD_GROUP_I2C_WRITE);
    EXPECT_EQ(first.payload[3], 0x50);
    EXPECT_EQ(first.payload[4], c.dataLength);
    EXPECT_EQ(first.payload[7], c.dataLength != 0 ? 3 : 0);
    m_helper.reset();
    m_peer.reset();
  }
}

TEST_F(HidHelperTest, I2CPassthruWriteRefusesMoreThanSixtyBytes) {
  Plug();
  CHIDHelper& helper = Open();
  const std::array<std::uint8_t, 61> data{};
  EXPECT_EQ(helper.I2CPassthruWrite(0x50, 61, data.data(), 1), 0);
  EXPECT_EQ(CountSent(kOutput), 0u);
}

TEST_F(HidHelperTest, LifecycleLinesInOrder) {
  Plug();
  LogCapture log;
  {
    CHIDHelper helper;
    ASSERT_EQ(helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 0, nullptr, nullptr), S_OK);
  }
  const std::vector<std::string> expected = {
      "HIDHelper::HIDHelper",
      "AXHID_GetHIDHandleByUsage:: VID[0x1a2b] PID[0x0c01]",
      "HIDHelper::StartHIDInterruptThread",
      "HIDHelper::HIDInterruptThread",
      "HIDHelper::HIDInterruptThread Loop",
      "HIDHelper::OpenDeviceHandle - hRes[00000000] IsBootloader[0]",
      "HIDHelper::~HIDHelper",
      "HIDHelper::StopHIDInterruptThread",
      "HIDHelper::HIDInterruptThread - Exiting Interrupt Thread - dwResult[0]",
      "HIDHelper::HIDInterruptThread - Exit Event",
      "HIDHelper::StopHIDInterruptThread - HID Interrupt Thread Done",
      "HIDHelper::~HIDHelper - END",
  };
  EXPECT_EQ(log.Messages(), expected);
}

}  // namespace
