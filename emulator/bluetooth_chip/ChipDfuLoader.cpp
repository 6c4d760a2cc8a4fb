#include "emulator/bluetooth_chip/ChipDfuLoader.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t REQ_DIR_IN = 0x80;
constexpr std::uint8_t REQ_TYPE_MASK = 0x60;
constexpr std::uint8_t REQ_TYPE_CLASS = 0x20;
constexpr std::uint8_t REQ_TYPE_VENDOR = 0x40;

constexpr std::uint8_t DFU_DETACH = 0;
constexpr std::uint8_t DFU_DNLOAD = 1;
constexpr std::uint8_t DFU_GETSTATUS = 3;
constexpr std::uint8_t DFU_CLRSTATUS = 4;
constexpr std::uint8_t DFU_GETSTATE = 5;
constexpr std::uint8_t DFU_ABORT = 6;
constexpr std::uint8_t VENDOR_RESET = 7;
constexpr std::uint8_t VENDOR_GET_DEVICE = 8;
constexpr std::uint8_t VENDOR_GET_FUNC_DESC = 9;

constexpr std::size_t kSetupLength = 8;
constexpr std::uint32_t kResultTaken = 0;
constexpr std::uint32_t kResultRefused = 1;

// Device information: vendor, product, bcdDevice, bcdDFU, application version.
constexpr std::uint16_t kChipVendorId = 0x1A2B;
constexpr std::uint16_t kChipProductId = 0x0C0B;
constexpr std::uint16_t kBcdDevice = 0x0100;
constexpr std::uint16_t kBcdDfu = 0x0100;

// DFU functional descriptor (the 7-byte form): can download, manifestation
// tolerant, detach time-out 5000 ms, transfer size 1023.
constexpr std::array<std::uint8_t, 7> kFunctionalDescriptor = {0x07, 0x21, 0x05, 0x88, 0x13, 0xFF, 0x03};

constexpr std::array<std::uint8_t, 4> kStampMagic = {'Q', 'V', 'E', 'R'};

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::vector<std::uint8_t> Result(std::uint32_t result) {
  std::vector<std::uint8_t> payload;
  PutLe32(payload, result);
  return payload;
}

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

}  // namespace

CChipDfuLoader::CChipDfuLoader(Timing timing, std::uint32_t initialVersion, bool strict, bool basic)
    : m_timing(timing), m_strict(strict), m_basic(basic), m_version(initialVersion) {}

std::uint32_t CChipDfuLoader::ReadVersionStamp(std::span<const std::uint8_t> image) {
  if (image.size() < kStampOffset + 8) return 0;
  const auto stamp = image.subspan(kStampOffset, 8);
  if (!std::equal(kStampMagic.begin(), kStampMagic.end(), stamp.begin())) return 0;
  return (static_cast<std::uint32_t>(stamp[4]) << 24) | (static_cast<std::uint32_t>(stamp[5]) << 16) |
         (static_cast<std::uint32_t>(stamp[7]) << 8) | stamp[6];
}

void CChipDfuLoader::Restart(bool intoLoader) {
  if (!intoLoader && m_imageComplete) {
    m_version = ReadVersionStamp(m_storedImage);
    m_applicationIntact = true;
  }
  m_imageComplete = false;
  ForgetDownload();
  m_status = DFU_STATUS_OK;
  if (intoLoader || !m_applicationIntact) {
    m_inLoader = true;
    m_state = DFU_IDLE;
    if (m_faults.errorBeforeFirstBlock || m_faults.errorNeverClears) EnterError(DFU_STATUS_ERR_UNKNOWN);
  } else {
    m_inLoader = false;
    m_state = APP_IDLE;
  }
}

CChipDfuLoader::Reply CChipDfuLoader::HandleRequest(std::span<const std::uint8_t> request, TimePoint now) {
  if (request.size() < kSetupLength) return Refuse();
  const std::uint8_t requestType = request[0];
  const std::uint8_t code = request[1];
  const std::uint16_t value = Le16(request, 2);
  const std::uint16_t length = Le16(request, 6);
  const bool vendor = (requestType & REQ_TYPE_MASK) == REQ_TYPE_VENDOR;
  const bool dfuClass = (requestType & REQ_TYPE_MASK) == REQ_TYPE_CLASS;
  const bool in = (requestType & REQ_DIR_IN) != 0;
  if (m_basic && !KnownToBasicLoader(dfuClass, vendor, in, code)) {
    ++m_refused;
    return {Result(kResultRefused)};
  }
  if (m_strict && StrictlyRefused(dfuClass, vendor, code)) return Refuse();

  if (vendor && in && code == VENDOR_GET_DEVICE) {
    Reply reply{Result(kResultTaken)};
    PutLe16(reply.payload, kChipVendorId);
    PutLe16(reply.payload, kChipProductId);
    PutLe16(reply.payload, m_inLoader ? 0 : kBcdDevice);
    PutLe16(reply.payload, kBcdDfu);
    PutLe32(reply.payload, m_version);
    return reply;
  }
  if (vendor && in && code == VENDOR_GET_FUNC_DESC) {
    Reply reply{Result(kResultTaken)};
    reply.payload.insert(reply.payload.end(), kFunctionalDescriptor.begin(), kFunctionalDescriptor.end());
    return reply;
  }
  if (vendor && !in && code == VENDOR_RESET) {
    // Without a complete application to start, the chip comes back in its loader.
    const bool intoApplication = m_inLoader && (m_applicationIntact || m_imageComplete);
    return {Result(kResultTaken),
            intoApplication ? EAfterReply::RestartIntoApplication : EAfterReply::RestartIntoLoader};
  }
  if (dfuClass && in && code == DFU_GETSTATUS) return Status(now);
  if (dfuClass && in && code == DFU_GETSTATE) {
    Reply reply{Result(kResultTaken)};
    reply.payload.push_back(m_state);
    return reply;
  }
  if (dfuClass && !in && code == DFU_DETACH) {
    if (!m_inLoader) m_state = APP_DETACH;
    return {Result(kResultTaken)};
  }

  if (m_inLoader && dfuClass && !in) {
    switch (code) {
      case DFU_DNLOAD:
        return Download(value, length, request.subspan(kSetupLength), now);
      case DFU_CLRSTATUS:
        if (m_state == DFU_ERROR && !m_faults.errorNeverClears) {
          m_state = DFU_IDLE;
          m_status = DFU_STATUS_OK;
          ForgetDownload();
        }
        return {Result(kResultTaken)};
      case DFU_ABORT:
        if (m_state != DFU_ERROR) {
          m_state = DFU_IDLE;
          ForgetDownload();
        }
        return {Result(kResultTaken)};
      default:
        break;
    }
  }
  return Refuse();
}

CChipDfuLoader::Reply CChipDfuLoader::Refuse() {
  ++m_refused;
  if (m_inLoader) EnterError(DFU_STATUS_ERR_STALLEDPKT);
  return {Result(kResultRefused)};
}

bool CChipDfuLoader::StrictlyRefused(bool dfuClass, bool vendor, std::uint8_t code) const {
  const bool downloadOpen = m_state == DFU_DNLOAD_SYNC || m_state == DFU_DNBUSY || m_state == DFU_DNLOAD_IDLE ||
                            m_state == DFU_MANIFEST_SYNC || m_state == DFU_MANIFEST;
  if (vendor) return code == VENDOR_RESET && downloadOpen;
  if (!dfuClass) return false;
  switch (code) {
    case DFU_DETACH: return m_inLoader || m_state != APP_IDLE;
    case DFU_CLRSTATUS: return m_state != DFU_ERROR;
    case DFU_ABORT: return m_state != DFU_IDLE && m_state != DFU_DNLOAD_IDLE;
    default: return false;
  }
}

bool CChipDfuLoader::KnownToBasicLoader(bool dfuClass, bool vendor, bool in, std::uint8_t code) {
  if (vendor) return in ? code == VENDOR_GET_DEVICE || code == VENDOR_GET_FUNC_DESC : code == VENDOR_RESET;
  if (!dfuClass) return false;
  return in ? code == DFU_GETSTATUS : code == DFU_DETACH || code == DFU_DNLOAD || code == DFU_CLRSTATUS;
}

CChipDfuLoader::Reply CChipDfuLoader::Status(TimePoint now) {
  std::uint32_t pollTimeoutMs = 0;
  const bool timeUp = now >= m_busyUntil;
  if (!timeUp) {
    pollTimeoutMs = static_cast<std::uint32_t>(
        std::chrono::ceil<std::chrono::milliseconds>(m_busyUntil - now).count());
  }
  switch (m_state) {
    case DFU_DNLOAD_SYNC:
    case DFU_DNBUSY:
      m_state = timeUp ? DFU_DNLOAD_IDLE : DFU_DNBUSY;
      break;
    case DFU_MANIFEST_SYNC:
    case DFU_MANIFEST:
      if (timeUp && !m_faults.statusNeverSettles) {
        m_storedImage = m_download;
        m_imageComplete = true;
        m_state = DFU_IDLE;
        m_nextBlock = 0;
        m_download.clear();
      } else {
        m_state = DFU_MANIFEST;
      }
      break;
    default:
      break;
  }
  Reply reply{Result(kResultTaken)};
  reply.payload.push_back(m_status);
  for (int shift = 0; shift < 24; shift += 8) reply.payload.push_back(static_cast<std::uint8_t>(pollTimeoutMs >> shift));
  reply.payload.push_back(m_state);
  reply.payload.push_back(0);  // iString
  return reply;
}

CChipDfuLoader::Reply CChipDfuLoader::Download(std::uint16_t block, std::uint16_t length,
                                               std::span<const std::uint8_t> data, TimePoint now) {
  const bool idle = m_state == DFU_IDLE || m_state == DFU_DNLOAD_IDLE;
  if (!idle || length > kMaxBlock || data.size() != length || (length == 0 && m_state == DFU_IDLE)) return Refuse();
  // Block numbers are 16 bits: a download never goes on past their range, so
  // it holds at most 65,536 blocks however long the host keeps sending.
  if (block != m_nextBlock || m_nextBlock > 0xFFFF) {
    ++m_refused;
    EnterError(DFU_STATUS_ERR_ADDRESS);
    return {Result(kResultRefused)};
  }
  if (m_faults.errorAtBlock >= 0 && static_cast<std::uint32_t>(m_faults.errorAtBlock) == block) {
    EnterError(DFU_STATUS_ERR_WRITE);
    return {Result(kResultRefused)};
  }
  ++m_nextBlock;
  if (block == 0) m_imageComplete = false;  // a new download replaces the one that completed
  if (length == 0) {
    m_state = DFU_MANIFEST_SYNC;
    m_busyUntil = now + m_timing.manifest;
    return {Result(kResultTaken)};
  }
  if (m_applicationIntact) {
    // The first block overwrites the application: until a download completes
    // there is none to run.
    m_applicationIntact = false;
    m_version = 0;
  }
  m_download.insert(m_download.end(), data.begin(), data.end());
  m_state = DFU_DNLOAD_SYNC;
  m_busyUntil = now + m_timing.blockBusy;
  return {Result(kResultTaken)};
}

void CChipDfuLoader::EnterError(std::uint8_t status) {
  m_state = DFU_ERROR;
  m_status = status;
}

void CChipDfuLoader::ForgetDownload() {
  m_nextBlock = 0;
  m_download.clear();
}
