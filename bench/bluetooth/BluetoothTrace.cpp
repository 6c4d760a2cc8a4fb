#include "bench/bluetooth/BluetoothTrace.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>
#include <span>
#include <utility>

#include "bluetooth/testing/BcspFrames.h"

namespace {

constexpr std::uint8_t kDelimiter = 0xC0;
constexpr std::uint8_t kUartData = 0x28;
constexpr std::uint8_t kLinkChannel = 1;
constexpr std::uint8_t kDfuChannel = 12;
constexpr std::size_t kStatusReplyLength = 10;  // 4-byte result, 6-byte DFU status
constexpr std::size_t kStatusStateOffset = 8;

std::optional<std::string> Field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return std::nullopt;
  std::size_t start = at + key.size();
  if (start < line.size() && line[start] == '"') {
    const std::size_t end = line.find('"', start + 1);
    if (end == std::string::npos) return std::nullopt;
    return line.substr(start + 1, end - start - 1);
  }
  const std::size_t end = line.find_first_of(",}", start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A frame with what the frames before it tell about it.
struct Frame : bcsp_test::Frame {
  bool retransmission = false;  // equal to the reliable frame before it
};

// Cuts one direction's UART bytes into frames as they arrive.
class CFrameCutter {
 public:
  explicit CFrameCutter(FrameStats& stats) : m_stats(stats) {}

  // Feeds bytes; returns the frames completed by them.
  std::vector<Frame> Feed(std::span<const std::uint8_t> bytes) {
    std::vector<Frame> done;
    for (const std::uint8_t byte : bytes) {
      ++m_stats.wireBytes;
      if (std::optional<bcsp_test::Decoded> decoded = m_reader.Feed(byte)) Finish(std::move(*decoded), done);
    }
    return done;
  }

 private:
  void Finish(bcsp_test::Decoded decoded, std::vector<Frame>& done) {
    if (decoded.fault != bcsp_test::Fault::None) {
      ++m_stats.damaged;
      return;
    }
    Frame frame{std::move(decoded.frame)};
    ++m_stats.frames;
    if (frame.channel == kLinkChannel) {
      ++m_stats.linkEstablishment;
    } else if (frame.channel == 0 && frame.payload.empty()) {
      ++m_stats.pureAcks;
    }
    if (frame.reliable) {
      ++m_stats.reliable;
      frame.retransmission = m_lastReliable && m_lastReliable->seq == frame.seq &&
                             m_lastReliable->channel == frame.channel && m_lastReliable->payload == frame.payload;
      if (frame.retransmission) ++m_stats.retransmissions;
      m_lastReliable = frame;
    }
    done.push_back(std::move(frame));
  }

  FrameStats& m_stats;
  bcsp_test::CFrameReader m_reader;
  std::optional<Frame> m_lastReliable;
};

}  // namespace

bool ParseTraceLine(const std::string& line, TraceRecord& record) {
  const std::optional<std::string> time = Field(line, "t_ms");
  const std::optional<std::string> dir = Field(line, "dir");
  const std::optional<std::string> kind = Field(line, "kind");
  if (!time || !dir || !kind) return false;
  record.tMs = std::strtod(time->c_str(), nullptr);
  record.dir = *dir;
  record.kind = *kind;
  record.bytes.clear();
  if (const std::optional<std::string> hex = Field(line, "hex")) {
    record.bytes.reserve(hex->size() / 2);
    for (std::size_t i = 0; i + 1 < hex->size(); i += 2) {
      const int high = HexDigit((*hex)[i]);
      const int low = HexDigit((*hex)[i + 1]);
      if (high < 0 || low < 0) return false;
      record.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
  }
  return true;
}

BluetoothTraceStats AnalyseBluetoothTrace(const std::vector<std::string>& lines, double classRequestMs) {
  BluetoothTraceStats stats;
  CFrameCutter hostCutter(stats.host);
  CFrameCutter chipCutter(stats.chip);
  std::set<int> blocks;

  // The request whose answer is awaited, and whether its frame continues.
  double requestAt = -1;
  bool requestIsUart = false;
  bool frameContinues = false;
  double continueFrom = -1;  // answer of a report whose frame continues
  double chipAnswerAt = -1;  // a chip answer the host has yet to react to
  bool hostSleepsNext = false;

  TraceRecord record;
  for (const std::string& line : lines) {
    if (!ParseTraceLine(line, record)) continue;
    stats.endMs = record.tMs;
    const auto& b = record.bytes;
    if (!stats.found) {
      if (record.dir == "h2d" && b.size() >= 3 && b[1] == 0x3E && b[2] == 0x06) {
        stats.found = true;
        stats.bridgeOnMs = record.tMs;
      }
      continue;
    }
    if (record.dir == "h2d" && b.size() >= 3 && b[1] == 0x3E && b[2] == 0x07) {
      stats.bridgeOffMs = record.tMs;
      break;
    }

    if (record.dir == "h2d" && (record.kind == "SET_OUTPUT" || record.kind == "OUTPUT")) {
      requestAt = record.tMs;
      requestIsUart = b.size() >= 4 && b[1] == kUartData;
      if (!requestIsUart) {
        ++stats.otherTransfers;
        continue;
      }
      if (continueFrom >= 0) {
        stats.turnaroundMsTotal += record.tMs - continueFrom;
        ++stats.turnarounds;
        continueFrom = -1;
      }
      if (chipAnswerAt >= 0) {
        const double reaction = record.tMs - chipAnswerAt;
        stats.reactionMsTotal += reaction;
        stats.reactionMsMax = std::max(stats.reactionMsMax, reaction);
        ++stats.reactions;
        chipAnswerAt = -1;
      }
      ++stats.hostUartReports;
      const std::size_t count = std::min<std::size_t>(b[3], b.size() - 4);
      const std::span<const std::uint8_t> data(b.data() + 4, count);
      frameContinues = count > 0 && (data.back() != kDelimiter || count == 1);
      for (const Frame& frame : hostCutter.Feed(data)) {
        if (frame.channel == kDfuChannel && frame.payload.size() >= 8 && frame.payload[0] == 0x21 &&
            frame.payload[1] == 0x01) {
          ++stats.host.downloadFrames;
          blocks.insert(frame.payload[2] | (frame.payload[3] << 8));
        }
        // After the opening message's answer and each reset's answer the host sleeps on purpose.
        if (frame.reliable && frame.channel >= 2) {
          hostSleepsNext = frame.channel != kDfuChannel ||
                           (frame.payload.size() >= 2 && frame.payload[0] == 0x41 && frame.payload[1] == 0x07);
        }
      }
      continue;
    }
    if (record.dir == "d2h" && (record.kind == "SET_OUTPUT_DONE" || record.kind == "OUTPUT_DONE")) {
      if (requestAt >= 0 && requestIsUart) {
        stats.answerLatenessMsTotal += std::max(0.0, record.tMs - requestAt - classRequestMs);
        if (frameContinues) continueFrom = record.tMs;
      }
      requestAt = -1;
      continue;
    }
    if (record.dir == "d2h" && record.kind == "INPUT_REPORT" && b.size() >= 4 && b[2] == kUartData) {
      ++stats.chipUartReports;
      const std::size_t count = std::min<std::size_t>(b[3], b.size() - 4);
      for (const Frame& frame : chipCutter.Feed(std::span<const std::uint8_t>(b.data() + 4, count))) {
        if (!frame.reliable || frame.channel < 2) continue;
        bool busy = false;
        if (frame.channel == kDfuChannel && frame.payload.size() == kStatusReplyLength) {
          const int state = frame.payload[kStatusStateOffset];
          if (!frame.retransmission) ++stats.statusStates[state];
          busy = state != 2 && state != 5 && state != 10;
        }
        chipAnswerAt = busy || hostSleepsNext ? -1 : record.tMs;
      }
    }
  }
  stats.host.downloadBlocks = blocks.size();
  return stats;
}
