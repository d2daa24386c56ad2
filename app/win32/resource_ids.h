#pragma once
// Resource ids of the Windows program, shared by corvanta.rc and the code
// (plain #defines: the resource compiler reads this file too).
#define IDS_APP_TITLE 103   // "Corvanta Controller", the window title
#define IDS_CLASS_NAME 109  // "QUOREL", the window-class name
#define IDC_ACCELERATORS 109
#define IDM_MAIN_MENU 109   // defined, never attached
#define IDD_ABOUTBOX 103
#define IDI_CLASS_ICON 107  // 32, 16, 48 and 256 px
#define IDI_SMALL_ICON 108  // 16 x 16
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDC_ABOUT_ICON 2
#define IDC_STATIC_TEXT -1
// The settings dialog and its fields; its command, on the system menu and
// the picture's context menu (a system command: below 0xF000, low four bits
// clear).
#define IDD_SETTINGS 110
#define IDC_SETTINGS_PORT 1101
#define IDC_SETTINGS_BAUD 1102
#define IDC_SETTINGS_FLOW 1103
#define IDM_SETTINGS 0x0110
// The PIN dialog (not modal) and its fields; "Forget device's key...", on
// the system menu and the picture's context menu (a system command too).
#define IDD_PIN 111
#define IDC_PIN_QUESTION 1111
#define IDC_PIN_FIELD 1112
#define IDC_PIN_REMEMBER 1113
#define IDM_FORGET_KEY 0x0120
