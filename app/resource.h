// Resource ids, shared by brevlo.rc and the code.
#ifndef BREVLO_APP_RESOURCE_H
#define BREVLO_APP_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_IMPORT_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_PROGRESS 1001
#define IDC_TEXT 1002

// System-menu entry of the About box; system commands keep their low four bits clear.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
