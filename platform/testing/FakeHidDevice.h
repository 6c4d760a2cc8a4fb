#pragma once
// A scripted HID device for unit tests of code above the platform layer: it
// records what the host sends and answers class requests as a test tells it.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/HidDevice.h"

class CFakeHidDevice final : public CHidDevice {
 public:
  using Report = std::vector<std::uint8_t>;

  // Called for every SET_REPORT (Output) the host sends, after it was recorded.
  std::function<void(const Report&)> onSetOutputReport;
  // Fills the answer of a GET_REPORT (Input); false makes the request fail.
  std::function<bool(std::span<std::uint8_t>)> onGetInputReport;
  // The zero-based number of the SET_REPORT (Output) request that fails, if any.
  std::optional<std::size_t> failSetOutputAt;

  std::vector<Report> SetOutputReports() const {
    std::lock_guard lock(m_mutex);
    return m_setOutputReports;
  }

  HidReadResult ReadInputReport(std::span<std::uint8_t>, std::size_t& received) override {
    received = 0;
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [&] { return m_cancelled; });
    m_cancelled = false;
    return HidReadResult::Cancelled;
  }

  void CancelRead() override {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    m_wake.notify_all();
  }

  bool WriteOutputReport(std::span<const std::uint8_t>, std::uint32_t) override { return false; }

  bool SetOutputReport(std::span<const std::uint8_t> report) override {
    Report copy(report.begin(), report.end());
    {
      std::lock_guard lock(m_mutex);
      const bool fail = failSetOutputAt && *failSetOutputAt == m_setOutputReports.size();
      m_setOutputReports.push_back(copy);
      if (fail) return false;
    }
    if (onSetOutputReport) onSetOutputReport(copy);
    return true;
  }

  bool GetInputReport(std::span<std::uint8_t> report) override {
    return onGetInputReport ? onGetInputReport(report) : false;
  }

  bool SetFeatureReport(std::span<const std::uint8_t>) override { return false; }
  bool GetProductString(std::span<char16_t>) override { return false; }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_cancelled = false;
  std::vector<Report> m_setOutputReports;
};
