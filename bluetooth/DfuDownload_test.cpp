#include "bluetooth/DfuDownload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/log/Log.h"
#include "bluetooth/BcspLink.h"
#include "bluetooth/UartBridge.h"
#include "bluetooth/testing/TestChip.h"
#include "platform/Clock.h"
#include "resources/StringTable.h"
#include "ui/DialogProgress.h"

namespace {

// Program time runs 20 times faster: the 10 s and 30 s step time-outs last
// half a second and a second and a half.
constexpr double kTimeScale = 20.0;

Bytes MakeImage(std::size_t size) {
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);  // has C0 and DB
  return image;
}

// Request codes of a clean download of `blocks` data blocks to a chip in its
// application: behind the opening message (channel 13), its state is asked first.
std::vector<std::uint8_t> CleanRequestCodes(std::size_t blocks) {
  std::vector<std::uint8_t> codes{kReqGetStatus, kReqGetDevice, kReqGetFuncDesc, kReqDetach, kReqReset, kReqGetStatus};
  for (std::size_t i = 0; i < blocks; ++i) codes.insert(codes.end(), {kReqDownload, kReqGetStatus});
  codes.insert(codes.end(), {kReqDownload, kReqGetStatus, kReqReset});
  return codes;
}

std::size_t BlockCount(std::size_t size) { return (size + kDfuBlockSize - 1) / kDfuBlockSize; }

std::uint64_t ProgramSeconds(std::uint64_t counts) { return counts / Clock::QueryPerformanceFrequency(); }

class DfuDownloadTest : public testing::Test {
 protected:
  void SetUp() override {
    Clock::SetTimeScale(kTimeScale);
    BcspLink = BcspLinkContext{};
    DrainHostQueue();
  }
  void TearDown() override {
    UartBridgeSetHandle(nullptr);
    BcspLink = BcspLinkContext{};
    DrainHostQueue();
    Clock::SetTimeScale(1.0);
  }

  int Run(CTestChip& chip, const Bytes& image) {
    const std::uint64_t start = Clock::QueryPerformanceCounter();
    CDialogProgress progress(m_progress);
    const int result = DownloadDfuImage(chip.Device(), m_readerStopped, image, progress);
    m_elapsed = Clock::QueryPerformanceCounter() - start;
    return result;
  }

  std::vector<ChipRequest> Downloads(const CTestChip& chip) {
    std::vector<ChipRequest> downloads;
    for (const ChipRequest& request : chip.Requests()) {
      if (request.channel == 12 && request.request == kReqDownload) downloads.push_back(request);
    }
    return downloads;
  }

  int CountLogLines(std::string_view prefix) const {
    int count = 0;
    for (const std::string& message : m_log.Messages()) count += message.starts_with(prefix) ? 1 : 0;
    return count;
  }

  LogCapture m_log;
  std::atomic<std::uint32_t> m_readerStopped{0};
  CFakeProgress m_progress;
  std::uint64_t m_elapsed = 0;
};

TEST_F(DfuDownloadTest, SendsTheImageInNumberedBlocksEndedByAnEmptyBlock) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{1022}, std::size_t{1023}, std::size_t{1024},
                                 std::size_t{2046}, std::size_t{3000}}) {
    SCOPED_TRACE(testing::Message() << "image of " << size << " bytes");
    SetUp();
    m_log.Clear();
    CTestChip chip;
    const Bytes image = MakeImage(size);
    ASSERT_EQ(Run(chip, image), 1);

    EXPECT_EQ(chip.ReceivedImage(), image);
    EXPECT_EQ(chip.RequestCodes(), CleanRequestCodes(BlockCount(size)));
    const std::vector<ChipRequest> downloads = Downloads(chip);
    ASSERT_EQ(downloads.size(), BlockCount(size) + 1);
    for (std::size_t i = 0; i < downloads.size(); ++i) {
      EXPECT_EQ(downloads[i].value, i);
      EXPECT_EQ(downloads[i].requestType, 0x21);
      EXPECT_EQ(downloads[i].length, downloads[i].data.size());
      EXPECT_LE(downloads[i].length, kDfuBlockSize);
    }
    EXPECT_EQ(downloads.back().length, 0);
    EXPECT_EQ(chip.BadFrames(), 0);

    // The opening message on channel 13 goes first, then the status question.
    const std::vector<ChipRequest> requests = chip.Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].channel, 13);
    EXPECT_EQ(requests[0].data, (Bytes{0x03, 0x00, 0x01, 0x00, 0x21, 0x40}));
    EXPECT_EQ(requests[1].channel, 12);
    EXPECT_EQ(requests[1].request, kReqGetStatus);

    const std::vector<std::string> order{"L::FirmwareUpgradeWriteB",
                                         "L::FirmwareUpgradeWriteB starts",
                                         "BTGetDevice: 00 00 00 00 12 0A 01 00 4C 0A 01 00 34 12 01 00 ",
                                         "BTGetFuncDesc: 00 00 00 00 07 21 07 88 13 00 04 ",
                                         "BTDetach: 00 00 00 00 ",
                                         "BTReset: 00 00 00 00 ",
                                         "Last block: 00 00 00 00 ",
                                         "BTReset: 00 00 00 00 ",
                                         "L::FirmwareUpgradeWriteB - Upgrade done",
                                         "L::FirmwareUpgradeWriteB ends"};
    EXPECT_TRUE(m_log.ContainsInOrder(order));
    EXPECT_FALSE(m_log.Contains("BT time-out!"));
    EXPECT_FALSE(m_log.Contains("BT re-start Link Establisment failed"));
    EXPECT_EQ(CountLogLines("BTDownload:"), 0);  // all-zero download replies are not logged
    EXPECT_EQ(BcspLink.linkState, BCSP_LINK_ACTIVE);  // re-established at the end
    TearDown();
  }
}

TEST_F(DfuDownloadTest, ChipsThatAnswerDifferentlyStillGetTheWholeImage) {
  struct Case {
    const char* name;
    bool threaded;
    bool ackBeforeReply;
    int holdOpeningAnswer = 0;
  };
  // A chip slow to answer the opening message (past the host's 200 ms): the
  // status question must not go out while the message waits for its
  // acknowledgement, with its sequence number.
  for (const Case& c : {Case{"acknowledgement before each reply", false, true},
                        Case{"chip answering on its own thread", true, false},
                        Case{"both", true, true},
                        Case{"opening message answered after three resends", false, false, 3}}) {
    SCOPED_TRACE(c.name);
    SetUp();
    CTestChip chip(c.threaded);
    chip.m_ackBeforeReply = c.ackBeforeReply;
    chip.m_holdOpeningAnswer = c.holdOpeningAnswer;
    const Bytes image = MakeImage(2500);
    ASSERT_EQ(Run(chip, image), 1);
    EXPECT_EQ(chip.ReceivedImage(), image);
    EXPECT_EQ(chip.RequestCodes(), CleanRequestCodes(BlockCount(image.size())));
    TearDown();
  }
}

TEST_F(DfuDownloadTest, ErrorStatusBeforeTheFirstBlockIsClearedAndTheDownloadGoesOn) {
  CTestChip chip;
  chip.m_statusScript = [](const CTestChip::StatusContext& context) -> std::uint8_t {
    if (context.statusIndex == 0) return 10;
    return context.blocksReceived > 0 && !context.finalBlockSeen ? 5 : 2;
  };
  const Bytes image = MakeImage(1500);
  ASSERT_EQ(Run(chip, image), 1);
  EXPECT_EQ(chip.ReceivedImage(), image);
  const std::vector<std::uint8_t> codes = chip.RequestCodes();
  const std::vector<std::uint8_t> start{kReqGetStatus, kReqGetDevice, kReqGetFuncDesc, kReqDetach,   kReqReset,
                                        kReqGetStatus, kReqClrStatus, kReqGetStatus,   kReqDownload};
  ASSERT_GE(codes.size(), start.size());
  EXPECT_EQ(std::vector<std::uint8_t>(codes.begin(), codes.begin() + start.size()), start);
  EXPECT_TRUE(m_log.Contains("BTGetStatus: 00 00 00 00 0E 00 00 00 0A 00 "));
}

// A chip that an interrupted run left in its loader is taken from the state it
// reports: after the opening message, no detach or reset into the loader
// before the blocks; a download left open is aborted and one in error cleared
// before block 0. Where the loader refuses the abort or the clear status, or
// is not in dfuIDLE after it, it is restarted with the reset and the download
// begins at block 0. A chip whose answer to the status question names no
// state of the loader's range is opened as an application.
TEST_F(DfuDownloadTest, ChipFoundInItsLoaderIsTakenFromItsState) {
  struct Case {
    const char* name;
    bool inLoader;
    std::function<std::uint8_t(const CTestChip::StatusContext&)> script;  // loader states
    std::vector<std::uint8_t> start;  // request codes up to the first block
    const char* logLine;
    std::vector<std::uint8_t> refused = {};
    Bytes applicationStatus = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  };
  const auto later = [](const CTestChip::StatusContext& c) -> std::uint8_t {
    return c.blocksReceived > 0 && !c.finalBlockSeen ? 5 : 2;
  };
  // Until the loader is restarted.
  const auto untilReset = [later](std::uint8_t state) {
    return [later, state](const CTestChip::StatusContext& c) -> std::uint8_t {
      return c.loaderResets == 0 ? state : later(c);
    };
  };
  const std::vector<std::uint8_t> applicationStart{kReqGetStatus, kReqGetDevice, kReqGetFuncDesc, kReqDetach,
                                                   kReqReset,     kReqGetStatus, kReqDownload};
  const Case cases[] = {
      {"dfuIDLE", true, nullptr, {kReqGetStatus, kReqGetStatus, kReqDownload},
       "L::FirmwareUpgradeWriteB - Chip already in its loader, bState[2]"},
      {"a download left open",
       true,
       [later](const CTestChip::StatusContext& c) -> std::uint8_t { return c.statusIndex <= 1 ? 5 : later(c); },
       {kReqGetStatus, kReqGetStatus, kReqAbort, kReqGetStatus, kReqDownload},
       "BTAbort: 00 00 00 00 "},
      {"dfuERROR",
       true,
       [later](const CTestChip::StatusContext& c) -> std::uint8_t { return c.clears == 0 ? 10 : later(c); },
       {kReqGetStatus, kReqGetStatus, kReqClrStatus, kReqGetStatus, kReqDownload},
       "L::FirmwareUpgradeWriteB - Chip already in its loader, bState[10]"},
      {"manifestation under way",
       true,
       [later](const CTestChip::StatusContext& c) -> std::uint8_t { return c.statusIndex <= 2 ? 7 : later(c); },
       {kReqGetStatus, kReqGetStatus, kReqGetStatus, kReqGetStatus, kReqDownload},
       "L::FirmwareUpgradeWriteB - Chip already in its loader, bState[7]"},
      {"abort refused", true, untilReset(5), {kReqGetStatus, kReqGetStatus, kReqAbort, kReqReset, kReqGetStatus,
       kReqDownload}, "L::FirmwareUpgradeWriteB - BTAbort refused", {kReqAbort}},
      {"still open after the abort", true, untilReset(5),
       {kReqGetStatus, kReqGetStatus, kReqAbort, kReqGetStatus, kReqReset, kReqGetStatus, kReqDownload},
       "L::FirmwareUpgradeWriteB - Loader not back in dfuIDLE, restarting it"},
      {"clear status refused", true, untilReset(10),
       {kReqGetStatus, kReqGetStatus, kReqClrStatus, kReqReset, kReqGetStatus, kReqDownload},
       "L::FirmwareUpgradeWriteB - BTClrStatus refused", {kReqClrStatus}},
      {"application", false, nullptr, applicationStart, "BTDetach: 00 00 00 00 "},
      {"application naming a state outside the loader's range", false, nullptr, applicationStart,
       "BTGetStatus: 00 00 00 00 00 00 00 00 0B 00 ", {}, {0, 0, 0, 0, 0, 0, 0, 0, 11, 0}},
      // Stops before bState: an earlier run's status reply is still in the buffer.
      {"application answering too short to name a state", false, nullptr, applicationStart,
       "BTGetStatus: 00 00 00 00 00 00 00 00 ", {}, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    m_log.Clear();
    CTestChip chip;
    chip.m_inLoader = c.inLoader;
    chip.m_statusScript = c.script;
    chip.m_refused = c.refused;
    chip.m_applicationStatus = c.applicationStatus;
    const Bytes image = MakeImage(2500);
    EXPECT_EQ(Run(chip, image), 1);  // not fatal: the next cases still run
    EXPECT_EQ(chip.ReceivedImage(), image);
    const std::vector<std::uint8_t> codes = chip.RequestCodes();
    const std::size_t shown = std::min(codes.size(), c.start.size());
    EXPECT_EQ(std::vector<std::uint8_t>(codes.begin(), codes.begin() + shown), c.start);
    EXPECT_TRUE(!codes.empty() && codes.back() == kReqReset) << "the new image is started";
    const std::vector<ChipRequest> requests = chip.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().channel, 13) << "the opening message goes first";
    EXPECT_EQ(std::ranges::count(requests, std::uint8_t{13}, &ChipRequest::channel), 1);
    EXPECT_TRUE(m_log.Contains(c.logLine));
    EXPECT_TRUE(m_log.Contains("L::FirmwareUpgradeWriteB - Upgrade done"));
    TearDown();
  }
}

// A loader that takes neither the abort nor the reset cannot be brought back:
// the download fails without a block sent.
TEST_F(DfuDownloadTest, LoaderRefusingTheAbortAndTheResetFailsTheDownload) {
  CTestChip chip;
  chip.m_inLoader = true;
  chip.m_statusScript = [](const CTestChip::StatusContext&) -> std::uint8_t { return 5; };
  chip.m_refused = {kReqAbort, kReqReset};
  EXPECT_EQ(Run(chip, MakeImage(3000)), 0);
  EXPECT_TRUE(Downloads(chip).empty());
  EXPECT_TRUE(m_log.Contains("L::FirmwareUpgradeWriteB - BTReset refused"));
  EXPECT_FALSE(m_log.Contains("BT time-out!"));
  EXPECT_FALSE(m_log.Contains("L::FirmwareUpgradeWriteB - Upgrade done"));
}

TEST_F(DfuDownloadTest, ErrorStatusAfterABlockFailsTheDownload) {
  CTestChip chip;
  chip.m_statusScript = [](const CTestChip::StatusContext& context) -> std::uint8_t {
    return context.blocksReceived >= 1 ? 10 : 2;
  };
  EXPECT_EQ(Run(chip, MakeImage(3000)), 0);
  EXPECT_EQ(Downloads(chip).size(), 1u);  // nothing after the refused block
  const std::vector<std::uint8_t> codes = chip.RequestCodes();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), kReqClrStatus);  // no final reset
  EXPECT_FALSE(m_log.Contains("L::FirmwareUpgradeWriteB - Upgrade done"));
  EXPECT_TRUE(m_log.Contains("L::FirmwareUpgradeWriteB ends"));
}

TEST_F(DfuDownloadTest, BusyStatesMidDownloadArePolledAgain) {
  CTestChip chip;
  chip.m_statusScript = [](const CTestChip::StatusContext& context) -> std::uint8_t {
    if (context.statusIndex == 1) return 4;  // dfuDNBUSY after block 0
    if (context.statusIndex == 2) return 3;  // dfuDNLOAD-SYNC
    return context.blocksReceived > 0 && !context.finalBlockSeen ? 5 : 2;
  };
  const Bytes image = MakeImage(2046);
  ASSERT_EQ(Run(chip, image), 1);
  EXPECT_EQ(chip.ReceivedImage(), image);
  const std::vector<std::uint8_t> codes = chip.RequestCodes();
  const std::vector<std::uint8_t> middle{kReqDownload, kReqGetStatus, kReqGetStatus, kReqGetStatus, kReqDownload};
  EXPECT_EQ(std::vector<std::uint8_t>(codes.begin() + 6, codes.begin() + 11), middle);
}

TEST_F(DfuDownloadTest, StatusPollsThatNeverSettleEndInATimeOut) {
  struct Case {
    const char* name;
    std::function<std::uint8_t(const CTestChip::StatusContext&)> script;
    std::size_t downloads;
    std::uint64_t atLeastSeconds;
  };
  const Case cases[] = {
      {"dfuERROR never cleared before the first block", [](const auto&) -> std::uint8_t { return 10; }, 0, 10},
      {"busy forever after block 1",
       [](const CTestChip::StatusContext& c) -> std::uint8_t { return c.blocksReceived >= 2 ? 4 : 5; }, 2, 10},
      {"never idle after the final block",
       [](const CTestChip::StatusContext& c) -> std::uint8_t { return c.finalBlockSeen ? 4 : 5; }, 3, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    m_log.Clear();
    CTestChip chip;
    chip.m_statusScript = c.script;
    // A download that renewed its deadline forever would never end: after a
    // generous real-time bound the reader-stopped flag ends it, without the
    // time-out message this test looks for.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mutex);
      if (!finished.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) m_readerStopped = 1;
    });
    EXPECT_EQ(Run(chip, MakeImage(2046)), 0);
    {
      const std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    finished.notify_one();
    watchdog.join();
    EXPECT_TRUE(m_log.Contains("BT time-out!"));
    EXPECT_EQ(Downloads(chip).size(), c.downloads);
    EXPECT_FALSE(m_log.Contains("L::FirmwareUpgradeWriteB - Upgrade done"));
    EXPECT_GE(ProgramSeconds(m_elapsed), c.atLeastSeconds);
    TearDown();
  }
}

TEST_F(DfuDownloadTest, RepliesAreReadOnlyAsFarAsTheyWereDelivered) {
  CTestChip chip;
  // The first two status replies after block 0 stop before bState: neither
  // may be read as the state of an earlier, longer reply still in the buffer,
  // so the chip is asked again each time.
  chip.m_statusReplyLength = [](const CTestChip::StatusContext& context) -> std::size_t {
    if (context.statusIndex == 1) return 4;
    if (context.statusIndex == 2) return 8;
    return 10;
  };
  chip.m_downloadReply = [](std::uint16_t block) -> Bytes {
    if (block == 0) return {0x01, 0x00, 0x00, 0x00};
    if (block == 2) return {0x7F};
    return {0x00, 0x00, 0x00, 0x00};
  };
  const Bytes image = MakeImage(3000);
  ASSERT_EQ(Run(chip, image), 1);
  EXPECT_EQ(chip.ReceivedImage(), image);
  const std::vector<std::uint8_t> codes = chip.RequestCodes();
  const std::vector<std::uint8_t> middle{kReqDownload, kReqGetStatus, kReqGetStatus, kReqGetStatus, kReqDownload};
  EXPECT_EQ(std::vector<std::uint8_t>(codes.begin() + 6, codes.begin() + 11), middle);
  EXPECT_TRUE(m_log.Contains("BTDownload: 01 00 00 00 "));
  EXPECT_TRUE(m_log.Contains("BTDownload: 7F "));
  EXPECT_EQ(CountLogLines("BTDownload:"), 2);
}

TEST_F(DfuDownloadTest, ProgressFollowsTheModeAndTheImageSize) {
  const std::string upgrading = LoadStringById(IDS_UPGRADING);
  struct Case {
    const char* name;
    std::size_t size;
    bool silent;
    bool progressMode;
    std::uint16_t upper;  // 0: the bar is not touched
    int steps;
  };
  const Case cases[] = {
      {"small image: one step fills the bar", 3000, false, false, 1, 1},
      {"two blocks per step", 204600, false, false, 100, 100},
      {"silent", 3000, true, false, 0, 0},
      {"progress window", 3000, true, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    m_progress = CFakeProgress{};
    m_progress.m_SilentMode = c.silent;
    m_progress.m_ProgressMode = c.progressMode;
    CTestChip chip;
    ASSERT_EQ(Run(chip, MakeImage(c.size)), 1);

    EXPECT_EQ(m_progress.m_upper, c.upper);
    EXPECT_EQ(m_progress.m_stepCalls, c.steps);
    EXPECT_EQ(m_progress.m_position, c.steps);
    EXPECT_EQ(m_progress.m_repaints, c.steps);
    EXPECT_EQ(m_progress.m_setPosCalls, c.silent ? 0 : 1);
    if (c.silent) {
      EXPECT_TRUE(m_progress.m_buttons.empty());
    } else {
      EXPECT_EQ(m_progress.m_buttons,
                (std::vector<std::pair<DialogButton, bool>>{{DialogButton::Upgrade, false}, {DialogButton::Close, false}}));
    }
    if (c.progressMode) {
      EXPECT_EQ(m_progress.m_progressWindowSteps, std::optional<std::uint16_t>((c.size / 512) * 32));
    } else {
      EXPECT_FALSE(m_progress.m_progressWindowSteps.has_value());
    }
    EXPECT_EQ(m_progress.m_progressWindowStepCalls, 0);

    // Byte counts after every data block, in every mode.
    std::vector<std::string> expected;
    if (!c.silent) expected.push_back(upgrading);
    for (std::size_t sent = kDfuBlockSize; sent < c.size + kDfuBlockSize; sent += kDfuBlockSize) {
      expected.push_back(upgrading + "\n" + std::to_string(std::min(sent, c.size)) + " of " + std::to_string(c.size) +
                         " bytes");
    }
    EXPECT_EQ(m_progress.m_texts, expected);
    TearDown();
  }
}

TEST_F(DfuDownloadTest, NoLinkWithinThreeSecondsFailsAtOnce) {
  CTestChip chip;
  chip.m_answerLinkEstablishment = false;
  EXPECT_EQ(Run(chip, MakeImage(100)), 0);
  EXPECT_TRUE(m_log.Contains("BT Link Establisment failed"));
  EXPECT_FALSE(m_log.Contains("L::FirmwareUpgradeWriteB starts"));
  EXPECT_FALSE(m_log.Contains("L::FirmwareUpgradeWriteB ends"));
  EXPECT_TRUE(chip.Requests().empty());
  EXPECT_GE(ProgramSeconds(m_elapsed), 3u);
}

TEST_F(DfuDownloadTest, StoppedReaderEndsTheDownloadWithoutATimeOutMessage) {
  CTestChip chip;
  m_readerStopped = 1;
  EXPECT_EQ(Run(chip, MakeImage(3000)), 0);
  EXPECT_FALSE(m_log.Contains("BT time-out!"));
  EXPECT_TRUE(Downloads(chip).empty());
  EXPECT_TRUE(m_log.Contains("L::FirmwareUpgradeWriteB ends"));
}

// Prints how closely the pacing wait keeps to its r × 200 µs and what share of
// a core it takes; checks that arriving UART bytes end a wait early.
TEST(DfuPaceTest, ArrivingBytesEndTheWaitAndCadenceIsReported) {
  DrainHostQueue();
  Clock::SetTimeScale(1.0);
  const auto threadCpuNs = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
  };
  constexpr int kCycles = 40;
  const CFineTimerSlack timerSlack;
  const double cpuStart = threadCpuNs();
  const auto realStart = std::chrono::steady_clock::now();
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    for (std::int8_t countdown = 10; countdown >= 1; --countdown) DfuPace(countdown, true);
  }
  const double realNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - realStart).count();
  const double cpuNs = threadCpuNs() - cpuStart;
  const double requestedNs = kCycles * 55 * 200e3;  // (10 + 9 + ... + 1) × 200 µs per cycle
  std::cout << "[ pacing ] idle cycle requested " << requestedNs / kCycles / 1e3 << " us, took "
            << realNs / kCycles / 1e3 << " us (" << (realNs / requestedNs - 1.0) * 100.0 << "% over); CPU share "
            << cpuNs / realNs * 100.0 << "%\n";

  // Slow program time down so that a full wait would last 2.5 s of real time.
  Clock::SetTimeScale(0.01);
  const std::uint64_t fullWait = 127 * (Clock::QueryPerformanceFrequency() / 5000);
  std::thread producer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PushToHost(Bytes{0xC0});
  });
  const std::uint64_t start = Clock::QueryPerformanceCounter();
  DfuPace(127, true);
  const std::uint64_t waited = Clock::QueryPerformanceCounter() - start;
  producer.join();
  Clock::SetTimeScale(1.0);
  EXPECT_TRUE(UartRxPending());
  EXPECT_LT(waited, fullWait);
  DrainHostQueue();
}

}  // namespace
