// Stand-in until the hidraw and vhid backends land: no device is ever present.
#include "platform/HidDevice.h"

namespace {
class CNoDevices final : public CHidBackend {
 public:
  std::vector<HidInterfaceInfo> Enumerate() override { return {}; }
  std::unique_ptr<CHidDevice> Open(const std::string&) override { return nullptr; }
};
}  // namespace

CHidBackend& HidBackend() {
  static CNoDevices backend;
  return backend;
}

void UseHidrawBackend(const std::string&, const std::string&) {}
void UseVhidBackend(const std::string&) {}
