#include "payload/patch_files.h"

#include <string.h>

#include "platform/platform.h"

const char kJournalName[] = "~ptjrnl.tmp";
const char kJournalNewName[] = "~ptjrnl.new";
const char kLockName[] = "~ptlock.tmp";

namespace {

int HexValue(char c) {
  c = platform::FoldNameCase(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

// "~pt%04x.tmp", by hand: the program carries no printf.
void TempName(uint32_t number, char* out) {
  int digits = 4;
  while (digits < 8 && number >> (4 * digits)) ++digits;
  memcpy(out, "~pt", 3);
  for (int i = 0; i < digits; ++i) {
    const int digit = (number >> (4 * (digits - 1 - i))) & 15;
    out[3 + i] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
  }
  memcpy(out + 3 + digits, ".tmp", 5);
}

bool IsPatchFileName(const char* name) {
  if (platform::SameFileName(name, kJournalName) || platform::SameFileName(name, kJournalNewName) ||
      platform::SameFileName(name, kLockName))
    return true;
  if (platform::FoldNameCase(name[0]) != '~' || platform::FoldNameCase(name[1]) != 'p' ||
      platform::FoldNameCase(name[2]) != 't')
    return false;
  uint32_t number = 0;
  int digits = 0;
  for (const char* p = name + 3; digits < 9 && HexValue(*p) >= 0; ++p, ++digits)
    number = number * 16 + static_cast<uint32_t>(HexValue(*p));
  if (digits < 4 || digits > 8) return false;
  char temp[kTempNameBuffer];
  TempName(number, temp);
  return platform::SameFileName(name, temp);
}
