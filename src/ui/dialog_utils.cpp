#include "ui/dialog_utils.h"

#include <commdlg.h>
#include <string.h>

#include "ui/path_utils.h"

namespace {
HINSTANCE g_instance = nullptr;  // written once, before the first dialog
}

void SetAppInstance(HINSTANCE instance) { g_instance = instance; }
HINSTANCE AppInstance() { return g_instance; }

int CenterWindow(HWND window, HWND reference) {
  if (!reference) reference = GetParent(window);
  if (!reference) reference = GetDesktopWindow();
  if (!reference) return 0;

  RECT w, r;
  GetWindowRect(window, &w);
  GetWindowRect(reference, &r);
  HDC dc = GetDC(window);
  const int screen_width = GetDeviceCaps(dc, HORZRES);
  const int screen_height = GetDeviceCaps(dc, VERTRES);
  ReleaseDC(window, dc);

  int x, y;
  CenteredPosition(ScreenRect{w.left, w.top, w.right, w.bottom},
                   ScreenRect{r.left, r.top, r.right, r.bottom}, screen_width,
                   screen_height, &x, &y);
  return SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

int ChooseFile(char* path, char* name, int capacity, int open, const char* filter,
               const char* default_extension, const char* title,
               const char* initial_directory, HWND owner) {
  // Empty fields for the dialog; never more than the caller's buffers.
  const size_t clear = capacity < MAX_PATH ? static_cast<size_t>(capacity) : MAX_PATH;
  memset(path, 0, clear);
  memset(name, 0, clear);

  OPENFILENAMEA ofn;
  memset(&ofn, 0, sizeof ofn);
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;  // 76: the classic form
  ofn.hwndOwner = owner;
  ofn.hInstance = g_instance;
  ofn.lpstrFilter = filter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = path;
  ofn.nMaxFile = capacity;
  ofn.lpstrFileTitle = name;
  ofn.nMaxFileTitle = capacity;
  ofn.lpstrInitialDir = initial_directory;
  ofn.lpstrTitle = title;
  ofn.lpstrDefExt = default_extension;
  ofn.lCustData = 1;
  if (open) {
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    return GetOpenFileNameA(&ofn);
  }
  ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
  return GetSaveFileNameA(&ofn);
}

void SetItemTextFromString(HWND dialog, int control_id, int string_id) {
  char text[2048];
  text[0] = 0;  // an id without a string shows as empty
  LoadStringA(GetModuleHandleA(nullptr), string_id, text, sizeof text);
  SetDlgItemTextA(dialog, control_id, text);
}
