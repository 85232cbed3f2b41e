// Numbers of the program's resources and of the dialog controls the code
// addresses. Shared by the resource script and the code.
#ifndef PATCHER_RESOURCES_RESOURCE_IDS_H
#define PATCHER_RESOURCES_RESOURCE_IDS_H

#define IDD_MAIN 101
#define IDD_RESULT 106
#define IDR_PAYLOAD 105  // type "FILE"
#define IDI_PROGRAM 107  // icon group

// The predefined window classes, as dialog templates store them.
#define CLASS_BUTTON 0x0080
#define CLASS_EDIT 0x0081
#define CLASS_STATIC 0x0082

// Main dialog.
#define IDC_INTRO 1000
#define IDC_SCAN 1001
#define IDC_BROWSE 1002
#define IDC_PATH 1003
#define IDC_PATCH 1004
#define IDC_PATH_LABEL 1006
// Result dialog.
#define IDC_MESSAGE 1007

// String table.
#define IDS_STOP 1
#define IDS_SCAN 2
#define IDS_PATCHED 3
#define IDS_PATCH_FAILED 4
#define IDS_PATCH_SUCCESSFUL 5
#define IDS_ERROR 6
#define IDS_SCAN_FAILED 7

#endif  // PATCHER_RESOURCES_RESOURCE_IDS_H
