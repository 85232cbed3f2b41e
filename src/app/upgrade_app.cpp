#include "app/upgrade_app.h"

#include <string.h>

#include "app/result_dialog.h"
#include "payload/applier.h"
#include "resources/resource_ids.h"
#include "ui/dialog_utils.h"
#include "ui/path_utils.h"

namespace {

const UINT_PTR kScanTimer = 123;
const UINT kScanTimerPeriod = 40;  // milliseconds

// The buttons a running patch disables (the first three), and the controls
// that stay disabled until a path has been taken (the last three).
const int kControls[] = {IDC_SCAN, IDC_BROWSE, IDC_PATCH, IDC_PATH_LABEL, IDC_PATH};
const int* const kButtons = kControls;
const int* const kPathControls = kControls + 2;
const int kControlCount = 3;

void CopyPath(char* to, const char* from) {
  size_t n = strlen(from);
  if (n > platform::kPathBuffer - 1u) n = platform::kPathBuffer - 1u;
  memcpy(to, from, n);
  to[n] = 0;
}

}  // namespace

// The scanner is constructed before the body sets the other fields.
UpgradeApp::UpgradeApp(HINSTANCE instance, const char* target_name) {
  instance_ = instance;
  window_ = nullptr;
  CopyPath(target_name_, target_name);
  chosen_path_[0] = 0;
  timer_id_ = 0;
  patch_ = nullptr;
}

INT_PTR UpgradeApp::Run() {
  return DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK UpgradeApp::DialogProc(HWND window, UINT message, WPARAM wparam,
                                        LPARAM lparam) {
  return ForwardDialogMessage<UpgradeApp>(window, message, wparam, lparam);
}

INT_PTR UpgradeApp::HandleMessage(HWND window, UINT message, WPARAM wparam,
                                  LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(window);
    // WM_CLOSE (the close box) is left to the default, which posts
    // IDCANCEL as Escape does; WM_QUERYENDSESSION too, which agrees: a
    // shutdown is never held up, and the next run finishes or undoes a
    // patch it interrupts.
    case WM_COMMAND:
      // While a patch runs its buttons are disabled, and neither Escape nor
      // the close box ends the dialog under it.
      if (patch_) return 1;
      switch (LOWORD(wparam)) {
        case IDCANCEL:
          EndDialog(window_, 0);
          return 1;
        case IDC_SCAN:
          return OnScanOrStop();
        case IDC_BROWSE:
          return OnBrowse();
        case IDC_PATCH:
          return OnPatch();
      }
      return 0;  // IDOK and everything else: nothing
    case WM_TIMER:
      if (timer_id_ && LOWORD(wparam) == timer_id_)
        return patch_ ? OnPatchTimer() : OnScanTimer();
      return 0;
  }
  return 0;
}

INT_PTR UpgradeApp::OnInitDialog(HWND window) {
  window_ = window;
  HICON icon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_PROGRAM));
  SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  CenterWindow(window_, nullptr);
  EnableControls(kPathControls, kControlCount, FALSE);
  return 0;  // no default focus from the platform
}

// Scan/Stop: the scanner's running flag decides, not the button's text.
INT_PTR UpgradeApp::OnScanOrStop() {
  if (scanner_.running()) {
    StopScan();
    return 0;
  }
  if (!scanner_.Start(target_name_)) return 0;
  SetItemTextFromString(window_, IDC_SCAN, IDS_STOP);
  timer_id_ = static_cast<uint32_t>(SetTimer(window_, kScanTimer, kScanTimerPeriod, nullptr));
  return 0;
}

// Stops a scan: the timer, then the worker (Stop returns once it has
// ended), then the button's label.
void UpgradeApp::StopScan() {
  StopScanTimer();
  scanner_.Stop();
  SetItemTextFromString(window_, IDC_SCAN, IDS_SCAN);
}

INT_PTR UpgradeApp::OnBrowse() {
  // A scan is stopped first, here and not through command 1001, whose
  // handler would read the running flag again and start a new scan if the
  // worker ended in between. One that ended by itself but whose timer has
  // not ticked yet is stopped too: no report comes up under the open-file
  // dialog.
  if (scanner_.running() || timer_id_) StopScan();
  char path[platform::kPathBuffer];
  char name[platform::kPathBuffer];
  // No worker runs now, so the progress directory is read without the lock.
  // "exe", not "*.exe": typing Vusk must find Vusk.exe.
  if (!ChooseFile(path, name, platform::kPathBuffer, 1, "Programs (*.exe)\0*.exe\0",
                  "exe", "Find Vusk.exe...", scanner_.progress_directory(), window_))
    return 0;
  TakePath(path);
  return 1;
}

// Starts the patch on a worker; the scan timer then polls it. A scan is
// stopped first, as Browse stops it.
INT_PTR UpgradeApp::OnPatch() {
  if (scanner_.running() || timer_id_) StopScan();
  // The box keeps the chosen path until the patch names its first file.
  progress_.writing = shown_ = chosen_path_;
  // No path taken yet (the button is disabled then, but a WM_COMMAND can
  // still come), or one without a directory part: a failed patch, never a
  // write into the current directory or whatever the buffer held.
  if (!chosen_path_[0] || !DirectoryOfPath(chosen_path_, directory_) ||
      !(patch_ = platform::StartThread(&UpgradeApp::PatchMain, this, nullptr)))
    return ShowOutcome(0);
  EnableControls(kButtons, kControlCount, FALSE);
  timer_id_ = static_cast<uint32_t>(SetTimer(window_, kScanTimer, kScanTimerPeriod, nullptr));
  return 0;
}

uint32_t UpgradeApp::PatchMain(void* app) {
  UpgradeApp* self = static_cast<UpgradeApp*>(app);
  self->patched_ = PatchApplier(self->directory_, &self->progress_);
  return 0;
}

// One tick of a patch: the path box follows the file being written (set
// only when that changes), and shows the chosen path again once the worker
// has ended; then the outcome. (A failed query of the thread takes it for
// ended: the release waits.)
INT_PTR UpgradeApp::OnPatchTimer() {
  int ended = 0;
  const int running = platform::ThreadHasEnded(patch_, &ended) && !ended;
  const char* text = running ? progress_.writing : chosen_path_;
  if (text != shown_) SetDlgItemTextA(window_, IDC_PATH, shown_ = text);
  if (running) return 0;
  platform::ReleaseThread(patch_);
  patch_ = nullptr;
  StopScanTimer();
  EnableControls(kButtons, kControlCount, TRUE);
  return ShowOutcome(patched_);
}

INT_PTR UpgradeApp::ShowOutcome(int patched) {
  if (!patched) {
    ResultDialog(IDS_ERROR, IDS_PATCH_FAILED).Show(instance_);
    return 0;
  }
  ResultDialog(IDS_PATCH_SUCCESSFUL, IDS_PATCHED).Show(instance_);
  EndDialog(window_, 0);
  return 1;
}

// One tick of a scan: found, still running, or ended without a find, in
// that order. The running flag is read before the found path: the worker
// publishes a hit before it clears the flag, so a cleared flag read first
// guarantees the hit is seen. (Read the other way round, a hit landing
// between the two reads would be reported as a scan that found nothing.)
INT_PTR UpgradeApp::OnScanTimer() {
  const bool running = scanner_.running();
  char found[platform::kPathBuffer];
  if (scanner_.CopyFoundPath(found)) {
    TakePath(found);
    StopScanTimer();
    SetItemTextFromString(window_, IDC_SCAN, IDS_SCAN);
  } else if (running) {
    platform::LockHeld held(scanner_.lock());
    SetDlgItemTextA(window_, IDC_PATH, scanner_.progress_directory());
  } else {
    StopScanTimer();
    SetItemTextFromString(window_, IDC_SCAN, IDS_SCAN);
    ResultDialog(IDS_ERROR, IDS_SCAN_FAILED).Show(instance_);
  }
  return 0;
}

void UpgradeApp::StopScanTimer() {
  if (!timer_id_) return;
  KillTimer(window_, timer_id_);
  timer_id_ = 0;
}

void UpgradeApp::TakePath(const char* path) {
  CopyPath(chosen_path_, path);
  EnableControls(kPathControls, kControlCount, TRUE);
  SetDlgItemTextA(window_, IDC_PATH, chosen_path_);
}

void UpgradeApp::EnableControls(const int* ids, int count, BOOL enable) {
  for (int i = 0; i < count; ++i) EnableWindow(GetDlgItem(window_, ids[i]), enable);
}
