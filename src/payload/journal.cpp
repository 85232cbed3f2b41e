#include "payload/journal.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/names.h"

namespace {

const size_t kHeader = 16;
// u32 fields of a step, the old size as two, then (but in the second
// format) the old file's identity as four; the name's length follows them.
const int kStepFields = 11;
const int kStepFieldsBefore = 7;

// Where each u32 field of a step is in a JournalStep, the u64s as two
// halves, low first: a little-endian host's.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the fields' halves");
const uint8_t kFieldAt[kStepFields] = {
    offsetof(JournalStep, temp),         offsetof(JournalStep, backup),
    offsetof(JournalStep, new_size),     offsetof(JournalStep, new_crc),
    offsetof(JournalStep, old_size),     offsetof(JournalStep, old_size) + 4,
    offsetof(JournalStep, old_crc),      offsetof(JournalStep, old_id),
    offsetof(JournalStep, old_id) + 4,   offsetof(JournalStep, old_id) + 8,
    offsetof(JournalStep, old_id) + 12};

int StepFields(int format) { return format == 2 ? kStepFieldsBefore : kStepFields; }

// Bytes of a step before its name: the fields, then the fourth format's
// kind and u16 length, or the older ones' u8 length.
size_t StepHeader(int format) { return 4 * StepFields(format) + (format == 4 ? 3 : 1); }

}  // namespace

uint8_t* EncodeJournal(JournalPhase phase, const JournalStep* steps, int count, size_t* size,
                       int format) {
  const int field_count = StepFields(format);
  const size_t step_header = StepHeader(format);
  size_t length = kHeader + 4;
  for (int i = 0; i < count; ++i) length += step_header + strlen(steps[i].name);
  uint8_t* out = static_cast<uint8_t*>(malloc(length));
  if (!out) return nullptr;
  memcpy(out, kJournalMagic, 3);
  out[3] = static_cast<uint8_t>('0' + format);
  WriteLe32(out + 4, static_cast<uint32_t>(length));
  WriteLe32(out + 8, phase);
  WriteLe32(out + 12, static_cast<uint32_t>(count));
  uint8_t* p = out + kHeader;
  for (int i = 0; i < count; ++i) {
    const JournalStep& s = steps[i];
    const size_t n = strlen(s.name);
    for (int f = 0; f < field_count; ++f) {
      uint32_t field;
      memcpy(&field, reinterpret_cast<const uint8_t*>(&s) + kFieldAt[f], 4);
      WriteLe32(p + 4 * f, field);
    }
    if (format == 4) {
      p[44] = s.kind;
      WriteLe16(p + 45, static_cast<uint32_t>(n));
    } else {
      p[step_header - 1] = static_cast<uint8_t>(n);
    }
    memcpy(p + step_header, s.name, n);
    p += step_header + n;
  }
  WriteLe32(p, Crc32c(0, out, length - 4));
  *size = length;
  return out;
}

int DecodeJournal(const uint8_t* bytes, size_t size, JournalPhase* phase,
                  JournalStep** steps, int* count) {
  *steps = nullptr;
  if (size < kHeader + 4 || memcmp(bytes, kJournalMagic, 3) != 0 ||
      bytes[3] < '2' || bytes[3] > '4' || ReadLe32(bytes + 4) != size ||
      ReadLe32(bytes + size - 4) != Crc32c(0, bytes, size - 4))
    return 0;
  const int format = bytes[3] - '0';
  const int field_count = StepFields(format);
  const size_t step_header = StepHeader(format);
  const uint32_t p = ReadLe32(bytes + 8);
  const uint32_t n = ReadLe32(bytes + 12);
  const size_t end = size - 4;
  // Every step takes at least one byte more than its header.
  if (p < kPhaseStaging || p > kPhaseRollBack || n > (end - kHeader) / (step_header + 1))
    return 0;
  *phase = static_cast<JournalPhase>(p);
  JournalStep* out = static_cast<JournalStep*>(calloc(n ? n : 1, sizeof(JournalStep)));
  if (!out) return 0;
  size_t at = kHeader;
  uint32_t i = 0;
  for (; i < n; ++i) {
    JournalStep& s = out[i];
    if (at + step_header > end) break;
    const uint8_t* h = bytes + at;
    const size_t length = format == 4 ? ReadLe16(h + 45) : h[step_header - 1];
    s.kind = format == 4 ? h[44] : static_cast<uint8_t>(kStepFile);
    if (length == 0 || length >= static_cast<size_t>(kStepNameField) ||
        length > end - at - step_header)
      break;
    // (The second format's step leaves the identity zero, as calloc made it.)
    for (int f = 0; f < field_count; ++f) {
      const uint32_t field = ReadLe32(h + 4 * f);
      memcpy(reinterpret_cast<uint8_t*>(&s) + kFieldAt[f], &field, 4);
    }
    memcpy(s.name, bytes + at + step_header, length);
    at += step_header + length;
    // Recovery renames and removes by these names: nothing but paths the
    // name rule passes, never one of the patch's own.
    const bool temp = s.temp != kNoFile;
    const bool fits = s.kind == kStepFile     ? temp && s.temp != s.backup
                      : s.kind == kStepFolder ? !temp && s.backup == kNoFile
                                              : s.kind == kStepRemoval && !temp;
    if (!fits || strlen(s.name) != length ||
        CheckEntryPath(s.name, kNameForReading) != kNameFine)
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
