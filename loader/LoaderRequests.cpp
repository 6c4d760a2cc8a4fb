#include "loader/LoaderRequests.h"

#include "platform/Poll.h"

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
  const auto status = Poll(polls, 10, EPollWait::BeforeEachTry, [&](int) -> std::optional<std::uint32_t> {
    const std::uint32_t word = helper.StatusWord();
    if (word != 0) return word;
    return std::nullopt;
  });
  return status.value_or(0);
}

void PutLittleEndian32(std::span<std::uint8_t, 4> where, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) where[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
