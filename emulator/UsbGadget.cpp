#include "emulator/UsbGadget.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>

namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigfsGadgets = "/sys/kernel/config/usb_gadget";
constexpr const char* kUdcClass = "/sys/class/udc";
constexpr std::uint16_t kMaxPacket = 64;
// Function-local interface numbers: the stand-in for the audio interfaces,
// then the vendor HID interface; a consumer-control interface goes before both.
constexpr std::uint8_t kConsumerControlInterface = 0;
constexpr std::uint8_t kConsumerControlEndpoint = USB_DIR_IN | 3;
constexpr std::uint16_t kConsumerControlPacket = 1;

std::uint8_t HidInterfaceNumber(const UsbGadgetIdentity& identity) { return identity.consumerControl ? 2 : 1; }
constexpr int kBuffersPerPipe = 2;

constexpr std::uint8_t kRequestGetReport = 0x01;
constexpr std::uint8_t kRequestGetIdle = 0x02;
constexpr std::uint8_t kRequestSetReport = 0x09;
constexpr std::uint8_t kRequestSetIdle = 0x0A;
constexpr std::uint8_t kDescriptorHid = 0x21;
constexpr std::uint8_t kDescriptorReport = 0x22;

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Volume up, volume down and mute as one byte's three low bits; unnumbered.
const std::vector<std::uint8_t>& ConsumerControlReportDescriptor() {
  static const std::vector<std::uint8_t> descriptor = {
      0x05, 0x0C,        // Usage Page (Consumer)
      0x09, 0x01,        // Usage (Consumer Control)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x25, 0x01,        //   Logical Maximum (1)
      0x09, 0xE9,        //   Usage (Volume Increment)
      0x09, 0xEA,        //   Usage (Volume Decrement)
      0x09, 0xE2,        //   Usage (Mute)
      0x75, 0x01,        //   Report Size (1)
      0x95, 0x03,        //   Report Count (3)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
      0x95, 0x05,        //   Report Count (5)
      0x81, 0x01,        //   Input (Constant): padding to the byte
      0xC0,              // End Collection
  };
  return descriptor;
}

std::vector<std::uint8_t> HidDescriptor(std::size_t reportDescriptorLength) {
  std::vector<std::uint8_t> descriptor = {9, kDescriptorHid, 0x11, 0x01, 0x00, 0x01, kDescriptorReport};
  PutLe16(descriptor, static_cast<std::uint16_t>(reportDescriptorLength));
  return descriptor;
}

// One speed's descriptors: the vendor-specific interface without endpoints that
// stands where the real device has its audio interfaces, then the HID
// interface with its HID descriptor, interrupt IN and (optionally) interrupt
// OUT, both polled every millisecond. `intervalCode` is bInterval in the
// speed's own unit. Returns the number of descriptors added.
// FunctionFS names the endpoint files ep1, ep2, ... in the order the
// endpoints first appear here: the consumer-control interface's comes first.
std::uint32_t PutSpeedDescriptors(std::vector<std::uint8_t>& out, const UsbGadgetIdentity& identity,
                                  std::uint8_t intervalCode) {
  std::uint32_t count = 0;
  if (identity.consumerControl) {
    const std::uint8_t buttons[] = {9, USB_DT_INTERFACE, kConsumerControlInterface, 0, 1, USB_CLASS_HID, 0, 0, 0};
    out.insert(out.end(), std::begin(buttons), std::end(buttons));
    const std::vector<std::uint8_t> hidDescriptor = HidDescriptor(ConsumerControlReportDescriptor().size());
    out.insert(out.end(), hidDescriptor.begin(), hidDescriptor.end());
    out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, kConsumerControlEndpoint, USB_ENDPOINT_XFER_INT});
    PutLe16(out, kConsumerControlPacket);
    out.push_back(intervalCode);
    count += 3;
  }
  const std::uint8_t endpoints = identity.interruptOut ? 2 : 1;
  const std::uint8_t standIn[] = {9, USB_DT_INTERFACE, static_cast<std::uint8_t>(HidInterfaceNumber(identity) - 1),
                                  0, 0, USB_CLASS_VENDOR_SPEC, 0, 0, 0};
  const std::uint8_t hid[] = {9, USB_DT_INTERFACE, HidInterfaceNumber(identity), 0, endpoints, USB_CLASS_HID, 0, 0, 0};
  out.insert(out.end(), std::begin(standIn), std::end(standIn));
  out.insert(out.end(), std::begin(hid), std::end(hid));
  const std::vector<std::uint8_t> hidDescriptor = HidDescriptor(identity.reportDescriptor.size());
  out.insert(out.end(), hidDescriptor.begin(), hidDescriptor.end());
  for (std::uint8_t address : {std::uint8_t{USB_DIR_IN | 1}, std::uint8_t{USB_DIR_OUT | 2}}) {
    if (address == (USB_DIR_OUT | 2) && !identity.interruptOut) break;
    out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_INT});
    PutLe16(out, kMaxPacket);
    out.push_back(intervalCode);
  }
  return count + 3u + endpoints;
}

std::vector<std::uint8_t> FunctionDescriptors(const UsbGadgetIdentity& identity) {
  std::vector<std::uint8_t> out;
  PutLe32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  PutLe32(out, 0);  // length, set below
  PutLe32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  const std::size_t counts = out.size();
  PutLe32(out, 0);
  PutLe32(out, 0);
  // Full speed: bInterval in frames (1 ms); high speed: 2^(n-1) microframes, 4 = 1 ms.
  const std::uint32_t fullSpeed = PutSpeedDescriptors(out, identity, 1);
  const std::uint32_t highSpeed = PutSpeedDescriptors(out, identity, 4);
  const auto patch = [&out](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  patch(4, static_cast<std::uint32_t>(out.size()));
  patch(counts, fullSpeed);
  patch(counts + 4, highSpeed);
  return out;
}

// The function has no strings of its own (the device's come from configfs).
std::vector<std::uint8_t> FunctionStrings() {
  std::vector<std::uint8_t> out;
  PutLe32(out, FUNCTIONFS_STRINGS_MAGIC);
  PutLe32(out, 16);
  PutLe32(out, 0);
  PutLe32(out, 0);
  return out;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

bool WriteAttribute(const std::string& path, const std::string& text, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && WriteAll(fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  const int saved = errno;
  if (fd >= 0) close(fd);
  if (!written) error = "cannot write " + path + ": " + std::strerror(saved);
  return written;
}

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

std::string DescribeSetup(const std::uint8_t* setup) {
  char text[96];
  std::snprintf(text, sizeof text, "bmRequestType %02x bRequest %02x wValue %04x wIndex %04x wLength %u", setup[0],
                setup[1], setup[2] | (setup[3] << 8), setup[4] | (setup[5] << 8),
                static_cast<unsigned>(setup[6] | (setup[7] << 8)));
  return text;
}

// The UDC to bind: the one named, or the first of /sys/class/udc.
std::string ChooseUdc(const std::string& requested, std::string& error) {
  if (!requested.empty()) return requested;
  std::vector<std::string> names;
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(kUdcClass, code)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  if (names.empty()) error = std::string("no USB device controller in ") + kUdcClass;
  return names.empty() ? std::string() : names.front();
}

}  // namespace

// What was made for the gadget, and how to take each part down again (in reverse order).
struct CUsbGadget::Paths {
  std::string gadget;
  std::string mount;
  std::vector<std::function<void()>> undo;
  bool bound = false;

  bool MakeDir(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0755) != 0) {
      error = "cannot make " + path + ": " + std::strerror(errno);
      return false;
    }
    undo.push_back([path] { rmdir(path.c_str()); });
    return true;
  }
};

std::unique_ptr<CUsbGadget> CUsbGadget::Create(const std::string& udc, const UsbGadgetIdentity& identity,
                                               std::string& error) {
  std::unique_ptr<CUsbGadget> gadget(new CUsbGadget(identity, std::make_unique<Paths>()));
  gadget->m_udc = ChooseUdc(udc, error);
  if (gadget->m_udc.empty() || !gadget->Open(error)) return nullptr;
  return gadget;
}

CUsbGadget::CUsbGadget(const UsbGadgetIdentity& identity, std::unique_ptr<Paths> paths)
    : m_identity(identity), m_paths(std::move(paths)) {}

bool CUsbGadget::Open(std::string& error) {
  Paths& paths = *m_paths;
  if (!fs::is_directory(kConfigfsGadgets)) {
    error = std::string("no ") + kConfigfsGadgets + ": configfs must be mounted and the module libcomposite loaded";
    return false;
  }
  if (!m_events.Valid()) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  // Names unique to this process and appearance; an instance of FunctionFS is
  // mounted by its name.
  static std::atomic<unsigned> s_count{0};
  const std::string unique = std::to_string(getpid()) + "_" + std::to_string(s_count++);
  const std::string instance = "qd" + unique;
  paths.gadget = std::string(kConfigfsGadgets) + "/quillon-devemu-" + unique;
  const std::string english = "/strings/0x409";
  const std::string config = paths.gadget + "/configs/c.1";
  const std::string function = paths.gadget + "/functions/ffs." + instance;
  if (!paths.MakeDir(paths.gadget, error) ||
      !WriteAttribute(paths.gadget + "/idVendor", Hex4(m_identity.vendorId), error) ||
      !WriteAttribute(paths.gadget + "/idProduct", Hex4(m_identity.productId), error) ||
      !WriteAttribute(paths.gadget + "/bcdDevice", "0x0100", error) ||
      !WriteAttribute(paths.gadget + "/bcdUSB", "0x0200", error) || !paths.MakeDir(paths.gadget + english, error))
    return false;
  const std::pair<const char*, const std::string*> strings[] = {{"/manufacturer", &m_identity.manufacturer},
                                                                {"/product", &m_identity.product},
                                                                {"/serialnumber", &m_identity.serialNumber}};
  for (const auto& [name, text] : strings) {
    if (!text->empty() && !WriteAttribute(paths.gadget + english + name, *text, error)) return false;
  }
  if (!paths.MakeDir(config, error) || !WriteAttribute(config + "/MaxPower", "100", error) ||
      !paths.MakeDir(config + english, error) ||
      !WriteAttribute(config + english + "/configuration", "Firmware upgrade", error) ||
      !paths.MakeDir(function, error))
    return false;
  const std::string link = config + "/ffs." + instance;
  if (symlink(function.c_str(), link.c_str()) != 0) {
    error = "cannot link " + link + ": " + std::strerror(errno);
    return false;
  }
  paths.undo.push_back([link] { unlink(link.c_str()); });

  char mountDir[] = "/tmp/quillon-ffs.XXXXXX";
  if (!mkdtemp(mountDir)) {
    error = std::string("cannot make a mount point in /tmp: ") + std::strerror(errno);
    return false;
  }
  paths.mount = mountDir;
  paths.undo.push_back([dir = paths.mount] { rmdir(dir.c_str()); });
  if (mount(instance.c_str(), mountDir, "functionfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    error = std::string("cannot mount FunctionFS (module usb_f_fs) on ") + mountDir + ": " + std::strerror(errno);
    return false;
  }
  paths.undo.push_back([dir = paths.mount] { umount2(dir.c_str(), MNT_DETACH); });

  m_ep0 = open((paths.mount + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (m_ep0 < 0 || !WriteAll(m_ep0, FunctionDescriptors(m_identity)) || !WriteAll(m_ep0, FunctionStrings())) {
    error = "FunctionFS did not take the descriptors: " + std::string(std::strerror(errno));
    return false;
  }
  // Events are read without blocking, behind poll, so that the thread can be stopped.
  fcntl(m_ep0, F_SETFL, fcntl(m_ep0, F_GETFL) | O_NONBLOCK);
  // On a disabled endpoint a non-blocking read or write fails at once (EAGAIN)
  // instead of waiting for the host to configure the device.
  const int first = m_identity.consumerControl ? 2 : 1;  // the vendor interface's first endpoint file
  m_epIn = open((paths.mount + "/ep" + std::to_string(first)).c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (m_identity.interruptOut)
    m_epOut = open((paths.mount + "/ep" + std::to_string(first + 1)).c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_epIn < 0 || (m_identity.interruptOut && m_epOut < 0) || m_stopFd < 0) {
    error = "cannot open the endpoints in " + paths.mount + ": " + std::strerror(errno);
    return false;
  }
  m_control = std::thread([this] { ServeControl(); });
  m_inWriter = std::thread([this] { WriteInterruptIn(); });
  if (m_epOut >= 0) m_outReader = std::thread([this] { ReadInterruptOut(); });

  if (!WriteAttribute(paths.gadget + "/UDC", m_udc, error)) return false;
  paths.bound = true;
  return true;
}

CUsbGadget::~CUsbGadget() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  const std::uint64_t one = 1;
  if (m_stopFd >= 0 && write(m_stopFd, &one, sizeof one) < 0) {
    // Cannot fail for a fresh eventfd.
  }
  // Unbinding disables the endpoints: transfers the threads wait in fail.
  std::string error;
  if (m_paths->bound) WriteAttribute(m_paths->gadget + "/UDC", "\n", error);
  for (std::thread* thread : {&m_control, &m_outReader, &m_inWriter}) {
    if (thread->joinable()) thread->join();
  }
  for (int fd : {m_epOut, m_epIn, m_ep0, m_stopFd}) {
    if (fd >= 0) close(fd);
  }
  for (auto step = m_paths->undo.rbegin(); step != m_paths->undo.rend(); ++step) (*step)();
}

// ---- endpoint 0 ----

void CUsbGadget::ServeControl() {
  for (;;) {
    pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_ep0, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    // One event at a time: FunctionFS expects the data stage of a SETUP right
    // after the read that returned it.
    usb_functionfs_event event{};
    const ssize_t got = read(m_ep0, &event, sizeof event);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got < 0) return;
    if (got != static_cast<ssize_t>(sizeof event)) continue;
    switch (event.type) {
      case FUNCTIONFS_ENABLE: {
        {
          std::lock_guard lock(m_mutex);
          m_enabled = true;
          m_outTaken = 0;
          m_controlTaken = 0;
        }
        m_changed.notify_all();
        m_events.Push(UsbGadgetEvent(UsbGadgetEvent::EKind::Configured));
        break;
      }
      case FUNCTIONFS_DISABLE:
      case FUNCTIONFS_UNBIND: {
        bool wasEnabled = false;
        bool dropped = false;
        {
          std::lock_guard lock(m_mutex);
          wasEnabled = m_enabled;
          m_enabled = false;
          // A deconfigured device's endpoint buffers are empty.
          if (m_input && !m_inputBusy) {
            m_input.reset();
            dropped = true;
          }
        }
        m_changed.notify_all();
        if (dropped) m_events.Push(UsbGadgetEvent(UsbGadgetEvent::EKind::InputSent));
        if (wasEnabled) m_events.Push(UsbGadgetEvent(UsbGadgetEvent::EKind::Unconfigured));
        break;
      }
      case FUNCTIONFS_SETUP:
        HandleSetup(reinterpret_cast<const std::uint8_t*>(&event.u.setup));
        break;
      default:
        break;
    }
  }
}

void CUsbGadget::HandleSetup(const std::uint8_t* setup) {
  const std::uint8_t requestType = setup[0];
  const std::uint8_t request = setup[1];
  const std::uint16_t value = static_cast<std::uint16_t>(setup[2] | (setup[3] << 8));
  const std::uint16_t index = static_cast<std::uint16_t>(setup[4] | (setup[5] << 8));
  const std::uint16_t length = static_cast<std::uint16_t>(setup[6] | (setup[7] << 8));
  const bool in = (requestType & USB_DIR_IN) != 0;
  const bool toInterface = (requestType & USB_RECIP_MASK) == USB_RECIP_INTERFACE;
  if (toInterface && m_identity.consumerControl && index == kConsumerControlInterface)
    return HandleConsumerControlSetup(setup);
  const bool toHid = toInterface && index == HidInterfaceNumber(m_identity);
  const std::uint8_t reportType = static_cast<std::uint8_t>(value >> 8);
  const std::uint8_t reportId = static_cast<std::uint8_t>(value);
  auto note = [this, setup](const char* what) { Note(what, setup); };

  if (toHid && (requestType & USB_TYPE_MASK) == USB_TYPE_STANDARD && in && request == USB_REQ_GET_DESCRIPTOR) {
    if (reportType == kDescriptorReport) {
      AnswerIn(m_identity.reportDescriptor, length);
      note("GET_DESCRIPTOR(Report) answered");
      return;
    }
    if (reportType == kDescriptorHid) {
      AnswerIn(HidDescriptor(m_identity.reportDescriptor.size()), length);
      note("GET_DESCRIPTOR(HID) answered");
      return;
    }
  }
  if (toHid && (requestType & USB_TYPE_MASK) == USB_TYPE_CLASS) {
    if (!in && request == kRequestSetReport && reportId == 0 && length > 0 &&
        length <= m_identity.outputReportLength &&
        (reportType == kReportTypeOutput || reportType == kReportTypeFeature)) {
      // The data stage completes the host's transfer: it is read only when the
      // device has a buffer for it.
      if (!WaitForBuffer(m_controlTaken)) return;
      std::vector<std::uint8_t> data(length);
      ssize_t got = -1;
      do {
        got = read(m_ep0, data.data(), data.size());
      } while (got < 0 && (errno == EINTR || errno == EAGAIN));
      if (got < 0) {
        TakeNextControl();
        note("SET_REPORT ended by the host before its data stage");
        return;
      }
      data.resize(static_cast<std::size_t>(got));
      UsbGadgetEvent event(UsbGadgetEvent::EKind::SetReport);
      event.reportType = reportType;
      event.data = std::move(data);
      m_events.Push(std::move(event));
      return;
    }
    if (in && request == kRequestGetReport && reportType == kReportTypeInput && reportId == 0 && length > 0) {
      {
        std::lock_guard lock(m_mutex);
        m_getReportPending = true;
        m_getReportReply.reset();
      }
      UsbGadgetEvent event(UsbGadgetEvent::EKind::GetReport);
      event.length = length;
      m_events.Push(std::move(event));
      std::optional<std::vector<std::uint8_t>> reply;
      {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_stopping || m_getReportReply.has_value(); });
        m_getReportPending = false;
        if (m_stopping) return;
        reply = std::move(*m_getReportReply);
        m_getReportReply.reset();
      }
      if (reply) {
        AnswerIn(*reply, length);
      } else {
        Stall(true);
      }
      return;
    }
    if (!in && request == kRequestSetIdle && length == 0) {
      AckOut();
      note("SET_IDLE accepted");
      return;
    }
    if (in && request == kRequestGetIdle) {
      const std::uint8_t idle[] = {0};
      AnswerIn(idle, length);
      note("GET_IDLE answered");
      return;
    }
  }
  Stall(in);
  note("request stalled");
}

// The host's HID driver sets the buttons up (descriptors, SET_IDLE); nothing
// else is meant for them, so everything else is stalled and noted.
void CUsbGadget::HandleConsumerControlSetup(const std::uint8_t* setup) {
  const std::uint8_t requestType = setup[0];
  const std::uint8_t request = setup[1];
  const std::uint8_t descriptorType = setup[3];
  const std::uint16_t length = static_cast<std::uint16_t>(setup[6] | (setup[7] << 8));
  const bool in = (requestType & USB_DIR_IN) != 0;
  const std::uint8_t type = requestType & USB_TYPE_MASK;
  const std::vector<std::uint8_t>& report = ConsumerControlReportDescriptor();
  if (type == USB_TYPE_STANDARD && in && request == USB_REQ_GET_DESCRIPTOR && descriptorType == kDescriptorReport) {
    AnswerIn(report, length);
    Note("consumer-control interface: GET_DESCRIPTOR(Report) answered", setup);
  } else if (type == USB_TYPE_STANDARD && in && request == USB_REQ_GET_DESCRIPTOR && descriptorType == kDescriptorHid) {
    AnswerIn(HidDescriptor(report.size()), length);
    Note("consumer-control interface: GET_DESCRIPTOR(HID) answered", setup);
  } else if (type == USB_TYPE_CLASS && !in && request == kRequestSetIdle && length == 0) {
    AckOut();
    Note("consumer-control interface: SET_IDLE accepted", setup);
  } else {
    Stall(in);
    Note("consumer-control interface: request stalled", setup);
  }
}

void CUsbGadget::Note(const std::string& what, const std::uint8_t* setup) {
  UsbGadgetEvent event(UsbGadgetEvent::EKind::Request);
  event.text = what + " (" + DescribeSetup(setup) + ")";
  m_events.Push(std::move(event));
}

void CUsbGadget::AnswerIn(std::span<const std::uint8_t> data, std::uint16_t wLength) {
  const std::size_t length = std::min<std::size_t>(data.size(), wLength);
  ssize_t written = -1;
  do {
    written = write(m_ep0, data.data(), length);
  } while (written < 0 && (errno == EINTR || errno == EAGAIN));
}

void CUsbGadget::AckOut() {
  ssize_t got = -1;
  do {
    got = read(m_ep0, nullptr, 0);
  } while (got < 0 && (errno == EINTR || errno == EAGAIN));
}

// FunctionFS stalls a request when the data stage goes the wrong way.
void CUsbGadget::Stall(bool directionIn) {
  ssize_t result = -1;
  do {
    result = directionIn ? read(m_ep0, nullptr, 0) : write(m_ep0, nullptr, 0);
  } while (result < 0 && (errno == EINTR || errno == EAGAIN));
}

bool CUsbGadget::WaitForBuffer(int& taken) {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [&] { return m_stopping || taken < kBuffersPerPipe; });
  if (m_stopping) return false;
  ++taken;
  return true;
}

void CUsbGadget::TakeNextControl() {
  {
    std::lock_guard lock(m_mutex);
    if (m_controlTaken > 0) --m_controlTaken;
  }
  m_changed.notify_all();
}

void CUsbGadget::ReplyGetReport(std::optional<std::vector<std::uint8_t>> report) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_getReportPending) return;
    m_getReportReply = std::move(report);
  }
  m_changed.notify_all();
}

// ---- interrupt pipes ----

void CUsbGadget::ReadInterruptOut() {
  std::vector<std::uint8_t> buffer(kMaxPacket);
  for (;;) {
    {
      std::unique_lock lock(m_mutex);
      m_changed.wait(lock, [this] { return m_stopping || (m_enabled && m_outTaken < kBuffersPerPipe); });
      if (m_stopping) return;
    }
    // One packet per read: a transfer of a whole report ends with it.
    const ssize_t got = read(m_epOut, buffer.data(), buffer.size());
    if (got >= 0) {
      {
        std::lock_guard lock(m_mutex);
        ++m_outTaken;
      }
      UsbGadgetEvent event(UsbGadgetEvent::EKind::InterruptOut);
      event.data.assign(buffer.begin(), buffer.begin() + got);
      m_events.Push(std::move(event));
      continue;
    }
    if (errno == EINTR) continue;
    // Not (or no longer) configured: wait for the next change.
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(2), [this] { return m_stopping; });
  }
}

// FunctionFS halts an endpoint when the function transfers on it in the
// wrong direction: a read on this IN endpoint. It is done here, between two
// reports, as no write may be queued on the endpoint while it halts.
void CUsbGadget::WriteInterruptIn() {
  for (;;) {
    std::vector<std::uint8_t> report;
    {
      std::unique_lock lock(m_mutex);
      m_changed.wait(lock, [this] { return m_stopping || ((m_input || m_haltsAsked > 0) && m_enabled); });
      if (m_stopping) return;
      if (m_haltsAsked > 0) {
        lock.unlock();
        std::uint8_t none = 0;
        const ssize_t result = read(m_epIn, &none, 1);
        const int error = errno;
        lock.lock();
        if (result < 0 && error == EBADMSG) {
          --m_haltsAsked;
          lock.unlock();
          m_events.Push(UsbGadgetEvent(UsbGadgetEvent::EKind::InputHalted));
        } else {  // refused for now (a transfer still queued, or not configured): tried again
          m_changed.wait_for(lock, std::chrono::milliseconds(2), [this] { return m_stopping; });
        }
        continue;
      }
      report = *m_input;
      m_inputBusy = true;
    }
    // Completes when the host has polled the report.
    const ssize_t written = write(m_epIn, report.data(), report.size());
    const int error = errno;
    bool retry = false;
    {
      std::lock_guard lock(m_mutex);
      m_inputBusy = false;
      retry = written < 0 && (error == EINTR || error == EAGAIN) && m_enabled;
      if (!retry) m_input.reset();
    }
    if (retry) {
      std::unique_lock lock(m_mutex);
      m_changed.wait_for(lock, std::chrono::milliseconds(2), [this] { return m_stopping; });
      continue;
    }
    m_events.Push(UsbGadgetEvent(UsbGadgetEvent::EKind::InputSent));
  }
}

bool CUsbGadget::SendInput(std::span<const std::uint8_t> report) {
  {
    std::lock_guard lock(m_mutex);
    if (m_input) return false;
    m_input.emplace(report.begin(), report.end());
  }
  m_changed.notify_all();
  return true;
}

void CUsbGadget::HaltInterruptIn() {
  {
    std::lock_guard lock(m_mutex);
    ++m_haltsAsked;
  }
  m_changed.notify_all();
}

bool CUsbGadget::InputBusy() {
  std::lock_guard lock(m_mutex);
  return m_input.has_value();
}

void CUsbGadget::TakeNextInterruptOut() {
  {
    std::lock_guard lock(m_mutex);
    if (m_outTaken > 0) --m_outTaken;
  }
  m_changed.notify_all();
}
