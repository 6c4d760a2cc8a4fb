#include "bluetooth/testing/BcspFrames.h"

#include <algorithm>

namespace bcsp_test {

constexpr std::uint8_t kDelimiter = 0xC0;
constexpr std::uint8_t kEscape = 0xDB;
constexpr std::uint8_t kEscapedDelimiter = 0xDC;
constexpr std::uint8_t kEscapedEscape = 0xDD;
constexpr std::size_t kHeaderLength = 4;
constexpr std::size_t kTrailerLength = 2;

std::uint16_t CrcRegister(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
  }
  return crc;
}

std::uint16_t CrcTrailer(std::span<const std::uint8_t> bytes) {
  const std::uint16_t crc = CrcRegister(bytes);
  std::uint16_t reversed = 0;
  for (int bit = 0; bit < 16; ++bit) reversed = static_cast<std::uint16_t>((reversed << 1) | ((crc >> bit) & 1));
  return reversed;
}

std::vector<std::uint8_t> FrameBody(const Frame& frame, std::optional<std::size_t> claimedLength) {
  const std::size_t length = claimedLength.value_or(frame.payload.size());
  const std::size_t unprotected = kHeaderLength + frame.payload.size();
  std::vector<std::uint8_t> body(unprotected + (frame.crc ? kTrailerLength : 0));
  body[0] = static_cast<std::uint8_t>((frame.reliable ? 0x80 : 0) | (frame.crc ? 0x40 : 0) | ((frame.ack & 7) << 3) |
                                      (frame.seq & 7));
  body[1] = static_cast<std::uint8_t>((frame.channel & 0x0F) | ((length & 0x0F) << 4));
  body[2] = static_cast<std::uint8_t>(length >> 4);
  body[3] = static_cast<std::uint8_t>(~(body[0] + body[1] + body[2]));
  std::ranges::copy(frame.payload, body.begin() + kHeaderLength);
  if (frame.crc) {
    const std::uint16_t trailer = CrcTrailer(std::span(body).first(unprotected));
    body[unprotected] = static_cast<std::uint8_t>(trailer >> 8);
    body[unprotected + 1] = static_cast<std::uint8_t>(trailer & 0xFF);
  }
  return body;
}

std::vector<std::uint8_t> SlipEncode(std::span<const std::uint8_t> body) {
  std::vector<std::uint8_t> wire{kDelimiter};
  for (const std::uint8_t byte : body) {
    if (byte == kDelimiter || byte == kEscape) {
      wire.insert(wire.end(), {kEscape, byte == kDelimiter ? kEscapedDelimiter : kEscapedEscape});
    } else {
      wire.push_back(byte);
    }
  }
  wire.push_back(kDelimiter);
  return wire;
}

std::vector<std::uint8_t> EncodeFrame(const Frame& frame) { return SlipEncode(FrameBody(frame)); }

Decoded DecodeFrame(std::span<const std::uint8_t> body) {
  if (body.size() < kHeaderLength) return {.fault = Fault::TooShort};
  if (static_cast<std::uint8_t>(body[0] + body[1] + body[2] + body[3]) != 0xFF) return {.fault = Fault::HeaderChecksum};
  Decoded decoded;
  Frame& frame = decoded.frame;
  frame.reliable = (body[0] & 0x80) != 0;
  frame.crc = (body[0] & 0x40) != 0;
  frame.ack = (body[0] >> 3) & 7;
  frame.seq = body[0] & 7;
  frame.channel = body[1] & 0x0F;
  const std::size_t length = static_cast<std::size_t>((body[1] >> 4) | (body[2] << 4));
  const std::size_t end = kHeaderLength + length;
  if (body.size() != end + (frame.crc ? kTrailerLength : 0)) return {.fault = Fault::Length};
  if (frame.crc && (body[end] << 8 | body[end + 1]) != CrcTrailer(body.first(end))) return {.fault = Fault::Crc};
  const auto payload = body.subspan(kHeaderLength, length);
  frame.payload.assign(payload.begin(), payload.end());
  return decoded;
}

std::optional<Decoded> CFrameReader::Feed(std::uint8_t byte) {
  if (byte == kDelimiter) {
    std::optional<Decoded> decoded;
    // An escape that the delimiter leaves open spoils the run as a wrong escape does.
    if (m_badEscape || m_escape) {
      decoded = Decoded{.fault = Fault::BadEscape};
    } else if (!m_body.empty()) {
      decoded = DecodeFrame(m_body);
    }
    m_body.clear();
    m_escape = m_badEscape = false;
    return decoded;
  }
  if (m_escape) {
    m_escape = false;
    m_badEscape = m_badEscape || (byte != kEscapedDelimiter && byte != kEscapedEscape);
    m_body.push_back(byte == kEscapedDelimiter ? kDelimiter : kEscape);
  } else if (byte == kEscape) {
    m_escape = true;
  } else {
    m_body.push_back(byte);
  }
  return std::nullopt;
}

}  // namespace bcsp_test
