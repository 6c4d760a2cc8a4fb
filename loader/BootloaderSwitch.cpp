// Switching the device between its application firmware and its HID bootloader.
// The device leaves the bus and comes back under its other product ID; these
// operations wait for it (one presence check a second) and reopen it.
#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "hid/HidDiscovery.h"
#include "loader/LoaderRequests.h"
#include "platform/Clock.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

constexpr std::uint32_t kPauseAfterCommandMs = 100;
constexpr std::uint32_t kPresencePollMs = 1000;
constexpr int kEnterPresenceChecks = 61;
constexpr int kExitPresenceChecks = 11;
constexpr std::uint32_t kSettleMs = 3000;

// Presence checks one second apart; the number of the first positive check, or -1.
int AwaitDevice(std::uint16_t productId, int checks) {
  for (int attempt = 0; attempt < checks; ++attempt) {
    Clock::SleepMs(kPresencePollMs);
    if (IsHidDevicePresent(kVendorId, productId) != 0) return attempt;
  }
  return -1;
}

}  // namespace

int CUpgradeLPC18XX::EnterBootloader() {
  LogMessage("EnterBootloader");
  if (m_helper.m_readerStopped.load() != 0) {
    // The device was reset or replugged since it was opened: reopen it first,
    // then decide whether a restart is needed.
    m_helper.CloseDeviceHandle();
    if (FAILED(OpenDeviceHandle())) {
      LogMessage("EnterBootloader - OpenDeviceHandle() failed");
      return 0;
    }
  }
  if (IsBootloader() != 0) return 1;

  OutputReport report = MakeLoaderRequest(CMD_GROUP_SYSTEM, SYS_PRE_ENTER_LOADER);
  report[3] = 0x00;
  report[4] = 0x07;
  report[5] = 0x01;
  SendClassRequest(m_helper, report);
  report[2] = SYS_ENTER_LOADER;
  SendClassRequest(m_helper, report);
  LogMessage("EnterBootloader - Command sent");

  Clock::SleepMs(kPauseAfterCommandMs);
  m_helper.CloseDeviceHandle();
  m_isBootloader = 0;

  const int found = AwaitDevice(kBootloaderProductId, kEnterPresenceChecks);
  if (found < 0) return 0;
  LogMessage("Bootloader Ready try [%d] success[%d]", found, 1);

  Clock::SleepMs(kSettleMs);
  m_helper.OpenDeviceHandle(kVendorId, kBootloaderProductId, 2, nullptr, &m_devicePath);
  const int result = m_helper.m_hDevice != nullptr ? 1 : 0;
  m_isBootloader = m_helper.IsBootloader();
  return result;
}

int CUpgradeLPC18XX::ExitBootloader() {
  LogMessage("ExitBootloader");
  if (m_helper.m_readerStopped.load() != 0) {
    m_helper.CloseDeviceHandle();
    if (FAILED(OpenDeviceHandle())) return 0;
  }
  if (IsBootloader() == 0) return 1;

  const OutputReport report = MakeLoaderRequest(CMD_GROUP_SYSTEM, SYS_EXIT_LOADER);
  SendClassRequest(m_helper, report);

  Clock::SleepMs(kPauseAfterCommandMs);
  m_helper.CloseDeviceHandle();
  m_isBootloader = 0;

  const int found = AwaitDevice(kApplicationProductId, kExitPresenceChecks);
  if (found < 0) return 0;
  LogMessage("Q7V-R try [%d] success[%d]", found, 1);

  Clock::SleepMs(kSettleMs);
  const int result = FAILED(OpenDeviceHandle()) ? 0 : 1;
  m_isBootloader = m_helper.IsBootloader();
  return result;
}
