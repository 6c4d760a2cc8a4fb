// quillon-ui-screenshots <directory>: renders the main dialog in its main
// states, the about box and the progress window to PNG files, on Qt's
// offscreen platform, with a scripted device standing in for a real one; then
// the loaded and the failed dialog in every language the program carries.
#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QPainter>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/Clock.h"
#include "resources/Catalogs.h"
#include "resources/Translation.h"
#include "ui/FlashDlg.h"
#include "ui/qt/FlashWindow.h"
#include "ui/qt/QtSurface.h"
#include "ui/testing/ScriptedDialog.h"
#include "ui/testing/ScriptedUpgrader.h"

namespace {

// The grab of a window under a plain caption bar, since the offscreen
// platform draws no window frame.
QImage WithCaption(QWidget& window) {
  const QPixmap client = window.grab();
  const int caption = QFontMetrics(window.font()).height() + 10;
  QImage image(client.width() + 2, client.height() + caption + 1, QImage::Format_RGB32);
  image.fill(QColor(120, 120, 120));
  QPainter painter(&image);
  painter.fillRect(QRect(1, 1, client.width(), caption - 1), QColor(230, 232, 236));
  painter.setFont(window.font());
  painter.setPen(Qt::black);
  painter.drawPixmap(QRect(5, (caption - 16) / 2 + 1, 16, 16), window.windowIcon().pixmap(16, 16));
  painter.drawText(QRect(26, 1, client.width() - 50, caption - 1), Qt::AlignVCenter | Qt::AlignLeft,
                   window.windowTitle());
  painter.drawText(QRect(client.width() - 22, 1, 20, caption - 1), Qt::AlignCenter, QStringLiteral("✕"));
  painter.drawPixmap(1, caption, client);
  return image;
}

class CShooter {
 public:
  explicit CShooter(QString directory) : m_directory(std::move(directory)) {}

  bool Save(QWidget& window, const char* name) {
    const QString path = QDir(m_directory).filePath(QString::fromLatin1(name) + ".png");
    const bool saved = WithCaption(window).save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", path.toLocal8Bit().constData());
    m_ok = m_ok && saved;
    return saved;
  }

  // A dialog on a scripted device; `act` runs on the GUI thread with the window ready.
  void Shoot(const std::function<void(UpgraderScript&)>& setUp,
             const std::function<void(CFlashDlg&, CFlashWindow&, CShooter&)>& act) {
    auto script = std::make_shared<UpgraderScript>();
    setUp(*script);
    CFlashDlg dialog;
    SetUpScriptedDialog(dialog, script, m_items);
    auto owned = std::make_unique<CQtSurface>();
    CQtSurface& surface = *owned;
    dialog.AttachSurface(std::move(owned));
    CFlashWindow window(dialog);
    surface.Open(&window);
    window.show();
    act(dialog, window, *this);
    surface.Close();
  }

  bool Ok() const { return m_ok; }

 private:
  QString m_directory;
  CStandInItems m_items;
  bool m_ok = true;
};

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillon-ui-screenshots <directory>\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QDir().mkpath(QString::fromLocal8Bit(argv[1]));
  Clock::SetTimeScale(1000);
  CShooter shooter(QString::fromLocal8Bit(argv[1]));
  const auto none = [](UpgraderScript&) {};

  // Everything below runs on the GUI thread, so each update reaches the
  // widgets at once and the grab shows exactly that state.
  shooter.Shoot(none, [](CFlashDlg&, CFlashWindow& window, CShooter& s) { s.Save(window, "01-template"); });
  shooter.Shoot(none, [](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
    dlg.OnInitDialog();
    Settle();
    s.Save(window, "02-loaded");
  });
  // A processor written block by block, grabbed before the third of three blocks.
  auto flashing = std::make_shared<std::function<void(int)>>();
  shooter.Shoot(
      [flashing](UpgraderScript& script) {
        script.processors = {{AXFLASH_MCU_TYPE_M, false, 1}};
        script.onBlock = [flashing](int block) { (*flashing)(block); };
      },
      [flashing](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
        *flashing = [&](int block) {
          if (block != 2) return;
          Settle();
          s.Save(window, "03-flashing");
        };
        dlg.OnInitDialog();
        dlg.EnableButton(DialogButton::Upgrade, false);
        dlg.EnableButton(DialogButton::Close, false);
        dlg.FlashOS(0);
        *flashing = [](int) {};
      });
  // The ends of a run, as the flashing thread leaves the dialog.
  struct End {
    const char* name;
    std::function<void(UpgraderScript&)> setUp;
  };
  for (const End& end : {End{"04-success", none}, End{"05-nothing-upgraded", [](UpgraderScript& s) { s.overallVerdict = 3; }},
                         End{"06-failed", [](UpgraderScript& s) { s.writeWholeResult = 0; }},
                         End{"07-no-bootloader", [](UpgraderScript& s) { s.enterBootloaderResult = 0; }}}) {
    shooter.Shoot(end.setUp, [&end](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
      dlg.OnInitDialog();
      dlg.EnableButton(DialogButton::Upgrade, false);
      dlg.EnableButton(DialogButton::Close, false);
      dlg.FlashFirmwareThreadProc();
      Settle();
      s.Save(window, end.name);
    });
  }
  shooter.Shoot(none, [](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
    dlg.OnInitDialog();
    CAboutDlg about(&window);
    about.show();
    Settle();
    s.Save(about, "08-about");
  });
  shooter.Shoot(none, [](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
    dlg.OnInitDialog();
    CProg prog(&window);
    prog.Start(3);
    prog.Step();
    Settle();
    s.Save(prog, "09-progress-window");
  });
  // Every language: the loaded dialog and a failed run, whose texts are the longest.
  for (const TextCatalog& catalog : TextCatalogs()) {
    SetUiLanguage(catalog.language);
    const std::string prefix = "lang-" + std::string(catalog.language);
    shooter.Shoot(none, [&](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
      dlg.OnInitDialog();
      Settle();
      s.Save(window, (prefix + "-loaded").c_str());
    });
    shooter.Shoot([](UpgraderScript& script) { script.writeWholeResult = 0; },
                  [&](CFlashDlg& dlg, CFlashWindow& window, CShooter& s) {
                    dlg.OnInitDialog();
                    dlg.EnableButton(DialogButton::Upgrade, false);
                    dlg.EnableButton(DialogButton::Close, false);
                    dlg.FlashFirmwareThreadProc();
                    Settle();
                    s.Save(window, (prefix + "-failed").c_str());
                  });
  }
  SetUiLanguage("");
  return shooter.Ok() ? 0 : 1;
}
