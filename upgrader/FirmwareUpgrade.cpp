// CFirmwareUpgrade: the operations every upgrader shares, and the factory.
#include "upgrader/FirmwareUpgrade.h"

#include <algorithm>
#include <new>

#include "app/log/Log.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

// A new buffer holding a copy of `size` bytes; null when it cannot be allocated.
std::unique_ptr<std::uint8_t[]> CopyImage(const std::uint8_t* image, std::uint32_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[size]);
  if (copy) {
    std::copy_n(image, size, copy.get());
  }
  return copy;
}

}  // namespace

CFirmwareUpgrade::CFirmwareUpgrade() { LogMessage("CFirmwareUpgrade::CFirmwareUpgrade"); }

// m_devicePath releases itself after this body.
CFirmwareUpgrade::~CFirmwareUpgrade() { LogMessage("CFirmwareUpgrade::~CFirmwareUpgrade"); }

std::uint32_t CFirmwareUpgrade::GetReservedValue() { return m_reservedValue; }

HRESULT CFirmwareUpgrade::PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* rawImage,
                                               std::uint32_t* outSize,
                                               std::unique_ptr<std::uint8_t[]>* outBuffer) {
  LogMessage("CFirmwareUpgrade::PrepareFirmwareImage - rawImageSize[%d] pRawImage[%p]", rawSize, rawImage);
  if (rawImage == nullptr || rawSize == 0 || outSize == nullptr || outBuffer == nullptr) {
    LogMessage("Invalid Parameters");
    return E_FAIL;
  }
  auto copy = CopyImage(rawImage, rawSize);
  if (!copy) {
    return E_FAIL;
  }
  *outSize = rawSize;
  *outBuffer = std::move(copy);
  return S_OK;
}

HRESULT CFirmwareUpgrade::GetFirmwareImage(std::uint32_t size, const std::uint8_t* image, std::uint32_t* outSize,
                                           std::unique_ptr<std::uint8_t[]>* outBuffer) {
  if (size == 0 || image == nullptr || outSize == nullptr || outBuffer == nullptr) {
    return E_FAIL;
  }
  auto copy = CopyImage(image, size);
  if (!copy) {
    return E_FAIL;
  }
  *outSize = size;
  *outBuffer = std::move(copy);
  return S_OK;
}

std::uint32_t CFirmwareUpgrade::GetVariant() { return m_variant; }

int CFirmwareUpgrade::VersionCheckingHardcodedCompare() { return 3; }

std::uint32_t CFirmwareUpgrade::ReservedFlag() { return 1; }

std::uint8_t CFirmwareUpgrade::GetOptionFlag() { return m_optionFlag; }

std::uint32_t CFirmwareUpgrade::GetMCUCount() { return m_mcuCount; }

HRESULT CFirmwareUpgrade::SetActiveMCU(std::uint32_t index) {
  if (index >= m_mcuCount) {
    return E_FAIL;
  }
  m_indexMCU = index;
  return S_OK;
}

std::uint32_t CFirmwareUpgrade::GetActiveMCU() { return m_indexMCU; }

HRESULT CFirmwareUpgrade::GetMCUType(std::uint32_t index, std::uint32_t* type) {
  if (index != 0 || type == nullptr) {
    return E_FAIL;
  }
  *type = m_defaultMcuType;
  return S_OK;
}

std::uint16_t CFirmwareUpgrade::GetProductID() { return m_productId; }

const char16_t* CFirmwareUpgrade::GetDevicePath() { return m_devicePath.get(); }

std::unique_ptr<CFirmwareUpgrade> CreateCFirmwareUpgrade() {
  // Allocation failure surfaces as std::bad_alloc, which must not leave this
  // module; it becomes the "Insufficient Memory" outcome.
  std::unique_ptr<CFirmwareUpgrade> upgrader;
  try {
    upgrader = std::make_unique<CUpgradeLPC18XX>();
  } catch (const std::bad_alloc&) {
    LogMessage("CFirmwareUpgrade::CreateCFirmwareUpgrade - L Insufficient Memory!!!");
  }
  if (upgrader && FAILED(upgrader->Init())) {
    LogMessage("CFirmwareUpgrade::CreateCFirmwareUpgrade - L Init Fail");
    upgrader.reset();
  }
  LogMessage("CFirmwareUpgrade::CreateCFirmwareUpgrade - L pFirmwareUpgrade[%p]", upgrader.get());
  return upgrader;
}
