// Numbers of the program's resources and of the dialog controls the code
// addresses, where the payload is, and the program the patch replaces.
// Shared by the resource scripts, the program, lzcx and the tests.
#ifndef PATCHER_RESOURCES_RESOURCE_IDS_H
#define PATCHER_RESOURCES_RESOURCE_IDS_H

#define IDD_MAIN 101
#define IDD_RESULT 106
#define IDI_PROGRAM 107  // icon group
// RCDATA: the payload forms the program reads (payload/forms.h), a 16-bit
// number each. A program without it reads stored and block entries only.
#define IDR_FORMS 108

// The payload: resource IDR_PAYLOAD of a type of its own, which a script
// names bare (PAYLOAD_TYPE) and code as the string PAYLOAD_TYPE_NAME,
// "FILE", in RESOURCE_LANGUAGE, the language of every resource.
#define IDR_PAYLOAD 105
#define PAYLOAD_TYPE FILE
#define RESOURCE_LANGUAGE 0x0409  // English (United States)
#define RESOURCE_TEXT_(token) #token
#define RESOURCE_TEXT(macro) RESOURCE_TEXT_(macro)
#define PAYLOAD_TYPE_NAME RESOURCE_TEXT(PAYLOAD_TYPE)

// The program the patch replaces: its file, as the scan looks for it, and
// the name of the payload's first entry (names compare in any case).
#define PROGRAM_FILE "Vusk.exe"
#define PROGRAM_ENTRY "vusk.exe"

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
