// Win32 file names: compared by the system, as its file systems compare
// them (its uppercase table), after conversion from UTF-8.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

bool AsciiFoldedEqual(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (FoldNameCase(*a) != FoldNameCase(*b)) return false;
    if (!*a) return true;
  }
}

bool IsAscii(const char* s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) >= 0x80) return false;
  return true;
}

}  // namespace

bool SameFileName(const char* a, const char* b) {
  // Windows' table maps no character beyond ASCII onto an ASCII letter.
  if (IsAscii(a) && IsAscii(b)) return AsciiFoldedEqual(a, b);
  WCHAR wa[kPathBuffer], wb[kPathBuffer];
  const int na = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, a, -1, wa, kPathBuffer);
  const int nb = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, b, -1, wb, kPathBuffer);
  if (na <= 0 || nb <= 0) return AsciiFoldedEqual(a, b);
  return CompareStringOrdinal(wa, na - 1, wb, nb - 1, TRUE) == CSTR_EQUAL;
}

}  // namespace platform
