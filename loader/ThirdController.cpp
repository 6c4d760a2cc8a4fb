#include "loader/ThirdController.h"

#include <algorithm>
#include <numeric>

#include "app/log/Log.h"
#include "loader/LoaderRequests.h"
#include "platform/Poll.h"

namespace {

constexpr std::uint8_t kLoaderMajorVersion = 3;
constexpr std::uint32_t kEraseBlocks = 7;
constexpr int kErasePolls = 20;
constexpr std::uint32_t kErasePollMs = 100;
constexpr int kFinishStatusPolls = 100;
// The payload: the write address, the data, then the checksum, inside the 65-byte report.
constexpr std::size_t kAddressBytes = 4;
constexpr std::uint32_t kMaxWriteBytes = 56;

const char* TrueFalse(int result) { return result != 0 ? "TRUE" : "FALSE"; }

// Polls the erase of one block; true when the loader reported it done.
bool AwaitEraseDone(CHIDHelper& helper) {
  const auto done = Poll(kErasePolls, kErasePollMs, EPollWait::BeforeEachTry, [&](int) -> std::optional<bool> {
    OutputReport answer{};
    PutReportByte(answer, kAnswerStatusByte, 0xFF);
    ReadInputReportNow(helper, answer);
    if (AnswerStatus(answer) == 0) return true;
    return std::nullopt;
  });
  return done.value_or(false);
}

}  // namespace

int BeginThirdController(CHIDHelper& helper, CMd5& md5, std::uint32_t& writeAddress) {
  OutputReport answer{};
  PutLoaderVersion(answer, kUnreadLoaderVersion);
  const bool versionRead = SendClassRequest(helper, MakeLoaderRequest(CMD_GROUP_LOADER, LDR_M_GET_VERSION)) &&
                           ReadInputReportNow(helper, answer);
  const LoaderVersion version = LoaderVersionOf(answer).value_or(kUnreadLoaderVersion);
  LogMessage("InitFirmwareUpgradeM M Bootloader Version %d.%02d", version.major, version.minor);
  if (!versionRead || version.major != kLoaderMajorVersion) return 0;

  LogMessage("L::InitfirmwareUpgradeM -> Erasing M...");
  bool erased = true;
  for (std::uint32_t block = 0; block < kEraseBlocks && erased; ++block) {
    LogMessage("L::InitfirmwareUpgradeM -> Erasing M... %d", block);
    OutputReport erase = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_M_ERASE_BLOCK);
    PutLittleEndian32(RequestParameters(erase).first<4>(), block << 16);
    SendClassRequest(helper, erase);
    erased = AwaitEraseDone(helper);
  }
  md5.Restart();
  writeAddress = 0;
  LogMessage("L::InitfirmwareUpgradeM -> Erasing M completed.");
  const int result = erased ? 1 : 0;
  LogMessage("L::InitFirmwareUpgradeM - success[%s]", TrueFalse(result));
  return result;
}

int WriteThirdController(CHIDHelper& helper, CMd5& md5, std::uint32_t& writeAddress, const std::uint8_t* data,
                         std::uint32_t length) {
  if (data == nullptr || length > kMaxWriteBytes) {
    // A longer block would not fit the report; nothing of it is written.
    LogMessage("L::FirmwareUpgradeWriteM failed");
    return 0;
  }
  OutputReport report = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_M_WRITE);
  SetPayloadCount(report, static_cast<std::uint8_t>(length + 5));
  const std::span<std::uint8_t> payload = RequestPayload(report);
  PutLittleEndian32(payload.first<kAddressBytes>(), writeAddress);
  std::copy_n(data, length, payload.begin() + kAddressBytes);
  const std::uint8_t sum = std::accumulate(payload.begin(), payload.begin() + kAddressBytes + length, std::uint8_t{0},
                                           [](std::uint8_t a, std::uint8_t b) { return static_cast<std::uint8_t>(a + b); });
  payload[kAddressBytes + length] = static_cast<std::uint8_t>(-sum);
  md5.Update(payload.first(length + 5));
  writeAddress += length;
  const bool sent = SendClassRequest(helper, report);
  if (!sent) LogMessage("L::FirmwareUpgradeWriteM failed");
  return sent ? 1 : 0;
}

int FinishThirdController(CHIDHelper& helper, CMd5& md5) {
  OutputReport finish = MakeLoaderRequest(CMD_GROUP_LOADER, LDR_M_FINISH);
  const Md5Digest digest = md5.Finish();
  std::ranges::copy(digest, RequestParameters(finish).begin());
  helper.SetStatusWord(0);
  // A finish the device never received cannot have been confirmed.
  int result = 0;
  if (SendClassRequest(helper, finish)) result = AwaitStatusWord(helper, kFinishStatusPolls) == STATUS_OK ? 1 : 0;
  LogMessage("L::EndFirmwareUpgradeM - success[%s]", TrueFalse(result));
  return result;
}
