#include "hid/ClassRequest.h"

bool SendClassRequest(CHIDHelper& helper, std::span<const std::uint8_t> report) {
  const HidHandle device = helper.Device();
  return device != nullptr && device->SetOutputReport(report);
}
