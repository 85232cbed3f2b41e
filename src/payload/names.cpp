#include "payload/names.h"

#include <string.h>

#include "payload/patch_files.h"
#include "platform/name_case.h"
#include "platform/platform.h"

namespace {

// Whether `s` (length n) is one of the NUL-separated lower-case ASCII
// `words` (ended by an empty one), ignoring case.
bool IsOneOf(const char* s, size_t n, const char* words) {
  for (; *words; words += strlen(words) + 1) {
    size_t i = 0;
    while (i < n && words[i] && platform::FoldNameCase(s[i]) == words[i]) ++i;
    if (i == n && !words[i]) return true;
  }
  return false;
}

bool IsSuperscriptDigit(unsigned char c) { return c == 0xB9 || c == 0xB2 || c == 0xB3; }

// Windows opens the device, not a file in the directory, for these names
// alone or before the first dot, with spaces around them. A port's number
// is a digit or a superscript 1-3, in UTF-8 or in code page 1252.
bool IsDeviceName(const char* name) {
  size_t begin = 0, end = 0;
  while (name[end] && name[end] != '.') ++end;
  while (begin < end && name[begin] == ' ') ++begin;
  while (end > begin && name[end - 1] == ' ') --end;
  const char* s = name + begin;
  const size_t n = end - begin;
  if (IsOneOf(s, n, "con\0prn\0aux\0nul\0conin$\0conout$\0")) return true;
  if (n < 4 || !IsOneOf(s, 3, "com\0lpt\0")) return false;
  const unsigned char* u = reinterpret_cast<const unsigned char*>(s + 3);
  if (n == 4) return (u[0] >= '0' && u[0] <= '9') || IsSuperscriptDigit(u[0]);
  return n == 5 && u[0] == 0xC2 && IsSuperscriptDigit(u[1]);
}

}  // namespace

NameVerdict CheckEntryName(const char* name, NameRule rule) {
  const size_t n = strlen(name);
  if (n == 0) return kNameEmpty;
  if (n > static_cast<size_t>(kLongestName)) return kNameTooLong;
  if (n <= 2 && name[0] == '.' && name[n - 1] == '.') return kNameDots;  // "." or ".."
  bool ascii = true;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    // C0, DEL and, in UTF-8, C1 (U+0080..U+009F): terminals obey them all.
    if (c < 32 || c == 127 || (c == 0xC2 && (name[i + 1] & 0xE0) == 0x80))
      return kNameControlCharacter;
    if (strchr("\\/:", c)) return kNamePathCharacter;
    if (strchr("*?|<>\"", c)) return kNameForbiddenCharacter;
    if (c >= 0x80) ascii = false;
  }
  if (name[n - 1] == '.' || name[n - 1] == ' ') return kNameTrailingDotOrSpace;
  if (IsDeviceName(name)) return kNameDevice;
  // The patch would take such an entry for one of its own files.
  if (IsPatchFileName(name)) return kNameReserved;
  if (ascii) return kNameFine;
  if (rule == kNameForPacking) return kNameNotAscii;
  return platform::IsUtf8(name) ? kNameFine : kNameNotUtf8;
}

NameVerdict CheckEntryPath(const char* path, NameRule rule) {
  if (strlen(path) > static_cast<size_t>(kLongestPath)) return kPathTooLong;
  // Each name on its own, copied out so that the one rule sees it whole.
  char name[kLongestName + 1];
  for (const char* p = path;; ++p) {
    const char* end = strchr(p, '/');
    const size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (n > static_cast<size_t>(kLongestName)) return kNameTooLong;
    memcpy(name, p, n);
    name[n] = 0;
    const NameVerdict verdict = CheckEntryName(name, rule);
    if (verdict != kNameFine || !end) return verdict;
    p = end;
  }
}

// For messages only: the program's build carries no fault texts.
#ifndef PATCHER_NO_FAULT_TEXT
const char* NameVerdictText(NameVerdict verdict) {
  switch (verdict) {
    case kNameFine: return "";
    case kNameEmpty: return "not a plain file name (empty, or an empty folder name in a path)";
    case kNameTooLong: return "longer than 255 characters";
    case kNameDots: return "not a plain file name (. or ..)";
    case kNamePathCharacter: return "not a plain file name (holds \\ / or :)";
    case kNameForbiddenCharacter:
      return "not a plain file name (holds * ? | < > or \" for Windows)";
    case kNameControlCharacter: return "not a plain file name (holds a control character)";
    case kNameTrailingDotOrSpace: return "not a plain file name (ends in a dot or space)";
    case kNameDevice: return "not a plain file name (a device on Windows)";
    case kNameNotAscii: return "not printable ASCII";
    case kNameNotUtf8: return "neither ASCII nor UTF-8";
    case kNameReserved: return "a name the patch keeps for its own files";
    case kPathTooLong: return "a path longer than 1,024 characters";
  }
  return "not a plain file name";
}
#endif
