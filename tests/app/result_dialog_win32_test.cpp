// ResultDialog shown in this process and driven from a second thread, the
// way a user drives it: read what it shows, press Escape (it must stay),
// then close it one of the ways that must close it.
#include "app/result_dialog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "resources/resource_ids.h"

namespace {

enum Closing { kOkButton, kEnterKey, kCloseBox, kSystemClose };

// Everything the driving thread saw.
struct Observation {
  Closing closing;
  const char* caption_wanted;
  bool found = false;
  std::string caption, message;
  RECT rect = {};
  bool open_after_escape = false;
  // In the dialog's client coordinates: the message control, OK, the
  // client area, and the template's places of the first two.
  RECT message_box = {}, ok = {}, client = {}, template_message = {}, template_ok = {},
       template_client = {};
  int text_height = 0;  // of the message, broken as the control breaks it
};

RECT ChildRect(HWND dialog, int id) {
  RECT r;
  GetWindowRect(GetDlgItem(dialog, id), &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// In pixels, as the dialog manager converts a control's place and size:
// each of the four numbers on its own.
RECT DialogUnits(HWND dialog, int x, int y, int width, int height) {
  RECT r = {x, y, width, height};
  MapDialogRect(dialog, &r);
  return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}

void Measure(HWND dialog, Observation* o) {
  HWND message = GetDlgItem(dialog, IDC_MESSAGE);
  o->message_box = ChildRect(dialog, IDC_MESSAGE);
  o->ok = ChildRect(dialog, IDOK);
  GetClientRect(dialog, &o->client);
  o->template_message = DialogUnits(dialog, 51, 14, 115, 24);
  o->template_ok = DialogUnits(dialog, 110, 50, 50, 14);
  o->template_client = DialogUnits(dialog, 0, 0, 186, 76);
  RECT need = {0, 0, o->message_box.right - o->message_box.left, 0};
  HDC dc = GetDC(message);
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(message, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font);
  DrawTextA(dc, o->message.c_str(), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(message, dc);
  o->text_height = need.bottom;
}

HWND WaitForWindow(const char* caption) {
  for (int i = 0; i < 500; ++i) {
    HWND w = FindWindowA(nullptr, caption);
    if (w && IsWindowVisible(w)) return w;
    Sleep(10);
  }
  return nullptr;
}

DWORD WINAPI Drive(LPVOID p) {
  Observation* o = static_cast<Observation*>(p);
  HWND dialog = WaitForWindow(o->caption_wanted);
  if (!dialog) return 0;
  o->found = true;
  char text[2048];
  SendMessageA(dialog, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  o->caption = text;
  SendMessageA(GetDlgItem(dialog, IDC_MESSAGE), WM_GETTEXT, sizeof text,
               reinterpret_cast<LPARAM>(text));
  o->message = text;
  GetWindowRect(dialog, &o->rect);
  Measure(dialog, o);

  PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(dialog, WM_KEYUP, VK_ESCAPE, 0);
  Sleep(300);
  o->open_after_escape = IsWindow(dialog) && IsWindowVisible(dialog);

  switch (o->closing) {
    case kOkButton:
      PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
      break;
    case kEnterKey:
      PostMessageA(dialog, WM_KEYDOWN, VK_RETURN, 0);
      break;
    case kCloseBox:
      PostMessageA(dialog, WM_CLOSE, 0, 0);
      break;
    case kSystemClose:  // Alt+F4, or Close on the system menu
      PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
  }
  return 1;
}

// Shows the dialog while the driver works on it; Show's result.
INT_PTR ShowDriven(uint16_t title, uint16_t message, Observation* o) {
  HANDLE driver = CreateThread(nullptr, 0, Drive, o, 0, nullptr);
  INT_PTR shown = ResultDialog(title, message).Show(GetModuleHandleA(nullptr));
  WaitForSingleObject(driver, INFINITE);
  CloseHandle(driver);
  return shown;
}

TEST(ResultDialog, ShowsTitleAndMessageAndClosesOnlyTheRightWays) {
  const char* const closing_names[] = {"OK", "Enter", "close box", "system menu Close"};
  for (Closing closing : {kOkButton, kEnterKey, kCloseBox, kSystemClose}) {
    Observation o;
    o.closing = closing;
    o.caption_wanted = "Error!";
    EXPECT_EQ(ShowDriven(IDS_ERROR, IDS_SCAN_FAILED, &o), 0) << closing_names[closing];
    ASSERT_TRUE(o.found);
    EXPECT_EQ(o.caption, "Error!");
    EXPECT_EQ(o.message,
              "The scan failed to turn up anything!  Did you uninstall or change its name?");
    EXPECT_TRUE(o.open_after_escape) << closing_names[closing];
    // Centred on the screen (the dialog has no owner).
    const int w = o.rect.right - o.rect.left, h = o.rect.bottom - o.rect.top;
    EXPECT_EQ(o.rect.left, (GetSystemMetrics(SM_CXSCREEN) - w) / 2);
    EXPECT_EQ(o.rect.top, (GetSystemMetrics(SM_CYSCREEN) - h) / 2);
  }
}

TEST(ResultDialog, SuccessTitleReplacesTheTemplateCaption) {
  Observation o;
  o.closing = kOkButton;
  o.caption_wanted = "Patch Successful!";
  EXPECT_EQ(ShowDriven(IDS_PATCH_SUCCESSFUL, IDS_PATCHED, &o), 0);
  ASSERT_TRUE(o.found);
  EXPECT_EQ(o.caption, "Patch Successful!");
  EXPECT_EQ(o.message, "Tessaline was successfully patched!");
}

bool operator==(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != 0; }

// Every message is wholly visible: a long one grows the control to its
// measured height, and the dialog and OK move with it; one that fits keeps
// the template's layout exactly.
TEST(ResultDialog, MessageControlGrowsToShowTheWholeMessage) {
  const struct {
    uint16_t message;
    bool grows;
  } cases[] = {{IDS_PATCH_FAILED, true}, {IDS_SCAN_FAILED, false}, {IDS_PATCHED, false}};
  for (const auto& c : cases) {
    Observation o;
    o.closing = kOkButton;
    o.caption_wanted = "Error!";
    ShowDriven(IDS_ERROR, c.message, &o);
    ASSERT_TRUE(o.found) << c.message;
    const int template_height = o.template_message.bottom - o.template_message.top;
    ASSERT_EQ(o.text_height > template_height, c.grows) << c.message;
    const int grow = c.grows ? o.text_height - template_height : 0;
    RECT message = o.template_message, ok = o.template_ok, client = o.template_client;
    message.bottom += grow;
    OffsetRect(&ok, 0, grow);
    client.bottom += grow;
    EXPECT_TRUE(o.message_box == message) << c.message;
    EXPECT_TRUE(o.ok == ok) << c.message;
    EXPECT_EQ(o.client.bottom, client.bottom) << c.message;
    const int w = o.rect.right - o.rect.left, h = o.rect.bottom - o.rect.top;
    EXPECT_EQ(o.rect.top, (GetSystemMetrics(SM_CYSCREEN) - h) / 2) << c.message;
    EXPECT_EQ(o.rect.left, (GetSystemMetrics(SM_CXSCREEN) - w) / 2) << c.message;
  }
}

TEST(ResultDialog, FailsWithoutATemplate) {
  // A module without dialog 106: the platform's failure value, nothing shown.
  ResultDialog dialog(IDS_ERROR, IDS_PATCH_FAILED);
  EXPECT_EQ(dialog.Show(GetModuleHandleA("kernel32.dll")), -1);
}

}  // namespace
