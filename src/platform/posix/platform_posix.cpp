// POSIX implementation of the OS layer, for native builds: the tools, the
// native tests and the benchmarks.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace platform {

struct File {
  int fd;
};

File* CreateNewFile(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  File* file = new (std::nothrow) File{fd};
  if (!file) {
    close(fd);
    unlink(path);
  }
  return file;
}

uint32_t WriteToFile(File* file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    ssize_t n = write(file->fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

int CloseFile(File* file) {
  int ok = fsync(file->fd) == 0;
  if (close(file->fd) != 0) ok = 0;
  delete file;
  return ok;
}

int RenamePath(const char* from, const char* to, int replace) {
  if (replace) return rename(from, to) == 0;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 1;
  if (errno != EINVAL && errno != ENOSYS) return 0;
  // A file system without no-replace renames: a hard link fails if `to`
  // exists; then drop `from`. (Only files are renamed here.)
  if (link(from, to) != 0) return 0;
  if (unlink(from) != 0) {
    unlink(to);
    return 0;
  }
  return 1;
}

int RemoveFile(const char* path) { return unlink(path) == 0; }

TargetState ExamineTarget(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? kTargetMissing
                                                 : kTargetBlocked;
  }
  if (!S_ISREG(st.st_mode)) return kTargetBlocked;
  // A file without the owner's write bit counts as read-only, as the
  // read-only attribute does on Windows, even for a superuser.
  if (!(st.st_mode & S_IWUSR)) return kTargetBlocked;
  int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return kTargetBlocked;
  close(fd);
  return kTargetReplaceable;
}

int LoadPayloadResource(const uint8_t** data, uint32_t* size) {
  // Native builds carry no program resources.
  *data = nullptr;
  *size = 0;
  return 0;
}

// A thread's control block: the handle the caller holds.
struct ThreadBlock {
  pthread_t thread;
  ThreadProc proc;
  void* argument;
  std::atomic<int> ended;
};

static void* ThreadTrampoline(void* p) {
  ThreadBlock* block = static_cast<ThreadBlock*>(p);
  block->proc(block->argument);
  block->ended.store(1, std::memory_order_release);
  return nullptr;
}

ThreadHandle StartThread(ThreadProc proc, void* argument, uint32_t* thread_id) {
  ThreadBlock* block = new (std::nothrow) ThreadBlock;
  if (!block) return nullptr;
  block->proc = proc;
  block->argument = argument;
  block->ended.store(0, std::memory_order_relaxed);
  if (pthread_create(&block->thread, nullptr, ThreadTrampoline, block) != 0) {
    delete block;
    return nullptr;
  }
  static std::atomic<uint32_t> next_id{1};
  if (thread_id) *thread_id = next_id.fetch_add(1, std::memory_order_relaxed);
  return block;
}

int ThreadHasEnded(ThreadHandle thread, int* ended) {
  if (!thread) return 0;
  *ended = static_cast<ThreadBlock*>(thread)->ended.load(
      std::memory_order_acquire);
  return 1;
}

void ReleaseThread(ThreadHandle thread) {
  if (!thread) return;
  ThreadBlock* block = static_cast<ThreadBlock*>(thread);
  pthread_join(block->thread, nullptr);
  delete block;
}

void SleepMilliseconds(uint32_t milliseconds) {
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

Lock::Lock() { pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(storage_), nullptr); }
Lock::~Lock() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Lock::Enter() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Lock::Leave() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

}  // namespace platform
