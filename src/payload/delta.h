// Delta entries: a new file made from the old file it replaces.
//
// An entry whose compressed field is kDeltaForm ("LZCD") holds, instead of
// a block:
//   0  u32 LE  old size
//   4  u32 LE  new size (the entry's expanded length)
//   8  u32 LE  CRC-32C of the old file
//  12  4 bytes reserved: "LZCT" when the payload has a checksum trailer,
//              as in a block's header (container.h); never read here
//  16  u32 LE  CRC-32C of the new file
//  20          the delta stream, to the end of the entry
// The stream is one adaptive binary arithmetic code (docs/delta.md) of
// commands, each: an add of A bytes (the old bytes from the old position,
// each plus a difference byte; runs of zero differences coded as their
// lengths), then E extra bytes taken as they are, then a seek of the old
// position. The commands end where the new size is reached; the code's
// bytes must then be used up exactly.
//
// Nothing of the stream depends on the old bytes, so everything but the
// new file's CRC can be checked without the old file (CheckDeltaEntry).
//
// An executable-aware delta (kExeDeltaForm, "LZCE") has the same header;
// its stream names the old file's layout and a map of how its targets
// moved before the commands, which then read the old file with every
// reference predicted (exe_delta.h). Without the old file, all but the
// references' room can be checked.
#ifndef PATCHER_PAYLOAD_DELTA_H
#define PATCHER_PAYLOAD_DELTA_H

#include <stdint.h>

#include "payload/byte_order.h"
#include "payload/container.h"
#include "payload/stream.h"

const uint32_t kDeltaHeaderSize = 20;

// The header's fields into `e`, whose data holds at least
// kDeltaHeaderSize bytes: the old file, and the new file's size and CRC.
inline void ReadDeltaHeader(PayloadEntry* e) {
  e->old_size = ReadLe32(e->data);
  e->expanded_length = ReadLe32(e->data + 4);
  e->old_crc = ReadLe32(e->data + 8);
  e->new_crc = ReadLe32(e->data + 16);
  e->crc_known = true;
}

// The header into `out` (kDeltaHeaderSize bytes), its reserved field zero.
void WriteDeltaHeader(uint8_t* out, uint32_t old_size, uint32_t new_size, uint32_t old_crc,
                      uint32_t new_crc);

enum DeltaFault {
  kDeltaFine = 0,
  kDeltaOldDiffers,   // the old file's size or CRC-32C is not the one named
  kDeltaDamaged,      // the stream is cut short, overlong or out of bounds
  kDeltaNewDiffers,   // the new file's CRC-32C does not match (damage)
  kDeltaNoMemory,
  kDeltaStopped,      // the old bytes or the sink failed (StreamDelta)
};

const char* DeltaFaultText(DeltaFault fault) __attribute__((const));

// Whether `old_data` (`old_size` bytes) is the file the delta entry `e`
// was made from: its size and CRC-32C. What the applier checks for every
// delta entry before it writes anything.
int DeltaOldMatches(const PayloadEntry& e, const uint8_t* old_data, uint32_t old_size);

// Makes the new file of delta entry `e` from its old file into `out`
// (e.expanded_length bytes): checks the old file first (DeltaOldMatches),
// every copy before it happens, and the CRC-32C of what was made at the
// end. Nonzero on success; zero with `fault` (if given) saying why.
int ApplyDelta(const uint8_t* old_data, uint32_t old_size, const PayloadEntry& e, uint8_t* out,
               DeltaFault* fault = nullptr);

// Makes the new file of delta entry `e` into `sink` a piece at a time,
// reading its old file from `old` (of e.old_size bytes), every command
// checked against the old and the new sizes before anything is copied,
// and the code's bytes used up exactly. The old file's CRC-32C and the new
// file's are the caller's to check (as the bytes go). Without a sink (and
// then without `old`), only walks the stream: everything that can be
// checked without the old file. Memory: the models and one piece.
DeltaFault StreamDelta(const PayloadEntry& e, OldBytes* old, ByteSink* sink);

// That walk alone: nonzero when the entry is sound as far as it goes.
inline int CheckDeltaEntry(const PayloadEntry& e, DeltaFault* fault = nullptr) {
  const DeltaFault what = StreamDelta(e, nullptr, nullptr);
  if (fault) *fault = what;
  return what == kDeltaFine;
}

#endif  // PATCHER_PAYLOAD_DELTA_H
