// The packer's encoder: one file in, one compressed block ("LZCX") out.
//
// Every item of a coded body has a fixed price: a literal costs 9 bits (its
// byte and its control bit), a match 17 bits, whatever its length (3..16)
// and distance (1..4095). So the smallest body is found by a dynamic
// programme over positions that knows, at each position, the longest match
// there: every shorter length at the same distance is a match as well. The
// longest matches come from a binary-tree match finder over the last 4095
// bytes, which is exact (no candidate is ever skipped) and needs memory for
// one window only; the parse keeps two bytes per input byte (the longest
// match, then the chosen item) and the prices of the next 16 positions.
//
// The block is written in the coded form when that is smaller than the
// stored form, and stored otherwise; a coded body is never exactly as long
// as the input, since the decoder would read that block as stored.
#ifndef PATCHER_TOOLS_LZCX_ENCODER_H
#define PATCHER_TOOLS_LZCX_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "payload/block_decoder.h"

// Shorter matches cost more than the literals they replace.
const uint32_t kMinMatchLength = 3;

// Item prices in bits, control bit included.
const uint32_t kLiteralBits = 9;
const uint32_t kMatchBits = 17;

// The largest file a block can hold: its stored form must still have a
// 32-bit block length.
const uint64_t kMaxBlockInput = 0xFFFFFFFFull - kBlockHeaderSize;

enum ParseKind {
  kParseOptimal,  // fewest bits: the dynamic programme
  kParseLazy,     // a match unless the next position has a longer one
  kParseGreedy,   // the longest match wherever there is one
};

// Told how far the encoder has come, about every 256 KB of input.
class EncodeProgress {
 public:
  virtual ~EncodeProgress() {}
  virtual void Report(uint64_t done, uint64_t total) = 0;
};

struct EncodeStats {
  uint64_t literals;
  uint64_t matches;
  uint64_t item_bits;   // kLiteralBits * literals + kMatchBits * matches
  uint64_t coded_body;  // bytes of the coded body, control words included
  bool stored;          // the block holds the input verbatim
};

// The longest match at every position of `data`: length[i] is 0 when no
// match of kMinMatchLength or more starts at i, else the longest length up
// to kMaxMatchLength, and distance[i] (1..kMaxMatchDistance) a distance
// that reaches it. Zero when memory runs out.
int FindLongestMatches(const uint8_t* data, size_t size, uint8_t* length,
                       uint16_t* distance, EncodeProgress* progress = nullptr);

// Bytes of a coded body with these items: the items and one 16-bit control
// word per group of up to 16 items.
uint64_t CodedBodySize(uint64_t literals, uint64_t matches);

// Work memory of EncodeBlockInto: two bytes a position and a little slack,
// which the block is written into as the parse is read out of it.
const size_t kEncodeWorkSlack = 64;
uint64_t EncodeWorkSize(uint64_t size);

// Encodes `size` bytes into a block at the start of `work` (at least
// EncodeWorkSize(size) bytes), *block_size bytes long. Besides the input
// and `work`, the encoder needs a fixed few hundred KB. Zero when the
// input is larger than kMaxBlockInput, `work` is too small or memory for
// the match finder runs out. A block never takes more than size + 16
// bytes, so work + *block_size has room for `size` more: a decode check.
int EncodeBlockInto(const uint8_t* data, size_t size, ParseKind parse, uint8_t* work,
                    size_t work_size, size_t* block_size, EncodeStats* stats = nullptr,
                    EncodeProgress* progress = nullptr);

// Encodes `size` bytes into `*block` (replacing its contents). Zero when
// the input is larger than kMaxBlockInput or memory runs out.
int EncodeBlock(const uint8_t* data, size_t size, ParseKind parse,
                std::vector<uint8_t>* block, EncodeStats* stats = nullptr,
                EncodeProgress* progress = nullptr);

// Streamed encoding, for files of any size in bounded memory: the input
// is read in pieces twice (the matches, then the block), the parse's two
// bytes a position go to an ItemStore (memory, or a scratch file for a
// large input) and come back a piece at a time, and the block goes out in
// pieces. The block is the one EncodeBlockInto makes, byte for byte.
class EncodeInput {
 public:
  virtual ~EncodeInput() {}
  // Exactly the next `size` bytes; zero on a failure.
  virtual int Read(uint8_t* out, size_t size) = 0;
  // From the first byte again.
  virtual int Rewind() = 0;
};

class ItemStore {
 public:
  virtual ~ItemStore() {}
  virtual int WriteAt(uint64_t offset, const uint8_t* data, size_t size) = 0;
  virtual int ReadAt(uint64_t offset, uint8_t* data, size_t size) = 0;
};

class EncodeOutput {
 public:
  virtual ~EncodeOutput() {}
  virtual int Write(const uint8_t* data, size_t size) = 0;
};

// The items in memory: 2 * size bytes.
class MemoryItemStore : public ItemStore {
 public:
  int Reserve(uint64_t size);  // zero without memory
  int WriteAt(uint64_t offset, const uint8_t* data, size_t size) override;
  int ReadAt(uint64_t offset, uint8_t* data, size_t size) override;

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
};

// Bytes of items a store must hold for an input of `size` bytes.
inline uint64_t ItemStoreSize(uint64_t size) { return 2 * size; }

// What the packer encodes with: a plan, then the block. Tests hand in
// faulty ones to see the round-trip check refuse their blocks.
class BlockCoder {
 public:
  virtual ~BlockCoder() {}
  // Reads the `size` bytes of `in` once and decides the block, of
  // *block_size bytes. Zero when the input is too large, cannot be read,
  // or memory or the store fails.
  virtual int Plan(EncodeInput* in, uint64_t size, ParseKind parse, ItemStore* items,
                   uint64_t* block_size, EncodeStats* stats, EncodeProgress* progress) = 0;
  // Reads `in` again from its start and writes the planned block to `out`.
  virtual int Emit(EncodeInput* in, EncodeOutput* out) = 0;
};

// Positions a streamed encode holds at a time: its memory is about four
// bytes per position (input and items) and the match finder's few hundred
// KB, whatever the input's size.
const size_t kStreamChunk = size_t{1} << 20;

class StreamEncoder : public BlockCoder {
 public:
  explicit StreamEncoder(size_t chunk = kStreamChunk) : chunk_(chunk) {}
  int Plan(EncodeInput* in, uint64_t size, ParseKind parse, ItemStore* items,
           uint64_t* block_size, EncodeStats* stats, EncodeProgress* progress) override;
  int Emit(EncodeInput* in, EncodeOutput* out) override;

 private:
  size_t chunk_;
  uint64_t size_ = 0;
  ItemStore* items_ = nullptr;
  EncodeStats stats_ = {};
};

#endif  // PATCHER_TOOLS_LZCX_ENCODER_H
