// Failure points of the POSIX file layer, for tests: before each system
// call it makes, files.cpp asks the hook (when one is set) and, on a
// nonzero answer (an errno value), fails that call with it as if the
// system had answered so: nothing else changes. So a test makes the real
// code paths meet the failures a disk or a network drive gives.
#ifndef PATCHER_PLATFORM_POSIX_FAULT_POINTS_H
#define PATCHER_PLATFORM_POSIX_FAULT_POINTS_H

namespace platform {

enum SystemCall {
  kCallOpenDirectory,  // the target directory itself
  kCallLock,           // flock
  kCallStat,           // fstatat, fstat
  kCallOpen,           // openat
  kCallList,           // one readdir
  kCallRead,
  kCallWrite,
  kCallSync,           // fsync of a file or the directory
  kCallRename,
  kCallUnlink,
  kCallMakeFolder,    // mkdirat
  kCallRemoveFolder,  // unlinkat of a directory
  kCallStatFs,        // fstatvfs of a directory
  kCallChmod,         // fchmod
  kSystemCalls,
};

extern int (*g_fail_call)(SystemCall call, const char* name);

}  // namespace platform

#endif  // PATCHER_PLATFORM_POSIX_FAULT_POINTS_H
