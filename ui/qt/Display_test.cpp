#include "ui/qt/Display.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/log/Log.h"
#include "ui/FlashDlg.h"
#include "ui/qt/DisplayLoss.h"
#include "ui/qt/MessageBox.h"
#include "ui/testing/ScriptedUpgrader.h"

namespace {

// Sets the window-system variables for one test and restores them afterwards.
class EnvironmentScope {
 public:
  EnvironmentScope() {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  ~EnvironmentScope() {
    for (const auto& [name, value] : m_saved) {
      if (value)
        setenv(name, value->c_str(), 1);
      else
        unsetenv(name);
    }
  }
  void Set(const char* name, const char* value) { setenv(name, value, 1); }

 private:
  static constexpr const char* kNames[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"};
  std::vector<std::pair<const char*, std::optional<std::string>>> m_saved;
};

TEST(DisplayTest, Detection) {
  struct Case {
    const char* name;
    const char* platform;
    const char* display;
    const char* wayland;
    DisplayKind expected;
  };
  const Case cases[] = {
      {"nothing set", nullptr, nullptr, nullptr, DisplayKind::None},
      {"offscreen platform", "offscreen", nullptr, nullptr, DisplayKind::Offscreen},
      {"minimal platform", "minimal", ":0", nullptr, DisplayKind::Offscreen},
      {"X display that nobody serves", nullptr, ":97", nullptr, DisplayKind::None},
      {"xcb chosen, no X server", "xcb", ":97", nullptr, DisplayKind::None},
      {"Wayland socket that is not there", nullptr, nullptr, "/nonexistent/wayland-9", DisplayKind::None},
      {"another platform chosen on purpose", "vnc", nullptr, nullptr, DisplayKind::Real},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EnvironmentScope environment;
    if (c.platform) environment.Set("QT_QPA_PLATFORM", c.platform);
    if (c.display) environment.Set("DISPLAY", c.display);
    if (c.wayland) environment.Set("WAYLAND_DISPLAY", c.wayland);
    EXPECT_EQ(ProbeDisplay(), c.expected);
  }
}

TEST(DisplayTest, MessageBoxWithoutADisplayNeverWaits) {
  for (const char* platform : {"", "offscreen"}) {
    EnvironmentScope environment;
    if (*platform) environment.Set("QT_QPA_PLATFORM", platform);
    testing::internal::CaptureStderr();
    ShowSystemModalMessage("Another instance of this program is already running.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Another instance of this program is already running.\n");
  }
}

// An interactive run with no display cannot be clicked: it tells why and ends at once.
TEST(DisplayTest, InteractiveRunWithoutADisplay) {
  for (const bool device : {true, false}) {
    SCOPED_TRACE(device ? "device" : "no device");
    EnvironmentScope environment;
    LogCapture log;
    auto script = std::make_shared<UpgraderScript>();
    CFlashDlg dialog;
    dialog.SetMode(false, true, false, nullptr, 0, 0x0c01);
    dialog.SetUpgraderFactory([script, device]() -> std::unique_ptr<CFirmwareUpgrade> {
      if (!device) return nullptr;
      return std::make_unique<CScriptedUpgrader>(script);
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(dialog.m_ReturnCode.load(), device ? FLASH_RC_NOT_DONE : FLASH_RC_NO_DEVICE);
    EXPECT_NE(printed.find(device ? "No display" : "Your device is not connected"), std::string::npos);
    EXPECT_FALSE(dialog.FlashingThreadStarted());
  }
}

// The messages with which Qt announces that it ends the process for a lost
// display reach the hold (which ends the process itself); other messages, or
// the same ones once the hold is gone, do not.
TEST(DisplayLossTest, TheToolkitsLastWordsReachTheHold) {
  // Other tests here leave Qt's threads behind; the child starts afresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto hold = [] {
    std::fflush(stderr);
    std::_Exit(42);
  };
  EXPECT_EXIT(
      {
        const CDisplayLossHold held(hold);
        qWarning("The X11 connection broke (error 1). Did the X11 server die?");
      },
      testing::ExitedWithCode(42), "The X11 connection broke");
  EXPECT_EXIT(
      {
        const CDisplayLossHold held(hold);
        qFatal("The Wayland connection broke. Did the Wayland compositor die?");
      },
      testing::ExitedWithCode(42), "The Wayland connection broke");
  EXPECT_EXIT(
      {
        { const CDisplayLossHold held(hold); }
        qWarning("The X11 connection broke (error 1). Did the X11 server die?");
        const CDisplayLossHold held(hold);
        qWarning("QStandardPaths: XDG_RUNTIME_DIR not set");
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "XDG_RUNTIME_DIR not set");
}

}  // namespace
