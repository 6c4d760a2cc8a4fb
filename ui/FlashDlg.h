#pragma once
// CFlashDlg: the main dialog and the controller of one upgrade run. It loads
// the device, shows its name and versions, runs the flashing thread that walks
// the processors, and keeps the run's result code. It reaches the screen only
// through a CDialogSurface (headless or Qt); the writers' progress reaches it
// through a CDialogProgress over the dialog itself.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/ProgressSurface.h"
#include "platform/SleepInhibitor.h"
#include "app/log/Status.h"
#include "ui/RunRecord.h"
#include "ui/RunRecorder.h"
#include "upgrader/ImagePreparation.h"

class CFirmwareUpgrade;
class CDialogSurface;
class CConsoleTranscript;
class CEndRequest;
class CWriteProgress;

// Dialog results, with the values Windows gives them; where <windows.h> came
// first, its macros of the same names and values stand in.
#ifndef IDOK
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDCLOSE = 8;
#endif

// Result codes of a run; bit 31 set means failure.
inline constexpr std::int32_t FLASH_RC_OK = 0;
inline constexpr std::int32_t FLASH_RC_NOT_DONE = 4;
inline constexpr std::int32_t FLASH_RC_NO_DEVICE = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t FLASH_RC_THREAD_FAILED = static_cast<std::int32_t>(0x80000006u);
inline constexpr std::int32_t FLASH_RC_UPGRADE_FAILED = static_cast<std::int32_t>(0x80000007u);

class CFlashDlg : public CProgressSurface {
 public:
  using UpgraderFactory = std::function<std::unique_ptr<CFirmwareUpgrade>()>;
  // Starts `body` on a new thread stored in `thread`; false when no thread could be made.
  using ThreadStarter = std::function<bool(std::function<void()> body, std::thread& thread)>;
  // Finds an embedded item by name (default: the images this program carries).
  using ImageLookup = EmbeddedItemLookup;
  // Shows the dialog in the window system's windows and runs it until it ends;
  // the start-up sets one when a display can show windows.
  using WindowRunner = std::function<int(CFlashDlg& dialog)>;

  CFlashDlg();
  // Waits for a still running flashing thread before anything it uses goes away.
  ~CFlashDlg() override;
  CFlashDlg(const CFlashDlg&) = delete;
  CFlashDlg& operator=(const CFlashDlg&) = delete;

  void SetMode(bool silentMode, bool checkMode, bool progressMode, const char* inputVersion, std::int16_t mcuIndex,
               std::uint16_t productId);
  // Runs the dialog until it ends; returns the dialog result (IDOK, IDCANCEL, ...).
  // A silent run ends with IDCLOSE once its flashing thread has finished.
  // Windows are shown only through the window runner; without one the dialog
  // runs headless.
  int DoModal();

  // The controller's steps; public so that the window layer and tests drive them.
  void AttachSurface(std::unique_ptr<CDialogSurface> surface);
  CDialogSurface* Surface() const { return m_surface.get(); }
  bool OnInitDialog();
  HRESULT LoadDevice();
  void InitFirmwareVersionDisplay(bool known, bool show);
  void OnOK();
  // Close, Escape or the window's close box (`what`, for the log): ends the
  // dialog with Cancel, except while a processor is written: then the request
  // waits and the run ends the dialog once the device is safe.
  void OnCancel(const std::string& what = "Close");
  // Windows asks whether the session may end: true outside the writing, and
  // the run goes on, since the end may still be called off (only OnEndSession
  // ends it); false while a processor is written, and the run then stops once
  // the device is safe.
  bool OnQueryEndSession();
  // The session ends now (`ending`), or its end was called off. Ending acts
  // like the close box: the dialog ends at once, or once the device is safe.
  void OnEndSession(bool ending);
  // The session's end has ended the dialog and nothing writes the device any
  // more. Windows may end the process as soon as the window returns, so the
  // handler the start-up set, if any, ends the program here.
  void OnSessionEnded();
  using SessionEndHandler = std::function<void(CFlashDlg& dialog)>;
  void SetSessionEndHandler(SessionEndHandler handler) { m_sessionEndHandler = std::move(handler); }
  int FlashFirmwareThreadProc();
  int flashAllOS();
  int FlashOS(std::int16_t mcuIndex);
  HRESULT LoadEmbeddedImage(std::uint32_t* rawSize, std::unique_ptr<std::uint8_t[]>* rawBuffer,
                            std::int16_t mcuIndex);
  void Cleanup();
  // Ends the dialog with `result`; the first end counts.
  void EndDialog(int result);
  bool HasEnded() const { return m_endResult.load() != 0; }
  int EndResult() const { return m_endResult.load(); }
  bool FlashingThreadStarted() const { return m_threadStarted; }
  bool IsFlashingThreadRunning();
  // Blocks until the flashing thread, if one was started, has finished.
  void WaitForFlashingThread();

  void SetUpgraderFactory(UpgraderFactory factory) { m_upgraderFactory = std::move(factory); }
  void SetThreadStarter(ThreadStarter starter) { m_threadStarter = std::move(starter); }
  void SetImageLookup(ImageLookup lookup) { m_imageLookup = std::move(lookup); }
  // A silent run without progress mode runs headless, unless `hiddenForSilentRuns`:
  // then it too runs in the window, which never becomes visible (Windows asks
  // only a process's top-level windows before the session ends).
  void SetWindowRunner(WindowRunner runner, bool hiddenForSilentRuns = false) {
    m_windowRunner = std::move(runner);
    m_windowForSilentRuns = hiddenForSilentRuns;
  }
  // Also prints on standard output what the dialog shows (title, status texts,
  // version lines, byte counts) until it ends, with a window or without.
  void SetConsoleTranscript(bool on);
  // Holds off sleep and shutdown from the bootloader entry to the end of the
  // run; without one the run takes no lock.
  void SetSleepInhibitor(SleepInhibitorFactory factory) { m_sleepInhibitorFactory = std::move(factory); }
  // Fills in `record` (the caller's; it must outlive the dialog) during the
  // run, complete once the flashing thread has ended. It asks the device for
  // each processor's type and version when it is loaded, before and after writing.
  void SetRunRecord(RunRecord* record) { m_recorder.Attach(record); }
  // Requests to end the program (the caller's; it must outlive the dialog):
  // the flashing thread marks its writing there and stops the run, once the
  // device is safe, when a request came in the meantime. Without one nothing
  // stops a run.
  void SetEndRequest(CEndRequest* request) { m_endRequest = request; }
  // The run was stopped on request after the device was made safe.
  bool StoppedOnRequest() const { return m_stoppedOnRequest.load(); }

  // The progress surface the writers' progress is shown on: the modes of this
  // dialog, the rest passed on to the attached surface.
  bool IsSilentMode() const override { return m_SilentMode; }
  bool IsProgressMode() const override { return m_ProgressMode; }
  void ProgressSetPos(int position) override;
  void ProgressSetRange(std::uint16_t lower, std::uint16_t upper) override;
  void ProgressSetStep(int step) override;
  void ProgressStepIt() override;
  int ProgressGetPos() const override;
  void SetStatusText(const std::string& text) override;
  // Once red, the status text stays red for the rest of the run.
  void SetStatusColour(Rgb colour) override;
  void EnableButton(DialogButton button, bool enable) override;
  void EnableDialogWindow() override;
  void RepaintAndShow() override;
  void StartProgressWindow(std::uint16_t stepCount) override;
  void StepProgressWindow() override;

  bool m_SilentMode = false;
  bool m_ProgressMode = false;
  bool m_Checkmode = true;
  // Written by the flashing thread, read by the user-interface thread when the dialog has ended.
  std::atomic<std::int32_t> m_ReturnCode = FLASH_RC_NOT_DONE;
  std::int16_t m_mcuIndex = 0;
  const char* m_lpInputVersion = nullptr;
  std::uint16_t m_InputProductID = 0;
  std::string m_strVersion;
  std::string m_strProductName;
  std::array<char16_t, 126> m_wszProductName{};
  std::unique_ptr<CFirmwareUpgrade> m_pUpgrader;
  std::uint32_t m_numMCU = 0;

 private:
  int RunHeadless();
  // A closed window shows nothing more, though its flashing thread still writes.
  bool Transcribing() const { return m_transcript && !HasEnded(); }
  void RunFlashingThread();
  // FlashOS's steps: the verdict on a processor (1 when verdicts are not
  // checked), its image made ready (1 when it is), its writing from
  // initialisation to end, and the result code of a processor written.
  int JudgeProcessor(std::uint32_t index);
  int PrepareImage(std::int16_t mcuIndex, std::uint32_t* imageSize, std::unique_ptr<std::uint8_t[]>* imageBuffer);
  int WriteProcessor(std::int16_t mcuIndex, std::uint32_t type, std::span<const std::uint8_t> image);
  int WriteInBlocks(std::int16_t mcuIndex, std::span<const std::uint8_t> image, CWriteProgress& progress);
  int ProcessorWritten(std::uint32_t index, int result);
  // Takes the sleep lock and refuses the end of the session for the writing.
  void HoldOffSleepAndSessionEnd();
  bool EndRequestPending() const;
  // Sends the device back to its application; true when a request to end
  // waited for that, so the run stops here.
  bool LeaveBootloader(CFirmwareUpgrade& upgrader);
  void ReportStoppedOnRequest();
  // A failed run whose log is outside the current folder names it in the status text.
  void ShowLogPlace();

  UpgraderFactory m_upgraderFactory;
  ThreadStarter m_threadStarter;
  ImageLookup m_imageLookup;
  WindowRunner m_windowRunner;
  bool m_windowForSilentRuns = false;
  SessionEndHandler m_sessionEndHandler;
  std::unique_ptr<CConsoleTranscript> m_transcript;
  SleepInhibitorFactory m_sleepInhibitorFactory;
  // Held by the flashing thread from the bootloader entry to the end of the run.
  std::unique_ptr<CSleepInhibitor> m_sleepInhibitor;
  CRunRecorder m_recorder;
  CEndRequest* m_endRequest = nullptr;
  std::atomic<bool> m_stoppedOnRequest = false;
  std::unique_ptr<CDialogSurface> m_surface;
  std::atomic<bool> m_redStatus = false;
  std::mutex m_statusLock;
  std::string m_statusText;  // the last status text shown
  std::atomic<int> m_endResult = 0;

  std::thread m_flashThread;
  bool m_threadStarted = false;
  std::mutex m_threadMutex;
  std::condition_variable m_threadDone;
  bool m_threadRunning = false;
};
