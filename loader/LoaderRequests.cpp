#include "loader/LoaderRequests.h"

#include "platform/Clock.h"

OutputReport MakeLoaderRequest(std::uint8_t group, std::uint8_t code) {
  OutputReport report{};
  SetRequestHeader(report, group, code);
  return report;
}

bool ReadInputReportNow(CHIDHelper& helper, std::span<std::uint8_t> report) {
  const HidHandle device = helper.Device();
  return device != nullptr && device->GetInputReport(report);
}

std::uint32_t AwaitStatusWord(CHIDHelper& helper, int polls) {
  for (int i = 0; i < polls; ++i) {
    Clock::SleepMs(10);
    const std::uint32_t status = helper.StatusWord();
    if (status != 0) return status;
  }
  return 0;
}

void PutLittleEndian32(std::span<std::uint8_t, 4> where, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) where[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
