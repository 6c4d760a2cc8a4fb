#include "app/FlashApp.h"

#include <gtest/gtest.h>

#include "app/log/Log.h"
#include "ui/FlashDlg.h"

namespace {

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

}  // namespace
