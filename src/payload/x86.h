// The x86 branch transform: in the code of an x86 or x64 program, the
// rel32 operands of calls (E8) made absolute before compression, so that
// every call of one function carries the same four bytes, and made
// relative again after decoding; in x64 code also the RIP-relative
// operands of calls and jumps through a pointer (FF 15, FF 25) and of
// 64-bit loads and addresses (REX.W 8B, 8D). Jumps (E9, 0F 80..8F) are
// left: mostly near, within one function, their relative form repeats
// better. Only the ranges a strong entry names (the code sections of a PE
// or ELF file, found by pe.h and elf.h) are touched; docs/x86.md gives the rule byte by
// byte and what each part earns.
#ifndef PATCHER_PAYLOAD_X86_H
#define PATCHER_PAYLOAD_X86_H

#include <stdint.h>

#include "payload/stream.h"

// A run of code in a file: `length` bytes from file offset `start`, loaded
// at `address` (its relative virtual address), and with kCodeRangeX64 set
// in `address` when it is x64 code. (An image is smaller than 2 GB, and
// only the low 25 bits of an address count in a conversion.)
struct CodeRange {
  uint32_t start;
  uint32_t length;
  uint32_t address;
};

const uint32_t kCodeRangeX64 = 0x80000000u;

// Where the rel32 operand of the instruction at `p` begins, from p, when
// it is one of those the transform works on (E8; in x64 code FF 15 and
// FF 25, and REX.W or REX.WR 8B or 8D with mod 00 r/m 101); with
// `jumps`, also E9 and 0F 80..8F, and in x64 code the RIP-relative forms
// of mov, lea, the arithmetic, test and movsxd under any REX or none, which
// executable-aware deltas predict (exe_delta.h). Zero for none. Reads
// p[1] and p[2] only when p[0] is not E8: three bytes must be there then.
inline uint32_t X86OperandAt(const uint8_t* p, bool x64, bool jumps) {
  const uint8_t b = p[0];
  if (b == 0xE8 || (jumps && b == 0xE9)) return 1;
  if (jumps && b == 0x0F) return (p[1] & 0xF0) == 0x80 ? 2 : 0;
  if (!x64) return 0;
  if (b == 0xFF) return p[1] == 0x15 || p[1] == 0x25 ? 2 : 0;
  // The opcodes whose mod 00 r/m 101 operand is RIP-relative here.
  const bool rex = jumps ? (b & 0xF0) == 0x40 : (b & 0xFB) == 0x48;
  if (!rex && !jumps) return 0;
  const uint8_t o = rex ? p[1] : b;
  // mov and lea; with `jumps`, also the arithmetic ones (add, or, adc,
  // sbb, and, sub, xor, cmp, either way round), test and movsxd.
  const bool rip = o == 0x8B || o == 0x8D ||
                   (jumps && ((o < 0x40 && (o & 5) == 1) || o == 0x85 || o == 0x89 || o == 0x63));
  return rip && (p[1 + rex] & 0xC7) == 0x05 ? 2 + rex : 0;
}

// The most ranges one entry may name.
const int kMaxCodeRanges = 16;

// Makes the branch targets in the ranges of `file` (`size` bytes, whole,
// in memory) absolute, in place: what the packer does before encoding.
// The ranges are taken in order; one that starts before the end of the
// one before it is passed over, here and by X86Restore alike.
void X86Absolute(uint8_t* file, uint32_t size, const CodeRange* ranges, int count);

// The inverse, as the decoded bytes come: restores the targets and passes
// the file's own bytes on to `next`, holding back at most the 6 bytes of
// an instruction not yet whole. Finish passes on what is held at the end.
// `ranges` must outlive it.
class X86Restore final : public ByteSink {
 public:
  X86Restore(ByteSink* next, const CodeRange* ranges, int count);
  int Finish();

 protected:
  int Put(const uint8_t* data, uint32_t size) override;

 private:
  ByteSink* next_;
  const CodeRange* ranges_;
  int count_;
  uint32_t at_ = 0;    // file offset of buf_[0]
  uint32_t held_ = 0;  // bytes of an instruction not yet whole, at buf_'s start
  // Restored in place here, then passed on: small enough for a frame.
  uint8_t buf_[2048];
};

#endif  // PATCHER_PAYLOAD_X86_H
