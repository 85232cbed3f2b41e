// Writing a payload into the target directory, all or nothing, even across
// a crash.
//
// Every entry is first decoded and written to a temporary file in the
// target directory ("~pt0000.tmp", ...). Only when all of them are on the
// disk are the existing files moved aside (to backups, named the same way)
// and the new ones moved into place, each under the existing file's own
// spelling; if any step fails, what was moved is moved back and the
// temporary files are removed. A journal in the directory (journal.h) names
// every file of the patch before the first one is created and says which
// phase the patch is in, so the next apply (or RecoverDirectory) finishes a
// patch that a crash interrupted when every new file was already in place,
// and undoes it otherwise. So the directory holds either every new file or
// exactly what it held before, whenever the process ends. At most one
// entry's expanded bytes are in memory.
#ifndef PATCHER_PAYLOAD_APPLIER_H
#define PATCHER_PAYLOAD_APPLIER_H

#include <stddef.h>
#include <stdint.h>

#include "payload/container.h"
#include "platform/platform.h"

// The file operations the applier uses. The base class goes straight to the
// platform; tests derive from it to make a chosen call fail.
class FileOps {
 public:
  virtual ~FileOps() {}
  virtual platform::Directory* Open(const char* path) { return platform::OpenDirectory(path); }
  virtual void CloseDirectory(platform::Directory* dir) { platform::CloseDirectory(dir); }
  virtual platform::TargetState Find(platform::Directory* dir, const char* name, char* found) {
    return platform::FindTarget(dir, name, found);
  }
  // 0: nothing under exactly that name; 1: something; 2: cannot be told.
  virtual int Taken(platform::Directory* dir, const char* name) {
    return platform::NameTaken(dir, name);
  }
  virtual platform::File* CreateNew(platform::Directory* dir, const char* name) {
    return platform::CreateNewFile(dir, name);
  }
  virtual uint32_t Write(platform::File* file, const void* data, uint32_t size) {
    return platform::WriteToFile(file, data, size);
  }
  virtual int Close(platform::File* file) { return platform::CloseFile(file); }
  virtual int Rename(platform::Directory* dir, const char* from, const char* to, int replace) {
    return platform::RenameFile(dir, from, to, replace);
  }
  virtual int Remove(platform::Directory* dir, const char* name) {
    return platform::RemoveFile(dir, name);
  }
  virtual int Sync(platform::Directory* dir) { return platform::SyncDirectory(dir); }
  virtual uint8_t* Read(platform::Directory* dir, const char* name, uint32_t limit,
                        uint32_t* size) {
    return platform::ReadSmallFile(dir, name, limit, size);
  }
};

// Length of the shortest temporary names ("~pt" + four hex digits + ".tmp").
const int kTempNameLength = 11;

// How an apply ended, for callers that act on it (lzcx's exit statuses).
enum ApplyStatus {
  kApplyPatched = 0,        // every entry written
  kApplyFailed = 1,         // failed; the directory holds what it held before
  kApplyInUse = 2,          // a file to replace is in use, read-only or a
                            // directory: nothing changed; may pass later
  kApplyBusy = 3,           // another patch of the directory is running:
                            // nothing changed
  kApplyOldFileMismatch = 4,// a delta entry's old file is missing or
                            // different: nothing changed
  kApplyNeedsRecovery = 5,  // undoing failed too, or an interrupted patch
                            // cannot be recovered now: the next run does it
};

// Applies the container `data` (`size` bytes) to `directory`, a directory
// string ending in the path separator (or empty: the current directory),
// after recovering an interrupted patch there (RecoverDirectory).
// Nonzero when every entry was written: `fault` (if given) is then empty,
// or says that files of the patch are left for the next run to remove.
// On failure the directory is as it was before, and `fault` says which
// entry failed and why; if undoing failed too, it says that the directory
// needs recovery, which the next apply or RecoverDirectory does.
// `status` (if given) receives an ApplyStatus.
int ApplyPayload(const uint8_t* data, size_t size, const char* directory,
                 FileOps& ops, char* fault = nullptr, size_t fault_size = 0,
                 ApplyStatus* status = nullptr);

// Only checks: everything ApplyPayload checks before it writes (bounds,
// names, path lengths) and a full decode of every block it would write,
// writing nothing. `total` (if given) receives the sum of their lengths,
// and `integrity` (if given) what the container check found.
int VerifyPayload(const uint8_t* data, size_t size, const char* directory,
                  char* fault = nullptr, size_t fault_size = 0,
                  uint64_t* total = nullptr, PayloadIntegrity* integrity = nullptr);

enum RecoveryResult {
  kRecoveryFailed = 0,    // `fault` says why; the journal stays
  kRecoveryNone = 1,      // no interrupted patch
  kRecoveryFinished = 2,  // every new file was in place: the old ones removed
  kRecoveryUndone = 3,    // the old files restored, the new ones removed
};

// Finishes or undoes the patch of `directory` that its journal describes,
// removing nothing but the files the journal names. A RecoveryResult.
int RecoverDirectory(const char* directory, FileOps& ops, char* fault = nullptr,
                     size_t fault_size = 0);

// The program's patch: applies its own payload resource to `directory`.
int PatchApplier(const char* directory);

#endif  // PATCHER_PAYLOAD_APPLIER_H
