#pragma once
// The desktop windows of the updater in Qt Widgets: the main dialog's window
// (CFlashWindow) with its coloured status text (CColorStatic), the separate
// progress window (CProg) and the about box (CAboutDlg). Widgets are touched
// on the GUI thread only; the controller reaches them through CQtSurface.
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <cstdint>

#include "platform/ProgressSurface.h"
#include "ui/ProgressBarModel.h"

class CFlashDlg;
class QComboBox;

// Converts dialog units of a template to pixels for the dialog's font.
class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);
  QRect Rect(int left, int top, int width, int height) const;
  QSize Size(int width, int height) const;

 private:
  double m_x;  // pixels per horizontal dialog unit
  double m_y;  // pixels per vertical dialog unit
};

// Status text whose colour the controller sets; the background is the button face.
class CColorStatic : public QLabel {
  Q_OBJECT
 public:
  explicit CColorStatic(QWidget* parent);
  void SetTextColour(Rgb colour);
  Rgb TextColour() const { return m_textColour; }

 private:
  Rgb m_textColour = kBlack;
};

// Shows a progress bar model, without the busy animation an empty range would give.
void ShowProgress(QProgressBar& bar, const CProgressBarModel& model);

// The progress window of progress mode: one progress bar (control 1001).
class CProg : public QWidget {
  Q_OBJECT
 public:
  explicit CProg(QWidget* parent);
  // Hidden, bar at 0 of `stepCount`, placed centred horizontally with its
  // vertical centre 150 pixels above the bottom of the screen.
  void Start(std::uint16_t stepCount);
  // Shows the window and advances its bar by one step.
  void Step();
  QProgressBar* Bar() const { return m_bar; }
  const CProgressBarModel& Model() const { return m_model; }

 protected:
  // It reports progress only: closing it is left to the run.
  void closeEvent(QCloseEvent* event) override;

 private:
  QProgressBar* m_bar;
  CProgressBarModel m_model;
};

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent);
};

class CFlashWindow : public QDialog {
  Q_OBJECT
 public:
  explicit CFlashWindow(CFlashDlg& dialog);
  ~CFlashWindow() override;

  QPushButton* UpgradeButton() const { return m_upgrade; }
  QPushButton* CloseButton() const { return m_close; }
  CColorStatic* Status() const { return m_status; }
  QProgressBar* Progress() const { return m_progress; }
  QLabel* VersionLine() const { return m_version; }
  CProg* ProgressWindow() const { return m_pProg.data(); }

  void ShowProgressModel(const CProgressBarModel& model);
  void StartProgressWindow(std::uint16_t stepCount);
  void StepProgressWindow();
  void DestroyProgressWindow();
  // The status text and the version line; the window grows where a text
  // needs more lines than its control has.
  void SetStatusText(const QString& text);
  void SetVersionText(const QString& text);
  // Repaints now, then shows the window unless it is kept hidden.
  void RepaintAndShow();
  // Silent mode: the window can never be shown from now on.
  void KeepHidden();
  void EndDialog(int result);
  void ShowAbout();

  void setVisible(bool visible) override;

 public slots:
  // Escape, the close box and Close: the dialog ends with Cancel in every state.
  void reject() override;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void FitHeight(QLabel& label);

  CFlashDlg& m_dialog;
  QPushButton* m_upgrade;
  QPushButton* m_close;
  CColorStatic* m_status;
  QProgressBar* m_progress;
  QLabel* m_version;
  QLabel* m_versionHidden;
  QComboBox* m_comboHidden;
  QPointer<CProg> m_pProg;
  bool m_keepHidden = false;
};

// The window icon (icon 133), drawn rather than loaded.
QIcon ApplicationIcon();
