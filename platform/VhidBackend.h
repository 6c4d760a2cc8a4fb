#pragma once
// vhid: virtual HID devices in a bus directory, each a UNIX stream socket file
// or a file naming a TCP port on 127.0.0.1 (the contract is docs/vhid.md).
// Enumeration lists the directory and connects to nothing; opening connects
// (through CVhidConnection, the only part that differs between systems),
// checks HELLO against the name's tags, and starts one receiver thread per
// connection that files input reports while no request runs; a request reads
// the connection itself until its reply comes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/HidDevice.h"

namespace Vhid {

// Message types of the framing.
inline constexpr std::uint8_t kHello = 0x01;
inline constexpr std::uint8_t kInputReport = 0x02;
inline constexpr std::uint8_t kOutput = 0x10;
inline constexpr std::uint8_t kSetOutput = 0x11;
inline constexpr std::uint8_t kSetFeature = 0x12;
inline constexpr std::uint8_t kGetInput = 0x13;
inline constexpr std::uint8_t kOutputDone = 0x90;
inline constexpr std::uint8_t kSetOutputDone = 0x91;
inline constexpr std::uint8_t kSetFeatureDone = 0x92;
inline constexpr std::uint8_t kGetInputDone = 0x93;

inline constexpr std::size_t kHeaderLength = 4;
inline constexpr std::size_t kMaxPayload = 4096;
inline constexpr std::uint8_t kContractVersion = 1;

// Program time a connection waits for HELLO, and for the reply to a class
// request (SET_OUTPUT, SET_FEATURE, GET_INPUT).
inline constexpr std::uint32_t kHelloWaitMs = 3000;
inline constexpr std::uint32_t kClassRequestWaitMs = 3000;
// Input reports kept while no read waits; beyond this the oldest is dropped.
inline constexpr std::size_t kInputQueueLimit = 2048;

// The value of the tag `prefix` ("vid_" or "pid_") followed by four lower-case
// hexadecimal digits in `name`; nullopt when there is none.
std::optional<std::uint16_t> ParseIdTag(std::string_view name, std::string_view prefix);

}  // namespace Vhid

class CVhidBackend final : public CHidBackend {
 public:
  explicit CVhidBackend(std::string busDirectory);
  // The *.sock socket files and *.tcp regular files that carry both tags,
  // sorted by name; the path is the file's full path.
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<CHidDevice> Open(const std::string& path) override;

 private:
  std::string m_busDirectory;
};
