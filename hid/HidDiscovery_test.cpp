#include "hid/HidDiscovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "hid/DeviceIdentity.h"
#include "hid/testing/VhidTestPeer.h"
#include "platform/testing/TempDirectory.h"

namespace {

namespace fs = std::filesystem;

class HidDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_rootDirectory.Valid()); }
  // Leaves the system's own backend chosen for the tests that follow.
  void TearDown() override {
#ifndef _WIN32
    UseHidrawBackend();
#endif
  }

  CTempDirectory m_rootDirectory{"quillon-disc"};
  const std::string m_root = m_rootDirectory.Path().string();
};

// Two matching hidraw interfaces; the first cannot be opened (its node is a
// directory), so the second is the one returned.
TEST_F(HidDiscoveryTest, HidrawSkipsAMatchingNodeThatDoesNotOpen) {
#ifdef _WIN32
  GTEST_SKIP() << "hidraw is Linux's HID interface";
#else
  const std::string sys = m_root + "/sys";
  const std::string dev = m_root + "/dev";
  for (const char* name : {"hidraw1", "hidraw2"}) {
    const fs::path entry = fs::path(sys) / "class" / "hidraw" / name / "device";
    fs::create_directories(entry);
    std::ofstream(entry / "uevent") << "HID_ID=0003:00001A2B:00000C01\n";
  }
  fs::create_directories(dev + "/hidraw1");
  std::ofstream(dev + "/hidraw2") << "";
  UseHidrawBackend(sys, dev);

  EXPECT_EQ(IsHidDevicePresent(kVendorId, kApplicationProductId), 1);
  EXPECT_EQ(IsHidDevicePresent(kVendorId, kBootloaderProductId), 0);
  HidHandle device;
  std::unique_ptr<char16_t[]> path;
  ASSERT_EQ(AXHID_GetHIDHandleByUsage(kVendorId, kApplicationProductId, device, &path, 1), S_OK);
  EXPECT_NE(device, nullptr);
  const std::string expected = dev + "/hidraw2#vid_1a2b&pid_0c01";
  EXPECT_EQ(std::u16string(path.get()), std::u16string(expected.begin(), expected.end()));
#endif
}

TEST_F(HidDiscoveryTest, VhidUpperCaseTagsDoNotMatch) {
  UseVhidBackend(m_root);
  {
    CVhidTestPeer upper(m_root, kVendorId, kApplicationProductId);
    // By way of another name: where the file system ignores case, a rename
    // that changes only the case may leave the name as it was.
    const std::string extension = fs::path(upper.SocketPath()).extension().string();
    fs::rename(upper.SocketPath(), m_root + "/renamed");
    fs::rename(m_root + "/renamed", m_root + "/VID_1A2B&PID_0C01#0" + extension);
    EXPECT_EQ(IsHidDevicePresent(kVendorId, kApplicationProductId), 0);
  }
  CVhidTestPeer lower(m_root, kVendorId, kBootloaderProductId);
  EXPECT_EQ(IsHidDevicePresent(kVendorId, kApplicationProductId), 0);
  EXPECT_EQ(IsHidDevicePresent(kVendorId, kBootloaderProductId), 1);
  HidHandle device;
  EXPECT_EQ(AXHID_GetHIDHandleByUsage(kVendorId, kApplicationProductId, device, nullptr, 1), E_FAIL);
  EXPECT_EQ(device, nullptr);
}

}  // namespace
