#pragma once
// A scripted vhid device for tests: it serves one device file on a bus
// directory (a UNIX socket, or a file naming its TCP port), greets each
// connection with HELLO, records every host message, and answers through a
// handler the test installs. The test can push input
// reports or raw bytes at any time and unplug the device.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

class CVhidPeerSockets;

class CVhidTestPeer {
 public:
  struct HostMessage {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
  };
  // Runs on the peer's thread for each host message; no lock is held, so it
  // may call the Send operations and Unplug.
  using Handler = std::function<void(CVhidTestPeer& peer, const HostMessage& message)>;

  // The two forms of a device on the bus.
  enum class Form { Socket, Tcp };
  // The form this system's host reaches: Windows has no UNIX sockets.
#ifdef _WIN32
  static constexpr Form kDefaultForm = Form::Tcp;
#else
  static constexpr Form kDefaultForm = Form::Socket;
#endif

  // Serves "<busDirectory>/vid_%04x&pid_%04x#<suffix>.sock" (a UNIX socket)
  // or "...#<suffix>.tcp" (a file naming a TCP port on 127.0.0.1). The HELLO
  // ids are the name's unless SetHelloIds changes them before a host connects.
  CVhidTestPeer(std::string busDirectory, std::uint16_t vendorId, std::uint16_t productId,
                std::string suffix = "0", std::string productString = "Test Device", Form form = kDefaultForm);
  ~CVhidTestPeer();
  CVhidTestPeer(const CVhidTestPeer&) = delete;
  CVhidTestPeer& operator=(const CVhidTestPeer&) = delete;

  void SetHelloIds(std::uint16_t vendorId, std::uint16_t productId);
  // The default handler answers every request with status 0 (GET_INPUT with a
  // report of zeros of the requested length).
  void SetHandler(Handler handler);
  static void AnswerOk(CVhidTestPeer& peer, const HostMessage& message);

  // Each returns false when no host is connected.
  bool SendInputReport(std::span<const std::uint8_t> report);
  bool SendMessage(std::uint8_t type, std::span<const std::uint8_t> payload);
  bool SendRaw(std::span<const std::uint8_t> bytes);

  // Removes the device's file and closes the connection, like a device leaving the bus.
  void Unplug();

  // The device's file on the bus (the socket or the port file).
  const std::string& SocketPath() const { return m_socketPath; }
  // Waits (real time, bounded) until a host is connected; true if one is.
  bool WaitConnected();
  // Waits (real time, bounded) until `count` host messages were received.
  bool WaitMessages(std::size_t count);
  std::vector<HostMessage> Messages() const;

 private:
  void PublishPort();
  void Serve();
  void AcceptHost();
  void ReceiveMessage();
  void UnplugLocked();
  bool SendLocked(std::span<const std::uint8_t> bytes);
  bool ConnectedLocked() const;

  std::string m_socketPath;
  std::string m_productString;
  std::uint16_t m_helloVendorId;
  std::uint16_t m_helloProductId;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  Handler m_handler;
  std::vector<HostMessage> m_messages;
  // Waited on and read by the serving thread without the lock; it alone
  // changes the connection and closes them all when it ends.
  std::unique_ptr<CVhidPeerSockets> m_sockets;
  bool m_unplugged = false;
  std::thread m_thread;
};
