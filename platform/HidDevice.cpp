#include "platform/HidDevice.h"

#include <utility>

// A report needs at least its report-ID byte, and a product string its
// terminator; no backend is asked with less.

HidReadResult CHidDevice::ReadInputReport(std::span<std::uint8_t> report, std::size_t& received) {
  received = 0;
  return DoReadInputReport(report, received);
}

void CHidDevice::CancelRead() { DoCancelRead(); }

bool CHidDevice::WriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs) {
  return !report.empty() && DoWriteOutputReport(report, timeoutMs);
}

bool CHidDevice::SetOutputReport(std::span<const std::uint8_t> report) {
  return !report.empty() && DoSetOutputReport(report);
}

bool CHidDevice::GetInputReport(std::span<std::uint8_t> report) {
  return !report.empty() && DoGetInputReport(report);
}

bool CHidDevice::SetFeatureReport(std::span<const std::uint8_t> report) {
  return !report.empty() && DoSetFeatureReport(report);
}

bool CHidDevice::GetProductString(std::span<char16_t> buffer) {
  return !buffer.empty() && DoGetProductString(buffer);
}

std::string CHidDevice::LastError() const {
  std::lock_guard lock(m_errorMutex);
  return m_lastError;
}

void CHidDevice::RecordError(std::string text) {
  std::lock_guard lock(m_errorMutex);
  m_lastError = std::move(text);
}
