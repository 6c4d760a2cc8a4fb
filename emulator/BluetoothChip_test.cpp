#include "emulator/BluetoothChip.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/bluetooth_chip/ChipDfuLoader.h"
#include "emulator/bluetooth_chip/ChipFrame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// A host-side BCSP encoder and decoder written for these tests alone, the way
// the updater's link layer describes the wire: nibble-table CRC, header sums.

std::uint16_t HostCrc(const Bytes& bytes) {
  std::uint16_t reg = 0xFFFF;
  for (std::uint8_t b : bytes) {
    reg = static_cast<std::uint16_t>((reg >> 4) ^ (((reg ^ b) & 0x0F) * 0x1081));
    reg = static_cast<std::uint16_t>((reg >> 4) ^ (((reg ^ (b >> 4)) & 0x0F) * 0x1081));
  }
  std::uint16_t reversed = 0;
  for (int i = 0; i < 16; ++i) reversed = static_cast<std::uint16_t>(reversed | (((reg >> i) & 1) << (15 - i)));
  return reversed;
}

Bytes HostEncode(Bytes header, const Bytes& payload, bool fixChecksum = true) {
  if (fixChecksum) header[3] = static_cast<std::uint8_t>(~(header[0] + header[1] + header[2]));
  Bytes plain = header;
  plain.insert(plain.end(), payload.begin(), payload.end());
  const std::uint16_t crc = HostCrc(plain);
  plain.push_back(static_cast<std::uint8_t>(crc >> 8));
  plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  Bytes wire{0xC0};
  for (std::uint8_t b : plain) {
    if (b == 0xC0) {
      wire.insert(wire.end(), {0xDB, 0xDC});
    } else if (b == 0xDB) {
      wire.insert(wire.end(), {0xDB, 0xDD});
    } else {
      wire.push_back(b);
    }
  }
  wire.push_back(0xC0);
  return wire;
}

Bytes HostDataFrame(bool reliable, int seq, int ack, int channel, const Bytes& payload) {
  const std::size_t n = payload.size();
  return HostEncode({static_cast<std::uint8_t>((reliable ? 0x80 : 0) | 0x40 | (ack << 3) | seq),
                     static_cast<std::uint8_t>(channel | ((n & 0x0F) << 4)), static_cast<std::uint8_t>(n >> 4), 0},
                    payload);
}

const Bytes kSync = {0xDA, 0xDC, 0xED, 0xED};
const Bytes kSyncResp = {0xAC, 0xAF, 0xEF, 0xEE};
const Bytes kConf = {0xAD, 0xEF, 0xAC, 0xED};
const Bytes kConfResp = {0xDE, 0xAD, 0xD0, 0xD0};

Bytes HostLinkFrame(const Bytes& message) { return HostEncode({0x40, 0x41, 0x00, 0x7E}, message, false); }

struct HostFrame {
  Bytes wire;  // exactly as the chip sent it
  bool reliable = false;
  int seq = 0;
  int ack = 0;
  int channel = 0;
  Bytes payload;
};

// Decodes one frame as the chip wrote it; nullopt when the bytes are damaged.
std::optional<HostFrame> HostDecode(const Bytes& wire) {
  if (wire.size() < 2 || wire.front() != 0xC0 || wire.back() != 0xC0) return std::nullopt;
  Bytes plain;
  for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
    if (wire[i] == 0xC0) return std::nullopt;
    if (wire[i] != 0xDB) {
      plain.push_back(wire[i]);
      continue;
    }
    if (++i + 1 >= wire.size()) return std::nullopt;
    if (wire[i] == 0xDC) {
      plain.push_back(0xC0);
    } else if (wire[i] == 0xDD) {
      plain.push_back(0xDB);
    } else {
      return std::nullopt;
    }
  }
  if (plain.size() < 6 || static_cast<std::uint8_t>(plain[0] + plain[1] + plain[2] + plain[3]) != 0xFF) {
    return std::nullopt;
  }
  const std::size_t n = (plain[1] >> 4) | (plain[2] << 4);
  if (!(plain[0] & 0x40) || plain.size() != n + 6) return std::nullopt;
  const Bytes body(plain.begin(), plain.end() - 2);
  if (HostCrc(body) != ((plain[n + 4] << 8) | plain[n + 5])) return std::nullopt;
  return HostFrame{wire, (plain[0] & 0x80) != 0, plain[0] & 7, (plain[0] >> 3) & 7, plain[1] & 0x0F,
                   Bytes(body.begin() + 4, body.end())};
}

bool IsLinkMessage(const HostFrame& frame, const Bytes& message) {
  return frame.channel == 1 && frame.payload == message;
}

// ---------------------------------------------------------------------------
// A chip with a minimal host peer around it. Waits are bounded by generous
// guards so that a broken chip fails the test instead of hanging it.

constexpr auto kGuard = 20s;
constexpr auto kRetry = 30ms;

CEmuBluetoothChip::Config FastConfig() {
  CEmuBluetoothChip::Config config;
  config.timeScale = 10.0;
  return config;
}

Bytes Setup(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t length) {
  return {type, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), 0, 0,
          static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
}

const Bytes kGetDevice = Setup(0xC1, 8, 0, 12);
const Bytes kGetFuncDesc = Setup(0xC1, 9, 0, 7);
const Bytes kDetach = Setup(0x21, 0, 5000, 0);
const Bytes kReset = Setup(0x41, 7, 0, 0);
const Bytes kGetStatus = Setup(0xA1, 3, 0, 6);
const Bytes kClrStatus = Setup(0x21, 4, 0, 0);
const Bytes kAbort = Setup(0x21, 6, 0, 0);
const Bytes kGetState = Setup(0xA1, 5, 0, 1);
const Bytes kPreamble = {0x03, 0x00, 0x01, 0x00, 0x21, 0x40};

Bytes DownloadRequest(std::uint16_t block, const Bytes& data) {
  Bytes request = Setup(0x21, 1, block, static_cast<std::uint16_t>(data.size()));
  request.insert(request.end(), data.begin(), data.end());
  return request;
}

std::uint32_t Result(const Bytes& reply) {
  return reply.size() < 4 ? 0xFFFFFFFF : (reply[0] | (reply[1] << 8) | (reply[2] << 16) | (reply[3] << 24));
}

class CChipHarness {
 public:
  explicit CChipHarness(CEmuBluetoothChip::Config config = FastConfig())
      : m_chip(config, [this](std::span<const std::uint8_t> bytes) { Receive(bytes); }) {}

  CEmuBluetoothChip& Chip() { return m_chip; }

  void Send(const Bytes& wire) { m_chip.OnUartBytes(wire); }

  // The next frame the chip sends, damaged ones skipped.
  std::optional<HostFrame> Next(std::chrono::milliseconds wait = kGuard) {
    std::unique_lock lock(m_mutex);
    if (!m_arrived.wait_for(lock, wait, [this] { return !m_frames.empty(); })) return std::nullopt;
    HostFrame frame = m_frames.front();
    m_frames.pop_front();
    return frame;
  }

  // The first frame that matches `match`, skipping the others.
  template <typename Match>
  std::optional<HostFrame> NextMatching(Match match, std::chrono::milliseconds wait = kGuard) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < end) {
      auto frame = Next(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
      if (frame && match(*frame)) return frame;
    }
    return std::nullopt;
  }

  // Link establishment from the host's side; the sequence numbers start at 0.
  bool Establish() {
    bool initialized = false;
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (std::chrono::steady_clock::now() < end) {
      Send(HostLinkFrame(initialized ? kConf : kSync));
      while (auto frame = Next(kRetry)) {
        if (IsLinkMessage(*frame, kSync)) Send(HostLinkFrame(kSyncResp));
        if (IsLinkMessage(*frame, kConf)) Send(HostLinkFrame(kConfResp));
        if (IsLinkMessage(*frame, kSyncResp)) initialized = true;
        if (IsLinkMessage(*frame, kConfResp)) {
          m_txSeq = 0;
          m_rxExpected = 0;
          return true;
        }
      }
    }
    return false;
  }

  // Sends one reliable request and returns the chip's reply, resending the
  // request until the reply comes; the reply is acknowledged afterwards unless
  // `acknowledge` is false.
  std::optional<Bytes> Request(const Bytes& payload, int channel = 12, bool acknowledge = true) {
    const Bytes frame = HostDataFrame(true, m_txSeq, m_rxExpected, channel, payload);
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (std::chrono::steady_clock::now() < end) {
      Send(frame);
      while (auto reply = Next(kRetry)) {
        if (IsLinkMessage(*reply, kConf)) Send(HostLinkFrame(kConfResp));
        if (reply->channel == 1 || !reply->reliable || reply->payload.empty()) continue;
        if (reply->seq != m_rxExpected) {
          SendAck();
          continue;
        }
        m_rxExpected = (m_rxExpected + 1) & 7;
        m_txSeq = (m_txSeq + 1) & 7;
        if (acknowledge) SendAck();
        return reply->payload;
      }
    }
    return std::nullopt;
  }

  void SendAck() { Send(HostEncode({static_cast<std::uint8_t>(0x40 | (m_rxExpected << 3)), 0, 0, 0}, {})); }

  // bState of a status reply, or -1.
  int State() {
    auto reply = Request(kGetStatus);
    return reply && reply->size() == 10 ? (*reply)[8] : -1;
  }

  // Polls the status while the loader is busy.
  // Polls through the busy states; bounded by time, not by a count of polls,
  // so a loaded machine that answers slowly still sees the state settle.
  int SettledState() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int state = State();
    while ((state == 3 || state == 4 || state == 6 || state == 7) && std::chrono::steady_clock::now() < deadline)
      state = State();
    return state;
  }

  int TxSeq() const { return m_txSeq; }
  int RxExpected() const { return m_rxExpected; }

 private:
  void Receive(std::span<const std::uint8_t> bytes) {
    auto frame = HostDecode(Bytes(bytes.begin(), bytes.end()));
    if (!frame) return;
    {
      std::lock_guard lock(m_mutex);
      m_frames.push_back(*frame);
    }
    m_arrived.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::deque<HostFrame> m_frames;
  int m_txSeq = 0;
  int m_rxExpected = 0;
  CEmuBluetoothChip m_chip;  // last: its thread stops before the rest goes
};

// An image of `size` bytes with a version stamp at 0x100.
Bytes StampedImage(std::size_t size, std::array<std::uint8_t, 4> date) {
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const Bytes stamp = {'Q', 'V', 'E', 'R', date[0], date[1], date[2], date[3]};
  std::copy(stamp.begin(), stamp.end(), image.begin() + 0x100);
  return image;
}

// The updater's sequence up to a loader that is ready for blocks.
void EnterLoader(CChipHarness& host) {
  ASSERT_TRUE(host.Establish());
  ASSERT_TRUE(host.Request(kPreamble, 13));
  ASSERT_TRUE(host.Request(kGetDevice));
  ASSERT_TRUE(host.Request(kGetFuncDesc));
  ASSERT_TRUE(host.Request(kDetach));
  ASSERT_TRUE(host.Request(kReset));
  ASSERT_TRUE(host.Establish());
  ASSERT_TRUE(host.Chip().RunningLoader());
}

// Sends the image in blocks of `blockSize`, then the zero-length block.
void DownloadImage(CChipHarness& host, const Bytes& image, std::size_t blockSize) {
  std::uint16_t block = 0;
  for (std::size_t pos = 0; pos < image.size(); pos += blockSize, ++block) {
    const Bytes data(image.begin() + pos, image.begin() + std::min(image.size(), pos + blockSize));
    auto reply = host.Request(DownloadRequest(block, data));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Result(*reply), 0u) << "block " << block;
    ASSERT_EQ(host.SettledState(), 5) << "block " << block;
  }
  auto last = host.Request(DownloadRequest(block, {}));
  ASSERT_TRUE(last);
  EXPECT_EQ(Result(*last), 0u);
  ASSERT_EQ(host.SettledState(), 2);
}

// ---------------------------------------------------------------------------
// Frames on the wire.

TEST(BluetoothChipFrame, CrcCheckValueIsSentAs89F6) {
  const std::string digits = "123456789";
  const Bytes bytes(digits.begin(), digits.end());
  EXPECT_EQ(ChipCrc(bytes), 0x89F6);
  EXPECT_EQ(HostCrc(bytes), 0x89F6);
}

TEST(BluetoothChipFrame, EncodesGoldenFrames) {
  struct Case {
    const char* name;
    ChipFrame frame;
    Bytes wire;
  };
  const Case cases[] = {
      {"SYNC", {false, 0, 0, 1, kSync}, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0}},
      {"SYNC RESP", {false, 0, 0, 1, kSyncResp}, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC, 0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0}},
      {"CONF", {false, 0, 0, 1, kConf}, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAD, 0xEF, 0xAC, 0xED, 0xA1, 0xA6, 0xC0}},
      {"CONF RESP", {false, 0, 0, 1, kConfResp}, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0}},
      {"reliable request, escaped header",
       {true, 0, 0, 12, kGetDevice},
       {0xC0, 0xDB, 0xDC, 0x8C, 0x00, 0xB3, 0xC1, 0x08, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x1F, 0x2A, 0xC0}},
      {"pure acknowledgement", {false, 0, 1, 0, {}}, {0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeChipFrame(c.frame), c.wire) << c.name;
    auto decoded = HostDecode(c.wire);
    ASSERT_TRUE(decoded) << c.name;
    EXPECT_EQ(decoded->payload, c.frame.payload) << c.name;
  }
}

TEST(BluetoothChipFrame, ParseRejectsDamagedFrames) {
  // Unescaped contents of a valid reliable request: header, payload, CRC.
  const Bytes good = {0xC0, 0x8C, 0x00, 0xB3, 0xC1, 0x08, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x1F, 0x2A};
  ASSERT_TRUE(ParseChipFrame(good));
  EXPECT_EQ(ParseChipFrame(good)->channel, 12);

  struct Case {
    const char* name;
    std::size_t index;
    std::uint8_t flip;
  };
  const Case cases[] = {{"header checksum", 3, 0x01}, {"length field", 1, 0x10}, {"payload byte", 5, 0x80},
                        {"CRC high byte", 12, 0x04}, {"CRC low byte", 13, 0x20}};
  for (const Case& c : cases) {
    Bytes bad = good;
    bad[c.index] ^= c.flip;
    EXPECT_FALSE(ParseChipFrame(bad)) << c.name;
  }
  EXPECT_FALSE(ParseChipFrame(Bytes(good.begin(), good.end() - 1))) << "short by one";
  EXPECT_FALSE(ParseChipFrame(Bytes(good.begin(), good.begin() + 3))) << "header cut";
}

TEST(BluetoothChipFrame, DecoderUnescapesAndDropsBrokenFrames) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Bytes> frames;
  };
  const Case cases[] = {
      {"escapes", {0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}, {{0x01, 0xC0, 0xDB, 0x02}}},
      {"empty frames between delimiters", {0xC0, 0xC0, 0xC0, 0x05, 0xC0}, {{0x05}}},
      {"bad escape drops only its frame", {0xC0, 0x01, 0xDB, 0x07, 0x02, 0xC0, 0x03, 0xC0}, {{0x03}}},
      {"escape right before the delimiter", {0xC0, 0x01, 0xDB, 0xC0, 0x04, 0xC0}, {{0x04}}},
  };
  for (const Case& c : cases) {
    CChipFrameDecoder decoder;
    std::vector<Bytes> frames;
    for (std::uint8_t b : c.stream) {
      if (auto frame = decoder.Push(b)) frames.push_back(*frame);
    }
    EXPECT_EQ(frames, c.frames) << c.name;
  }
}

TEST(BluetoothChipFrame, DecoderDropsOverlongFrame) {
  CChipFrameDecoder decoder;
  decoder.Push(0xC0);
  for (std::size_t i = 0; i < 4 + kChipMaxPayload + 2 + 1; ++i) decoder.Push(0x11);
  EXPECT_FALSE(decoder.Push(0xC0));
  decoder.Push(0x22);
  EXPECT_EQ(decoder.Push(0xC0), Bytes{0x22});
}

// ---------------------------------------------------------------------------
// Link layer.

TEST(BluetoothChipLink, StartsWithSyncAndAnswersEachLinkMessage) {
  CChipHarness host;
  auto first = host.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->wire, HostLinkFrame(kSync));

  host.Send(HostLinkFrame(kSync));
  auto syncResp = host.NextMatching([](const HostFrame& f) { return !IsLinkMessage(f, kSync); });
  ASSERT_TRUE(syncResp);
  EXPECT_EQ(syncResp->wire, HostLinkFrame(kSyncResp));

  // A CONF before the chip has its SYNC RESP is not answered; after it, the chip sends CONF.
  host.Send(HostLinkFrame(kSyncResp));
  auto conf = host.NextMatching([](const HostFrame& f) { return !IsLinkMessage(f, kSync); });
  ASSERT_TRUE(conf);
  EXPECT_EQ(conf->wire, HostLinkFrame(kConf));

  host.Send(HostLinkFrame(kConf));
  auto confResp = host.NextMatching([](const HostFrame& f) { return !IsLinkMessage(f, kConf); });
  ASSERT_TRUE(confResp);
  EXPECT_EQ(confResp->wire, HostLinkFrame(kConfResp));
}

TEST(BluetoothChipLink, AcknowledgesEitherInReplyOrSeparately) {
  for (bool pureAck : {false, true}) {
    SCOPED_TRACE(pureAck ? "pure ack before reply" : "ack in reply");
    auto config = FastConfig();
    config.pureAckBeforeReply = pureAck;
    CChipHarness host(config);
    ASSERT_TRUE(host.Establish());

    host.Send(HostDataFrame(true, 0, 0, 12, kGetDevice));
    auto first = host.NextMatching([](const HostFrame& f) { return f.channel != 1; });
    ASSERT_TRUE(first);
    if (pureAck) {
      EXPECT_EQ(first->wire, (Bytes{0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0}));
      first = host.NextMatching([](const HostFrame& f) { return f.channel != 1; });
      ASSERT_TRUE(first);
    }
    EXPECT_TRUE(first->reliable);
    EXPECT_EQ(first->channel, 12);
    EXPECT_EQ(first->seq, 0);
    EXPECT_EQ(first->ack, 1);
    ASSERT_EQ(first->payload.size(), 16u);
    EXPECT_EQ(Result(first->payload), 0u);
  }
}

TEST(BluetoothChipLink, RetransmitsUnacknowledgedReplyUnchanged) {
  CChipHarness host;
  ASSERT_TRUE(host.Establish());
  host.Send(HostDataFrame(true, 0, 0, 12, kGetFuncDesc));
  auto reply = host.NextMatching([](const HostFrame& f) { return f.reliable; });
  ASSERT_TRUE(reply);
  auto again = host.NextMatching([](const HostFrame& f) { return f.reliable; });
  ASSERT_TRUE(again);
  EXPECT_EQ(again->wire, reply->wire);
  EXPECT_GE(host.Chip().LinkCounts().retransmissions, 1u);

  // Once acknowledged, the next reply carries the next sequence number.
  host.Send(HostDataFrame(true, 1, 1, 12, kGetDevice));
  auto next = host.NextMatching([&](const HostFrame& f) { return f.reliable && f.wire != reply->wire; });
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, 1);
  EXPECT_EQ(next->ack, 2);
}

// With a retransmission limit the chip gives its link up after that many
// resends of one reply and starts link establishment again.
TEST(BluetoothChipLink, RetransmissionLimitEndsTheLink) {
  CEmuBluetoothChip::Config config = FastConfig();
  config.retransmitLimit = 2;
  CChipHarness host(config);
  ASSERT_TRUE(host.Establish());
  host.Send(HostDataFrame(true, 0, 0, 12, kGetFuncDesc));
  for (int copy = 0; copy < 3; ++copy) ASSERT_TRUE(host.NextMatching([](const HostFrame& f) { return f.reliable; }));
  auto sync = host.NextMatching([](const HostFrame& f) { return f.channel == 1; });
  ASSERT_TRUE(sync);
  EXPECT_EQ(sync->payload, (Bytes{0xDA, 0xDC, 0xED, 0xED}));
  const ChipLinkCounts counts = host.Chip().LinkCounts();
  EXPECT_EQ(counts.retransmissions, 2u);
  EXPECT_EQ(counts.linkRestarts, 1u);
}

TEST(BluetoothChipLink, RepeatedRequestIsAcknowledgedNotExecutedTwice) {
  CChipHarness host;
  EnterLoader(host);
  const Bytes block0 = DownloadRequest(0, Bytes(100, 0x55));
  const Bytes frame = HostDataFrame(true, host.TxSeq(), host.RxExpected(), 12, block0);
  auto reply = host.Request(block0);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Result(*reply), 0u);
  // The same frame again, as a host whose acknowledgement got lost would send it.
  host.Send(frame);
  auto ack = host.NextMatching([](const HostFrame& f) { return f.channel == 0; });
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->ack, host.TxSeq());  // the chip still expects the next new request
  EXPECT_EQ(host.SettledState(), 5);  // not dfuERROR from a second block 0
}

TEST(BluetoothChipLink, DropsDamagedRequestsAndAnswersTheGoodOne) {
  CChipHarness host;
  ASSERT_TRUE(host.Establish());
  Bytes badCrc = HostDataFrame(true, 0, 0, 12, kGetDevice);
  badCrc[badCrc.size() - 2] ^= 0x01;
  Bytes badHeader = HostDataFrame(true, 0, 0, 12, kGetDevice);
  badHeader[5] ^= 0x01;  // header checksum
  // A frame abandoned half-way: the next frame's opening delimiter ends it.
  const Bytes truncated(badCrc.begin(), badCrc.begin() + 8);
  host.Send(badCrc);
  host.Send(badHeader);
  host.Send(truncated);
  host.Send(HostDataFrame(true, 0, 0, 12, kGetFuncDesc));
  auto reply = host.NextMatching([](const HostFrame& f) { return f.reliable; });
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->seq, 0);
  EXPECT_EQ(reply->payload.size(), 4u + 7u);  // the functional descriptor, not the device information
  const ChipLinkCounts counts = host.Chip().LinkCounts();
  EXPECT_EQ(counts.abandonedHostFrames, 1u);
  EXPECT_EQ(counts.damagedHostFrames, 2u);
  EXPECT_EQ(counts.retransmissions, 0u);
}

TEST(BluetoothChipLink, SyncWhileActiveRestartsTheChipsLink) {
  CChipHarness host;
  ASSERT_TRUE(host.Establish());
  ASSERT_TRUE(host.Request(kGetDevice));
  ASSERT_TRUE(host.Establish());  // the host started over: both sides count from 0 again
  auto reply = host.Request(kGetFuncDesc);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 11u);
}

// ---------------------------------------------------------------------------
// DFU loader.

TEST(BluetoothChipDfu, DownloadStoresImageAndFinalResetRunsItsVersion) {
  CChipHarness host;
  EXPECT_EQ(host.Chip().VersionWord(), 0x30062014u);
  EXPECT_FALSE(host.Chip().RunningLoader());
  EnterLoader(host);
  EXPECT_EQ(host.State(), 2);

  const Bytes image = StampedImage(2 * 1023 + 500, {0x03, 0x10, 0x17, 0x20});
  DownloadImage(host, image, 1023);
  EXPECT_EQ(host.Chip().StoredImage(), image);
  EXPECT_EQ(host.Chip().VersionWord(), 0u);  // the old application is gone until the restart

  auto reset = host.Request(kReset);
  ASSERT_TRUE(reset);
  EXPECT_EQ(Result(*reset), 0u);
  ASSERT_TRUE(host.Establish());
  EXPECT_FALSE(host.Chip().RunningLoader());
  EXPECT_EQ(host.Chip().VersionWord(), 0x03102017u);
}

// The updater resets its own link before it acknowledges the reset reply: the
// chip takes the host's SYNC as the sign to go down.
// Block numbers are 16 bits: after block 65535 the loader takes no more, so a
// host that keeps sending cannot make the download grow without end.
TEST(BluetoothChipDfu, DownloadEndsWhereTheBlockNumberWouldWrap) {
  CChipDfuLoader loader({}, 0);
  loader.Restart(true);
  const CChipDfuLoader::TimePoint now{};
  for (std::uint32_t block = 0; block <= 0xFFFF; ++block) {
    ASSERT_EQ(Result(loader.HandleRequest(DownloadRequest(static_cast<std::uint16_t>(block), {0x5A}), now).payload), 0u)
        << block;
    loader.HandleRequest(kGetStatus, now);
  }
  EXPECT_NE(Result(loader.HandleRequest(DownloadRequest(0, {0x5A}), now).payload), 0u);
  EXPECT_EQ(loader.State(), 10);  // dfuERROR
}

TEST(BluetoothChipDfu, UnacknowledgedResetRestartsOnHostSync) {
  CChipHarness host;
  ASSERT_TRUE(host.Establish());
  ASSERT_TRUE(host.Request(kDetach));
  ASSERT_TRUE(host.Request(kReset, 12, false));
  ASSERT_TRUE(host.Establish());
  EXPECT_TRUE(host.Chip().RunningLoader());
  EXPECT_EQ(host.State(), 2);
}

TEST(BluetoothChipDfu, RepliesCarryDeviceInformationAndDescriptor) {
  CChipHarness host;
  ASSERT_TRUE(host.Establish());
  auto device = host.Request(kGetDevice);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->size(), 4u + 12u);
  EXPECT_EQ(Bytes(device->end() - 4, device->end()), (Bytes{0x14, 0x20, 0x06, 0x30}));
  auto descriptor = host.Request(kGetFuncDesc);
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(*descriptor, (Bytes{0, 0, 0, 0, 0x07, 0x21, 0x05, 0x88, 0x13, 0xFF, 0x03}));
  auto opening = host.Request(kPreamble, 13);
  ASSERT_TRUE(opening);
  EXPECT_EQ(Result(*opening), 0u);
}

TEST(BluetoothChipDfu, BlockOutOfOrderGivesErrorThatClearStatusClears) {
  CChipHarness host;
  EnterLoader(host);
  const Bytes data(64, 0xA5);
  auto reply = host.Request(DownloadRequest(1, data));
  ASSERT_TRUE(reply);
  EXPECT_NE(Result(*reply), 0u);
  auto status = host.Request(kGetStatus);
  ASSERT_TRUE(status);
  ASSERT_EQ(status->size(), 10u);
  EXPECT_EQ((*status)[8], 10);
  EXPECT_NE((*status)[4], 0);  // bStatus names an error

  ASSERT_TRUE(host.Request(kClrStatus));
  EXPECT_EQ(host.State(), 2);
  reply = host.Request(DownloadRequest(0, data));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Result(*reply), 0u);
  EXPECT_EQ(host.SettledState(), 5);
}

TEST(BluetoothChipDfu, RefusesBadDownloads) {
  struct Case {
    const char* name;
    Bytes request;
  };
  Bytes lengthMismatch = DownloadRequest(0, Bytes(10, 1));
  lengthMismatch.pop_back();
  const Case cases[] = {
      {"zero-length block before any data", DownloadRequest(0, {})},
      {"block over 1023 bytes", DownloadRequest(0, Bytes(1024, 1))},
      {"wLength differs from the data", lengthMismatch},
      {"request shorter than its header", Bytes{0x21, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    CChipHarness host;
    EnterLoader(host);
    auto reply = host.Request(c.request);
    ASSERT_TRUE(reply) << c.name;
    EXPECT_NE(Result(*reply), 0u) << c.name;
    EXPECT_EQ(host.State(), 10) << c.name;
    EXPECT_TRUE(host.Chip().StoredImage().empty()) << c.name;
  }
}

TEST(BluetoothChipDfu, ResetWithIncompleteDownloadComesBackInLoader) {
  CChipHarness host;
  EnterLoader(host);
  ASSERT_TRUE(host.Request(DownloadRequest(0, Bytes(300, 9))));
  ASSERT_TRUE(host.Request(kReset));
  ASSERT_TRUE(host.Establish());
  EXPECT_TRUE(host.Chip().RunningLoader());
  EXPECT_EQ(host.Chip().VersionWord(), 0u);
  EXPECT_EQ(host.State(), 2);
}

// The strict loader takes a request only where USB DFU 1.1 allows it; the
// basic one only the requests of the updater's download; the lenient one
// takes them all. A refused request stalls the strict loader into dfuERROR and
// leaves the basic one where it was, a download open included.
TEST(BluetoothChipDfu, LoaderVariantsRefuseWhatTheyDoNotTake) {
  struct Case {
    const char* name;
    bool inLoader;
    int blocksFirst;  // blocks downloaded (and polled) before the request
    Bytes request;
    bool strictTakes;
    std::uint8_t strictStateAfter;
    bool basicTakes;
  };
  const Case cases[] = {
      {"detach in the application", false, 0, kDetach, true, 1, true},
      {"detach in dfuIDLE", true, 0, kDetach, false, 10, true},
      {"detach in dfuDNLOAD-IDLE", true, 1, kDetach, false, 10, true},
      {"clear status outside dfuERROR", true, 0, kClrStatus, false, 10, true},
      {"abort in dfuIDLE", true, 0, kAbort, true, 2, false},
      {"abort in dfuDNLOAD-IDLE", true, 2, kAbort, true, 2, false},
      {"reset with a download open", true, 1, kReset, false, 10, true},
      {"reset in dfuIDLE", true, 0, kReset, true, 2, true},
      {"status in dfuDNLOAD-IDLE", true, 1, kGetStatus, true, 5, true},
      {"state in dfuDNLOAD-IDLE", true, 1, kGetState, true, 5, false},
  };
  enum class EVariant { Lenient, Strict, Basic };
  const CChipDfuLoader::TimePoint now{};
  for (const Case& c : cases) {
    for (const EVariant variant : {EVariant::Lenient, EVariant::Strict, EVariant::Basic}) {
      SCOPED_TRACE(std::string(c.name) +
                   (variant == EVariant::Strict ? ", strict" : variant == EVariant::Basic ? ", basic" : ", lenient"));
      CChipDfuLoader loader({}, 0x30062014, variant == EVariant::Strict, variant == EVariant::Basic);
      loader.Restart(c.inLoader);
      for (int block = 0; block < c.blocksFirst; ++block) {
        ASSERT_EQ(Result(loader.HandleRequest(DownloadRequest(static_cast<std::uint16_t>(block), {1, 2}), now).payload),
                  0u);
        loader.HandleRequest(kGetStatus, now);
      }
      const std::uint8_t stateBefore = loader.State();
      const bool takes = variant == EVariant::Lenient || (variant == EVariant::Strict ? c.strictTakes : c.basicTakes);
      EXPECT_EQ(Result(loader.HandleRequest(c.request, now).payload) == 0, takes);
      EXPECT_EQ(loader.RefusedRequests(), takes ? 0u : 1u);
      if (variant == EVariant::Strict) {
        EXPECT_EQ(loader.State(), c.strictStateAfter);
      }
      if (variant == EVariant::Basic && !takes) {
        EXPECT_EQ(loader.State(), stateBefore);
        EXPECT_EQ(loader.NextBlock(), static_cast<std::uint32_t>(c.blocksFirst));
      }
    }
  }
}

// Power lost and back: a manifested image runs, a half download leaves the
// loader in dfuIDLE with the download forgotten, an untouched application runs.
TEST(BluetoothChipDfu, PowerCycleKeepsOnlyWhatTheFlashHolds) {
  const Bytes image = StampedImage(0x200, {0x28, 0x09, 0x15, 0x20});
  const CChipDfuLoader::TimePoint now{};
  struct Case {
    const char* name;
    std::size_t blocks;  // blocks of `image` sent (64 bytes each)
    bool finalBlock;     // the zero-length block and the manifestation poll
    bool runsLoader;
    std::uint32_t version;
  };
  const Case cases[] = {
      {"before the first block", 0, false, false, 0x30062014},
      {"in the middle", 3, false, true, 0},
      {"after the manifestation", 8, true, false, 0x28092015},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CChipDfuLoader loader({}, 0x30062014);
    loader.Restart(true);
    for (std::size_t block = 0; block < c.blocks; ++block) {
      const Bytes data(image.begin() + block * 64, image.begin() + (block + 1) * 64);
      ASSERT_EQ(Result(loader.HandleRequest(DownloadRequest(static_cast<std::uint16_t>(block), data), now).payload), 0u);
      loader.HandleRequest(kGetStatus, now);
    }
    if (c.finalBlock) {
      loader.HandleRequest(DownloadRequest(static_cast<std::uint16_t>(c.blocks), {}), now);
      loader.HandleRequest(kGetStatus, now);
    }
    loader.PowerCycle();
    EXPECT_EQ(loader.RunningLoader(), c.runsLoader);
    EXPECT_EQ(loader.VersionWord(), c.version);
    if (c.runsLoader) {
      EXPECT_EQ(loader.State(), 2);
      EXPECT_EQ(Result(loader.HandleRequest(DownloadRequest(1, {1}), now).payload), 1u) << "the download starts again";
    }
  }
}

TEST(BluetoothChipDfu, VersionStampIsReadOnlyWhenPresent) {
  const Bytes stamped = StampedImage(0x108, {0x28, 0x09, 0x15, 0x20});
  Bytes noMagic = stamped;
  noMagic[0x100] = 'X';
  struct Case {
    const char* name;
    Bytes image;
    std::uint32_t version;
  };
  const Case cases[] = {{"stamp at the very end", stamped, 0x28092015u},
                        {"magic missing", noMagic, 0u},
                        {"image ends inside the stamp", Bytes(stamped.begin(), stamped.end() - 1), 0u},
                        {"empty image", Bytes{}, 0u}};
  for (const Case& c : cases) EXPECT_EQ(CChipDfuLoader::ReadVersionStamp(c.image), c.version) << c.name;
}

// ---------------------------------------------------------------------------
// Faults.

TEST(BluetoothChipFaults, LossyUartStillConverges) {
  auto config = FastConfig();
  config.faults.hostToChipLossRate = 0.002;
  config.faults.hostToChipCorruptRate = 0.001;
  config.faults.chipToHostLossRate = 0.002;
  config.faults.chipToHostCorruptRate = 0.001;
  config.faults.seed = 7;
  CChipHarness host(config);
  EnterLoader(host);
  const Bytes image = StampedImage(3 * 200, {0x01, 0x02, 0x18, 0x20});
  DownloadImage(host, image, 200);
  EXPECT_EQ(host.Chip().StoredImage(), image);
  ASSERT_TRUE(host.Request(kReset));
  ASSERT_TRUE(host.Establish());
  EXPECT_EQ(host.Chip().VersionWord(), 0x01022018u);
}

TEST(BluetoothChipFaults, DfuErrorBeforeFirstBlock) {
  for (auto fault : {CEmuBluetoothChip::EDfuErrorFault::BeforeFirstBlock,
                     CEmuBluetoothChip::EDfuErrorFault::NeverClears}) {
    const bool clears = fault == CEmuBluetoothChip::EDfuErrorFault::BeforeFirstBlock;
    SCOPED_TRACE(clears ? "clears" : "never clears");
    auto config = FastConfig();
    config.faults.dfuError = fault;
    CChipHarness host(config);
    EnterLoader(host);
    EXPECT_EQ(host.State(), 10);
    ASSERT_TRUE(host.Request(kClrStatus));
    EXPECT_EQ(host.State(), clears ? 2 : 10);
  }
}

TEST(BluetoothChipFaults, ErrorAtBlockAndStatusThatNeverSettles) {
  auto config = FastConfig();
  config.faults.errorAtBlock = 1;
  CChipHarness host(config);
  EnterLoader(host);
  ASSERT_TRUE(host.Request(DownloadRequest(0, Bytes(50, 1))));
  EXPECT_EQ(host.SettledState(), 5);
  ASSERT_TRUE(host.Request(DownloadRequest(1, Bytes(50, 2))));
  EXPECT_EQ(host.State(), 10);

  CEmuBluetoothChip::Faults faults;
  faults.statusNeverSettles = true;
  host.Chip().SetFaults(faults);
  ASSERT_TRUE(host.Request(kClrStatus));
  ASSERT_TRUE(host.Request(DownloadRequest(0, Bytes(50, 3))));
  EXPECT_EQ(host.SettledState(), 5);
  ASSERT_TRUE(host.Request(DownloadRequest(1, {})));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(host.State(), 7);
  EXPECT_TRUE(host.Chip().StoredImage().empty());

  host.Chip().SetFaults({});
  EXPECT_EQ(host.SettledState(), 2);
  EXPECT_EQ(host.Chip().StoredImage(), Bytes(50, 3));
}

// Faults that keep the chip quiet: nothing but the chip's own SYNC may arrive
// while they hold, and the link comes up once they are lifted.
TEST(BluetoothChipFaults, SilentChipRecoversWhenFaultIsLifted) {
  struct Case {
    const char* name;
    CEmuBluetoothChip::Faults faults;
    bool afterResetIntoLoader;
  };
  CEmuBluetoothChip::Faults linkNeverUp;
  linkNeverUp.linkNeverUp = true;
  CEmuBluetoothChip::Faults stopResponding;
  stopResponding.stopResponding = true;
  CEmuBluetoothChip::Faults neverReturns;
  neverReturns.neverReturns = CEmuBluetoothChip::EResetFault::IntoLoader;
  const Case cases[] = {{"link never up", linkNeverUp, false},
                        {"stop responding", stopResponding, false},
                        {"never returns after reset", neverReturns, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CChipHarness host;
    if (c.afterResetIntoLoader) {
      ASSERT_TRUE(host.Establish());
      host.Chip().SetFaults(c.faults);
      ASSERT_TRUE(host.Request(kReset));
    } else {
      host.Chip().SetFaults(c.faults);
    }
    for (int i = 0; i < 10; ++i) {
      host.Send(HostLinkFrame(kSync));
      while (auto frame = host.Next(kRetry)) EXPECT_FALSE(IsLinkMessage(*frame, kSyncResp));
    }
    host.Chip().SetFaults({});
    EXPECT_TRUE(host.Establish());
    EXPECT_EQ(host.Chip().RunningLoader(), c.afterResetIntoLoader);
  }
}

}  // namespace
