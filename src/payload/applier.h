// Writing a payload into the target directory, all or nothing.
//
// Every entry is first decoded and written to a temporary file beside its
// target ("~pt0000.tmp", ...). Only when all of them are on the disk are
// the existing files moved aside and the new ones moved into place; if any
// step fails, what was moved is moved back and the temporary files are
// removed. So a patch either replaces every file or leaves the directory
// exactly as it was. At most one entry's expanded bytes are in memory.
#ifndef PATCHER_PAYLOAD_APPLIER_H
#define PATCHER_PAYLOAD_APPLIER_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// The file operations the applier uses. The base class goes straight to the
// platform; tests derive from it to make a chosen call fail.
class FileOps {
 public:
  virtual ~FileOps() {}
  virtual platform::TargetState Examine(const char* path) {
    return platform::ExamineTarget(path);
  }
  virtual platform::File* CreateNew(const char* path) {
    return platform::CreateNewFile(path);
  }
  virtual uint32_t Write(platform::File* file, const void* data, uint32_t size) {
    return platform::WriteToFile(file, data, size);
  }
  virtual int Close(platform::File* file) { return platform::CloseFile(file); }
  virtual int Rename(const char* from, const char* to, int replace) {
    return platform::RenamePath(from, to, replace);
  }
  virtual int Remove(const char* path) { return platform::RemoveFile(path); }
};

// Length of the temporary names ("~pt" + four hex digits + ".tmp").
const int kTempNameLength = 11;

// Applies the container `data` (`size` bytes) to `directory`, a directory
// string ending in the path separator (or empty: the current directory).
// Nonzero when every entry was written. On failure the directory is as it
// was before, and `fault` (if given) says which entry failed and why.
int ApplyPayload(const uint8_t* data, size_t size, const char* directory,
                 FileOps& ops, char* fault = nullptr, size_t fault_size = 0);

// Only checks: everything ApplyPayload checks before it writes (bounds,
// names, path lengths) and a full decode of every block, writing nothing.
// `total` (if given) receives the sum of the expanded lengths.
int VerifyPayload(const uint8_t* data, size_t size, const char* directory,
                  char* fault = nullptr, size_t fault_size = 0,
                  uint64_t* total = nullptr);

// The program's patch: applies its own payload resource to `directory`.
int PatchApplier(const char* directory);

#endif  // PATCHER_PAYLOAD_APPLIER_H
