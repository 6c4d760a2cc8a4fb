// The Windows program carries no emulator: the device emulator runs on Linux,
// and a Windows copy reaches it there over a TCP vhid bus (--vhid-bus).
#include "app/DemoDevice.h"

CDemoDevice::~CDemoDevice() { Stop(); }

bool CDemoDevice::Start(std::optional<double>) {
  return Fail("the device emulator runs on Linux only; start quillon-devemu --tcp there and give its bus with "
              "--vhid-bus");
}

void CDemoDevice::Stop() {}

bool CDemoDevice::Fail(std::string message) {
  m_error = std::move(message);
  return false;
}
