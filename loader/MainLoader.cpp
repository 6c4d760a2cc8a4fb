// The main microcontroller's bootloader: version check and begin before the
// records, the MD5 digest of everything sent and the bootloader's verdict after.
#include "app/log/Log.h"
#include "loader/LoaderRequests.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

constexpr std::uint8_t kLoaderMajorVersion = 3;
constexpr std::uint32_t kMainImageStartAddress = 0x1A006000;
constexpr int kBeginStatusPolls = 500;   // 5 s at 10 ms
constexpr int kFinishStatusPolls = 100;  // 1 s at 10 ms

const char* TrueFalse(int result) { return result != 0 ? "TRUE" : "FALSE"; }

}  // namespace

int CUpgradeLPC18XX::InitFirmwareUpgradeL(std::uint32_t /*imageSize*/) {
  LogMessage("L::InitFirmwareUpgrade");
  if (IsBootloader() == 0) return 0;

  OutputReport answer{};
  answer[3] = 0xFF;  // an answer that does not fill the version reads as 255.255
  answer[4] = 0xFF;
  const bool versionRead = SendClassRequest(m_helper, MakeLoaderRequest(CMD_GROUP_LOADER, LDR_GET_VERSION)) &&
                           ReadInputReportNow(m_helper, answer);
  LogMessage("InitFirmwareUpgradeL LoaderVersion %d.%02d", answer[3], answer[4]);
  if (!versionRead || answer[3] != kLoaderMajorVersion) return 0;

  m_helper.m_statusWord.store(0);
  OutputReport begin = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_BEGIN);
  PutLittleEndian32(std::span(begin).subspan<3, 4>(), kMainImageStartAddress);
  int result = 0;
  if (SendClassRequest(m_helper, begin)) {
    const std::uint32_t status = AwaitStatusWord(m_helper, kBeginStatusPolls);
    if (status == STATUS_OK) {
      result = 1;
    } else {
      LogMessage("L::InitFirmwareUpgradeL -> error code 0x%X", status);
    }
  }
  m_md5.Restart();
  LogMessage("L::InitFirmwareUpgradeL - success[%s]", TrueFalse(result));
  return result;
}

int CUpgradeLPC18XX::EndFirmwareUpgradeL() {
  LogMessage("L::EndFirmwareUpgradeL");
  OutputReport finish = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_FINISH);
  const Md5Digest digest = m_md5.Finish();
  std::copy(digest.begin(), digest.end(), finish.begin() + 3);

  m_helper.m_statusWord.store(0);
  // A finish the device never received cannot have been confirmed.
  int result = 0;
  if (SendClassRequest(m_helper, finish)) {
    const std::uint32_t status = AwaitStatusWord(m_helper, kFinishStatusPolls);
    if (status == STATUS_OK) {
      result = 1;
    } else {
      LogMessage("L::EndFirmwareUpgradeL -> error code 0x%X", status);
    }
  }
  LogMessage("L::EndFirmwareUpgrade - success[%s]", TrueFalse(result));
  return result;
}
