#pragma once
// The chip's side of the BCSP frame format: SLIP framing (0xC0 delimiters,
// DB DC / DB DD escapes), the 4-byte header with its checksum and the CRC-16
// trailer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

inline constexpr std::uint8_t kChipSlipEnd = 0xC0;
inline constexpr std::uint8_t kChipSlipEsc = 0xDB;
inline constexpr std::uint8_t kChipSlipEscEnd = 0xDC;
inline constexpr std::uint8_t kChipSlipEscEsc = 0xDD;
inline constexpr std::size_t kChipMaxPayload = 0xFFF;  // the header's 12-bit length field

// One decoded frame (or one to be encoded).
struct ChipFrame {
  bool reliable = false;
  std::uint8_t seq = 0;      // 0..7
  std::uint8_t ack = 0;      // 0..7
  std::uint8_t channel = 0;  // 0..15
  std::vector<std::uint8_t> payload;
};

// The CRC trailer value as sent: the CRC-16/MCRF4XX register over `bytes`,
// bit-reversed. The first byte on the wire is the high byte.
std::uint16_t ChipCrc(std::span<const std::uint8_t> bytes);

// The 4 header bytes of `frame` with the CRC-present bit set and the checksum filled in.
std::array<std::uint8_t, 4> ChipFrameHeader(const ChipFrame& frame);

// The complete wire form of `frame`: delimiter, escaped header, payload and CRC, delimiter.
// The payload must not exceed kChipMaxPayload bytes.
std::vector<std::uint8_t> EncodeChipFrame(const ChipFrame& frame);

// Checks the unescaped bytes between two delimiters (header checksum, length,
// CRC when present) and decodes them; nullopt for a frame to drop.
std::optional<ChipFrame> ParseChipFrame(std::span<const std::uint8_t> raw);

// Cuts a UART byte stream into the unescaped contents of its frames.
class CChipFrameDecoder {
 public:
  // Takes one byte; returns the contents of a frame when `byte` closed one.
  // Empty frames, frames with a bad escape and frames longer than any valid
  // frame are dropped.
  std::optional<std::vector<std::uint8_t>> Push(std::uint8_t byte);

  // Forgets a frame in progress (the chip restarted).
  void Reset();

 private:
  std::vector<std::uint8_t> m_bytes;
  bool m_escape = false;
  bool m_broken = false;
};
