#include "support/elf_builder.h"

#include <string.h>

void PutLe(Bytes* b, size_t at, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b->at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

TestElf MakeTestElf(bool wide, uint16_t machine) {
  TestElf e;
  e.wide = wide;
  const int sections = 6, w = wide ? 8 : 4;
  e.image.assign(e.shoff + (wide ? 64 : 40) * sections, 0);
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', static_cast<uint8_t>(wide ? 2 : 1), 1, 1};
  memcpy(e.image.data(), ident, sizeof ident);
  PutLe(&e.image, 16, 3, 2);  // a shared object
  PutLe(&e.image, 18, machine, 2);
  PutLe(&e.image, wide ? 32 : 28, 0x40, w);  // program headers
  PutLe(&e.image, wide ? 40 : 32, e.shoff, w);
  PutLe(&e.image, wide ? 54 : 42, wide ? 56 : 32, 2);
  PutLe(&e.image, wide ? 56 : 44, 1, 2);
  PutLe(&e.image, wide ? 58 : 46, wide ? 64 : 40, 2);
  PutLe(&e.image, wide ? 60 : 48, sections, 2);
  // The executable segment: PT_LOAD, PF_R | PF_X.
  PutLe(&e.image, 0x40, 1, 4);
  PutLe(&e.image, 0x40 + (wide ? 4 : 24), 5, 4);
  PutLe(&e.image, 0x40 + (wide ? 8 : 4), 0x200, w);
  PutLe(&e.image, 0x40 + (wide ? 16 : 8), 0x1200, w);
  PutLe(&e.image, 0x40 + (wide ? 32 : 16), 0x80, w);
  e.SetSection(1, 1, 6, 0x1200, 0x200, 0x10);
  e.SetSection(2, 1, 6, 0x1210, 0x210, 0x50);
  e.SetSection(3, 1, 6, 0x1270, 0x270, 0x10);
  e.SetSection(4, 1, 2, 0x2000, 0x280, 0x40);
  e.SetSection(5, 8, 6, 0x3000, 0x2C0, 0x40);  // NOBITS, though flagged as code
  return e;
}

void TestElf::SetSection(int i, uint32_t type, uint64_t flags, uint64_t address, uint64_t offset,
                         uint64_t size) {
  const int w = wide ? 8 : 4;
  PutLe(&image, Section(i, 4), type, 4);
  PutLe(&image, Section(i, 8), flags, w);
  PutLe(&image, Section(i, wide ? 16 : 12), address, w);
  PutLe(&image, Section(i, wide ? 24 : 16), offset, w);
  PutLe(&image, Section(i, wide ? 32 : 20), size, w);
}
