// Drives the patcher from outside, the way a user does: finds its windows
// by caption, reads control texts with WM_GETTEXT (the only way to read
// another process's controls), reads enabled states, and clicks by posting
// WM_COMMAND (posted, so a modal dialog it opens never blocks the driver).
#ifndef PATCHER_TESTS_E2E_DRIVER_H
#define PATCHER_TESTS_E2E_DRIVER_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

extern const char kMainCaption[];  // "Upgrade to VUSK 1.25"

class PatcherProcess {
 public:
  PatcherProcess() = default;
  ~PatcherProcess();  // kills the process if it still runs

  // Starts `exe` and waits for its main dialog. False if it never came.
  bool Start(const std::string& exe);

  HWND main() const { return main_; }
  DWORD id() const { return id_; }
  bool Running() const;

  // A visible top-level window of this process with exactly this caption,
  // waited for up to `ms` milliseconds; null if none came.
  HWND WaitForWindow(const char* caption, int ms = 10000) const;
  // True while such a window exists.
  bool HasWindow(const char* caption) const;

  // Control texts and states of the main dialog (or of `dialog`).
  std::string Text(int control_id, HWND dialog = nullptr) const;
  bool Enabled(int control_id) const;

  // Posts a click on a control of the main dialog (or of `dialog`).
  void Click(int control_id, HWND dialog = nullptr) const;
  void Post(UINT message, WPARAM wparam = 0, LPARAM lparam = 0, HWND window = nullptr) const;

  // Waits for the process to end; its exit code, or -1 on timeout.
  int WaitForExit(int ms = 10000);
  void Kill();

 private:
  PROCESS_INFORMATION info_ = {};
  DWORD id_ = 0;
  HWND main_ = nullptr;
};

// What the driver saw of a patcher's main dialog while a patch ran, from
// the click on Patch until a result dialog came.
struct PatchWatch {
  struct Path {
    std::string text;  // a text of the path box
    int polls = 0;     // reads that found it
    double at = 0;     // seconds after the watch began, when first read
  };
  struct Wait {
    double at;  // seconds after the watch began, when sent
    double ms;  // how long the answer took
  };
  int sent = 0;           // WM_NULLs sent, each waited for up to 10 seconds
  int unanswered = 0;     // of them, not answered in that time
  double longest_ms = 0;  // the longest wait for an answer
  std::vector<Wait> slow;   // the waits of over 50 ms
  std::vector<Path> paths;  // the path box's texts, in the order they came
  HWND result = nullptr;    // the result dialog; null if none came in time
  bool succeeded = false;   // it says "Patch Successful!"
};

// Watches the main dialog of `patcher` once Patch has been clicked, until a
// result dialog comes or `ms` milliseconds have passed: a thread sends it
// WM_NULL every `period_ms` milliseconds, timing each answer, while this
// one reads control `path_id` as often. `on_path` (if given) is called
// with each new text of the control, as it comes.
PatchWatch WatchPatch(const PatcherProcess& patcher, int path_id, int period_ms, int ms,
                      const std::function<void(const std::string&)>& on_path = nullptr);

// The same WM_NULLs for `ms` milliseconds with nothing else going on: what
// the machine's own load costs an answer (sent, unanswered, longest_ms and
// slow).
PatchWatch WatchIdle(const PatcherProcess& patcher, int period_ms, int ms);

// Text of any window of another process (WM_GETTEXT).
std::string WindowTextOf(HWND window);

// Polls `condition` every 20 ms for up to `ms` milliseconds.
bool WaitUntil(const std::function<bool()>& condition, int ms = 10000);

// The whole screen as a PNG file.
bool SaveScreenshot(const std::string& path);

// Files (RemoveTree, ListNames and the rest are in support/scratch.h).
bool CopyTree(const std::string& from, const std::string& to);
bool SameBytes(const std::string& a, const std::string& b);

#endif  // PATCHER_TESTS_E2E_DRIVER_H
