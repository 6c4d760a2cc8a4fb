#include "ui/qt/FlashWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QShortcut>
#include <algorithm>
#include <cmath>

#include "resources/StringTable.h"
#include "resources/Translation.h"
#include "ui/FlashDlg.h"

namespace {

// The dialog's font: 8-point sans-serif.
QFont DialogFont() {
  QFont font(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

// Template sizes in dialog units.
constexpr int kDialogWidth = 281;
constexpr int kDialogHeight = 74;
constexpr int kAboutWidth = 233;
constexpr int kAboutHeight = 60;
constexpr int kProgWidth = 200;
constexpr int kProgHeight = 22;
constexpr int kButtonWidth = 50;

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width of the Latin letters, as the platform's dialog manager measures it.
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  const double baseX = std::floor((letters / 26.0 + 1.0) / 2.0);
  m_x = baseX / 4.0;
  m_y = metrics.height() / 8.0;
}

QRect CDialogUnits::Rect(int left, int top, int width, int height) const {
  return {static_cast<int>(std::lround(left * m_x)), static_cast<int>(std::lround(top * m_y)),
          static_cast<int>(std::lround(width * m_x)), static_cast<int>(std::lround(height * m_y))};
}

QSize CDialogUnits::Size(int width, int height) const {
  return {static_cast<int>(std::lround(width * m_x)), static_cast<int>(std::lround(height * m_y))};
}

QIcon ApplicationIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(40, 90, 160));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(2, 2, 28, 28), 5, 5);
  // A downward arrow onto a bar: firmware going into the device.
  painter.setBrush(Qt::white);
  QPainterPath arrow;
  arrow.moveTo(13, 6);
  arrow.lineTo(19, 6);
  arrow.lineTo(19, 14);
  arrow.lineTo(24, 14);
  arrow.lineTo(16, 22);
  arrow.lineTo(8, 14);
  arrow.lineTo(13, 14);
  arrow.closeSubpath();
  painter.drawPath(arrow);
  painter.drawRect(QRectF(7, 24, 18, 3));
  painter.end();
  return QIcon(pixmap);
}

CColorStatic::CColorStatic(QWidget* parent) : QLabel(parent) {
  setWordWrap(true);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // The button-face background is the window colour of the current palette.
  setAutoFillBackground(true);
  SetTextColour(kBlack);
}

void CColorStatic::SetTextColour(Rgb colour) {
  m_textColour = colour;
  QPalette palette = this->palette();
  palette.setColor(QPalette::WindowText, QColor(colour.red, colour.green, colour.blue));
  palette.setColor(QPalette::Window, QGuiApplication::palette().color(QPalette::Button));
  setPalette(palette);
  repaint();
}

void ShowProgress(QProgressBar& bar, const CProgressBarModel& model) {
  // Qt draws a range of 0..0 as a busy indicator; the platform control shows an empty bar.
  if (model.Upper() == model.Lower()) {
    bar.setRange(0, 1);
    bar.setValue(0);
  } else {
    bar.setRange(model.Lower(), model.Upper());
    bar.setValue(model.Pos());
  }
}

CProg::CProg(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint) {
  setFont(DialogFont());
  const CDialogUnits units(font());
  setFixedSize(units.Size(kProgWidth, kProgHeight));
  if (parent) setWindowTitle(parent->windowTitle());
  m_bar = new QProgressBar(this);
  m_bar->setObjectName(QStringLiteral("progress1001"));
  m_bar->setTextVisible(false);
  m_bar->setGeometry(units.Rect(7, 5, kProgWidth - 14, 11));
}

void CProg::Start(std::uint16_t stepCount) {
  hide();
  m_model = CProgressBarModel();
  m_model.SetPos(0);
  m_model.SetRange(0, stepCount);
  m_model.SetStep(1);
  ShowProgress(*m_bar, m_model);
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  const QRect frame = frameGeometry();
  // Edges as the platform reports them: right and bottom lie just outside the window.
  const int right = frame.x() + frame.width();
  const int bottom = frame.y() + frame.height();
  move(area.width() / 2 - right / 2, area.height() - bottom / 2 - 150);
}

void CProg::Step() {
  show();
  m_model.StepIt();
  ShowProgress(*m_bar, m_model);
  repaint();
}

void CProg::closeEvent(QCloseEvent* event) { event->ignore(); }

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setFont(DialogFont());
  const CDialogUnits units(font());
  setWindowTitle(Text(AboutBoxCaption()));
  setWindowIcon(ApplicationIcon());
  setFixedSize(units.Size(kAboutWidth, kAboutHeight));
  auto* icon = new QLabel(this);
  icon->setPixmap(ApplicationIcon().pixmap(32, 32));
  icon->setGeometry(units.Rect(11, 17, 20, 20));
  auto* text = new QLabel(Text(AboutBoxText()), this);
  text->setObjectName(QStringLiteral("aboutText"));
  text->setGeometry(units.Rect(40, 14, 186, 20));
  text->setWordWrap(true);
  auto* ok = new QPushButton(Text(Tr("OK")), this);
  ok->setObjectName(QStringLiteral("aboutOk"));
  ok->setDefault(true);
  ok->setGeometry(units.Rect(176, 39, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

CFlashWindow::CFlashWindow(CFlashDlg& dialog)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_dialog(dialog) {
  setFont(DialogFont());
  const CDialogUnits units(font());
  setWindowTitle(Text(WindowTitle(kTemplateProductName)));
  setWindowIcon(ApplicationIcon());

  m_upgrade = new QPushButton(Text(Tr("Upgrade")), this);
  m_upgrade->setObjectName(QStringLiteral("upgrade1"));
  m_upgrade->setDefault(true);
  m_upgrade->setEnabled(false);

  m_close = new QPushButton(Text(Tr("Close")), this);
  m_close->setObjectName(QStringLiteral("close2"));
  m_close->setAutoDefault(false);

  // Buttons as wide as the longer of their translated texts needs, never
  // narrower than the template's; the window widens by what they gained.
  const int templateButton = units.Size(kButtonWidth, 0).width();
  const int buttonWidth = std::max({templateButton, m_upgrade->sizeHint().width(), m_close->sizeHint().width()});
  setFixedSize(units.Size(kDialogWidth, kDialogHeight) + QSize(buttonWidth - templateButton, 0));
  m_upgrade->setGeometry(units.Rect(224, 5, kButtonWidth, 14).adjusted(0, 0, buttonWidth - templateButton, 0));
  m_close->setGeometry(units.Rect(224, 25, kButtonWidth, 14).adjusted(0, 0, buttonWidth - templateButton, 0));

  m_status = new CColorStatic(this);
  m_status->setObjectName(QStringLiteral("status1000"));
  m_status->setText(Text(Tr("No device found!")));
  m_status->setGeometry(units.Rect(9, 23, 209, 29));

  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress1001"));
  m_progress->setTextVisible(false);
  m_progress->setGeometry(units.Rect(7, 56, 208, 11));
  ShowProgress(*m_progress, CProgressBarModel());

  m_version = new QLabel(Text(Tr("Current Version :")), this);
  m_version->setObjectName(QStringLiteral("version1003"));
  m_version->setGeometry(units.Rect(9, 6, 207, 13));
  m_version->setWordWrap(true);

  // Controls of the template that stay hidden.
  m_versionHidden = new QLabel(Text(Tr("Current Version :")), this);
  m_versionHidden->setGeometry(units.Rect(10, 7, 50, 12));
  m_versionHidden->hide();
  m_comboHidden = new QComboBox(this);
  m_comboHidden->setGeometry(units.Rect(73, 5, 146, 12));
  m_comboHidden->hide();

  connect(m_upgrade, &QPushButton::clicked, this, [this] { m_dialog.OnOK(); });
  connect(m_close, &QPushButton::clicked, this, &CFlashWindow::reject);

  // No system menu here: the about box is on the context menu and on F1.
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, &CFlashWindow::ShowAbout);
}

CFlashWindow::~CFlashWindow() { DestroyProgressWindow(); }

void CFlashWindow::ShowProgressModel(const CProgressBarModel& model) { ShowProgress(*m_progress, model); }

void CFlashWindow::StartProgressWindow(std::uint16_t stepCount) {
  DestroyProgressWindow();
  m_pProg = new CProg(this);
  m_pProg->Start(stepCount);
}

void CFlashWindow::StepProgressWindow() {
  if (m_pProg) m_pProg->Step();
}

void CFlashWindow::DestroyProgressWindow() { delete m_pProg.data(); }

void CFlashWindow::SetStatusText(const QString& text) {
  m_status->setText(text);
  FitHeight(*m_status);
}

// A longer text (a translation, a long product name or version list) makes
// room below its label rather than being cut: the controls under it move down
// and the window grows by as much.
void CFlashWindow::FitHeight(QLabel& label) {
  const int needed = label.heightForWidth(label.width());
  const int extra = needed - label.height();
  if (extra <= 0) return;
  // The controls under the label; the buttons beside it stay where they are.
  const QRect place = label.geometry();
  for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (child->y() > place.bottom() && child->x() < place.right()) child->move(child->x(), child->y() + extra);
  label.resize(label.width(), needed);
  setFixedSize(width(), height() + extra);
}

void CFlashWindow::SetVersionText(const QString& text) {
  m_versionHidden->hide();
  m_version->show();
  m_version->raise();
  m_version->setText(text);
  FitHeight(*m_version);
}

void CFlashWindow::RepaintAndShow() {
  repaint();
  showNormal();
}

void CFlashWindow::KeepHidden() {
  m_keepHidden = true;
  hide();
}

void CFlashWindow::setVisible(bool visible) {
  if (visible && m_keepHidden) return;
  QDialog::setVisible(visible);
}

void CFlashWindow::EndDialog(int result) {
  DestroyProgressWindow();
  done(result);
}

void CFlashWindow::reject() { m_dialog.OnCancel(); }

void CFlashWindow::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CFlashWindow::contextMenuEvent(QContextMenuEvent* event) {
  const std::string entry = LoadStringById(IDS_ABOUTBOX);
  if (entry.empty()) return;
  QMenu menu(this);
  QAction* about = menu.addAction(QString::fromStdString(entry));
  about->setShortcut(QKeySequence(Qt::Key_F1));
  connect(about, &QAction::triggered, this, &CFlashWindow::ShowAbout);
  menu.exec(event->globalPos());
}
