// POSIX threads, sleep and the lock.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

namespace platform {

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
