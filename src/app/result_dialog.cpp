#include "app/result_dialog.h"

#include "resources/resource_ids.h"
#include "ui/dialog_utils.h"

INT_PTR ResultDialog::Show(HINSTANCE instance) {
  instance_ = instance;
  return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_RESULT), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK ResultDialog::DialogProc(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam) {
  return ForwardDialogMessage<ResultDialog>(window, message, wparam, lparam);
}

INT_PTR ResultDialog::OnInitDialog(HWND window) {
  HICON icon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_PROGRAM));
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  CenterWindow(window, nullptr);
  char title[1000];
  title[0] = 0;
  LoadStringA(GetModuleHandleA(nullptr), title_id_, title, sizeof title);
  SetWindowTextA(window, title);
  SetItemTextFromString(window, IDC_MESSAGE, message_id_);
  return 0;  // no default focus from the platform
}

INT_PTR ResultDialog::HandleMessage(HWND window, UINT message, WPARAM wparam,
                                    LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(window);
    case WM_CLOSE:
      EndDialog(window, 0);
      return 1;
    case WM_COMMAND:
      // Only OK (also Enter) ends it; Escape (IDCANCEL) does not.
      if (LOWORD(wparam) == IDOK) {
        EndDialog(window, 0);
        return 1;
      }
      return 0;
  }
  return 0;
}
