// The Windows dialog run by the controller against a scripted device: this
// thread runs the dialog as the program's GUI thread does, while a second
// thread reads and presses its controls through window messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "app/log/Log.h"
#include "app/log/Utf16Text.h"
#include "platform/Clock.h"
#include "resources/Language.h"
#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/EndRequest.h"
#include "ui/FlashDlg.h"
#include "ui/testing/ScriptedDialog.h"
#include "ui/testing/ScriptedUpgrader.h"
#include "ui/win32/DialogWindow.h"
#include "ui/win32/Resource.h"
#include "ui/win32/testing/DialogProbe.h"

namespace {

constexpr const char* kFailedText = "Firmware upgrade failed. Please re-connect your device and try again.";

class Win32DialogTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(CDialogProbe::WindowsCanBeMade())
        << "No window can be made here: run under an X display (xvfb-run -a) or with Wine's null graphics driver";
    Clock::SetTimeScale(100);
  }
  void TearDown() override {
    script->Release();
    dialog.reset();
    Clock::SetTimeScale(1);
    SetUiLanguage("");
  }

  CFlashDlg& Make(bool silent = false, bool progress = false) {
    dialog = std::make_unique<CFlashDlg>();
    SetUpScriptedDialog(*dialog, script, items, silent, progress);
    dialog->SetWindowRunner(RunDialogWindow);
    return *dialog;
  }

  // Runs the dialog here while `user` acts on it from another thread. Should
  // the dialog outlive `user` by the probe's time-out, the close box ends it.
  int Run(CFlashDlg& dlg, const std::function<void(CDialogProbe&)>& user) {
    CDialogProbe probe;
    std::thread userThread([&] {
      user(probe);
      if (!probe.WaitForDialogGone()) probe.ClickCloseBox();
    });
    const int result = dlg.DoModal();
    userThread.join();
    EXPECT_FALSE(probe.DialogExists());
    shownEver = probe.DialogEverShown();
    return result;
  }

  LogCapture log;
  std::shared_ptr<UpgraderScript> script = std::make_shared<UpgraderScript>();
  CStandInItems items;
  std::unique_ptr<CFlashDlg> dialog;
  bool shownEver = false;
};

// The loaded dialog, the Upgrade button, and the state each end of a run leaves.
TEST_F(Win32DialogTest, RunThroughTheUpgradeButton) {
  struct Case {
    const char* name;
    std::function<void(UpgraderScript&)> setUp;
    std::string finalText;
    Rgb colour;
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"success", [](UpgraderScript&) {}, "Upgrade is successful", kBlack, FLASH_RC_OK},
      {"nothing upgraded", [](UpgraderScript& s) { s.overallVerdict = 3; }, LoadStringById(IDS_NOTHING_UPGRADED),
       kRed, FLASH_RC_NOT_DONE},
      {"failed", [](UpgraderScript& s) { s.writeWholeResult = 0; }, kFailedText, kRed, FLASH_RC_UPGRADE_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = std::make_shared<UpgraderScript>();
    c.setUp(*script);
    CFlashDlg& dlg = Make();
    struct Seen {
      bool shown = false;
      std::string title, loadedText, version, finalText;
      Rgb loadedColour, finalColour;
      bool upgradeLoaded = false, upgradeAfter = true, closeAfter = false;
    } seen;
    const int result = Run(dlg, [&](CDialogProbe& probe) {
      seen.shown = probe.WaitForDialog(true);
      if (!seen.shown) return;
      seen.title = probe.Title();
      seen.loadedText = probe.Text(IDC_STATUS);
      seen.loadedColour = probe.StatusColour();
      seen.version = probe.Text(IDC_VERSION);
      seen.upgradeLoaded = probe.Enabled(IDOK);
      probe.Click(IDOK);
      // Each update has run on the GUI thread before the flashing thread went on.
      dlg.WaitForFlashingThread();
      seen.finalText = probe.Text(IDC_STATUS);
      seen.finalColour = probe.StatusColour();
      seen.upgradeAfter = probe.Enabled(IDOK);
      seen.closeAfter = probe.Enabled(IDCANCEL);
      probe.Click(IDCANCEL);
    });
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dlg.m_ReturnCode.load(), c.code);
    EXPECT_EQ(seen.title, "Aurelix Rho Device Firmware Upgrade");
    EXPECT_EQ(seen.loadedText, "This program will upgrade the firmware of your Aurelix Rho. Press Upgrade to begin.");
    EXPECT_EQ(seen.loadedColour, kBlack);
    EXPECT_EQ(seen.version, "Current Version: 1.00");
    EXPECT_TRUE(seen.upgradeLoaded);
    EXPECT_EQ(seen.finalText, c.finalText);
    EXPECT_EQ(seen.finalColour, c.colour);
    EXPECT_FALSE(seen.upgradeAfter);
    EXPECT_TRUE(seen.closeAfter);
  }
}

// Block writes from another thread: each update is on screen before the next block is written.
TEST_F(Win32DialogTest, BlockWritesReachTheControlsInOrder) {
  script->processors = {{AXFLASH_MCU_TYPE_M, false, 1}};
  std::string textAtBlock2;
  ProgressBarState barAtBlock2;
  ProgressBarState barAtEnd;
  std::string textAtEnd;
  CFlashDlg& dlg = Make();
  CDialogProbe* seenBy = nullptr;
  script->onBlock = [&](int block) {
    if (block != 2) return;
    textAtBlock2 = seenBy->Text(IDC_STATUS);
    barAtBlock2 = seenBy->Progress();
  };
  const int result = Run(dlg, [&](CDialogProbe& probe) {
    if (!probe.WaitForDialog(true)) return;
    seenBy = &probe;
    // This thread stands in for the flashing thread.
    dlg.FlashOS(0);
    barAtEnd = probe.Progress();
    textAtEnd = probe.Text(IDC_STATUS);
    probe.Click(IDCANCEL);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(textAtBlock2, "Upgrading in progress, please wait...\n128 of 160 bytes");
  EXPECT_EQ(barAtBlock2, (ProgressBarState{0, 3, 2}));
  EXPECT_EQ(barAtEnd, (ProgressBarState{0, 3, 3}));
  EXPECT_EQ(textAtEnd, "Upgrading in progress, please wait...\n160 of 160 bytes");
}

// Each way of ending the dialog, also while the flashing thread is blocked in a write.
TEST_F(Win32DialogTest, EndingTheDialog) {
  enum class How { Escape, CloseBox, CloseButton };
  struct Case {
    const char* name;
    How how;
    bool midRun;
  };
  for (const Case& c : {Case{"Escape mid-run", How::Escape, true}, Case{"close box mid-run", How::CloseBox, true},
                        Case{"Close button after loading", How::CloseButton, false}}) {
    SCOPED_TRACE(c.name);
    script = std::make_shared<UpgraderScript>();
    script->holdWrite = true;
    log.Clear();
    CFlashDlg& dlg = Make();
    bool sent = false;
    const int result = Run(dlg, [&](CDialogProbe& probe) {
      if (!probe.WaitForDialog(true)) return;
      if (c.midRun) {
        probe.Click(IDOK);
        script->WaitUntilWriteEntered();
      }
      sent = true;
      if (c.how == How::Escape) probe.PressEscape();
      if (c.how == How::CloseBox) probe.ClickCloseBox();
      if (c.how == How::CloseButton) probe.Click(IDCANCEL);
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_NOT_DONE);
    EXPECT_EQ(dlg.FlashingThreadStarted(), c.midRun);
    // The thread goes on after the close; its updates must not block, and the
    // destruction waits for it.
    script->Release();
    dialog.reset();
    EXPECT_EQ(script->UpgradersMade(), c.midRun ? 2 : 1);
    EXPECT_TRUE(log.Contains("CFlashDlg::~CFlashDlg Done"));
  }
}

// While a processor is written, Escape, the close box and the end of the
// session are requests to end that wait: the session's end is refused with
// the reason Windows shows, and the run ends the dialog once the device is
// safe, without starting the next processor. After the writing the reason is
// gone and the session may end.
TEST_F(Win32DialogTest, RequestsToEndWaitWhileWriting) {
  script->processors = {ScriptedProcessor{AXFLASH_MCU_TYPE_P}, ScriptedProcessor{AXFLASH_MCU_TYPE_B}};
  script->holdWrite = true;
  CEndRequest request;
  CFlashDlg& dlg = Make();
  dlg.SetEndRequest(&request);
  std::optional<std::string> reasonWhileWriting;
  bool mayEndWhileWriting = true;
  bool openAfterRequests = false;
  const int result = Run(dlg, [&](CDialogProbe& probe) {
    if (!probe.WaitForDialog(true)) return;
    probe.Click(IDOK);
    script->WaitUntilWriteEntered();
    reasonWhileWriting = probe.ShutdownBlockReason();
    probe.PressEscape();
    probe.ClickCloseBox();
    const auto deadline = std::chrono::steady_clock::now() + CDialogProbe::kTimeout;
    while (!log.Contains("CEndRequest - Request to end [the close box] again while writing; still waiting for the "
                         "device to be safe") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    mayEndWhileWriting = probe.SessionMayEnd();
    openAfterRequests = probe.DialogExists();
    script->Release();
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_UPGRADE_FAILED);
  EXPECT_TRUE(dlg.StoppedOnRequest());
  EXPECT_TRUE(openAfterRequests);
  EXPECT_FALSE(mayEndWhileWriting);
  EXPECT_TRUE(log.ContainsInOrder(std::vector<std::string>{
      "CEndRequest - Request to end [Close or Escape] while writing; the run stops once the device is safe",
      "CEndRequest - Request to end [the end of the session] again while writing; still waiting for the device to "
      "be safe",
      "flashAllOS - Stopped on request before processor 1"}));
  const std::vector<std::string> calls = script->Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("ExitBootloader")), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FirmwareUpgradeWriteB 160")), 0)
      << "the next processor is not started";
  // Wine takes the reason but cannot show it: there only Windows checks it.
  if (reasonWhileWriting) {
    EXPECT_EQ(*reasonWhileWriting, "Writing new firmware to Aurelix Rho");
  }

  // A whole run with no request: afterwards nothing holds up the session.
  script = std::make_shared<UpgraderScript>();
  CEndRequest quiet;
  CFlashDlg& again = Make();
  again.SetEndRequest(&quiet);
  std::optional<std::string> reasonAfter;
  bool mayEndAfter = false;
  Run(again, [&](CDialogProbe& probe) {
    if (!probe.WaitForDialog(true)) return;
    probe.Click(IDOK);
    const auto deadline = std::chrono::steady_clock::now() + CDialogProbe::kTimeout;
    while (probe.Text(IDC_STATUS) != "Upgrade is successful" && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    reasonAfter = probe.ShutdownBlockReason();
    mayEndAfter = probe.SessionMayEnd();
    probe.Click(IDCANCEL);
  });
  if (reasonAfter) {
    EXPECT_EQ(*reasonAfter, "");
  }
  EXPECT_TRUE(mayEndAfter);
}

// Asked at the loaded dialog, the session may end, but only its end ends the
// dialog: called off, Upgrade still writes the device. An end that comes
// while writing (forced, after the refusal) is held by the window until the
// device is back in its application, since Windows may end the process as
// soon as the window has handled it.
TEST_F(Win32DialogTest, OnlyTheSessionsEndEndsTheDialogAndItWaitsForTheDevice) {
  script->processors = {ScriptedProcessor{AXFLASH_MCU_TYPE_P}, ScriptedProcessor{AXFLASH_MCU_TYPE_B}};
  script->holdWrite = true;
  CEndRequest request;
  CFlashDlg& dlg = Make();
  dlg.SetEndRequest(&request);
  bool mayEndIdle = false;
  bool openAfterCalledOff = false;
  std::vector<std::string> callsAtTheEnd;
  bool endedWithTheSession = false;
  const int result = Run(dlg, [&](CDialogProbe& probe) {
    if (!probe.WaitForDialog(true)) return;
    mayEndIdle = probe.SessionMayEnd();
    probe.EndSession(false);
    openAfterCalledOff = probe.DialogExists();
    probe.Click(IDOK);
    const auto writing = std::chrono::steady_clock::now() + CDialogProbe::kTimeout;
    while (!script->WriteEntered() && std::chrono::steady_clock::now() < writing)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!script->WriteEntered()) return;
    std::thread device([&] {
      const auto deadline = std::chrono::steady_clock::now() + CDialogProbe::kTimeout;
      while (!log.Contains("CEndRequest - Request to end [the end of the session] while writing; the run stops once "
                           "the device is safe") &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      script->Release();
    });
    probe.EndSession(true);
    callsAtTheEnd = script->Calls();
    endedWithTheSession = probe.WaitForDialogGone();
    device.join();
  });
  EXPECT_TRUE(endedWithTheSession);
  EXPECT_TRUE(mayEndIdle);
  EXPECT_TRUE(openAfterCalledOff);
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_UPGRADE_FAILED);
  EXPECT_TRUE(dlg.StoppedOnRequest());
  EXPECT_TRUE(log.ContainsInOrder(std::vector<std::string>{
      "CEndRequest - Asked whether the program may end [the end of the session]; it may, and goes on until it is ended",
      "CFlashDlg::OnEndSession - The end of the session was called off", "Thread creation OK",
      "flashAllOS - Stopped on request before processor 1"}));
  EXPECT_EQ(std::count(callsAtTheEnd.begin(), callsAtTheEnd.end(), std::string("ExitBootloader")), 1)
      << "the session's end was let go before the device was safe";
}

TEST_F(Win32DialogTest, ProgressModeShowsOnlyTheProgressWindowAndEndsWithTheThread) {
  script->holdWrite = true;
  CFlashDlg& dlg = Make(true, true);
  bool progressMade = false;
  bool progressOwned = false;
  bool progressVisible = true;
  ProgressBarState progressBar;
  const int result = Run(dlg, [&](CDialogProbe& probe) {
    script->WaitUntilWriteEntered();
    progressMade = probe.ProgressWindowExists();
    progressOwned = probe.ProgressWindowOwnedByDialog();
    // The whole-image writer starts the window but never steps it.
    progressVisible = probe.ProgressWindowVisible();
    progressBar = probe.ProgressWindowBar();
    script->Release();
  });
  EXPECT_EQ(result, IDCLOSE);
  EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_OK);
  EXPECT_FALSE(shownEver);
  EXPECT_TRUE(progressMade);
  EXPECT_TRUE(progressOwned);
  EXPECT_FALSE(progressVisible);
  EXPECT_EQ(progressBar, (ProgressBarState{0, 100, 0}));
}

// The about box in English and in a language whose OK reads otherwise.
TEST_F(Win32DialogTest, AboutBoxFromTheSystemMenu) {
  for (const char* language : {"", "es"}) {
    SCOPED_TRACE(language);
    SetUiLanguage(language);
    CFlashDlg& dlg = Make();
    const std::string aboutTitle = AboutBoxCaption();
    std::string entry;
    bool opened = false;
    bool closed = false;
    std::vector<std::string> texts;
    const int result = Run(dlg, [&](CDialogProbe& probe) {
      if (!probe.WaitForDialog(true)) return;
      entry = probe.SystemMenuEntry(IDM_ABOUTBOX);
      probe.SystemCommand(IDM_ABOUTBOX);
      opened = probe.WaitForWindow(aboutTitle);
      if (!opened) return;
      texts = probe.TextsOf(aboutTitle);
      probe.PressOk(aboutTitle);
      closed = probe.WaitForWindow(aboutTitle, false);
      probe.Click(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(entry, LoadStringById(IDS_ABOUTBOX));
    EXPECT_TRUE(opened) << aboutTitle;
    EXPECT_TRUE(closed);
    EXPECT_NE(std::find(texts.begin(), texts.end(), AboutBoxText()), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), Tr("OK")), texts.end());
  }
}

// The template's texts in the chosen language, with room for them: buttons as
// wide as the longer text needs, a status text as tall as its lines, the bar
// and the window's bottom moved below it. In English, the template's geometry.
TEST_F(Win32DialogTest, TemplateTextsInTheChosenLanguageAreNotCut) {
  struct Case {
    const char* language;
    std::u16string productName;
    const char* upgrade;
    const char* close;
  };
  const std::u16string longName =
      u"Aurelix Rho Studio Reference Interface with Bluetooth Receiver, Wireless Remote and Docking Station";
  for (const Case& c : {Case{"", u"Aurelix Rho", "Upgrade", "Close"},
                        Case{"de", longName, "Aktualisieren", "Schließen"},
                        Case{"fr", longName, "Mettre à jour", "Fermer"}}) {
    SCOPED_TRACE(c.language);
    SetUiLanguage(c.language);
    script = std::make_shared<UpgraderScript>();
    script->productName = c.productName;
    CFlashDlg& dlg = Make();
    struct Seen {
      std::string upgrade, close, versionLabel, title, status;
      PixelBox client, upgradeBox, closeBox, statusBox, progressBox;
      PixelBox templateClient, templateUpgrade, templateClose, templateStatus, templateProgress;
      TextSize upgradeText, closeText, statusText;
    } seen;
    Run(dlg, [&](CDialogProbe& probe) {
      if (!probe.WaitForDialog(true)) return;
      seen.upgrade = probe.Text(IDOK);
      seen.close = probe.Text(IDCANCEL);
      seen.versionLabel = probe.Text(IDC_VERSION_HIDDEN);
      seen.title = probe.Title();
      seen.status = probe.Text(IDC_STATUS);
      seen.client = probe.Place(0);
      seen.upgradeBox = probe.Place(IDOK);
      seen.closeBox = probe.Place(IDCANCEL);
      seen.statusBox = probe.Place(IDC_STATUS);
      seen.progressBox = probe.Place(IDC_PROGRESS);
      seen.templateClient = probe.FromDialogUnits(0, 0, 281, 74);
      seen.templateUpgrade = probe.FromDialogUnits(224, 5, 50, 14);
      seen.templateClose = probe.FromDialogUnits(224, 25, 50, 14);
      seen.templateStatus = probe.FromDialogUnits(9, 23, 209, 29);
      seen.templateProgress = probe.FromDialogUnits(7, 56, 208, 11);
      seen.upgradeText = probe.MeasureText(IDOK);
      seen.closeText = probe.MeasureText(IDCANCEL);
      seen.statusText = probe.MeasureText(IDC_STATUS);
      probe.Click(IDCANCEL);
    });
    const std::string product = Utf16ToUtf8(c.productName.c_str());
    EXPECT_EQ(seen.upgrade, c.upgrade);
    EXPECT_EQ(seen.close, c.close);
    EXPECT_EQ(seen.versionLabel, Tr("Current Version :"));
    EXPECT_EQ(seen.title, WindowTitle(product));
    EXPECT_EQ(seen.status, FormatText(LoadStringById(IDS_WILL_UPGRADE), {{"product", product}}));
    if (*c.language == '\0') {
      EXPECT_EQ(seen.client, seen.templateClient);
      EXPECT_EQ(seen.upgradeBox, seen.templateUpgrade);
      EXPECT_EQ(seen.closeBox, seen.templateClose);
      EXPECT_EQ(seen.statusBox, seen.templateStatus);
      EXPECT_EQ(seen.progressBox, seen.templateProgress);
      continue;
    }
    EXPECT_GE(seen.upgradeBox.Width(), std::max(seen.upgradeText.width, seen.templateUpgrade.Width()));
    EXPECT_GE(seen.closeBox.Width(), seen.closeText.width);
    EXPECT_EQ(seen.upgradeBox.Width(), seen.closeBox.Width());
    EXPECT_EQ(seen.client.right - seen.upgradeBox.right, seen.templateClient.right - seen.templateUpgrade.right);
    ASSERT_GT(seen.statusText.height, seen.templateStatus.Height()) << "the case is meant to need more lines";
    EXPECT_GE(seen.statusBox.Height(), seen.statusText.height);
    EXPECT_EQ(seen.progressBox.top - seen.statusBox.bottom, seen.templateProgress.top - seen.templateStatus.bottom);
    EXPECT_EQ(seen.client.bottom - seen.progressBox.bottom, seen.templateClient.bottom - seen.templateProgress.bottom);
  }
}

// The dialog speaks the UI language Windows reports for the user. The Windows
// stage runs this once more under a Japanese UI language and says so in
// QUILLON_EXPECTED_LANGUAGE; otherwise the user's language, English included.
TEST_F(Win32DialogTest, StatusTextReadsInTheUsersUiLanguage) {
  const std::string language = UserLanguage();
  if (const char* expected = std::getenv("QUILLON_EXPECTED_LANGUAGE")) {
    ASSERT_EQ(language, expected);
  }
  SetUiLanguage(language);
  CFlashDlg& dlg = Make();
  std::string loaded;
  Run(dlg, [&](CDialogProbe& probe) {
    if (!probe.WaitForDialog(true)) return;
    loaded = probe.Text(IDC_STATUS);
    probe.Click(IDCANCEL);
  });
  EXPECT_EQ(loaded, FormatText(LoadStringById(IDS_WILL_UPGRADE), {{"product", "Aurelix Rho"}}));
  if (language == "ja") {
    EXPECT_EQ(loaded, "このプログラムは Aurelix Rho のファームウェアをアップグレードします。[アップグレード] をクリックすると開始します。");
  }
}

TEST_F(Win32DialogTest, NoDeviceShowsTheSystemModalMessageAndEnds) {
  CFlashDlg& dlg = Make();
  dlg.SetUpgraderFactory([] { return nullptr; });
  bool shown = false;
  bool topMost = false;
  std::vector<std::string> texts;
  const int result = Run(dlg, [&](CDialogProbe& probe) {
    shown = probe.WaitForWindow("Error");
    if (!shown) return;
    texts = probe.TextsOf("Error");
    topMost = probe.IsTopMost("Error");
    probe.PressOk("Error");
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_NO_DEVICE);
  EXPECT_TRUE(shown);
  EXPECT_TRUE(topMost);
  EXPECT_NE(std::find(texts.begin(), texts.end(), LoadStringById(IDS_NOT_CONNECTED)), texts.end());
  EXPECT_FALSE(shownEver);
}

}  // namespace
