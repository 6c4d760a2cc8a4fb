#pragma once
// Windows HID: real devices through SetupAPI and the HID class driver.
//
// Enumeration lists the HID device interfaces with SetupAPI and opens
// nothing; the vendor and product IDs come from the "vid_"/"pid_" tags of the
// device path, which Windows writes into it. Open opens the path for
// overlapped I/O, learns the report lengths from the preparsed data and
// refuses a collection whose reports cannot carry this protocol's. Input
// reports come from overlapped reads (the class driver keeps reports that
// arrive while no read waits); output reports go by overlapped writes bounded
// by the caller's time-out; the class requests, and the product string read
// once at open, go as overlapped device I/O controls bounded like the USB
// control transfers they become.
#include <chrono>
#include <string>

#include "platform/HidDevice.h"
#include "platform/windows/WinHidEnumeration.h"

extern "C" {
#include <hidpi.h>
}

// The system calls an open device makes, in a table so tests can play the
// class driver.
struct WinHidDeviceApi {
  decltype(&CreateFileA) createFile;
  decltype(&HidD_GetPreparsedData) getPreparsedData;
  decltype(&HidD_FreePreparsedData) freePreparsedData;
  decltype(&HidP_GetCaps) getCaps;
  decltype(&HidD_SetNumInputBuffers) setNumInputBuffers;
  decltype(&ReadFile) readFile;
  decltype(&WriteFile) writeFile;
  decltype(&DeviceIoControl) deviceIoControl;
  decltype(&CancelIoEx) cancelIoEx;
  decltype(&GetOverlappedResult) getOverlappedResult;
  // How long a class request may take in real time before it is cancelled.
  std::chrono::milliseconds requestBound;
};

// The system's calls, with the 5 s bound the USB HID drivers give a control request.
const WinHidDeviceApi& SystemWinHidDeviceApi();

class CWinHidBackend final : public CHidBackend {
 public:
  CWinHidBackend() : CWinHidBackend(SystemHidEnumerationApi(), SystemWinHidDeviceApi()) {}
  CWinHidBackend(const HidEnumerationApi& enumeration, const WinHidDeviceApi& device)
      : m_enumeration(enumeration), m_device(device) {}

  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<CHidDevice> Open(const std::string& path) override;

 private:
  const HidEnumerationApi& m_enumeration;
  const WinHidDeviceApi& m_device;
};
