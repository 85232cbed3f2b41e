// The code ranges of Linux programs and libraries (ELF, little-endian,
// i386 and x86-64) for the x86 transform (x86.h), read with every offset
// checked against the buffer: a damaged or hostile file gives no ranges,
// never a read outside. lzcx only, like pe.h; FindCodeRanges (pe.h) comes
// here for a file that starts as ELF.
#ifndef PATCHER_PAYLOAD_ELF_H
#define PATCHER_PAYLOAD_ELF_H

#include <stddef.h>
#include <stdint.h>

#include "payload/x86.h"

const uint16_t kElfMachineI386 = 3;
const uint16_t kElfMachineX86_64 = 62;

// The most code sections (or executable segments) a file may have here.
const int kElfMaxCode = 96;

// True when `file` starts with the ELF magic.
bool IsElf(const uint8_t* file, size_t size);

// The code of an ELF executable or shared object of an x86 machine: the
// file data of its executable program sections, or with no section
// headers its executable loadable segments, as ranges in file order,
// apart, each at its address (low 30 bits; kCodeRangeX64 set for x86-64
// code, x32 included); at most `most` (up to kMaxCodeRanges; the longest
// when there are more). Zero ranges for anything else: not ELF, big-endian,
// another machine, an object file (its calls wait for relocation), damaged
// headers.
int FindElfCodeRanges(const uint8_t* file, size_t size, CodeRange* out, int most);

#endif  // PATCHER_PAYLOAD_ELF_H
