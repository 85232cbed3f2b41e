// The failure of a platform call, noted per thread as errno is, and put
// into words.
#include "platform/failure.h"

#include <stdio.h>

namespace platform {

#ifndef PATCHER_NO_FAULT_TEXT

namespace {
thread_local Failure t_failure;
thread_local char t_holder[32];  // the command of the lock's holder
}  // namespace

int Note(FailureKind kind, uint32_t code) {
  t_failure.kind = kind;
  t_failure.code = code;
  return 0;
}

int NoteLockHolder(uint32_t pid, const char* name) {
  snprintf(t_holder, sizeof t_holder, "%s", name);
  return Note(kFailureLockHeld, pid);
}

Failure LastFailure() { return t_failure; }

void DescribeFailure(Failure failure, bool folder, char* text, int size) {
  static const char* const kWords[] = {
      "unusable",
      nullptr,  // by what is missing
      "the name is taken",
      "in use by another program",
      nullptr,  // by what is refused
      "a directory",
      "not a directory",
      "not a regular file",
#ifdef _WIN32
      "a link or junction: a patch never writes where a link leads",
#else
      "a symbolic link: a patch never writes where a link leads",
#endif
      "out of disk space",
      "a read or write error",
      "a name too long",
      "the lock is held by another process",
      "another user's lock file, a link or no file",
  };
  const char* words = failure.kind == kFailureNotFound ? (folder ? "no such directory" : "no such file")
                      : failure.kind == kFailureDenied ? (folder ? "access denied" : "read-only")
                      : failure.kind <= kFailureForeignLock ? kWords[failure.kind]
                                                            : kWords[0];
  if (failure.kind == kFailureLockHeld && failure.code) {
    snprintf(text, size, "the lock is held by process %u (%s)", failure.code,
             t_holder[0] ? t_holder : "?");
    return;
  }
  // The kinds that tell it all in the kind's own words, and a refusal by
  // the platform's own rules, carry no system text.
  const bool told = failure.kind == kFailureNotFound || failure.kind == kFailureExists ||
                    (failure.kind >= kFailureDirectory && failure.kind <= kFailureLink) ||
                    failure.kind >= kFailureLockHeld;
  if (told || !failure.code) {
    snprintf(text, size, "%s", words);
    return;
  }
  char system[200];
  SystemText(failure.code, system, sizeof system);
  snprintf(text, size, "%s (%s)", words, system);
}

#endif

}  // namespace platform
