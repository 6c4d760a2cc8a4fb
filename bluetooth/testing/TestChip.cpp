#include "bluetooth/testing/TestChip.h"

#include <algorithm>

#include "bluetooth/UartBridge.h"

void PushToHost(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t count = std::min<std::size_t>(bytes.size(), 28);
    std::uint8_t report[32] = {0x00, 0x00, 0x28, static_cast<std::uint8_t>(count)};
    std::copy_n(bytes.begin(), count, report + 4);
    UartRxPush(report);
    bytes = bytes.subspan(count);
  }
}

void DrainHostQueue() {
  std::uint8_t byte = 0;
  while (UartGetByte(byte)) {
  }
}

std::span<const std::uint8_t> UartBytesOf(std::span<const std::uint8_t> report) {
  if (report.size() < 4 || report[1] != 0x28) return {};
  return report.subspan(4, std::min<std::size_t>(report[3], report.size() - 4));
}

Bytes WireBytes(const CFakeHidDevice& device) {
  Bytes wire;
  for (const Bytes& report : device.Sent()) {
    const auto bytes = UartBytesOf(report);
    wire.insert(wire.end(), bytes.begin(), bytes.end());
  }
  return wire;
}

CTestChip::CTestChip(bool threaded) : m_threaded(threaded) {
  m_device->onSend = [this](const Bytes& report) {
    const auto bytes = UartBytesOf(report);
    if (bytes.empty()) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_threaded) {
      m_inbox.emplace_back(bytes.begin(), bytes.end());
      m_inboxSignal.notify_one();
    } else {
      OnHostBytes(bytes);
    }
  };
  if (m_threaded) m_worker = std::thread([this] { Worker(); });
}

CTestChip::~CTestChip() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_inboxSignal.notify_one();
  }
  if (m_worker.joinable()) m_worker.join();
  m_device->onSend = nullptr;
}

void CTestChip::Worker() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_inboxSignal.wait(lock, [this] { return m_stop || !m_inbox.empty(); });
    if (m_stop) return;
    const Bytes bytes = std::move(m_inbox.front());
    m_inbox.pop_front();
    OnHostBytes(bytes);
  }
}

std::vector<ChipRequest> CTestChip::Requests() const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

std::vector<std::uint8_t> CTestChip::RequestCodes() const {
  std::vector<std::uint8_t> codes;
  for (const ChipRequest& request : Requests()) {
    if (request.channel == 12) codes.push_back(request.request);
  }
  return codes;
}

Bytes CTestChip::ReceivedImage() const {
  Bytes image;
  for (const ChipRequest& request : Requests()) {
    if (request.channel == 12 && request.request == kReqDownload) {
      image.insert(image.end(), request.data.begin(), request.data.end());
    }
  }
  return image;
}

int CTestChip::BadFrames() const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  return m_badFrames;
}

void CTestChip::OnHostBytes(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    if (const std::optional<bcsp_test::Decoded> decoded = m_reader.Feed(byte)) OnFrame(*decoded);
  }
}

void CTestChip::OnFrame(const bcsp_test::Decoded& decoded) {
  using bcsp_test::Fault;
  if (decoded.fault == Fault::TooShort || decoded.fault == Fault::Length) return;  // an abandoned frame
  if (decoded.fault != Fault::None) {
    ++m_badFrames;
    return;
  }
  const bcsp_test::Frame& frame = decoded.frame;
  if (m_openingAnswerHeld) {
    if (--m_holdOpeningAnswer > 0) return;  // still busy: the frame is neither taken nor acknowledged
    m_openingAnswerHeld = false;
    SendReliable(13, {0x00, 0x00, 0x00, 0x00});
  }
  if (frame.channel == 1) {
    OnLinkMessage(frame.payload);
    return;
  }
  if (!frame.reliable || frame.payload.empty()) return;
  if (frame.seq != m_rxExpected) {
    Send({.ack = m_rxExpected, .channel = 0, .payload = {}});  // a repeat: acknowledge again
    return;
  }
  m_rxExpected = (m_rxExpected + 1) & 7;
  if (m_ackBeforeReply) Send({.ack = m_rxExpected, .channel = 0, .payload = {}});
  OnRequest(frame.channel, frame.payload);
}

void CTestChip::OnLinkMessage(std::span<const std::uint8_t> payload) {
  static const Bytes kSync{0xDA, 0xDC, 0xED, 0xED};
  static const Bytes kConf{0xAD, 0xEF, 0xAC, 0xED};
  if (!m_answerLinkEstablishment) return;
  if (std::ranges::equal(payload, kSync)) Send({.channel = 1, .payload = {0xAC, 0xAF, 0xEF, 0xEE}});
  if (std::ranges::equal(payload, kConf)) Send({.channel = 1, .payload = {0xDE, 0xAD, 0xD0, 0xD0}});
}

void CTestChip::OnRequest(std::uint8_t channel, const Bytes& payload) {
  ChipRequest request;
  request.channel = channel;
  if (channel != 12 || payload.size() < 8) {
    request.data = payload;
    m_requests.push_back(request);
    if (channel == 13 && m_holdOpeningAnswer > 0)
      m_openingAnswerHeld = true;
    else
      SendReliable(channel, {0x00, 0x00, 0x00, 0x00});
    return;
  }
  request.requestType = payload[0];
  request.request = payload[1];
  request.value = static_cast<std::uint16_t>(payload[2] | (payload[3] << 8));
  request.length = static_cast<std::uint16_t>(payload[6] | (payload[7] << 8));
  request.data.assign(payload.begin() + 8, payload.end());
  m_requests.push_back(request);

  if (std::ranges::find(m_refused, request.request) != m_refused.end()) {
    SendReliable(channel, {0x01, 0x00, 0x00, 0x00});
    return;
  }
  switch (request.request) {
    case kReqGetDevice:
      SendReliable(channel, {0, 0, 0, 0, 0x12, 0x0A, 0x01, 0x00, 0x4C, 0x0A, 0x01, 0x00, 0x34, 0x12, 0x01, 0x00});
      break;
    case kReqGetFuncDesc:
      SendReliable(channel, {0, 0, 0, 0, 0x07, 0x21, 0x07, 0x88, 0x13, 0x00, 0x04});
      break;
    case kReqGetStatus: {
      if (!m_inLoader) {
        SendReliable(channel, m_applicationStatus);
        break;
      }
      std::uint8_t state = m_status.finalBlockSeen ? 2 : (m_status.blocksReceived > 0 ? 5 : 2);
      if (m_statusScript) state = m_statusScript(m_status);
      Bytes reply{0, 0, 0, 0, static_cast<std::uint8_t>(state == 10 ? 0x0E : 0x00), 0, 0, 0, state, 0};
      reply.resize(m_statusReplyLength ? m_statusReplyLength(m_status) : reply.size());
      ++m_status.statusIndex;
      SendReliable(channel, reply);
      break;
    }
    case kReqClrStatus:
      ++m_status.clears;
      SendReliable(channel, {0, 0, 0, 0});
      break;
    case kReqDownload:
      if (request.data.empty()) {
        m_status.finalBlockSeen = true;
      } else {
        ++m_status.blocksReceived;
      }
      SendReliable(channel, m_downloadReply ? m_downloadReply(request.value) : Bytes{0, 0, 0, 0});
      break;
    case kReqReset:
      SendReliable(channel, {0, 0, 0, 0});
      if (m_inLoader) ++m_status.loaderResets;
      m_inLoader = !m_inLoader || !m_status.finalBlockSeen;
      // The chip restarts: its link starts again from scratch.
      m_rxExpected = 0;
      m_txSeq = 0;
      break;
    default:
      SendReliable(channel, {0, 0, 0, 0});
      break;
  }
}

void CTestChip::SendReliable(std::uint8_t channel, const Bytes& payload) {
  Send({.seq = m_txSeq, .ack = m_rxExpected, .reliable = true, .channel = channel, .payload = payload});
  m_txSeq = (m_txSeq + 1) & 7;
}

void CTestChip::Send(const bcsp_test::Frame& frame) { PushToHost(bcsp_test::EncodeFrame(frame)); }
