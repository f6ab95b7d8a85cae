// Resource ids of the Windows program's dialogs, icon and string table.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_QUILLON_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_PROGRESS 911
#define IDC_FILE_NAME 1000
#define IDC_BROWSE 1001
#define IDC_COM_LIST 1002
#define IDC_PROGRESS_BAR 2011
#define IDC_STATUS_TEXT 2012
#define IDM_ABOUTBOX 0x0010
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
