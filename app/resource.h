// Identifiers shared by zarvek.rc and the program's code.
// The menu is the named resource "IDR_MAINMENU", so it has no number here.
#pragma once

#define IDD_ABOUT 105
#define IDB_LOGO 106
#define IDD_COMMSETUP 107
#define IDI_APPICON 110
#define IDR_ACCEL 122

#define IDC_COMM_OK 1010
#define IDC_ABOUT_OK 1012
#define IDC_RETRY_VALUE 1014
#define IDC_PORT_COM2 1023
#define IDC_SPEED_SHOWN 1024
#define IDC_PORT_SHOWN 1025
#define IDC_PORT_COM1 1026
#define IDC_PORT_COM3 1027
#define IDC_PORT_COM4 1028
#define IDC_SPEED_9600 1029
#define IDC_SPEED_19200 1030
#define IDC_SPEED_115200 1031
#define IDC_SPEED_57600 1032
#define IDC_RETRY_SLIDER 1045
#define IDC_PORT_LIST 1046
#define IDC_SPEED_230400 1047
#define IDC_SPEED_460800 1048
#define IDC_SPEED_921600 1049

#define ID_ACTION_SEND 40001
#define ID_ACTION_RECEIVE 40002
#define ID_ACTION_EXIT 40003
#define ID_SETUP_COMMSETUP 40004
#define ID_HELP_ABOUT 40005
#define ID_HELP_CONTENTS 40006
#define ID_ACTION_ABORT 40009
#define ID_SETUP_RECEIVEFOLDER 40010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
