// Resource ids of the log viewer.
#pragma once

#define IDD_MAINDLG 102
#define IDC_LOG_VIEW 204
#define IDC_SAVE_LOG 205
