#pragma once
// CFlashApp: the process from start to exit. Constructing it names and starts
// the log; InitInstance takes the single-instance lock, reads the command
// line, runs the main dialog and keeps its result code; ExitInstance stops the
// log, keeps the file only for a failed run, and returns the exit code.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/DemoDevice.h"
#include "app/ExitCode.h"
#include "app/StartOptions.h"
#include "app/log/LocalTime.h"
#include "platform/InstanceLock.h"
#include "ui/EndRequest.h"
#include "ui/RunRecord.h"

// The log file name made at process start (no directory: the current one).
extern std::string g_LogFileName;
// The value that becomes the process exit code; bit 31 set means failure.
extern std::int32_t g_ReturnCode;

// Environment variable that names another single-instance lock than the
// product's; for tests that run the program beside a copy someone else runs.
inline constexpr char kInstanceLockNameVariable[] = "QUILLON_INSTANCE_LOCK_NAME";

// "Upgrade-YYYYMMDD-HHMMSS.log" for `time`.
std::string MakeLogFileName(const LocalTime& time);

// Logs the line that reports how the dialog ended (`nResponse`) and the run's code.
void LogDialogResult(int nResponse, std::int32_t returnCode);

class CFlashDlg;

class CFlashApp {
 public:
  explicit CFlashApp(CStartOptions options);
  ~CFlashApp();
  CFlashApp(const CFlashApp&) = delete;
  CFlashApp& operator=(const CFlashApp&) = delete;

  // Always returns false: the program has no message loop of its own after the dialog.
  bool InitInstance();
  // Returns g_ReturnCode.
  std::int32_t ExitInstance();

  // Test seam: called with the dialog once the start-up has set it up, just
  // before it runs (tests give it a scripted upgrader and window runner).
  void SetDialogSetup(std::function<void(CFlashDlg&)> setup) { m_dialogSetup = std::move(setup); }

  // Where the system's requests to end the program go (app/EndSignals).
  CEndRequest& EndRequest() { return m_endRequest; }

 private:
  bool ApplyStartOptions();
  void RunDialog();
#ifndef _WIN32
  // The display went away under the dialog, and the toolkit is about to end
  // the process: the run is asked to end as by any other request, waited for
  // until the device is safe, and the process ends with its outcome and log.
  [[noreturn]] void EndWithoutTheDisplay(CFlashDlg& dialog);
#endif
  // The session ends under the program, the dialog has ended and nothing
  // writes the device: the run's end is done here and the process ends.
  [[noreturn]] void EndWithTheSession(CFlashDlg& dialog);
  // The end of the run after the dialog and its flashing thread have ended,
  // done where the process cannot go back to the start-up: the exit code, the
  // device's interfaces given back, the log kept or deleted; then the process ends.
  [[noreturn]] void EndAfterTheDialog(CFlashDlg& dialog);
  // The ended dialog's code and whether it was stopped on request, logged with `nResponse`.
  void KeepDialogOutcome(const CFlashDlg& dialog, int nResponse);
  // The end of the run for scripts: the JSON result and a failed silent run's line on standard error.
  void ReportResult();

  CStartOptions m_options;
  std::optional<CInstanceLock> m_instanceLock;
  std::unique_ptr<CDemoDevice> m_demoDevice;
  bool m_silentRun = false;
  std::chrono::system_clock::time_point m_startTime;
  RunRecord m_runRecord;
  CEndRequest m_endRequest;
  // The user's folder for logs when the log went there; empty when it is in the current folder.
  std::string m_logFolder;
  bool m_stoppedOnRequest = false;
  std::function<void(CFlashDlg&)> m_dialogSetup;
};
