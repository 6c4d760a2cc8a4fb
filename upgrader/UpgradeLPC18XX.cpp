// CUpgradeLPC18XX: device connection, processor inventory, active processor,
// product name and the routing of the write sequence.
#include "upgrader/UpgradeLPC18XX.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "hid/Reports.h"

namespace {

// Image-file description of a processor type: filter text, default extension, mask.
struct ImageFileDescription {
  const char* filter;
  const char* defaultExt;
  const char* mask;
};

constexpr ImageFileDescription kKesFiles{"KES Files *.kes|All Files (*.*)|*.*||", "kes", "*.kes"};
constexpr ImageFileDescription kDfuFiles{"DFU Files *.dfu|All Files (*.*)|*.*||", "dfu", "*.dfu"};
constexpr ImageFileDescription kHexFiles{"HEX Files *.hex|All Files (*.*)|*.*||", "hex", "*.hex"};

constexpr std::uint16_t kBlockSizeM = 48;
constexpr std::uint16_t kBlockSizeDefault = 32;

// Interface type of a device type code; 0 for a code that has none.
std::uint32_t InterfaceTypeOf(std::uint32_t code) {
  switch (code) {
    case MCU_CODE_M:
      return AXFLASH_MCU_TYPE_M;
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B:
      return AXFLASH_MCU_TYPE_B;
    case MCU_CODE_L:
      return AXFLASH_MCU_TYPE_P;
    default:
      return 0;
  }
}

// Write block length of a type code; 0 for a code that is not programmed.
std::uint16_t BlockSizeOf(std::uint32_t code) {
  switch (code) {
    case MCU_CODE_M:
      return kBlockSizeM;
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B:
    case MCU_CODE_L:
      return kBlockSizeDefault;
    default:
      return 0;
  }
}

// Sends one inventory query in `buffer`, zeroed beyond the request so that no
// earlier answer is left in it. Answers with the bytes the answer wrote; none
// when no answer came.
std::span<const std::uint8_t> Query(CHIDHelper& helper, std::span<std::uint8_t> buffer, std::uint8_t code,
                                    std::uint8_t processorNumber) {
  std::fill(buffer.begin(), buffer.end(), 0);
  SetRequestHeader(buffer, CMD_GROUP_SYSTEM, code);
  PutReportByte(buffer, kRequestParametersByte, processorNumber);
  const std::size_t answered = helper.CommandTransaction(buffer) != 0 ? helper.AnswerLength() : 0;
  return buffer.first(answered);
}

// The version answer carries a BCD date: day, month, then the year low byte first.
McuVersion VersionFromBytes(const std::array<std::uint8_t, kAnswerVersionLength>& bytes) {
  const auto [day, month, yearLow, yearHigh] = bytes;
  return (static_cast<McuVersion>(day) << 24) | (static_cast<McuVersion>(month) << 16) |
         (static_cast<McuVersion>(yearHigh) << 8) | yearLow;
}

}  // namespace

CUpgradeLPC18XX::CUpgradeLPC18XX() {
  LogMessage("L::P");
  ConstructInit();
}

CUpgradeLPC18XX::~CUpgradeLPC18XX() {
  LogMessage("L::~L");
  m_helper.CloseDeviceHandle();
  m_mcuTypes.clear();
  m_mcuVersions.clear();
  m_blockSizes.clear();
  LogMessage("L::~L - END");
}

void CUpgradeLPC18XX::ConstructInit() {
  LogMessage("L::ConstructInit");
  m_writeOpen = 0;
  m_writeAddressM = 0;
  m_isBootloader = 0;
  m_rawImageSum = 0;
  m_verdictL = 0;
  m_verdictA = 0;
  m_verdictB = 0;
  m_upgradedCount = 0;
  m_mcuTypes.clear();
  m_mcuVersions.clear();
  m_blockSizes.clear();
  m_reservedValue = 0;
  m_variant = 2;
  m_optionFlag = 0;
  m_fileFilter = kKesFiles.filter;
  m_defaultExt = kKesFiles.defaultExt;
  m_fileMask = kKesFiles.mask;
}

HRESULT CUpgradeLPC18XX::Init() {
  LogMessage("L::Init");
  HRESULT result = OpenDeviceHandle();
  if (SUCCEEDED(result) && InitMCUData() == 0) {
    result = E_FAIL;
  }
  LogMessage("L::Init - hRes[%08x]", result);
  return result;
}

HRESULT CUpgradeLPC18XX::OpenDeviceHandle() {
  // The channel writes a new path only on success; drop the old one first so
  // that a failed reopen does not leave a stale path behind.
  m_devicePath.reset();
  const HRESULT result =
      m_helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 0, &m_productId, &m_devicePath);
  if (SUCCEEDED(result)) {
    m_isBootloader = m_helper.IsBootloader();
  }
  return result;
}

int CUpgradeLPC18XX::InitMCUData() {
  LogMessage("L::InitMCUData");
  std::array<std::uint8_t, kOutputReportLength> buffer{};

  // A count the answer did not carry is a failed query.
  const std::optional<std::uint8_t> countValue = AnswerValue(Query(m_helper, buffer, SYS_GET_MCU_COUNT, 0));
  if (!countValue) {
    return 0;
  }
  const std::uint32_t count = *countValue;
  LogMessage("L::Num MCU [%d]", count);
  LogMessage("L::Num MCU [%d]", count);

  // At most 255 entries each; should even that fail, the inventory is not
  // taken and Init fails, so no upgrader with a partial inventory exists.
  try {
    m_mcuTypes.assign(count, 0);
    m_mcuVersions.assign(count, 0);
    m_blockSizes.assign(count, 0);
  } catch (const std::bad_alloc&) {
    m_mcuTypes.clear();
    m_mcuVersions.clear();
    m_blockSizes.clear();
    return 0;
  }
  m_mcuCount = count;

  // A device that stops answering is not asked again: each unanswered query
  // costs up to the channel's whole wait, and 255 processors of them would hold
  // the start for minutes. The processors not read stay 0, as for failed queries.
  for (std::uint32_t index = 0; index < count; ++index) {
    if (!ReadProcessor(index, buffer)) {
      LogMessage("L::InitMCUData - no answer, MCU [%d] and later not read", index);
      break;
    }
  }
  return 1;
}

bool CUpgradeLPC18XX::ReadProcessor(std::uint32_t index, std::span<std::uint8_t> buffer) {
  const auto processorNumber = static_cast<std::uint8_t>(index + 1);

  LogMessage("L::Get MCU [%d] Type...", index);
  const std::span<const std::uint8_t> typeAnswer = Query(m_helper, buffer, SYS_GET_MCU_TYPE, processorNumber);
  if (typeAnswer.empty()) return false;
  if (const std::optional<std::uint8_t> type = AnswerValue(typeAnswer)) {
    m_mcuTypes[index] = *type;
    LogMessage("L::MCU [%d] Type [%d]", index, m_mcuTypes[index]);
  }

  LogMessage("L::Get MCU [%d] Ver...", index);
  const std::span<const std::uint8_t> versionAnswer = Query(m_helper, buffer, SYS_GET_MCU_VERSION, processorNumber);
  if (versionAnswer.empty()) return false;
  if (const auto versionBytes = AnswerVersionBytes(versionAnswer)) {
    const std::uint16_t blockSize = BlockSizeOf(m_mcuTypes[index]);
    if (blockSize != 0) {
      m_mcuVersions[index] = VersionFromBytes(*versionBytes);
      m_blockSizes[index] = blockSize;
    }
    LogMessage("L::MCU [%d] ver [%08x]", index, m_mcuVersions[index]);
  }
  return true;
}

std::uint32_t CUpgradeLPC18XX::TypeCodeAt(std::uint32_t index) const {
  return index < m_mcuTypes.size() ? m_mcuTypes[index] : 0;
}

McuVersion CUpgradeLPC18XX::VersionAt(std::uint32_t index) const {
  return index < m_mcuVersions.size() ? m_mcuVersions[index] : 0;
}

std::uint16_t CUpgradeLPC18XX::BlockSizeAt(std::uint32_t index) const {
  return index < m_blockSizes.size() ? m_blockSizes[index] : 0;
}

HRESULT CUpgradeLPC18XX::GetMCUType(std::uint32_t index, std::uint32_t* type) {
  HRESULT result = E_FAIL;
  if (type != nullptr && index < m_mcuCount) {
    const std::uint32_t interfaceType = InterfaceTypeOf(TypeCodeAt(index));
    if (interfaceType != 0) {
      *type = interfaceType;
    }
    result = S_OK;
  }
  LogMessage("L::GetMCUType - Index[%d] Type[%d]", index, type != nullptr ? *type : 0u);
  return result;
}

HRESULT CUpgradeLPC18XX::SetActiveMCU(std::uint32_t index) {
  LogMessage("L::SetActiveMCU - index[%d]", index);
  const HRESULT result = CFirmwareUpgrade::SetActiveMCU(index);
  if (FAILED(result)) {
    return result;
  }
  const ImageFileDescription* description = &kHexFiles;
  switch (TypeCodeAt(m_indexMCU)) {
    case MCU_CODE_M:
      LogMessage("L::SetActiveMCU - M type");
      description = &kKesFiles;
      break;
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B:
      LogMessage("L::SetActiveMCU - D type");
      description = &kDfuFiles;
      break;
    default:
      LogMessage("L::SetActiveMCU - def L type");
      break;
  }
  m_fileFilter = description->filter;
  m_defaultExt = description->defaultExt;
  m_fileMask = description->mask;
  return S_OK;
}

HRESULT CUpgradeLPC18XX::GetProductName(char16_t* buffer, std::uint32_t sizeBytes) {
  if (m_isBootloader == 1) {
    // The bootloader reports no product string of its own.
    if (buffer == nullptr || sizeBytes < sizeof(kFixedProductName)) {
      return E_FAIL;
    }
    std::copy(std::begin(kFixedProductName), std::end(kFixedProductName), buffer);
    return S_OK;
  }
  // A buffer must hold at least the terminating unit, so that it can be
  // formatted below whatever the device sent.
  const std::uint32_t units = sizeBytes / sizeof(char16_t);
  if (buffer == nullptr || units == 0) {
    LogMessage("L::GetProductName - Buffer Invalid!![%p] Size[%d]", buffer, sizeBytes);
    return E_FAIL;
  }
  const HRESULT result = m_helper.GetProductString(buffer, sizeBytes) ? S_OK : E_FAIL;
  // A string that fills the whole buffer arrives without its terminator.
  buffer[units - 1] = u'\0';
  LogMessage("L::GetProductName - Name[%ls] hRes[%08x]", buffer, result);
  return result;
}

std::uint16_t CUpgradeLPC18XX::GetBlockSize() { return BlockSizeAt(m_indexMCU); }

HRESULT CUpgradeLPC18XX::GetFirmwareImage(std::uint32_t size, const std::uint8_t* image, std::uint32_t* outSize,
                                          std::unique_ptr<std::uint8_t[]>* outBuffer) {
  return CFirmwareUpgrade::GetFirmwareImage(size, image, outSize, outBuffer);
}

std::uint32_t CUpgradeLPC18XX::ReservedQuery(std::uint32_t, std::uint32_t, std::uint32_t) { return 0; }

int CUpgradeLPC18XX::ReservedCheck(std::uint32_t) { return 1; }

int CUpgradeLPC18XX::InitFirmwareUpgrade(std::uint32_t imageSize) {
  if (m_writeOpen != 0) {
    return 0;
  }
  int result = 0;
  switch (TypeCodeAt(m_indexMCU)) {
    case MCU_CODE_M:
      result = InitFirmwareUpgradeM(imageSize);
      break;
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B:
      result = InitFirmwareUpgradeB(imageSize);
      break;
    case MCU_CODE_L:
      result = InitFirmwareUpgradeL(imageSize);
      break;
    default:
      break;
  }
  m_writeOpen = static_cast<std::uint32_t>(result);
  return result;
}

int CUpgradeLPC18XX::FirmwareUpgradeWrite(const std::uint8_t* block, std::uint16_t length) {
  if (m_writeOpen != 1) {
    return 0;
  }
  switch (TypeCodeAt(m_indexMCU)) {
    case MCU_CODE_M:
      return FirmwareUpgradeWriteM(block, length);
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B:
      return FirmwareUpgradeWriteBlockB(block, length);
    case MCU_CODE_L:
      return FirmwareUpgradeWriteL(block, length);
    default:
      return 0;
  }
}

int CUpgradeLPC18XX::EndFirmwareUpgrade() {
  int result = 0;
  if (m_writeOpen == 1) {
    switch (TypeCodeAt(m_indexMCU)) {
      case MCU_CODE_M:
        result = EndFirmwareUpgradeM();
        break;
      case MCU_CODE_BT_A:
      case MCU_CODE_BT_B:
        result = EndFirmwareUpgradeB();
        break;
      case MCU_CODE_L:
        result = EndFirmwareUpgradeL();
        break;
      default:
        break;
    }
    m_writeOpen = 0;
  }
  if (result != 0) {
    ++m_upgradedCount;
  }
  return result;
}

// The Bluetooth image goes out whole through FirmwareUpgradeWriteB.
int CUpgradeLPC18XX::FirmwareUpgradeWriteBlockB(const std::uint8_t*, std::uint32_t) { return 1; }

std::uint32_t CUpgradeLPC18XX::IsBootloader() { return m_isBootloader; }

std::uint32_t CUpgradeLPC18XX::GetUpgradedCount() { return m_upgradedCount; }
