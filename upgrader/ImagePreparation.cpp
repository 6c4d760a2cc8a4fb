// Image preparation: the raw image's cumulative sum, a copy for the writer, and
// for the Bluetooth chip the image without its DFU suffix.
#include "app/log/Log.h"
#include "hid/Reports.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

// The standard DFU suffix at the end of a Bluetooth image, which the chip is not sent.
constexpr std::uint32_t kDfuSuffixLength = 16;

}  // namespace

HRESULT CUpgradeLPC18XX::PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* rawImage,
                                              std::uint32_t* outSize,
                                              std::unique_ptr<std::uint8_t[]>* outBuffer) {
  std::uint32_t sum = 0;
  if (rawImage != nullptr) {
    for (std::uint32_t i = 0; i < rawSize; ++i) {
      sum += rawImage[i];
    }
  }
  LogMessage("Raw Image Cumulative Sum = %d", static_cast<std::int32_t>(sum));
  m_rawImageSum = sum;

  switch (TypeCodeAt(m_indexMCU)) {
    case MCU_CODE_M:
    case MCU_CODE_L:
      return CFirmwareUpgrade::PrepareFirmwareImage(rawSize, rawImage, outSize, outBuffer);
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B: {
      // Without a whole suffix there is no firmware to send; reducing the size
      // would wrap to an enormous length.
      if (rawImage != nullptr && rawSize != 0 && rawSize < kDfuSuffixLength) {
        LogMessage("L::PrepareFirmwareImage - DFU image shorter than its suffix, rawImageSize[%d]", rawSize);
        return E_FAIL;
      }
      const HRESULT result = CFirmwareUpgrade::PrepareFirmwareImage(rawSize, rawImage, outSize, outBuffer);
      if (SUCCEEDED(result)) {
        *outSize -= kDfuSuffixLength;
      }
      return result;
    }
    default:
      return E_FAIL;
  }
}
