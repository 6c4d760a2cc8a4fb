#include "emulator/VhidWire.h"

#include <algorithm>

namespace {
bool IsHostType(std::uint8_t type) {
  return type >= static_cast<std::uint8_t>(EVhidType::Output) && type <= static_cast<std::uint8_t>(EVhidType::GetInput);
}
}  // namespace

std::vector<std::uint8_t> EncodeVhidMessage(EVhidType type, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out;
  out.reserve(kVhidHeaderLength + payload.size());
  out.push_back(static_cast<std::uint8_t>(type));
  out.push_back(0);
  out.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> BuildVhidHello(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t inputLength,
                                         std::uint8_t outputLength, std::uint8_t featureLength,
                                         std::string_view product) {
  constexpr std::size_t kFixedPart = 8;
  const std::size_t textLength = std::min(product.size(), kVhidMaxPayload - kFixedPart);
  std::vector<std::uint8_t> payload(kFixedPart + textLength);
  payload[0] = 1;  // contract version
  payload[1] = static_cast<std::uint8_t>(vendorId & 0xFF);
  payload[2] = static_cast<std::uint8_t>(vendorId >> 8);
  payload[3] = static_cast<std::uint8_t>(productId & 0xFF);
  payload[4] = static_cast<std::uint8_t>(productId >> 8);
  payload[5] = inputLength;
  payload[6] = outputLength;
  payload[7] = featureLength;
  std::copy_n(product.begin(), textLength, payload.begin() + kFixedPart);
  return payload;
}

const char* VhidTypeName(EVhidType type) {
  switch (type) {
    case EVhidType::Hello: return "HELLO";
    case EVhidType::InputReport: return "INPUT_REPORT";
    case EVhidType::Output: return "OUTPUT";
    case EVhidType::SetOutput: return "SET_OUTPUT";
    case EVhidType::SetFeature: return "SET_FEATURE";
    case EVhidType::GetInput: return "GET_INPUT";
    case EVhidType::OutputDone: return "OUTPUT_DONE";
    case EVhidType::SetOutputDone: return "SET_OUTPUT_DONE";
    case EVhidType::SetFeatureDone: return "SET_FEATURE_DONE";
    case EVhidType::GetInputDone: return "GET_INPUT_DONE";
  }
  return "UNKNOWN";
}

void CVhidReceiver::Append(std::span<const std::uint8_t> bytes) {
  // What was taken goes first, so a host that splits its messages anywhere
  // leaves at most one partial message here besides the new bytes.
  m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_consumed));
  m_consumed = 0;
  m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::optional<VhidMessage> CVhidReceiver::Next() {
  if (m_malformed) return std::nullopt;
  const std::size_t available = m_buffer.size() - m_consumed;
  if (available < kVhidHeaderLength) return std::nullopt;
  const std::uint8_t* header = m_buffer.data() + m_consumed;
  const std::size_t length = header[2] | (std::size_t{header[3]} << 8);
  if (!IsHostType(header[0]) || header[1] != 0 || length > kVhidMaxPayload) {
    m_malformed = true;
    return std::nullopt;
  }
  if (available < kVhidHeaderLength + length) return std::nullopt;
  VhidMessage message;
  message.type = static_cast<EVhidType>(header[0]);
  message.payload.assign(header + kVhidHeaderLength, header + kVhidHeaderLength + length);
  m_consumed += kVhidHeaderLength + length;
  return message;
}
