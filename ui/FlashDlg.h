#pragma once
// CFlashDlg: the main dialog and the controller of one upgrade run.
#include <cstdint>

// Dialog results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDCLOSE = 8;

// Result codes of a run; bit 31 set means failure.
inline constexpr std::int32_t FLASH_RC_OK = 0;
inline constexpr std::int32_t FLASH_RC_NOT_DONE = 4;
inline constexpr std::int32_t FLASH_RC_NO_DEVICE = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t FLASH_RC_THREAD_FAILED = static_cast<std::int32_t>(0x80000006u);
inline constexpr std::int32_t FLASH_RC_UPGRADE_FAILED = static_cast<std::int32_t>(0x80000007u);

class CFlashDlg {
 public:
  CFlashDlg();
  // Waits for a still running flashing thread before anything it uses goes away.
  ~CFlashDlg();
  CFlashDlg(const CFlashDlg&) = delete;
  CFlashDlg& operator=(const CFlashDlg&) = delete;

  void SetMode(bool silentMode, bool checkMode, bool progressMode, const char* inputVersion, std::int16_t mcuIndex,
               std::uint16_t productId);
  // Runs the dialog until it ends; returns the dialog result (IDOK, IDCANCEL, ...).
  int DoModal();

  std::int32_t m_ReturnCode = FLASH_RC_NOT_DONE;
};
