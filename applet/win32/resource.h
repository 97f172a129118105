// Resource and control identifiers of the applet's dialogs.
#pragma once

#define IDI_APPLET 1

#define IDD_SETTINGS 100
#define IDD_PAGE_WARNING 101
#define IDD_PAGE_MAIL 102
#define IDD_PAGE_VERINFO 103
#define IDD_PAGE_STATUS 104
#define IDD_PAGE_METRICS 105
#define IDD_LIMIT 110
#define IDD_MAILADDRESS 111
#define IDD_TESTMAIL_PROGRESS 112
#define IDD_TESTMAIL_RESULT 113

// Settings dialog (btnOK is IDOK, the default button).
#define IDC_BTN_CANCEL 1001
#define IDC_BTN_APPLY 1002
#define IDC_GROUP 1003
#define IDC_PAGECONTROL 1004
#define IDC_PAGE_FIRST 1005  // pages 1005 to 1009 (child dialogs)

// Page 1, tshetWarning.
#define IDC_LBL_LIMIT 1101
#define IDC_LSB_LIMITLIST 1102
#define IDC_CKB_ISMAILSEND 1103
#define IDC_LBL_INTERVAL 1104
#define IDC_EDT_INTERVAL 1105
#define IDC_UDN_INTERVAL 1106
#define IDC_LBL_PERHOUR 1107
#define IDC_BTN_LIMIT 1108
#define IDC_CKB_RECOVERYMAIL 1110
#define IDC_LBL_REMIND 1111
#define IDC_EDT_REMIND 1112
#define IDC_UDN_REMIND 1113
#define IDC_LBL_REMINDHOUR 1114

// Page 2, tshetMail.
#define IDC_LBL_SMTP 1201
#define IDC_EDT_SMTP 1202
#define IDC_LBL_PORT 1203
#define IDC_EDT_PORT 1204
#define IDC_UDN_PORT 1205
#define IDC_LBL_FROM 1206
#define IDC_EDT_FROM 1207
#define IDC_LBL_MAILTO 1208
#define IDC_LBX_TOLIST 1209
#define IDC_BTN_ADDTO 1210
#define IDC_BTN_DELETETO 1211
#define IDC_LBL_MAILCC 1212
#define IDC_LBX_CCLIST 1213
#define IDC_BTN_ADDCC 1214
#define IDC_BTN_DELETECC 1215
#define IDC_LBL_SECURITY 1216
#define IDC_CBX_SECURITY 1217
#define IDC_CKB_TLSVERIFY 1218
#define IDC_LBL_USER 1219
#define IDC_EDT_USER 1220
#define IDC_LBL_PASSWORD 1221
#define IDC_EDT_PASSWORD 1222
#define IDC_BTN_TESTMAIL 1223

// Page 3, tbsVerInfo.
#define IDC_PNL_VERINFO 1301

// Page 4, the last check's state.
#define IDC_LBL_STATUS_CHECKED 1701
#define IDC_BTN_STATUS_REFRESH 1702
#define IDC_LBL_STATUS_OUTCOME 1703
#define IDC_PNL_STATUS_DRIVES 1704
#define IDC_LBL_STATUS_MAIL 1705
#define IDC_LBL_STATUS_LASTDELIVERY 1706
#define IDC_LBL_STATUS_NOTICE 1707
#define IDC_LBL_STATUS_PENDING 1708
#define IDC_LBL_STATUS_HEARTBEAT 1709

// Page 5, the metrics file for the fleet's monitoring.
#define IDC_LBL_METRICS_DIR 1801
#define IDC_EDT_METRICS_DIR 1802
#define IDC_BTN_METRICS_BROWSE 1803
#define IDC_LBL_METRICS_NOTE 1804

// Threshold dialog (btnOK is IDOK, btnCancel IDCANCEL).
#define IDC_LIMIT_LABEL1 1401
#define IDC_LBL_DRIVE 1402
#define IDC_EDT_LIMIT 1403
#define IDC_CBX_UNIT 1404

// Address dialog (neither button is bound to Enter or Escape).
#define IDC_EDT_MAILADDRESS 1501
#define IDC_MAIL_BTN_OK 1502
#define IDC_MAIL_BTN_CANCEL 1503

// Pop-up menu items.
#define IDM_LIMIT 1601
#define IDM_ADDTO 1602
#define IDM_DELTO 1603
#define IDM_ADDCC 1604
#define IDM_DELCC 1605

// Test mail: the progress window and the outcome box.
#define IDC_TM_LABEL 1601
#define IDC_TM_CANCEL 1602
#define IDC_TM_OUTCOME 1603
#define IDC_TM_TRANSCRIPT 1604
