#pragma once
// Resource and control numbers, shared by Dialog.rc and the C++ code. They are
// macros because the resource compiler understands nothing else.

// Dialog templates.
#define IDD_ABOUTBOX 100
#define IDD_FLASH_DIALOG 102
#define IDD_PROGRESS 135

// Icon of the main window and the about box.
#define IDR_MAINFRAME 133

// Controls of the main dialog (IDOK is Upgrade, IDCANCEL is Close).
#define IDC_STATUS 1000
#define IDC_PROGRESS 1001
#define IDC_VERSION 1003
#define IDC_VERSION_HIDDEN 1008
#define IDC_COMBO_HIDDEN 1009

// The about box's line of text.
#define IDC_ABOUT_TEXT 1010

// System-menu command that opens the about box.
#define IDM_ABOUTBOX 0x0010
