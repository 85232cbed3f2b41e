// What the dialogs share: the process instance handle, centring, the
// common open-file dialog, and string-table texts for dialog items.
#ifndef PATCHER_UI_DIALOG_UTILS_H
#define PATCHER_UI_DIALOG_UTILS_H

#include <windows.h>

// Records the program's instance handle; set once, first thing at start.
void SetAppInstance(HINSTANCE instance);
HINSTANCE AppInstance();

// Centres `window` over `reference` (or, if null, its parent, or else the
// desktop) and keeps it on the screen. Zero when there is nothing to
// centre over; otherwise the result of the move.
int CenterWindow(HWND window, HWND reference);

// Runs the open-file (open != 0) or save-file dialog. `path` receives the
// full path and `name` the file name; both are emptied first. Nonzero when
// the user confirmed a file.
int ChooseFile(char* path, char* name, int capacity, int open, const char* filter,
               const char* default_extension, const char* title,
               const char* initial_directory, HWND owner);

// Puts string-table entry `string_id` of the program into control
// `control_id` of `dialog`.
void SetItemTextFromString(HWND dialog, int control_id, int string_id);

// The dialog procedure of a dialog class T: at WM_INITDIALOG it stores the
// creation parameter (the T that runs the dialog) in the window's user-data
// slot; every message from then on goes to that object's HandleMessage.
// Messages that come before it go to the default window procedure.
template <class T>
INT_PTR ForwardDialogMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrA(window, GWLP_USERDATA, lparam);
  T* self = reinterpret_cast<T*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self) return self->HandleMessage(window, message, wparam, lparam);
  return DefWindowProcA(window, message, wparam, lparam);
}

#endif  // PATCHER_UI_DIALOG_UTILS_H
