// Resource identifiers of TidewireSTM32Utility (shared by the resource
// script and the code, so plain #defines only).
#ifndef STM32_WIN_RESOURCE_H
#define STM32_WIN_RESOURCE_H

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDS_APP_TITLE 103
#define IDC_TIDEWIRESTM32UTILITY 109 // class name string, menu and accelerators
#define IDI_TIDEWIRESTM32UTILITY 106
#define IDD_ABOUTBOX 103
#define IDD_PREFERENCES 130
#define IDD_LOGPANEL 131
#define IDB_ABOUT 133

#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_PREFERENCES 32774
#define IDM_UPLOAD 32775
#define IDM_DOWNLOAD 32776
#define IDM_CLEARLOG 32778
#define IDM_CLEARLIST 32781
#define IDM_RECENT1 32785
#define IDM_RECENT2 32786
#define IDM_RECENT3 32787

// Preferences dialog
#define IDC_TARGETLIST 1000
#define IDC_OPTIONOFFSET 1001
#define IDC_OPTIONSIZE 1002
#define IDC_SIZELIMIT 1003
#define IDC_OFFSETLIMIT 1004
#define IDC_FLASHSTART 1005
#define IDC_OPTIONS 1006

// Log panel
#define IDC_STATUS 1008
#define IDC_LOG 1011

// About dialog
#define IDC_ABOUTTEXT 1013
#define IDC_ABOUTPICTURE 1014

#endif
