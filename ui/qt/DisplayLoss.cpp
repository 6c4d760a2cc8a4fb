#include "ui/qt/DisplayLoss.h"

#include <QString>
#include <atomic>
#include <cstdio>

namespace {

std::atomic<std::function<void()>*> g_hold = nullptr;
std::atomic<QtMessageHandler> g_previous = nullptr;
std::atomic<bool> g_held = false;

// Runs the hold at most once, however many ways the loss shows.
void Hold() {
  std::function<void()>* hold = g_hold.load();
  if (hold != nullptr && !g_held.exchange(true)) (*hold)();
}

// The messages with which Qt's display plugins announce the end they are
// about to make: a warning before exit() on X11, a fatal message on Wayland.
bool AnnouncesDisplayLoss(QtMsgType type, const QString& message) {
  return type == QtFatalMsg || message.startsWith(QStringLiteral("The X11 connection broke"));
}

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (const QtMessageHandler previous = g_previous.load())
    previous(type, context, message);
  else
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
  if (AnnouncesDisplayLoss(type, message)) Hold();
}

}  // namespace

CDisplayLossHold::CDisplayLossHold(std::function<void()> hold) : m_hold(std::move(hold)) {
  g_hold = &m_hold;
  m_previous = qInstallMessageHandler(OnQtMessage);
  g_previous = m_previous;
}

CDisplayLossHold::~CDisplayLossHold() {
  qInstallMessageHandler(m_previous);
  g_hold = nullptr;
}
