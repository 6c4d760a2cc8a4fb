// Stand-in until the controller lands: no device can be loaded yet.
#include "ui/FlashDlg.h"

CFlashDlg::CFlashDlg() = default;
CFlashDlg::~CFlashDlg() = default;

void CFlashDlg::SetMode(bool, bool, bool, const char*, std::int16_t, std::uint16_t) {}

int CFlashDlg::DoModal() {
  m_ReturnCode = FLASH_RC_NO_DEVICE;
  return IDCANCEL;
}
