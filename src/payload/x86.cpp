#include "payload/x86.h"

#include <string.h>

#include "payload/byte_order.h"

namespace {

// Converts the branches of the ranges in buf[0, n), the file's bytes from
// offset `at`: targets made absolute, or relative again when kRestore.
// Every decision rests on bytes the two directions see alike: the opcode
// bytes, which no conversion touches (an operand ends at least 2 bytes
// past where the instruction starts, and a third byte is read only after
// an 8B or 8D, which starts none), and the operand's top byte, 00 or FF
// before and after. Returns how many bytes are settled: all but an
// instruction that runs past n, which the next call sees whole.
template <bool kRestore>
uint32_t Convert(uint8_t* buf, uint32_t n, uint32_t at, const CodeRange* r, int count) {
  // Ranges in order and apart; any other is passed over, by both
  // directions alike, so that none is worked twice or behind a held
  // instruction.
  uint32_t floor = 0;
  for (; count > 0; --count, ++r) {
    const uint32_t end = r->start + r->length;
    if (r->start < floor || end < r->start) continue;
    floor = end;
    if (end <= at) continue;
    // Offsets from buf's start.
    const uint32_t range_end = end - at;
    const uint32_t stop = range_end < n ? range_end : n;
    // The address of byte i is i + to_address.
    const uint32_t to_address = r->address - r->start + at;
    uint32_t i = r->start > at ? r->start - at : 0;
    const bool x64 = (r->address & kCodeRangeX64) != 0;
    while (i < stop) {
      // The operand follows the opcode byte at op.
      const uint8_t b = buf[i];
      if (b != 0xE8 && (!x64 || (b != 0xFF && (b & 0xFB) != 0x48))) {
        ++i;
        continue;
      }
      // Decided on 3 bytes: held when they are not all here.
      if (b != 0xE8 && n - i < 3) return i;
      const uint32_t operand_at = X86OperandAt(buf + i, x64, false);
      if (!operand_at) {
        ++i;
        continue;
      }
      const uint32_t op = i + operand_at - 1;
      // Only whole instructions inside the range; the operand is passed
      // over whether converted or not.
      if (range_end - op < 5) {
        i = op + 1;
        continue;
      }
      if (n - op < 5) return i;
      uint8_t* operand = buf + op + 1;
      i = op + 5;
      if (static_cast<uint8_t>(operand[3] + 1) <= 1) {
        // Within 16 MB either way: the low 25 bits carry it, sign-extended
        // from bit 24 so the top byte stays 00 or FF. Relative to the next
        // instruction, at i (the range's flag is above those bits).
        uint32_t v = ReadLe32(operand);
        v = kRestore ? v - (i + to_address) : v + (i + to_address);
        WriteLe32(operand, static_cast<uint32_t>(static_cast<int32_t>(v << 7) >> 7));
      }
    }
  }
  return n;
}

}  // namespace

void X86Absolute(uint8_t* file, uint32_t size, const CodeRange* ranges, int count) {
  Convert<false>(file, size, 0, ranges, count);
}

X86Restore::X86Restore(ByteSink* next, const CodeRange* ranges, int count)
    : next_(next), ranges_(ranges), count_(count) {}

int X86Restore::Put(const uint8_t* data, uint32_t size) {
  while (size) {
    uint32_t n = sizeof buf_ - held_;
    if (n > size) n = size;
    memcpy(buf_ + held_, data, n);
    data += n;
    size -= n;
    n += held_;
    const uint32_t done = Convert<true>(buf_, n, at_, ranges_, count_);
    if (!next_->Take(buf_, done)) return 0;
    at_ += done;
    held_ = n - done;
    memmove(buf_, buf_ + done, held_);
  }
  return 1;
}

int X86Restore::Finish() {
  // Cut short of a range's end: those bytes were never converted.
  const uint32_t n = held_;
  held_ = 0;
  return next_->Take(buf_, n);
}
