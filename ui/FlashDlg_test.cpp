#include "ui/FlashDlg.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/log/Log.h"
#include "loader/md5/Md5.h"
#include "platform/Clock.h"
#include "resources/StringTable.h"
#include "ui/EndRequest.h"
#include "ui/HeadlessSurface.h"
#include "ui/testing/ScriptedUpgrader.h"

namespace {

const std::string kEnterFailed = "Device failed to go into upgrading mode. Please re-connect your device and try again.";
const std::string kUpgradeFailed = "Firmware upgrade failed. Please re-connect your device and try again.";

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

std::vector<std::uint8_t> DigestOf(const std::vector<std::uint8_t>& bytes) {
  const Md5Digest digest = CMd5::Of(bytes);
  return {digest.begin(), digest.end()};
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  const auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : it - lines.begin();
}

// Records when the controller takes and releases the sleep lock among the upgrader's calls.
class CRecordedSleepLock : public CSleepInhibitor {
 public:
  CRecordedSleepLock(std::shared_ptr<UpgraderScript> script, const std::string& why) : m_script(std::move(script)) {
    m_script->Record("SleepLock taken: " + why);
  }
  ~CRecordedSleepLock() override { m_script->Record("SleepLock released"); }

 private:
  std::shared_ptr<UpgraderScript> m_script;
};

// "TYPE VERDICT written|- OUTCOME BEFORE/AFTER" per processor.
std::vector<std::string> Summary(const RunRecord& record) {
  std::vector<std::string> lines;
  for (const ProcessorRecord& p : record.processors)
    lines.push_back((p.type ? std::to_string(*p.type) : "?") + " " + VerdictName(p.verdict) + " " +
                    (p.written ? "written " : "- ") + OutcomeName(p.outcome) + " " + p.versionBefore + "/" +
                    p.versionAfter);
  return lines;
}

// One dialog with a scripted upgrader, embedded items of the test's choosing and a headless surface.
class FlashDlgTest : public ::testing::Test {
 public:
  void SetUp() override {
    Clock::SetTimeScale(100);
    SetItem("LPC18XX_RCDATA", Pattern(300, 1));
    SetItem("BC08_RCDATA", Pattern(500, 2));
  }
  void TearDown() override {
    dialog.reset();
    Clock::SetTimeScale(1);
  }

  void SetItem(const std::string& name, std::vector<std::uint8_t> bytes, bool withDigest = true) {
    if (withDigest) items[name + "_MD5"] = DigestOf(bytes);
    items[name] = std::move(bytes);
  }

  CFlashDlg& Make(bool silent = false, bool check = true, bool progress = false) {
    dialog = std::make_unique<CFlashDlg>();
    dialog->SetMode(silent, check, progress, nullptr, 1, 0x0c01);
    dialog->SetUpgraderFactory([s = script] { return std::make_unique<CScriptedUpgrader>(s); });
    dialog->SetSleepInhibitor(
        [s = script](const std::string& why) { return std::make_unique<CRecordedSleepLock>(s, why); });
    dialog->SetImageLookup([this](std::string_view name) -> std::optional<std::span<const std::uint8_t>> {
      const auto it = items.find(std::string(name));
      if (it == items.end()) return std::nullopt;
      return std::span<const std::uint8_t>(it->second);
    });
    auto owned = std::make_unique<CHeadlessSurface>(true);
    surface = owned.get();
    dialog->AttachSurface(std::move(owned));
    return *dialog;
  }

  // Loads the device and, as the Upgrade button or silent mode would, runs the flashing thread to its end.
  void RunToEnd(bool silent = false, bool check = true, bool progress = false) {
    CFlashDlg& dlg = Make(silent, check, progress);
    dlg.OnInitDialog();
    if (!silent) dlg.OnOK();
    dlg.WaitForFlashingThread();
  }

  std::int32_t Code() const { return dialog->m_ReturnCode.load(); }

  LogCapture log;
  std::shared_ptr<UpgraderScript> script = std::make_shared<UpgraderScript>();
  std::map<std::string, std::vector<std::uint8_t>> items;
  std::unique_ptr<CFlashDlg> dialog;
  CHeadlessSurface* surface = nullptr;
};

TEST_F(FlashDlgTest, LoadedDeviceShowsItsNameStatusAndVersions) {
  CFlashDlg& dlg = Make();
  dlg.SetConsoleTranscript(true);
  ::testing::internal::CaptureStdout();
  dlg.OnInitDialog();
  const auto state = surface->Snapshot();
  EXPECT_EQ(state.title, "Aurelix Rho Device Firmware Upgrade");
  EXPECT_EQ(state.statusText, "This program will upgrade the firmware of your Aurelix Rho. Press Upgrade to begin.");
  EXPECT_EQ(state.versionText, "Current Version: 1.00");
  EXPECT_TRUE(state.upgradeEnabled);
  EXPECT_TRUE(state.closeEnabled);
  EXPECT_FALSE(dlg.HasEnded());
  // The transcript tells what the attached surface shows, and nothing once the dialog has ended.
  dlg.EndDialog(IDCANCEL);
  dlg.SetStatusText("set after the end");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Aurelix Rho Device Firmware Upgrade\n"
            "This program will upgrade the firmware of your Aurelix Rho. Press Upgrade to begin.\n"
            "Current Version: 1.00\n");
  EXPECT_TRUE(Has(script->Calls(), "GetProductName 252"));
  const std::vector<std::string> expected = {"CFlashDlg::SetMode - m_mcuIndex[1] m_InputProductID[c01]",
                                             "CFlashDlg::OnInitDialog",
                                             "CFlashDlg::LoadDevice",
                                             "CFlashDlg::LoadDevice - CreateCFirmwareUpgrade",
                                             "CFlashDlg::LoadDevice - GetProductName",
                                             "CFlashDlg::LoadDevice - hRes[00000000]",
                                             "CFlashDlg::Product Name[Aurelix Rho]",
                                             "CFlashDlg::InitFirmwareVersionDisplay - [1]",
                                             "CFlashDlg::InitFirmwareVersionDisplay - [1] Done"};
  EXPECT_TRUE(log.ContainsInOrder(expected));
}

TEST_F(FlashDlgTest, NoDeviceAtStartEndsTheDialogWithCancel) {
  struct Case {
    const char* name;
    bool silent;
    bool upgraderMade;
  };
  for (const Case& c : {Case{"no upgrader", false, false}, Case{"name fails", false, true},
                        Case{"silent, no upgrader", true, false}}) {
    SCOPED_TRACE(c.name);
    log.Clear();
    script->productNameStatus = E_FAIL;
    CFlashDlg& dlg = Make(c.silent);
    if (!c.upgraderMade) dlg.SetUpgraderFactory([] { return nullptr; });
    dlg.OnInitDialog();
    EXPECT_EQ(Code(), FLASH_RC_NO_DEVICE);
    EXPECT_EQ(dlg.EndResult(), IDCANCEL);
    EXPECT_FALSE(dlg.FlashingThreadStarted());
    const auto state = surface->Snapshot();
    EXPECT_EQ(state.messages.size(), c.silent ? 0u : 1u);
    if (!c.silent) {
      EXPECT_EQ(state.messages[0], LoadStringById(IDS_NOT_CONNECTED));
    }
    EXPECT_TRUE(log.Contains("CFlashDlg::LoadDevice - hRes[80004005]"));
    EXPECT_TRUE(log.Contains("CFlashDlg::No HIDDevice"));
    EXPECT_EQ(log.Contains("SilentMode"), c.silent);
  }
}

// How one run ends, by what the device reports.
TEST_F(FlashDlgTest, RunOutcomes) {
  struct Case {
    const char* name;
    std::function<void(UpgraderScript&)> setUp;
    bool check;
    std::int32_t code;
    std::string finalText;
    Rgb colour;
    bool enterBootloader;
    int writes;  // processors initialised
  };
  const std::string nothing = LoadStringById(IDS_NOTHING_UPGRADED);
  const std::vector<Case> cases = {
      {"success", [](UpgraderScript&) {}, true, FLASH_RC_OK, "Upgrade is successful", kBlack, true, 1},
      {"nothing newer overall", [](UpgraderScript& s) { s.overallVerdict = 3; }, true, FLASH_RC_NOT_DONE, nothing,
       kRed, false, 0},
      {"every processor same or newer",
       [](UpgraderScript& s) {
         s.processors = {{AXFLASH_MCU_TYPE_P, false, 0}, {AXFLASH_MCU_TYPE_B, false, -1}};
       },
       true, FLASH_RC_NOT_DONE, nothing, kRed, true, 0},
      {"forced: no verdict is consulted",
       [](UpgraderScript& s) {
         s.overallVerdict = 3;
         s.processors = {{AXFLASH_MCU_TYPE_P, false, 0}, {AXFLASH_MCU_TYPE_B, false, -1}};
       },
       false, FLASH_RC_OK, "Upgrade is successful", kBlack, true, 2},
      {"already in the bootloader", [](UpgraderScript& s) { s.inBootloader = true; }, true, FLASH_RC_OK,
       "Upgrade is successful", kBlack, false, 1},
      {"bootloader entry fails", [](UpgraderScript& s) { s.enterBootloaderResult = 0; }, true, FLASH_RC_NOT_DONE,
       kEnterFailed, kRed, true, 0},
      {"first processor fails, second untouched",
       [](UpgraderScript& s) {
         s.processors = {{AXFLASH_MCU_TYPE_P, false, 1}, {AXFLASH_MCU_TYPE_B, false, 1}};
         s.initResult = 0;
       },
       true, FLASH_RC_UPGRADE_FAILED, kUpgradeFailed, kRed, true, 1},
      {"initialise must return exactly 1", [](UpgraderScript& s) { s.initResult = 2; }, true,
       FLASH_RC_UPGRADE_FAILED, kUpgradeFailed, kRed, true, 1},
      {"end fails", [](UpgraderScript& s) { s.endResult = 0; }, true, FLASH_RC_UPGRADE_FAILED, kUpgradeFailed, kRed,
       true, 1},
      {"type 1 is never written",
       [](UpgraderScript& s) {
         s.processors = {{AXFLASH_MCU_TYPE_M, false, 1}, {AXFLASH_MCU_TYPE_P, false, 1}};
       },
       true, FLASH_RC_OK, "Upgrade is successful", kBlack, true, 1},
      {"failed type query does not inherit the previous type",
       [](UpgraderScript& s) {
         s.processors = {{AXFLASH_MCU_TYPE_P, false, 1}, {AXFLASH_MCU_TYPE_P, true, 1}};
       },
       true, FLASH_RC_OK, "Upgrade is successful", kBlack, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = std::make_shared<UpgraderScript>();
    c.setUp(*script);
    log.Clear();
    RunToEnd(false, c.check);
    EXPECT_EQ(Code(), c.code);
    const auto state = surface->Snapshot();
    EXPECT_EQ(state.statusText, c.finalText);
    EXPECT_EQ(state.statusColour, c.colour);
    EXPECT_TRUE(state.closeEnabled);
    EXPECT_FALSE(state.upgradeEnabled);
    const auto calls = script->Calls();
    EXPECT_EQ(Has(calls, "EnterBootloader"), c.enterBootloader);
    EXPECT_TRUE(Has(calls, "ExitBootloader"));
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& call) {
                return call.starts_with("InitFirmwareUpgrade");
              }),
              c.writes);
    EXPECT_EQ(Has(calls, "VersionCheckingHardcodedCompare"), c.check);
    if (!c.check) {
      EXPECT_TRUE(log.Contains("CFlashDlg::FlashOS - Force flashing as m_Checkmode == TRUE"));
    }
    if (std::string(c.name).starts_with("first processor")) {
      EXPECT_FALSE(Has(calls, "SetActiveMCU 1"));
    }
    if (std::string(c.name).starts_with("type 1")) {
      EXPECT_FALSE(log.Contains("FlashOS mcuIndex = 0"));
    }
    // Sleep is held off from the bootloader entry to the end of the run, so
    // every write happens under the lock, also in a run that fails.
    const auto taken = IndexOf(calls, "SleepLock taken: Writing new firmware to Aurelix Rho");
    const auto released = IndexOf(calls, "SleepLock released");
    if (std::string(c.name) == "nothing newer overall") {
      EXPECT_EQ(taken, -1);
      EXPECT_EQ(released, -1);
    } else {
      ASSERT_NE(taken, -1);
      EXPECT_GT(taken, IndexOf(calls, "VersionCheckingHardcodedCompare"));
      EXPECT_GT(released, IndexOf(calls, "ExitBootloader"));
      EXPECT_EQ(std::count(calls.begin(), calls.end(), "SleepLock released"), 1);
      for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(calls.size()); ++i) {
        const std::string& call = calls[static_cast<std::size_t>(i)];
        if (call == "EnterBootloader" || call.starts_with("InitFirmwareUpgrade") || call.starts_with("WriteToP") ||
            call.starts_with("EndFirmwareUpgrade")) {
          EXPECT_GT(i, taken) << call;
          EXPECT_LT(i, released) << call;
        }
      }
    }
    // A successful run reloads the device once and shows its versions again.
    EXPECT_EQ(script->UpgradersMade(), c.code == FLASH_RC_OK ? 2 : 1);
    EXPECT_TRUE(log.Contains("CFlashDlg::Cleanup - Done"));
  }
}

TEST_F(FlashDlgTest, RunRecordTellsWhatHappenedToEachProcessor) {
  const ScriptedProcessor main{AXFLASH_MCU_TYPE_P, false, 1};
  const ScriptedProcessor bluetooth{AXFLASH_MCU_TYPE_B, false, 1};
  struct Case {
    const char* name;
    std::function<void(UpgraderScript&)> setUp;
    bool check;
    std::vector<std::string> record;
  };
  const std::vector<Case> cases = {
      {"both written, a third type left alone",
       [&](UpgraderScript& s) { s.processors = {main, {AXFLASH_MCU_TYPE_M, false, 1}, bluetooth}; },
       true,
       {"3 image-newer written upgraded 1.00/1.00", "1 not-asked - skipped 1.00/1.00",
        "2 image-newer written upgraded 1.00/1.00"}},
      {"first fails before writing, second not reached",
       [&](UpgraderScript& s) {
         s.processors = {main, bluetooth};
         s.initResult = 0;
       },
       true, {"3 image-newer - failed 1.00/", "2 not-asked - not-reached 1.00/"}},
      {"write fails", [](UpgraderScript& s) { s.writeWholeResult = 0; }, true, {"3 image-newer written failed 1.00/"}},
      {"same and device newer",
       [](UpgraderScript& s) { s.processors = {{AXFLASH_MCU_TYPE_P, false, 0}, {AXFLASH_MCU_TYPE_B, false, -1}}; },
       true, {"3 same - skipped 1.00/", "2 device-newer - skipped 1.00/"}},
      {"forced", [](UpgraderScript& s) { s.overallVerdict = 3; }, false, {"3 forced written upgraded 1.00/1.00"}},
      {"nothing newer overall", [](UpgraderScript& s) { s.overallVerdict = 3; }, true, {"3 not-asked - skipped 1.00/"}},
      {"no bootloader", [](UpgraderScript& s) { s.enterBootloaderResult = 0; }, true,
       {"3 not-asked - not-reached 1.00/"}},
      {"unknown type", [](UpgraderScript& s) { s.processors = {{AXFLASH_MCU_TYPE_P, true, 1}}; }, true,
       {"? not-asked - skipped 1.00/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = std::make_shared<UpgraderScript>();
    c.setUp(*script);
    script->version = "Version : 1.00";
    RunRecord record;
    Make(false, c.check).SetRunRecord(&record);
    dialog->OnInitDialog();
    dialog->OnOK();
    dialog->WaitForFlashingThread();
    EXPECT_TRUE(record.deviceFound);
    EXPECT_EQ(record.productName, "Aurelix Rho");
    EXPECT_EQ(Summary(record), c.record);
  }
}

TEST_F(FlashDlgTest, SuccessfulRunShowsItsTextsInOrder) {
  RunToEnd();
  const auto history = surface->History();
  const std::vector<std::string> expected = {"enable Upgrade 0",
                                             "enable Close 0",
                                             "status: " + LoadStringById(IDS_INITIALIZING),
                                             "status: " + LoadStringById(IDS_RELOADING),
                                             "version: Current Version: 1.00",
                                             "enable Upgrade 0",
                                             "status: Upgrade is successful",
                                             "enable Close 1",
                                             "enable window"};
  std::ptrdiff_t at = 0;
  for (const std::string& line : expected) {
    const auto found = std::find(history.begin() + at, history.end(), line);
    ASSERT_NE(found, history.end()) << line;
    at = found - history.begin() + 1;
  }
  EXPECT_TRUE(Has(script->Calls(), "WriteToP 300"));
  // The two threads' lines interleave freely; each thread's own lines keep their order.
  EXPECT_TRUE(log.ContainsInOrder(std::vector<std::string>{"OnOK", "Thread creation OK", "OnOK - FlashOS Done"}));
  EXPECT_TRUE(log.ContainsInOrder(std::vector<std::string>{
      "OnOK", "CFlashDlg::FlashFirmwareThreadProc",
      "flashAllOS m_numMCU = 1", "FlashOS mcuIndex = 0", "CFlashDlg::FlashOS - CanUpgradeCurrentActiveMCU() returned 1",
      "CFlashDlg::FlashOS - iCanFlash = 1", "Try load Firmware Image Resource...",
      "LoadEmbeddedImage - Index [0] - AXFLASH_MCU_TYPE_P", "Total Size of FW Resource [300]", "Finish",
      "CFlashDlg::FlashFirmwareThreadProc - Done"}));
}

// Image lookup and digest check, by what the build carries.
TEST_F(FlashDlgTest, EmbeddedImageChecks) {
  struct Case {
    const char* name;
    std::function<void(FlashDlgTest&)> setUp;
    std::uint32_t type;
    std::string logLine;
    bool prepared;
  };
  const std::vector<Case> cases = {
      {"image and digest match", [](FlashDlgTest&) {}, AXFLASH_MCU_TYPE_B, "Total Size of FW Resource [500]", true},
      {"last byte changed",
       [](FlashDlgTest& t) { t.items["LPC18XX_RCDATA"].back() ^= 1; }, AXFLASH_MCU_TYPE_P,
       "FW Resource signature mismatch!", false},
      {"digest item missing", [](FlashDlgTest& t) { t.items.erase("LPC18XX_RCDATA_MD5"); }, AXFLASH_MCU_TYPE_P,
       "FW Resource signature mismatch!", false},
      {"digest item shorter than 16 bytes",
       [](FlashDlgTest& t) { t.items["LPC18XX_RCDATA_MD5"].pop_back(); }, AXFLASH_MCU_TYPE_P,
       "FW Resource signature mismatch!", false},
      {"third controller image not carried", [](FlashDlgTest&) {}, AXFLASH_MCU_TYPE_M,
       "FW Resource not found! Error [2]", false},
      {"unknown type", [](FlashDlgTest&) {}, 7, "LoadEmbeddedImage - Index [0] - Unknown", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    items.erase("KESTRAN_RCDATA");
    c.setUp(*this);
    script = std::make_shared<UpgraderScript>();
    script->processors = {{c.type, false, 1}};
    log.Clear();
    CFlashDlg& dlg = Make();
    ASSERT_EQ(dlg.LoadDevice(), S_OK);
    std::uint32_t rawSize = 0;
    std::unique_ptr<std::uint8_t[]> raw;
    const HRESULT status = dlg.LoadEmbeddedImage(&rawSize, &raw, 0);
    EXPECT_TRUE(log.Contains(c.logLine));
    EXPECT_EQ(SUCCEEDED(status), c.prepared);
    EXPECT_EQ(raw != nullptr, c.prepared);
    const auto calls = script->Calls();
    EXPECT_EQ(std::any_of(calls.begin(), calls.end(),
                          [](const std::string& call) { return call.starts_with("PrepareFirmwareImage"); }),
              c.prepared);
    if (c.type == 7) {
      EXPECT_TRUE(log.Contains("FW Resource not found! Error [2]"));
    }
  }
}

TEST_F(FlashDlgTest, ImageRefusedAsNotForThePartShowsString137First) {
  script->prepareStatus = E_INVALIDARG;
  RunToEnd();
  EXPECT_EQ(Code(), FLASH_RC_UPGRADE_FAILED);
  const auto history = surface->History();
  const auto refused = IndexOf(history, "status: " + LoadStringById(IDS_IMAGE_NOT_FOR_PART));
  const auto failed = IndexOf(history, "status: " + kUpgradeFailed);
  ASSERT_GE(refused, 0);
  EXPECT_LT(refused, failed);
  EXPECT_FALSE(Has(history, "status: " + LoadStringById(IDS_INITIALIZING)));
}

// Processors written block by block: the count of blocks, their lengths, the bar and the texts.
TEST_F(FlashDlgTest, BlockPath) {
  struct Case {
    const char* name;
    std::size_t imageSize;
    int failBlock;
    bool silent;
    bool progress;
    std::vector<std::uint16_t> blocks;
    int rangeUpper;
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"shorter than one block", 10, -1, false, false, {10}, 0, FLASH_RC_OK},
      {"two and a half blocks", 160, -1, false, false, {64, 64, 32}, 3, FLASH_RC_OK},
      {"whole blocks", 128, -1, false, false, {64, 64}, 2, FLASH_RC_OK},
      {"second block fails", 160, 1, false, false, {64, 64}, 3, FLASH_RC_UPGRADE_FAILED},
      {"progress mode", 160, -1, true, true, {64, 64, 32}, 0, FLASH_RC_OK},
      {"silent", 160, -1, true, false, {64, 64, 32}, 0, FLASH_RC_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetItem("KESTRAN_RCDATA", Pattern(c.imageSize, 3));
    script = std::make_shared<UpgraderScript>();
    script->processors = {{AXFLASH_MCU_TYPE_M, false, 1}};
    script->failBlock = c.failBlock;
    log.Clear();
    CFlashDlg& dlg = Make(c.silent, true, c.progress);
    ASSERT_EQ(dlg.LoadDevice(), S_OK);
    const int result = dlg.FlashOS(0);
    EXPECT_EQ(result != 0, c.code == FLASH_RC_OK);
    EXPECT_EQ(Code(), c.code);
    EXPECT_EQ(script->BlockLengths(), c.blocks);
    const auto state = surface->Snapshot();
    const auto history = surface->History();
    if (!c.silent) {
      EXPECT_EQ(state.progress.Upper(), c.rangeUpper);
      EXPECT_EQ(state.progress.Step(), 1);
      const int written = static_cast<int>(c.failBlock < 0 ? c.blocks.size() : c.blocks.size() - 1);
      // A bar with an empty range does not move.
      EXPECT_EQ(state.progress.Pos(), c.rangeUpper == 0 ? 0 : written);
      std::size_t bytes = 0;
      for (int i = 0; i < written; ++i) {
        bytes += c.blocks[i];
        EXPECT_TRUE(Has(history, "status: " + LoadStringById(IDS_UPGRADING) + "\n" + std::to_string(bytes) + " of " +
                                     std::to_string(c.imageSize) + " bytes"));
      }
      EXPECT_EQ(std::count(history.begin(), history.end(), "repaint and show"), written);
    } else {
      EXPECT_FALSE(std::any_of(history.begin(), history.end(),
                               [](const std::string& line) { return line.starts_with("status:"); }));
      EXPECT_FALSE(Has(history, "repaint and show"));
    }
    if (c.progress) {
      EXPECT_EQ(state.progressWindowsStarted, 1);
      EXPECT_TRUE(Has(history, "progress window start 3"));
      EXPECT_EQ(std::count(history.begin(), history.end(), "progress window step"), 3);
    } else {
      EXPECT_EQ(state.progressWindowsStarted, 0);
    }
    EXPECT_TRUE(log.Contains("Ready to start flashing. BlockSize[64] Image Size [" + std::to_string(c.imageSize) +
                             "]"));
    EXPECT_TRUE(log.Contains("Number of blocks[" + std::to_string(c.imageSize / 64) + "]"));
    EXPECT_EQ(log.Contains("Firmware Write Error for mcuIndex 0"), c.failBlock >= 0);
  }
}

TEST_F(FlashDlgTest, ProgressWindowOfAShortImageStartsWithNoSteps) {
  SetItem("KESTRAN_RCDATA", Pattern(10, 3));
  script->processors = {{AXFLASH_MCU_TYPE_M, false, 1}};
  CFlashDlg& dlg = Make(true, true, true);
  ASSERT_EQ(dlg.LoadDevice(), S_OK);
  EXPECT_NE(dlg.FlashOS(0), 0);
  EXPECT_TRUE(Has(surface->History(), "progress window start 0"));
  EXPECT_EQ(surface->Snapshot().progressWindow->Pos(), 0);
}

TEST_F(FlashDlgTest, WholeImageWritersGetTheDialogWithItsModes) {
  script->processors = {{AXFLASH_MCU_TYPE_B, false, 1}, {AXFLASH_MCU_TYPE_P, false, 1}};
  RunToEnd(true);
  EXPECT_EQ(Code(), FLASH_RC_OK);
  const auto calls = script->Calls();
  EXPECT_TRUE(Has(calls, "FirmwareUpgradeWriteB 500 silent"));
  EXPECT_TRUE(Has(calls, "WriteToP 300 silent"));
  // Silent: the controller's own texts and buttons stay untouched until the thread's final texts.
  const auto history = surface->History();
  EXPECT_FALSE(Has(history, "status: " + LoadStringById(IDS_INITIALIZING)));
  EXPECT_TRUE(Has(history, "hide"));
  EXPECT_EQ(surface->Snapshot().statusText, "Upgrade is successful");
  EXPECT_EQ(dialog->EndResult(), IDCLOSE);
}

TEST_F(FlashDlgTest, SecondOnOKStartsNoSecondThread) {
  int started = 0;
  CFlashDlg& dlg = Make();
  dlg.SetThreadStarter([&](std::function<void()> body, std::thread& thread) {
    ++started;
    thread = std::thread(std::move(body));
    return true;
  });
  dlg.OnInitDialog();
  dlg.OnOK();
  dlg.OnOK();
  dlg.WaitForFlashingThread();
  dlg.OnOK();
  EXPECT_EQ(started, 1);
  EXPECT_EQ(script->UpgradersMade(), 2);
  EXPECT_TRUE(log.Contains("OnOK - the flashing thread has already been started"));
}

TEST_F(FlashDlgTest, ThreadThatCannotStart) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "interactive");
    CFlashDlg& dlg = Make(silent);
    dlg.SetThreadStarter([](std::function<void()>, std::thread&) { return false; });
    dlg.OnInitDialog();
    if (!silent) dlg.OnOK();
    EXPECT_EQ(Code(), FLASH_RC_THREAD_FAILED);
    const auto state = surface->Snapshot();
    EXPECT_FALSE(state.upgradeEnabled);
    EXPECT_FALSE(state.closeEnabled);
    // A hidden dialog ends at once; a visible one stays open for Close.
    EXPECT_EQ(dlg.EndResult(), silent ? IDCANCEL : 0);
  }
}

TEST_F(FlashDlgTest, SilentDoModalEndsWhenTheThreadHasFinished) {
  struct Case {
    const char* name;
    std::function<void(CFlashDlg&)> setUp;
    int result;
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"upgraded", [](CFlashDlg&) {}, IDCLOSE, FLASH_RC_OK},
      {"no device", [](CFlashDlg& d) { d.SetUpgraderFactory([] { return nullptr; }); }, IDCANCEL, FLASH_RC_NO_DEVICE},
      {"thread cannot start",
       [](CFlashDlg& d) { d.SetThreadStarter([](std::function<void()>, std::thread&) { return false; }); }, IDCANCEL,
       FLASH_RC_THREAD_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFlashDlg& dlg = Make(true);
    c.setUp(dlg);
    EXPECT_EQ(dlg.DoModal(), c.result);
    EXPECT_EQ(Code(), c.code);
  }
}

TEST_F(FlashDlgTest, DestructionWaitsForTheFlashingThread) {
  script->holdWrite = true;
  CFlashDlg& dlg = Make();
  dlg.OnInitDialog();
  dlg.OnOK();
  script->WaitUntilWriteEntered();
  dlg.OnCancel();
  EXPECT_EQ(dlg.EndResult(), IDCANCEL);
  // The code is the value at the moment the dialog ended.
  EXPECT_EQ(Code(), FLASH_RC_NOT_DONE);
  std::thread releaser([this] {
    while (!log.Contains("CFlashDlg::~CFlashDlg")) std::this_thread::yield();
    script->Release();
  });
  dialog.reset();
  releaser.join();
  EXPECT_TRUE(Has(script->Calls(), "ExitBootloader"));
  EXPECT_TRUE(log.ContainsInOrder(std::vector<std::string>{"CFlashDlg::~CFlashDlg", "CFlashDlg::FlashFirmwareThreadProc - Done",
                                                           "CFlashDlg::~CFlashDlg Done"}));
}

// A request to end while a processor is written (the close box, then the end
// of the session) waits: the processor is finished, the next one not started,
// the device sent back, and only then does the dialog end, with 0x80000007.
// Before the writing the same requests end the dialog at once.
TEST_F(FlashDlgTest, RequestToEndWaitsUntilTheDeviceIsSafe) {
  script->processors = {ScriptedProcessor{AXFLASH_MCU_TYPE_P}, ScriptedProcessor{AXFLASH_MCU_TYPE_B}};
  script->holdWrite = true;
  CEndRequest request;
  CFlashDlg& dlg = Make();
  dlg.SetEndRequest(&request);
  dlg.OnInitDialog();
  dlg.OnOK();
  script->WaitUntilWriteEntered();
  dlg.OnCancel("the close box");
  EXPECT_FALSE(dlg.OnQueryEndSession());
  EXPECT_FALSE(dlg.HasEnded());
  script->Release();
  dlg.WaitForFlashingThread();
  EXPECT_EQ(dlg.EndResult(), IDCANCEL);
  EXPECT_EQ(Code(), FLASH_RC_UPGRADE_FAILED);
  EXPECT_TRUE(dlg.StoppedOnRequest());
  EXPECT_TRUE(request.Stopped());
  const std::vector<std::string> calls = script->Calls();
  EXPECT_LT(IndexOf(calls, "EndFirmwareUpgrade 0"), IndexOf(calls, "ExitBootloader"));
  EXPECT_LT(IndexOf(calls, "ExitBootloader"), IndexOf(calls, "SleepLock released"));
  EXPECT_FALSE(Has(calls, "FirmwareUpgradeWriteB 500")) << "the next processor is not started";
  EXPECT_TRUE(log.ContainsInOrder(std::vector<std::string>{
      "CEndRequest - Request to end [the close box] while writing; the run stops once the device is safe",
      "CEndRequest - Request to end [the end of the session] again while writing; still waiting for the device to "
      "be safe",
      "flashAllOS - Stopped on request before processor 1", "CEndRequest - The device is safe; ending as requested"}));
  EXPECT_EQ(surface->Snapshot().statusColour, kRed);
  EXPECT_TRUE(surface->Snapshot().statusText.starts_with("The upgrade was stopped on request."));

  // Idle, the session may end, but only its end ends the dialog: when the
  // end is called off, the Upgrade button still writes the device.
  script = std::make_shared<UpgraderScript>();
  CEndRequest asked;
  CFlashDlg& idle = Make();
  idle.SetEndRequest(&asked);
  idle.OnInitDialog();
  EXPECT_TRUE(idle.OnQueryEndSession());
  idle.OnEndSession(false);
  EXPECT_FALSE(idle.HasEnded());
  idle.OnOK();
  idle.WaitForFlashingThread();
  EXPECT_EQ(Code(), FLASH_RC_OK);
  EXPECT_EQ(surface->Snapshot().statusText, "Upgrade is successful");
  EXPECT_TRUE(idle.OnQueryEndSession());
  idle.OnEndSession(true);
  EXPECT_EQ(idle.EndResult(), IDCANCEL);

  CEndRequest before;
  CFlashDlg& closed = Make();
  closed.SetEndRequest(&before);
  closed.OnInitDialog();
  closed.OnCancel();
  EXPECT_EQ(closed.EndResult(), IDCANCEL);
  EXPECT_FALSE(before.BeginWriting()) << "a granted end lets no writing begin";
}

TEST_F(FlashDlgTest, RedStatusStaysRed) {
  CFlashDlg& dlg = Make();
  dlg.SetStatusColour(kRed);
  dlg.SetStatusColour(kBlack);
  EXPECT_EQ(surface->Snapshot().statusColour, kRed);
}

}  // namespace
