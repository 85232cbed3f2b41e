// POSIX file names: compared as the Windows program compares them, so that
// the native tools decide exactly as the program would.
#include "platform/name_case.h"
#include "platform/platform.h"

namespace platform {

bool SameFileName(const char* a, const char* b) { return SameNameIgnoringCase(a, b); }

int CompareFileNames(const char* a, const char* b) { return CompareNamesIgnoringCase(a, b); }

}  // namespace platform
