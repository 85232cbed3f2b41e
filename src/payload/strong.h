// Strong entries ("LZCS"): whole files compressed by LZ77 with a window of
// up to 64 MB, coded by the adaptive binary arithmetic coder of the delta
// streams (delta_code.h) with context models; consecutive strong entries
// may form a solid group, whose window and models pass from one entry to
// the next. docs/strong.md gives the layout byte by byte.
//
// An entry whose compressed field is kStrongForm holds:
//   0  u32 LE  expanded size: the file's length
//   4  u32 LE  CRC-32C of the file
//   8  u8      flags: bit 0 set when the entry continues the group of the
//              strong entry before it in the container (entries of other
//              forms may come between); other bits zero
//   9  u8      literal context bits lc (0..8)
//  10  u8      position bits: lp (low 4 bits, 0..4), pb (high 4 bits, 0..4)
//  11  u8      window log w (12..26): matches reach back at most 2^w bytes
//  12  4 bytes reserved: "LZCT" when the payload has a checksum trailer,
//              as in a block's header (container.h); never read here
//  16  u8      n, count of code ranges (x86.h), 0..kMaxCodeRanges
//  17  12 n    the ranges: u32 LE start, length, address each
//  17+12n      the code, to the end of the entry
// An entry that continues a group has the group's lc, lp, pb and w.
#ifndef PATCHER_PAYLOAD_STRONG_H
#define PATCHER_PAYLOAD_STRONG_H

#include <stdint.h>

#include "payload/stream.h"
#include "payload/x86.h"

const uint32_t kStrongHeaderSize = 17;
const uint8_t kStrongContinues = 1;
const int kStrongMinWindowLog = 12;
const int kStrongMaxWindowLog = 26;  // 64 MB

// A strong entry's header, read and checked.
struct StrongHeader {
  uint32_t size;
  uint32_t crc;
  bool continues;
  uint8_t lc, lp, pb, window_log;
  int ranges_count;
  CodeRange ranges[kMaxCodeRanges];
  const uint8_t* code;
  uint32_t code_size;
};

// Reads the header of the strong entry data at `data` (`size` bytes):
// zero when it is cut short or a field is out of range (the ranges must
// lie in the file, in order, apart).
int ReadStrongHeader(const uint8_t* data, uint32_t size, StrongHeader* h);

// Writes a header (kStrongHeaderSize + 12 n bytes) into `out`, its
// reserved field zero: the encoder's one way to write it.
uint32_t WriteStrongHeader(uint8_t* out, const StrongHeader& h);

enum StrongFault {
  kStrongFine = 0,
  kStrongDamaged,     // the header or the code is cut short, overlong or out of bounds
  kStrongUnchained,   // continues a group that was not decoded right before
  kStrongNoMemory,
  kStrongStopped,     // the sink took no more
};

const char* StrongFaultText(StrongFault fault) __attribute__((const));

// Decodes strong entries one after the other, keeping a group's window and
// models from one entry to the next. Memory: the window (at most 2^w
// bytes) and the models.
class StrongDecoder {
 public:
  StrongDecoder();
  ~StrongDecoder();
  // Decodes the entry data at `data` (`size` bytes) into `sink`, which
  // sums the CRC-32C (the caller compares it with the header's). An entry
  // that continues a group is decoded only right after the entry before
  // it decoded whole and sound (else kStrongUnchained); any other starts
  // a group. The transform is undone on the way to `sink` (x86.h).
  StrongFault Decode(const uint8_t* data, uint32_t size, ByteSink* sink);
  // Forgets the group: the next entry must start one.
  void Reset();

 private:
  StrongDecoder(const StrongDecoder&) = delete;
  StrongDecoder& operator=(const StrongDecoder&) = delete;
  struct State;
  State* state_;
};

#endif  // PATCHER_PAYLOAD_STRONG_H
