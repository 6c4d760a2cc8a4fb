#include "app/FlashApp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "app/EndSignals.h"
#include "app/log/Log.h"
#include "platform/InstanceLock.h"
#include "platform/testing/TempDirectory.h"
#include "ui/FlashDlg.h"
#include "ui/testing/ScriptedUpgrader.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Sets an environment variable of this process; an empty value removes it.
void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty())
    ::unsetenv(name);
  else
    ::setenv(name, value.c_str(), 1);
#endif
}

TEST(FlashApp, DialogResultIsLoggedWithTheFullCode) {
  struct {
    int nResponse;
    std::int32_t code;
    const char* line;
  } const cases[] = {
      {IDOK, FLASH_RC_OK, "OK with Return Code = 0x0"},
      {IDCANCEL, FLASH_RC_NO_DEVICE, "Cancel with Return Code = 0x80000001"},
      {IDABORT, FLASH_RC_UPGRADE_FAILED, "Abort with Error Code = 0x80000007"},
      {IDCLOSE, FLASH_RC_NOT_DONE, "Complete with Return Code = 0x4"},
      {0, FLASH_RC_THREAD_FAILED, "nResponse 0. Complete with Return Code = 0x80000006"},
      {-1, FLASH_RC_NOT_DONE, "nResponse -1. Complete with Return Code = 0x4"},
  };
  for (const auto& c : cases) {
    LogCapture capture;
    LogDialogResult(c.nResponse, c.code);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{c.line});
  }
}

TEST(FlashApp, PosixParentSeesTheLowEightBits) {
  EXPECT_EQ(PosixExitStatus(FLASH_RC_OK), 0);
  EXPECT_EQ(PosixExitStatus(FLASH_RC_NOT_DONE), 4);
  EXPECT_EQ(PosixExitStatus(FLASH_RC_NO_DEVICE), 1);
  EXPECT_EQ(PosixExitStatus(FLASH_RC_THREAD_FAILED), 6);
  EXPECT_EQ(PosixExitStatus(FLASH_RC_UPGRADE_FAILED), 7);
#ifdef _WIN32
  EXPECT_EQ(static_cast<std::uint32_t>(ProcessExitCode(FLASH_RC_UPGRADE_FAILED)), 0x80000007u);
#else
  EXPECT_EQ(ProcessExitCode(FLASH_RC_UPGRADE_FAILED), 7);
#endif
}

TEST(FlashApp, LogFileNameCarriesTheLocalTime) {
  LocalTime t;
  t.year = 2026;
  t.month = 7;
  t.day = 3;
  t.hour = 9;
  t.minute = 5;
  t.second = 1;
  t.millisecond = 999;
  EXPECT_EQ(MakeLogFileName(t), "Upgrade-20260703-090501.log");
}

// A dialog closed while its flashing thread still writes: the lock stays held
// until the thread has ended, so a second copy cannot start on the device, and
// the exit code is the thread's outcome, not the state at the close.
TEST(FlashApp, LockIsHeldUntilTheFlashingThreadHasEnded) {
  const CTempDirectory directory("quillon-app-lock");
  ASSERT_TRUE(directory.Valid());
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(directory.Path());  // the run's log goes there
  const std::string lockName = "quillon-test-app-lock-" + std::to_string(std::random_device()());
  SetEnvironment(kInstanceLockNameVariable, lockName);

  auto script = std::make_shared<UpgraderScript>();
  script->holdWrite = true;
  CStartOptions options;
  options.vhidBus = directory.Path().string();
  LogCapture log;
  std::int32_t exitCode = -1;
  std::thread run([&] {
    CFlashApp app(options);
    app.SetDialogSetup([script](CFlashDlg& dialog) {
      dialog.SetUpgraderFactory([script] { return std::make_unique<CScriptedUpgrader>(script); });
      dialog.SetWindowRunner([script](CFlashDlg& shown) {
        shown.OnInitDialog();
        shown.OnOK();
        script->WaitUntilWriteEntered();
        // Ended from outside (a window system whose display went away), not
        // by a request to end, which would wait for the write.
        shown.EndDialog(IDCANCEL);
        return shown.EndResult();
      });
    });
    app.InitInstance();
    exitCode = app.ExitInstance();
  });

  // The dialog has ended; the application waits for the held write.
  const std::string waiting = "CFlashApp::InitInstance - Dialog ended while the upgrade runs; waiting for its outcome";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!log.Contains(waiting) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(log.Contains(waiting));
  EXPECT_EQ(CInstanceLock(lockName).GetState(), CInstanceLock::State::AlreadyRunning);
  script->Release();
  run.join();
  EXPECT_EQ(CInstanceLock(lockName).GetState(), CInstanceLock::State::Held);
  // The exit code tells what the thread did after the close: it wrote the device.
  EXPECT_TRUE(log.Contains("Cancel with Return Code = 0x0"));
  EXPECT_EQ(exitCode, FLASH_RC_OK);

  SetEnvironment(kInstanceLockNameVariable, "");
  std::filesystem::current_path(previous);
}

#ifdef _WIN32
// The console's Ctrl+C and Ctrl+Break while writing: noted and logged by the
// control handler, the process goes on (the run stops once the device is safe).
TEST(FlashApp, ConsoleEventsWhileWritingAreNotedAndWait) {
  CEndRequest request;
  ASSERT_TRUE(request.BeginWriting());
  const CEndSignals signals(request);
  LogCapture log;
  struct {
    DWORD event;
    const char* line;
  } const cases[] = {
      {CTRL_C_EVENT, "CEndRequest - Request to end [Ctrl+C] while writing; the run stops once the device is safe"},
      {CTRL_BREAK_EVENT,
       "CEndRequest - Request to end [Ctrl+Break] again while writing; still waiting for the device to be safe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    if (!GenerateConsoleCtrlEvent(c.event, 0)) GTEST_SKIP() << "this process has no console to send events to";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!log.Contains(c.line) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(log.Contains(c.line));
  }
  EXPECT_TRUE(request.Pending());
  request.EndWriting();
  EXPECT_TRUE(request.Stopped());
}
#endif

}  // namespace
