// Arbitrary UART data reports from the device, pushed through the bridge's
// receive ring into the BCSP link with an armed receive descriptor.
//
// Input: byte 0 flags, bytes 1..2 the first descriptor's capacity (little-endian,
// cut to kCapacityLimit), then records: one length byte L, then up to L bytes
// that form one input report exactly as received (any length, any count byte).
//
// Flags: bit 0 starts with the link already Active (so data packets are
// delivered without a handshake first), bit 1 queues a reliable packet to send
// (so acknowledgements are matched), bit 2 checks the bridge alone: after each
// report the ring is drained and compared with the bytes the report may carry.
// Bit 3 builds frames instead: each record is then control, header byte 0,
// channel, payload length L and L payload bytes, and is sent as a SLIP frame
// with a correct header checksum and CRC unless the control byte damages them,
// so the fuzzer reaches the sequence and delivery logic behind the CRC.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bluetooth/BcspLink.h"
#include "bluetooth/UartBridge.h"
#include "bluetooth/testing/BcspFrames.h"
#include "fuzz/FuzzCheck.h"

namespace {

constexpr std::size_t kCapacityLimit = 1100;
constexpr std::uint8_t kUartDataGroup = 0x28;
constexpr int kPumpsPerReport = 3;

void DrainRing() {
  std::uint8_t byte = 0;
  while (UartGetByte(byte)) {
  }
}

// The bytes a report adds to an empty ring: byte 3 is the device's claim and is
// believed only as far as the report's own length and 28 bytes allow.
std::span<const std::uint8_t> ExpectedUartBytes(std::span<const std::uint8_t> report) {
  if (report.size() < 4 || report[2] != kUartDataGroup) return {};
  const std::size_t count = std::min({static_cast<std::size_t>(report[3]), kUartInputDataMax, report.size() - 4});
  return report.subspan(4, count);
}

void CheckBridge(std::span<const std::uint8_t> report) {
  UartRxPush(report);
  const auto expected = ExpectedUartBytes(report);
  for (const std::uint8_t want : expected) {
    std::uint8_t got = 0;
    FUZZ_CHECK(UartGetByte(got));
    FUZZ_CHECK(got == want);
  }
  FUZZ_CHECK(!UartRxPending());
}

// The receive descriptor's buffer is an allocation of exactly its capacity, so
// the address sanitizer reports any write past it.
struct Receiver {
  std::unique_ptr<std::uint8_t[]> buffer;
  std::uint16_t capacity = 0;
  BcspPacket packet;

  void Arm(std::uint16_t newCapacity) {
    capacity = newCapacity;
    buffer = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(capacity, 1));
    packet = BcspPacket{};
    packet.data = capacity > 0 ? buffer.get() : nullptr;
    packet.length = capacity;
    BcspArmReceive(&packet);
  }
};

// Control bits: 0 spoils the CRC, 1 makes the header claim another length
// (bits 2..4 minus 4 added), 5 leaves out the closing delimiter; bits 6..7
// choose the report size (1, 10, 19 or 28 UART bytes).
struct BuiltFrame {
  std::vector<std::uint8_t> wire;
  std::size_t chunk = 28;
};

BuiltFrame BuildFrame(std::uint8_t control, std::uint8_t flagsByte, std::uint8_t channel,
                      std::span<const std::uint8_t> payload) {
  const bcsp_test::Frame fields{.seq = static_cast<std::uint8_t>(flagsByte & 0x07),
                                .ack = static_cast<std::uint8_t>((flagsByte >> 3) & 0x07),
                                .reliable = (flagsByte & 0x80) != 0, .crc = (flagsByte & 0x40) != 0,
                                .channel = channel, .payload = {payload.begin(), payload.end()}};
  std::optional<std::size_t> claimed;
  if (control & 0x02) claimed = (payload.size() + ((control >> 2) & 0x07) + 0x1000 - 4) & 0x0FFF;
  std::vector<std::uint8_t> body = bcsp_test::FrameBody(fields, claimed);
  if (fields.crc && (control & 0x01)) body[body.size() - 2] ^= 0x01;
  BuiltFrame frame{.wire = bcsp_test::SlipEncode(body), .chunk = 1 + 9 * static_cast<std::size_t>(control >> 6)};
  if (control & 0x20) frame.wire.pop_back();
  return frame;
}

void PumpOnce(Receiver& receiver, BcspPacket& tx, std::span<const std::uint8_t> txPayload) {
  std::uint8_t events = 0;
  const std::int8_t idle = BcspPump(&events);
  FUZZ_CHECK(idle >= 0 && idle <= kBcspIdleCalls);
  FUZZ_CHECK(BcspLink.rxCount >= -4 && BcspLink.rxCount <= receiver.capacity);
  FUZZ_CHECK(BcspLink.linkState <= BCSP_LINK_ACTIVE);
  // The packet to send is only ever read.
  FUZZ_CHECK(std::equal(txPayload.begin(), txPayload.end(), tx.data));

  if (events & BCSP_EVENT_RX_PACKET) {
    const BcspPacket& rx = receiver.packet;
    FUZZ_CHECK(BcspLink.rxArmed == nullptr);
    FUZZ_CHECK(BcspLink.linkState == BCSP_LINK_ACTIVE);
    FUZZ_CHECK(rx.length > 0 && rx.length <= receiver.capacity);
    FUZZ_CHECK(rx.channel <= 15 && rx.channel != BCSP_LE_CHANNEL);
    // The header of the delivered frame is still in place: with a CRC the
    // trailer took two of the buffer's bytes.
    if (BcspLink.rxHeader[0] & 0x40) FUZZ_CHECK(rx.length + 2 <= receiver.capacity);
    // Re-arm with a capacity taken from the packet, so small descriptors follow large ones.
    receiver.Arm(static_cast<std::uint16_t>((rx.length * 7 + rx.data[0]) % 64));
  } else {
    FUZZ_CHECK(BcspLink.rxArmed == &receiver.packet);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t flags = data[0];
  const auto firstCapacity = static_cast<std::uint16_t>((data[1] | data[2] << 8) % (kCapacityLimit + 1));
  std::span<const std::uint8_t> rest(data + 3, size - 3);

  UartBridgeSetHandle(nullptr);  // the host's own frames go nowhere
  DrainRing();
  BcspLink = BcspLinkContext{};
  BcspLinkReset();
  if (flags & 0x01) {
    BcspLink.linkState = BCSP_LINK_ACTIVE;
    BcspLink.leNext = BCSP_LE_NONE;
  }

  Receiver receiver;
  receiver.Arm(firstCapacity);

  std::vector<std::uint8_t> txBuffer{0x11, 0xC0, 0xDB, 0x22};
  const std::vector<std::uint8_t> txPayload = txBuffer;
  BcspPacket tx{.channel = 12, .reliable = 1, .length = static_cast<std::uint16_t>(txBuffer.size()),
                .data = txBuffer.data()};
  if (flags & 0x02) BcspQueuePacket(&tx);

  const bool bridgeOnly = (flags & 0x04) != 0;
  if (flags & 0x08) {
    while (rest.size() >= 4) {
      const std::size_t length = std::min<std::size_t>(rest[3], rest.size() - 4);
      const BuiltFrame frame = BuildFrame(rest[0], rest[1], rest[2], rest.subspan(4, length));
      rest = rest.subspan(4 + length);
      for (std::size_t at = 0; at < frame.wire.size(); at += frame.chunk) {
        const std::size_t count = std::min(frame.chunk, frame.wire.size() - at);
        std::vector<std::uint8_t> report{0, 0, kUartDataGroup, static_cast<std::uint8_t>(count)};
        report.insert(report.end(), frame.wire.begin() + static_cast<std::ptrdiff_t>(at),
                      frame.wire.begin() + static_cast<std::ptrdiff_t>(at + count));
        UartRxPush(report);
        for (int i = 0; i < kPumpsPerReport; ++i) PumpOnce(receiver, tx, txPayload);
      }
    }
    rest = {};
  }
  while (!rest.empty()) {
    const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 1);
    // Each report is copied to an allocation of exactly its length.
    const std::vector<std::uint8_t> report(rest.begin() + 1, rest.begin() + 1 + static_cast<std::ptrdiff_t>(length));
    rest = rest.subspan(1 + length);
    if (bridgeOnly) {
      CheckBridge(report);
      continue;
    }
    UartRxPush(report);
    for (int i = 0; i < kPumpsPerReport; ++i) PumpOnce(receiver, tx, txPayload);
  }
  for (int i = 0; i < 64 && UartRxPending(); ++i) PumpOnce(receiver, tx, txPayload);

  BcspLink = BcspLinkContext{};  // nothing may keep pointing at this call's buffers
  DrainRing();
  return 0;
}
