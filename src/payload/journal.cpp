#include "payload/journal.h"

#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/names.h"
#include "platform/platform.h"

const char kJournalName[] = "~ptjrnl.tmp";
const char kJournalNewName[] = "~ptjrnl.new";

namespace {

const uint8_t kMagic[4] = {'P', 'T', 'J', '1'};
const size_t kHeader = 16;
const size_t kStepHeader = 9;

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
  if (platform::SameFileName(name, kJournalName) ||
      platform::SameFileName(name, kJournalNewName))
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

uint8_t* EncodeJournal(uint32_t phase, const JournalStep* steps, int count, size_t* size) {
  size_t length = kHeader + 4;
  for (int i = 0; i < count; ++i) length += kStepHeader + strlen(steps[i].name);
  uint8_t* out = static_cast<uint8_t*>(malloc(length));
  if (!out) return nullptr;
  memcpy(out, kMagic, 4);
  WriteLe32(out + 4, static_cast<uint32_t>(length));
  WriteLe32(out + 8, phase);
  WriteLe32(out + 12, static_cast<uint32_t>(count));
  uint8_t* p = out + kHeader;
  for (int i = 0; i < count; ++i) {
    const size_t n = strlen(steps[i].name);
    WriteLe32(p, steps[i].temp);
    WriteLe32(p + 4, steps[i].backup);
    p[8] = static_cast<uint8_t>(n);
    memcpy(p + kStepHeader, steps[i].name, n);
    p += kStepHeader + n;
  }
  WriteLe32(p, Crc32c(0, out, length - 4));
  *size = length;
  return out;
}

int DecodeJournal(const uint8_t* bytes, size_t size, uint32_t* phase,
                  JournalStep** steps, int* count) {
  *steps = nullptr;
  if (size < kHeader + 4 || memcmp(bytes, kMagic, 4) != 0 || ReadLe32(bytes + 4) != size ||
      ReadLe32(bytes + size - 4) != Crc32c(0, bytes, size - 4))
    return 0;
  *phase = ReadLe32(bytes + 8);
  const uint32_t n = ReadLe32(bytes + 12);
  const size_t end = size - 4;
  // Every step takes at least one byte more than its header.
  if (*phase < kPhaseStaging || *phase > kPhaseRollBack || n > (end - kHeader) / (kStepHeader + 1))
    return 0;
  JournalStep* out = static_cast<JournalStep*>(calloc(n ? n : 1, sizeof(JournalStep)));
  if (!out) return 0;
  size_t at = kHeader;
  uint32_t i = 0;
  for (; i < n; ++i) {
    JournalStep& s = out[i];
    const size_t length = at + kStepHeader <= end ? bytes[at + 8] : 0;
    if (length == 0 || length >= static_cast<size_t>(kStepNameField) ||
        length > end - at - kStepHeader)
      break;
    s.temp = ReadLe32(bytes + at);
    s.backup = ReadLe32(bytes + at + 4);
    memcpy(s.name, bytes + at + kStepHeader, length);
    at += kStepHeader + length;
    // Recovery renames and removes by these names: nothing but plain
    // names of this directory, never one of the patch's own.
    if (s.temp == kNoFile || strlen(s.name) != length || CheckEntryName(s.name, kNameForReading) != kNameFine ||
        IsPatchFileName(s.name))
      break;
  }
  if (i != n || at != end) {
    free(out);
    return 0;
  }
  *steps = out;
  *count = static_cast<int>(n);
  return 1;
}
