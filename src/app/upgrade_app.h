// The application object: owns the scanner and the chosen path for the
// whole run, and controls the main dialog.
#ifndef PATCHER_APP_UPGRADE_APP_H
#define PATCHER_APP_UPGRADE_APP_H

#include <windows.h>
#include <stdint.h>

#include "platform/platform.h"
#include "scanner/target_scanner.h"

class UpgradeApp {
 public:
  UpgradeApp(HINSTANCE instance, const char* target_name);
  // Destroying the scanner stops a worker that still runs.
  ~UpgradeApp() {}

  // Runs the main dialog until it ends; the platform's result.
  INT_PTR Run();

  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam,
                                     LPARAM lparam);
  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // Makes `path` the chosen path and shows it.
  void TakePath(const char* path);
  void EnableControls(const int* ids, int count, BOOL enable);

 private:
  INT_PTR OnInitDialog(HWND window);
  INT_PTR OnScanOrStop();
  INT_PTR OnBrowse();
  INT_PTR OnPatch();
  INT_PTR OnScanTimer();
  void StopScan();
  void StopScanTimer();

  HINSTANCE instance_;
  HWND window_;
  char target_name_[platform::kPathBuffer];
  char chosen_path_[platform::kPathBuffer];
  TargetScanner scanner_;
  uint32_t timer_id_;  // nonzero exactly while the scan timer is set
};

#endif  // PATCHER_APP_UPGRADE_APP_H
