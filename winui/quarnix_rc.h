// Resource ids as plain macros for the resource script (the resource compiler reads no C++).
//
// They repeat res/resource.h, which the C++ code uses; winui/main_frame.cpp checks at compile
// time that both agree. Error rule, thread rule, ownership: none (constants).
#pragma once

#define QRC_IDD_ABOUTBOX 100
#define QRC_IDR_MAINFRAME 128
#define QRC_IDR_TRAYMENU 135
#define QRC_AFX_IDS_APP_TITLE 57344

#define QRC_ID_TRAY_RESTORE 32779
#define QRC_ID_VIEW_HIDE 32780
#define QRC_ID_VIEW_LOG_VALUE_CHANGES 32782
#define QRC_ID_VIEW_LOG_VALUE_WRITES 32783
#define QRC_ID_VIEW_LOG_GROUP_OPS 32784
#define QRC_ID_FILE_CREATE_OPCSERVER 32785
#define QRC_ID_FILE_DESTROY_OPCSERVER 32786
#define QRC_ID_VIEW_LOG_ITEM_OPS 32787
#define QRC_ID_HELP_USAGE 32788
#define QRC_ID_APP_ABOUT 57664
#define QRC_ID_APP_EXIT 57665

// The About box's static controls carry no id of their own.
#define QRC_IDC_STATIC (-1)
