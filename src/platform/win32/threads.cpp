// Win32 threads, sleep and the lock (a critical section).
#include <stdlib.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {
struct ThreadStart {
  ThreadProc proc;
  void* argument;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  free(p);
  return start.proc(start.argument);
}
}  // namespace

ThreadHandle StartThread(ThreadProc proc, void* argument, uint32_t* thread_id) {
  // The trampoline owns and frees the start block.
  ThreadStart* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
  if (!start) return nullptr;
  start->proc = proc;
  start->argument = argument;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, &id);
  if (!h) {
    free(start);
    return nullptr;
  }
  if (thread_id) *thread_id = id;
  return h;
}

int ThreadHasEnded(ThreadHandle thread, int* ended) {
  if (!thread) return 0;
  DWORD code = 0;
  if (!GetExitCodeThread(static_cast<HANDLE>(thread), &code)) return 0;
  *ended = code != STILL_ACTIVE;
  return 1;
}

void ReleaseThread(ThreadHandle thread) {
  if (!thread) return;
  WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread));
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");

Lock::Lock() { InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
Lock::~Lock() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::Enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::Leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

}  // namespace platform
