#include "scanner/target_scanner.h"

#include <string.h>

#include "payload/patch_files.h"

namespace {

const int kPath = platform::kPathBuffer;

// A directory of nothing but entries the platform cannot deliver is given up
// after this many in a row, so a listing that fails without moving on ends.
const int kMostSkippedInARow = 4096;

// Root and directory entries that the walk descends into: directories that
// are neither links nor junctions (kAttributeReparsePoint) and whose names
// do not begin with a dot, so "." and ".." are never entered.
bool EntersDirectory(const platform::FindData& entry) {
  return (entry.attributes & platform::kAttributeDirectory) &&
         !(entry.attributes & platform::kAttributeReparsePoint) && entry.name[0] != '.';
}

}  // namespace

TargetScanner::TargetScanner() : TargetScanner(machine_) {}

TargetScanner::TargetScanner(ScanSystem& system)
    : found_(0), worker_(nullptr), worker_id_(0), running_(0), system_(&system),
      thread_(nullptr) {
  // Before the first hit and the first walk both read as empty: an empty
  // progress directory lets the open-file dialog choose its own folder.
  found_path_[0] = 0;
  progress_directory_[0] = 0;
  worker_name_[0] = 0;
}

TargetScanner::~TargetScanner() {
  Stop();
  // Then the entries; the lock goes next and the sentinel last, as the
  // members are destroyed.
  remembered_.Clear();
}

int TargetScanner::Start(const char* name) {
  if (!name) return 0;
  const size_t length = strlen(name);
  if (length >= static_cast<size_t>(kPath)) return 0;
  // A worker that has not been waited for yet is still finishing (its
  // running flag is already 0) or, if Start is called during a scan, still
  // searching: either way it must end before a new one starts, or it could
  // clear the new worker's handle.
  if (thread_) Stop();
  memcpy(worker_name_, name, length + 1);
  // A scan reports only what it finds itself: an earlier hit is not taken
  // for this one's (the target may have been moved or removed since).
  found_.store(0, std::memory_order_release);
  running_.store(1, std::memory_order_release);
  uint32_t id = 0;
  platform::ThreadHandle thread = system_->StartThread(&TargetScanner::WorkerMain, this, &id);
  if (!thread) return 0;
  thread_ = thread;
  worker_id_ = id;
  // A worker that finished already has cleared the field before this store;
  // the handle is then stale but still valid, and Stop copes with it.
  worker_.store(thread, std::memory_order_release);
  return 1;
}

void TargetScanner::Stop() {
  platform::ThreadHandle handle = worker_.load(std::memory_order_acquire);
  running_.store(0, std::memory_order_release);
  if (handle) {
    for (;;) {
      // Through whatever the field holds now: the worker clears it as its
      // last act, and a failed query means that it has ended.
      int ended = 0;
      if (!system_->ThreadHasEnded(worker_.load(std::memory_order_acquire), &ended)) break;
      system_->Sleep(kStopPollMilliseconds);
      if (ended) break;
    }
    worker_.store(nullptr, std::memory_order_release);
  }
  // The worker has ended, or is past its last access to the scanner.
  if (thread_) {
    system_->ReleaseThread(thread_);
    thread_ = nullptr;
  }
}

const char* TargetScanner::FoundPath() const {
  return found_.load(std::memory_order_acquire) ? found_path_ : nullptr;
}

int TargetScanner::CopyFoundPath(char* out) {
  if (!found_.load(std::memory_order_acquire)) return 0;
  platform::LockHeld held(lock_);
  memcpy(out, found_path_, strlen(found_path_) + 1);
  return 1;
}

uint32_t TargetScanner::WorkerMain(void* argument) {
  TargetScanner* scanner = static_cast<TargetScanner*>(argument);
  scanner->system_->PrepareWorker();
  scanner->Scan(scanner->worker_name_);
  // The last access to the scanner: once the handle reads 0, Stop and the
  // destructor may go on.
  scanner->worker_.store(nullptr, std::memory_order_release);
  return 1;
}

int TargetScanner::Scan(const char* worker_name) {
  char name[kPath];
  const size_t name_length = strnlen(worker_name, kPath - 1);
  memcpy(name, worker_name, name_length);
  name[name_length] = 0;

  if (SearchRemembered(name)) {
    found_.store(1, std::memory_order_release);
    running_.store(0, std::memory_order_release);
    return 1;
  }
  // Not in a remembered directory (any more): walk the drives, where a
  // moved installation is found at its new place.
  if (running_.load(std::memory_order_acquire)) {
    char drives[platform::kDriveListBuffer];
    drives[0] = 0;
    system_->GetDriveList(drives, sizeof drives);
    // Whatever the platform did, the list ends inside the buffer.
    drives[sizeof drives - 2] = 0;
    drives[sizeof drives - 1] = 0;
    char path[kWorkingPath];
    for (const char* root = drives; *root; root += strlen(root) + 1) {
      if (!running_.load(std::memory_order_acquire)) break;
      const unsigned type = system_->DriveType(root);
      if (type == platform::kDriveUnknown || type == platform::kDriveNoRootDir ||
          type == platform::kDriveRemovable)
        continue;
      const size_t root_length = strlen(root);
      if (root_length >= static_cast<size_t>(kPath)) continue;  // not a root
      memcpy(path, root, root_length + 1);
      if (SearchDirectory(name, static_cast<int>(name_length), path,
                          static_cast<int>(root_length))) {
        found_.store(1, std::memory_order_release);
        running_.store(0, std::memory_order_release);
        return 1;
      }
    }
  }
  running_.store(0, std::memory_order_release);
  return 0;
}

int TargetScanner::SearchRemembered(const char* name) {
  if (remembered_.count() == 0 || remembered_.first() == remembered_.end()) return 0;
  const size_t name_length = strlen(name);
  char probe[kPath];
  for (RememberedDirList::Node* node = remembered_.first(); node != remembered_.end();
       node = node->next) {
    const size_t length = strlen(node->directory);
    if (length + name_length >= static_cast<size_t>(kPath)) continue;  // a miss
    memcpy(probe, node->directory, length);
    memcpy(probe + length, name, name_length + 1);
    if (system_->Probe(probe, &entry_)) {
      PublishFoundPath(probe);
      return 1;
    }
  }
  return 0;
}

// `path` holds a directory string of `length` characters, in a buffer of
// kWorkingPath bytes shared by every level; on a miss it is cut back to it.
int TargetScanner::SearchDirectory(const char* name, int name_length, char* path, int length) {
  SetProgress(path, length);

  // The probe, if the full path stays within the path limit.
  const bool fits = length + name_length < kPath;
  int found = 0;
  if (fits) {
    memcpy(path + length, name, name_length + 1);
    found = system_->Probe(path, &entry_);
  }
  if (!found) {
    path[length] = 0;
    if (!running_.load(std::memory_order_acquire)) return 0;

    // The listing, to find subdirectories, and the journal of a patch cut
    // short, which may have moved the target aside. A pattern past the
    // path limit cannot be opened: the directory counts as empty.
    if (length + 1 >= kPath) return 0;
    path[length] = '*';
    path[length + 1] = 0;
    int step = platform::kListingEnd;
    platform::Listing* listing = system_->OpenListing(path, &entry_, &step);
    path[length] = 0;
    if (!listing) return 0;
    int hit = 0;
    int skipped = 0;  // in a row
    for (;;) {
      if (!running_.load(std::memory_order_acquire)) break;
      // A skipped entry leaves nothing usable in the record: only the
      // listing goes on.
      skipped = step == platform::kListingEntry ? 0 : skipped + 1;
      if (skipped == kMostSkippedInARow) break;
      // Its journal is read only where the listing shows one (a directory
      // of that name is no journal it can read).
      if (!skipped && fits && platform::SameFileName(entry_.name, kJournalName) &&
          system_->JournalNames(path, name)) {
        found = 1;
        break;
      }
      if (!skipped && EntersDirectory(entry_)) {
        const int entry_length = static_cast<int>(strnlen(entry_.name, sizeof entry_.name - 1));
        // Always true when the platform keeps to the path limit; the check
        // keeps the shared buffer safe whatever it delivers.
        if (length + entry_length + 1 + kPath <= kWorkingPath) {
          memcpy(path + length, entry_.name, entry_length);
          path[length + entry_length] = platform::kPathSeparator;
          path[length + entry_length + 1] = 0;
          if (SearchDirectory(name, name_length, path, length + entry_length + 1)) {
            // The working path stays as the deeper levels left it.
            hit = 1;
            break;
          }
          path[length] = 0;
        }
      }
      step = system_->NextEntry(listing, &entry_);
      if (step == platform::kListingEnd) break;
    }
    system_->CloseListing(listing);
    if (!found) {
      if (!hit) path[length] = 0;
      return hit;
    }
    // A hit by its journal is shown as the target's path.
    memcpy(path + length, name, name_length + 1);
  }
  PublishFoundPath(path);
  path[length] = 0;
  Remember(path);
  return 1;
}

void TargetScanner::Remember(const char* directory) {
  if (RememberedDirList::Node* node = remembered_.Find(directory)) {
    remembered_.MoveToFront(node);
    return;
  }
  // Without memory the directory is not remembered; the hit stands.
  remembered_.AddToFront(directory);
}

void TargetScanner::PublishFoundPath(const char* path) {
  const size_t length = strlen(path);  // below kPath: the callers check
  platform::LockHeld held(lock_);
  memcpy(found_path_, path, length + 1);
}

void TargetScanner::SetProgress(const char* directory, int length) {
  const char* shown = directory;
  const char* prefix = "";
  int prefix_length = 0;
  if (length >= kPath) {
    // Too long for the buffer: keep the end, which tells the user where
    // the walk is, from a separator on if one is near, behind "...".
    prefix = "...";
    prefix_length = 3;
    shown = directory + length - (kPath - 1 - prefix_length);
    // Never from the middle of a UTF-8 character: past its continuation
    // bytes.
    while ((*shown & 0xC0) == 0x80 && shown < directory + length - 1) ++shown;
    for (const char* p = shown; p < directory + length - 1; ++p) {
      if (*p == platform::kPathSeparator) {
        shown = p;
        break;
      }
    }
    length = static_cast<int>(directory + length - shown);
  }
  platform::LockHeld held(lock_);
  memcpy(progress_directory_, prefix, prefix_length);
  memcpy(progress_directory_ + prefix_length, shown, length);
  progress_directory_[prefix_length + length] = 0;
}
