// Noting why a call failed, for LastFailure (platform.h): the platform's
// own sources call Note at each failing return. The program's build
// (PATCHER_NO_FAULT_TEXT) notes nothing: there Note is only the zero it
// returns, and its arguments must cost nothing to compute.
#ifndef PATCHER_PLATFORM_FAILURE_H
#define PATCHER_PLATFORM_FAILURE_H

#include "platform/platform.h"

namespace platform {

#ifdef PATCHER_NO_FAULT_TEXT
__attribute__((always_inline)) inline int Note(FailureKind, uint32_t) { return 0; }
#else
// Notes kFailureLockHeld by process `pid` (zero: unknown), named `name`
// (its command, as the system gives it; may be empty); zero.
int NoteLockHolder(uint32_t pid, const char* name);
// Notes the failure; zero.
int Note(FailureKind kind, uint32_t code);
// The system's text for `code`, into `text` (`size` bytes).
void SystemText(uint32_t code, char* text, int size);
#endif

}  // namespace platform

#endif  // PATCHER_PLATFORM_FAILURE_H
