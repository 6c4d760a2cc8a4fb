#include "emulator/bluetooth_chip/ChipFrame.h"

namespace {

constexpr std::size_t kHeaderLength = 4;
constexpr std::size_t kCrcLength = 2;
constexpr std::size_t kMaxRawFrame = kHeaderLength + kChipMaxPayload + kCrcLength;

void PutEscaped(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  if (byte == kChipSlipEnd) {
    out.push_back(kChipSlipEsc);
    out.push_back(kChipSlipEscEnd);
  } else if (byte == kChipSlipEsc) {
    out.push_back(kChipSlipEsc);
    out.push_back(kChipSlipEscEsc);
  } else {
    out.push_back(byte);
  }
}

std::uint16_t ReverseBits(std::uint16_t value) {
  std::uint16_t reversed = 0;
  for (int bit = 0; bit < 16; ++bit) {
    if (value & (1u << bit)) reversed |= static_cast<std::uint16_t>(1u << (15 - bit));
  }
  return reversed;
}

}  // namespace

std::uint16_t ChipCrc(std::span<const std::uint8_t> bytes) {
  // Bit by bit, least significant bit first, reflected polynomial 0x1021.
  std::uint16_t reg = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 1u) ? static_cast<std::uint16_t>((reg >> 1) ^ 0x8408) : static_cast<std::uint16_t>(reg >> 1);
    }
  }
  return ReverseBits(reg);
}

std::array<std::uint8_t, 4> ChipFrameHeader(const ChipFrame& frame) {
  const std::size_t length = frame.payload.size();
  std::array<std::uint8_t, 4> header{};
  header[0] = static_cast<std::uint8_t>((frame.reliable ? 0x80 : 0x00) | 0x40 | ((frame.ack & 7) << 3) |
                                        (frame.seq & 7));
  header[1] = static_cast<std::uint8_t>((frame.channel & 0x0F) | ((length & 0x0F) << 4));
  header[2] = static_cast<std::uint8_t>((length >> 4) & 0xFF);
  header[3] = static_cast<std::uint8_t>(~(header[0] + header[1] + header[2]));
  return header;
}

std::vector<std::uint8_t> EncodeChipFrame(const ChipFrame& frame) {
  std::vector<std::uint8_t> plain;
  plain.reserve(kHeaderLength + frame.payload.size());
  const auto header = ChipFrameHeader(frame);
  plain.insert(plain.end(), header.begin(), header.end());
  plain.insert(plain.end(), frame.payload.begin(), frame.payload.end());
  const std::uint16_t crc = ChipCrc(plain);

  std::vector<std::uint8_t> wire;
  wire.reserve(plain.size() * 2 + 6);
  wire.push_back(kChipSlipEnd);
  for (std::uint8_t byte : plain) PutEscaped(wire, byte);
  PutEscaped(wire, static_cast<std::uint8_t>(crc >> 8));
  PutEscaped(wire, static_cast<std::uint8_t>(crc & 0xFF));
  wire.push_back(kChipSlipEnd);
  return wire;
}

std::optional<ChipFrame> ParseChipFrame(std::span<const std::uint8_t> raw) {
  if (raw.size() < kHeaderLength) return std::nullopt;
  if (static_cast<std::uint8_t>(raw[0] + raw[1] + raw[2] + raw[3]) != 0xFF) return std::nullopt;
  const bool crcPresent = (raw[0] & 0x40) != 0;
  const std::size_t length = static_cast<std::size_t>(raw[1] >> 4) | (static_cast<std::size_t>(raw[2]) << 4);
  if (raw.size() != kHeaderLength + length + (crcPresent ? kCrcLength : 0)) return std::nullopt;
  if (crcPresent) {
    const std::uint16_t expected = ChipCrc(raw.first(kHeaderLength + length));
    const std::uint16_t received =
        static_cast<std::uint16_t>((raw[kHeaderLength + length] << 8) | raw[kHeaderLength + length + 1]);
    if (expected != received) return std::nullopt;
  }
  ChipFrame frame;
  frame.reliable = (raw[0] & 0x80) != 0;
  frame.ack = static_cast<std::uint8_t>((raw[0] >> 3) & 7);
  frame.seq = static_cast<std::uint8_t>(raw[0] & 7);
  frame.channel = static_cast<std::uint8_t>(raw[1] & 0x0F);
  const auto payload = raw.subspan(kHeaderLength, length);
  frame.payload.assign(payload.begin(), payload.end());
  return frame;
}

std::optional<std::vector<std::uint8_t>> CChipFrameDecoder::Push(std::uint8_t byte) {
  if (byte == kChipSlipEnd) {
    std::optional<std::vector<std::uint8_t>> frame;
    if (!m_broken && !m_escape && !m_bytes.empty()) frame = std::move(m_bytes);
    Reset();
    return frame;
  }
  if (m_broken) return std::nullopt;
  if (m_escape) {
    m_escape = false;
    if (byte == kChipSlipEscEnd) {
      byte = kChipSlipEnd;
    } else if (byte == kChipSlipEscEsc) {
      byte = kChipSlipEsc;
    } else {
      // Not a valid escape: the frame was damaged on the line.
      m_broken = true;
      return std::nullopt;
    }
  } else if (byte == kChipSlipEsc) {
    m_escape = true;
    return std::nullopt;
  }
  if (m_bytes.size() >= kMaxRawFrame) {
    m_broken = true;
    return std::nullopt;
  }
  m_bytes.push_back(byte);
  return std::nullopt;
}

void CChipFrameDecoder::Reset() {
  m_bytes.clear();
  m_escape = false;
  m_broken = false;
}
