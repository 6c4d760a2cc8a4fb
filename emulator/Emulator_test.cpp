#include "emulator/DeviceEmulator.h"
#include "emulator/VhidWire.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/testing/LoaderRecords.h"
#include "platform/testing/TempDirectory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Generous real-time bounds: only a broken emulator gets near them.
constexpr int kWaitMs = 5000;

// ---------------------------------------------------------------------------
// A minimal host-side vhid client written for these tests alone.

class CTestHost {
 public:
  ~CTestHost() { Close(); }

  // A .tcp path is a file naming the port on 127.0.0.1; anything else is a UNIX socket.
  bool Connect(const std::string& path) {
    int connected = -1;
    if (path.ends_with(".tcp")) {
      m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      unsigned port = 0;
      std::ifstream(path) >> port;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
      m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
      connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (connected != 0) {
      Close();
      return false;
    }
    auto hello = ReadMessage();
    if (!hello || hello->first != 0x01) return false;
    m_hello = hello->second;
    return true;
  }

  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

  const Bytes& Hello() const { return m_hello; }

  void SendRaw(const Bytes& bytes) { ASSERT_EQ(send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }

  void Send(std::uint8_t type, const Bytes& payload) {
    Bytes message = {type, 0, static_cast<std::uint8_t>(payload.size()), static_cast<std::uint8_t>(payload.size() >> 8)};
    message.insert(message.end(), payload.begin(), payload.end());
    SendRaw(message);
  }

  // Sends a request and returns its reply's payload; input reports met on the way are kept.
  std::optional<Bytes> Request(std::uint8_t type, const Bytes& payload) {
    Send(type, payload);
    while (auto message = ReadMessage()) {
      if (message->first == 0x02) {
        m_inputs.push_back(message->second);
        continue;
      }
      if (message->first != type + 0x80) return std::nullopt;
      return message->second;
    }
    return std::nullopt;
  }

  bool SetOutput(const Bytes& report) {
    auto reply = Request(0x11, Padded(report));
    return reply && reply->size() == 1 && (*reply)[0] == 0;
  }

  bool Output(const Bytes& report) {
    auto reply = Request(0x10, Padded(report));
    return reply && reply->size() == 1 && (*reply)[0] == 0;
  }

  std::optional<Bytes> GetInput() {
    auto reply = Request(0x13, {0, 65, 0});
    if (!reply || reply->empty() || (*reply)[0] != 0) return std::nullopt;
    return Bytes(reply->begin() + 1, reply->end());
  }

  // The next interrupt-in report, or nothing if the connection ended.
  std::optional<Bytes> NextInput() {
    if (!m_inputs.empty()) {
      Bytes report = m_inputs.front();
      m_inputs.pop_front();
      return report;
    }
    while (auto message = ReadMessage()) {
      if (message->first == 0x02) return message->second;
    }
    return std::nullopt;
  }

  // The next interrupt-in report of the given kind (byte 2), skipping others.
  std::optional<Bytes> NextInputOfKind(std::uint8_t kind) {
    while (auto report = NextInput()) {
      if (report->size() > 2 && (*report)[2] == kind) return report;
    }
    return std::nullopt;
  }

  // True when the device closed the connection (end of stream).
  // Whether the device closed the connection within `ms`, seen without reading.
  bool HungUpWithin(int ms) {
    pollfd in{m_fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (poll(&in, 1, 50) > 0 && (in.revents & POLLHUP)) return true;
    }
    return false;
  }

  bool WaitForEnd() {
    while (ReadMessage()) {
    }
    return m_ended;
  }

  // One query by interrupt-out, answered by an interrupt-in report of group 0x3E.
  std::optional<Bytes> Query(std::uint8_t code, std::uint8_t number) {
    if (!Output({0x00, 0x3E, code, number})) return std::nullopt;
    return NextInputOfKind(0x3E);
  }

  static Bytes Padded(Bytes report) {
    report.resize(65, 0);
    return report;
  }

 private:
  bool ReadExact(std::uint8_t* into, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
      pollfd in{m_fd, POLLIN, 0};
      if (poll(&in, 1, kWaitMs) <= 0) return false;
      const ssize_t n = recv(m_fd, into + got, length - got, 0);
      if (n <= 0) {
        m_ended = n == 0;
        return false;
      }
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::optional<std::pair<std::uint8_t, Bytes>> ReadMessage() {
    if (m_fd < 0) return std::nullopt;
    std::uint8_t header[4];
    if (!ReadExact(header, 4)) return std::nullopt;
    Bytes payload(header[2] | (header[3] << 8));
    if (!payload.empty() && !ReadExact(payload.data(), payload.size())) return std::nullopt;
    return std::make_pair(header[0], std::move(payload));
  }

  int m_fd = -1;
  bool m_ended = false;
  Bytes m_hello;
  std::deque<Bytes> m_inputs;
};

std::uint32_t StatusOf(const Bytes& report) {
  return report[3] | (report[4] << 8) | (report[5] << 16) | (static_cast<std::uint32_t>(report[6]) << 24);
}

const std::string kAppName = "vid_1a2b&pid_0c01#0.sock";
const std::string kLoaderName = "vid_1a2b&pid_0c02#0.sock";

// A bus directory of its own for every test.
class EmulatorTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_busDirectory.Valid()); }
  void TearDown() override { m_emulator.reset(); }

  static EmulatorConfig FastConfig() {
    EmulatorConfig config;
    config.timeScale = 50;  // 1.5 s off the bus becomes 30 ms
    config.keepTrace = true;
    return config;
  }

  CDeviceEmulator& Start(EmulatorConfig config, EmuChipFactory chip = nullptr) {
    m_emulator = std::make_unique<CDeviceEmulator>(std::move(config), std::move(chip));
    EXPECT_TRUE(m_emulator->Start(m_bus));
    return *m_emulator;
  }

  std::string PathOf(const std::string& name) const { return m_bus + "/" + name; }

  bool WaitForFile(const std::string& name) const {
    return m_emulator->WaitFor([&](const CDeviceEmulator&) { return std::filesystem::exists(PathOf(name)); },
                               std::chrono::milliseconds(kWaitMs));
  }

  // Connects to the device once it shows up under `name`.
  bool Open(CTestHost& host, const std::string& name) { return WaitForFile(name) && host.Connect(PathOf(name)); }

  // From the application to an open bootloader.
  bool EnterLoader(CTestHost& host, const std::string& loaderName = kLoaderName) {
    if (!host.SetOutput({0x00, 0x3E, 0x0B, 0x00, 0x07, 0x01}) || !host.SetOutput({0x00, 0x3E, 0xFC, 0x00, 0x07, 0x01})) {
      return false;
    }
    host.WaitForEnd();
    host.Close();
    return Open(host, loaderName);
  }

  CTempDirectory m_busDirectory{"quillon-emu"};
  const std::string m_bus = m_busDirectory.Path().string();
  std::unique_ptr<CDeviceEmulator> m_emulator;
};

TEST_F(EmulatorTest, HelloAndInventoryOfTheApplication) {
  EmulatorConfig config = FastConfig();
  config.processors.push_back({77, 0x01020304});
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  const std::string product = "Aurelix Rho USB Audio";
  Bytes hello = {1, 0x2b, 0x1a, 0x01, 0x0c, 32, 65, 65};
  hello.insert(hello.end(), product.begin(), product.end());
  EXPECT_EQ(host.Hello(), hello);

  auto count = host.Query(0x01, 0);
  ASSERT_TRUE(count);
  EXPECT_EQ((*count)[4], 4);

  struct Expected {
    std::uint8_t type;
    Bytes version;  // answer bytes 4..7: day, month, year low, year high
  };
  const Expected expected[] = {{33, {0x12, 0x05, 0x16, 0x20}},
                               {8, {0x22, 0x10, 0x15, 0x20}},
                               {13, {0x30, 0x06, 0x14, 0x20}},  // from the Bluetooth chip's own image
                               {77, {0x01, 0x02, 0x04, 0x03}}};
  for (std::uint8_t number = 1; number <= 4; ++number) {
    SCOPED_TRACE(number);
    auto type = host.Query(0x02, number);
    ASSERT_TRUE(type);
    EXPECT_EQ((*type)[4], expected[number - 1].type);
    auto version = host.Query(0x03, number);
    ASSERT_TRUE(version);
    EXPECT_EQ(Bytes(version->begin() + 4, version->begin() + 8), expected[number - 1].version);
  }
  for (std::uint8_t number : {0, 5}) {
    auto type = host.Query(0x02, number);
    ASSERT_TRUE(type);
    EXPECT_EQ((*type)[3], 0x80) << "processor " << int{number} << " does not exist";
  }
}

// The same device in both forms of the bus: a UNIX socket file or a file naming a TCP port.
class EmulatorBusFormTest : public EmulatorTest, public testing::WithParamInterface<EmuBusForm> {
 protected:
  EmulatorConfig FormConfig() const {
    EmulatorConfig config = FastConfig();
    config.busForm = GetParam();
    return config;
  }
  std::string Named(const std::string& socketName) const {
    return GetParam() == EmuBusForm::Tcp ? socketName.substr(0, socketName.size() - 4) + "tcp" : socketName;
  }
};

INSTANTIATE_TEST_SUITE_P(Forms, EmulatorBusFormTest, testing::Values(EmuBusForm::Socket, EmuBusForm::Tcp),
                         [](const auto& info) { return info.param == EmuBusForm::Tcp ? "Tcp" : "Socket"; });

TEST_P(EmulatorBusFormTest, ReenumeratesRemovingTheOldFileBeforeTheNewOneAppears) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, m_bus.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE), 0);
  Start(FormConfig());
  const std::string appName = Named(kAppName);
  const std::string loaderName = Named(kLoaderName);
  CTestHost host;
  ASSERT_TRUE(Open(host, appName));
  EXPECT_FALSE(m_emulator->InBootloader());

  EXPECT_TRUE(host.SetOutput({0x00, 0x3E, 0xFC, 0x00, 0x07, 0x01})) << "entry without the preceding command";
  ASSERT_TRUE(EnterLoader(host, loaderName));
  EXPECT_TRUE(m_emulator->InBootloader());
  EXPECT_EQ(host.Hello()[3], 0x02);
  EXPECT_EQ(host.Hello().size(), 8u) << "the bootloader reports no product string";

  ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0xFE}));
  EXPECT_TRUE(host.WaitForEnd());
  host.Close();
  ASSERT_TRUE(Open(host, appName));
  EXPECT_EQ(host.Hello()[3], 0x01);

  // The bus saw: app created; app deleted, loader created; loader deleted, app created.
  std::vector<std::string> events;
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = read(watch, buffer, sizeof buffer)) > 0) {
    for (char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      const std::string name = event->name;
      if (name == appName || name == loaderName)
        events.push_back(std::string(event->mask & IN_DELETE ? "-" : "+") + name);
      at += sizeof(inotify_event) + event->len;
    }
  }
  close(watch);
  EXPECT_EQ(events, (std::vector<std::string>{"+" + appName, "-" + appName, "+" + loaderName, "-" + loaderName,
                                              "+" + appName}));
  EXPECT_EQ(m_emulator->Counters().attaches, 3u);
}

// Sends records as LDR_WRITE_RECORD reports and keeps their payloads for the digest.
struct RecordSender {
  CTestHost& host;
  Bytes sent;
  bool Send(const Bytes& record) {
    Bytes report = {0x00, 0x3F, 0x82, static_cast<std::uint8_t>(record.size())};
    report.insert(report.end(), record.begin(), record.end());
    sent.insert(sent.end(), record.begin(), record.end());
    return host.SetOutput(report);
  }
  std::optional<std::uint32_t> Finish(std::array<std::uint8_t, 16> digest) {
    Bytes report = {0x00, 0x3F, 0x88};
    report.insert(report.end(), digest.begin(), digest.end());
    if (!host.SetOutput(report)) return std::nullopt;
    auto status = host.NextInputOfKind(0xEE);
    if (!status) return std::nullopt;
    return StatusOf(*status);
  }
  std::optional<std::uint32_t> Finish() { return Finish(Md5Of(sent)); }
};

std::optional<std::uint32_t> Begin(CTestHost& host) {
  if (!host.SetOutput({0x00, 0x3F, 0x81, 0x00, 0x60, 0x00, 0x1A})) return std::nullopt;
  auto status = host.NextInputOfKind(0xEE);
  if (!status) return std::nullopt;
  return StatusOf(*status);
}

TEST_F(EmulatorTest, WritesAnImageThenReportsItsVersionAfterExit) {
  Start(FastConfig());
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  ASSERT_TRUE(EnterLoader(host));

  ASSERT_TRUE(host.SetOutput({0x00, 0x3F, 0x80}));
  auto version = host.GetInput();
  ASSERT_TRUE(version);
  EXPECT_EQ((*version)[3], 3);
  EXPECT_EQ((*version)[4], 2);

  EXPECT_EQ(Begin(host), kEmuStatusOk);
  auto erased = host.Query(0x03, 1);
  ASSERT_TRUE(erased);
  EXPECT_EQ(Bytes(erased->begin() + 4, erased->begin() + 8), Bytes(4, 0)) << "erased processor reports version 0";
  auto third = host.Query(0x03, 2);
  ASSERT_TRUE(third);
  EXPECT_EQ((*third)[4], 0x22) << "the bootloader still reports the other processors";

  Bytes data(0x120);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes stamp = {'Q', 'V', 'E', 'R', 0x03, 0x10, 0x17, 0x20};
  std::copy(stamp.begin(), stamp.end(), data.begin() + 0x100);
  RecordSender records{host, {}};
  ASSERT_TRUE(records.Send(HexRecord(0x04, 0, {0x1A, 0x00})));
  for (std::size_t at = 0; at < data.size(); at += 16) {
    ASSERT_TRUE(records.Send(HexRecord(0x00, static_cast<std::uint16_t>(0x6000 + at),
                                       Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                             data.begin() + static_cast<std::ptrdiff_t>(at + 16)))));
  }
  ASSERT_TRUE(records.Send(HexRecord(0x04, 0, {0x1B, 0x00})));
  ASSERT_TRUE(records.Send(HexRecord(0x00, 0x0000, {0xDE, 0xAD})));
  ASSERT_TRUE(records.Send(HexRecord(0x05, 0, {0x1A, 0x00, 0x62, 0x01})));
  ASSERT_TRUE(records.Send(HexRecord(0x01, 0, {})));
  EXPECT_EQ(records.Finish(), kEmuStatusOk);

  EXPECT_EQ(m_emulator->ReadMainFlash(0x1A006000, data.size()), data);
  EXPECT_EQ(m_emulator->ReadMainFlash(0x1B000000, 3), (Bytes{0xDE, 0xAD, 0xFF}));
  EXPECT_EQ(m_emulator->EntryPoint(), 0x1A006201u);

  std::size_t recordLines = 0;
  for (const std::string& line : m_emulator->Trace()) {
    if (line.find("\"kind\":\"SET_OUTPUT\"") != std::string::npos && line.find("\"hex\":\"003f82") != std::string::npos) {
      ++recordLines;
    }
  }
  EXPECT_EQ(recordLines, 23u) << "the trace shows every record";

  ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0xFE}));
  host.WaitForEnd();
  host.Close();
  ASSERT_TRUE(Open(host, kAppName));
  auto newVersion = host.Query(0x03, 1);
  ASSERT_TRUE(newVersion);
  EXPECT_EQ(Bytes(newVersion->begin() + 4, newVersion->begin() + 8), (Bytes{0x03, 0x10, 0x17, 0x20}));
}

TEST_F(EmulatorTest, RefusedRecordsFailTheFinish) {
  struct Case {
    const char* name;
    Bytes record;
    std::uint32_t status;
  };
  Bytes badChecksum = HexRecord(0x00, 0x6000, {1, 2, 3});
  badChecksum.back() ^= 0x55;
  const Case cases[] = {
      {"BelowTheApplication", HexRecord(0x00, 0x5000, {1, 2, 3}), kEmuStatusRecordRefused},
      {"BadChecksum", badChecksum, kEmuStatusRecordRefused},
  };
  Start(FastConfig());
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  ASSERT_TRUE(EnterLoader(host));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Begin(host), kEmuStatusOk);
    RecordSender records{host, {}};
    ASSERT_TRUE(records.Send(HexRecord(0x04, 0, {0x1A, 0x00})));
    ASSERT_TRUE(records.Send(c.record));
    ASSERT_TRUE(records.Send(HexRecord(0x01, 0, {})));
    EXPECT_EQ(records.Finish(), c.status);
    EXPECT_FALSE(m_emulator->LoaderError().empty());
  }
  ASSERT_EQ(Begin(host), kEmuStatusOk);
  RecordSender records{host, {}};
  ASSERT_TRUE(records.Send(HexRecord(0x01, 0, {})));
  auto wrong = Md5Of(records.sent);
  wrong[0] ^= 1;
  EXPECT_EQ(records.Finish(wrong), kEmuStatusDigestMismatch);
}

TEST_F(EmulatorTest, LoaderCommandsAreIgnoredByTheApplication) {
  Start(FastConfig());
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  EXPECT_TRUE(host.SetOutput({0x00, 0x3F, 0x81, 0x00, 0x60, 0x00, 0x1A}));
  auto version = host.Query(0x03, 1);
  ASSERT_TRUE(version);
  EXPECT_EQ((*version)[4], 0x12) << "the application area was not erased";
  EXPECT_EQ(m_emulator->ProcessorVersion(0), 0x12052016u);
}

// A strict device carries out a command only on the route the Windows host
// sends it by; on another route the transfer completes and the command is
// ignored. Inventory queries are transactions (interrupt OUT where the
// identity has that endpoint), the bridge command a class request.
TEST_F(EmulatorTest, StrictDeviceTakesEachCommandOnlyOnItsRoute) {
  for (const bool interruptOut : {true, false}) {
    SCOPED_TRACE(interruptOut ? "with interrupt OUT" : "without interrupt OUT");
    EmulatorConfig config = FastConfig();
    config.strictRoutes = true;
    config.applicationInterruptOut = interruptOut;
    Start(config);
    CTestHost host;
    ASSERT_TRUE(Open(host, kAppName));
    EXPECT_TRUE(host.Output({0x00, 0x3E, 0x06}));
    EXPECT_FALSE(m_emulator->BridgeOn());
    EXPECT_TRUE(host.SetOutput({0x00, 0x3E, 0x06}));
    EXPECT_TRUE(m_emulator->BridgeOn());
    const Bytes query = {0x00, 0x3E, 0x01};
    EXPECT_TRUE(interruptOut ? host.SetOutput(query) : host.Output(query));  // ignored
    EXPECT_TRUE(interruptOut ? host.Output(query) : host.SetOutput(query));
    const auto answer = host.NextInputOfKind(0x3E);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[4], 3);
    EXPECT_EQ(m_emulator->Counters().refusedRoutes, 2u);
    const std::vector<std::string> trace = m_emulator->Trace();
    const auto refused = [&](const std::string& text) {
      return std::any_of(trace.begin(), trace.end(), [&](const std::string& line) {
        return line.find("\"REFUSE\"") != std::string::npos && line.find(text) != std::string::npos;
      });
    };
    EXPECT_TRUE(refused("refused route: class request 3e06 on the interrupt-OUT pipe"));
    EXPECT_TRUE(refused(interruptOut ? "refused route: transaction 3e01 as SET_REPORT(Output)"
                                     : "refused route: transaction 3e01 on the interrupt-OUT pipe"));
  }
}

TEST_F(EmulatorTest, ThirdControllerLoaderOverTheBus) {
  Start(FastConfig());
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  ASSERT_TRUE(EnterLoader(host));
  ASSERT_TRUE(host.SetOutput({0x00, 0x3F, 0x90}));
  auto version = host.GetInput();
  ASSERT_TRUE(version);
  EXPECT_EQ((*version)[3], 3);

  for (std::uint8_t block = 0; block < 7; ++block) {
    ASSERT_TRUE(host.SetOutput({0x00, 0x3F, 0x91, 0x00, 0x00, block, 0x00}));
    bool done = false;
    for (int poll = 0; poll < 1000 && !done; ++poll) {
      auto state = host.GetInput();
      ASSERT_TRUE(state);
      done = (*state)[3] == 0;
    }
    ASSERT_TRUE(done) << "block " << int{block};
  }
  ASSERT_TRUE(host.SetOutput({0x00, 0x3F, 0x91, 0x00, 0x00, 0x07, 0x00}));
  auto failed = host.GetInput();
  ASSERT_TRUE(failed);
  EXPECT_NE((*failed)[3], 0) << "block 7 does not exist";

  // Data 0x01 0x02 at address 48: checksum 0xCD.
  const Bytes payload = {0x30, 0x00, 0x00, 0x00, 0x01, 0x02, 0xCD};
  Bytes write = {0x00, 0x3F, 0x93, static_cast<std::uint8_t>(payload.size())};
  write.insert(write.end(), payload.begin(), payload.end());
  ASSERT_TRUE(host.SetOutput(write));
  const auto digest = Md5Of(payload);
  Bytes finish = {0x00, 0x3F, 0x98};
  finish.insert(finish.end(), digest.begin(), digest.end());
  ASSERT_TRUE(host.SetOutput(finish));
  auto status = host.NextInputOfKind(0xEE);
  ASSERT_TRUE(status);
  EXPECT_EQ(StatusOf(*status), kEmuStatusOk);
  EXPECT_EQ(m_emulator->ReadThirdFlash(48, 3), (Bytes{0x01, 0x02, 0xFF}));
  EXPECT_EQ(m_emulator->ProcessorVersion(1), 0u) << "its stamp was erased with block 0";
}

// A far end of the bridge that answers every byte with the byte plus one.
class CEchoChip final : public CEmuChipPort {
 public:
  explicit CEchoChip(SendFunction send) : m_send(std::move(send)) {}
  void OnUartBytes(std::span<const std::uint8_t> bytes) override {
    Bytes reply;
    for (std::uint8_t byte : bytes) reply.push_back(static_cast<std::uint8_t>(byte + 1));
    m_send(reply);
  }
  std::uint32_t VersionWord() const override { return 0x28092015; }

 private:
  SendFunction m_send;
};

TEST_F(EmulatorTest, UartBridgeCarriesBytesBothWaysOnlyInBridgeMode) {
  EmulatorConfig config = FastConfig();
  config.uartBaud = 115200;
  Start(config, [](CEmuChipPort::SendFunction send) { return std::make_unique<CEchoChip>(std::move(send)); });
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  auto version = host.Query(0x03, 3);
  ASSERT_TRUE(version);
  EXPECT_EQ(Bytes(version->begin() + 4, version->begin() + 8), (Bytes{0x28, 0x09, 0x15, 0x20}));

  Bytes data(60);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  Bytes report = {0x00, 0x28, 0x00, 60};
  report.insert(report.end(), data.begin(), data.end());
  ASSERT_TRUE(host.SetOutput(report));
  EXPECT_EQ(m_emulator->Counters().uartBytesToChip, 0u) << "bridge off: nothing reaches the chip";

  ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0x06}));
  EXPECT_TRUE(m_emulator->BridgeOn());
  ASSERT_TRUE(host.SetOutput(report));
  Bytes echoed;
  while (echoed.size() < data.size()) {
    auto input = host.NextInputOfKind(0x28);
    ASSERT_TRUE(input);
    ASSERT_GE((*input)[3], 1);
    ASSERT_LE((*input)[3], 28);
    echoed.insert(echoed.end(), input->begin() + 4, input->begin() + 4 + (*input)[3]);
  }
  for (std::size_t i = 0; i < data.size(); ++i) EXPECT_EQ(echoed[i], data[i] + 1) << i;

  report[3] = 61;
  EXPECT_FALSE(host.SetOutput(report)) << "more than 60 bytes is refused";
  ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0x07}));
  EXPECT_FALSE(m_emulator->BridgeOn());
}

TEST_F(EmulatorTest, InjectedReportsArriveAsSent) {
  Start(FastConfig());
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  m_emulator->InjectUartReport(Bytes{0xC0, 0x01});
  m_emulator->InjectStatus(0x4B4F);
  m_emulator->InjectInputReport({0x00, 0x00, 0x55, 0x01});
  auto uart = host.NextInput();
  ASSERT_TRUE(uart);
  EXPECT_EQ(Bytes(uart->begin(), uart->begin() + 6), (Bytes{0, 0, 0x28, 2, 0xC0, 0x01}));
  auto status = host.NextInput();
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[2], 0xEE);
  EXPECT_EQ(StatusOf(*status), 0x4B4Fu);
  auto other = host.NextInput();
  ASSERT_TRUE(other);
  EXPECT_EQ((*other)[2], 0x55);
  EXPECT_EQ(other->size(), 32u);
}

// The device's memory stays bounded whatever the host does: a host that never
// reads is dropped once the unsent bytes pass the limit, and one that splits
// every message inside its header leaves no more than one partial message.
TEST_F(EmulatorTest, HostThatNeverReadsOrSplitsEveryHeaderKeepsTheDeviceBounded) {
  Start(FastConfig());
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  for (int i = 0; i < 40000; ++i) m_emulator->InjectInputReport({0x00, 0x00, 0x55});  // 1.4 MB framed
  EXPECT_TRUE(host.HungUpWithin(20000));

  CVhidReceiver receiver;
  Bytes framed = EncodeVhidMessage(EVhidType::Output, Bytes(65, 0xAB));
  // Each piece ends two bytes into the next message's header.
  Bytes piece(framed.begin() + 2, framed.end());
  piece.insert(piece.end(), framed.begin(), framed.begin() + 2);
  receiver.Append(std::span(framed).first(2));
  std::size_t most = 0;
  int taken = 0;
  for (int i = 0; i < 10000; ++i) {
    receiver.Append(piece);
    while (receiver.Next()) ++taken;
    most = std::max(most, receiver.Buffered());
  }
  EXPECT_EQ(taken, 10000);
  EXPECT_FALSE(receiver.Malformed());
  EXPECT_LE(most, framed.size() + 2);
}

// Polling before due times must neither answer a class request before its
// modelled time nor keep the thread busy when nothing is due.
TEST_F(EmulatorTest, PollingNearDueTimesKeepsTheModelAndSleepsWhenIdle) {
  EmulatorConfig config;
  config.keepTrace = true;
  config.classRequestMs = 4;
  config.spinMs = 1;
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  for (int i = 0; i < 10; ++i) {
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0x07}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(4)) << "request " << i;
  }

  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 200) << "an idle emulator must sleep, not poll";
}

TEST_F(EmulatorTest, UnplugAfterTransfersEndsTheConnectionAndLeavesTheBus) {
  EmulatorConfig config = FastConfig();
  config.faults.unplugAfterTransfers = 2;
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  EXPECT_TRUE(host.Query(0x01, 0));
  EXPECT_TRUE(host.Output({0x00, 0x3E, 0x01})) << "the second transfer is still answered";
  EXPECT_TRUE(host.WaitForEnd());
  EXPECT_TRUE(m_emulator->WaitFor([](const CDeviceEmulator& e) { return !e.Present(); }, 5000ms));
  EXPECT_FALSE(std::filesystem::exists(PathOf(kAppName)));
}

TEST_F(EmulatorTest, UnplugAfterRecordsThenReplugBootsTheApplication) {
  EmulatorConfig config = FastConfig();
  config.faults.unplugAfterRecords = 3;
  config.faults.replugAfterMs = 100;
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  ASSERT_TRUE(EnterLoader(host));
  ASSERT_EQ(Begin(host), kEmuStatusOk);
  RecordSender records{host, {}};
  ASSERT_TRUE(records.Send(HexRecord(0x04, 0, {0x1A, 0x00})));
  ASSERT_TRUE(records.Send(HexRecord(0x00, 0x6000, {1})));
  records.Send(HexRecord(0x00, 0x6001, {2}));
  EXPECT_TRUE(host.WaitForEnd());
  host.Close();
  // The application was erased, so the device powers up in its bootloader, still upgradable.
  ASSERT_TRUE(Open(host, kLoaderName));
  EXPECT_EQ(Begin(host), kEmuStatusOk);
}

TEST_F(EmulatorTest, LoaderFaults) {
  EmuFaults beginError;
  beginError.beginStatus = 0x1;
  EmuFaults finishError;
  finishError.finishStatus = 0x77;
  EmuFaults rejectSecond;
  rejectSecond.rejectRecord = 2;
  for (const auto& [name, faults, expectBegin, expectFinish] :
       {std::tuple{"BeginError", beginError, 0x1u, kEmuStatusOk}, std::tuple{"FinishError", finishError, kEmuStatusOk, 0x77u},
        std::tuple{"RejectRecord", rejectSecond, kEmuStatusOk, kEmuStatusRecordRefused}}) {
    SCOPED_TRACE(name);
    EmulatorConfig config = FastConfig();
    config.faults = faults;
    config.startInBootloader = true;
    config.loaderMajor = 2;
    Start(config);
    CTestHost host;
    ASSERT_TRUE(Open(host, kLoaderName));
    ASSERT_TRUE(host.SetOutput({0x00, 0x3F, 0x80}));
    auto version = host.GetInput();
    ASSERT_TRUE(version);
    EXPECT_EQ((*version)[3], 2) << "wrong loader version as configured";
    EXPECT_EQ(Begin(host), expectBegin);
    RecordSender records{host, {}};
    ASSERT_TRUE(records.Send(HexRecord(0x04, 0, {0x1A, 0x00})));
    ASSERT_TRUE(records.Send(HexRecord(0x00, 0x6000, {1})));
    ASSERT_TRUE(records.Send(HexRecord(0x01, 0, {})));
    EXPECT_EQ(records.Finish(), expectFinish);
    host.Close();
    m_emulator.reset();
  }
}

TEST_P(EmulatorBusFormTest, BootloaderThatRefusesConnections) {
  EmulatorConfig config = FormConfig();
  config.faults.loaderRefusesConnections = true;
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, Named(kAppName)));
  EXPECT_FALSE(EnterLoader(host, Named(kLoaderName)));
  EXPECT_TRUE(std::filesystem::exists(PathOf(Named(kLoaderName)))) << "it appears, but cannot be opened";
}

TEST_F(EmulatorTest, BootloaderThatNeverAppearsLeavesAnEmptyBus) {
  EmulatorConfig config = FastConfig();
  config.faults.loaderNeverAppears = true;
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0x0B, 0x00, 0x07, 0x01}));
  ASSERT_TRUE(host.SetOutput({0x00, 0x3E, 0xFC, 0x00, 0x07, 0x01}));
  EXPECT_TRUE(host.WaitForEnd());
  EXPECT_TRUE(m_emulator->WaitFor(
      [](const CDeviceEmulator& e) {
        for (const std::string& line : e.Trace()) {
          if (line.find("does not appear") != std::string::npos) return true;
        }
        return false;
      },
      5000ms));
  EXPECT_TRUE(std::filesystem::is_empty(m_bus));
}

TEST_F(EmulatorTest, DroppedAnswerIsNeverSent) {
  EmulatorConfig config = FastConfig();
  config.faults.dropAnswers = 1;
  Start(config);
  CTestHost host;
  ASSERT_TRUE(Open(host, kAppName));
  ASSERT_TRUE(host.Output({0x00, 0x3E, 0x01}));
  auto answer = host.Query(0x02, 1);
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[1], 0x02) << "the first report to arrive answers the second query";
  EXPECT_EQ(m_emulator->Counters().inputReports, 1u);
}

TEST_F(EmulatorTest, MalformedHeaderAndSecondConnection) {
  Start(FastConfig());
  CTestHost first;
  ASSERT_TRUE(Open(first, kAppName));
  CTestHost second;
  EXPECT_FALSE(second.Connect(PathOf(kAppName))) << "a second connection is closed at once";
  first.SendRaw({0x10, 0x01, 0x00, 0x00});  // reserved byte not zero
  EXPECT_TRUE(first.WaitForEnd());
  CTestHost third;
  EXPECT_TRUE(third.Connect(PathOf(kAppName))) << "the device stays on the bus";
  auto count = third.Query(0x01, 0);
  ASSERT_TRUE(count);
  EXPECT_EQ((*count)[4], 3);
}

TEST_F(EmulatorTest, ProgramServesUntilSigterm) {
  const char* buildDir = std::getenv("QUILLON_BUILD_DIR");
  if (buildDir == nullptr) GTEST_SKIP() << "QUILLON_BUILD_DIR not set";
  const std::string program = std::string(buildDir) + "/bin/quillon-devemu";
  const std::string trace = m_bus + "/../" + std::filesystem::path(m_bus).filename().string() + ".trace";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "--bus", m_bus.c_str(), "--time-scale", "50", "--no-chip", "--trace",
          trace.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  CTestHost host;
  bool connected = false;
  for (int i = 0; i < 500 && !connected; ++i) {
    connected = std::filesystem::exists(PathOf(kAppName)) && host.Connect(PathOf(kAppName));
    if (!connected) usleep(10000);
  }
  EXPECT_TRUE(connected);
  if (connected) {
    EXPECT_TRUE(host.Query(0x01, 0));
  }
  host.Close();
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(std::filesystem::exists(PathOf(kAppName))) << "the socket file is removed on exit";
  EXPECT_GT(std::filesystem::file_size(trace), 0u);
  std::filesystem::remove(trace);
}

}  // namespace
