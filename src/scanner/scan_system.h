// What the target search needs of the machine: drives, the probe, directory
// listings, and the worker's thread. The base class goes straight to the
// platform layer; tests derive from it to put an in-memory volume, or a
// thread that cannot be created, under a real TargetScanner. The program's
// own build (PATCHER_DIRECT_SCAN_OPS) derives nothing from it, so there the
// calls are plain ones, as FileOps's are.
#ifndef PATCHER_SCANNER_SCAN_SYSTEM_H
#define PATCHER_SCANNER_SCAN_SYSTEM_H

#include <stdint.h>

#include "payload/applier.h"
#include "platform/platform.h"

#ifdef PATCHER_DIRECT_SCAN_OPS
#define PATCHER_SCAN_OP
#else
#define PATCHER_SCAN_OP virtual
#endif
class ScanSystem {
 public:
  PATCHER_SCAN_OP ~ScanSystem() {}

  // The drive roots, as platform::GetDriveRoots gives them.
  PATCHER_SCAN_OP void GetDriveList(char* buffer, int size) {
    platform::GetDriveRoots(buffer, size);
  }
  PATCHER_SCAN_OP unsigned DriveType(const char* root) { return platform::DriveTypeOf(root); }

  PATCHER_SCAN_OP int Probe(const char* path, platform::FindData* entry) {
    return platform::ProbePath(path, entry);
  }
  PATCHER_SCAN_OP platform::Listing* OpenListing(const char* pattern, platform::FindData* entry,
                                         int* first) {
    return platform::OpenListing(pattern, entry, first);
  }
  PATCHER_SCAN_OP int NextEntry(platform::Listing* listing, platform::FindData* entry) {
    return platform::NextListingEntry(listing, entry);
  }
  PATCHER_SCAN_OP void CloseListing(platform::Listing* listing) { platform::CloseListing(listing); }
  // Whether the directory string `directory`, whose listing shows a patch
  // journal, holds a journal of an interrupted patch that names `name`.
  PATCHER_SCAN_OP int JournalNames(const char* directory, const char* name) {
    return InterruptedPatchNames(directory, name);
  }

  // Runs first on every worker thread.
  PATCHER_SCAN_OP void PrepareWorker() { platform::QuietCriticalErrors(); }

  PATCHER_SCAN_OP platform::ThreadHandle StartThread(platform::ThreadProc proc, void* argument,
                                             uint32_t* thread_id) {
    return platform::StartThread(proc, argument, thread_id);
  }
  PATCHER_SCAN_OP int ThreadHasEnded(platform::ThreadHandle thread, int* ended) {
    return platform::ThreadHasEnded(thread, ended);
  }
  PATCHER_SCAN_OP void ReleaseThread(platform::ThreadHandle thread) { platform::ReleaseThread(thread); }
  PATCHER_SCAN_OP void Sleep(uint32_t milliseconds) { platform::SleepMilliseconds(milliseconds); }
};

#endif  // PATCHER_SCANNER_SCAN_SYSTEM_H
