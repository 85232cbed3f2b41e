// What the target search needs of the machine: drives, the probe, directory
// listings, and the worker's thread. The base class goes straight to the
// platform layer; tests derive from it to put an in-memory volume, or a
// thread that cannot be created, under a real TargetScanner.
#ifndef PATCHER_SCANNER_SCAN_SYSTEM_H
#define PATCHER_SCANNER_SCAN_SYSTEM_H

#include <stdint.h>

#include "payload/applier.h"
#include "platform/platform.h"

class ScanSystem {
 public:
  virtual ~ScanSystem() {}

  // The drive roots, as platform::GetDriveRoots gives them.
  virtual void GetDriveList(char* buffer, int size) {
    platform::GetDriveRoots(buffer, size);
  }
  virtual unsigned DriveType(const char* root) { return platform::DriveTypeOf(root); }

  virtual int Probe(const char* path, platform::FindData* entry) {
    return platform::ProbePath(path, entry);
  }
  virtual platform::Listing* OpenListing(const char* pattern, platform::FindData* entry,
                                         int* first) {
    return platform::OpenListing(pattern, entry, first);
  }
  virtual int NextEntry(platform::Listing* listing, platform::FindData* entry) {
    return platform::NextListingEntry(listing, entry);
  }
  virtual void CloseListing(platform::Listing* listing) { platform::CloseListing(listing); }
  // Whether the directory string `directory`, whose listing shows a patch
  // journal, holds a journal of an interrupted patch that names `name`.
  virtual int JournalNames(const char* directory, const char* name) {
    return InterruptedPatchNames(directory, name);
  }

  // Runs first on every worker thread.
  virtual void PrepareWorker() { platform::QuietCriticalErrors(); }

  virtual platform::ThreadHandle StartThread(platform::ThreadProc proc, void* argument,
                                             uint32_t* thread_id) {
    return platform::StartThread(proc, argument, thread_id);
  }
  virtual int ThreadHasEnded(platform::ThreadHandle thread, int* ended) {
    return platform::ThreadHasEnded(thread, ended);
  }
  virtual void ReleaseThread(platform::ThreadHandle thread) { platform::ReleaseThread(thread); }
  virtual void Sleep(uint32_t milliseconds) { platform::SleepMilliseconds(milliseconds); }
};

#endif  // PATCHER_SCANNER_SCAN_SYSTEM_H
