#include "payload/block_decoder.h"

#include "payload/crc32c.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

void WriteBlockHeader(uint8_t* out, uint32_t expanded_length, uint32_t block_length) {
  memcpy(out, kBlockMagic, sizeof kBlockMagic);
  WriteLe32(out + 4, expanded_length);
  WriteLe32(out + 8, block_length);
  WriteLe32(out + 12, 0);
}

// For messages only: the program's build carries no fault texts.
#ifndef PATCHER_NO_FAULT_TEXT

const char* BlockFaultText(BlockFault fault) {
  switch (fault) {
    case kBlockFine: return "no fault";
    case kBlockBadLength: return "block length below 16 or beyond the entry";
    case kBlockCutShort: return "coded data ends inside an item";
    case kBlockOverflow: return "decodes to more bytes than its expanded length";
    case kBlockBadDistance: return "match reaches before the start of the output";
    case kBlockLengthDiffers: return "decodes to fewer bytes than its expanded length";
    case kBlockStopped: return "its bytes could not be written";
  }
  return "unknown fault";
}
#endif

namespace {

// The one way out of a decode. On a fault the count returned must differ
// from the expanded length, whatever was produced before it.
uint32_t Finish(uint32_t produced, uint32_t expanded, BlockFault what,
                BlockFault* fault) {
  if (fault) *fault = what;
  if (what != kBlockFine && produced == expanded) return produced + 1;
  return produced;
}

// Sizes of the fast loop's margins: a group is a control word and 16 items
// of at most 2 input bytes, and writes at most 16 matches of 16 bytes; on
// top of that, one 16-byte move may reach past the last item on either side.
const size_t kGroupInputMargin = 2 + 16 * 2 + 16;
const size_t kGroupOutputMargin = 16 * 16 + 16;

// The program's build (PATCHER_BLOCK_LOOP_ONLY) streams through the
// checked loop alone: 270 bytes less, and its table-driven CRC-32C of
// every byte costs about what that loop does.
#ifdef PATCHER_BLOCK_LOOP_ONLY
const bool kStreamFast = false;
#else
const bool kStreamFast = true;
#endif

// Decodes into [op, end), the output made so far reaching back to `base`
// (all of it, or at least the longest distance). Stops at the body's end,
// at a fault (in *fault; kBlockFine otherwise), or, while the expanded end
// lies beyond `end`, once a match might not fit: then `s` says where to go
// on. Returns where the output ends.
//
// With kPush, more of the body may follow `iend`: the run also stops while
// an item's bytes may not all be there (four: a control word and a match).
template <bool kFast, bool kPush = false>
uint8_t* Run(BlockState* s, uint8_t* base, uint8_t* op, uint8_t* end, BlockFault* fault) {
  const uint8_t* ip = s->ip;
  const uint8_t* const iend = s->iend;
  uint32_t word = s->word;
  int bits = s->bits;
  uint8_t* const start = op;
  // With the expanded end in the buffer, every item is checked against it;
  // before that, the run stops while any item still fits.
  const bool last = s->left <= static_cast<size_t>(end - op);
  uint8_t* const oend = last ? op + s->left : end;
  BlockFault what = kBlockFine;
  while (ip != iend) {
    if (kPush && iend - ip < 4) break;
    if (bits == 0) {
      if (kFast) {
        // Whole groups, with the margins checked once per group; only the
        // distance of each match is checked per item. Literal runs and
        // matches are moved 16 bytes at a time, which may read up to 16
        // bytes past the group's last item and write up to 16 past the
        // match's end: both stay inside the margins.
        while (static_cast<size_t>(iend - ip) >= kGroupInputMargin &&
               static_cast<size_t>(oend - op) >= kGroupOutputMargin) {
          // Bit 16 marks the end of the group.
          uint32_t w = (ip[0] | static_cast<uint32_t>(ip[1]) << 8) | 1u << 16;
          ip += 2;
          for (;;) {
            const uint32_t literals = static_cast<uint32_t>(__builtin_ctz(w));
            memcpy(op, ip, 16);
            op += literals;
            ip += literals;
            w >>= literals;
            if (w == 1) break;
            const uint32_t len = (ip[0] & 15u) + 1;
            const size_t dist = static_cast<size_t>(ip[0] >> 4) << 8 | ip[1];
            ip += 2;
            w >>= 1;
            if (dist == 0 || dist > static_cast<size_t>(op - base)) {
              what = kBlockBadDistance;
              goto out;
            }
            const uint8_t* src = op - dist;
            if (dist >= 16) {
              memcpy(op, src, 16);
            } else if (dist >= 8) {
              // Each 8-byte move reads only bytes that are already final.
              memcpy(op, src, 8);
              memcpy(op + 8, src + 8, 8);
            } else if (dist == 1) {
              memset(op, *src, 16);
            } else {
              for (uint32_t i = 0; i < len; ++i) op[i] = src[i];
            }
            op += len;
          }
        }
        if (ip == iend) break;
      }
      // A control word cut in half, or one that governs no item.
      if (iend - ip < 3) {
        what = kBlockCutShort;
        break;
      }
      word = ip[0] | static_cast<uint32_t>(ip[1]) << 8;
      ip += 2;
      bits = 16;
    }
    // Byte at a time, every item checked; before the expanded end is in
    // the buffer, a pause while any item still fits (`s` keeps the word).
    if (!last && oend - op < static_cast<ptrdiff_t>(kMaxMatchLength)) break;
    if (word & 1) {
      if (iend - ip < 2) {
        what = kBlockCutShort;
        break;
      }
      const uint32_t len = (ip[0] & 15u) + 1;
      const size_t dist = static_cast<size_t>(ip[0] >> 4) << 8 | ip[1];
      ip += 2;
      if (dist == 0 || dist > static_cast<size_t>(op - base)) {
        what = kBlockBadDistance;
        break;
      }
      if (len > static_cast<size_t>(oend - op)) {
        what = kBlockOverflow;
        break;
      }
      const uint8_t* src = op - dist;
      for (uint32_t i = 0; i < len; ++i) op[i] = src[i];
      op += len;
    } else {
      if (op == oend) {
        what = kBlockOverflow;
        break;
      }
      *op++ = *ip++;
    }
    word >>= 1;
    --bits;
  }
out:
  s->ip = ip;
  s->word = word;
  s->bits = bits;
  s->left -= static_cast<uint32_t>(op - start);
  *fault = what;
  return op;
}

// Room again in a buffer whose output ends at `op`: the last kBlockHistory
// bytes made (all, when fewer), which a match may reach back to, moved to
// its start, forward byte by byte (the two may overlap in a small buffer).
// Where the output goes on.
uint8_t* KeepHistory(uint8_t* buffer, uint8_t* op) {
  const size_t made = static_cast<size_t>(op - buffer);
  const size_t keep = made < kBlockHistory ? made : kBlockHistory;
  for (const uint8_t* from = op - keep; from != op;) *buffer++ = *from++;
  return buffer;
}

// The header's checks: the block's length, and the state of its body.
// Zero when the length is out of bounds.
int Start(BlockState* s, const uint8_t* block, uint32_t available) {
  if (available < kBlockHeaderSize) return 0;
  const uint32_t length = BlockLength(block);
  if (length < kBlockHeaderSize || length > available) return 0;
  s->ip = block + kBlockHeaderSize;
  s->iend = block + length;
  s->left = BlockExpandedLength(block);
  s->word = 0;
  s->bits = 0;
  return 1;
}

template <bool kFast>
uint32_t Decode(const uint8_t* block, uint32_t available, uint8_t* output,
                BlockFault* fault) {
  BlockState s;
  if (!Start(&s, block, available))
    return Finish(0, available < kBlockHeaderSize ? 1 : BlockExpandedLength(block),
                  kBlockBadLength, fault);
  const uint32_t expanded = s.left;
  if (BlockIsStored(expanded, BlockLength(block))) {
    if (expanded) memcpy(output, s.ip, expanded);
    return Finish(expanded, expanded, kBlockFine, fault);
  }
  BlockFault what;
  const uint32_t produced =
      static_cast<uint32_t>(Run<kFast>(&s, output, output, output + expanded, &what) - output);
  if (what == kBlockFine && s.left) what = kBlockLengthDiffers;
  return Finish(produced, expanded, what, fault);
}

}  // namespace

uint32_t BlockDecoder(const uint8_t* block, uint32_t available, uint8_t* output,
                      BlockFault* fault) {
  return Decode<true>(block, available, output, fault);
}

uint32_t BlockDecoderSimple(const uint8_t* block, uint32_t available,
                            uint8_t* output, BlockFault* fault) {
  return Decode<false>(block, available, output, fault);
}

BlockFault StreamBlock(const uint8_t* block, uint32_t available, uint8_t* buffer,
                       uint32_t buffer_size, ByteSink* sink) {
  BlockState s;
  if (!Start(&s, block, available)) return kBlockBadLength;
  if (BlockIsStored(s.left, BlockLength(block)))
    return PutPieces(sink, s.ip, s.left) ? kBlockFine : kBlockStopped;
  uint8_t* op = buffer;
  for (;;) {
    BlockFault what;
    uint8_t* const from = op;
    op = Run<kStreamFast>(&s, buffer, op, buffer + buffer_size, &what);
    if (op != from && !sink->Take(from, static_cast<uint32_t>(op - from))) return kBlockStopped;
    if (what != kBlockFine) return what;
    if (s.ip == s.iend) return s.left ? kBlockLengthDiffers : kBlockFine;
    op = KeepHistory(buffer, op);
  }
}

BlockPusher::BlockPusher(uint32_t available, ByteSink* sink) : sink_(sink), available_(available) {
  buffer_ = static_cast<uint8_t*>(malloc(kBlockBuffer + kInput));
  op_ = buffer_;
  input_ = buffer_ + kBlockBuffer;
}

BlockPusher::~BlockPusher() { free(buffer_); }

BlockFault BlockPusher::Push(const uint8_t* data, size_t size) {
  while (size && fault_ == kBlockFine) {
    if (!buffer_) return fault_ = kBlockStopped;
    size_t n = kInput - held_;
    if (n > size) n = size;
    memcpy(input_ + held_, data, n);
    held_ += static_cast<uint32_t>(n);
    data += n;
    size -= n;
    if (held_ == kInput) Pump(false);
  }
  return fault_;
}

BlockFault BlockPusher::Finish() {
  if (fault_ == kBlockFine && buffer_) Pump(true);
  if (fault_ == kBlockFine && !started_) fault_ = kBlockBadLength;
  if (fault_ == kBlockFine && taken_ != length_) fault_ = kBlockBadLength;
  if (fault_ == kBlockFine && state_.left) fault_ = kBlockLengthDiffers;
  return fault_;
}

// Decodes what is held: the header first, then the body, up to the
// block's length; with `last`, the body ends there.
void BlockPusher::Pump(bool last) {
  const uint8_t* ip = input_;
  uint32_t held = held_;
  if (!started_) {
    // A header cut short, or a length below it or beyond the bytes the
    // writer promised: as the whole decode says it.
    if (held < kBlockHeaderSize || !Start(&state_, input_, available_)) {
      if (last || held >= kBlockHeaderSize) fault_ = kBlockBadLength;
      return;
    }
    started_ = true;
    length_ = BlockLength(input_);
    stored_ = BlockIsStored(BlockExpandedLength(input_), length_);
    taken_ = kBlockHeaderSize;
    ip += kBlockHeaderSize;
    held -= kBlockHeaderSize;
  }
  // Bytes past the block's length are not its own.
  if (held > length_ - taken_) held = length_ - taken_;
  if (stored_) {
    const uint32_t n = held < state_.left ? held : state_.left;
    if (n && !sink_->Take(ip, n)) fault_ = kBlockStopped;
    state_.left -= n;
    taken_ += n;
    held_ = 0;
    return;
  }
  state_.ip = ip;
  state_.iend = ip + held;
  for (;;) {
    BlockFault what;
    uint8_t* const from = op_;
    op_ = last ? Run<true>(&state_, buffer_, op_, buffer_ + kBlockBuffer, &what)
               : Run<true, true>(&state_, buffer_, op_, buffer_ + kBlockBuffer, &what);
    if (op_ != from && !sink_->Take(from, static_cast<uint32_t>(op_ - from))) what = kBlockStopped;
    if (what != kBlockFine) {
      fault_ = what;
      return;
    }
    const size_t rest = static_cast<size_t>(state_.iend - state_.ip);
    if (!rest || (!last && rest < 4)) break;
    op_ = KeepHistory(buffer_, op_);  // paused for room
  }
  // What an item still lacks waits for the next bytes.
  const uint32_t used = static_cast<uint32_t>(state_.ip - input_);
  taken_ += static_cast<uint32_t>(state_.ip - ip);
  held_ -= used;
  memmove(input_, state_.ip, held_);
  if (held_ > length_ - taken_) held_ = length_ - taken_;
}

int PutPieces(ByteSink* sink, const uint8_t* data, uint32_t size) {
  for (uint32_t n; size; size -= n, data += n) {
    n = size < kStreamPiece ? size : kStreamPiece;
    if (!sink->Take(data, n)) return 0;
  }
  return 1;
}

int ByteSink::Take(const uint8_t* data, uint32_t size) {
  crc = Crc32c(crc, data, size);
  return Put(data, size);
}

int SinkToMemory::Put(const uint8_t* data, uint32_t size) {
  if (size > left_) return 0;
  memcpy(out_, data, size);
  out_ += size;
  left_ -= size;
  return 1;
}
