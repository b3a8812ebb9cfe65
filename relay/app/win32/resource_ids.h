/* The relay dialog's resource and control numbers, for its resource script and its code. */
#ifndef TREVASK_RESOURCE_IDS_H
#define TREVASK_RESOURCE_IDS_H

#define IDD_ABOUTBOX 100
#define IDD_TREVASK_DIALOG 102
#define IDS_ABOUTBOX 101
#define IDM_ABOUTBOX 0x0010
#define IDR_MAINFRAME 128
#define IDB_ABOUT_BANNER 136
#define IDI_LINK_DOWN 140
#define IDI_LINK_UP 141
#define IDB_ABOUT_BADGE 151
#define IDB_BADGE 158

#define IDC_LINK_ICON 132
#define IDC_SERIAL_RADIO 1000
#define IDC_BLUETOOTH_RADIO 1001
#define IDC_BT_ADDRESS 1011
#define IDC_CONNECT 1012
#define IDC_STATUS 1014
#define IDC_ROBOT_ID 1016
#define IDC_FIRMWARE 1017
#define IDC_COM_PORT 1023
#define IDC_WIFI_RADIO 1024
#define IDC_IP_PORT 1025
#define IDC_IP_ADDRESS 1026
#define IDC_QUALITY 1028

#endif
