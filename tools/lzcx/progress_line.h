// One line of standard error redrawn as work goes on (a terminal's only):
// what a search is looking at, or which file a patch writes.
#ifndef PATCHER_TOOLS_LZCX_PROGRESS_LINE_H
#define PATCHER_TOOLS_LZCX_PROGRESS_LINE_H

#include <stdio.h>

#include <chrono>
#include <string>

// Redrawn at most ten times a second; cleared when it goes.
class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}
  ~ProgressLine() { Clear(); }
  void Clear() {
    if (shown_) fprintf(stderr, "\r%*s\r", kWidth, "");
    shown_ = false;
  }
  // `label` ("searching: ") then the end of `text`, which tells most.
  void Show(const char* label, const std::string& text) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    shown_ = true;
    const size_t used = std::string(label).size(), room = kWidth - used - 1;
    const std::string end = text.size() <= room ? text : "..." + text.substr(text.size() - room + 3);
    fprintf(stderr, "\r%s%-*s", label, static_cast<int>(room), end.c_str());
    fflush(stderr);
  }

 private:
  typedef std::chrono::steady_clock Clock;
  static const int kWidth = 79;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point last_;
};

#endif  // PATCHER_TOOLS_LZCX_PROGRESS_LINE_H
