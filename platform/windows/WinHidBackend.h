#pragma once
// Windows HID: real devices through SetupAPI and the HID class driver.
//
// Enumeration lists the HID device interfaces with SetupAPI and opens
// nothing; the vendor and product IDs come from the "vid_"/"pid_" tags of the
// device path, which Windows writes into it. Open opens the path for
// overlapped I/O and learns the report lengths from the preparsed data. Input
// reports come from overlapped reads (the class driver keeps reports that
// arrive while no read waits); output reports go by overlapped writes bounded
// by the caller's time-out; the class requests go through hid.dll.
#include <string>

#include "platform/HidDevice.h"

class CWinHidBackend final : public CHidBackend {
 public:
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<CHidDevice> Open(const std::string& path) override;
};
