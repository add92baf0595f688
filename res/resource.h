// Resource ids of the Windows build, shared by the resource script and the shell.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN_PANEL 102
#define IDR_MAINFRAME 128
#define IDB_LOGO 130
#define IDM_ABOUTBOX 0x0010  // below the system's own commands, low four bits clear
#define IDC_LOGO 1015         // the Windows window's own control: the panel never names it

// Control ids for the script only: C++ takes them from panel/WindowOps.h.
#ifdef RC_INVOKED
#define IDC_STATIC -1
#define IDC_DIAPHRAGM_SLIDER 1000
#define IDC_NEW_VALUE 1001
#define IDC_PRECISION_1MM 1002
#define IDC_PRECISION_01MM 1003
#define IDC_PRECISION_001MM 1004
#define IDC_SCALE_MIN 1005
#define IDC_SCALE_MAX 1006
#define IDC_SET_STOP 1007
#define IDC_GOTO_14MM 1008
#define IDC_CURRENT_VALUE 1009
#define IDC_STATUS_LINE 1010
#define IDC_INIT 1011
#define IDC_PORT_LIST 1012
#define IDC_CONNECT 1013
#define IDC_AUTOCONNECT 1014
#endif
