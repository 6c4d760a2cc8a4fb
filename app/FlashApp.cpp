#include "app/FlashApp.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/CallerOutput.h"
#include "app/log/Log.h"
#include "app/log/LogFile.h"
#include "app/MyCommandLineInfo.h"
#include "app/RunResult.h"
#include "platform/Clock.h"
#include "platform/HidDevice.h"
#include "platform/ProcessPriority.h"
#include "platform/SleepInhibitor.h"
#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/FlashDlg.h"
#ifdef _WIN32
#include "ui/win32/DialogWindow.h"
#include "ui/win32/MessageBox.h"
#else
#include "platform/LibusbBackend.h"
#include "ui/qt/DialogWindow.h"
#include "ui/qt/Display.h"
#include "ui/qt/DisplayLoss.h"
#include "ui/qt/MessageBox.h"
#endif

std::string g_LogFileName;
std::int32_t g_ReturnCode = 0;

namespace {

// Whether windows can be shown at all, and whether someone sees them. A
// Windows desktop always shows them; on Linux a display must answer.
// Windows tells only a process's top-level windows that the session ends
// (WM_QUERYENDSESSION, WM_ENDSESSION): there a silent run keeps a hidden one,
// so that it can hold the end off while writing. Linux asks no window.
#ifdef _WIN32
bool WindowsCanBeShown() { return true; }
bool WindowsAreSeen() { return true; }
constexpr bool kHiddenWindowForSilentRuns = true;
#else
bool WindowsCanBeShown() { return DetectDisplay() != DisplayKind::None; }
bool WindowsAreSeen() { return DetectDisplay() == DisplayKind::Real; }
constexpr bool kHiddenWindowForSilentRuns = false;
#endif

// The route to real devices, and why: the command line's, or the default.
void ChooseHidRoute(std::optional<HidRoute> chosen) {
#ifdef _WIN32
  if (chosen) LogMessage("CFlashApp::InitInstance - HID route: --hid-backend ignored, Windows has one route (hid.dll)");
  UseSystemHidRoute(HidRoute::Automatic);
#else
  if (!chosen) {
    LogMessage("CFlashApp::InitInstance - HID route: USB where the device's usbfs node can be opened, hidraw otherwise "
               "(the default; --hid-backend=usb|hidraw chooses)");
  } else {
    LogMessage("CFlashApp::InitInstance - HID route: %s only (chosen with --hid-backend)",
               *chosen == HidRoute::Usb ? "USB" : "hidraw");
  }
  UseSystemHidRoute(chosen.value_or(HidRoute::Automatic));
#endif
}

}  // namespace

std::string MakeLogFileName(const LocalTime& time) {
  char name[64];
  std::snprintf(name, sizeof name, "Upgrade-%04d%02d%02d-%02d%02d%02d.log", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return name;
}

void LogDialogResult(int nResponse, std::int32_t returnCode) {
  switch (nResponse) {
    case IDOK:
      LogMessage("OK with Return Code = 0x%x", returnCode);
      break;
    case IDCANCEL:
      LogMessage("Cancel with Return Code = 0x%x", returnCode);
      break;
    case IDABORT:
      LogMessage("Abort with Error Code = 0x%x", returnCode);
      break;
    case IDCLOSE:
      LogMessage("Complete with Return Code = 0x%x", returnCode);
      break;
    default:
      LogMessage("nResponse %d. Complete with Return Code = 0x%x", nResponse, returnCode);
      break;
  }
}

CFlashApp::CFlashApp(CStartOptions options)
    : m_options(std::move(options)), m_startTime(std::chrono::system_clock::now()) {
  g_LogFileName = MakeLogFileName(GetLocalTime());
  // The log goes to the current folder; where that cannot be written (an
  // installer's system folder, a read-only share), to the user's own folder
  // for logs. A run with no place for its log still runs.
  if (FAILED(StartLog(g_LogFileName))) {
    m_logFolder = UserLogDirectory();
    if (m_logFolder.empty() || FAILED(StartLog(m_logFolder + kPathSeparator + g_LogFileName))) m_logFolder.clear();
  }
  LogMessage("Start of Log\n");
}

CFlashApp::~CFlashApp() = default;

bool CFlashApp::InitInstance() {
  LogMessage("CFlashApp::InitInstance");
  if (!m_logFolder.empty())
    LogMessage("CFlashApp::InitInstance - The current folder cannot be written; log in [%s]", m_logFolder);
  if (!UiLanguage().empty())
    LogMessage("CFlashApp::InitInstance - The dialog speaks [%s]", std::string(UiLanguage()).c_str());
  if (const std::string refused = RaiseProcessPriority(); !refused.empty())
    LogMessage("CFlashApp::InitInstance - High priority not granted [%s], going on at normal priority", refused);

  // Tests give each run on a virtual bus a lock of its own, so they neither
  // meet a copy that someone runs on the same machine nor each other. A run
  // that may reach real devices always takes the product's lock.
  const char* lockName = std::getenv(kInstanceLockNameVariable);
  const bool named = lockName != nullptr && *lockName != 0;
  const bool virtualBus = m_options.vhidBus.has_value() || m_options.demo;
  if (named && virtualBus) {
    LogMessage("CFlashApp::InitInstance - Instance lock [%s]", lockName);
    m_instanceLock.emplace(lockName);
  } else {
    if (named)
      LogMessage("CFlashApp::InitInstance - Instance lock [%s] ignored: only runs on a virtual bus may rename the lock",
                 lockName);
    m_instanceLock.emplace(kInstanceLockName);
  }
  if (m_instanceLock->AlreadyRunning()) {
    ShowSystemModalMessage(LoadStringById(IDS_ALREADY_RUNNING));
  } else {
    if (m_instanceLock->GetState() == CInstanceLock::State::Unavailable)
      LogMessage("CFlashApp::InitInstance - Single-instance lock unavailable [%s], going on",
                 m_instanceLock->ErrorText());
    if (ApplyStartOptions()) RunDialog();
    // Only now: the dialog is gone, and with it any flashing thread that still
    // wrote to the device, so a next copy cannot start while this one works.
    m_instanceLock->Release();
  }

  LogMessage("CFlashApp::InitInstance - Done");
  return false;
}

bool CFlashApp::ApplyStartOptions() {
  for (const std::string& option : m_options.longOptions)
    LogMessage("CFlashApp::InitInstance - Option [%s]", option);
  if (m_options.timeScale) Clock::SetTimeScale(*m_options.timeScale);
  if (m_options.vhidBus) UseVhidBackend(*m_options.vhidBus);
  if (!m_options.vhidBus && !m_options.demo) ChooseHidRoute(m_options.hidRoute);
  if (!m_options.demo) return true;

  m_demoDevice = std::make_unique<CDemoDevice>();
  if (!m_demoDevice->Start(m_options.timeScale)) {
    WriteForCaller(stderr, "quillon-upgrade: --demo: " + m_demoDevice->Error() + "\n");
    LogMessage("CFlashApp::InitInstance - Demo device not started: %s", m_demoDevice->Error());
    m_demoDevice.reset();
    g_ReturnCode = FLASH_RC_NO_DEVICE;
    return false;
  }
  LogMessage("CFlashApp::InitInstance - Demo device on bus [%s]", m_demoDevice->BusDirectory());
  UseVhidBackend(m_demoDevice->BusDirectory());
  // On a desktop the demonstration opens the dialog, whose Upgrade button
  // starts the run; without one it upgrades at once and prints what the
  // hidden dialog shows.
  if (!WindowsAreSeen()) {
    m_options.letterArgs.insert(m_options.letterArgs.begin(), "S");
    m_options.transcript = true;
  }
  return true;
}

void CFlashApp::RunDialog() {
  auto dialog = std::make_unique<CFlashDlg>();
  // Option V keeps a pointer into m_options.letterArgs, which outlives the dialog.
  auto commandLine = std::make_unique<CMyCommandLineInfo>();
  commandLine->ParseCommandLine(m_options.letterArgs);
  dialog->SetConsoleTranscript(m_options.transcript);
  dialog->SetSleepInhibitor(InhibitSleepAndShutdown);
  if (m_options.resultJson) dialog->SetRunRecord(&m_runRecord);
  dialog->SetEndRequest(&m_endRequest);
  dialog->SetSessionEndHandler([this](CFlashDlg& ended) { EndWithTheSession(ended); });
  m_silentRun = commandLine->SilentMode;
  dialog->SetMode(commandLine->SilentMode, commandLine->CheckMode, commandLine->ProgressMode,
                  commandLine->lpInputVersion, commandLine->mcuIndex, commandLine->ProductID);

  if (WindowsCanBeShown()) dialog->SetWindowRunner(RunDialogWindow, kHiddenWindowForSilentRuns);
  if (m_dialogSetup) m_dialogSetup(*dialog);

#ifndef _WIN32
  const CDisplayLossHold displayLoss([this, &running = *dialog] { EndWithoutTheDisplay(running); });
#endif
  const int nResponse = dialog->DoModal();
  // A dialog closed while its flashing thread runs ends first, and the thread
  // goes on writing the device: the run's outcome, and with it the exit code
  // and whether the log is kept, is known only once the thread has ended.
  if (dialog->IsFlashingThreadRunning()) {
    LogMessage("CFlashApp::InitInstance - Dialog ended while the upgrade runs; waiting for its outcome");
    dialog->WaitForFlashingThread();
  }
  KeepDialogOutcome(*dialog, nResponse);

  commandLine.reset();
  dialog.reset();  // waits for a flashing thread that still runs
}

#ifndef _WIN32
void CFlashApp::EndWithoutTheDisplay(CFlashDlg& dialog) {
  LogMessage("CFlashApp::InitInstance - The display is gone; the window system ends the program");
  AbandonDialogWindow();
  dialog.OnCancel("the lost display");
  dialog.WaitForFlashingThread();
  EndAfterTheDialog(dialog);
}
#endif

void CFlashApp::EndWithTheSession(CFlashDlg& dialog) {
  LogMessage("CFlashApp::InitInstance - The session ends; the program ends here");
  EndAfterTheDialog(dialog);
}

void CFlashApp::KeepDialogOutcome(const CFlashDlg& dialog, int nResponse) {
  g_ReturnCode = dialog.m_ReturnCode;
  m_stoppedOnRequest = dialog.StoppedOnRequest();
  LogDialogResult(nResponse, g_ReturnCode);
}

void CFlashApp::EndAfterTheDialog(CFlashDlg& dialog) {
  KeepDialogOutcome(dialog, dialog.EndResult());
#ifndef _WIN32
  GiveBackUsbInterfaces();
#endif
  const int exitCode = ProcessExitCode(ExitInstance());
  std::fflush(nullptr);
  // Not exit() nor a return through the dialog: the system may end the
  // process as soon as the window's handler returns (Windows), or the toolkit
  // is about to end it and its objects are unusable without a display (Linux).
  std::_Exit(exitCode);
}

std::int32_t CFlashApp::ExitInstance() {
  if (m_demoDevice) {
    m_demoDevice.reset();
    LogMessage("CFlashApp::ExitInstance - Demo device stopped");
  }
  ReportResult();
  LogMessage("CFlashApp::ExitInstance - Done");
  LogMessage("End of Log\n");
  StopLog();
  if (!IsFailureCode(g_ReturnCode)) DeleteLogFile();
  return g_ReturnCode;
}

void CFlashApp::ReportResult() {
  std::string keptLog;
  if (IsFailureCode(g_ReturnCode) && !LogFilePath().empty()) {
    std::error_code error;
    keptLog = std::filesystem::absolute(LogFilePath(), error).string();
  }
  if (m_options.resultJson && m_runRecord.deviceFound) {
    const RunResult result{m_runRecord, g_ReturnCode, m_startTime, std::chrono::system_clock::now(), keptLog};
    if (const std::optional<std::string> failure = WriteRunResult(*m_options.resultJson, RunResultJson(result))) {
      LogMessage("CFlashApp::ExitInstance - Result not written to [%s]: %s", *m_options.resultJson, *failure);
      WriteForCaller(stderr, "quillon-upgrade: cannot write the result to " + *m_options.resultJson + ": " + *failure +
                                 "\n");
    }
  }
  // Unix tools are quiet when they succeed; a failed unattended run says what
  // happened and where its log is, since no dialog did, and so does a run
  // stopped on request, whose window closed by itself.
  if ((m_silentRun || m_endRequest.Stopped()) && IsFailureCode(g_ReturnCode))
    WriteForCaller(stderr, FailureLine(g_ReturnCode, m_stoppedOnRequest, keptLog) + "\n");
}
