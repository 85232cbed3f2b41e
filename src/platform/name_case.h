// File names as Windows compares them, in portable code: UTF-8 decoding,
// and Windows' uppercase table of the Basic Multilingual Plane.
//
// Windows compares names case-insensitively by mapping each UTF-16 unit
// through one uppercase table: the simple uppercase mapping of the BMP,
// restricted to letters whose uppercase maps back to them (so "µ", "ı",
// "ſ", final "ς" and the title-case digraphs stay as they are), and no
// mapping at all beyond the BMP. The table here is that table (tests
// compare it with the system's, character by character, under Windows).
//
// The program itself asks Windows (win32/names.cpp); this is for the
// native builds, whose tools must decide exactly as the program would.
#ifndef PATCHER_PLATFORM_NAME_CASE_H
#define PATCHER_PLATFORM_NAME_CASE_H

#include <stdint.h>

namespace platform {

// Decodes the UTF-8 character at *p and moves *p past it. Returns the code
// point, or -1 (moving one byte) for a byte that does not begin a
// well-formed character: a stray continuation byte, a truncated or overlong
// sequence, a surrogate, or a value above U+10FFFF.
inline int32_t NextUtf8(const unsigned char** p) {
  const unsigned char* s = *p;
  const unsigned c = s[0];
  int length;
  unsigned low = 0x80, high = 0xBF;  // allowed range of the second byte
  int32_t value;
  if (c < 0x80) {
    *p = s + 1;
    return static_cast<int32_t>(c);
  } else if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    value = c & 0x0F;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    value = c & 0x07;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    *p = s + 1;
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    const unsigned b = s[i];
    if (b < (i == 1 ? low : 0x80u) || b > (i == 1 ? high : 0xBFu)) {
      *p = s + 1;
      return -1;
    }
    value = value << 6 | static_cast<int32_t>(b & 0x3F);
  }
  *p = s + length;
  return value;
}

// Whether the NUL-terminated `name` is well-formed UTF-8 throughout.
inline bool IsUtf8(const char* name) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
  while (*p)
    if (NextUtf8(&p) < 0) return false;
  return true;
}

// Windows' uppercase of one BMP character (itself when it has none).
uint16_t UpcaseBmp(uint16_t c);

// Whether two names are one name to Windows: both well-formed UTF-8,
// compared character by character through UpcaseBmp; otherwise (as when
// Windows cannot convert them) byte by byte with ASCII letters folded.
bool SameNameIgnoringCase(const char* a, const char* b);

// A total order of names in which exactly the names SameNameIgnoringCase
// takes for one are equal: negative, zero or positive.
int CompareNamesIgnoringCase(const char* a, const char* b);

// A hash of `name`, one for all the names SameNameIgnoringCase takes for
// one: to find a name among many without comparing it with each.
uint64_t NameCaseHash(const char* name);

}  // namespace platform

#endif  // PATCHER_PLATFORM_NAME_CASE_H
