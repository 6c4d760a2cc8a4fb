#include "platform/HidDevice.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <thread>

namespace {

// Counts what reaches the backend's operations and fails each with a recorded error.
class CCountingDevice final : public CHidDevice {
 public:
  int calls = 0;
  std::size_t receivedOnEntry = 99;

  void Fail(const char* text) { RecordError(text); }

 private:
  HidReadResult DoReadInputReport(std::span<std::uint8_t>, std::size_t& received) override {
    receivedOnEntry = received;
    return HidReadResult::Cancelled;
  }
  void DoCancelRead() override {}
  bool DoWriteOutputReport(std::span<const std::uint8_t>, std::uint32_t) override { return Called(); }
  bool DoSetOutputReport(std::span<const std::uint8_t>) override { return Called(); }
  bool DoGetInputReport(std::span<std::uint8_t>) override { return Called(); }
  bool DoSetFeatureReport(std::span<const std::uint8_t>) override { return Called(); }
  bool DoGetProductString(std::span<char16_t>) override { return Called(); }
  bool Called() {
    ++calls;
    return true;
  }
};

TEST(HidDevice, EmptyBuffersNeverReachTheBackend) {
  CCountingDevice device;
  EXPECT_FALSE(device.WriteOutputReport({}, 100));
  EXPECT_FALSE(device.SetOutputReport({}));
  EXPECT_FALSE(device.GetInputReport({}));
  EXPECT_FALSE(device.SetFeatureReport({}));
  EXPECT_FALSE(device.GetProductString({}));
  EXPECT_EQ(device.calls, 0);

  std::array<std::uint8_t, 1> report{};
  std::array<char16_t, 1> text{};
  EXPECT_TRUE(device.WriteOutputReport(report, 100));
  EXPECT_TRUE(device.SetOutputReport(report));
  EXPECT_TRUE(device.GetInputReport(report));
  EXPECT_TRUE(device.SetFeatureReport(report));
  EXPECT_TRUE(device.GetProductString(text));
  EXPECT_EQ(device.calls, 5);
}

TEST(HidDevice, ReadStartsWithNothingReceived) {
  CCountingDevice device;
  std::array<std::uint8_t, 4> report{};
  std::size_t received = 7;
  EXPECT_EQ(device.ReadInputReport(report, received), HidReadResult::Cancelled);
  EXPECT_EQ(device.receivedOnEntry, 0u);
  EXPECT_EQ(received, 0u);
}

TEST(HidDevice, LastErrorIsTheLatestRecordedFromAnyThread) {
  CCountingDevice device;
  EXPECT_EQ(device.LastError(), "");
  std::thread reader([&device] { device.Fail("read: Input/output error"); });
  reader.join();
  EXPECT_EQ(device.LastError(), "read: Input/output error");
  device.Fail("HIDIOCSOUTPUT: Broken pipe");
  EXPECT_EQ(device.LastError(), "HIDIOCSOUTPUT: Broken pipe");
}

}  // namespace
