#include "ui/FlashDlg.h"

#include <system_error>

#include "app/log/Log.h"
#include "app/log/Utf16Text.h"
#include "loader/BlockWriter.h"
#include "platform/Clock.h"
#include "resources/EmbeddedImages.h"
#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/ConsoleTranscript.h"
#include "ui/DialogProgress.h"
#include "ui/DialogSurface.h"
#include "ui/EndRequest.h"
#include "ui/HeadlessSurface.h"
#include "upgrader/FirmwareUpgrade.h"
#include "upgrader/ImagePreparation.h"

namespace {

constexpr std::uint32_t kProductNameBytes = 252;

bool StartStdThread(std::function<void()> body, std::thread& thread) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

CFlashDlg::CFlashDlg()
    : m_upgraderFactory([] { return CreateCFirmwareUpgrade(); }),
      m_threadStarter(StartStdThread),
      m_imageLookup(FindEmbeddedItem) {
  LogMessage("CFlashDlg::CFlashDlg");
}

CFlashDlg::~CFlashDlg() {
  LogMessage("CFlashDlg::~CFlashDlg");
  if (m_threadStarted) {
    // Polls every 2000 ms, waking early when the thread signals its end.
    std::unique_lock lock(m_threadMutex);
    while (m_threadRunning) {
      LogMessage("CFlashDlg::~CFlashDlg - waiting for the flashing thread");
      m_threadDone.wait_for(lock, Clock::RealDuration(2000), [this] { return !m_threadRunning; });
    }
    lock.unlock();
    if (m_flashThread.joinable()) m_flashThread.join();
  }
  Cleanup();
  LogMessage("CFlashDlg::~CFlashDlg Done");
}

void CFlashDlg::SetMode(bool silentMode, bool checkMode, bool progressMode, const char* inputVersion,
                        std::int16_t mcuIndex, std::uint16_t productId) {
  m_SilentMode = silentMode;
  m_Checkmode = checkMode;
  m_ProgressMode = progressMode;
  m_lpInputVersion = inputVersion;
  m_mcuIndex = mcuIndex;
  m_InputProductID = productId;
  LogMessage("CFlashDlg::SetMode - m_mcuIndex[%d] m_InputProductID[%x]", m_mcuIndex, m_InputProductID);
}

void CFlashDlg::SetConsoleTranscript(bool on) {
  m_transcript = on ? std::make_unique<CConsoleTranscript>(stdout) : nullptr;
}

void CFlashDlg::AttachSurface(std::unique_ptr<CDialogSurface> surface) {
  m_surface = std::move(surface);
  m_surface->SetModes(m_SilentMode, m_ProgressMode);
}

int CFlashDlg::DoModal() {
  // A silent run shows a window only for its progress mode; a hidden one
  // only where the window runner asks for it.
  const bool windowed = m_windowRunner && (!m_SilentMode || m_ProgressMode || m_windowForSilentRuns);
  return windowed ? m_windowRunner(*this) : RunHeadless();
}

int CFlashDlg::RunHeadless() {
  AttachSurface(std::make_unique<CHeadlessSurface>());
  OnInitDialog();
  if (!HasEnded() && !m_SilentMode) {
    // An interactive run with no display: nothing could be clicked, so the
    // dialog ends as if closed at once, after telling why.
    LogMessage("CFlashDlg::DoModal - no display for the dialog");
    m_surface->ShowMessage(Tr("No display is available to show the upgrade dialog. Use /S for an unattended upgrade."));
    EndDialog(IDCANCEL);
  }
  WaitForFlashingThread();
  return EndResult();
}

void CFlashDlg::EndDialog(int result) {
  int none = 0;
  m_endResult.compare_exchange_strong(none, result);
  if (m_surface) m_surface->EndDialog(result);
}

void CFlashDlg::OnCancel(const std::string& what) {
  if (m_endRequest != nullptr && m_endRequest->Request(what) == CEndRequest::Answer::Deferred) return;
  EndDialog(IDCANCEL);
}

bool CFlashDlg::OnQueryEndSession() {
  return m_endRequest == nullptr || m_endRequest->Query("the end of the session");
}

void CFlashDlg::OnEndSession(bool ending) {
  if (ending) {
    OnCancel("the end of the session");
    return;
  }
  LogMessage("CFlashDlg::OnEndSession - The end of the session was called off");
}

void CFlashDlg::OnSessionEnded() {
  if (m_sessionEndHandler) m_sessionEndHandler(*this);
}

bool CFlashDlg::OnInitDialog() {
  LogMessage("CFlashDlg::OnInitDialog");
  if (!m_surface) AttachSurface(std::make_unique<CHeadlessSurface>());
  const HRESULT status = LoadDevice();
  if (FAILED(status)) {
    LogMessage("CFlashDlg::No HIDDevice");
    if (m_SilentMode)
      LogMessage("SilentMode");
    else
      m_surface->ShowMessage(LoadStringById(IDS_NOT_CONNECTED));
    m_ReturnCode = FLASH_RC_NO_DEVICE;
    EndDialog(IDCANCEL);
    return true;
  }

  LogMessage("CFlashDlg::Product Name[%ls]", m_wszProductName.data());
  m_strProductName = Utf16ToUtf8(m_wszProductName.data(), m_wszProductName.size());
  const std::string title = WindowTitle(m_strProductName);
  m_surface->SetWindowTitle(title);
  if (Transcribing()) m_transcript->Title(title);
  if (!m_SilentMode)
    SetStatusText(FormatText(LoadStringById(IDS_WILL_UPGRADE), {{"product", m_strProductName}}));
  InitFirmwareVersionDisplay(true, true);

  if (m_SilentMode) {
    LogMessage("SilentMode");
    m_surface->HideWindow();
    OnOK();
    // Nothing else would ever end a hidden dialog whose thread did not start.
    if (!m_threadStarted) EndDialog(IDCANCEL);
  } else {
    EnableButton(DialogButton::Upgrade, true);
  }
  return true;
}

HRESULT CFlashDlg::LoadDevice() {
  LogMessage("CFlashDlg::LoadDevice");
  HRESULT status = E_FAIL;
  m_pUpgrader.reset();
  LogMessage("CFlashDlg::LoadDevice - CreateCFirmwareUpgrade");
  m_pUpgrader = m_upgraderFactory ? m_upgraderFactory() : nullptr;
  if (m_pUpgrader) {
    LogMessage("CFlashDlg::LoadDevice - GetProductName");
    m_wszProductName.fill(0);
    status = m_pUpgrader->GetProductName(m_wszProductName.data(), kProductNameBytes);
    // Whatever the device sent, the name stays terminated inside its buffer.
    m_wszProductName.back() = 0;
    if (SUCCEEDED(status)) {
      m_numMCU = m_pUpgrader->GetMCUCount();
      m_recorder.DeviceLoaded(*m_pUpgrader, m_wszProductName, m_numMCU);
      m_pUpgrader->SetActiveMCU(0);
      m_pUpgrader->GetDeviceFWVersionString(&m_strVersion);
    }
  }
  LogMessage("CFlashDlg::LoadDevice - hRes[%08x]", status);
  return status;
}

void CFlashDlg::InitFirmwareVersionDisplay(bool known, bool show) {
  LogMessage("CFlashDlg::InitFirmwareVersionDisplay - [%d]", known ? 1 : 0);
  if (known && m_pUpgrader) m_pUpgrader->GetAllFWVersionString(m_strVersion);
  const std::string line = FormatText(LoadStringById(IDS_CURRENT_VERSION),
                                      {{"version", known ? m_strVersion : LoadStringById(IDS_VERSION_UNKNOWN)}});
  m_surface->SetVersionText(show ? line : std::string());
  if (Transcribing() && show) m_transcript->Version(line);
  LogMessage("CFlashDlg::InitFirmwareVersionDisplay - [%d] Done", known ? 1 : 0);
}

void CFlashDlg::OnOK() {
  LogMessage("OnOK");
  // One run per dialog: a second press (Enter on the disabled default button,
  // a queued click) must not start a second thread on the same upgrader.
  if (m_threadStarted) {
    LogMessage("OnOK - the flashing thread has already been started");
    return;
  }
  EnableButton(DialogButton::Upgrade, false);
  EnableButton(DialogButton::Close, false);

  {
    std::lock_guard lock(m_threadMutex);
    m_threadRunning = true;
  }
  m_threadStarted = m_threadStarter([this] { RunFlashingThread(); }, m_flashThread);
  if (m_threadStarted) {
    LogMessage("Thread creation OK");
  } else {
    {
      std::lock_guard lock(m_threadMutex);
      m_threadRunning = false;
    }
    m_ReturnCode = FLASH_RC_THREAD_FAILED;
  }
  LogMessage("OnOK - FlashOS Done");
}

void CFlashDlg::RunFlashingThread() {
  FlashFirmwareThreadProc();
  // A hidden dialog has nobody to close it: the run ends with its thread, as
  // does a run that was asked to end (also one that failed in the meantime).
  if (m_SilentMode)
    EndDialog(IDCLOSE);
  else if (m_endRequest != nullptr && m_endRequest->Stopped())
    EndDialog(IDCANCEL);
  std::lock_guard lock(m_threadMutex);
  m_threadRunning = false;
  m_threadDone.notify_all();
}

bool CFlashDlg::IsFlashingThreadRunning() {
  std::lock_guard lock(m_threadMutex);
  return m_threadRunning;
}

void CFlashDlg::WaitForFlashingThread() {
  std::unique_lock lock(m_threadMutex);
  m_threadDone.wait(lock, [this] { return !m_threadRunning; });
}

int CFlashDlg::FlashFirmwareThreadProc() {
  LogMessage("CFlashDlg::FlashFirmwareThreadProc");
  CFirmwareUpgrade* const upgrader = m_pUpgrader.get();
  const int ok = upgrader ? flashAllOS() : 0;
  LogMessage("CFlashDlg::FlashFirmwareThreadProc - Done");
  const std::uint32_t count = upgrader ? upgrader->GetUpgradedCount() : 0;

  if (ok != 0 && count == 0) {
    SetStatusColour(kRed);
    SetStatusText(LoadStringById(IDS_NOTHING_UPGRADED));
    if (LeaveBootloader(*upgrader)) ReportStoppedOnRequest();
    EnableButton(DialogButton::Close, true);
    EnableButton(DialogButton::Upgrade, false);
  } else if (ok != 0) {
    SetStatusText(LoadStringById(IDS_RELOADING));
    if (LeaveBootloader(*upgrader)) {
      ReportStoppedOnRequest();
    } else {
      LoadDevice();
      InitFirmwareVersionDisplay(true, true);
      Clock::SleepMs(10);
      EnableButton(DialogButton::Upgrade, false);
      SetStatusText(Tr("Upgrade is successful"));
    }
  } else if (upgrader) {
    // A run that failed on its own keeps its failure text.
    if (LeaveBootloader(*upgrader) && m_stoppedOnRequest) ReportStoppedOnRequest();
  }

  if (!m_SilentMode && m_ReturnCode < 0) ShowLogPlace();
  Cleanup();
  m_sleepInhibitor.reset();
  if (m_surface) m_surface->AllowSessionEnd();
  EnableButton(DialogButton::Close, true);
  EnableDialogWindow();
  return 0;
}

int CFlashDlg::flashAllOS() {
  int result = 1;
  if (m_Checkmode && m_pUpgrader->VersionCheckingHardcodedCompare() != 0) {
    m_recorder.AllSkipped();
    return 1;
  }

  // An end granted before this point leaves the device as it is.
  if (m_endRequest != nullptr && !m_endRequest->BeginWriting()) {
    LogMessage("flashAllOS - Ending as requested before the bootloader entry");
    return 1;
  }
  HoldOffSleepAndSessionEnd();
  if (!m_pUpgrader->IsBootloader() && m_pUpgrader->EnterBootloader() == 0) {
    EnableButton(DialogButton::Upgrade, false);
    SetStatusColour(kRed);
    SetStatusText(Tr("Device failed to go into upgrading mode. Please re-connect your device and try again."));
    return 0;
  }

  LogMessage("flashAllOS m_numMCU = %d", m_numMCU);
  for (std::uint32_t i = 0; i < m_numMCU && result != 0; ++i) {
    // The processor written before is finished: a request to end stops the run here.
    if (EndRequestPending()) {
      m_stoppedOnRequest = true;
      LogMessage("flashAllOS - Stopped on request before processor %d", i);
      return 0;
    }
    // A failed type query leaves the type at 0, never at the previous processor's type.
    std::uint32_t type = 0;
    m_pUpgrader->GetMCUType(i, &type);
    if (type == AXFLASH_MCU_TYPE_B || type == AXFLASH_MCU_TYPE_P) {
      result = FlashOS(static_cast<std::int16_t>(i));
      Clock::SleepMs(100);
    } else {
      m_recorder.Skipped(i);
    }
  }

  if (result == 0) {
    EnableButton(DialogButton::Upgrade, false);
    SetStatusColour(kRed);
    SetStatusText(Tr("Firmware upgrade failed. Please re-connect your device and try again."));
  } else if (EndRequestPending()) {
    m_stoppedOnRequest = true;
    LogMessage("flashAllOS - Stopped on request after the last processor");
  }
  return result;
}

// From here to the end of the run the device may be half written: the machine
// must neither sleep nor shut down.
void CFlashDlg::HoldOffSleepAndSessionEnd() {
  // xgettext:python-brace-format
  const std::string writingReason = FormatText(Tr("Writing new firmware to {product}"), {{"product", m_strProductName}});
  if (m_sleepInhibitorFactory) m_sleepInhibitor = m_sleepInhibitorFactory(writingReason);
  if (m_surface) m_surface->BlockSessionEnd(writingReason);
}

bool CFlashDlg::EndRequestPending() const { return m_endRequest != nullptr && m_endRequest->Pending(); }

bool CFlashDlg::LeaveBootloader(CFirmwareUpgrade& upgrader) {
  upgrader.ExitBootloader();
  if (m_endRequest == nullptr) return false;
  m_endRequest->EndWriting();
  return m_endRequest->Stopped();
}

void CFlashDlg::ReportStoppedOnRequest() {
  m_stoppedOnRequest = true;
  m_ReturnCode = FLASH_RC_UPGRADE_FAILED;
  LogMessage("CFlashDlg - The upgrade was stopped on request; the device is back in its application");
  EnableButton(DialogButton::Upgrade, false);
  SetStatusColour(kRed);
  SetStatusText(Tr("The upgrade was stopped on request. The device is safe; run the upgrade again to finish it."));
}

int CFlashDlg::FlashOS(std::int16_t mcuIndex) {
  const auto index = static_cast<std::uint32_t>(mcuIndex);
  LogMessage("FlashOS mcuIndex = %d", mcuIndex);
  std::uint32_t type = 0;
  m_pUpgrader->GetMCUType(index, &type);
  m_pUpgrader->SetActiveMCU(index);

  const int iCanFlash = JudgeProcessor(index);
  if (iCanFlash == 0) {
    LogMessage("CFlashDlg::FlashOS - upgrade program same version as device, skipping");
    return 1;
  }
  if (iCanFlash == -1) {
    LogMessage("CFlashDlg::FlashOS - device has newer version, skipping");
    return 1;
  }

  LogMessage("CFlashDlg::FlashOS - iCanFlash = %d", iCanFlash);
  LogMessage("Try load Firmware Image Resource...");
  std::uint32_t imageSize = 0;
  std::unique_ptr<std::uint8_t[]> imageBuffer;
  int result = PrepareImage(mcuIndex, &imageSize, &imageBuffer);
  if (result != 0) result = WriteProcessor(mcuIndex, type, std::span(imageBuffer.get(), imageSize));
  imageBuffer.reset();
  return ProcessorWritten(index, result);
}

int CFlashDlg::JudgeProcessor(std::uint32_t index) {
  int iCanFlash = 1;
  if (!m_Checkmode) {
    LogMessage("CFlashDlg::FlashOS - Force flashing as m_Checkmode == TRUE");
  } else {
    iCanFlash = m_pUpgrader->CanUpgradeCurrentActiveMCU();
    LogMessage("CFlashDlg::FlashOS - CanUpgradeCurrentActiveMCU() returned %d", iCanFlash);
  }
  m_recorder.Judged(index, m_Checkmode, iCanFlash);
  return iCanFlash;
}

int CFlashDlg::PrepareImage(std::int16_t mcuIndex, std::uint32_t* imageSize,
                            std::unique_ptr<std::uint8_t[]>* imageBuffer) {
  std::uint32_t rawSize = 0;
  std::unique_ptr<std::uint8_t[]> rawBuffer;
  HRESULT status = LoadEmbeddedImage(&rawSize, &rawBuffer, mcuIndex);
  if (FAILED(status)) {
    if (status == E_INVALIDARG) SetStatusText(LoadStringById(IDS_IMAGE_NOT_FOR_PART));
    return 0;
  }
  status = m_pUpgrader->GetFirmwareImage(rawSize, rawBuffer.get(), imageSize, imageBuffer);
  return (SUCCEEDED(status) && *imageBuffer) ? 1 : 0;
}

int CFlashDlg::WriteProcessor(std::int16_t mcuIndex, std::uint32_t type, std::span<const std::uint8_t> image) {
  if (!m_SilentMode) {
    EnableButton(DialogButton::Close, false);
    EnableButton(DialogButton::Upgrade, false);
    SetStatusText(LoadStringById(IDS_INITIALIZING));
  }
  const auto size = static_cast<std::uint32_t>(image.size());
  // Only exactly 1 means ready to write; any other value is a failure, never a
  // processor that counts as upgraded without a byte written.
  if (m_pUpgrader->InitFirmwareUpgrade(size) != 1) return 0;
  m_recorder.WritingBegins(static_cast<std::uint32_t>(mcuIndex));

  CDialogProgress progress(*this);
  int result = 0;
  if (type == AXFLASH_MCU_TYPE_P)
    result = m_pUpgrader->WriteToP(image.data(), size, progress);
  else if (type == AXFLASH_MCU_TYPE_B)
    result = m_pUpgrader->FirmwareUpgradeWriteB(image.data(), size, progress);
  else
    result = WriteInBlocks(mcuIndex, image, progress);
  return result != 0 ? m_pUpgrader->EndFirmwareUpgrade() : 0;
}

int CFlashDlg::WriteInBlocks(std::int16_t mcuIndex, std::span<const std::uint8_t> image, CWriteProgress& progress) {
  const BlockPlan plan = PlanBlocks(static_cast<std::uint32_t>(image.size()), m_pUpgrader->GetBlockSize());
  std::uint32_t unused = 0;
  m_pUpgrader->GetMCUType(static_cast<std::uint32_t>(mcuIndex), &unused);
  const auto writeBlock = [this](std::span<const std::uint8_t> block) {
    return m_pUpgrader->FirmwareUpgradeWrite(block.data(), static_cast<std::uint16_t>(block.size())) != 0;
  };
  if (WriteBlocks(image, plan, writeBlock, progress)) return 1;
  LogMessage("Firmware Write Error for mcuIndex %d", mcuIndex);
  return 0;
}

int CFlashDlg::ProcessorWritten(std::uint32_t index, int result) {
  m_recorder.Finished(index, result != 0);
  if (result != 0) {
    LogMessage("Finish");
    m_ReturnCode = FLASH_RC_OK;
  } else {
    m_ReturnCode = FLASH_RC_UPGRADE_FAILED;
    if (!m_SilentMode) {
      EnableButton(DialogButton::Close, true);
      EnableButton(DialogButton::Upgrade, false);
    }
    LogMessage("Error: Device upgrade error!!!");
  }
  return result;
}

HRESULT CFlashDlg::LoadEmbeddedImage(std::uint32_t* rawSize, std::unique_ptr<std::uint8_t[]>* rawBuffer,
                                     std::int16_t mcuIndex) {
  if (!m_pUpgrader) return E_FAIL;
  return ::LoadEmbeddedImage(*m_pUpgrader, m_imageLookup, mcuIndex, rawSize, rawBuffer);
}

void CFlashDlg::Cleanup() {
  LogMessage("CFlashDlg::Cleanup");
  m_pUpgrader.reset();
  LogMessage("CFlashDlg::Cleanup - Done");
}

void CFlashDlg::ProgressSetPos(int position) {
  if (m_surface) m_surface->ProgressSetPos(position);
}
void CFlashDlg::ProgressSetRange(std::uint16_t lower, std::uint16_t upper) {
  if (m_surface) m_surface->ProgressSetRange(lower, upper);
}
void CFlashDlg::ProgressSetStep(int step) {
  if (m_surface) m_surface->ProgressSetStep(step);
}
void CFlashDlg::ProgressStepIt() {
  if (m_surface) m_surface->ProgressStepIt();
}
int CFlashDlg::ProgressGetPos() const { return m_surface ? m_surface->ProgressGetPos() : 0; }
void CFlashDlg::ShowLogPlace() {
  const std::string path = LogFilePath();
  if (path.find_first_of("/\\") == std::string::npos) return;
  std::string shown;
  {
    std::lock_guard lock(m_statusLock);
    shown = m_statusText;
  }
  // xgettext:python-brace-format
  SetStatusText(shown + "\n" + FormatText(Tr("Log: {path}"), {{"path", path}}));
}

void CFlashDlg::SetStatusText(const std::string& text) {
  {
    std::lock_guard lock(m_statusLock);
    m_statusText = text;
  }
  if (m_surface) m_surface->SetStatusText(text);
  if (Transcribing()) m_transcript->Status(text);
}
void CFlashDlg::SetStatusColour(Rgb colour) {
  if (m_redStatus) return;
  if (colour == kRed) m_redStatus = true;
  if (m_surface) m_surface->SetStatusColour(colour);
}
void CFlashDlg::EnableButton(DialogButton button, bool enable) {
  if (m_surface) m_surface->EnableButton(button, enable);
}
void CFlashDlg::EnableDialogWindow() {
  if (m_surface) m_surface->EnableDialogWindow();
}
void CFlashDlg::RepaintAndShow() {
  if (m_surface && !m_SilentMode) m_surface->RepaintAndShow();
}
void CFlashDlg::StartProgressWindow(std::uint16_t stepCount) {
  if (m_surface) m_surface->StartProgressWindow(stepCount);
}
void CFlashDlg::StepProgressWindow() {
  if (m_surface) m_surface->StepProgressWindow();
}
