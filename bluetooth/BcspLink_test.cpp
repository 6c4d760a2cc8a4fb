#include "bluetooth/BcspLink.h"

#include <gtest/gtest.h>

#include <string_view>

#include "bluetooth/UartBridge.h"
#include "bluetooth/testing/TestChip.h"

namespace {

using bcsp_test::EncodeFrame;

const Bytes kSync{0xDA, 0xDC, 0xED, 0xED};
const Bytes kSyncResp{0xAC, 0xAF, 0xEF, 0xEE};
const Bytes kConf{0xAD, 0xEF, 0xAC, 0xED};
const Bytes kConfResp{0xDE, 0xAD, 0xD0, 0xD0};

// Splits the wire into frames, each with its two delimiters.
std::vector<Bytes> FramesOf(const Bytes& wire) {
  std::vector<Bytes> frames;
  Bytes frame;
  for (const std::uint8_t byte : wire) {
    frame.push_back(byte);
    if (byte == 0xC0 && frame.size() > 1) {
      frames.push_back(frame);
      frame.clear();
    }
  }
  return frames;
}

Bytes LinkFrame(const Bytes& message) { return EncodeFrame({.channel = 1, .payload = message}); }

class BcspLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    UartBridgeSetHandle(m_device);
    DrainHostQueue();
    BcspLink = BcspLinkContext{};
    BcspLinkReset();
    m_rx.data = m_rxBuffer.data();
    Arm(128);
    m_tx.data = m_txBuffer.data();
  }
  void TearDown() override {
    BcspLink = BcspLinkContext{};
    UartBridgeSetHandle(nullptr);
    DrainHostQueue();
  }

  void Arm(std::uint16_t capacity) {
    m_rx.length = capacity;
    BcspArmReceive(&m_rx);
  }
  static void MakeActive() {
    BcspLink.linkState = BCSP_LINK_ACTIVE;
    BcspLink.leNext = BCSP_LE_NONE;
    BcspLink.leEvent = BCSP_LE_EVENT_NONE;
  }
  // Pumps `calls` times; returns every event bit seen.
  static std::uint8_t Pump(int calls = 1) {
    std::uint8_t all = 0;
    for (int i = 0; i < calls; ++i) {
      std::uint8_t events = 0;
      BcspPump(&events);
      all |= events;
    }
    return all;
  }
  // Pumps until every received byte has been taken (a call that starts a
  // link-establishment frame takes none); returns every event bit seen.
  static std::uint8_t PumpUntilReceived() {
    std::uint8_t all = 0;
    for (int i = 0; i < 10 && UartRxPending(); ++i) all |= Pump();
    EXPECT_FALSE(UartRxPending());
    return all;
  }
  void QueueReliable(std::uint8_t channel, const Bytes& payload) {
    std::copy(payload.begin(), payload.end(), m_txBuffer.begin());
    m_tx.channel = channel;
    m_tx.reliable = 1;
    m_tx.length = static_cast<std::uint16_t>(payload.size());
    BcspQueuePacket(&m_tx);
  }
  // Sends the queued packet completely (four calls), then forgets the wire.
  void SendQueuedFrame() {
    Pump(4);
    m_device->ClearSent();
  }

  std::shared_ptr<CFakeHidDevice> m_device = std::make_shared<CFakeHidDevice>();
  std::array<std::uint8_t, 128> m_rxBuffer{};
  std::array<std::uint8_t, 1100> m_txBuffer{};
  BcspPacket m_rx;
  BcspPacket m_tx;
};

TEST(BcspCrc, MatchesTheCheckValueAndAnIndependentBitwiseCrc) {
  std::uint16_t crc = 0xFFFF;
  for (const char c : std::string_view("123456789")) crc = BcspCrcUpdate(crc, static_cast<std::uint8_t>(c));
  EXPECT_EQ(crc, 0x6F91);
  EXPECT_EQ(BcspCrcReverse(crc), 0x89F6);
  EXPECT_EQ(kBcspCrcTable[1], 0x1081);
  EXPECT_EQ(kBcspCrcTable[15], 0xF78F);

  Bytes data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  crc = 0xFFFF;
  for (const std::uint8_t byte : data) crc = BcspCrcUpdate(crc, byte);
  EXPECT_EQ(crc, bcsp_test::CrcRegister(data));
  EXPECT_EQ(BcspCrcReverse(crc), bcsp_test::CrcTrailer(data));
}

TEST_F(BcspLinkTest, LinkEstablishmentFramesOnTheWire) {
  struct Case {
    std::uint8_t message;
    Bytes wire;
  };
  const Case cases[] = {
      {BCSP_LE_SYNC, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0}},
      {BCSP_LE_SYNC_RESP, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC, 0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0}},
      {BCSP_LE_CONF, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAD, 0xEF, 0xAC, 0xED, 0xA1, 0xA6, 0xC0}},
      {BCSP_LE_CONF_RESP, {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.message));
    BcspLinkReset();
    BcspLink.txSeq = 5;  // never shows in a link-establishment header
    BcspLink.rxExpected = 3;
    BcspLink.leNext = c.message;
    m_device->ClearSent();
    std::uint8_t events = 0;
    EXPECT_EQ(BcspPump(&events), 0);  // the opening call returns at once
    EXPECT_TRUE(m_device->Sent().empty());  // the opening delimiter starts the report
    Pump(3);
    EXPECT_EQ(m_device->Sent().size(), 1u);  // the closing delimiter sends it
    EXPECT_EQ(WireBytes(*m_device), c.wire);
  }
}

TEST_F(BcspLinkTest, DataFrameAndPureAcknowledgementOnTheWire) {
  MakeActive();
  QueueReliable(12, {0xC1, 0x08, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00});
  std::int8_t countdowns[4];
  for (std::int8_t& countdown : countdowns) {
    std::uint8_t events = 0;
    countdown = BcspPump(&events);
  }
  EXPECT_EQ(WireBytes(*m_device),
            (Bytes{0xC0, 0xDB, 0xDC, 0x8C, 0x00, 0xB3, 0xC1, 0x08, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x1F, 0x2A, 0xC0}));
  EXPECT_EQ(countdowns[0] + countdowns[1] + countdowns[2], 0);
  EXPECT_EQ(countdowns[3], kBcspIdleCalls);

  BcspQueuePacket(nullptr);
  BcspLinkReset();
  MakeActive();
  m_device->ClearSent();
  BcspLink.rxExpected = 1;
  BcspLink.ackPending = true;
  Pump(3);
  EXPECT_EQ(WireBytes(*m_device), (Bytes{0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0}));
}

// An acknowledgement owed to the chip goes out alone, ahead of a queued packet
// whose frame needs more than one report (52 payload bytes + 8 fill one), and
// that packet follows on the next call; a shorter one carries it in its header.
TEST_F(BcspLinkTest, AcknowledgementGoesAheadOfAFrameLongerThanOneReport) {
  struct Case {
    const char* name;
    std::size_t payload;
    bool queuedDuringAck;  // the packet replaces an acknowledgement already begun
    bool ackAhead;
  };
  const Case cases[] = {
      {"fits one report", 52, false, false},
      {"longer than one report", 53, false, true},
      {"download block", 1031, false, true},
      {"queued while the acknowledgement was under way", 1031, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BcspLinkReset();
    MakeActive();
    Arm(128);
    Pump();  // idle: the countdown runs
    m_device->ClearSent();
    PushToHost(EncodeFrame({.seq = 0, .reliable = true, .channel = 12, .payload = {0x55}}));
    std::uint8_t events = 0;
    ASSERT_EQ(BcspPump(&events), 0);
    ASSERT_EQ(events & BCSP_EVENT_RX_PACKET, BCSP_EVENT_RX_PACKET);
    Bytes payload(c.payload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    if (c.queuedDuringAck) Pump();  // starts the acknowledgement that the packet abandons
    QueueReliable(12, payload);

    const Bytes ack = EncodeFrame({.ack = 1, .channel = 0, .payload = {}});
    const Bytes data = EncodeFrame({.seq = 0, .ack = 1, .reliable = true, .channel = 12, .payload = payload});
    const int calls = c.ackAhead ? 3 + 4 : 4;  // no idle calls between the two frames
    Pump(calls);
    Bytes wire = WireBytes(*m_device);
    // The acknowledgement shares the packet's first report: every report but the last is full.
    EXPECT_EQ(m_device->Sent().size(), (wire.size() + kUartReportDataMax - 1) / kUartReportDataMax);
    if (c.queuedDuringAck) {
      ASSERT_EQ(wire.at(0), 0xC0);  // the abandoned frame's opening delimiter, an empty frame for the chip
      wire.erase(wire.begin());
    }
    std::vector<Bytes> expected{data};
    if (c.ackAhead) expected.insert(expected.begin(), ack);
    EXPECT_EQ(FramesOf(wire), expected);
    EXPECT_FALSE(BcspLink.ackPending);
    BcspQueuePacket(nullptr);
  }
}

// On a slow bus the chip's answer is often there before the request's last
// report has gone: taken in the call that completes the frame, it still lets
// the next request go on the next call instead of after ten idle calls.
TEST_F(BcspLinkTest, AnswerTakenWithTheFramesLastSegmentLetsTheNextFrameGoAtOnce) {
  MakeActive();
  QueueReliable(12, {0xA1, 0x03, 0, 0, 0, 0, 0x06, 0});
  Pump(3);
  PushToHost(EncodeFrame({.seq = 0, .ack = 1, .reliable = true, .channel = 12, .payload = {0x00, 0x11}}));
  std::uint8_t events = 0;
  EXPECT_EQ(BcspPump(&events), 0);
  EXPECT_EQ(events, BCSP_EVENT_TX_DONE | BCSP_EVENT_RX_PACKET | BCSP_EVENT_RX_RELIABLE);
  m_device->ClearSent();
  Arm(128);
  QueueReliable(12, {0x21, 0x04, 0, 0, 0, 0, 0, 0});
  Pump(4);
  EXPECT_EQ(WireBytes(*m_device), EncodeFrame({.seq = 1, .ack = 1, .reliable = true, .channel = 12,
                                               .payload = {0x21, 0x04, 0, 0, 0, 0, 0, 0}}));
}

TEST_F(BcspLinkTest, UnacknowledgedPacketIsSentAgainUnchangedAfterTenIdleCalls) {
  MakeActive();
  QueueReliable(12, {0x21, 0x04, 0, 0, 0, 0, 0, 0});
  Pump(4);
  const Bytes first = WireBytes(*m_device);
  std::vector<int> idle;
  for (int i = 0; i < 10; ++i) {
    std::uint8_t events = 0;
    idle.push_back(BcspPump(&events));
  }
  EXPECT_EQ(idle, (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(WireBytes(*m_device), first);  // nothing sent while idle
  Pump(4);
  Bytes twice = first;
  twice.insert(twice.end(), first.begin(), first.end());
  EXPECT_EQ(WireBytes(*m_device), twice);
}

TEST_F(BcspLinkTest, OnlyTheNextSequenceNumberAcknowledgesThePacketInFlight) {
  struct Case {
    const char* name;
    std::uint8_t txSeq;
    std::uint8_t channel;
    std::uint8_t ack;
    Bytes payload;
    bool acknowledged;
  };
  const Case cases[] = {
      {"ack equal to seq: not received", 0, 12, 0, {}, false},
      {"next seq", 0, 12, 1, {}, true},
      {"damaged ack", 0, 12, 3, {}, false},
      {"next seq across the wrap", 7, 0, 0, {}, true},
      {"link establishment frame after seq 7", 7, 1, 0, kConfResp, false},
      {"link establishment frame after seq 0", 0, 1, 1, kConf, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BcspLinkReset();
    MakeActive();
    Arm(128);
    BcspLink.txSeq = c.txSeq;
    QueueReliable(12, {1, 2, 3, 4, 5, 6, 7, 8});
    SendQueuedFrame();
    PushToHost(EncodeFrame({.ack = c.ack, .channel = c.channel, .payload = c.payload}));
    const std::uint8_t events = Pump();
    EXPECT_EQ((events & BCSP_EVENT_TX_DONE) != 0, c.acknowledged);
    EXPECT_EQ(BcspLink.txQueued == nullptr, c.acknowledged);
    EXPECT_EQ(BcspLink.txSeq, c.acknowledged ? ((c.txSeq + 1) & 7) : c.txSeq);
    DrainHostQueue();
  }
}

TEST_F(BcspLinkTest, FramesWithoutPayloadAcknowledgeButAreNeverDelivered) {
  for (const bool crc : {true, false}) {
    SCOPED_TRACE(crc ? "with CRC" : "without CRC");
    BcspLinkReset();
    MakeActive();
    Arm(128);
    QueueReliable(12, {1, 2, 3, 4, 5, 6, 7, 8});
    SendQueuedFrame();
    PushToHost(EncodeFrame({.ack = 1, .crc = crc, .channel = 12, .payload = {}}));
    PushToHost(EncodeFrame({.seq = 0, .ack = 1, .reliable = true, .crc = crc, .channel = 12, .payload = {}}));
    const std::uint8_t events = Pump();
    EXPECT_EQ(events, BCSP_EVENT_TX_DONE);
    EXPECT_EQ(BcspLink.rxArmed, &m_rx);
    EXPECT_EQ(BcspLink.rxExpected, 0);
  }
}

TEST_F(BcspLinkTest, ReceiveCapacityKeepsRoomForTheCrc) {
  struct Case {
    std::size_t payload;
    bool crc;
    bool delivered;
  };
  const Case cases[] = {{126, true, true}, {127, true, false}, {128, false, true}, {129, false, false}, {1, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.payload << (c.crc ? " with CRC" : " without CRC"));
    BcspLinkReset();
    MakeActive();
    Arm(128);
    Bytes payload(c.payload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0xB0 + i);  // includes C0 and DB
    PushToHost(EncodeFrame({.crc = c.crc, .channel = 12, .payload = payload}));
    const std::uint8_t events = Pump();
    EXPECT_EQ((events & BCSP_EVENT_RX_PACKET) != 0, c.delivered);
    if (c.delivered) {
      EXPECT_EQ(m_rx.length, c.payload);
      EXPECT_EQ(m_rx.channel, 12);
      EXPECT_EQ(m_rx.reliable, 0);
      EXPECT_EQ(Bytes(m_rxBuffer.begin(), m_rxBuffer.begin() + c.payload), payload);
      EXPECT_EQ(BcspLink.rxArmed, nullptr);
    }
  }
}

TEST_F(BcspLinkTest, ReliablePacketsAreDeliveredInSequenceAndAcknowledged) {
  MakeActive();
  PushToHost(EncodeFrame({.seq = 1, .reliable = true, .channel = 12, .payload = {0x11}}));
  EXPECT_EQ(Pump() & BCSP_EVENT_RX_PACKET, 0);
  EXPECT_EQ(BcspLink.rxExpected, 0);
  Pump(19);  // the acknowledgement, with the unchanged expectation, at the next transmit opportunity
  EXPECT_EQ(WireBytes(*m_device), EncodeFrame({.ack = 0, .channel = 0, .payload = {}}));

  m_device->ClearSent();
  PushToHost(EncodeFrame({.seq = 0, .reliable = true, .channel = 12, .payload = {0x22}}));
  std::uint8_t events = 0;
  EXPECT_EQ(BcspPump(&events), 0);  // idle link: the acknowledgement goes out on the next call
  EXPECT_EQ(events, BCSP_EVENT_RX_PACKET | BCSP_EVENT_RX_RELIABLE);
  EXPECT_EQ(m_rxBuffer[0], 0x22);
  Pump(3);
  EXPECT_EQ(WireBytes(*m_device), EncodeFrame({.ack = 1, .channel = 0, .payload = {}}));
}

TEST_F(BcspLinkTest, DamagedFramesAreDroppedAndTheNextOneIsTaken) {
  MakeActive();
  Bytes badChecksum = EncodeFrame({.channel = 12, .payload = {0x01, 0x02}});
  badChecksum[4] ^= 0x01;
  Bytes badCrc = EncodeFrame({.channel = 12, .payload = {0x01, 0x02}});
  badCrc[5] ^= 0x01;
  Bytes badEscape = EncodeFrame({.channel = 12, .payload = {0x01, 0x02}});
  badEscape.insert(badEscape.begin() + 5, {0xDB, 0x01});
  Bytes escapeThenDelimiter = {0xC0, 0x40, 0xDB};  // a delimiter still ends the damaged frame
  for (const Bytes& damaged : {badChecksum, badCrc, badEscape, escapeThenDelimiter}) {
    Arm(128);
    BcspLink.ackPending = false;
    PushToHost(damaged);
    PushToHost(EncodeFrame({.channel = 12, .payload = {0x33, 0xC0, 0xDB}}));
    const std::uint8_t events = Pump();
    EXPECT_EQ(events, BCSP_EVENT_RX_PACKET);
    EXPECT_EQ(m_rx.length, 3);
    EXPECT_EQ((Bytes{m_rxBuffer[0], m_rxBuffer[1], m_rxBuffer[2]}), (Bytes{0x33, 0xC0, 0xDB}));
    EXPECT_TRUE(BcspLink.ackPending);  // asks the chip to send again
  }
}

TEST_F(BcspLinkTest, BytesWaitInTheQueueWhileNoDescriptorIsArmed) {
  MakeActive();
  BcspArmReceive(nullptr);
  PushToHost(EncodeFrame({.channel = 12, .payload = {0x44}}));
  EXPECT_EQ(Pump(), 0);
  EXPECT_TRUE(UartRxPending());
  Arm(128);
  EXPECT_EQ(Pump(), BCSP_EVENT_RX_PACKET);
}

TEST_F(BcspLinkTest, PeerResetReturnsExactlyThePeerResetEventAndRestartsWithSync) {
  MakeActive();
  BcspLink.txSeq = 3;
  BcspLink.rxExpected = 2;
  QueueReliable(12, {1, 2, 3, 4, 5, 6, 7, 8});
  SendQueuedFrame();
  PushToHost(LinkFrame(kSync));
  std::uint8_t events = 0;
  BcspPump(&events);
  EXPECT_EQ(events, BCSP_EVENT_PEER_RESET);
  EXPECT_EQ(BcspLink.linkState, BCSP_LINK_UNINITIALIZED);
  EXPECT_EQ(BcspLink.txSeq, 0);
  EXPECT_EQ(BcspLink.rxExpected, 0);
  Pump(4);
  EXPECT_EQ(FramesOf(WireBytes(*m_device)), std::vector<Bytes>{LinkFrame(kSync)});

  // A CONF still to be answered at a reset is forgotten: the new link set-up
  // goes on sending SYNC rather than stopping after the first.
  MakeActive();
  BcspLink.leEvent = BCSP_LE_EVENT_CONF;
  BcspLinkReset();
  m_device->ClearSent();
  Pump(30);
  const std::vector<Bytes> frames = FramesOf(WireBytes(*m_device));
  EXPECT_GE(frames.size(), 2u);
  EXPECT_EQ(std::count(frames.begin(), frames.end(), LinkFrame(kSync)), std::ssize(frames)) << "nothing but SYNC";
}

TEST_F(BcspLinkTest, HandshakeFollowsTheTableUpToActive) {
  Pump(4);
  EXPECT_EQ(FramesOf(WireBytes(*m_device)), std::vector<Bytes>{LinkFrame(kSync)});

  // The chip's SYNC is answered with SYNC RESP (after the SYNC already scheduled).
  PushToHost(LinkFrame(kSync));
  m_device->ClearSent();
  Pump(20);
  EXPECT_EQ(FramesOf(WireBytes(*m_device)), (std::vector<Bytes>{LinkFrame(kSync), LinkFrame(kSyncResp)}));

  // The chip's SYNC RESP makes the link Initialized; from then on CONF is sent.
  PushToHost(LinkFrame(kSyncResp));
  PumpUntilReceived();
  EXPECT_EQ(BcspLink.linkState, BCSP_LINK_INITIALIZED);
  m_device->ClearSent();
  Pump(40);
  std::vector<Bytes> frames = FramesOf(WireBytes(*m_device));
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), LinkFrame(kConf));

  // A payload that only starts like CONF RESP changes nothing.
  Bytes longer = kConfResp;
  longer.push_back(0x00);
  PushToHost(LinkFrame(longer));
  EXPECT_EQ(PumpUntilReceived() & BCSP_EVENT_TX_DONE, 0);
  EXPECT_EQ(BcspLink.linkState, BCSP_LINK_INITIALIZED);

  PushToHost(LinkFrame(kConfResp));
  EXPECT_EQ(PumpUntilReceived() & BCSP_EVENT_TX_DONE, BCSP_EVENT_TX_DONE);
  EXPECT_EQ(BcspLink.linkState, BCSP_LINK_ACTIVE);

  // Once Active and the scheduled message is out, only a CONF from the chip
  // makes the host send anything: CONF RESP.
  Pump(40);
  EXPECT_EQ(BcspLink.leNext, BCSP_LE_NONE);
  m_device->ClearSent();
  Pump(40);
  EXPECT_TRUE(WireBytes(*m_device).empty());
  PushToHost(LinkFrame(kConf));
  Pump(20);
  EXPECT_EQ(FramesOf(WireBytes(*m_device)), std::vector<Bytes>{LinkFrame(kConfResp)});
  EXPECT_EQ(m_rx.length, 128);  // link messages are never delivered
}

}  // namespace
