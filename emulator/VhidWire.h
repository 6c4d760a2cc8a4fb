#pragma once
// The device's side of the vhid framing: a 4-byte header (type, reserved 0,
// little-endian payload length of at most 4096) before every payload.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class EVhidType : std::uint8_t {
  Hello = 0x01,
  InputReport = 0x02,
  Output = 0x10,
  SetOutput = 0x11,
  SetFeature = 0x12,
  GetInput = 0x13,
  OutputDone = 0x90,
  SetOutputDone = 0x91,
  SetFeatureDone = 0x92,
  GetInputDone = 0x93,
};

inline constexpr std::size_t kVhidHeaderLength = 4;
inline constexpr std::size_t kVhidMaxPayload = 4096;

struct VhidMessage {
  EVhidType type = EVhidType::Hello;
  std::vector<std::uint8_t> payload;
};

// One framed message ready for the socket.
std::vector<std::uint8_t> EncodeVhidMessage(EVhidType type, std::span<const std::uint8_t> payload);

// HELLO's payload: contract version 1, the IDs, the three report lengths, the product string.
std::vector<std::uint8_t> BuildVhidHello(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t inputLength,
                                         std::uint8_t outputLength, std::uint8_t featureLength,
                                         std::string_view product);

// Name of the message type for traces ("SET_OUTPUT"); "UNKNOWN" for others.
const char* VhidTypeName(EVhidType type);

// Collects bytes from the host and cuts them into messages. A malformed
// header (a type the host may not send, a non-zero reserved byte, a length
// over 4096) makes the stream unusable: the connection must be closed.
class CVhidReceiver {
 public:
  void Append(std::span<const std::uint8_t> bytes);
  // The next complete message, if one is buffered.
  std::optional<VhidMessage> Next();
  bool Malformed() const { return m_malformed; }
  // Bytes held, taken or not.
  std::size_t Buffered() const { return m_buffer.size(); }

 private:
  std::vector<std::uint8_t> m_buffer;
  std::size_t m_consumed = 0;
  bool m_malformed = false;
};
