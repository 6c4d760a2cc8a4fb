#include "ui/win32/DialogWindow.h"

#include "app/log/Log.h"
#include "ui/FlashDlg.h"
#include "ui/win32/FlashWindow.h"
#include "ui/win32/Win32Surface.h"

int RunDialogWindow(CFlashDlg& dialog) {
  auto owned = std::make_unique<CWin32Surface>();
  CWin32Surface& surface = *owned;
  dialog.AttachSurface(std::move(owned));
  {
    CFlashWindow window([&dialog] { dialog.OnOK(); }, [&dialog](const std::string& what) { dialog.OnCancel(what); },
                        [&dialog] { return dialog.OnQueryEndSession(); },
                        [&dialog](bool ending) { dialog.OnEndSession(ending); },
                        [&dialog] { return dialog.HasEnded() && !dialog.IsFlashingThreadRunning(); },
                        [&dialog] { dialog.OnSessionEnded(); });
    const bool ran = window.Run([&] {
      surface.Open(window);
      dialog.OnInitDialog();
    });
    surface.Close();
    if (!ran) {
      LogMessage("CFlashDlg::DoModal - the dialog window could not be created");
      dialog.EndDialog(IDABORT);
    }
  }
  LogMessage("CFlashDlg::DoModal - dialog ended [%d]", dialog.EndResult());
  return dialog.EndResult();
}
