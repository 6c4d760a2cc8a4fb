// The hidraw backend against the device emulator presented by the kernel's
// uhid driver: enumeration by sysfs identity, the report-ID byte rules of
// hidraw, the class requests, a device that leaves under a waiting reader and
// returns under its bootloader's product ID, and what a device that takes
// nothing does to the host's calls.
#include <fcntl.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "emulator/DeviceEmulator.h"
#include "kernel/KernelTest.h"
#include "platform/HidrawBackend.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVendor = 0x1a2b;
constexpr std::uint16_t kApplication = 0x0c01;
constexpr std::uint16_t kBootloader = 0x0c02;
constexpr std::uint16_t kSilent = 0x0cfe;
constexpr std::size_t kOutputLength = 65;
constexpr std::size_t kInputLength = 32;

Bytes Command(std::initializer_list<std::uint8_t> bytes) {
  Bytes report(kOutputLength, 0);
  std::copy(bytes.begin(), bytes.end(), report.begin());
  return report;
}

struct ReadOutcome {
  HidReadResult result = HidReadResult::Cancelled;
  Bytes report;
};

// One ReadInputReport, cancelled after `timeout` (real time) when nothing came.
ReadOutcome ReadWithin(CHidDevice& device, std::chrono::milliseconds timeout) {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, timeout, [&] { return done; })) device.CancelRead();
  });
  ReadOutcome outcome;
  outcome.report.assign(kInputLength + 8, 0xAA);
  std::size_t received = 0;
  outcome.result = device.ReadInputReport(outcome.report, received);
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  changed.notify_one();
  watchdog.join();
  outcome.report.resize(received);
  return outcome;
}

std::unique_ptr<CHidDevice> OpenNode(std::uint16_t productId) {
  const std::optional<HidInterfaceInfo> node = kernel_test::WaitForNode(kVendor, productId, 10s);
  if (!node) return nullptr;
  return CHidrawBackend("/sys", "/dev").Open(node->path);
}

class HidrawKernel : public kernel_test::CKernelTest {
 protected:
  void SetUp() override {
    CKernelTest::SetUp();
    EmulatorConfig config;
    config.timing = EmuTiming::Off;
    config.timeScale = 20;
    m_emulator = kernel_test::StartOnUhid(config);
    ASSERT_TRUE(m_emulator) << "needs root and the uhid and hid-generic modules";
  }
  void TearDown() override {
    if (m_emulator) m_emulator->Stop();
    CKernelTest::TearDown();
  }

  std::unique_ptr<CDeviceEmulator> m_emulator;
};

TEST_F(HidrawKernel, ReportsTravelAsOnAUsbDevice) {
  const std::optional<HidInterfaceInfo> node = kernel_test::WaitForNode(kVendor, kApplication, 10s);
  ASSERT_TRUE(node);
  EXPECT_NE(node->path.find("#vid_1a2b&pid_0c01"), std::string::npos) << node->path;
  std::unique_ptr<CHidDevice> device = CHidrawBackend("/sys", "/dev").Open(node->path);
  ASSERT_TRUE(device);

  char16_t product[64] = {};
  ASSERT_TRUE(device->GetProductString(product));
  EXPECT_EQ(std::u16string(product), u"Aurelix Rho USB Audio");

  // Interrupt-out: the processor count comes back as an input report that has
  // its report-ID byte 0 in front again.
  ASSERT_TRUE(device->WriteOutputReport(Command({0x00, 0x3E, 0x01}), 500));
  ReadOutcome count = ReadWithin(*device, 5s);
  ASSERT_EQ(count.result, HidReadResult::Report);
  ASSERT_EQ(count.report.size(), kInputLength);
  EXPECT_EQ(count.report[0], 0x00);
  EXPECT_EQ(count.report[2], 0x3E);
  EXPECT_EQ(count.report[4], 3);

  // SET_REPORT (Output) takes the same path to the device on Linux.
  ASSERT_TRUE(device->SetOutputReport(Command({0x00, 0x3E, 0x02, 0x01})));
  ReadOutcome type = ReadWithin(*device, 5s);
  ASSERT_EQ(type.result, HidReadResult::Report);
  EXPECT_EQ(type.report[2], 0x3E);
  EXPECT_EQ(type.report[4], kEmuCodeMain);

  // Every byte of an input report arrives where the device put it.
  Bytes pattern(kInputLength);
  std::iota(pattern.begin() + 1, pattern.end(), std::uint8_t{0x41});
  m_emulator->InjectInputReport(pattern);
  ReadOutcome injected = ReadWithin(*device, 5s);
  ASSERT_EQ(injected.result, HidReadResult::Report);
  EXPECT_EQ(injected.report, pattern);

  // SET_REPORT (Feature): accepted; one with a report ID the device does not
  // have is stalled, and the kernel fails the call.
  EXPECT_TRUE(device->SetFeatureReport(Command({0x00, 0x3E, 0x01})));
  EXPECT_FALSE(device->SetFeatureReport(Command({0x05, 0x3E, 0x01})));

  // Nothing more comes: the read ends by its time-out.
  EXPECT_EQ(ReadWithin(*device, 300ms).result, HidReadResult::Cancelled);
}

TEST_F(HidrawKernel, DeviceLeavesUnderTheReaderAndReturnsAsTheBootloader) {
  std::unique_ptr<CHidDevice> application = OpenNode(kApplication);
  ASSERT_TRUE(application);
  ReadOutcome waiting;
  std::thread reader([&] { waiting = ReadWithin(*application, 20s); });
  ASSERT_TRUE(application->SetOutputReport(Command({0x00, 0x3E, 0x0B, 0x00, 0x07, 0x01})));
  ASSERT_TRUE(application->SetOutputReport(Command({0x00, 0x3E, 0xFC, 0x00, 0x07, 0x01})));
  reader.join();
  EXPECT_EQ(waiting.result, HidReadResult::DeviceGone);
  EXPECT_FALSE(application->WriteOutputReport(Command({0x00, 0x3E, 0x01}), 500)) << "the node is gone";
  EXPECT_TRUE(kernel_test::WaitForNoNode(kVendor, kApplication, 10s));

  // The kernel usually gives the new device the old node's name: only the
  // sysfs identity tells which device a node is.
  std::unique_ptr<CHidDevice> loader = OpenNode(kBootloader);
  ASSERT_TRUE(loader);
  char16_t product[64] = {};
  EXPECT_FALSE(loader->GetProductString(product)) << "the bootloader has no product string";

  // GET_REPORT (Input) after the loader-version command: the caller's buffer
  // gets the report ID it passed and the report behind it; a short buffer is
  // filled to its end and no further.
  ASSERT_TRUE(loader->SetOutputReport(Command({0x00, 0x3F, 0x80})));
  Bytes version(kInputLength, 0);
  ASSERT_TRUE(loader->GetInputReport(version));
  EXPECT_EQ(version[0], 0x00);
  EXPECT_EQ(version[2], 0x3F);
  EXPECT_EQ(version[3], 3);
  EXPECT_EQ(version[4], 2);
  Bytes shortBuffer = {0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(loader->GetInputReport(std::span(shortBuffer).first(4))) << std::strerror(errno);
  EXPECT_EQ(shortBuffer, (Bytes{0x00, version[1], 0x3F, 0x03, 0xEE, 0xEE, 0xEE, 0xEE}));
}

// A uhid device whose side never reads: every host call stays in the
// kernel's queue (which holds 32 events; this test stays below that).
class CSilentDevice {
 public:
  CSilentDevice() : m_fd(open("/dev/uhid", O_RDWR | O_CLOEXEC)) {
    static const std::uint8_t kDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26,
                                               0xFF, 0x00, 0x75, 0x08, 0x95, 0x1F, 0x09, 0x01, 0x81, 0x02,
                                               0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0x95, 0x40, 0x09, 0x01,
                                               0xB1, 0x02, 0xC0};
    auto event = std::make_unique<uhid_event>();
    event->type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(event->u.create2.name), sizeof event->u.create2.name, "silent");
    event->u.create2.bus = 0x03;
    event->u.create2.vendor = kVendor;
    event->u.create2.product = kSilent;
    event->u.create2.rd_size = sizeof kDescriptor;
    std::copy(std::begin(kDescriptor), std::end(kDescriptor), event->u.create2.rd_data);
    m_created = m_fd >= 0 && write(m_fd, event.get(), sizeof *event) == static_cast<ssize_t>(sizeof *event);
  }
  ~CSilentDevice() {
    if (m_fd >= 0) close(m_fd);  // closing destroys the device
  }
  CSilentDevice(const CSilentDevice&) = delete;
  CSilentDevice& operator=(const CSilentDevice&) = delete;
  bool Created() const { return m_created; }

 private:
  int m_fd;
  bool m_created = false;
};

double SecondsOf(const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A device that takes nothing: writes return at once (hidraw is always ready
// for writing, and uhid queues without waiting), so no write bound of ours
// holds there; a class request that is never answered fails after the
// kernel's own 5 s.
TEST_F(HidrawKernel, RequestsADeviceNeverTakes) {
  CSilentDevice silent;
  ASSERT_TRUE(silent.Created());
  std::unique_ptr<CHidDevice> device = OpenNode(kSilent);
  ASSERT_TRUE(device);

  double slowestWrite = 0;
  for (int i = 0; i < 24; ++i) {
    bool written = false;
    const double seconds = SecondsOf([&] { written = device->WriteOutputReport(Command({0x00, 0x3E, 0x01}), 500); });
    slowestWrite = std::max(slowestWrite, seconds);
    EXPECT_TRUE(written);
  }
  std::printf("slowest of 24 writes the device never took: %.6f s\n", slowestWrite);
  EXPECT_LT(slowestWrite, 0.25) << "a write waited for the device";

  Bytes report(kInputLength, 0);
  bool got = true;
  const double getSeconds = SecondsOf([&] { got = device->GetInputReport(report); });
  std::printf("GET_REPORT never answered: %s after %.3f s\n", got ? "success" : "failure", getSeconds);
  EXPECT_FALSE(got);
  EXPECT_GT(getSeconds, 4.0);
  EXPECT_LT(getSeconds, 15.0);

  bool set = true;
  const double setSeconds = SecondsOf([&] { set = device->SetFeatureReport(Command({0x00, 0x3E, 0x01})); });
  std::printf("SET_REPORT never answered: %s after %.3f s\n", set ? "success" : "failure", setSeconds);
  EXPECT_FALSE(set);
  EXPECT_GT(setSeconds, 4.0);
  EXPECT_LT(setSeconds, 15.0);
}

}  // namespace
