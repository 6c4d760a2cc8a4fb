#include "ui/testing/ScriptedUpgrader.h"

#include <algorithm>

#include "ui/DialogProgress.h"

std::vector<std::string> UpgraderScript::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

std::vector<std::uint16_t> UpgraderScript::BlockLengths() const {
  std::lock_guard lock(m_mutex);
  return m_blocks;
}

int UpgraderScript::UpgradersMade() const {
  std::lock_guard lock(m_mutex);
  return m_made;
}

bool UpgraderScript::WriteEntered() const {
  std::lock_guard lock(m_mutex);
  return m_entered;
}

void UpgraderScript::WaitUntilWriteEntered() const {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [this] { return m_entered; });
}

void UpgraderScript::Release() {
  std::lock_guard lock(m_mutex);
  m_released = true;
  m_changed.notify_all();
}

void UpgraderScript::Record(std::string call) {
  std::lock_guard lock(m_mutex);
  m_calls.push_back(std::move(call));
}

void UpgraderScript::RecordBlock(std::uint16_t length) {
  std::lock_guard lock(m_mutex);
  m_blocks.push_back(length);
}

void UpgraderScript::HoldIfAsked() {
  std::unique_lock lock(m_mutex);
  m_entered = true;
  m_changed.notify_all();
  if (holdWrite) m_changed.wait(lock, [this] { return m_released; });
}

void UpgraderScript::CountUpgrader() {
  std::lock_guard lock(m_mutex);
  ++m_made;
}

CScriptedUpgrader::CScriptedUpgrader(std::shared_ptr<UpgraderScript> script) : m_script(std::move(script)) {
  m_mcuCount = static_cast<std::uint32_t>(m_script->processors.size());
  m_script->CountUpgrader();
}

HRESULT CScriptedUpgrader::PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* rawImage,
                                                std::uint32_t* outSize, std::unique_ptr<std::uint8_t[]>* outBuffer) {
  m_script->Record("PrepareFirmwareImage " + std::to_string(rawSize));
  if (m_script->prepareStatus) return *m_script->prepareStatus;
  return CFirmwareUpgrade::PrepareFirmwareImage(rawSize, rawImage, outSize, outBuffer);
}

HRESULT CScriptedUpgrader::GetProductName(char16_t* buffer, std::uint32_t sizeBytes) {
  m_script->Record("GetProductName " + std::to_string(sizeBytes));
  const std::size_t units = std::min<std::size_t>(m_script->productName.size(), sizeBytes / 2 - 1);
  std::copy_n(m_script->productName.begin(), units, buffer);
  buffer[units] = 0;
  return m_script->productNameStatus;
}

std::uint16_t CScriptedUpgrader::GetBlockSize() { return m_script->blockSize; }

int CScriptedUpgrader::GetDeviceFWVersionString(std::string* version) {
  *version = m_script->version;
  return 1;
}

int CScriptedUpgrader::GetAllFWVersionString(std::string& versions) {
  versions = m_script->version;
  return 1;
}

int CScriptedUpgrader::InitFirmwareUpgrade(std::uint32_t imageSize) {
  m_script->Record("InitFirmwareUpgrade " + std::to_string(imageSize));
  m_blockIndex = 0;
  return m_script->initResult;
}

int CScriptedUpgrader::FirmwareUpgradeWrite(const std::uint8_t*, std::uint16_t length) {
  if (m_script->onBlock) m_script->onBlock(m_blockIndex);
  if (m_blockIndex == m_script->holdBlock) m_script->HoldIfAsked();
  m_script->RecordBlock(length);
  return m_blockIndex++ == m_script->failBlock ? 0 : 1;
}

int CScriptedUpgrader::EndFirmwareUpgrade() {
  m_script->Record("EndFirmwareUpgrade " + std::to_string(m_indexMCU));
  if (m_script->endResult != 0) ++m_upgraded;
  return m_script->endResult;
}

HRESULT CScriptedUpgrader::SetActiveMCU(std::uint32_t index) {
  m_script->Record("SetActiveMCU " + std::to_string(index));
  return CFirmwareUpgrade::SetActiveMCU(index);
}

HRESULT CScriptedUpgrader::GetMCUType(std::uint32_t index, std::uint32_t* type) {
  if (index >= m_script->processors.size() || m_script->processors[index].typeQueryFails) return E_FAIL;
  *type = m_script->processors[index].type;
  return S_OK;
}

std::uint32_t CScriptedUpgrader::IsBootloader() { return m_script->inBootloader ? 1 : 0; }

int CScriptedUpgrader::CanUpgradeCurrentActiveMCU() {
  m_script->Record("CanUpgradeCurrentActiveMCU " + std::to_string(m_indexMCU));
  return m_script->processors[m_indexMCU].verdict;
}

int CScriptedUpgrader::VersionCheckingHardcodedCompare() {
  m_script->Record("VersionCheckingHardcodedCompare");
  return m_script->overallVerdict;
}

int CScriptedUpgrader::EnterBootloader() {
  m_script->Record("EnterBootloader");
  return m_script->enterBootloaderResult;
}

int CScriptedUpgrader::ExitBootloader() {
  m_script->Record("ExitBootloader");
  return 1;
}

namespace {

// The dialog behind the progress a whole-image writer is handed, whose modes
// the scripted writers record.
CProgressSurface& DialogOf(CWriteProgress& progress) { return dynamic_cast<CDialogProgress&>(progress).Surface(); }

}  // namespace

int CScriptedUpgrader::WriteToP(const std::uint8_t*, std::uint32_t size, CWriteProgress& progress) {
  CProgressSurface& dialog = DialogOf(progress);
  // Like the real whole-image writers: they start the progress window but never step it.
  if (dialog.IsProgressMode()) dialog.StartProgressWindow(100);
  m_script->HoldIfAsked();
  m_script->Record("WriteToP " + std::to_string(size) + (dialog.IsSilentMode() ? " silent" : ""));
  return m_script->writeWholeResult;
}

int CScriptedUpgrader::FirmwareUpgradeWriteB(const std::uint8_t*, std::uint32_t size, CWriteProgress& progress) {
  const CProgressSurface& dialog = DialogOf(progress);
  m_script->HoldIfAsked();
  m_script->Record("FirmwareUpgradeWriteB " + std::to_string(size) + (dialog.IsSilentMode() ? " silent" : ""));
  return m_script->writeWholeResult;
}
