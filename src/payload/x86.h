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
