#include "ui/qt/DialogWindow.h"

#include <QEventLoop>
#include <atomic>

#include "app/log/Log.h"
#include "ui/FlashDlg.h"
#include "ui/qt/FlashWindow.h"
#include "ui/qt/QtApp.h"
#include "ui/qt/QtSurface.h"

namespace {
// The surface of the window that runs now, for AbandonDialogWindow.
std::atomic<CQtSurface*> g_openSurface = nullptr;
}  // namespace

void AbandonDialogWindow() {
  if (CQtSurface* surface = g_openSurface.exchange(nullptr)) surface->Close();
}

int RunDialogWindow(CFlashDlg& dialog) {
  CQtAppScope app;
  auto owned = std::make_unique<CQtSurface>();
  CQtSurface& surface = *owned;
  dialog.AttachSurface(std::move(owned));
  {
    CFlashWindow window(dialog);
    QEventLoop loop;
    // The close begins here: from now on updates from the flashing thread
    // return at once, and the progress window goes away with the dialog.
    QObject::connect(&window, &QDialog::finished, &loop, [&](int result) {
      surface.Close();
      window.DestroyProgressWindow();
      loop.exit(result);
    });
    surface.Open(&window);
    g_openSurface = &surface;
    dialog.OnInitDialog();
    if (!dialog.HasEnded()) {
      if (!dialog.m_SilentMode) window.show();
      loop.exec();
    }
    g_openSurface = nullptr;
    surface.Close();
    window.DestroyProgressWindow();
  }
  LogMessage("CFlashDlg::DoModal - dialog ended [%d]", dialog.EndResult());
  return dialog.EndResult();
}
