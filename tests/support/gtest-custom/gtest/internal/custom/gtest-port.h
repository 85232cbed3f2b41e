// GoogleTest customization for the MinGW build (GCC's win32 thread model,
// which has no std::mutex): GoogleTest's one use of it, Notification, is
// provided here with a Win32 event instead.
#ifndef PATCHER_GTEST_CUSTOM_PORT_H
#define PATCHER_GTEST_CUSTOM_PORT_H

#if defined(_WIN32) && !defined(_GLIBCXX_HAS_GTHREADS)
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif

#endif  // PATCHER_GTEST_CUSTOM_PORT_H
