#include "platform/windows/WinHidBackend.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "app/log/Log.h"
#include "platform/Clock.h"
#include "platform/windows/WinHidEnumeration.h"
#include "platform/windows/WinHidRules.h"

extern "C" {
#include <hidclass.h>
}

namespace {

// Reports the class driver keeps while no read waits; it drops the oldest
// beyond that. The reader drains them far faster than the device sends.
constexpr ULONG kInputBuffers = 64;

// Longest product string a USB device can give, in wide characters, plus NUL.
constexpr std::size_t kProductUnits = 127;

// Owns a kernel handle; both null and INVALID_HANDLE_VALUE mean none.
class CUniqueHandle {
 public:
  explicit CUniqueHandle(HANDLE handle = nullptr) : m_handle(handle) {}
  ~CUniqueHandle() {
    if (*this) CloseHandle(m_handle);
  }
  CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  CUniqueHandle& operator=(CUniqueHandle&&) = delete;
  CUniqueHandle(const CUniqueHandle&) = delete;
  CUniqueHandle& operator=(const CUniqueHandle&) = delete;

  HANDLE get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_handle;
};

// Owns a device's preparsed report descriptor.
class CPreparsedData {
 public:
  CPreparsedData(const WinHidDeviceApi& api, HANDLE file) : m_api(api) {
    if (!m_api.getPreparsedData(file, &m_data)) m_data = nullptr;
  }
  ~CPreparsedData() {
    if (m_data != nullptr) m_api.freePreparsedData(m_data);
  }
  CPreparsedData(const CPreparsedData&) = delete;
  CPreparsedData& operator=(const CPreparsedData&) = delete;

  PHIDP_PREPARSED_DATA get() const { return m_data; }

 private:
  const WinHidDeviceApi& m_api;
  PHIDP_PREPARSED_DATA m_data = nullptr;
};

// Report lengths in bytes, report-ID byte included; 0 when the device has none of that kind.
struct ReportLengths {
  std::size_t input = 0;
  std::size_t output = 0;
  std::size_t feature = 0;
};

std::optional<ReportLengths> ReadReportLengths(const WinHidDeviceApi& api, HANDLE file) {
  const CPreparsedData preparsed(api, file);
  if (preparsed.get() == nullptr) return std::nullopt;
  HIDP_CAPS caps{};
  if (api.getCaps(preparsed.get(), &caps) != HIDP_STATUS_SUCCESS) return std::nullopt;
  return ReportLengths{caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength};
}

struct TransferResult {
  bool done = false;  // completed successfully
  DWORD bytes = 0;
  DWORD error = ERROR_SUCCESS;
};

// One overlapped read, write or device I/O control. It owns the buffer and
// the OVERLAPPED the system writes into, and does not let them go while the
// transfer runs: an unfinished transfer is cancelled and awaited on
// destruction, so no completion can reach freed memory.
class COverlappedTransfer {
 public:
  COverlappedTransfer(const WinHidDeviceApi& api, HANDLE file, HANDLE event, std::vector<std::uint8_t> buffer)
      : m_api(api), m_file(file), m_buffer(std::move(buffer)) {
    m_overlapped.hEvent = event;
  }
  ~COverlappedTransfer() {
    if (m_running) Cancel();
  }
  COverlappedTransfer(const COverlappedTransfer&) = delete;
  COverlappedTransfer& operator=(const COverlappedTransfer&) = delete;

  // False when the transfer failed at once; StartError() says why.
  bool StartRead() {
    return Started(m_api.readFile(m_file, m_buffer.data(), Size(), nullptr, &m_overlapped));
  }
  bool StartWrite() {
    return Started(m_api.writeFile(m_file, m_buffer.data(), Size(), nullptr, &m_overlapped));
  }
  // The buffer is both what goes in and where an answer comes back, as the
  // class driver takes a report ID from either for the requests that return one;
  // a request that sends nothing (`sends` false) only gets its answer there.
  bool StartControl(DWORD code, bool sends) {
    return Started(m_api.deviceIoControl(m_file, code, sends ? m_buffer.data() : nullptr, sends ? Size() : 0,
                                         m_buffer.data(), Size(), nullptr, &m_overlapped));
  }
  DWORD StartError() const { return m_startError; }

  // Waits for the end of the transfer.
  TransferResult Finish() {
    TransferResult result;
    result.done = m_api.getOverlappedResult(m_file, &m_overlapped, &result.bytes, TRUE) != FALSE;
    if (!result.done) result.error = GetLastError();
    m_running = false;
    return result;
  }
  // Asks the driver to stop the transfer and waits for its end; a transfer
  // that completed before the request took reports its result as usual.
  TransferResult Cancel() {
    m_api.cancelIoEx(m_file, &m_overlapped);
    return Finish();
  }

  std::span<const std::uint8_t> Data() const { return m_buffer; }

 private:
  DWORD Size() const { return static_cast<DWORD>(m_buffer.size()); }
  bool Started(BOOL completed) {
    if (completed || GetLastError() == ERROR_IO_PENDING) {
      m_running = true;
      return true;
    }
    m_startError = GetLastError();
    return false;
  }

  const WinHidDeviceApi& m_api;
  HANDLE m_file;
  std::vector<std::uint8_t> m_buffer;
  OVERLAPPED m_overlapped{};
  bool m_running = false;
  DWORD m_startError = ERROR_SUCCESS;
};

class CWinHidDevice final : public CHidDevice {
 public:
  CWinHidDevice(const WinHidDeviceApi& api, CUniqueHandle file, ReportLengths lengths, CUniqueHandle cancel,
                CUniqueHandle readEvent, CUniqueHandle writeEvent, CUniqueHandle requestEvent)
      : m_api(api),
        m_file(std::move(file)),
        m_cancel(std::move(cancel)),
        m_readEvent(std::move(readEvent)),
        m_writeEvent(std::move(writeEvent)),
        m_requestEvent(std::move(requestEvent)),
        m_lengths(lengths) {}

  // Once, at open, before any read is pending on the handle: later callers get
  // the text kept here. As a bounded request, like the class requests:
  // HidD_GetProductString waits without a bound.
  void ReadProductString() {
    // The last unit stays 0, so the text always ends within the buffer.
    std::vector<std::uint8_t> answer((kProductUnits - 1) * sizeof(wchar_t), 0);
    if (!ClassRequest("product string", IOCTL_HID_GET_PRODUCT_STRING, answer, answer, false)) return;
    m_product.assign(kProductUnits, L'\0');
    std::memcpy(m_product.data(), answer.data(), answer.size());
  }

 private:
  HidReadResult DoReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    if (WaitForSingleObject(m_cancel.get(), 0) == WAIT_OBJECT_0) return HidReadResult::Cancelled;
    if (m_lengths.input == 0) return Gone("the device has no input report", ERROR_SUCCESS);

    COverlappedTransfer transfer(m_api, m_file.get(), m_readEvent.get(), std::vector<std::uint8_t>(m_lengths.input, 0));
    if (!transfer.StartRead()) return Gone("read failed", transfer.StartError());
    // The cancel comes first, so it wins when both are signalled.
    const HANDLE waits[] = {m_cancel.get(), m_readEvent.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    const DWORD waitError = woke == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
    const bool cancelled = woke == WAIT_OBJECT_0;
    const TransferResult result = woke == WAIT_OBJECT_0 + 1 ? transfer.Finish() : transfer.Cancel();
    if (woke == WAIT_FAILED) return Gone("wait failed", waitError);

    if (result.done) {
      received = CopyReport(transfer.Data().first(std::min<std::size_t>(result.bytes, m_lengths.input)), report);
      // The report arrived before the cancel took: keep both, the cancel for the next call.
      if (cancelled) ReleaseSemaphore(m_cancel.get(), 1, nullptr);
      return HidReadResult::Report;
    }
    if (cancelled) return HidReadResult::Cancelled;
    // ERROR_DEVICE_NOT_CONNECTED when unplugged; ERROR_OPERATION_ABORTED when
    // the I/O was cancelled by someone other than CancelRead.
    return Gone("read ended", result.error);
  }

  void DoCancelRead() override { ReleaseSemaphore(m_cancel.get(), 1, nullptr); }

  bool DoWriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs) override {
    std::optional<std::vector<std::uint8_t>> buffer = FitReport(report, m_lengths.output);
    if (!buffer) return Refused("interrupt-out", report.size(), m_lengths.output);
    const DWORD length = static_cast<DWORD>(buffer->size());

    std::lock_guard lock(m_writeMutex);  // one write event
    COverlappedTransfer transfer(m_api, m_file.get(), m_writeEvent.get(), std::move(*buffer));
    if (!transfer.StartWrite()) {
      RecordWindowsError("interrupt-out", transfer.StartError());
      return false;
    }
    const DWORD woke = WaitForSingleObject(m_writeEvent.get(), WaitMilliseconds(Clock::RealDuration(timeoutMs)));
    // On time-out the write is cancelled; one that completed meanwhile still counts.
    const TransferResult result = woke == WAIT_OBJECT_0 ? transfer.Finish() : transfer.Cancel();
    if (!result.done) RecordWindowsError("interrupt-out", result.error);
    return result.done && result.bytes == length;
  }

  bool DoSetOutputReport(std::span<const std::uint8_t> report) override {
    std::optional<std::vector<std::uint8_t>> buffer = FitReport(report, m_lengths.output);
    if (!buffer) return Refused("SET_REPORT Output", report.size(), m_lengths.output);
    return ClassRequest("SET_REPORT Output", IOCTL_HID_SET_OUTPUT_REPORT, std::move(*buffer), {});
  }

  bool DoGetInputReport(std::span<std::uint8_t> report) override {
    if (m_lengths.input == 0) return false;
    std::vector<std::uint8_t> buffer(m_lengths.input, 0);
    buffer[0] = report[0];  // the report ID asked for
    return ClassRequest("GET_REPORT Input", IOCTL_HID_GET_INPUT_REPORT, std::move(buffer), report);
  }

  bool DoSetFeatureReport(std::span<const std::uint8_t> report) override {
    std::optional<std::vector<std::uint8_t>> buffer = FitReport(report, m_lengths.feature);
    if (!buffer) return Refused("SET_REPORT Feature", report.size(), m_lengths.feature);
    return ClassRequest("SET_REPORT Feature", IOCTL_HID_SET_FEATURE, std::move(*buffer), {});
  }

  bool DoGetProductString(std::span<char16_t> buffer) override {
    return !m_product.empty() && CopyProductString(m_product, buffer);
  }

  // One class request, sent as an overlapped device I/O control so that it
  // has a bound: hid.dll's calls wait without one, and a device that stops
  // answering on its control pipe would hold the caller for ever. After the
  // bound the request is cancelled and awaited; one that completed meanwhile
  // counts as done. What an answering request returned is copied into `answer`.
  bool ClassRequest(const char* kind, DWORD code, std::vector<std::uint8_t> buffer, std::span<std::uint8_t> answer,
                    bool sends = true) {
    std::lock_guard lock(m_requestMutex);  // one request event
    COverlappedTransfer transfer(m_api, m_file.get(), m_requestEvent.get(), std::move(buffer));
    if (!transfer.StartControl(code, sends)) {
      RecordWindowsError(kind, transfer.StartError());
      LogMessage("Windows HID: %s request failed (error %u)", kind, transfer.StartError());
      return false;
    }
    const DWORD woke = WaitForSingleObject(m_requestEvent.get(), WaitMilliseconds(m_api.requestBound));
    if (woke != WAIT_OBJECT_0)
      LogMessage("Windows HID: %s request unanswered after %u ms; cancelled", kind,
                 static_cast<unsigned>(m_api.requestBound.count()));
    const TransferResult result = woke == WAIT_OBJECT_0 ? transfer.Finish() : transfer.Cancel();
    if (!result.done) {
      RecordWindowsError(kind, result.error);
      LogMessage("Windows HID: %s request ended with error %u", kind, result.error);
      return false;
    }
    CopyReport(transfer.Data().first(std::min<std::size_t>(result.bytes, transfer.Data().size())), answer);
    return true;
  }

  // Keeps the system's error code of the failed `what`; Windows' own message
  // text depends on the system's language, the code does not.
  void RecordWindowsError(const char* what, DWORD error) {
    RecordError(std::string(what) + ": error " + std::to_string(error));
  }

  HidReadResult Gone(const char* what, DWORD error) {
    RecordWindowsError(what, error);
    LogMessage("Windows HID: %s (error %u); the device counts as gone", what, error);
    return HidReadResult::DeviceGone;
  }

  static bool Refused(const char* kind, std::size_t length, std::size_t deviceLength) {
    LogMessage("Windows HID: %s report of %u bytes refused: the device's report has %u bytes", kind, length,
               deviceLength);
    return false;
  }

  const WinHidDeviceApi& m_api;
  const CUniqueHandle m_file;
  const CUniqueHandle m_cancel;  // a semaphore: one count per CancelRead, one read per count
  const CUniqueHandle m_readEvent;
  const CUniqueHandle m_writeEvent;
  const CUniqueHandle m_requestEvent;
  const ReportLengths m_lengths;
  std::mutex m_writeMutex;
  std::mutex m_requestMutex;
  std::wstring m_product;  // empty when the device did not give it
};

const WinHidDeviceApi kSystemDeviceApi{CreateFileA,      HidD_GetPreparsedData, HidD_FreePreparsedData,
                                      HidP_GetCaps,     HidD_SetNumInputBuffers, ReadFile,
                                      WriteFile,        DeviceIoControl,       CancelIoEx,
                                      GetOverlappedResult, std::chrono::milliseconds(5000)};

}  // namespace

const WinHidDeviceApi& SystemWinHidDeviceApi() { return kSystemDeviceApi; }

std::vector<HidInterfaceInfo> CWinHidBackend::Enumerate() { return EnumerateHidInterfaces(m_enumeration); }

std::unique_ptr<CHidDevice> CWinHidBackend::Open(const std::string& path) {
  CUniqueHandle file(m_device.createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr));
  if (!file) {
    LogMessage("Windows HID: cannot open %s (error %u)", path, GetLastError());
    return nullptr;
  }
  const std::optional<ReportLengths> lengths = ReadReportLengths(m_device, file.get());
  if (!lengths) {
    LogMessage("Windows HID: %s gives no report lengths (preparsed data or capabilities unreadable)", path);
    return nullptr;
  }
  // Each top-level collection of a composite device is its own interface with
  // the same ID tags, and SetupAPI's order is not documented: a consumer
  // control collection may come first and open as well as ours does.
  if (!CarriesProtocolReports(lengths->input, lengths->output)) {
    LogMessage("Windows HID: %s skipped: its reports (input %u, output %u bytes) cannot carry the device's "
               "(input %u, output %u bytes)",
               path, lengths->input, lengths->output, kProtocolInputLength, kProtocolOutputLength);
    return nullptr;
  }
  if (!m_device.setNumInputBuffers(file.get(), kInputBuffers))
    LogMessage("Windows HID: %s keeps the driver's default number of input buffers (error %u)", path,
               GetLastError());

  CUniqueHandle cancel(CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr));
  CUniqueHandle readEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  CUniqueHandle writeEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  CUniqueHandle requestEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!cancel || !readEvent || !writeEvent || !requestEvent) {
    LogMessage("Windows HID: no events for %s (error %u)", path, GetLastError());
    return nullptr;
  }
  auto device = std::make_unique<CWinHidDevice>(m_device, std::move(file), *lengths, std::move(cancel),
                                                std::move(readEvent), std::move(writeEvent), std::move(requestEvent));
  device->ReadProductString();
  return device;
}
