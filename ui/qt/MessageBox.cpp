#include "ui/qt/MessageBox.h"

#include <QMessageBox>
#include <cstdio>

#include "resources/Translation.h"
#include "ui/qt/Display.h"
#include "ui/qt/QtApp.h"

void ShowSystemModalMessage(const std::string& text) {
  // Only a real display has someone to click the box away; offscreen runs and
  // runs without a window system must never block on it.
  if (DetectDisplay() != DisplayKind::Real) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  CQtAppScope app;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(Tr("Error")), QString::fromStdString(text), QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.exec();
}
