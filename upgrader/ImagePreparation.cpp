// Image preparation: the embedded image found and checked against its digest,
// its cumulative sum, a copy for the writer, and for the Bluetooth chip the
// image without its DFU suffix.
#include "upgrader/ImagePreparation.h"

#include <algorithm>

#include "app/log/Log.h"
#include "hid/Reports.h"
#include "loader/md5/Md5.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

// The standard DFU suffix at the end of a Bluetooth image, which the chip is not sent.
constexpr std::uint32_t kDfuSuffixLength = 16;

// A missing embedded item has no system error code here; the log shows the
// POSIX "no such entry" code in its place.
constexpr int kErrorItemNotFound = 2;

// The embedded image and digest item names of an interface processor type, and its log word.
struct ImageItems {
  const char* logWord;
  std::string_view image;
  std::string_view digest;
};

std::optional<ImageItems> ItemsForType(std::uint32_t type) {
  switch (type) {
    case AXFLASH_MCU_TYPE_M:
      return ImageItems{"AXFLASH_MCU_TYPE_M", "KESTRAN_RCDATA", "KESTRAN_RCDATA_MD5"};
    case AXFLASH_MCU_TYPE_B:
      return ImageItems{"AXFLASH_MCU_TYPE_B", "BC08_RCDATA", "BC08_RCDATA_MD5"};
    case AXFLASH_MCU_TYPE_P:
      return ImageItems{"AXFLASH_MCU_TYPE_P", "LPC18XX_RCDATA", "LPC18XX_RCDATA_MD5"};
    default:
      return std::nullopt;
  }
}

// Without a whole 16-byte digest there is nothing valid to compare against.
std::optional<Md5Digest> DigestFrom(const std::optional<std::span<const std::uint8_t>>& item) {
  if (!item || item->size() < 16) return std::nullopt;
  Md5Digest digest{};
  std::copy_n(item->begin(), 16, digest.begin());
  return digest;
}

}  // namespace

HRESULT LoadEmbeddedImage(CFirmwareUpgrade& upgrader, const EmbeddedItemLookup& lookup, std::int16_t mcuIndex,
                          std::uint32_t* rawSize, std::unique_ptr<std::uint8_t[]>* rawBuffer) {
  std::uint32_t type = 0;
  upgrader.GetMCUType(static_cast<std::uint32_t>(mcuIndex), &type);

  const std::optional<ImageItems> items = ItemsForType(type);
  std::optional<std::span<const std::uint8_t>> image;
  std::optional<std::span<const std::uint8_t>> digest;
  if (items) {
    LogMessage("LoadEmbeddedImage - Index [%d] - %s", mcuIndex, items->logWord);
    image = lookup(items->image);
    digest = lookup(items->digest);
  } else {
    LogMessage("LoadEmbeddedImage - Index [%d] - Unknown", mcuIndex);
  }
  if (!image) {
    LogMessage("FW Resource not found! Error [%d]", kErrorItemNotFound);
    return E_FAIL;
  }

  const std::optional<Md5Digest> expected = DigestFrom(digest);
  const auto size = static_cast<std::uint32_t>(image->size());
  LogMessage("Total Size of FW Resource [%d]", size);

  if (!expected || CMd5::Of(*image) != *expected) {
    LogMessage("FW Resource signature mismatch!");
    return E_FAIL;
  }
  return upgrader.PrepareFirmwareImage(size, image->data(), rawSize, rawBuffer);
}

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
