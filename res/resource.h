// Resource ids of the gateway: strings, menus, commands, icon and dialog.
#pragma once

// Strings
constexpr int IDS_SOCKETS_INIT_FAILED = 104;  // "Windows 通信端口初始化失败。"
constexpr int IDR_MAINFRAME = 128;            // application title; also main menu and icon id
constexpr int IDS_UNKNOWN_ERROR = 130;        // "未知程序错误"
constexpr int IDS_USAGE = 131;                // the usage text
constexpr int IDS_ONE_INSTANCE_ONLY = 133;    // "只能打开该程序的一个实例"
constexpr int IDR_TRAYMENU = 135;             // tray menu; also the tray icon id
constexpr int AFX_IDS_APP_TITLE = 57344;      // application title

// Dialog
constexpr int IDD_ABOUTBOX = 100;

// Commands
constexpr int ID_TRAY_RESTORE = 32779;
constexpr int ID_VIEW_HIDE = 32780;
constexpr int ID_VIEW_LOG_VALUE_CHANGES = 32782;
constexpr int ID_VIEW_LOG_VALUE_WRITES = 32783;
constexpr int ID_VIEW_LOG_GROUP_OPS = 32784;
constexpr int ID_FILE_CREATE_OPCSERVER = 32785;
constexpr int ID_FILE_DESTROY_OPCSERVER = 32786;
constexpr int ID_VIEW_LOG_ITEM_OPS = 32787;
constexpr int ID_HELP_USAGE = 32788;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_SC_MAXIMIZE = 61488;
