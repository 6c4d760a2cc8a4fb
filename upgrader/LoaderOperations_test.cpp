// The bootloader sequences against a scripted device: what goes out on the
// wire, in which order, and what the host makes of the answers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/log/Log.h"
#include "hid/Reports.h"
#include "loader/md5/Md5.h"
#include "platform/Clock.h"
#include "platform/testing/FakeHidDevice.h"
#include "platform/testing/RecordingSurface.h"
#include "ui/DialogProgress.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

using Report = CFakeHidDevice::Report;

// The upgrader with a scripted device attached in place of an opened one.
class CUpgraderOnFake : public CUpgradeLPC18XX {
 public:
  explicit CUpgraderOnFake(bool bootloader) {
    m_helper.AttachDevice(m_device);
    m_isBootloader = bootloader ? 1 : 0;
  }
  CFakeHidDevice& Device() { return *m_device; }
  CHIDHelper& Helper() { return m_helper; }

 private:
  std::shared_ptr<CFakeHidDevice> m_device = std::make_shared<CFakeHidDevice>();
};

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool IsCommand(const Report& report, std::uint8_t code) { return report.size() > 2 && report[1] == 0x3F && report[2] == code; }

std::vector<Report> Commands(const CFakeHidDevice& device, std::uint8_t code) {
  std::vector<Report> matching;
  for (const Report& report : device.Sent())
    if (IsCommand(report, code)) matching.push_back(report);
  return matching;
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { Clock::SetTimeScale(10); }
  void TearDown() override {
    for (auto& t : m_threads) t.join();
    Clock::SetTimeScale(1);
  }

  // The device answers `code` with a status report after `delayMs` of program time.
  void AnswerWithStatus(CUpgraderOnFake& upgrader, std::uint8_t code, std::uint32_t status, std::uint32_t delayMs) {
    upgrader.Device().onSend = [this, &upgrader, code, status, delayMs](const Report& report) {
      if (!IsCommand(report, code)) return;
      m_threads.emplace_back([&upgrader, status, delayMs] {
        Clock::SleepMs(delayMs);
        upgrader.Helper().SetStatusWord(status);
      });
    };
  }

  static void AnswerLoaderVersion(CUpgraderOnFake& upgrader, std::uint8_t major, std::uint8_t minor) {
    upgrader.Device().onGetInputReport = [major, minor](std::span<std::uint8_t> report) {
      report[3] = major;
      report[4] = minor;
      return true;
    };
  }

  std::vector<std::thread> m_threads;
};

TEST_F(LoaderTest, BeginAcceptsOnlyLoaderMajorVersionThree) {
  struct Case {
    std::uint8_t major, minor;
    int result;
    const char* versionLine;
  };
  for (const Case& c : {Case{3, 5, 1, "InitFirmwareUpgradeL LoaderVersion 3.05"},
                        Case{2, 9, 0, "InitFirmwareUpgradeL LoaderVersion 2.09"},
                        Case{4, 0, 0, "InitFirmwareUpgradeL LoaderVersion 4.00"}}) {
    CUpgraderOnFake upgrader(true);
    AnswerLoaderVersion(upgrader, c.major, c.minor);
    AnswerWithStatus(upgrader, 0x81, STATUS_OK, 20);
    LogCapture log;
    EXPECT_EQ(upgrader.InitFirmwareUpgradeL(0), c.result) << c.versionLine;
    EXPECT_TRUE(log.Contains(c.versionLine));
    EXPECT_EQ(Commands(upgrader.Device(), 0x81).size(), c.result == 1 ? 1u : 0u) << c.versionLine;
    for (auto& t : m_threads) t.join();
    m_threads.clear();
  }
}

TEST_F(LoaderTest, BeginSendsTheApplicationStartAddress) {
  CUpgraderOnFake upgrader(true);
  AnswerLoaderVersion(upgrader, 3, 0);
  AnswerWithStatus(upgrader, 0x81, STATUS_OK, 10);
  ASSERT_EQ(upgrader.InitFirmwareUpgradeL(0), 1);
  const auto begins = Commands(upgrader.Device(), 0x81);
  ASSERT_EQ(begins.size(), 1u);
  EXPECT_EQ(Report(begins[0].begin() + 3, begins[0].begin() + 7), (Report{0x00, 0x60, 0x00, 0x1A}));
  EXPECT_EQ(begins[0].size(), 65u);
}

TEST_F(LoaderTest, BeginStatusDecidesTheOutcome) {
  struct Case {
    const char* name;
    std::uint32_t status;
    std::uint32_t delayMs;
    int result;
    const char* errorLine;
  };
  const Case cases[] = {
      {"OK just inside the five seconds", STATUS_OK, 4900, 1, nullptr},
      {"error word", 1, 10, 0, "L::InitFirmwareUpgradeL -> error code 0x1"},
      {"never answered", STATUS_OK, 60000, 0, "L::InitFirmwareUpgradeL -> error code 0x0"},
  };
  for (const Case& c : cases) {
    CUpgraderOnFake upgrader(true);
    AnswerLoaderVersion(upgrader, 3, 1);
    if (c.delayMs < 60000) AnswerWithStatus(upgrader, 0x81, c.status, c.delayMs);
    LogCapture log;
    EXPECT_EQ(upgrader.InitFirmwareUpgradeL(0), c.result) << c.name;
    if (c.errorLine != nullptr) {
      EXPECT_TRUE(log.Contains(c.errorLine)) << c.name;
    }
    EXPECT_TRUE(log.Contains(c.result ? "L::InitFirmwareUpgradeL - success[TRUE]"
                                      : "L::InitFirmwareUpgradeL - success[FALSE]"))
        << c.name;
    for (auto& t : m_threads) t.join();
    m_threads.clear();
  }
}

TEST_F(LoaderTest, BeginOutsideTheBootloaderSendsNothing) {
  CUpgraderOnFake upgrader(false);
  EXPECT_EQ(upgrader.InitFirmwareUpgradeL(0), 0);
  EXPECT_TRUE(upgrader.Device().Sent().empty());
}

TEST_F(LoaderTest, FinishCarriesTheDigestOfExactlyTheRecordPayloadsSinceTheLastBegin) {
  const std::string first = ":020000041A00E0\r\n:00000001FF\r\n";
  const std::string second = ":0400000001020304F2\r\n:00000001FF\r\n";
  CUpgraderOnFake upgrader(true);
  AnswerLoaderVersion(upgrader, 3, 0);
  upgrader.Device().onSend = [&upgrader](const Report& report) {
    if (IsCommand(report, 0x81) || IsCommand(report, 0x88)) upgrader.Helper().SetStatusWord(STATUS_OK);
  };
  for (const std::string* image : {&first, &second}) {
    ASSERT_EQ(upgrader.InitFirmwareUpgradeL(0), 1);
    ASSERT_EQ(upgrader.FirmwareUpgradeWriteL(Bytes(*image).data(), image->size()), 1);
    ASSERT_EQ(upgrader.EndFirmwareUpgradeL(), 1);
  }
  const auto finishes = Commands(upgrader.Device(), 0x88);
  ASSERT_EQ(finishes.size(), 2u);
  // The second finish covers only the second image's record bytes.
  const Md5Digest expected = CMd5::Of(std::vector<std::uint8_t>{0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04,
                                                                0xF2, 0x00, 0x00, 0x00, 0x01, 0xFF});
  EXPECT_EQ(Report(finishes[1].begin() + 3, finishes[1].begin() + 19), Report(expected.begin(), expected.end()));
}

TEST_F(LoaderTest, FinishAfterNoRecordSendsTheDigestOfNothingAndAFailedSendIsNoSuccess) {
  CUpgraderOnFake upgrader(true);
  AnswerLoaderVersion(upgrader, 3, 0);
  upgrader.Device().onSend = [&upgrader](const Report&) {
    upgrader.Helper().SetStatusWord(STATUS_OK);
  };
  ASSERT_EQ(upgrader.InitFirmwareUpgradeL(0), 1);
  ASSERT_EQ(upgrader.EndFirmwareUpgradeL(), 1);
  const auto finishes = Commands(upgrader.Device(), 0x88);
  ASSERT_EQ(finishes.size(), 1u);
  const Report emptyDigest{0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                           0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
  EXPECT_EQ(Report(finishes[0].begin() + 3, finishes[0].begin() + 19), emptyDigest);

  // The device's earlier status word must not pass for a confirmation of a finish it never got.
  upgrader.Device().failSendAt = upgrader.Device().Sent().size();
  EXPECT_EQ(upgrader.EndFirmwareUpgradeL(), 0);
}

struct HexRun {
  int result = 0;
  std::vector<Report> records;
  std::unique_ptr<CRecordingSurface> surface;
};

HexRun WriteHex(const std::string& text, std::optional<std::size_t> failAt = std::nullopt, bool silent = false) {
  HexRun run;
  run.surface = std::make_unique<CRecordingSurface>(silent, false);
  CUpgraderOnFake upgrader(true);
  upgrader.Device().failSendAt = failAt;
  CDialogProgress progress(*run.surface);
  run.result = upgrader.WriteToP(Bytes(text).data(), text.size(), progress);
  for (const Report& report : upgrader.Device().Sent())
    if (IsCommand(report, 0x82)) run.records.push_back(report);
  return run;
}

Report Payload(const Report& record) { return Report(record.begin() + 4, record.begin() + 4 + record[3]); }

TEST(HexWriter, SingleEndRecordIsOneReportAndShowsItsSizeAsSent) {
  const HexRun run = WriteHex(":00000001FF\r\n");
  EXPECT_EQ(run.result, 1);
  ASSERT_EQ(run.records.size(), 1u);
  EXPECT_EQ(run.records[0][3], 5);
  EXPECT_EQ(Payload(run.records[0]), (Report{0x00, 0x00, 0x00, 0x01, 0xFF}));
  ASSERT_FALSE(run.surface->m_texts.empty());
  EXPECT_EQ(run.surface->m_texts.front(), "Upgrading in progress, please wait...");
  EXPECT_EQ(run.surface->m_texts.back(), "Upgrading in progress, please wait...\n5 of 5 bytes");
  EXPECT_FALSE(run.surface->m_upgradeEnabled);
  EXPECT_FALSE(run.surface->m_closeEnabled);
}

TEST(HexWriter, SendsUpToTheFirstLengthZeroRecordAndNothingAfterIt) {
  const std::string text =
      ":0400000001020304F2\n\n:020000041A00E0\r\n:00000004AABB99\r\n:0400000005060708DE\r\n:00000001FF\r\n";
  const HexRun run = WriteHex(text);
  EXPECT_EQ(run.result, 1);
  ASSERT_EQ(run.records.size(), 3u);
  EXPECT_EQ(Payload(run.records[2]), (Report{0x00, 0x00, 0x00, 0x04, 0xAA, 0xBB, 0x99}));
}

TEST(HexWriter, TextWithoutEndRecordIsSentWhole) {
  const HexRun run = WriteHex(":0400000001020304F2\r\n:0400000005060708DE");
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.records.size(), 2u);
}

TEST(HexWriter, StopsAtTheFirstFailedSendAndShowsWhatWasSent) {
  const std::string record = ":0400000001020304F2\r\n";
  const HexRun run = WriteHex(record + record + record + ":00000001FF\r\n", 2);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.records.size(), 3u);  // the third was attempted and failed
  EXPECT_EQ(run.surface->m_texts.back(), "Upgrading in progress, please wait...\n18 of 32 bytes");
}

TEST(HexWriter, RefusesATextThatCannotBeSentWholeBeforeSendingAnything) {
  const std::string good = ":0400000001020304F2\r\n";
  for (const std::string& bad : {good + ":04000000010203ZZF2\r\n:00000001FF\r\n",
                                 good + ":" + std::string(124, '0') + "\r\n:00000001FF\r\n", good + ":0\r\n"}) {
    LogCapture log;
    const HexRun run = WriteHex(bad);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.records.empty());
  }
}

TEST(HexWriter, SmallImageStepsTheBarOncePerRecordUntilFull) {
  // Estimated size below 100: the step is 0, so every record advances the bar.
  const std::string record = ":0400000001020304F2\r\n";
  const HexRun run = WriteHex(record + record + record + ":00000001FF\r\n");
  EXPECT_EQ(run.surface->m_stepCalls, 4);
  EXPECT_EQ(run.surface->m_rangeUpper, 100);
}

TEST(HexWriter, SilentRunTouchesNothingOnScreenAndProgressModeStartsTheWindowOnce) {
  const std::string text = ":0400000001020304F2\r\n:00000001FF\r\n";
  const HexRun silent = WriteHex(text, std::nullopt, true);
  EXPECT_EQ(silent.result, 1);
  EXPECT_TRUE(silent.surface->m_texts.empty());
  EXPECT_EQ(silent.surface->m_stepCalls, 0);

  CUpgraderOnFake upgrader(true);
  CRecordingSurface progress(true, true);
  LogCapture log;
  CDialogProgress dialogProgress(progress);
  EXPECT_EQ(upgrader.WriteToP(Bytes(text).data(), text.size(), dialogProgress), 1);
  EXPECT_EQ(progress.m_progressWindowsStarted, 1);
  EXPECT_EQ(progress.m_progressWindowSteps, 2);
  EXPECT_EQ(progress.m_progressWindowStepCalls, 0);
  const std::string expected[] = {"L::FirmwareUpgradeWriteL", ">>> WriteToP total lines = 2",
                                  ">>> Estimated binary size = 14"};
  EXPECT_TRUE(log.ContainsInOrder(expected));
}

class ThirdControllerTest : public LoaderTest {};

TEST_F(ThirdControllerTest, HundredByteImageGoesOutAsThreeAddressedBlocksWithChecksums) {
  CUpgraderOnFake upgrader(true);
  std::vector<std::uint8_t> image(100);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i + 1);
  for (std::size_t offset = 0; offset < image.size(); offset += 48)
    ASSERT_EQ(upgrader.FirmwareUpgradeWriteM(image.data() + offset, std::min<std::size_t>(48, image.size() - offset)), 1);
  const auto writes = Commands(upgrader.Device(), 0x93);
  ASSERT_EQ(writes.size(), 3u);
  const std::uint8_t lengths[] = {53, 53, 9};
  const std::uint32_t addresses[] = {0, 48, 96};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(writes[i][3], lengths[i]);
    EXPECT_EQ(writes[i][4] | writes[i][5] << 8 | writes[i][6] << 16 | writes[i][7] << 24, addresses[i]);
    std::uint8_t sum = 0;
    for (std::size_t b = 4; b < 4u + lengths[i]; ++b) sum = static_cast<std::uint8_t>(sum + writes[i][b]);
    EXPECT_EQ(sum, 0) << "address, data and checksum sum to 0";
  }
}

TEST_F(ThirdControllerTest, ChecksumExampleAndOversizedBlockRefused) {
  CUpgraderOnFake upgrader(true);
  const std::uint8_t filler[48] = {};
  ASSERT_EQ(upgrader.FirmwareUpgradeWriteM(filler, 48), 1);
  const std::uint8_t data[] = {0x01, 0x02};
  ASSERT_EQ(upgrader.FirmwareUpgradeWriteM(data, 2), 1);
  const auto writes = Commands(upgrader.Device(), 0x93);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Report(writes[1].begin() + 4, writes[1].begin() + 11), (Report{0x30, 0x00, 0x00, 0x00, 0x01, 0x02, 0xCD}));

  const std::vector<std::uint8_t> tooLong(57, 0x11);
  EXPECT_EQ(upgrader.FirmwareUpgradeWriteM(tooLong.data(), 57), 0);
  EXPECT_EQ(Commands(upgrader.Device(), 0x93).size(), 2u);
}

TEST_F(ThirdControllerTest, EraseStopsAtABlockThatNeverReportsDone) {
  struct Case {
    int stuckBlock;  // -1: every block erases at the first poll
    std::size_t erases;
    int result;
  };
  for (const Case& c : {Case{-1, 7, 1}, Case{4, 5, 0}}) {
    CUpgraderOnFake upgrader(true);
    int lastBlock = -1;
    upgrader.Device().onSend = [&lastBlock](const Report& report) {
      if (IsCommand(report, 0x91)) lastBlock = report[5];
    };
    bool versionAsked = false;
    upgrader.Device().onGetInputReport = [&](std::span<std::uint8_t> report) {
      if (!versionAsked) {
        versionAsked = true;
        report[3] = 3;
        report[4] = 0;
        return true;
      }
      report[3] = lastBlock == c.stuckBlock ? 1 : 0;
      return true;
    };
    LogCapture log;
    EXPECT_EQ(upgrader.InitFirmwareUpgradeM(0), c.result);
    const auto erases = Commands(upgrader.Device(), 0x91);
    ASSERT_EQ(erases.size(), c.erases);
    for (std::size_t block = 0; block < erases.size(); ++block)
      EXPECT_EQ(Report(erases[block].begin() + 3, erases[block].begin() + 7),
                (Report{0, 0, static_cast<std::uint8_t>(block), 0}));
    EXPECT_TRUE(log.Contains("L::InitfirmwareUpgradeM -> Erasing M completed."));
  }
}

TEST_F(ThirdControllerTest, FinishAfterNoWriteSendsTheEmptyDigestAndAFailedSendFails) {
  CUpgraderOnFake upgrader(true);
  upgrader.Device().onSend = [&upgrader](const Report& report) {
    if (IsCommand(report, 0x98)) upgrader.Helper().SetStatusWord(STATUS_OK);
  };
  EXPECT_EQ(upgrader.EndFirmwareUpgradeM(), 1);
  const auto finishes = Commands(upgrader.Device(), 0x98);
  ASSERT_EQ(finishes.size(), 1u);
  EXPECT_EQ(finishes[0][3], 0xd4);
  EXPECT_EQ(finishes[0][18], 0x7e);
  upgrader.Device().failSendAt = upgrader.Device().Sent().size();
  EXPECT_EQ(upgrader.EndFirmwareUpgradeM(), 0);
}

}  // namespace
