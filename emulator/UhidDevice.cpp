#include "emulator/UhidDevice.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint16_t kBusUsb = 0x03;

template <std::size_t N>
void CopyText(std::uint8_t (&field)[N], const std::string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = 0;
}

std::vector<std::uint8_t> Bytes(const std::uint8_t* data, std::size_t size) {
  return {data, data + std::min<std::size_t>(size, UHID_DATA_MAX)};
}

}  // namespace

bool UseRealTimePriority() {
  sched_param priority{};
  priority.sched_priority = 1;
  return sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
}

std::unique_ptr<CUhidDevice> CUhidDevice::Create(const std::string& uhidNode, const UhidIdentity& identity,
                                                 std::string& error) {
  if (identity.reportDescriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
    error = "report descriptor too long";
    return nullptr;
  }
  const int fd = open(uhidNode.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot open " + uhidNode + ": " + std::strerror(errno);
    return nullptr;
  }
  const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  auto closeAll = [&] {
    if (stopFd >= 0) close(stopFd);
    close(fd);
  };
  if (stopFd < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    closeAll();
    return nullptr;
  }
  auto event = std::make_unique<uhid_event>();
  event->type = UHID_CREATE2;
  uhid_create2_req& create = event->u.create2;
  CopyText(create.name, identity.name);
  CopyText(create.phys, identity.phys);
  create.bus = kBusUsb;
  create.vendor = identity.vendorId;
  create.product = identity.productId;
  create.rd_size = static_cast<std::uint16_t>(identity.reportDescriptor.size());
  std::copy(identity.reportDescriptor.begin(), identity.reportDescriptor.end(), create.rd_data);
  if (write(fd, event.get(), sizeof *event) != static_cast<ssize_t>(sizeof *event)) {
    error = std::string("UHID_CREATE2 failed: ") + std::strerror(errno);
    closeAll();
    return nullptr;
  }
  std::unique_ptr<CUhidDevice> device(new CUhidDevice(fd, stopFd));
  if (!device->m_events.Valid()) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return nullptr;
  }
  device->m_reader = std::thread([device = device.get()] { device->ReadEvents(); });
  return device;
}

CUhidDevice::CUhidDevice(int fd, int stopFd) : m_fd(fd), m_stopFd(stopFd) {}

CUhidDevice::~CUhidDevice() {
  uhid_event event{};
  event.type = UHID_DESTROY;
  Send(&event, sizeof event);
  const std::uint64_t one = 1;
  if (write(m_stopFd, &one, sizeof one) < 0) {
    // Cannot fail for a fresh eventfd; the join below would wait forever otherwise.
  }
  if (m_reader.joinable()) m_reader.join();
  close(m_stopFd);
  close(m_fd);
}

bool CUhidDevice::Send(const void* event, std::size_t size) {
  for (;;) {
    const ssize_t written = write(m_fd, event, size);
    if (written == static_cast<ssize_t>(size)) return true;
    if (written < 0 && errno == EINTR) continue;
    return false;
  }
}

bool CUhidDevice::SendInput(std::span<const std::uint8_t> report) {
  if (report.size() > UHID_DATA_MAX) return false;
  auto event = std::make_unique<uhid_event>();
  event->type = UHID_INPUT2;
  event->u.input2.size = static_cast<std::uint16_t>(report.size());
  std::copy(report.begin(), report.end(), event->u.input2.data);
  return Send(event.get(), sizeof *event);
}

bool CUhidDevice::ReplyGetReport(std::uint32_t requestId, std::uint16_t error, std::span<const std::uint8_t> data) {
  if (data.size() > UHID_DATA_MAX) return false;
  auto event = std::make_unique<uhid_event>();
  event->type = UHID_GET_REPORT_REPLY;
  event->u.get_report_reply.id = requestId;
  event->u.get_report_reply.err = error;
  event->u.get_report_reply.size = static_cast<std::uint16_t>(error == 0 ? data.size() : 0);
  if (error == 0) std::copy(data.begin(), data.end(), event->u.get_report_reply.data);
  return Send(event.get(), sizeof *event);
}

bool CUhidDevice::ReplySetReport(std::uint32_t requestId, std::uint16_t error) {
  uhid_event event{};
  event.type = UHID_SET_REPORT_REPLY;
  event.u.set_report_reply.id = requestId;
  event.u.set_report_reply.err = error;
  return Send(&event, sizeof event);
}

void CUhidDevice::ReadEvents() {
  auto event = std::make_unique<uhid_event>();
  for (;;) {
    pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    const ssize_t got = read(m_fd, event.get(), sizeof *event);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < static_cast<ssize_t>(sizeof event->type)) return;

    UhidEvent out;
    switch (event->type) {
      case UHID_START: out.kind = UhidEvent::EKind::Start; break;
      case UHID_STOP: out.kind = UhidEvent::EKind::Stop; break;
      case UHID_OPEN: out.kind = UhidEvent::EKind::Open; break;
      case UHID_CLOSE: out.kind = UhidEvent::EKind::Close; break;
      case UHID_OUTPUT:
        out.kind = UhidEvent::EKind::Output;
        out.reportType = event->u.output.rtype;
        out.data = Bytes(event->u.output.data, event->u.output.size);
        break;
      case UHID_GET_REPORT:
        out.kind = UhidEvent::EKind::GetReport;
        out.requestId = event->u.get_report.id;
        out.reportNumber = event->u.get_report.rnum;
        out.reportType = event->u.get_report.rtype;
        break;
      case UHID_SET_REPORT:
        out.kind = UhidEvent::EKind::SetReport;
        out.requestId = event->u.set_report.id;
        out.reportNumber = event->u.set_report.rnum;
        out.reportType = event->u.set_report.rtype;
        out.data = Bytes(event->u.set_report.data, event->u.set_report.size);
        break;
      default:
        continue;  // events of older interfaces that this kernel no longer sends
    }
    m_events.Push(std::move(out));
  }
}
