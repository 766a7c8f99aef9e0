// Resource names and ids of the desktop program, shared by the resource script
// and the code.
#pragma once

#define KISTWERK_MENU "GenericMenu"
#define KISTWERK_ABOUT_DIALOG "ABOUTBOX"
#define KISTWERK_PROGRESS_DIALOG "PRINTDLG"
#define KISTWERK_ICON "KORVANIT"
#define KISTWERK_WINDOW_CLASS "KistwerkClass"
#define KISTWERK_TITLE "Kistwerk"

// Menu commands.
#define IDM_ABOUT 100
#define IDM_EXIT 101
#define IDM_CONVERT 2078

// Controls.
#define IDC_ABOUT_TEXT 2118
#define IDC_PROGRESS_CANVAS 1080
