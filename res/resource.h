// Resource IDs of VantorTool.exe (res/VantorTool.rc and ui/win32/).
#pragma once

#define IDR_MAINFRAME         128
#define IDD_ABOUTBOX          100
#define IDS_ABOUTBOX          101
#define IDD_VANTORTOOL_DIALOG 102

#define IDC_OPEN_FILE 1000
#define IDC_FILE_PATH 1001
#define IDC_GET_INFO  1002
#define IDC_DOWNLOAD  1003
#define IDC_TEXT_PANE 1004

// The system menu's About item (the low four bits stay free for the system).
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
