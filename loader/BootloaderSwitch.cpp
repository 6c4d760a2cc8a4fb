#include "loader/BootloaderSwitch.h"

#include <algorithm>
#include <array>

#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "hid/HidDiscovery.h"
#include "loader/LoaderRequests.h"
#include "platform/Clock.h"
#include "platform/Poll.h"

namespace {

constexpr std::uint32_t kPauseAfterCommandMs = 100;
constexpr std::uint32_t kPresencePollMs = 1000;
constexpr int kEnterPresenceChecks = 61;
constexpr int kExitPresenceChecks = 11;
constexpr std::uint32_t kSettleMs = 3000;
// The parameters of both requests that restart the device in its bootloader.
constexpr std::array<std::uint8_t, 3> kPreEnterParameters{0x00, 0x07, 0x01};

// Presence checks one second apart; the number of the first positive check, or -1.
int AwaitDevice(std::uint16_t productId, int checks) {
  const auto found = Poll(checks, kPresencePollMs, EPollWait::BeforeEachTry, [&](int check) -> std::optional<int> {
    if (IsHidDevicePresent(kVendorId, productId) != 0) return check;
    return std::nullopt;
  });
  return found.value_or(-1);
}

}  // namespace

bool RestartInBootloader(CHIDHelper& helper) {
  OutputReport report = MakeLoaderRequest(CMD_GROUP_SYSTEM, SYS_PRE_ENTER_LOADER);
  std::ranges::copy(kPreEnterParameters, RequestParameters(report).begin());
  SendClassRequest(helper, report);
  SetRequestCode(report, SYS_ENTER_LOADER);
  SendClassRequest(helper, report);
  LogMessage("EnterBootloader - Command sent");

  Clock::SleepMs(kPauseAfterCommandMs);
  helper.CloseDeviceHandle();
  const int found = AwaitDevice(kBootloaderProductId, kEnterPresenceChecks);
  if (found < 0) return false;
  LogMessage("Bootloader Ready try [%d] success[%d]", found, 1);
  Clock::SleepMs(kSettleMs);
  return true;
}

bool RestartInApplication(CHIDHelper& helper) {
  SendClassRequest(helper, MakeLoaderRequest(CMD_GROUP_SYSTEM, SYS_EXIT_LOADER));

  Clock::SleepMs(kPauseAfterCommandMs);
  helper.CloseDeviceHandle();
  const int found = AwaitDevice(kApplicationProductId, kExitPresenceChecks);
  if (found < 0) return false;
  LogMessage("Q7V-R try [%d] success[%d]", found, 1);
  Clock::SleepMs(kSettleMs);
  return true;
}
