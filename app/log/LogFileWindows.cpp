#include "app/log/LogFile.h"

#include <windows.h>

#include <cstdlib>

#include "app/log/Utf16Text.h"

namespace {

std::wstring WidePath(const std::string& path) {
  const std::u16string wide = Utf8ToUtf16(path);
  return std::wstring(wide.begin(), wide.end());
}

bool Identity(HANDLE file, std::uint64_t& volume, std::uint64_t& index) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  volume = info.dwVolumeSerialNumber;
  index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

CLogFile::Create CLogFile::CreateNew(const std::string& path) {
  Close();
  m_known = false;
  // CREATE_NEW fails on any existing name, a link included, so nothing is followed.
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS ? Create::Exists
                                                                                          : Create::Failed;
  if (!Identity(file, m_volume, m_index)) {
    CloseHandle(file);
    DeleteFileW(WidePath(path).c_str());
    return Create::Failed;
  }
  m_handle = file;
  m_known = true;
  return Create::Made;
}

bool CLogFile::IsOpen() const { return m_handle != nullptr; }

void CLogFile::Write(std::string_view text) {
  while (m_handle != nullptr && !text.empty()) {
    DWORD written = 0;
    const DWORD chunk = text.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(text.size());
    if (!WriteFile(static_cast<HANDLE>(m_handle), text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void CLogFile::Close() {
  if (m_handle != nullptr) CloseHandle(static_cast<HANDLE>(m_handle));
  m_handle = nullptr;
}

bool CLogFile::RemoveIfUnchanged(const std::string& path) {
  if (!m_known) return false;
  m_known = false;
  // Opened without following a link, checked, and deleted through the same
  // handle, so the file checked is the file deleted.
  HANDLE file = CreateFileW(WidePath(path).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool deleted = false;
  if (Identity(file, volume, index) && volume == m_volume && index == m_index) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    deleted = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
  }
  CloseHandle(file);
  return deleted;
}

std::string UserLogDirectory() {
  const wchar_t* const localAppData = _wgetenv(L"LOCALAPPDATA");
  if (localAppData == nullptr || *localAppData == 0) return {};
  std::wstring folder = localAppData;
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  for (const wchar_t* part : {L"\\Quillon", L"\\Logs"}) {
    folder += part;
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  const std::u16string wide(folder.begin(), folder.end());
  return Utf16ToUtf8(wide.c_str());
}
