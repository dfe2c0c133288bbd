// Resource and control identifiers shared by the .rc file and the windows.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_MAIN 141
#define IDD_CONFIRM 142
#define IDB_INFORMATION 152
#define IDB_QUESTION 153
#define IDB_WARNING 154
#define IDB_ERROR 155
#define IDB_SKIN 156

// Main window (template 141)
#define IDC_OK 1070
#define IDC_SCAN 1052
#define IDC_DOWNLOAD 1053
#define IDC_X 1054
#define IDC_RESULTS 1055
#define IDC_SCAN_FRAME 1064
#define IDC_STATUS 1065
#define IDC_SUBTITLE 1068
#define IDC_NOTICE 1072
#define IDC_TITLE 1074
#define IDC_FOOTER 1075
#define IDC_SEARCHING 1076
#define IDC_DLINK 1077
#define IDC_ULINK 1080
#define IDC_LOGO 1085
#define IDC_LIST_FRAME 1034

// Confirmation box (template 142)
#define IDC_CONFIRM_ICON 1085
#define IDC_CONFIRM_TEXT 1086
#define IDC_CONFIRM_OK 3
#define IDC_CONFIRM_YES 6
#define IDC_CONFIRM_NO 7

#ifndef ID_HELP
#define ID_HELP 0xE146
#endif
