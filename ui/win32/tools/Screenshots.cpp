// quillon-win32-screenshots <directory>: shows the Windows dialog in its main
// states, the about box and the progress window against a scripted device,
// and writes what the screen shows of each to a BMP file. Run it on a display
// (under Wine: an X server such as Xvfb).
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "resources/Catalogs.h"
#include "resources/Translation.h"
#include "ui/FlashDlg.h"
#include "ui/testing/ScriptedDialog.h"
#include "ui/testing/ScriptedUpgrader.h"
#include "ui/win32/DialogWindow.h"
#include "ui/win32/Resource.h"
#include "ui/win32/testing/DialogProbe.h"

namespace {

// Time for the GUI thread to paint what the last update changed.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

class CShooter {
 public:
  explicit CShooter(std::string directory) : m_directory(std::move(directory)) {}

  std::string Path(const char* name) const { return m_directory + "/" + name + ".bmp"; }

  void Note(bool saved, const char* name) {
    std::printf("%s %s\n", saved ? "wrote" : "could not write", Path(name).c_str());
    m_ok = m_ok && saved;
  }

  // Runs a dialog on a scripted device here while `act` works on it from a
  // second thread; the dialog is closed once `act` returns.
  void Shoot(bool progressMode, const std::function<void(UpgraderScript&)>& setUp,
             const std::function<void(CFlashDlg&, CDialogProbe&, UpgraderScript&)>& act) {
    auto script = std::make_shared<UpgraderScript>();
    setUp(*script);
    CFlashDlg dialog;
    SetUpScriptedDialog(dialog, script, m_items, false, progressMode);
    dialog.SetWindowRunner(RunDialogWindow);
    CDialogProbe probe;
    std::thread user([&] {
      if (probe.WaitForDialog(true)) act(dialog, probe, *script);
      probe.Click(IDCANCEL);
    });
    dialog.DoModal();
    user.join();
  }

  bool Ok() const { return m_ok; }

 private:
  std::string m_directory;
  CStandInItems m_items;
  bool m_ok = true;
};

// A processor written block by block; `atBlock2` runs before the third of three blocks.
void WriteBlocks(CFlashDlg& dialog, UpgraderScript& script, std::function<void()> atBlock2) {
  script.onBlock = [&atBlock2](int block) {
    if (block == 2) atBlock2();
  };
  dialog.FlashOS(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillon-win32-screenshots <directory>\n");
    return 2;
  }
  Clock::SetTimeScale(1000);
  CShooter shooter(argv[1]);
  const auto none = [](UpgraderScript&) {};
  const auto blockProcessor = [](UpgraderScript& s) { s.processors = {{AXFLASH_MCU_TYPE_M, false, 1}}; };

  shooter.Shoot(false, none, [&](CFlashDlg&, CDialogProbe& probe, UpgraderScript&) {
    Settle();
    shooter.Note(probe.SaveDialogImage(shooter.Path("win32-loaded")), "win32-loaded");
  });
  // The loaded dialog in every language: its longest template texts and status text.
  std::vector<std::string> languages{""};
  for (const TextCatalog& catalog : TextCatalogs()) languages.emplace_back(catalog.language);
  for (const std::string& language : languages) {
    SetUiLanguage(language);
    const std::string name = "win32-lang-" + (language.empty() ? std::string("en") : language);
    shooter.Shoot(false, none, [&](CFlashDlg&, CDialogProbe& probe, UpgraderScript&) {
      Settle();
      shooter.Note(probe.SaveDialogImage(shooter.Path(name.c_str())), name.c_str());
    });
  }
  SetUiLanguage("");
  shooter.Shoot(false, blockProcessor, [&](CFlashDlg& dialog, CDialogProbe& probe, UpgraderScript& script) {
    WriteBlocks(dialog, script, [&] {
      Settle();
      shooter.Note(probe.SaveDialogImage(shooter.Path("win32-writing")), "win32-writing");
    });
  });
  struct End {
    const char* name;
    std::function<void(UpgraderScript&)> setUp;
  };
  for (const End& end : {End{"win32-success", none}, End{"win32-failed", [](UpgraderScript& s) { s.writeWholeResult = 0; }}}) {
    shooter.Shoot(false, end.setUp, [&](CFlashDlg& dialog, CDialogProbe& probe, UpgraderScript&) {
      probe.Click(IDOK);
      dialog.WaitForFlashingThread();
      Settle();
      shooter.Note(probe.SaveDialogImage(shooter.Path(end.name)), end.name);
    });
  }
  shooter.Shoot(false, none, [&](CFlashDlg&, CDialogProbe& probe, UpgraderScript&) {
    const std::string title = "About Quillon Device HID Firmware Upgrade";
    probe.SystemCommand(IDM_ABOUTBOX);
    const bool opened = probe.WaitForWindow(title);
    Settle();
    shooter.Note(opened && probe.SaveWindowImage(title, shooter.Path("win32-about")), "win32-about");
    probe.PressOk(title);
    probe.WaitForWindow(title, false);
  });
  shooter.Shoot(true, blockProcessor, [&](CFlashDlg& dialog, CDialogProbe& probe, UpgraderScript& script) {
    WriteBlocks(dialog, script, [&] {
      Settle();
      shooter.Note(probe.SaveProgressWindowImage(shooter.Path("win32-progress-window")), "win32-progress-window");
    });
  });
  return shooter.Ok() ? 0 : 1;
}
