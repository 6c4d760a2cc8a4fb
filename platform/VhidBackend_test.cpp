#include "platform/VhidBackend.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/log/Utf16Text.h"
#include "hid/testing/VhidTestPeer.h"
#include "platform/Clock.h"
#include "platform/testing/TempDirectory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using HostMessage = CVhidTestPeer::HostMessage;

class VhidBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_busDirectory.Valid());
    Clock::SetTimeScale(4);
  }
  void TearDown() override {
    Clock::SetTimeScale(1);
  }

  std::unique_ptr<CHidDevice> OpenPeer(const CVhidTestPeer& peer) { return CVhidBackend(m_bus).Open(peer.SocketPath()); }

  // A listening socket file that is no vhid device (never accepted).
  void BindSocket(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = m_bus + "/" + name;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    m_extraSockets.push_back(fd);
  }

  CTempDirectory m_busDirectory{"quillon-vhid"};
  const std::string m_bus = m_busDirectory.Path().string();
  std::vector<int> m_extraSockets;

 public:
  ~VhidBusTest() override {
    for (int fd : m_extraSockets) close(fd);
  }
};

// The main cases run over both forms of a device on the bus.
class VhidBackendTest : public VhidBusTest, public ::testing::WithParamInterface<CVhidTestPeer::Form> {
 protected:
  CVhidTestPeer Peer(std::uint16_t productId = 0x0c01, const std::string& suffix = "0") {
    return CVhidTestPeer(m_bus, 0x1a2b, productId, suffix, "Test Device", GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Forms, VhidBackendTest,
                         ::testing::Values(CVhidTestPeer::Form::Socket, CVhidTestPeer::Form::Tcp),
                         [](const auto& info) { return info.param == CVhidTestPeer::Form::Tcp ? "Tcp" : "Socket"; });

TEST_P(VhidBackendTest, EnumerationListsTaggedDeviceFilesOnly) {
  CVhidTestPeer second = Peer(0x0c02, "b");
  CVhidTestPeer first = Peer(0x0c01, "a");
  BindSocket("VID_1A2B&PID_0C01#upper.sock");  // tags must be lower-case
  BindSocket("vid_1a2b&pid_0c01#noext");       // not a .sock name
  BindSocket("vid_1a2b#nopid.sock");
  BindSocket("vid_1a2b&pid_0c01#socket.tcp");  // a port file is a regular file
  std::ofstream(m_bus + "/vid_1a2b&pid_0c01#file.sock") << "not a socket";
  std::ofstream(m_bus + "/VID_1A2B&PID_0C01#upper.tcp") << "1234";
  std::ofstream(m_bus + "/vid_1a2b&pid_0c01#staged.tcp.new") << "1234";  // not renamed yet
  std::filesystem::create_directory(m_bus + "/vid_1a2b&pid_0c01#directory.tcp");

  const std::vector<HidInterfaceInfo> found = CVhidBackend(m_bus).Enumerate();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, first.SocketPath());
  EXPECT_EQ(found[0].vendorId, 0x1a2b);
  EXPECT_EQ(found[0].productId, 0x0c01);
  EXPECT_EQ(found[1].path, second.SocketPath());
  EXPECT_EQ(found[1].productId, 0x0c02);
  EXPECT_TRUE(first.Messages().empty());
  EXPECT_TRUE(CVhidBackend(m_bus + "/missing").Enumerate().empty());
}

TEST_P(VhidBackendTest, OpenChecksHelloAgainstTheName) {
  struct Case {
    std::uint16_t helloVendor;
    std::uint16_t helloProduct;
    bool opens;
  };
  for (const Case c : {Case{0x1a2b, 0x0c01, true}, Case{0x1a2c, 0x0c01, false}, Case{0x1a2b, 0x0c02, false}}) {
    SCOPED_TRACE(c.helloVendor + c.helloProduct);
    CVhidTestPeer peer = Peer();
    peer.SetHelloIds(c.helloVendor, c.helloProduct);
    EXPECT_EQ(OpenPeer(peer) != nullptr, c.opens);
  }
}

TEST_P(VhidBackendTest, MalformedHeaderClosesTheConnection) {
  const Bytes headers[] = {
      {0x55, 0, 1, 0, 0},        // unknown type
      {0x02, 1, 1, 0, 0},        // reserved byte not 0
      {0x02, 0, 0x01, 0x10},     // length 4097
      {0x10, 0, 1, 0, 0},        // a host-to-device type
  };
  for (const Bytes& header : headers) {
    SCOPED_TRACE(header[0]);
    CVhidTestPeer peer = Peer();
    auto device = OpenPeer(peer);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(peer.SendRaw(header));
    peer.SendInputReport(Bytes{0, 1, 2});  // never delivered: the stream is over
    std::array<std::uint8_t, 32> report{};
    std::size_t received = 99;
    EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::DeviceGone);
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(device->SetOutputReport(Bytes(65, 0)));
  }
}

TEST_P(VhidBackendTest, DeviceVanishingMidRequestFailsTheRequest) {
  CVhidTestPeer peer = Peer();
  peer.SetHandler([](CVhidTestPeer& device, const HostMessage&) { device.Unplug(); });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(device->SetOutputReport(Bytes(65, 0)));
  std::array<std::uint8_t, 32> report{};
  std::size_t received = 0;
  EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::DeviceGone);
  EXPECT_FALSE(device->WriteOutputReport(Bytes(65, 0), 500));
  char16_t name[8];
  EXPECT_FALSE(device->GetProductString(name));
}

TEST_P(VhidBackendTest, InputReportsArriveInOrderAlsoBetweenRequestAndReply) {
  CVhidTestPeer peer = Peer();
  peer.SetHandler([](CVhidTestPeer& device, const HostMessage& message) {
    for (std::uint8_t i = 0; i < 3; ++i) device.SendInputReport(Bytes{0, i, 0x28});
    CVhidTestPeer::AnswerOk(device, message);
  });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  for (std::uint8_t i = 3; i < 200; ++i) peer.SendInputReport(Bytes{0, i, 0x28});
  EXPECT_TRUE(device->SetOutputReport(Bytes(65, 0)));
  // Reports sent before the request come first: the socket keeps their order.
  std::vector<std::uint8_t> order;
  for (int i = 0; i < 200; ++i) {
    std::array<std::uint8_t, 32> report{};
    std::size_t received = 0;
    ASSERT_EQ(device->ReadInputReport(report, received), HidReadResult::Report);
    ASSERT_EQ(received, 3u);
    order.push_back(report[1]);
  }
  std::vector<std::uint8_t> expected;
  for (std::uint8_t i = 3; i < 200; ++i) expected.push_back(i);
  for (std::uint8_t i = 0; i < 3; ++i) expected.push_back(i);
  EXPECT_EQ(order, expected);
}

// A frame as the device sends it.
Bytes Frame(std::uint8_t type, const Bytes& payload) {
  Bytes frame(Vhid::kHeaderLength + payload.size());
  frame[0] = type;
  frame[2] = static_cast<std::uint8_t>(payload.size());
  frame[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), frame.begin() + Vhid::kHeaderLength);
  return frame;
}

// Collects the second byte of every input report on its own thread, as the
// HID reader does, until `count` arrived or the device is gone.
class CReportCollector {
 public:
  CReportCollector(CHidDevice& device, std::size_t count) {
    m_thread = std::thread([this, &device, count] {
      while (m_seen.size() < count) {
        std::array<std::uint8_t, 32> report{};
        std::size_t received = 0;
        if (device.ReadInputReport(report, received) != HidReadResult::Report) break;
        m_seen.push_back(received > 1 ? report[1] : 0xFF);
      }
    });
  }
  ~CReportCollector() {
    if (m_thread.joinable()) m_thread.join();
  }
  std::vector<std::uint8_t> Seen() {
    m_thread.join();
    return m_seen;
  }

 private:
  std::vector<std::uint8_t> m_seen;
  std::thread m_thread;
};

TEST_P(VhidBackendTest, ReaderGetsEveryReportInOrderWhileRequestsRun) {
  // Reports come before and after each reply, so both the receiver thread and
  // the requesting thread read some of them while the reader waits.
  CVhidTestPeer peer = Peer();
  std::atomic<std::uint8_t> next{0};
  peer.SetHandler([&](CVhidTestPeer& device, const HostMessage& message) {
    device.SendInputReport(Bytes{0, next++});
    CVhidTestPeer::AnswerOk(device, message);
    device.SendInputReport(Bytes{0, next++});
  });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  constexpr std::size_t kRequests = 60;
  CReportCollector collector(*device, 2 * kRequests);
  for (std::size_t i = 0; i < kRequests; ++i) {
    std::array<std::uint8_t, 8> report{};
    const bool done = i % 3 == 0 ? device->GetInputReport(report) : device->SetOutputReport(Bytes(65, 0));
    ASSERT_TRUE(done) << i;
  }
  std::vector<std::uint8_t> expected(2 * kRequests);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(collector.Seen(), expected);
}

TEST_P(VhidBackendTest, ReportAfterABurstOfRequestsReachesTheWaitingReader) {
  // A device that has sent no input report leaves the socket to requests that
  // follow each other; once they stop, a report must still reach the reader.
  CVhidTestPeer peer = Peer();
  peer.SetHandler([](CVhidTestPeer& device, const HostMessage& message) { CVhidTestPeer::AnswerOk(device, message); });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  std::promise<int> read;
  std::future<int> result = read.get_future();
  std::thread reader([&] {
    std::array<std::uint8_t, 32> report{};
    std::size_t received = 0;
    const bool got = device->ReadInputReport(report, received) == HidReadResult::Report && received > 1;
    read.set_value(got ? report[1] : -1);
  });
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(device->SetOutputReport(Bytes(65, 0))) << i;
  EXPECT_TRUE(peer.SendInputReport(Bytes{0, 0x42}));
  const bool arrived = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!arrived) device->CancelRead();
  reader.join();
  ASSERT_TRUE(arrived) << "the report was never read from the socket";
  EXPECT_EQ(result.get(), 0x42);
}

TEST_P(VhidBackendTest, MessagesAreFramedWhereverTheStreamIsCut) {
  // An input report, the reply and another input report in one stream, cut
  // at every position into two writes a little apart.
  Bytes stream = Frame(Vhid::kInputReport, Bytes{0, 1, 0x28});
  const Bytes reply = Frame(Vhid::kGetInputDone, Bytes{0, 0, 0x3F, 0x02});
  stream.insert(stream.end(), reply.begin(), reply.end());
  const Bytes last = Frame(Vhid::kInputReport, Bytes{0, 2});
  stream.insert(stream.end(), last.begin(), last.end());

  CVhidTestPeer peer = Peer();
  std::atomic<std::size_t> cut{0};
  peer.SetHandler([&](CVhidTestPeer& device, const HostMessage&) {
    const std::span<const std::uint8_t> bytes(stream);
    device.SendRaw(bytes.first(cut));
    Clock::SleepMs(4);
    device.SendRaw(bytes.subspan(cut));
  });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  for (std::size_t at = 1; at < stream.size(); ++at) {
    SCOPED_TRACE(at);
    cut = at;
    CReportCollector collector(*device, 2);
    std::array<std::uint8_t, 4> report{};
    ASSERT_TRUE(device->GetInputReport(report));
    EXPECT_EQ(report, (std::array<std::uint8_t, 4>{0, 0x3F, 0x02, 0}));
    EXPECT_EQ(collector.Seen(), (std::vector<std::uint8_t>{1, 2}));
  }
}

TEST_P(VhidBackendTest, BrokenStreamDuringRequestFailsItAndKeepsEarlierReports) {
  const Bytes endings[] = {
      {0x02, 1, 1, 0, 0},  // malformed header
      Frame(Vhid::kSetFeatureDone, Bytes{0}),  // a reply of another type
      {},                  // end of stream
  };
  for (const Bytes& ending : endings) {
    SCOPED_TRACE(ending.size());
    CVhidTestPeer peer = Peer();
    peer.SetHandler([&](CVhidTestPeer& device, const HostMessage&) {
      device.SendInputReport(Bytes{0, 5});
      if (ending.empty()) device.Unplug();
      device.SendRaw(ending);
    });
    auto device = OpenPeer(peer);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->SetOutputReport(Bytes(65, 0)));
    std::array<std::uint8_t, 32> report{};
    std::size_t received = 0;
    ASSERT_EQ(device->ReadInputReport(report, received), HidReadResult::Report);
    EXPECT_EQ(report[1], 5);
    EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::DeviceGone);
    EXPECT_FALSE(device->GetInputReport(report));
  }
}

TEST_F(VhidBusTest, ReportSentWithHelloInOneWriteIsKept) {
  const std::string path = m_bus + "/vid_1a2b&pid_0c01#raw.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  m_extraSockets.push_back(listener);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  std::thread device([&] {
    const int connection = accept(listener, nullptr, nullptr);
    Bytes bytes = Frame(Vhid::kHello, Bytes{1, 0x2b, 0x1a, 0x01, 0x0c, 32, 65, 65, 'R'});
    const Bytes report = Frame(Vhid::kInputReport, Bytes{0, 9});
    bytes.insert(bytes.end(), report.begin(), report.end());
    EXPECT_EQ(send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    close(connection);  // a lost report shows as the device gone, not as a read that never ends
  });
  auto opened = CVhidBackend(m_bus).Open(path);
  device.join();
  ASSERT_NE(opened, nullptr);
  std::array<std::uint8_t, 32> report{};
  std::size_t received = 0;
  ASSERT_EQ(opened->ReadInputReport(report, received), HidReadResult::Report);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(report[1], 9);
}

TEST_F(VhidBusTest, PortFileMustNameALiveLoopbackPort) {
  using Form = CVhidTestPeer::Form;
  const auto portOf = [](const CVhidTestPeer& peer) {
    std::string port;
    std::ifstream(peer.SocketPath()) >> port;
    return port;
  };
  std::string refusedPort;  // a port nobody listens on any more
  {
    CVhidTestPeer gone(m_bus, 0x1a2b, 0x0c01, "gone", "Test Device", Form::Tcp);
    refusedPort = portOf(gone);
  }
  // "%" stands for the port of a live device.
  struct Case {
    std::string content;
    bool opens;
  };
  const Case cases[] = {{"%", true},      {"%\n", true},     {"", false},      {"\n", false},
                        {"%\n\n", false},  {" %", false},      {"% ", false},    {"+%", false},
                        {"0", false},      {"65536", false},  {"123456", false}, {"port", false},
                        {refusedPort, false}};
  const std::string path = m_bus + "/vid_1a2b&pid_0c01#file.tcp";
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.content + "\"");
    CVhidTestPeer live(m_bus, 0x1a2b, 0x0c01, "live", "Test Device", Form::Tcp);
    std::string content = c.content;
    if (const std::size_t at = content.find('%'); at != std::string::npos) content.replace(at, 1, portOf(live));
    std::ofstream(path, std::ios::trunc) << content;
    const std::vector<HidInterfaceInfo> found = CVhidBackend(m_bus).Enumerate();
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const auto& info) { return info.path == path; }))
        << "listed whatever it holds";
    EXPECT_EQ(CVhidBackend(m_bus).Open(path) != nullptr, c.opens);
  }
  EXPECT_EQ(CVhidBackend(m_bus).Open(m_bus + "/vid_1a2b&pid_0c01#missing.tcp"), nullptr);

  // A bus holds both forms at once; a device that leaves is neither listed nor opened.
  std::filesystem::remove(path);
  CVhidTestPeer live(m_bus, 0x1a2b, 0x0c01, "live", "Test Device", Form::Tcp);
  CVhidTestPeer socket(m_bus, 0x1a2b, 0x0c02, "socket");
  const std::vector<HidInterfaceInfo> both = CVhidBackend(m_bus).Enumerate();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].path, live.SocketPath());
  EXPECT_EQ(both[1].path, socket.SocketPath());
  EXPECT_NE(OpenPeer(socket), nullptr);
  live.Unplug();
  EXPECT_EQ(CVhidBackend(m_bus).Enumerate().size(), 1u);
  EXPECT_EQ(OpenPeer(live), nullptr);
}

TEST_P(VhidBackendTest, CancelReadWakesOneRead) {
  CVhidTestPeer peer = Peer();
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 32> report{};
  std::size_t received = 0;
  device->CancelRead();  // before the read: the read returns at once
  EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::Cancelled);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    device->CancelRead();
  });
  EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::Cancelled);
  canceller.join();
  peer.SendInputReport(Bytes{0, 7});
  EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::Report);
  EXPECT_EQ(report[1], 7);
}

TEST_P(VhidBackendTest, LateReplyIsNotTakenForTheNextRequest) {
  CVhidTestPeer peer = Peer();
  std::atomic<int> outputs{0};
  peer.SetHandler([&](CVhidTestPeer& device, const HostMessage&) {
    const bool first = outputs++ == 0;
    if (first) Clock::SleepMs(800);  // past the first request's 500 ms
    const std::uint8_t status[] = {static_cast<std::uint8_t>(first ? 1 : 0)};
    device.SendMessage(Vhid::kOutputDone, status);
  });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(device->WriteOutputReport(Bytes(65, 0), 500));
  EXPECT_TRUE(device->WriteOutputReport(Bytes(65, 0), 3000));
  EXPECT_EQ(outputs.load(), 2);
}

TEST_P(VhidBackendTest, ReplyStatusAndPayloadAreHonoured) {
  CVhidTestPeer peer = Peer();
  std::atomic<std::uint8_t> status{0};
  peer.SetHandler([&](CVhidTestPeer& device, const HostMessage& message) {
    Bytes reply{status.load()};
    if (message.type == Vhid::kGetInput && status == 0) reply.insert(reply.end(), {0, 0x3F, 0x02, 0x01});
    device.SendMessage(static_cast<std::uint8_t>(message.type + 0x80), reply);
  });
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  std::array<std::uint8_t, 8> report{};
  report.fill(0xA5);
  report[0] = 0;
  EXPECT_TRUE(device->GetInputReport(report));
  EXPECT_EQ(report, (std::array<std::uint8_t, 8>{0, 0x3F, 0x02, 0x01, 0xA5, 0xA5, 0xA5, 0xA5}));
  const HostMessage request = peer.Messages().back();
  EXPECT_EQ(request.payload, (Bytes{0, 8, 0}));
  EXPECT_TRUE(device->SetFeatureReport(Bytes(65, 0)));
  EXPECT_TRUE(device->WriteOutputReport(Bytes(65, 0), 500));

  status = 1;
  EXPECT_FALSE(device->GetInputReport(report));
  EXPECT_FALSE(device->SetFeatureReport(Bytes(65, 0)));
  EXPECT_FALSE(device->SetOutputReport(Bytes(65, 0)));
  EXPECT_FALSE(device->WriteOutputReport(Bytes(65, 0), 500));
}

TEST_P(VhidBackendTest, ReplyNobodyAskedForEndsTheConnection) {
  CVhidTestPeer peer = Peer();
  auto device = OpenPeer(peer);
  ASSERT_NE(device, nullptr);
  const std::uint8_t ok[] = {0};
  peer.SendMessage(Vhid::kOutputDone, ok);
  std::array<std::uint8_t, 32> report{};
  std::size_t received = 0;
  EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::DeviceGone);
}

TEST(VhidTagTest, ParsesLowerCaseFourDigitTags) {
  EXPECT_EQ(Vhid::ParseIdTag("vid_1a2b&pid_0c01#0.sock", "pid_"), 0x0c01);
  EXPECT_EQ(Vhid::ParseIdTag("x_vid_zz_vid_00ff", "vid_"), 0x00ff);
  EXPECT_EQ(Vhid::ParseIdTag("VID_1A2B", "vid_"), std::nullopt);
  EXPECT_EQ(Vhid::ParseIdTag("vid_1A2B", "vid_"), std::nullopt);
  EXPECT_EQ(Vhid::ParseIdTag("vid_1a2", "vid_"), std::nullopt);
}

}  // namespace
