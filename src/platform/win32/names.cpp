// Win32 file names: compared by the system, as its file systems compare
// them (its uppercase table), after conversion from UTF-8.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

// ASCII names in the order of the system's ordinal comparison, which
// upper-cases before it compares.
int AsciiFoldedCompare(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int x = *a >= 'a' && *a <= 'z' ? *a - 32 : static_cast<unsigned char>(*a);
    const int y = *b >= 'a' && *b <= 'z' ? *b - 32 : static_cast<unsigned char>(*b);
    if (x != y || !x) return x - y;
  }
}

bool IsAscii(const char* s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) >= 0x80) return false;
  return true;
}

}  // namespace

int CompareFileNames(const char* a, const char* b) {
  // Windows' table maps no character beyond ASCII onto an ASCII letter.
  if (!IsAscii(a) || !IsAscii(b)) {
    WCHAR wa[kPathBuffer], wb[kPathBuffer];
    const int na = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, a, -1, wa, kPathBuffer);
    const int nb = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, b, -1, wb, kPathBuffer);
    if (na > 0 && nb > 0) return CompareStringOrdinal(wa, na - 1, wb, nb - 1, TRUE) - CSTR_EQUAL;
    // Names that do not convert compare by bytes, after those that do.
    if (na > 0 || nb > 0) return na > 0 ? -1 : 1;
  }
  return AsciiFoldedCompare(a, b);
}

bool SameFileName(const char* a, const char* b) { return CompareFileNames(a, b) == 0; }

}  // namespace platform
