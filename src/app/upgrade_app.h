// The application object: owns the scanner, the chosen path and the
// patch's worker for the whole run, and controls the main dialog.
#ifndef PATCHER_APP_UPGRADE_APP_H
#define PATCHER_APP_UPGRADE_APP_H

#include <windows.h>
#include <stdint.h>

#include "payload/applier.h"
#include "platform/platform.h"
#include "scanner/target_scanner.h"

class UpgradeApp {
 public:
  UpgradeApp(HINSTANCE instance, const char* target_name);
  // Destroying the scanner stops a worker that still runs. A patch's
  // worker never outlives the dialog: the dialog ends only after it.
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
  INT_PTR OnPatchTimer();
  // The patch's outcome, as the result dialog says it; the dialog ends on
  // success.
  INT_PTR ShowOutcome(int patched);
  static uint32_t PatchMain(void* app);
  void StopScan();
  void StopScanTimer();

  // The small fields first, where the code reaches them in fewer bytes.
  HINSTANCE instance_;
  HWND window_;
  // Nonzero exactly while the scan timer is set; it polls a scan, or the
  // patch while one runs.
  uint32_t timer_id_;
  // The patch's worker, from Patch until the timer finds that it has ended;
  // the worker patches directory_, says in progress_ what it writes and
  // leaves its result in patched_.
  platform::ThreadHandle patch_;
  PatchProgress progress_;
  const char* shown_;  // the progress_.writing the path box shows
  int patched_;
  char target_name_[platform::kPathBuffer];
  char chosen_path_[platform::kPathBuffer];
  char directory_[platform::kPathBuffer];
  TargetScanner scanner_;
};

#endif  // PATCHER_APP_UPGRADE_APP_H
