#include "payload/journal.h"

#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/names.h"

namespace {

const size_t kHeader = 16;
const size_t kStepHeader = 29;
const int kStepFields = 7;  // u32 each, the old size as two, then the name's length

}  // namespace

uint8_t* EncodeJournal(JournalPhase phase, const JournalStep* steps, int count, size_t* size) {
  size_t length = kHeader + 4;
  for (int i = 0; i < count; ++i) length += kStepHeader + strlen(steps[i].name);
  uint8_t* out = static_cast<uint8_t*>(malloc(length));
  if (!out) return nullptr;
  memcpy(out, kJournalMagic, 4);
  WriteLe32(out + 4, static_cast<uint32_t>(length));
  WriteLe32(out + 8, phase);
  WriteLe32(out + 12, static_cast<uint32_t>(count));
  uint8_t* p = out + kHeader;
  for (int i = 0; i < count; ++i) {
    const JournalStep& s = steps[i];
    const size_t n = strlen(s.name);
    const uint32_t fields[kStepFields] = {s.temp,    s.backup, s.new_size, s.new_crc,
                                          static_cast<uint32_t>(s.old_size),
                                          static_cast<uint32_t>(s.old_size >> 32), s.old_crc};
    for (int f = 0; f < kStepFields; ++f) WriteLe32(p + 4 * f, fields[f]);
    p[28] = static_cast<uint8_t>(n);
    memcpy(p + kStepHeader, s.name, n);
    p += kStepHeader + n;
  }
  WriteLe32(p, Crc32c(0, out, length - 4));
  *size = length;
  return out;
}

int DecodeJournal(const uint8_t* bytes, size_t size, JournalPhase* phase,
                  JournalStep** steps, int* count) {
  *steps = nullptr;
  if (size < kHeader + 4 || memcmp(bytes, kJournalMagic, 4) != 0 || ReadLe32(bytes + 4) != size ||
      ReadLe32(bytes + size - 4) != Crc32c(0, bytes, size - 4))
    return 0;
  const uint32_t p = ReadLe32(bytes + 8);
  const uint32_t n = ReadLe32(bytes + 12);
  const size_t end = size - 4;
  // Every step takes at least one byte more than its header.
  if (p < kPhaseStaging || p > kPhaseRollBack || n > (end - kHeader) / (kStepHeader + 1))
    return 0;
  *phase = static_cast<JournalPhase>(p);
  JournalStep* out = static_cast<JournalStep*>(calloc(n ? n : 1, sizeof(JournalStep)));
  if (!out) return 0;
  size_t at = kHeader;
  uint32_t i = 0;
  for (; i < n; ++i) {
    JournalStep& s = out[i];
    const size_t length = at + kStepHeader <= end ? bytes[at + 28] : 0;
    if (length == 0 || length >= static_cast<size_t>(kStepNameField) ||
        length > end - at - kStepHeader)
      break;
    uint32_t fields[kStepFields];
    for (int f = 0; f < kStepFields; ++f) fields[f] = ReadLe32(bytes + at + 4 * f);
    s.temp = fields[0];
    s.backup = fields[1];
    s.new_size = fields[2];
    s.new_crc = fields[3];
    s.old_size = fields[4] | static_cast<uint64_t>(fields[5]) << 32;
    s.old_crc = fields[6];
    memcpy(s.name, bytes + at + kStepHeader, length);
    at += kStepHeader + length;
    // Recovery renames and removes by these names: nothing but plain
    // names of this directory, never one of the patch's own.
    if (s.temp == kNoFile || s.temp == s.backup || strlen(s.name) != length ||
        CheckEntryName(s.name, kNameForReading) != kNameFine || IsPatchFileName(s.name))
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
