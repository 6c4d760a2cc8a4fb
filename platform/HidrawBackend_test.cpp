#include "platform/HidrawBackend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/log/Log.h"
#include "platform/Clock.h"
#include "platform/testing/TempDirectory.h"

namespace {

namespace fs = std::filesystem;

// A fake sysfs tree and /dev directory: hidraw nodes are regular files or
// FIFOs, which is enough for everything but the HID ioctls.
class HidrawBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_rootDirectory.Valid());
    m_sys = m_root + "/sys";
    m_dev = m_root + "/dev";
    fs::create_directories(m_sys + "/class/hidraw");
    fs::create_directories(m_dev);
  }

  // A hidraw node whose HID device hangs below a USB interface and device, as in
  // real sysfs, or below `parent` (a virtual device's place: the uhid device, dummy_hcd).
  void AddNode(const std::string& name, const std::string& hidId, const std::string& product = "",
               const std::string& parent = "") {
    const fs::path usbDevice = fs::path(m_sys) / "devices" / (parent.empty() ? name : parent) / "1-1";
    const fs::path hidDevice = usbDevice / "1-1:1.0" / ("0003:1A2B:0C01." + name);
    fs::create_directories(hidDevice);
    std::ofstream(hidDevice / "uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=Vendor Thing\n";
    if (!product.empty()) std::ofstream(usbDevice / "product") << product << "\n";
    const fs::path entry = fs::path(m_sys) / "class" / "hidraw" / name;
    fs::create_directories(entry);
    fs::create_directory_symlink(hidDevice, entry / "device");
  }

  std::string DevPath(const std::string& name) const { return m_dev + "/" + name; }

  CTempDirectory m_rootDirectory{"quillon-hidraw"};
  const std::string m_root = m_rootDirectory.Path().string();
  std::string m_sys;
  std::string m_dev;
};

TEST_F(HidrawBackendTest, EnumerationComposesTaggedPathsInNodeOrder) {
  AddNode("hidraw10", "0003:00001A2B:00000C01");
  AddNode("hidraw2", "0003:00001A2B:00000C02");
  AddNode("hidraw0", "0003:0000046D:0000C52B");
  AddNode("hidraw3", "garbage");
  fs::create_directories(fs::path(m_sys) / "class" / "hidraw" / "hidraw4");  // no uevent
  fs::create_directories(fs::path(m_sys) / "class" / "hidraw" / "other");

  const std::vector<HidInterfaceInfo> found = CHidrawBackend(m_sys, m_dev).Enumerate();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].path, m_dev + "/hidraw0#vid_046d&pid_c52b");
  EXPECT_EQ(found[1].path, m_dev + "/hidraw2#vid_1a2b&pid_0c02");
  EXPECT_EQ(found[1].vendorId, 0x1a2b);
  EXPECT_EQ(found[1].productId, 0x0c02);
  EXPECT_EQ(found[2].path, m_dev + "/hidraw10#vid_1a2b&pid_0c01");
  EXPECT_TRUE(CHidrawBackend(m_root + "/nothing", m_dev).Enumerate().empty());
}

TEST_F(HidrawBackendTest, ScaledTimeSeesOnlyVirtualDevices) {
  AddNode("hidraw0", "0003:00001A2B:00000C01");
  AddNode("hidraw1", "0003:00001A2B:00000C01", "", "virtual/misc/uhid");
  AddNode("hidraw2", "0003:00001A2B:00000C01", "", "platform/dummy_hcd.0/usb1");
  AddNode("hidraw3", "0003:00001A2B:00000C01", "", "platform/dummy_hcd_lookalike/usb1");
  LogCapture log;
  Clock::SetTimeScale(4);
  const std::vector<HidInterfaceInfo> scaled = CHidrawBackend(m_sys, m_dev).Enumerate();
  Clock::SetTimeScale(1);
  ASSERT_EQ(scaled.size(), 2u);
  EXPECT_EQ(scaled[0].path, m_dev + "/hidraw1#vid_1a2b&pid_0c01");
  EXPECT_EQ(scaled[1].path, m_dev + "/hidraw2#vid_1a2b&pid_0c01");
  EXPECT_TRUE(log.Contains("hidraw: " + m_dev + "/hidraw0 is a real device and is left alone: "
                           "a time scale other than 1 is for virtual devices only"));
  EXPECT_EQ(CHidrawBackend(m_sys, m_dev).Enumerate().size(), 4u);
}

TEST_F(HidrawBackendTest, OpenTakesTheNodeBeforeTheTags) {
  AddNode("hidraw1", "0003:00001A2B:00000C01", "Aurelix Rho");
  std::ofstream(DevPath("hidraw1")) << "";
  CHidrawBackend backend(m_sys, m_dev);
  EXPECT_EQ(backend.Open(DevPath("hidraw0") + "#vid_1a2b&pid_0c01"), nullptr);  // no such node
  auto device = backend.Open(DevPath("hidraw1") + "#vid_1a2b&pid_0c01");
  ASSERT_NE(device, nullptr);
  char16_t name[32];
  ASSERT_TRUE(device->GetProductString(name));
  EXPECT_EQ(std::u16string(name), u"Aurelix Rho");
}

// Unnumbered reports come from hidraw without their report-ID byte; the
// backend puts the 0 back in front.
TEST_F(HidrawBackendTest, ReadPutsTheReportIdBackAndCancelWakesIt) {
  AddNode("hidraw0", "0003:00001A2B:00000C01");
  ASSERT_EQ(mkfifo(DevPath("hidraw0").c_str(), 0600), 0);
  auto device = CHidrawBackend(m_sys, m_dev).Open(DevPath("hidraw0"));
  ASSERT_NE(device, nullptr);
  const int writer = open(DevPath("hidraw0").c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  std::uint8_t sent[31];
  for (std::uint8_t i = 0; i < sizeof sent; ++i) sent[i] = static_cast<std::uint8_t>(i + 1);
  ASSERT_EQ(write(writer, sent, sizeof sent), static_cast<ssize_t>(sizeof sent));

  std::array<std::uint8_t, 32> report{};
  report.fill(0xEE);
  std::size_t received = 0;
  ASSERT_EQ(device->ReadInputReport(report, received), HidReadResult::Report);
  EXPECT_EQ(received, 32u);
  EXPECT_EQ(report[0], 0);
  EXPECT_TRUE(std::equal(std::begin(sent), std::end(sent), report.begin() + 1));

  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    device->CancelRead();
  });
  EXPECT_EQ(device->ReadInputReport(report, received), HidReadResult::Cancelled);
  canceller.join();
  // The backend's own descriptor keeps the FIFO open, so closing the last
  // other writer does not end it; removal of a real node gives ENODEV.
  close(writer);
}

TEST_F(HidrawBackendTest, WriteKeepsTheReportIdByte) {
  AddNode("hidraw0", "0003:00001A2B:00000C01");
  std::ofstream(DevPath("hidraw0")) << "";
  auto device = CHidrawBackend(m_sys, m_dev).Open(DevPath("hidraw0"));
  ASSERT_NE(device, nullptr);
  std::vector<std::uint8_t> report(65, 0);
  report[1] = 0x3E;
  report[64] = 0x77;
  EXPECT_TRUE(device->WriteOutputReport(report, 500));
  std::ifstream file(DevPath("hidraw0"), std::ios::binary);
  const std::vector<std::uint8_t> written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, report);
}

TEST_F(HidrawBackendTest, MissingClassRequestsAreLoggedAsAKernelTooOld) {
  AddNode("hidraw0", "0003:00001A2B:00000C01");
  std::ofstream(DevPath("hidraw0")) << "";
  auto device = CHidrawBackend(m_sys, m_dev).Open(DevPath("hidraw0"));
  ASSERT_NE(device, nullptr);
  LogCapture log;
  std::vector<std::uint8_t> report(65, 0);
  // A regular file answers ENOTTY to every ioctl, as an old kernel does to these two.
  EXPECT_FALSE(device->SetOutputReport(report));
  EXPECT_FALSE(device->SetOutputReport(report));
  EXPECT_FALSE(device->GetInputReport(report));
  const std::vector<std::string> lines = log.Messages();
  ASSERT_EQ(lines.size(), 2u);  // once per request kind
  EXPECT_NE(lines[0].find("HIDIOCSOUTPUT"), std::string::npos);
  EXPECT_NE(lines[1].find("HIDIOCGINPUT"), std::string::npos);
  for (const std::string& line : lines) EXPECT_NE(line.find("Linux 5.11 or newer"), std::string::npos);
  // The device keeps what the system said of the last failure.
  EXPECT_EQ(device->LastError(), std::string("HIDIOCGINPUT: ") + std::strerror(ENOTTY));
}

// A node the user may not open is reported with its fix, not taken for "no device".
TEST_F(HidrawBackendTest, NodeWithoutPermissionIsLoggedWithItsFix) {
  AddNode("hidraw0", "0003:00001A2B:00000C01");
  std::ofstream(DevPath("hidraw0")) << "";
  // Mode 0: not even its owner may open it (the tests may run as that owner).
  ASSERT_EQ(chmod(DevPath("hidraw0").c_str(), 0), 0);
  fs::permissions(m_root, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
  fs::permissions(m_dev, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
  // Root opens everything: the check runs in a child that drops to "nobody".
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(2);
    LogCapture log;
    const bool refused = CHidrawBackend(m_sys, m_dev).Open(DevPath("hidraw0") + "#vid_1a2b&pid_0c01") == nullptr;
    bool named = false;
    for (const std::string& line : log.Messages())
      named |= line.find("no permission") != std::string::npos && line.find("udev rule") != std::string::npos &&
               line.find(DevPath("hidraw0")) != std::string::npos;
    _exit(refused && named ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
