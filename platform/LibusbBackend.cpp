#include "platform/LibusbBackend.h"

#include <fcntl.h>
#include <sys/time.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "app/log/Log.h"
#include "platform/Clock.h"
#include "platform/LinuxHidRules.h"
#include "platform/ThreadChecker.h"

namespace {

namespace fs = std::filesystem;

// Interrupt-in transfers kept queued, as the Windows host keeps 32 reads
// pending: a burst of reports finds a transfer waiting for each.
constexpr std::size_t kReadsQueued = 32;
// Reports kept for a reader that falls behind; the oldest go beyond that.
constexpr std::size_t kReportsKept = 1024;
// The bound of every control request, as the Windows class driver keeps it.
constexpr unsigned kControlTimeoutMs = 5000;
// Longest report descriptor the kernel's HID core takes.
constexpr std::size_t kMaxReportDescriptor = 4096;

constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kReportDescriptorType = 0x22;
constexpr std::uint8_t kInputReport = 1;
constexpr std::uint8_t kOutputReport = 2;
constexpr std::uint8_t kFeatureReport = 3;
// bmRequestType: direction, type (standard or class), recipient (the interface).
constexpr std::uint8_t kClassToInterface = 0x21;
constexpr std::uint8_t kClassFromInterface = 0xA1;
constexpr std::uint8_t kStandardFromInterface = 0x81;

std::optional<std::string> ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  return line;
}

std::optional<unsigned> ReadNumber(const fs::path& file, int base) {
  const std::optional<std::string> line = ReadLine(file);
  if (!line || line->empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(line->c_str(), &end, base);
  if (*end != 0 || value > 0xFFFF) return std::nullopt;
  return static_cast<unsigned>(value);
}

// NO_DEVICE_DISCOVERY: the contexts only ever wrap a node this backend opened,
// so libusb need not scan the bus nor watch udev (which a machine without a
// udev daemon would never tell about a device that re-enumerated).
void PrepareLibusbOnce() {
  static std::once_flag once;
  std::call_once(once, [] { libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY); });
}

// One open usbfs node with its libusb context and handle, and the HID
// interface taken from the kernel's driver; the destructor gives it back.
class CUsbSession {
 public:
  CUsbSession(std::string node, int fd) : m_node(std::move(node)), m_fd(fd) {}
  ~CUsbSession() {
    GiveBack();
    if (m_handle != nullptr) libusb_close(m_handle);
    if (m_context != nullptr) libusb_exit(m_context);
    close(m_fd);
  }
  CUsbSession(const CUsbSession&) = delete;
  CUsbSession& operator=(const CUsbSession&) = delete;

  bool Start() {
    PrepareLibusbOnce();
    int result = libusb_init(&m_context);
    if (result == 0) result = libusb_wrap_sys_device(m_context, m_fd, &m_handle);
    if (result == 0) return true;
    LogMessage("USB: libusb cannot use %s (%s)", m_node, libusb_error_name(result));
    return false;
  }

  // Detaches the kernel's driver from the interface and claims it.
  bool Take(const UsbHidInterface& hid) {
    m_interface = hid.number;
    const int detached = libusb_detach_kernel_driver(m_handle, hid.number);
    if (detached == 0) {
      LogMessage("USB: interface %u of %s taken from the kernel's driver for this run", hid.number, m_node);
    } else if (detached != LIBUSB_ERROR_NOT_FOUND) {  // NOT_FOUND: no driver holds it
      LogMessage("USB: cannot detach the kernel's driver from interface %u of %s (%s)", hid.number, m_node,
                 libusb_error_name(detached));
      return false;
    }
    int claimed = libusb_claim_interface(m_handle, hid.number);
    if (claimed == 0) {
      m_claimed = true;
      if (hid.altSetting != 0) claimed = libusb_set_interface_alt_setting(m_handle, hid.number, hid.altSetting);
    }
    if (claimed != 0) {
      LogMessage("USB: cannot claim interface %u of %s (%s): another program may hold it", hid.number, m_node,
                 libusb_error_name(claimed));
      if (!m_claimed && detached == 0) libusb_attach_kernel_driver(m_handle, hid.number);
      return false;
    }
    std::lock_guard lock(Claimed().mutex);
    Claimed().sessions.push_back(this);
    return true;
  }

  // Releases the interface and hands it to the kernel's driver, once: from
  // the destructor, or from an end by signal while the session is still open.
  void GiveBack() {
    std::lock_guard lock(Claimed().mutex);
    std::erase(Claimed().sessions, this);
    GiveBackClaimed();
  }

  // Every session holding an interface, for GiveBackUsbInterfaces. Never
  // destroyed: a process that ends through exit() while a run still writes
  // gives its interfaces back from an exit handler.
  struct Registry {
    std::mutex mutex;
    std::vector<CUsbSession*> sessions;
  };
  static Registry& Claimed() {
    static Registry& registry = *new Registry;
    return registry;
  }

  // The caller holds the registry's lock.
  void GiveBackClaimed() {
    if (!m_claimed) return;
    m_claimed = false;
    libusb_release_interface(m_handle, m_interface);
    // Given back also when the driver had no hold on it at open (a run that
    // was killed leaves it detached): the device's other HID functions, its
    // buttons for instance, belong to the kernel's driver.
    const int attached = libusb_attach_kernel_driver(m_handle, m_interface);
    if (attached == 0)
      LogMessage("USB: interface %u of %s given back to the kernel's driver", m_interface, m_node);
    else if (attached != LIBUSB_ERROR_NO_DEVICE)
      LogMessage("USB: the kernel's driver did not take interface %u of %s back (%s)", m_interface, m_node,
                 libusb_error_name(attached));
  }

  // Runs `read` with the interface claimed for it (usbfs takes a request to
  // an interface only from the program that claimed it), then releases it:
  // Take claims the one interface the run keeps.
  template <typename Read>
  auto WithInterfaceClaimed(std::uint8_t interface, Read read) -> decltype(read()) {
    if (libusb_claim_interface(m_handle, interface) != 0) return {};
    auto result = read();
    libusb_release_interface(m_handle, interface);
    return result;
  }

  // A control request made before the event thread runs (libusb handles the
  // events itself); the number of bytes of the data stage, or nullopt.
  std::optional<std::size_t> ControlNow(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                        std::uint16_t index, std::span<std::uint8_t> data) {
    const int result = libusb_control_transfer(m_handle, type, request, value, index, data.data(),
                                               static_cast<std::uint16_t>(data.size()), kControlTimeoutMs);
    if (result < 0) return std::nullopt;
    return static_cast<std::size_t>(result);
  }

  const std::string& Node() const { return m_node; }
  libusb_context* Context() const { return m_context; }
  libusb_device_handle* Handle() const { return m_handle; }

 private:
  const std::string m_node;
  const int m_fd;
  libusb_context* m_context = nullptr;
  libusb_device_handle* m_handle = nullptr;
  std::uint8_t m_interface = 0;
  bool m_claimed = false;
};

struct TransferDeleter {
  void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

// The report descriptor of a HID interface, with the length its HID
// descriptor declares. While the kernel's HID driver holds the interface,
// usbfs refuses requests to it, and sysfs shows the descriptor the driver
// read; otherwise it is asked for through usbfs, with the interface claimed
// for the request. nullopt when neither gives it.
std::optional<std::vector<std::uint8_t>> ReadReportDescriptor(CUsbSession& session, const UsbHidInterface& hid,
                                                              const std::optional<fs::path>& sysfsInterface) {
  if (libusb_kernel_driver_active(session.Handle(), hid.number) == 1) {
    if (!sysfsInterface) return std::nullopt;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(*sysfsInterface, error)) {
      std::ifstream file(entry.path() / "report_descriptor", std::ios::binary);
      if (!file) continue;
      std::vector<std::uint8_t> descriptor(kMaxReportDescriptor);
      file.read(reinterpret_cast<char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
      descriptor.resize(static_cast<std::size_t>(file.gcount()));
      return descriptor;
    }
    return std::nullopt;
  }
  if (!hid.reportDescriptorLength) return std::nullopt;
  return session.WithInterfaceClaimed(hid.number, [&]() -> std::optional<std::vector<std::uint8_t>> {
    std::vector<std::uint8_t> descriptor(*hid.reportDescriptorLength);
    const std::optional<std::size_t> got =
        session.ControlNow(kStandardFromInterface, kGetDescriptor, kReportDescriptorType << 8, hid.number, descriptor);
    if (!got) return std::nullopt;
    descriptor.resize(*got);
    return descriptor;
  });
}

// The product string in the device's first language; empty when it has none.
std::u16string ReadProductString(CUsbSession& session) {
  libusb_device_descriptor device{};
  if (libusb_get_device_descriptor(libusb_get_device(session.Handle()), &device) != 0 || device.iProduct == 0)
    return {};
  std::uint8_t buffer[255];
  const auto read = [&](std::uint8_t index, std::uint16_t language) -> std::span<const std::uint8_t> {
    const std::optional<std::size_t> got =
        session.ControlNow(LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                           static_cast<std::uint16_t>(LIBUSB_DT_STRING << 8 | index), language, buffer);
    return got ? std::span<const std::uint8_t>(buffer, *got) : std::span<const std::uint8_t>();
  };
  const std::u16string languages = StringDescriptorText(read(0, 0));
  if (languages.empty()) return {};
  return StringDescriptorText(read(device.iProduct, languages[0]));
}

// Milliseconds of a libusb time-out for `ms` of program time; never 0, which
// libusb takes for "no time-out".
unsigned TimeoutMs(std::uint32_t ms) {
  const auto real = std::chrono::ceil<std::chrono::milliseconds>(Clock::RealDuration(ms)).count();
  return static_cast<unsigned>(std::clamp<std::int64_t>(real, 1, 0x7FFFFFFF));
}

class CLibusbDevice final : public CHidDevice {
 public:
  CLibusbDevice(std::unique_ptr<CUsbSession> session, const UsbHidInterface& hid, bool numbered, std::u16string product)
      : m_session(std::move(session)),
        m_hid(hid),
        m_numbered(numbered),
        m_product(std::move(product)),
        m_request(libusb_alloc_transfer(0)) {
    m_events = std::thread([this] { RunEvents(); });
  }

  ~CLibusbDevice() override {
    {
      std::lock_guard lock(m_mutex);
      m_closing = true;
    }
    libusb_interrupt_event_handler(m_session->Context());
    m_events.join();
  }

 private:
  HidReadResult DoReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_cancels > 0 || !m_reports.empty() || m_gone; });
    if (m_cancels > 0) {
      --m_cancels;
      return HidReadResult::Cancelled;
    }
    if (m_reports.empty()) return HidReadResult::DeviceGone;
    const std::vector<std::uint8_t>& next = m_reports.front();
    received = std::min(next.size(), report.size());
    std::copy_n(next.begin(), received, report.begin());
    m_reports.pop_front();
    return HidReadResult::Report;
  }

  void DoCancelRead() override {
    std::lock_guard lock(m_mutex);
    ++m_cancels;
    m_changed.notify_all();
  }

  bool DoWriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs) override {
    if (!m_hid.outEndpoint) return SetReport(kOutputReport, report, TimeoutMs(timeoutMs));
    const UsbReport usb = SplitReportId(report);
    std::vector<std::uint8_t> buffer(usb.data.begin(), usb.data.end());
    std::lock_guard lock(m_requestMutex);
    if (!m_request) return false;
    libusb_fill_interrupt_transfer(m_request.get(), m_session->Handle(), *m_hid.outEndpoint, buffer.data(),
                                   static_cast<int>(buffer.size()), RequestDone, nullptr, TimeoutMs(timeoutMs));
    return Run("interrupt out") == buffer.size();
  }

  bool DoSetOutputReport(std::span<const std::uint8_t> report) override {
    return SetReport(kOutputReport, report, kControlTimeoutMs);
  }

  bool DoSetFeatureReport(std::span<const std::uint8_t> report) override {
    return SetReport(kFeatureReport, report, kControlTimeoutMs);
  }

  // An unnumbered report is asked for without its ID byte, which stays in
  // byte 0; the answer is stored after it.
  bool DoGetInputReport(std::span<std::uint8_t> report) override {
    const std::uint8_t id = report[0];
    const std::span<std::uint8_t> answer = id == 0 ? report.subspan(1) : report;
    if (answer.size() > 0xFFFF) return false;
    std::vector<std::uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + answer.size());
    libusb_fill_control_setup(buffer.data(), kClassFromInterface, kGetReport,
                              static_cast<std::uint16_t>(kInputReport << 8 | id), m_hid.number,
                              static_cast<std::uint16_t>(answer.size()));
    const std::optional<std::size_t> got = Control(buffer, kControlTimeoutMs, "GET_REPORT (Input)");
    if (!got) return false;
    std::copy_n(buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE, std::min(*got, answer.size()), answer.begin());
    return true;
  }

  bool DoGetProductString(std::span<char16_t> buffer) override { return CopyProductText(m_product, buffer); }

  // One queued interrupt-in transfer and its buffer.
  struct CRead {
    CLibusbDevice* owner = nullptr;
    std::vector<std::uint8_t> buffer;
    TransferPtr transfer;
    bool queued = false;
  };

  // One request made by a caller's thread, completed on the event thread.
  struct CRequest {
    CLibusbDevice* owner = nullptr;
    bool done = false;
    libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
    std::size_t length = 0;
  };

  bool SetReport(std::uint8_t type, std::span<const std::uint8_t> report, unsigned timeoutMs) {
    const UsbReport usb = SplitReportId(report);
    if (usb.data.size() > 0xFFFF) return false;
    std::vector<std::uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + usb.data.size());
    libusb_fill_control_setup(buffer.data(), kClassToInterface, kSetReport,
                              static_cast<std::uint16_t>(type << 8 | usb.id), m_hid.number,
                              static_cast<std::uint16_t>(usb.data.size()));
    std::copy(usb.data.begin(), usb.data.end(), buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
    const char* kind = type == kFeatureReport ? "SET_REPORT (Feature)" : "SET_REPORT (Output)";
    return Control(buffer, timeoutMs, kind) == usb.data.size();
  }

  // A control request whose setup packet and data stage are in `buffer`; the
  // number of data bytes that went either way.
  std::optional<std::size_t> Control(std::vector<std::uint8_t>& buffer, unsigned timeoutMs, const char* kind) {
    std::lock_guard lock(m_requestMutex);
    if (!m_request) return std::nullopt;
    libusb_fill_control_transfer(m_request.get(), m_session->Handle(), buffer.data(), RequestDone, nullptr, timeoutMs);
    return Run(kind);
  }

  // Submits the filled request transfer and waits for its end, which libusb's
  // time-out or the device's removal bring at the latest. The caller holds
  // m_requestMutex.
  std::optional<std::size_t> Run(const char* kind) {
    {
      std::lock_guard lock(m_mutex);
      if (m_gone) return std::nullopt;
    }
    CRequest request{.owner = this};
    m_request->user_data = &request;
    const int submitted = libusb_submit_transfer(m_request.get());
    if (submitted != 0) {
      if (submitted == LIBUSB_ERROR_NO_DEVICE)
        MarkGone(kind);
      else
        LogFailureOnce(kind, libusb_error_name(submitted));
      return std::nullopt;
    }
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&request] { return request.done; });
    lock.unlock();
    if (request.status == LIBUSB_TRANSFER_COMPLETED) return request.length;
    if (request.status == LIBUSB_TRANSFER_NO_DEVICE)
      MarkGone(kind);
    else
      LogFailureOnce(kind, StatusName(request.status));
    return std::nullopt;
  }

  static void LIBUSB_CALL RequestDone(libusb_transfer* transfer) {
    auto* request = static_cast<CRequest*>(transfer->user_data);
    std::lock_guard lock(request->owner->m_mutex);
    request->status = transfer->status;
    request->length = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    request->done = true;
    request->owner->m_changed.notify_all();
  }

  static void LIBUSB_CALL ReadDone(libusb_transfer* transfer) {
    auto* read = static_cast<CRead*>(transfer->user_data);
    read->owner->OnRead(*read);
  }

  // The event thread: queues the reads, handles every transfer's completion
  // (callbacks run here only), and on close cancels the reads and waits for them.
  void RunEvents() {
    m_eventThread.Check("the USB event loop");
    m_reads.resize(kReadsQueued);
    for (CRead& read : m_reads) {
      read.owner = this;
      read.buffer.resize(m_hid.inPacketSize);
      read.transfer.reset(libusb_alloc_transfer(0));
      if (!read.transfer) continue;
      libusb_fill_interrupt_transfer(read.transfer.get(), m_session->Handle(), m_hid.inEndpoint, read.buffer.data(),
                                     static_cast<int>(read.buffer.size()), ReadDone, &read, 0);
      Queue(read);
    }
    for (;;) {
      {
        std::lock_guard lock(m_mutex);
        if (m_closing) break;
      }
      const std::optional<CInterruptInRecovery::TimePoint> due = m_recovery.DueAt();
      if (!due) {
        libusb_handle_events(m_session->Context());
        continue;
      }
      const auto wait = *due - std::chrono::steady_clock::now();
      if (wait <= std::chrono::steady_clock::duration::zero()) {
        QueueReadsAgain();
        continue;
      }
      const auto us = std::chrono::ceil<std::chrono::microseconds>(wait).count();
      timeval timeout{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
      libusb_handle_events_timeout_completed(m_session->Context(), &timeout, nullptr);
    }
    for (CRead& read : m_reads)
      if (read.queued) libusb_cancel_transfer(read.transfer.get());
    while (std::any_of(m_reads.begin(), m_reads.end(), [](const CRead& read) { return read.queued; }))
      libusb_handle_events(m_session->Context());
  }

  void Queue(CRead& read) {
    const int submitted = libusb_submit_transfer(read.transfer.get());
    read.queued = submitted == 0;
    if (submitted == LIBUSB_ERROR_NO_DEVICE)
      MarkGone("interrupt in");
    else if (submitted != 0)
      MarkGone("interrupt in", libusb_error_name(submitted));
  }

  // Reports are delivered in the order the transfers end, which for one
  // endpoint is the order they were queued in.
  void OnRead(CRead& read) {
    m_eventThread.Check("an interrupt-in completion");
    read.queued = false;
    const libusb_transfer& transfer = *read.transfer;
    if (transfer.status == LIBUSB_TRANSFER_CANCELLED) return;
    if (transfer.status == LIBUSB_TRANSFER_NO_DEVICE) return MarkGone("interrupt in");
    if (transfer.status != LIBUSB_TRANSFER_COMPLETED && transfer.status != LIBUSB_TRANSFER_TIMED_OUT)
      return OnReadFailed(transfer.status);
    const std::size_t length = std::min<std::size_t>(std::max(transfer.actual_length, 0), read.buffer.size());
    {
      std::lock_guard lock(m_mutex);
      if (m_closing) return;
      if (transfer.status == LIBUSB_TRANSFER_COMPLETED && length > 0) {
        // The transfer of an unnumbered report has no ID byte: the 0 goes back
        // in front, so byte 0 is the report ID as everywhere in the program.
        std::vector<std::uint8_t> report(m_numbered ? 0 : 1, 0);
        report.insert(report.end(), read.buffer.begin(), read.buffer.begin() + static_cast<std::ptrdiff_t>(length));
        if (m_reports.size() == kReportsKept) {
          m_reports.pop_front();
          if (!m_dropLogged) {
            m_dropLogged = true;
            LogMessage("USB: %s: input reports arrive faster than they are read; the oldest are dropped",
                       m_session->Node());
          }
        }
        m_reports.push_back(std::move(report));
        m_changed.notify_all();
      }
    }
    Queue(read);
  }

  // A stall or a transfer error: the read waits, with the others of its
  // round, until QueueReadsAgain runs on this thread outside the callbacks
  // (clearing a halt is a synchronous request, which a callback must not make).
  void OnReadFailed(libusb_transfer_status status) {
    {
      std::lock_guard lock(m_mutex);
      if (m_closing || m_gone) return;
    }
    const bool stall = status == LIBUSB_TRANSFER_STALL;
    switch (m_recovery.Failed(stall, std::chrono::steady_clock::now())) {
      case CInterruptInRecovery::EVerdict::NewRound:
        LogMessage("USB: %s: interrupt in %s; the reads are queued again%s", m_session->Node(), StatusName(status),
                   stall ? " once the halt is cleared" : " after a pause");
        return;
      case CInterruptInRecovery::EVerdict::SameRound:
        return;
      case CInterruptInRecovery::EVerdict::Spent:
        return MarkGone("interrupt in", stall ? "stalled, more often than the error budget allows"
                                              : "transfer errors, more often than the error budget allows");
    }
  }

  void QueueReadsAgain() {
    m_eventThread.Check("the interrupt-in recovery");
    if (m_recovery.TakeRound()) {
      const int cleared = libusb_clear_halt(m_session->Handle(), m_hid.inEndpoint);
      if (cleared == LIBUSB_ERROR_NO_DEVICE) return MarkGone("interrupt in");
      if (cleared != 0)
        LogMessage("USB: %s: the halt of interrupt in 0x%02x could not be cleared (%s)", m_session->Node(),
                   m_hid.inEndpoint, libusb_error_name(cleared));
    }
    {
      std::lock_guard lock(m_mutex);
      if (m_closing || m_gone) return;
    }
    for (CRead& read : m_reads)
      if (!read.queued && read.transfer) Queue(read);
  }

  void MarkGone(const char* kind, const char* why = nullptr) {
    std::lock_guard lock(m_mutex);
    if (m_gone) return;
    m_gone = true;
    RecordError(why == nullptr ? std::string(kind) + ": device gone" : std::string(kind) + ": " + why);
    if (why == nullptr)
      LogMessage("USB: %s: device gone (%s)", m_session->Node(), kind);
    else  // a removed device's transfers often end as errors rather than as "no device"
      LogMessage("USB: %s: device gone (%s: %s)", m_session->Node(), kind, why);
    m_changed.notify_all();
  }

  // A request the device refused or let time out: logged once per kind, since
  // some callers send thousands without looking at the result; once the device
  // is gone, not at all.
  void LogFailureOnce(const char* kind, const char* why) {
    std::lock_guard lock(m_mutex);
    if (m_gone) return;
    RecordError(std::string(kind) + ": " + why);
    if (++m_failures[kind] == 1)
      LogMessage("USB: %s: %s failed (%s); further failures of this kind are not logged", m_session->Node(), kind, why);
  }

  static const char* StatusName(libusb_transfer_status status) {
    switch (status) {
      case LIBUSB_TRANSFER_TIMED_OUT:
        return "timed out";
      case LIBUSB_TRANSFER_STALL:
        return "stalled";
      case LIBUSB_TRANSFER_OVERFLOW:
        return "the device sent more than asked for";
      case LIBUSB_TRANSFER_CANCELLED:
        return "cancelled";
      case LIBUSB_TRANSFER_NO_DEVICE:
        return "no device";
      default:
        return "transfer error";
    }
  }

  const std::unique_ptr<CUsbSession> m_session;
  const UsbHidInterface m_hid;
  const bool m_numbered;
  const std::u16string m_product;

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::vector<std::uint8_t>> m_reports;
  unsigned m_cancels = 0;
  bool m_gone = false;
  bool m_closing = false;
  bool m_dropLogged = false;
  std::map<std::string, unsigned> m_failures;

  // The transfer of the caller's requests, one at a time. It is made before
  // the event thread starts and reused: libusb hands a transfer to that
  // thread through the kernel (the URB's context), an order ThreadSanitizer
  // cannot see, so a transfer made on another thread later looks unordered
  // with the event thread's first use of it.
  std::mutex m_requestMutex;
  const TransferPtr m_request;

  std::vector<CRead> m_reads;  // the event thread's alone, as is m_recovery
  CThreadChecker m_eventThread;
  CInterruptInRecovery m_recovery;
  std::thread m_events;
};

// The HID interfaces of the active configuration, and that configuration's value.
struct ActiveHidInterfaces {
  std::uint8_t configuration = 0;
  std::vector<UsbHidInterface> interfaces;
};
ActiveHidInterfaces FindActiveHidInterfaces(CUsbSession& session) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(session.Handle()), &config) != 0) return {};
  ActiveHidInterfaces found{config->bConfigurationValue, FindHidInterfaces(*config)};
  libusb_free_config_descriptor(config);
  return found;
}

// The sysfs directory of a usbfs node's device ("/dev/bus/usb/BBB/DDD"): the
// one of <devices> whose bus and device numbers are BBB and DDD.
std::optional<fs::path> SysfsDevice(const fs::path& devices, const std::string& node) {
  unsigned bus = 0;
  unsigned address = 0;
  const fs::path path(node);
  if (std::sscanf(path.parent_path().filename().c_str(), "%u", &bus) != 1 ||
      std::sscanf(path.filename().c_str(), "%u", &address) != 1)
    return std::nullopt;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(devices, error)) {
    if (entry.path().filename().string().find(':') != std::string::npos) continue;
    if (ReadNumber(entry.path() / "busnum", 10) == bus && ReadNumber(entry.path() / "devnum", 10) == address)
      return entry.path();
  }
  return std::nullopt;
}

// The first HID interface whose report descriptor can carry the device's
// protocol, with whether its reports are numbered; the others are passed over
// with a log line. A descriptor that cannot be read counts as the product's
// (unnumbered), as a device with one HID interface has always been taken.
std::optional<std::pair<UsbHidInterface, bool>> ChooseHidInterface(CUsbSession& session,
                                                                  const ActiveHidInterfaces& active,
                                                                  const std::optional<fs::path>& sysfsDevice) {
  for (const UsbHidInterface& hid : active.interfaces) {
    std::optional<fs::path> sysfsInterface;
    if (sysfsDevice)
      sysfsInterface = *sysfsDevice / (sysfsDevice->filename().string() + ":" + std::to_string(active.configuration) +
                                       "." + std::to_string(hid.number));
    const std::optional<std::vector<std::uint8_t>> descriptor = ReadReportDescriptor(session, hid, sysfsInterface);
    if (!descriptor) {
      LogMessage("USB: the report descriptor of interface %u of %s cannot be read; its reports count as unnumbered",
                 hid.number, session.Node());
      return std::pair{hid, false};
    }
    const ReportDescriptorSummary summary = SummariseReportDescriptor(*descriptor);
    const std::string mismatch = ProtocolMismatch(summary);
    if (mismatch.empty()) return std::pair{hid, summary.numberedReports};
    LogMessage("USB: interface %u of %s skipped: %s", hid.number, session.Node(), mismatch);
  }
  return std::nullopt;
}

}  // namespace

void GiveBackUsbInterfaces() {
  std::lock_guard lock(CUsbSession::Claimed().mutex);
  for (CUsbSession* session : CUsbSession::Claimed().sessions) session->GiveBackClaimed();
  CUsbSession::Claimed().sessions.clear();
}

CLibusbBackend::CLibusbBackend(std::string sysfsRoot, std::string devRoot)
    : m_sysfsRoot(std::move(sysfsRoot)), m_devRoot(std::move(devRoot)) {}

std::vector<HidInterfaceInfo> CLibusbBackend::Enumerate() {
  // Scaled waits are for tests: a real device must never see their shortened
  // settle times and time-outs.
  const bool virtualOnly = Clock::TimeScale() != 1.0;
  const fs::path devices = fs::path(m_sysfsRoot) / "bus" / "usb" / "devices";
  std::error_code error;
  std::vector<std::string> withHid;
  std::vector<std::string> all;
  for (const auto& entry : fs::directory_iterator(devices, error)) {
    const std::string name = entry.path().filename().string();
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) {
      all.push_back(name);
    } else if (ReadNumber(entry.path() / "bInterfaceClass", 16) == 3u) {
      withHid.push_back(name.substr(0, colon));
    }
  }
  std::vector<HidInterfaceInfo> found;
  for (const std::string& name : all) {
    if (std::find(withHid.begin(), withHid.end(), name) == withHid.end()) continue;
    const fs::path device = devices / name;
    const std::optional<unsigned> vendor = ReadNumber(device / "idVendor", 16);
    const std::optional<unsigned> product = ReadNumber(device / "idProduct", 16);
    const std::optional<unsigned> bus = ReadNumber(device / "busnum", 10);
    const std::optional<unsigned> address = ReadNumber(device / "devnum", 10);
    if (!vendor || !product || !bus || !address || *bus > 999 || *address > 999) continue;
    char node[32];
    std::snprintf(node, sizeof node, "/bus/usb/%03u/%03u", *bus, *address);
    if (virtualOnly && !IsBelowDummyHcd(fs::canonical(device, error).string())) {
      LogMessage("USB: %s is a real device and is left alone: a time scale other than 1 is for virtual devices only",
                 m_devRoot + node);
      continue;
    }
    char tags[32];
    std::snprintf(tags, sizeof tags, "#vid_%04x&pid_%04x", *vendor, *product);
    found.push_back(
        {m_devRoot + node + tags, static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)});
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  return found;
}

std::unique_ptr<CHidDevice> CLibusbBackend::Open(const std::string& path) {
  const std::string node = path.substr(0, path.find('#'));
  const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM)
      LogNoPermission("USB", node);
    else
      LogMessage("USB: cannot open %s (%s)", node, std::strerror(errno));
    return nullptr;
  }
  auto session = std::make_unique<CUsbSession>(node, fd);
  if (!session->Start()) return nullptr;

  // A node may have been given to another device since enumeration.
  libusb_device_descriptor descriptor{};
  const auto ids = PathIdentity(path);
  if (libusb_get_device_descriptor(libusb_get_device(session->Handle()), &descriptor) != 0 || !ids ||
      ids->first != descriptor.idVendor || ids->second != descriptor.idProduct) {
    LogMessage("USB: %s is not the device %s names", node, path);
    return nullptr;
  }
  const ActiveHidInterfaces active = FindActiveHidInterfaces(*session);
  if (active.interfaces.empty()) {
    LogMessage("USB: %s has no HID interface with an interrupt-in endpoint", node);
    return nullptr;
  }
  const std::optional<std::pair<UsbHidInterface, bool>> chosen =
      ChooseHidInterface(*session, active, SysfsDevice(fs::path(m_sysfsRoot) / "bus" / "usb" / "devices", node));
  if (!chosen) {
    LogMessage("USB: %s has no HID interface that can carry the device's reports", node);
    return nullptr;
  }
  const auto& [hid, numbered] = *chosen;
  if (!session->Take(hid)) return nullptr;
  std::u16string product = ReadProductString(*session);
  if (hid.outEndpoint)
    LogMessage("USB: opened %s, HID interface %u: interrupt in 0x%02x, interrupt out 0x%02x", node, hid.number,
               hid.inEndpoint, *hid.outEndpoint);
  else
    LogMessage("USB: opened %s, HID interface %u: interrupt in 0x%02x, no interrupt out (writes go as SET_REPORT)",
               node, hid.number, hid.inEndpoint);
  return std::make_unique<CLibusbDevice>(std::move(session), hid, numbered, std::move(product));
}
