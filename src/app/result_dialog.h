// The small modal dialog that reports an outcome: a title and a message,
// both from the string table, and an OK button.
#ifndef PATCHER_APP_RESULT_DIALOG_H
#define PATCHER_APP_RESULT_DIALOG_H

#include <windows.h>
#include <stdint.h>

class ResultDialog {
 public:
  ResultDialog(uint16_t title_id, uint16_t message_id)
      : title_id_(title_id), message_id_(message_id), instance_(nullptr) {}
  ~ResultDialog() {}

  // Runs the dialog, without an owner, until OK, Enter or the close box
  // ends it; 0 then, or the platform's failure value if it cannot be made.
  INT_PTR Show(HINSTANCE instance);

  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam,
                                     LPARAM lparam);
  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  INT_PTR OnInitDialog(HWND window);

  uint16_t title_id_;
  uint16_t message_id_;
  HINSTANCE instance_;  // set by Show: where the template and icon come from
};

#endif  // PATCHER_APP_RESULT_DIALOG_H
