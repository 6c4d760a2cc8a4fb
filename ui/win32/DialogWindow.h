#pragma once
// Runs the main dialog as a Windows dialog: shows the window (or, in progress
// mode, only the progress window) and returns the dialog result once the
// dialog has ended.
class CFlashDlg;

int RunDialogWindow(CFlashDlg& dialog);
