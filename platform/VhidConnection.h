#pragma once
// One vhid connection as the operating system carries it: connect, send and
// receive with deadlines, wake a receive that waits without one, shut down.
// The framing above it (VhidBackend.cpp) is the same on every system; each
// system has its own implementation file of these operations.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/Clock.h"

class CVhidConnection {
 public:
  enum class Receive { Data, TimedOut, Woken, Ended };

  virtual ~CVhidConnection() = default;

  // One receive into `space`; `received` is set on Data. With a `deadline`
  // (program time) the wait ends there; without one it waits until data comes
  // or Wake() is called. Ended: end of stream or an error.
  virtual Receive ReceiveInto(std::span<std::uint8_t> space, std::size_t& received,
                              std::optional<std::uint64_t> deadline) = 0;
  // Sends `bytes` whole, or fails by `deadline` (program time). The bytes are
  // tried at once; the wait for room only runs when the system's buffer is full.
  virtual bool Send(std::span<const std::uint8_t> bytes, std::uint64_t deadline) = 0;
  // Makes the current or the next receive without a deadline return Woken.
  // May be called from any thread.
  virtual void Wake() = 0;
  // Ends the stream both ways; a receive waiting on it returns. May be called
  // from any thread while another receives.
  virtual void Shutdown() = 0;
};

// Connects to the UNIX stream socket file `path` by `deadline` (program time);
// nullptr when that fails or the system has no such sockets.
std::unique_ptr<CVhidConnection> ConnectVhidSocket(const std::string& path, std::uint64_t deadline);

// Connects to TCP `port` on 127.0.0.1 by `deadline` (program time), with
// Nagle's delay off so that each frame leaves at once; nullptr when that fails.
std::unique_ptr<CVhidConnection> ConnectVhidLoopback(std::uint16_t port, std::uint64_t deadline);

// Real milliseconds a system wait may take from `now` until `deadline` (both
// program time); at least 1, so a wait that is due rounds up rather than spinning.
inline int VhidWaitMs(std::uint64_t deadline, std::uint64_t now) {
  const auto realMs = std::chrono::ceil<std::chrono::milliseconds>(
      Clock::RealDuration(static_cast<std::uint32_t>(deadline - now)));
  return static_cast<int>(std::clamp<std::int64_t>(realMs.count(), 1, 1 << 30));
}
