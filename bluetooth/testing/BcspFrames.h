#pragma once
// BCSP frames for the test-side tools (the chip model, the Bluetooth
// benchmark's trace reader, the BCSP fuzz target): a frame built from its
// fields into wire bytes, and wire bytes cut and checked back into fields.
// Written apart from bluetooth/BcspLink, with a bitwise CRC, so that tests
// check the link layer against an independent reading of the format.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace bcsp_test {

struct Frame {
  std::uint8_t seq = 0;  // 3 bits
  std::uint8_t ack = 0;  // 3 bits
  bool reliable = false;
  bool crc = true;           // a CRC trailer follows the payload
  std::uint8_t channel = 0;  // 4 bits
  std::vector<std::uint8_t> payload;
};

// The CRC-16/MCRF4XX register over `bytes`, computed bit by bit.
std::uint16_t CrcRegister(std::span<const std::uint8_t> bytes);
// The trailer over `bytes` (header and payload): the register bit-reversed, sent high byte first.
std::uint16_t CrcTrailer(std::span<const std::uint8_t> bytes);

// Header, payload and (with `frame.crc`) trailer, before escaping. With
// `claimedLength` the header states that payload length instead of the real
// one, with a matching checksum and CRC, for tests of a receiver's length check.
std::vector<std::uint8_t> FrameBody(const Frame& frame, std::optional<std::size_t> claimedLength = std::nullopt);
// The delimiter, `body` with 0xC0 and 0xDB escaped, and the closing delimiter.
std::vector<std::uint8_t> SlipEncode(std::span<const std::uint8_t> body);
// The complete wire frame: SlipEncode(FrameBody(frame)).
std::vector<std::uint8_t> EncodeFrame(const Frame& frame);

// Why a run of bytes between delimiters is not a frame.
enum class Fault {
  None,
  BadEscape,       // 0xDB followed by anything but 0xDC or 0xDD
  TooShort,        // fewer bytes than a header
  HeaderChecksum,  // the four header bytes do not add up to 0xFF
  Length,          // more or fewer bytes than the header's length and CRC bit call for
  Crc,
};

struct Decoded {
  Fault fault = Fault::None;
  Frame frame{};  // the fields; only meaningful when `fault` is None
};

// Checks and decodes an unescaped frame (header, payload, optional trailer).
Decoded DecodeFrame(std::span<const std::uint8_t> body);

// Cuts a UART byte stream into frames at the delimiters and decodes each.
// Bytes before the first delimiter count as a run like any other, since a
// receiver cannot tell that it came in mid-frame.
class CFrameReader {
 public:
  // Takes one wire byte; when it is a delimiter that closes a non-empty run,
  // returns that run decoded.
  std::optional<Decoded> Feed(std::uint8_t byte);

 private:
  std::vector<std::uint8_t> m_body;
  bool m_escape = false;
  bool m_badEscape = false;
};

}  // namespace bcsp_test
