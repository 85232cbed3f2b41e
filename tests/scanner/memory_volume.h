// An in-memory machine for the target search: drives of chosen types, a
// tree of directories and files with their listing order, and a log of
// every call the scanner makes. Names match in any letter case, as on
// Windows. The worker thread can run inline (inside Start, so a whole scan
// is deterministic), on a real thread, or fail to be created.
#ifndef PATCHER_TESTS_SCANNER_MEMORY_VOLUME_H
#define PATCHER_TESTS_SCANNER_MEMORY_VOLUME_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scanner/scan_system.h"

// A path written with '/', in the platform's own separator.
std::string P(const std::string& path);

class MemoryVolume : public ScanSystem {
 public:
  enum Threads { kInlineThreads, kRealThreads, kNoThreads };
  explicit MemoryVolume(Threads threads = kInlineThreads);
  ~MemoryVolume();

  // Paths are written with '/'. A drive "C:" has the root "C:/" (in the
  // platform's separator). Parents are made as needed; children list in the
  // order they were added.
  void AddDrive(const std::string& drive, unsigned type);
  void AddDirectory(const std::string& path, uint32_t attributes = platform::kAttributeDirectory);
  void AddFile(const std::string& path);
  void Remove(const std::string& path);
  void SetUnreadable(const std::string& path);
  // Listings skip this entry, as the platform skips a name it cannot
  // deliver.
  void SetUndeliverable(const std::string& path);
  // From now on every directory that is not in the tree lists 40
  // subdirectories of its own: a walk that never ends by itself.
  void MakeEndless() { endless_ = true; }

  // One line per call: "drives", "type C:\", "probe C:\a\Vusk.exe",
  // "open C:\a\*", "next", "close", "prepare", "start", "sleep 10",
  // "release".
  std::vector<std::string> Log();
  void ClearLog();
  // Lines of the log that begin with `prefix`.
  std::vector<std::string> Calls(const std::string& prefix);

  int open_listings() const { return open_listings_.load(); }
  size_t longest_path() const { return longest_path_.load(); }
  int steps() const { return steps_.load(); }
  int probes() const { return probes_.load(); }
  int threads_started() const { return threads_started_.load(); }
  int threads_released() const { return threads_released_.load(); }
  // Workers whose entry function has returned (real threads).
  int workers_returned() const { return workers_returned_.load(); }

  // Called on the scanning thread before each step of the search (drive
  // list, drive type, probe, listing open, next entry) with its number.
  std::function<void(int step)> before_step;
  // While nonzero, every probe waits (real threads only).
  std::atomic<int> hold_probes{0};

  void GetDriveList(char* buffer, int size) override;
  unsigned DriveType(const char* root) override;
  int Probe(const char* path, platform::FindData* entry) override;
  platform::Listing* OpenListing(const char* pattern, platform::FindData* entry,
                                 int* first) override;
  int NextEntry(platform::Listing* listing, platform::FindData* entry) override;
  void CloseListing(platform::Listing* listing) override;
  void PrepareWorker() override;
  platform::ThreadHandle StartThread(platform::ThreadProc proc, void* argument,
                                     uint32_t* thread_id) override;
  int ThreadHasEnded(platform::ThreadHandle thread, int* ended) override;
  void ReleaseThread(platform::ThreadHandle thread) override;
  void Sleep(uint32_t milliseconds) override;

 private:
  struct Node {
    std::string name;  // as stored
    uint32_t attributes;
    bool unreadable;
    bool undeliverable;
    std::vector<std::string> children;  // keys, in listing order
  };
  void Record(const std::string& line);
  void Step();
  void NotePath(const char* path);
  Node* Make(const std::string& path, uint32_t attributes);

  Threads threads_;
  bool endless_ = false;
  std::vector<std::pair<std::string, unsigned>> drives_;
  std::map<std::string, Node> nodes_;  // by path folded to lower case
  platform::Lock log_lock_;
  std::vector<std::string> log_;
  std::atomic<int> open_listings_{0};
  std::atomic<size_t> longest_path_{0};
  std::atomic<int> steps_{0};
  std::atomic<int> probes_{0};
  std::atomic<int> threads_started_{0};
  std::atomic<int> threads_released_{0};
  std::atomic<int> workers_returned_{0};
  // The worker's own entry, run by a trampoline that counts its return.
  platform::ThreadProc worker_proc_ = nullptr;
  void* worker_argument_ = nullptr;
  static uint32_t Trampoline(void* volume);
  char inline_thread_ = 0;  // the inline worker's handle points here
};

#endif  // PATCHER_TESTS_SCANNER_MEMORY_VOLUME_H
