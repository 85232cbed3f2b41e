// Small hand-laid ELF files for the tests and the fuzzer of the ELF
// reader: a header, one executable segment and a section table of code and
// other sections. The layout (all offsets fixed) is in MakeTestElf.
#ifndef PATCHER_TESTS_SUPPORT_ELF_BUILDER_H
#define PATCHER_TESTS_SUPPORT_ELF_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include "support/payload_builder.h"

// `width` bytes of `v`, little-endian, at `at` (checked).
void PutLe(Bytes* b, size_t at, uint64_t v, int width);

struct TestElf {
  Bytes image;
  bool wide;  // ELF64
  size_t shoff = 0x300;
  // The file offset of `field` in section i's header.
  size_t Section(int i, size_t field) const { return shoff + (wide ? 64 : 40) * i + field; }
  void SetSection(int i, uint32_t type, uint64_t flags, uint64_t address, uint64_t offset,
                  uint64_t size);
};

// A shared object of `machine`, 0x300 bytes, then its section table:
// .plt (0x200, 0x10 bytes at 0x1200) and .text (0x210, 0x50 at 0x1210) go
// on from one another; .fini (0x270, 0x10 at 0x1270) stands apart;
// .rodata and a .bss flagged as code are not code. One executable segment
// covers the code, 0x200 to 0x280. The code bytes are zero.
TestElf MakeTestElf(bool wide, uint16_t machine);

#endif  // PATCHER_TESTS_SUPPORT_ELF_BUILDER_H
