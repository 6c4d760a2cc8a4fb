#pragma once
// Test doubles for the Bluetooth path: a scripted Bluetooth chip that sits
// behind a fake HID device, decodes the host's BCSP frames and answers through
// UartRxPush, and a progress surface that records what the download shows. The
// chip frames through bluetooth/testing/BcspFrames, written independently of
// the link layer under test.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/testing/BcspFrames.h"
#include "platform/ProgressSurface.h"
#include "platform/testing/FakeHidDevice.h"

using Bytes = std::vector<std::uint8_t>;

// Splits `bytes` into UART data input reports of at most 28 bytes and pushes them.
void PushToHost(std::span<const std::uint8_t> bytes);
// Takes every queued received byte.
void DrainHostQueue();

// The UART bytes a UART data report carries (bytes 4..4+n-1); empty for any other report.
std::span<const std::uint8_t> UartBytesOf(std::span<const std::uint8_t> report);
// The UART bytes of every data report the host sent to `device`, in order.
Bytes WireBytes(const CFakeHidDevice& device);

// One DFU request as the chip received it.
struct ChipRequest {
  std::uint8_t channel = 0;
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t length = 0;
  Bytes data;
};

inline constexpr std::uint8_t kReqDownload = 0x01;
inline constexpr std::uint8_t kReqGetStatus = 0x03;
inline constexpr std::uint8_t kReqClrStatus = 0x04;
inline constexpr std::uint8_t kReqAbort = 0x06;
inline constexpr std::uint8_t kReqDetach = 0x00;
inline constexpr std::uint8_t kReqReset = 0x07;
inline constexpr std::uint8_t kReqGetDevice = 0x08;
inline constexpr std::uint8_t kReqGetFuncDesc = 0x09;

// A Bluetooth chip running its BCSP peer and DFU loader, driven by scripts.
class CTestChip {
 public:
  // What the chip has seen when it answers a status request.
  struct StatusContext {
    int statusIndex = 0;        // 0-based count of status requests so far
    int blocksReceived = 0;     // data blocks (non-empty downloads) so far
    bool finalBlockSeen = false;
    int clears = 0;             // BTClrStatus requests so far
    int loaderResets = 0;       // BTReset requests the loader took so far
  };

  // With `threaded`, frames are decoded and answered on a thread of the chip's
  // own, as a real device answers asynchronously; otherwise inside the host's
  // output report call.
  explicit CTestChip(bool threaded = false);
  ~CTestChip();
  CTestChip(const CTestChip&) = delete;
  CTestChip& operator=(const CTestChip&) = delete;

  std::shared_ptr<CFakeHidDevice> Device() const { return m_device; }

  // Scripts. Defaults: link establishment answered, bState 2 before the first
  // block and 5 after, 2 after the final block, download replies all zero.
  // The status script applies to the loader; the application answers a
  // status request with m_applicationStatus, not counted in statusIndex. A
  // reset moves the chip from its application into its loader, and from its
  // loader into the application once the final block was seen (before that
  // the loader restarts). Request codes in m_refused are answered 01 00 00 00
  // and change nothing.
  bool m_inLoader = false;
  bool m_answerLinkEstablishment = true;
  bool m_ackBeforeReply = false;
  std::function<std::uint8_t(const StatusContext&)> m_statusScript;
  std::function<std::size_t(const StatusContext&)> m_statusReplyLength;  // default 10
  std::function<Bytes(std::uint16_t block)> m_downloadReply;             // default 00 00 00 00
  Bytes m_applicationStatus{0, 0, 0, 0, 0, 0, 0, 0, 0, 0};               // appIDLE
  std::vector<std::uint8_t> m_refused;
  // The answer to the opening message (and its acknowledgement) waits for
  // this many more frames from the host, which the chip, busy, drops
  // meanwhile unanswered: a chip slow to answer, which the host resends to.
  int m_holdOpeningAnswer = 0;

  std::vector<ChipRequest> Requests() const;
  std::vector<std::uint8_t> RequestCodes() const;  // bRequest of every channel-12 request
  Bytes ReceivedImage() const;                     // data of every download block, in order
  int BadFrames() const;                           // frames with a bad checksum or CRC

 private:
  void OnHostBytes(std::span<const std::uint8_t> bytes);
  void OnFrame(const bcsp_test::Decoded& decoded);
  void OnLinkMessage(std::span<const std::uint8_t> payload);
  void OnRequest(std::uint8_t channel, const Bytes& payload);
  void SendReliable(std::uint8_t channel, const Bytes& payload);
  void Send(const bcsp_test::Frame& frame);
  void Worker();

  std::shared_ptr<CFakeHidDevice> m_device = std::make_shared<CFakeHidDevice>();
  mutable std::mutex m_mutex;  // guards everything below
  bcsp_test::CFrameReader m_reader;
  std::uint8_t m_rxExpected = 0;
  std::uint8_t m_txSeq = 0;
  std::vector<ChipRequest> m_requests;
  StatusContext m_status;
  int m_badFrames = 0;
  bool m_openingAnswerHeld = false;

  bool m_threaded;
  std::deque<Bytes> m_inbox;
  std::condition_variable m_inboxSignal;
  bool m_stop = false;
  std::thread m_worker;
};

// Records what the download shows.
class CFakeProgress : public CProgressSurface {
 public:
  bool m_SilentMode = false;
  bool m_ProgressMode = false;
  int m_position = 0;
  std::uint16_t m_lower = 0;
  std::uint16_t m_upper = 0;
  int m_step = 0;
  int m_stepCalls = 0;
  int m_setPosCalls = 0;
  int m_repaints = 0;
  std::vector<std::string> m_texts;
  std::vector<std::pair<DialogButton, bool>> m_buttons;
  std::optional<std::uint16_t> m_progressWindowSteps;
  int m_progressWindowStepCalls = 0;

  bool IsSilentMode() const override { return m_SilentMode; }
  bool IsProgressMode() const override { return m_ProgressMode; }
  void ProgressSetPos(int position) override {
    m_position = position;
    ++m_setPosCalls;
  }
  void ProgressSetRange(std::uint16_t lower, std::uint16_t upper) override {
    m_lower = lower;
    m_upper = upper;
  }
  void ProgressSetStep(int step) override { m_step = step; }
  void ProgressStepIt() override {
    m_position = std::min<int>(m_position + m_step, m_upper);
    ++m_stepCalls;
  }
  int ProgressGetPos() const override { return m_position; }
  void SetStatusText(const std::string& text) override { m_texts.push_back(text); }
  void SetStatusColour(Rgb) override {}
  void EnableButton(DialogButton button, bool enable) override { m_buttons.emplace_back(button, enable); }
  void EnableDialogWindow() override {}
  void RepaintAndShow() override { ++m_repaints; }
  void StartProgressWindow(std::uint16_t stepCount) override { m_progressWindowSteps = stepCount; }
  void StepProgressWindow() override { ++m_progressWindowStepCalls; }
};
