#include "loader/MainLoader.h"

#include <algorithm>

#include "app/log/Log.h"
#include "loader/LoaderRequests.h"

namespace {

constexpr std::uint8_t kLoaderMajorVersion = 3;
constexpr std::uint32_t kMainImageStartAddress = 0x1A006000;
constexpr int kBeginStatusPolls = 500;   // 5 s at 10 ms
constexpr int kFinishStatusPolls = 100;  // 1 s at 10 ms

const char* TrueFalse(int result) { return result != 0 ? "TRUE" : "FALSE"; }

}  // namespace

int BeginMainLoader(CHIDHelper& helper, CMd5& md5) {
  OutputReport answer{};
  PutLoaderVersion(answer, kUnreadLoaderVersion);
  const bool versionRead = SendClassRequest(helper, MakeLoaderRequest(CMD_GROUP_LOADER, LDR_GET_VERSION)) &&
                           ReadInputReportNow(helper, answer);
  const LoaderVersion version = LoaderVersionOf(answer).value_or(kUnreadLoaderVersion);
  LogMessage("InitFirmwareUpgradeL LoaderVersion %d.%02d", version.major, version.minor);
  if (!versionRead || version.major != kLoaderMajorVersion) return 0;

  helper.SetStatusWord(0);
  OutputReport begin = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_BEGIN);
  PutLittleEndian32(RequestParameters(begin).first<4>(), kMainImageStartAddress);
  int result = 0;
  if (SendClassRequest(helper, begin)) {
    const std::uint32_t status = AwaitStatusWord(helper, kBeginStatusPolls);
    if (status == STATUS_OK) {
      result = 1;
    } else {
      LogMessage("L::InitFirmwareUpgradeL -> error code 0x%X", status);
    }
  }
  md5.Restart();
  LogMessage("L::InitFirmwareUpgradeL - success[%s]", TrueFalse(result));
  return result;
}

int FinishMainLoader(CHIDHelper& helper, CMd5& md5) {
  OutputReport finish = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_FINISH);
  const Md5Digest digest = md5.Finish();
  std::ranges::copy(digest, RequestParameters(finish).begin());

  helper.SetStatusWord(0);
  // A finish the device never received cannot have been confirmed.
  int result = 0;
  if (SendClassRequest(helper, finish)) {
    const std::uint32_t status = AwaitStatusWord(helper, kFinishStatusPolls);
    if (status == STATUS_OK) {
      result = 1;
    } else {
      LogMessage("L::EndFirmwareUpgradeL -> error code 0x%X", status);
    }
  }
  LogMessage("L::EndFirmwareUpgrade - success[%s]", TrueFalse(result));
  return result;
}
