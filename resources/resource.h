// Resource and control ids. Id 132 names the icon group, the tip string and the tray menu at once.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_QUILLORY_DIALOG 102
#define IDD_WELCOME 130
#define IDR_MAINFRAME 132
#define IDD_WILDCARD 135

#define IDC_SEND_TIME 1000
#define IDC_SERVER_EDIT 1001
#define IDC_LOGIN_EDIT 1002
#define IDC_PASSWORD_EDIT 1003
#define IDC_DIRECTORY_EDIT 1004
#define IDC_BACKUP_LIST 1005
#define IDC_WELCOME_TEXT 1010
#define IDC_AUTORUN_CHECK 1011
#define IDC_PROGRESS 1012
#define IDC_WILDCARD_EDIT 1018

#define IDC_ADD_FILES 3
#define IDC_REMOVE_ITEM 4
#define IDC_REMOVE_ALL 5
#define IDC_APPLY_SETTINGS 6
#define IDC_SHUTDOWN 7
#define IDC_ADD_WILDCARD 8
#define IDC_TEST_SETTINGS 9

#define ID_ABOUT 16
#define ID_TRAY_SHOW 32771
#define ID_TRAY_HIDE 32772
#define ID_TRAY_SHUTDOWN 32774

#define IDR_MANIFEST 1
