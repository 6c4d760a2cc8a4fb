#include "ui/qt/FlashWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "app/log/Log.h"
#include "platform/Clock.h"
#include "resources/Catalogs.h"
#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/FlashDlg.h"
#include "ui/qt/DialogWindow.h"
#include "ui/qt/QtSurface.h"
#include "ui/testing/ScriptedDialog.h"
#include "ui/testing/ScriptedUpgrader.h"

// Qt's raster painter splits fills across threads of its own pool and waits
// for them with futex-based semaphores that ThreadSanitizer cannot see (Qt is
// not built for it). Races reported inside Qt Core and Gui are left out; the
// widgets library is not, so a widget touched off the GUI thread still shows.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\nrace:libQt6Gui.so\n";
}

namespace {

// One application object for the whole executable, on the offscreen platform.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    m_app = std::make_unique<QApplication>(m_argc, m_argv);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { m_app.reset(); }

 private:
  int m_argc = 1;
  char m_name[16] = "ui_window_test";
  char* m_argv[2] = {m_name, nullptr};
  std::unique_ptr<QApplication> m_app;
};
[[maybe_unused]] auto* const g_environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QColor Colour(const CColorStatic& status) { return status.palette().color(QPalette::WindowText); }

// Runs the GUI thread's event loop until `done` holds.
template <typename Predicate>
void PumpUntil(Predicate done) {
  while (!done()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

template <typename T>
T* FindTopLevel() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* found = qobject_cast<T*>(widget)) return found;
  return nullptr;
}

class FlashWindowTest : public ::testing::Test {
 public:
  void SetUp() override {
    Clock::SetTimeScale(100);
  }
  void TearDown() override {
    script->Release();
    dialog.reset();
    Clock::SetTimeScale(1);
  }

  CFlashDlg& Make(bool silent = false, bool progress = false) {
    dialog = std::make_unique<CFlashDlg>();
    SetUpScriptedDialog(*dialog, script, items, silent, progress);
    dialog->SetWindowRunner(RunDialogWindow);
    return *dialog;
  }

  // The window and its surface, wired as the desktop run wires them.
  void Open(CFlashDlg& dlg) {
    auto owned = std::make_unique<CQtSurface>();
    surface = owned.get();
    dlg.AttachSurface(std::move(owned));
    window = std::make_unique<CFlashWindow>(dlg);
    surface->Open(window.get());
  }
  void Close() {
    surface->Close();
    window.reset();
  }

  LogCapture log;
  std::shared_ptr<UpgraderScript> script = std::make_shared<UpgraderScript>();
  CStandInItems items;
  std::unique_ptr<CFlashDlg> dialog;
  CQtSurface* surface = nullptr;
  std::unique_ptr<CFlashWindow> window;
};

TEST_F(FlashWindowTest, TemplateState) {
  CFlashDlg& dlg = Make();
  Open(dlg);
  EXPECT_EQ(window->windowTitle(), "Quillon Device Firmware Upgrade");
  EXPECT_EQ(window->Status()->text(), "No device found!");
  EXPECT_EQ(Colour(*window->Status()), QColor(0, 0, 0));
  EXPECT_FALSE(window->UpgradeButton()->isEnabled());
  EXPECT_TRUE(window->UpgradeButton()->isDefault());
  EXPECT_TRUE(window->CloseButton()->isEnabled());
  EXPECT_EQ(window->VersionLine()->text(), "Current Version :");
  // Fixed size, no minimise or maximise box.
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  // Relative layout: buttons to the right of the status text, bar below it, version line above.
  EXPECT_GT(window->UpgradeButton()->x(), window->Status()->geometry().right());
  EXPECT_LT(window->UpgradeButton()->y(), window->CloseButton()->y());
  EXPECT_GT(window->Progress()->y(), window->Status()->y());
  EXPECT_LT(window->VersionLine()->y(), window->Status()->y());
  Close();
}

TEST_F(FlashWindowTest, LoadedState) {
  CFlashDlg& dlg = Make();
  Open(dlg);
  dlg.OnInitDialog();
  EXPECT_EQ(window->windowTitle(), "Aurelix Rho Device Firmware Upgrade");
  EXPECT_EQ(window->Status()->text(), "This program will upgrade the firmware of your Aurelix Rho. Press Upgrade to begin.");
  EXPECT_EQ(Colour(*window->Status()), QColor(0, 0, 0));
  EXPECT_EQ(window->VersionLine()->text(), "Current Version: 1.00");
  EXPECT_TRUE(window->UpgradeButton()->isEnabled());
  EXPECT_TRUE(window->CloseButton()->isEnabled());
  Close();
}

// In every language the buttons show their whole text inside the window, and a
// status text longer than the control's lines pushes the bar and the window's
// bottom down instead of being cut.
TEST_F(FlashWindowTest, EveryLanguageFitsItsTexts) {
  std::vector<std::string_view> languages = {""};
  for (const TextCatalog& catalog : TextCatalogs()) languages.push_back(catalog.language);
  for (const std::string_view language : languages) {
    SCOPED_TRACE(std::string(language));
    SetUiLanguage(language);
    CFlashDlg& dlg = Make();
    Open(dlg);
    dlg.OnInitDialog();
    EXPECT_EQ(window->UpgradeButton()->text().toStdString(), Tr("Upgrade"));
    for (const QPushButton* button : {window->UpgradeButton(), window->CloseButton()}) {
      EXPECT_GE(button->width(), button->sizeHint().width());
      EXPECT_LE(button->geometry().right(), window->width());
      EXPECT_GT(button->x(), window->Status()->geometry().right());
    }
    // The demo device's version list, the longest version line a run shows.
    const QLabel& version = *window->VersionLine();
    surface->SetVersionText(
        FormatText(LoadStringById(IDS_CURRENT_VERSION), {{"version", "L:20160512 A:20151022 B:20140630"}}));
    PumpUntil([&] { return version.text().contains(QStringLiteral("L:20160512")); });
    EXPECT_GE(version.height(), version.heightForWidth(version.width()));
    EXPECT_GT(window->Status()->y(), version.geometry().bottom());
    const QSize before = window->size();
    const QLabel& status = *window->Status();
    EXPECT_GE(status.height(), status.heightForWidth(status.width()));
    std::string longText = LoadStringById(IDS_NOTHING_UPGRADED);
    for (int line = 0; line < 4; ++line) longText += "\n" + LoadStringById(IDS_RELOADING);
    surface->SetStatusText(longText);
    PumpUntil([&] { return status.text().toStdString() == longText; });
    EXPECT_GE(status.height(), status.heightForWidth(status.width()));
    EXPECT_GE(window->Progress()->y(), status.geometry().bottom());
    EXPECT_LE(window->Progress()->geometry().bottom(), window->height());
    EXPECT_GT(window->height(), before.height());
    EXPECT_EQ(window->width(), before.width());
    Close();
  }
  SetUiLanguage("");
}

// Block writes from another thread: each update has reached the widgets before the next block is written.
TEST_F(FlashWindowTest, FlashingState) {
  script->processors = {{AXFLASH_MCU_TYPE_M, false, 1}};
  script->holdWrite = true;
  script->holdBlock = 2;
  CFlashDlg& dlg = Make();
  Open(dlg);
  dlg.OnInitDialog();
  std::atomic<bool> done = false;
  std::thread flashing([&] {
    dlg.FlashOS(0);
    done = true;
  });
  PumpUntil([&] { return script->WriteEntered(); });
  EXPECT_FALSE(window->UpgradeButton()->isEnabled());
  EXPECT_FALSE(window->CloseButton()->isEnabled());
  EXPECT_EQ(window->Status()->text(), "Upgrading in progress, please wait...\n128 of 160 bytes");
  EXPECT_EQ(window->Progress()->minimum(), 0);
  EXPECT_EQ(window->Progress()->maximum(), 3);
  EXPECT_EQ(window->Progress()->value(), 2);
  EXPECT_TRUE(window->isVisible());  // each block repaints and shows the dialog
  script->Release();
  PumpUntil([&] { return done.load(); });
  flashing.join();
  EXPECT_EQ(window->Progress()->value(), 3);
  EXPECT_EQ(window->Status()->text(), "Upgrading in progress, please wait...\n160 of 160 bytes");
  Close();
}

// How a run through the Upgrade button leaves the dialog.
TEST_F(FlashWindowTest, FinishedStates) {
  struct Case {
    const char* name;
    std::function<void(UpgraderScript&)> setUp;
    QString finalText;
    QColor colour;
  };
  const std::vector<Case> cases = {
      {"success", [](UpgraderScript&) {}, "Upgrade is successful", QColor(0, 0, 0)},
      {"nothing upgraded", [](UpgraderScript& s) { s.overallVerdict = 3; },
       QString::fromStdString(LoadStringById(IDS_NOTHING_UPGRADED)), QColor(255, 0, 0)},
      {"failed", [](UpgraderScript& s) { s.writeWholeResult = 0; },
       "Firmware upgrade failed. Please re-connect your device and try again.", QColor(255, 0, 0)},
      {"no bootloader", [](UpgraderScript& s) { s.enterBootloaderResult = 0; },
       "Device failed to go into upgrading mode. Please re-connect your device and try again.", QColor(255, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = std::make_shared<UpgraderScript>();
    c.setUp(*script);
    CFlashDlg& dlg = Make();
    Open(dlg);
    dlg.OnInitDialog();
    window->UpgradeButton()->click();
    PumpUntil([&] { return !dlg.IsFlashingThreadRunning(); });
    dlg.WaitForFlashingThread();
    EXPECT_EQ(window->Status()->text(), c.finalText);
    EXPECT_EQ(Colour(*window->Status()), c.colour);
    EXPECT_EQ(window->Status()->TextColour() == kRed, c.colour == QColor(255, 0, 0));
    EXPECT_FALSE(window->UpgradeButton()->isEnabled());
    EXPECT_TRUE(window->CloseButton()->isEnabled());
    Close();
  }
}

TEST_F(FlashWindowTest, UnknownVersionLineAndHiddenControls) {
  CFlashDlg& dlg = Make();
  Open(dlg);
  dlg.InitFirmwareVersionDisplay(false, true);
  EXPECT_EQ(window->VersionLine()->text(), "Current Version: Unknown.");
  EXPECT_FALSE(window->findChild<QComboBox*>()->isVisibleTo(window.get()));
  dlg.InitFirmwareVersionDisplay(false, false);
  EXPECT_EQ(window->VersionLine()->text(), "");
  Close();
}

// Each way of ending the dialog, also while the flashing thread is blocked in a write.
TEST_F(FlashWindowTest, EndingTheDialog) {
  enum class How { Escape, CloseBox, CloseButton };
  struct Case {
    const char* name;
    How how;
    bool midRun;
  };
  for (const Case& c : {Case{"Escape mid-run", How::Escape, true}, Case{"close box mid-run", How::CloseBox, true},
                        Case{"Close button after loading", How::CloseButton, false},
                        Case{"Escape after loading", How::Escape, false}}) {
    SCOPED_TRACE(c.name);
    script = std::make_shared<UpgraderScript>();
    script->holdWrite = true;
    log.Clear();
    CFlashDlg& dlg = Make();
    bool sent = false;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      CFlashWindow* win = FindTopLevel<CFlashWindow>();
      if (sent || !win || !win->isVisible()) return;
      if (c.midRun && !script->WriteEntered()) {
        if (win->UpgradeButton()->isEnabled()) win->UpgradeButton()->click();
        return;
      }
      sent = true;
      if (c.how == How::Escape) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(win, &escape);
      } else if (c.how == How::CloseBox) {
        win->close();
      } else {
        win->CloseButton()->click();
      }
    });
    poll.start();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    poll.stop();
    EXPECT_TRUE(sent);
    EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_NOT_DONE);
    EXPECT_EQ(FindTopLevel<CFlashWindow>(), nullptr);
    EXPECT_EQ(dlg.FlashingThreadStarted(), c.midRun);
    // The thread goes on after the close; its updates must not block, and the
    // destruction waits for it.
    script->Release();
    dialog.reset();
    EXPECT_EQ(script->UpgradersMade(), c.midRun ? 2 : 1);
    EXPECT_TRUE(log.Contains("CFlashDlg::~CFlashDlg Done"));
    if (c.midRun) {
      EXPECT_TRUE(log.ContainsInOrder(
          std::vector<std::string>{"CFlashDlg::FlashFirmwareThreadProc - Done", "CFlashDlg::~CFlashDlg Done"}));
    }
  }
}

TEST_F(FlashWindowTest, NoDeviceShowsTheMessageWithoutBlockingAndEnds) {
  CFlashDlg& dlg = Make();
  dlg.SetUpgraderFactory([] { return nullptr; });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_NO_DEVICE);
  EXPECT_EQ(FindTopLevel<CFlashWindow>(), nullptr);
}

TEST_F(FlashWindowTest, ProgressModeShowsOnlyTheProgressWindowAndEndsWithTheThread) {
  CFlashDlg& dlg = Make(true, true);
  bool mainShown = false;
  bool progressShownOrMade = false;
  // Whether a progress window still existed when the dialog reported its end;
  // the window itself (its parent) lives on a little longer.
  std::optional<bool> progressAtEnd;
  bool watching = false;
  QTimer poll;
  poll.setInterval(1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (CFlashWindow* win = FindTopLevel<CFlashWindow>()) {
      mainShown = mainShown || win->isVisible();
      progressShownOrMade = progressShownOrMade || win->ProgressWindow() != nullptr;
      if (!watching) {
        watching = true;
        QObject::connect(win, &QDialog::finished, [&progressAtEnd] { progressAtEnd = FindTopLevel<CProg>() != nullptr; });
      }
    }
  });
  // Hold the write until the progress window has been seen.
  script->holdWrite = true;
  QTimer release;
  release.setInterval(1);
  QObject::connect(&release, &QTimer::timeout, [&] {
    if (progressShownOrMade) script->Release();
  });
  poll.start();
  release.start();
  EXPECT_EQ(dlg.DoModal(), IDCLOSE);
  EXPECT_EQ(dlg.m_ReturnCode.load(), FLASH_RC_OK);
  EXPECT_FALSE(mainShown);
  EXPECT_TRUE(progressShownOrMade);
  // The progress window went away when the dialog ended, not only with its parent.
  EXPECT_EQ(progressAtEnd, std::optional<bool>(false));
  EXPECT_EQ(FindTopLevel<CProg>(), nullptr);
}

TEST_F(FlashWindowTest, ProgressWindowPlacementAndSteps) {
  struct Case {
    std::uint16_t steps;
    int stepsTaken;
    int expected;
  };
  for (const Case& c : {Case{0, 1, 0}, Case{3, 2, 2}, Case{3, 3, 3}}) {
    SCOPED_TRACE(c.steps);
    CProg prog(nullptr);
    const QRect before = prog.frameGeometry();
    prog.Start(c.steps);
    EXPECT_FALSE(prog.isVisible());
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(prog.x(), screen.width() / 2 - (before.x() + before.width()) / 2);
    EXPECT_EQ(prog.y(), screen.height() - (before.y() + before.height()) / 2 - 150);
    for (int i = 0; i < c.stepsTaken; ++i) prog.Step();
    EXPECT_TRUE(prog.isVisible());
    EXPECT_EQ(prog.Model().Pos(), c.expected);
    EXPECT_EQ(prog.Bar()->value(), c.expected);
    // Never the busy indicator that an empty range would draw.
    EXPECT_NE(prog.Bar()->minimum(), prog.Bar()->maximum());
  }
}

TEST_F(FlashWindowTest, AboutBox) {
  CFlashDlg& dlg = Make();
  Open(dlg);
  QString title;
  QString text;
  QTimer::singleShot(0, [&] {
    auto* about = FindTopLevel<CAboutDlg>();
    ASSERT_NE(about, nullptr);
    title = about->windowTitle();
    text = about->findChild<QLabel*>("aboutText")->text();
    about->findChild<QPushButton*>("aboutOk")->click();
  });
  window->ShowAbout();
  EXPECT_EQ(title, "About Quillon Device HID Firmware Upgrade");
  EXPECT_EQ(text, "Quillon Device HID Firmware Upgrade Version 2.00");
  Close();
}

TEST_F(FlashWindowTest, SilentWindowCanNeverBeShown) {
  CFlashDlg& dlg = Make(true);
  Open(dlg);
  surface->HideWindow();
  window->show();
  window->RepaintAndShow();
  EXPECT_FALSE(window->isVisible());
  Close();
}

}  // namespace
