// Fault texts: what went wrong, in words, for lzcx and the tests to print.
//
// The program shows only its own failed-patch string, so its build of the
// payload code (PATCHER_NO_FAULT_TEXT) formats no text and carries none:
// there FormatFault is only the zero it returns, which leaves every text
// handed to it unused, and code that merely prepares a text tests
// kFaultTexts first.
#ifndef PATCHER_PAYLOAD_FAULT_H
#define PATCHER_PAYLOAD_FAULT_H

#include <stddef.h>

#ifdef PATCHER_NO_FAULT_TEXT
const bool kFaultTexts = false;
__attribute__((always_inline, format(printf, 3, 4))) inline int FormatFault(char*, size_t,
                                                                         const char*, ...) {
  return 0;
}
#else
const bool kFaultTexts = true;
// Formats a fault text into `fault` (`fault_size` bytes), if given; 0.
int FormatFault(char* fault, size_t fault_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#endif

#endif  // PATCHER_PAYLOAD_FAULT_H
