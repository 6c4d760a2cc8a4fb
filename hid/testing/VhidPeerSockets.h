#pragma once
// The system calls of the scripted vhid device: its listener, the one host
// connection it serves and a wake-up for its serving thread. The framing and
// the script (VhidTestPeer.cpp) are the same on every system; each system has
// its own implementation file of these operations.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

class CVhidPeerSockets {
 public:
  // What a Wait saw; several may hold at once.
  struct Ready {
    bool woken = false;     // Wake() was called
    bool incoming = false;  // a host waits on the listener
    bool readable = false;  // the connection has bytes, or ended
  };

  virtual ~CVhidPeerSockets() = default;

  // The loopback port listened on; 0 for a UNIX socket.
  virtual std::uint16_t Port() const = 0;
  // Waits without a bound until one of Ready's events happens.
  virtual Ready Wait() = 0;
  // Takes the host waiting on the listener as the connection; one that comes
  // while a connection is open is turned away. True when it was taken.
  virtual bool Accept() = 0;
  virtual bool Connected() const = 0;
  // Fills `buffer` from the connection, waiting as long as it takes; false at
  // the end of the stream or on an error. Shutdown makes a waiting one return.
  virtual bool ReceiveExact(std::span<std::uint8_t> buffer) = 0;
  // Sends `bytes` whole; false when there is no connection or it fails.
  virtual bool SendAll(std::span<const std::uint8_t> bytes) = 0;
  // Ends the connection both ways; the serving thread, which may be waiting
  // on it, sees that and closes it (CloseConnection).
  virtual void Shutdown() = 0;
  virtual void CloseConnection() = 0;
  // Makes the current or the next Wait return woken. May be called from any thread.
  virtual void Wake() = 0;
};

// Listens on the UNIX socket file `path`; nullptr when that fails or the
// system has no such sockets.
std::unique_ptr<CVhidPeerSockets> ListenOnVhidSocket(const std::string& path);
// Listens on an ephemeral TCP port of 127.0.0.1; nullptr when that fails.
std::unique_ptr<CVhidPeerSockets> ListenOnVhidLoopback();
