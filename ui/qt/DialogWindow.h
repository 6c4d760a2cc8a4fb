#pragma once
// Runs the main dialog with Qt widgets: creates the application object when
// there is none, shows the window (or, in progress mode, only the progress
// window), and returns the dialog result once the dialog has ended.
class CFlashDlg;

int RunDialogWindow(CFlashDlg& dialog);

// Stops the open dialog window's updates for good, so that the flashing thread
// never waits for a window whose display is gone. GUI thread.
void AbandonDialogWindow();
