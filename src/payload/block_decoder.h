// The compressed block ("LZCX") and its decoder.
//
// A block is a 16-byte header followed by a body:
//   0  4 bytes  magic "LZCX" (written by the packer, never tested here)
//   4  u32 LE   expanded length L
//   8  u32 LE   block length B, header included
//  12  u32 LE   reserved (0, never read)
//  16  B - 16   body
// When B == L + 16 the body is the expanded bytes verbatim ("stored").
// Otherwise it is coded: groups of a 16-bit LE control word and up to 16
// items, bit 0 first. A clear bit is a literal byte; a set bit is a match of
// two bytes b0 b1: length (b0 & 15) + 1, distance (b0 >> 4) * 256 + b1,
// copied one byte at a time from (output end - distance), so a match longer
// than its distance repeats the last `distance` bytes. The body ends where
// B says; bits of the last control word beyond its items are ignored.
#ifndef PATCHER_PAYLOAD_BLOCK_DECODER_H
#define PATCHER_PAYLOAD_BLOCK_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "payload/byte_order.h"
#include "payload/stream.h"

const uint32_t kBlockHeaderSize = 16;
const uint8_t kBlockMagic[4] = {'L', 'Z', 'C', 'X'};
const uint32_t kMaxMatchLength = 16;
const uint32_t kMaxMatchDistance = 4095;

// Header reads; `block` must have at least kBlockHeaderSize bytes.
inline uint32_t BlockExpandedLength(const uint8_t* block) { return ReadLe32(block + 4); }
inline uint32_t BlockLength(const uint8_t* block) { return ReadLe32(block + 8); }

// The header of a block of `block_length` bytes that expands to
// `expanded_length`, into `out` (kBlockHeaderSize bytes): the encoders'
// one way to write it.
void WriteBlockHeader(uint8_t* out, uint32_t expanded_length, uint32_t block_length);

// True when a block of these lengths holds its bytes verbatim.
inline bool BlockIsStored(uint32_t expanded_length, uint32_t block_length) {
  return static_cast<uint64_t>(block_length) ==
         static_cast<uint64_t>(expanded_length) + kBlockHeaderSize;
}

// Why a decode failed. The decoder stops at the first fault.
enum BlockFault {
  kBlockFine = 0,
  kBlockBadLength,     // block length below 16 or beyond the bytes available
  kBlockCutShort,      // a control word or match runs past the block's end
  kBlockOverflow,      // the output would exceed the expanded length
  kBlockBadDistance,   // distance 0, or before the start of the output
  kBlockLengthDiffers, // the body ended with fewer bytes than promised
  kBlockStopped        // the sink took no more (StreamBlock)
};

// Describes a fault in a few words ("match distance out of range", ...).
const char* BlockFaultText(BlockFault fault) __attribute__((const));

// Expands the block at `block` into `output`, which has room for exactly
// BlockExpandedLength(block) bytes. `available` is how many bytes really
// belong to the block (the payload entry's size); a block length above it is
// a fault, so the decoder reads no byte at or past
//   block + min(available, block length)
// and writes no byte at or past output + expanded length, and never reads
// the output before its start, whatever the input.
//
// Returns the number of bytes produced: the expanded length on success,
// and some other value on any fault (`fault`, if given, tells which).
uint32_t BlockDecoder(const uint8_t* block, uint32_t available, uint8_t* output,
                      BlockFault* fault = nullptr);

// The same decoder as a plain checked byte-at-a-time loop: the reference
// the fast decoder is tested and fuzzed against. Identical results.
uint32_t BlockDecoderSimple(const uint8_t* block, uint32_t available,
                            uint8_t* output, BlockFault* fault = nullptr);

// Output a streaming decode keeps so that every match can reach back.
const uint32_t kBlockHistory = kMaxMatchDistance + 1;
// The buffer StreamBlock needs: the history, and room to make the rest in
// pieces (any size above kBlockHistory + kMaxMatchLength works; the larger,
// the fewer history moves).
const uint32_t kBlockBuffer = kBlockHistory + kStreamPiece;

// The same decode, streaming: the block's expanded bytes go to `sink` in
// pieces, made in `buffer` (`buffer_size` bytes, at least kBlockHistory +
// kMaxMatchLength), which keeps the last kBlockHistory of them; a stored
// block's go straight from `block`. The same checks and faults as
// BlockDecoder, whose bytes it hands on, and kBlockStopped when the sink
// refuses them.
BlockFault StreamBlock(const uint8_t* block, uint32_t available, uint8_t* buffer,
                       uint32_t buffer_size, ByteSink* sink);

// Where a coded body's decode stands between runs.
struct BlockState {
  const uint8_t* ip;
  const uint8_t* iend;
  uint32_t left;  // expanded bytes still to make
  uint32_t word;  // what is left of the control word
  int bits;       // and how many of its items
};

// The same decode for a writer that checks a block as it writes it: the
// block's bytes are pushed as they come, and its expanded bytes go to
// `sink` in pieces. `available` is the block's size as the writer will
// write it (a block length above it is a fault, as in BlockDecoder). The
// same checks and faults as BlockDecoder; memory: kBlockBuffer and 64 KB.
class BlockPusher {
 public:
  BlockPusher(uint32_t available, ByteSink* sink);
  ~BlockPusher();
  // The next bytes of the block (its header first). kBlockFine while it
  // holds; the first fault once there is one (kBlockStopped without memory
  // or when the sink refuses).
  BlockFault Push(const uint8_t* data, size_t size);
  // After the last byte: the decode's verdict, kBlockBadLength when fewer
  // bytes came than the block's length.
  BlockFault Finish();

 private:
  BlockPusher(const BlockPusher&) = delete;
  BlockPusher& operator=(const BlockPusher&) = delete;
  void Pump(bool last);
  static const uint32_t kInput = 1u << 16;

  ByteSink* sink_;
  uint32_t available_;
  uint8_t* buffer_;  // the output's history and piece, then the input held
  uint8_t* input_;
  uint8_t* op_;
  uint32_t held_ = 0;   // bytes at input_
  uint32_t taken_ = 0;  // of the block, decoded
  uint32_t length_ = 0;
  bool started_ = false, stored_ = false;
  BlockState state_;
  BlockFault fault_ = kBlockFine;
};

#endif  // PATCHER_PAYLOAD_BLOCK_DECODER_H
