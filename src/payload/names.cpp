#include "payload/names.h"

#include <string.h>

#include "platform/name_case.h"
#include "platform/platform.h"

namespace {

const size_t kLongestName = 29;  // the entry's name field, less its NUL

// Whether `s` (length n) equals the lower-case ASCII `word` ignoring case.
bool IsWord(const char* s, size_t n, const char* word) {
  if (strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (platform::FoldNameCase(s[i]) != word[i]) return false;
  return true;
}

bool IsSuperscriptDigit(unsigned char c) { return c == 0xB9 || c == 0xB2 || c == 0xB3; }

// A port number: a digit, or a superscript 1-3 in UTF-8 or in code page
// 1252 (Windows reserves COM and LPT with a superscript digit too).
bool IsPortDigit(const char* s, size_t n) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
  if (n == 1) return (u[0] >= '0' && u[0] <= '9') || IsSuperscriptDigit(u[0]);
  return n == 2 && u[0] == 0xC2 && IsSuperscriptDigit(u[1]);
}

// Windows opens the device, not a file in the directory, for these names
// alone or before the first dot, with spaces around them.
bool IsDeviceName(const char* name) {
  size_t begin = 0, end = 0;
  while (name[end] && name[end] != '.') ++end;
  while (begin < end && name[begin] == ' ') ++begin;
  while (end > begin && name[end - 1] == ' ') --end;
  const char* s = name + begin;
  const size_t n = end - begin;
  if (IsWord(s, n, "con") || IsWord(s, n, "prn") || IsWord(s, n, "aux") ||
      IsWord(s, n, "nul") || IsWord(s, n, "conin$") || IsWord(s, n, "conout$"))
    return true;
  return n > 3 && (IsWord(s, 3, "com") || IsWord(s, 3, "lpt")) && IsPortDigit(s + 3, n - 3);
}

}  // namespace

NameVerdict CheckEntryName(const char* name, NameRule rule) {
  const size_t n = strlen(name);
  if (n == 0) return kNameEmpty;
  if (n > kLongestName) return kNameTooLong;
  if (!strcmp(name, ".") || !strcmp(name, "..")) return kNameDots;
  bool ascii = true;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 32 || c == 127) return kNameControlCharacter;
    if (strchr("\\/:", c)) return kNamePathCharacter;
    if (strchr("*?|<>\"", c)) return kNameForbiddenCharacter;
    if (c >= 0x80) ascii = false;
  }
  if (name[n - 1] == '.' || name[n - 1] == ' ') return kNameTrailingDotOrSpace;
  if (IsDeviceName(name)) return kNameDevice;
  if (ascii) return kNameFine;
  if (rule == kNameForPacking) return kNameNotAscii;
  return platform::IsUtf8(name) ? kNameFine : kNameNotUtf8;
}

const char* NameVerdictText(NameVerdict verdict) {
  switch (verdict) {
    case kNameFine: return "";
    case kNameEmpty: return "not a plain file name (empty)";
    case kNameTooLong: return "longer than 29 characters";
    case kNameDots: return "not a plain file name (\".\" or \"..\")";
    case kNamePathCharacter: return "not a plain file name (holds \\, / or :)";
    case kNameForbiddenCharacter:
      return "not a plain file name (holds * ? | < > or \", which Windows does not allow)";
    case kNameControlCharacter: return "not a plain file name (holds a control character)";
    case kNameTrailingDotOrSpace:
      return "not a plain file name (ends in a dot or space, which Windows drops)";
    case kNameDevice: return "not a plain file name (a device on Windows)";
    case kNameNotAscii:
      return "not printable ASCII (the program creates files through 8-bit calls, whose code "
             "page differs between Windows versions)";
    case kNameNotUtf8: return "neither ASCII nor well-formed UTF-8";
  }
  return "not a plain file name";
}
