#pragma once
// CHIDHelper owns the one open connection to the device: opening with the
// bootloader fallback, the interrupt-in reader thread with its 32-slot ring,
// request/reply transactions, and the shared status word.
//
// Public operations and the fields other layers read directly are fixed here;
// the private part is the channel's own business.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/HidDevice.h"
#include "platform/ThreadChecker.h"
#include "app/log/Status.h"

class CHIDHelper {
 public:
  // Receives every UART data report (kind 0x28) the reader completes, with
  // exactly the bytes that arrived. Runs on the reader thread.
  using UartDataHook = void (*)(std::span<const std::uint8_t> report);

  CHIDHelper();
  virtual ~CHIDHelper();
  CHIDHelper(const CHIDHelper&) = delete;
  CHIDHelper& operator=(const CHIDHelper&) = delete;

  // mode 0: application identity first, then the bootloader identity; any
  // other mode: the bootloader identity only. Starts the reader on success.
  virtual HRESULT OpenDeviceHandle(std::uint16_t vendorId, std::uint16_t productId, int mode,
                                   std::uint16_t* outProductId, std::unique_ptr<char16_t[]>* devicePath);
  virtual void CloseDeviceHandle();
  // True if the device returned its product string into `buffer` (`sizeBytes` bytes).
  virtual bool GetProductString(char16_t* buffer, std::uint32_t sizeBytes);
  // Write `report` on the interrupt-out pipe, then wait for the first newer
  // input report whose byte 2 equals the request's byte 1; copy it into the
  // start of `report` (AnswerLength says how far). 1 if an answer was received,
  // 0 otherwise.
  virtual int OutputReportTransaction(std::span<std::uint8_t> report);
  virtual int CommandTransaction(std::span<std::uint8_t> report);
  // SET_REPORT (Feature), up to 5 attempts; 1 on a positive answer, 0 otherwise.
  virtual int FeatureReportTransaction(std::span<std::uint8_t> report);
  virtual std::uint32_t IsBootloader();
  virtual int I2CPassthruWrite(std::uint8_t target, std::uint8_t length, const std::uint8_t* data, int force);
  virtual HRESULT StartHIDInterruptThread();
  virtual int StopHIDInterruptThread();

  // Bytes of `report` the last transaction's answer wrote; 0 when it got none.
  // The rest of the caller's buffer is not the device's.
  std::size_t AnswerLength() const { return m_answerLength; }

  // Installs the hook that receives UART data reports; set before the reader starts.
  void SetUartDataHook(UartDataHook hook);

  // The open device; null when nothing is open.
  HidHandle Device() const { return m_hDevice; }
  // Uses `device` as the open device without opening anything or starting the
  // reader: how tests put a scripted device behind the channel.
  void AttachDevice(HidHandle device) { m_hDevice = std::move(device); }

  // Last value of a status report (kind 0xEE). Its users clear it (0) before
  // each command whose status they await; the reader stores each new one.
  std::uint32_t StatusWord() const { return m_statusWord.load(std::memory_order_acquire); }
  void SetStatusWord(std::uint32_t status) { m_statusWord.store(status, std::memory_order_release); }

  // 1 while no reader thread runs, 0 while it runs; the flag itself for a
  // long operation that must notice the device going away.
  std::uint32_t ReaderStopped() const { return m_readerStopped.load(); }
  const std::atomic<std::uint32_t>& ReaderStoppedFlag() const { return m_readerStopped; }

 private:
  friend void HIDInterruptThread(CHIDHelper& helper);
  struct ReaderState;

  // Waits for reports newer than `seen` (program time), then scans the unread
  // slots for the answer to `request`; 1 with the answer copied, 0 otherwise.
  enum class ScanOutcome { Answer, Negative, None };
  ScanOutcome AwaitAnswer(std::span<std::uint8_t> request, std::uint64_t& seen, bool checkNegative);
  ScanOutcome ScanRing(std::span<std::uint8_t> request, bool checkNegative);
  int Transaction(std::span<std::uint8_t> report);
  bool ReaderRunning() const;
  void JoinReader();

  static constexpr std::uint32_t kRingSlots = 32;
  static constexpr std::uint32_t kSlotBytes = 32;

  HidHandle m_hDevice;
  std::atomic<std::uint32_t> m_statusWord{0};
  std::atomic<std::uint32_t> m_readerStopped{1};
  std::unique_ptr<ReaderState> m_reader;
  // Input ring: single producer (the reader), single consumer (the transaction
  // thread). A slot and its length are written before m_ringWrite is published
  // (release); the consumer reads slots only below an acquired m_ringWrite and
  // hands them back by publishing m_ringRead (release).
  std::array<std::array<std::uint8_t, kSlotBytes>, kRingSlots> m_inputRing{};
  std::array<std::uint32_t, kRingSlots> m_ringLength{};
  std::atomic<std::uint32_t> m_ringRead{0};
  std::atomic<std::uint32_t> m_ringWrite{0};
  CThreadChecker m_ringProducer;  // the reader thread of the moment
  std::uint32_t m_isBootloader = 0;
  std::size_t m_answerLength = 0;
  std::atomic<UartDataHook> m_uartDataHook{nullptr};
};
