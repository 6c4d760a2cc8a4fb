#pragma once
// A scripted HID device for unit tests of code above the platform layer: it
// records every report the host sends, answers through hooks the test sets,
// and hands the input reports a test queues to the reader. Set the hooks
// before another thread uses the device.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/HidDevice.h"

class CFakeHidDevice final : public CHidDevice {
 public:
  using Report = std::vector<std::uint8_t>;

  // Called for every report the host sends (interrupt-out, SET_REPORT Output
  // or Feature) after it was recorded, unless the send failed. It may answer
  // with PushInputReport.
  std::function<void(const Report&)> onSend;
  // Fills the answer of a GET_REPORT (Input); false, or no hook, fails the request.
  std::function<bool(std::span<std::uint8_t>)> onGetInputReport;
  // Fills the product string; false, or no hook, means the device gives none.
  std::function<bool(std::span<char16_t>)> onGetProductString;
  // The zero-based number of the sent report that fails, if any; it is still recorded.
  std::optional<std::size_t> failSendAt;

  // Queues an interrupt-in report for the reader.
  void PushInputReport(Report report) {
    std::lock_guard lock(m_mutex);
    m_inputs.push_back(std::move(report));
    m_changed.notify_all();
  }

  // True once the reader has taken every queued report and waits for the next
  // one, so everything it does with them is done; false after `bound` (real time).
  bool WaitUntilReaderIdle(std::chrono::milliseconds bound) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [this] { return m_inputs.empty() && m_readerWaiting; });
  }

  // Every report the host sent, in order, by any route.
  std::vector<Report> Sent() const {
    std::lock_guard lock(m_mutex);
    return m_sent;
  }
  void ClearSent() {
    std::lock_guard lock(m_mutex);
    m_sent.clear();
  }

 private:
  HidReadResult DoReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    std::unique_lock lock(m_mutex);
    m_readerWaiting = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_cancels > 0 || !m_inputs.empty(); });
    m_readerWaiting = false;
    if (m_cancels > 0) {
      --m_cancels;
      return HidReadResult::Cancelled;
    }
    const Report input = std::move(m_inputs.front());
    m_inputs.pop_front();
    received = std::min(report.size(), input.size());
    std::copy_n(input.begin(), received, report.begin());
    return HidReadResult::Report;
  }

  void DoCancelRead() override {
    std::lock_guard lock(m_mutex);
    ++m_cancels;
    m_changed.notify_all();
  }

  bool DoWriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t) override { return Send(report); }
  bool DoSetOutputReport(std::span<const std::uint8_t> report) override { return Send(report); }
  bool DoSetFeatureReport(std::span<const std::uint8_t> report) override { return Send(report); }

  bool DoGetInputReport(std::span<std::uint8_t> report) override {
    return onGetInputReport ? onGetInputReport(report) : false;
  }
  bool DoGetProductString(std::span<char16_t> buffer) override {
    return onGetProductString ? onGetProductString(buffer) : false;
  }

  bool Send(std::span<const std::uint8_t> report) {
    Report copy(report.begin(), report.end());
    {
      std::lock_guard lock(m_mutex);
      const bool fail = failSendAt && *failSendAt == m_sent.size();
      m_sent.push_back(copy);
      if (fail) return false;
    }
    if (onSend) onSend(copy);
    return true;
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Report> m_inputs;
  int m_cancels = 0;
  bool m_readerWaiting = false;
  std::vector<Report> m_sent;
};
