// The program's one OS layer: files, the payload resource, threads, the
// lock, drives and directory listings. Everything above this header is
// portable; platform/win32 implements it with 8-bit Win32 calls and
// platform/posix with POSIX calls (for native tests, tools and benchmarks).
//
// Results follow the program's convention: nonzero is success.
#ifndef PATCHER_PLATFORM_PLATFORM_H
#define PATCHER_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

namespace platform {

#ifdef _WIN32
const char kPathSeparator = '\\';
#else
const char kPathSeparator = '/';
#endif

// Bytes in a path buffer, terminator included: paths handed to the
// platform have at most kPathBuffer - 1 characters.
const int kPathBuffer = 260;

// ---------------------------------------------------------------------------
// Files

struct File;  // an open output file; owned by whoever opened it

// Creates `path` for writing. Fails (returns null) if anything of that name
// exists already, so an existing file is never touched by mistake.
File* CreateNewFile(const char* path);

// Writes `size` bytes; returns how many were written (short on failure).
uint32_t WriteToFile(File* file, const void* data, uint32_t size);

// Flushes the file to the disk and closes it; the handle is gone either way.
// Zero when anything written may not have reached the disk.
int CloseFile(File* file);

// Renames `from` to `to`. With `replace` zero it fails if `to` exists.
int RenamePath(const char* from, const char* to, int replace);

// Removes the file `path`.
int RemoveFile(const char* path);

enum TargetState {
  kTargetMissing = 0,      // nothing of that name
  kTargetReplaceable = 1,  // a file that could be opened for writing now
  kTargetBlocked = 2,      // a directory, a read-only or locked file, or
                           // anything that cannot be examined
};

// What stands at `path`, as far as replacing it with a new file goes.
TargetState ExamineTarget(const char* path);

// ---------------------------------------------------------------------------
// The payload resource

// The program's own payload resource (type "FILE", id 105), read in place.
// The bytes stay valid for the life of the process. Zero when there is none.
int LoadPayloadResource(const uint8_t** data, uint32_t* size);

// ---------------------------------------------------------------------------
// Threads and the lock

typedef void* ThreadHandle;  // null: no thread
typedef uint32_t (*ThreadProc)(void* argument);

// Starts `proc(argument)` on a new thread with the default stack size,
// running at once. Returns null when no thread could be created.
ThreadHandle StartThread(ThreadProc proc, void* argument, uint32_t* thread_id);

// Asks whether the thread has ended, without waiting. Zero when the question
// cannot be answered (the handle is null or no longer valid); otherwise
// nonzero, with *ended set.
int ThreadHasEnded(ThreadHandle thread, int* ended);

// Releases the handle of a thread that has ended (or is about to: it waits
// for the last instructions of the thread, never for more).
void ReleaseThread(ThreadHandle thread);

void SleepMilliseconds(uint32_t milliseconds);

// One mutual-exclusion lock (a critical section on Windows).
class Lock {
 public:
  Lock();
  ~Lock();
  void Enter();
  void Leave();

 private:
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  alignas(8) unsigned char storage_[64];
};

}  // namespace platform

#endif  // PATCHER_PLATFORM_PLATFORM_H
