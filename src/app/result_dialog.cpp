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

namespace {

// A child's rectangle in its dialog's client coordinates.
RECT ChildRect(HWND dialog, HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Grows the message control to the height its text needs, measured in the
// control's own font as the control breaks it into lines, and the dialog
// and the position of OK by the same amount. A message that fits leaves
// the template's layout as it is. `text` is a buffer of `size` bytes.
void FitMessage(HWND dialog, char* text, int size) {
  HWND message = GetDlgItem(dialog, IDC_MESSAGE);
  GetWindowTextA(message, text, size);
  RECT box = ChildRect(dialog, message);
  RECT need = {0, 0, box.right - box.left, 0};
  HDC dc = GetDC(message);
  HGDIOBJ own_font = reinterpret_cast<HGDIOBJ>(SendMessageA(message, WM_GETFONT, 0, 0));
  HGDIOBJ font = SelectObject(dc, own_font);
  DrawTextA(dc, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc, font);
  ReleaseDC(message, dc);
  const int grow = need.bottom - (box.bottom - box.top);
  if (grow <= 0) return;
  SetWindowPos(message, nullptr, 0, 0, box.right - box.left, need.bottom,
               SWP_NOMOVE | SWP_NOZORDER);
  HWND ok = GetDlgItem(dialog, IDOK);
  const RECT button = ChildRect(dialog, ok);
  SetWindowPos(ok, nullptr, button.left, button.top + grow, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  RECT frame;
  GetWindowRect(dialog, &frame);
  SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top + grow,
               SWP_NOMOVE | SWP_NOZORDER);
}

}  // namespace

INT_PTR ResultDialog::OnInitDialog(HWND window) {
  HICON icon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_PROGRAM));
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  // The title, of at most 999 characters, then the message in the same
  // buffer.
  char text[2048];
  text[0] = 0;
  LoadStringA(GetModuleHandleA(nullptr), title_id_, text, 1000);
  SetWindowTextA(window, text);
  SetItemTextFromString(window, IDC_MESSAGE, message_id_);
  // Centred once it has its final size.
  FitMessage(window, text, sizeof text);
  CenterWindow(window, nullptr);
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
