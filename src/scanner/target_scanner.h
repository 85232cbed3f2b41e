// The target locator: searches for the target executable on a worker
// thread, first in the directories where it was found before in this run,
// then depth-first on every searchable drive, and publishes its progress and
// its result for the main dialog to poll. The scanner never touches a
// window and never waits for the GUI thread.
//
// Threads: the GUI thread constructs and destroys the scanner and calls
// Start, Stop, FoundPath, CopyFoundPath, running(), lock() and
// progress_directory(); the worker runs the search (Scan and below).
//
// Publication on a hit: the found path (under the lock), then the
// remembered directory, then the found flag, then the running flag 0, then
// the worker handle 0. So once running() reads false, the scan's outcome is
// visible. A poll must read running() BEFORE the found state:
//
//   const bool running = scanner.running();
//   if (scanner.CopyFoundPath(path)) ...       // a hit
//   else if (running) ...                      // still searching
//   else ...                                   // ended without a find
//
// Read the other way round, the worker can publish a hit and end between
// the two reads, and the hit looks like a fruitless scan.
#ifndef PATCHER_SCANNER_TARGET_SCANNER_H
#define PATCHER_SCANNER_TARGET_SCANNER_H

#include <stdint.h>

#include <atomic>

#include "platform/platform.h"
#include "scanner/remembered_dir_list.h"
#include "scanner/scan_system.h"

class TargetScanner {
 public:
  // Bytes of the search's working path: four path buffers, enough for a
  // directory near the path limit, one more name, and the target's name.
  static const int kWorkingPath = 4 * platform::kPathBuffer;
  // How often Stop asks whether the worker has ended.
  static const uint32_t kStopPollMilliseconds = 10;

  // On the machine's own drives.
  TargetScanner();
  // On `system`, which must outlive the scanner.
  explicit TargetScanner(ScanSystem& system);
  // Stops a running worker and waits for it, then frees the remembered
  // directories.
  ~TargetScanner();

  // Starts a worker that searches for `name` (at most 259 characters; a
  // longer or missing name starts nothing and returns 0). A worker that is
  // still finishing its previous scan is waited for first. Nonzero when the
  // worker was started; when no thread could be created the running flag
  // stays 1 until the next Stop.
  int Start(const char* name);
  // Clears the running flag and returns once the worker, if any, has ended.
  void Stop();

  // The full path of the latest hit, or null before the first hit. Reading
  // it while a worker runs may race with a new hit: use CopyFoundPath then.
  const char* FoundPath() const;
  // Copies the found path into `out` (kPathBuffer bytes) under the lock.
  // Zero, and `out` untouched, before the first hit.
  int CopyFoundPath(char* out);

  // The running flag (an acquire load); see above for the order of reads.
  bool running() const { return running_.load(std::memory_order_acquire) != 0; }
  // The lock guards the progress directory and the found path.
  platform::Lock& lock() { return lock_; }
  // The directory the walk entered last ("" before any walk). Read it under
  // lock() while a worker may run.
  const char* progress_directory() const { return progress_directory_; }

 private:
  TargetScanner(const TargetScanner&) = delete;
  TargetScanner& operator=(const TargetScanner&) = delete;
  friend struct TargetScannerTestPeer;  // seeds and reads the remembered list

  static uint32_t WorkerMain(void* scanner);
  int Scan(const char* name);
  int SearchRemembered(const char* name);
  int SearchDirectory(const char* name, int name_length, char* path, int length);
  void Remember(const char* directory);
  // Publishes the directory string `directory` of `length` characters.
  void SetProgress(const char* directory, int length);
  void PublishFoundPath(const char* path);

  RememberedDirList remembered_;
  char found_path_[platform::kPathBuffer];
  char progress_directory_[platform::kPathBuffer];
  std::atomic<int32_t> found_;
  char worker_name_[platform::kPathBuffer];
  platform::FindData entry_;  // the worker's one directory-entry record
  std::atomic<platform::ThreadHandle> worker_;
  uint32_t worker_id_;
  std::atomic<int32_t> running_;
  platform::Lock lock_;

  ScanSystem machine_;  // the machine's own drives, for the default scanner
  ScanSystem* system_;
  // The thread Start created, kept by the GUI thread until it is known to
  // have ended and released. The worker clears worker_, never this.
  platform::ThreadHandle thread_;
};

#endif  // PATCHER_SCANNER_TARGET_SCANNER_H
