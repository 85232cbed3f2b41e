#include "payload/block_decoder.h"

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

template <bool kFast>
uint32_t Decode(const uint8_t* block, uint32_t available, uint8_t* output,
                BlockFault* fault) {
  if (available < kBlockHeaderSize) return Finish(0, 1, kBlockBadLength, fault);
  const uint32_t expanded = BlockExpandedLength(block);
  const uint32_t length = BlockLength(block);
  if (length < kBlockHeaderSize || length > available)
    return Finish(0, expanded, kBlockBadLength, fault);

  const uint8_t* ip = block + kBlockHeaderSize;
  const uint8_t* const iend = block + length;
  if (BlockIsStored(expanded, length)) {
    if (expanded) memcpy(output, ip, expanded);
    return Finish(expanded, expanded, kBlockFine, fault);
  }

  uint8_t* op = output;
  uint8_t* const oend = output + expanded;

  if (kFast) {
    // Whole groups, with the margins checked once per group; only the
    // distance of each match is checked per item. Literal runs and matches
    // are moved 16 bytes at a time, which may read up to 16 bytes past the
    // group's last item and write up to 16 past the match's end: both stay
    // inside the margins.
    while (static_cast<size_t>(iend - ip) >= kGroupInputMargin &&
           static_cast<size_t>(oend - op) >= kGroupOutputMargin) {
      // Bit 16 marks the end of the group.
      uint32_t word = (ip[0] | static_cast<uint32_t>(ip[1]) << 8) | 1u << 16;
      ip += 2;
      for (;;) {
        const uint32_t literals = static_cast<uint32_t>(__builtin_ctz(word));
        memcpy(op, ip, 16);
        op += literals;
        ip += literals;
        word >>= literals;
        if (word == 1) break;
        const uint32_t len = (ip[0] & 15u) + 1;
        const size_t dist = static_cast<size_t>(ip[0] >> 4) << 8 | ip[1];
        ip += 2;
        word >>= 1;
        if (dist == 0 || dist > static_cast<size_t>(op - output))
          return Finish(static_cast<uint32_t>(op - output), expanded,
                        kBlockBadDistance, fault);
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
  }

  // Byte at a time, every item checked. The fast loop always leaves off at
  // a group boundary, so a control word comes first here as well.
  uint32_t word = 0;
  int bits = 0;
  while (ip != iend) {
    if (bits == 0) {
      // A control word cut in half, or one that governs no item.
      if (iend - ip < 3) break;
      word = ip[0] | static_cast<uint32_t>(ip[1]) << 8;
      ip += 2;
      bits = 16;
    }
    if (word & 1) {
      if (iend - ip < 2) break;
      const uint32_t len = (ip[0] & 15u) + 1;
      const size_t dist = static_cast<size_t>(ip[0] >> 4) << 8 | ip[1];
      ip += 2;
      if (dist == 0 || dist > static_cast<size_t>(op - output))
        return Finish(static_cast<uint32_t>(op - output), expanded,
                      kBlockBadDistance, fault);
      if (len > static_cast<size_t>(oend - op))
        return Finish(static_cast<uint32_t>(op - output), expanded,
                      kBlockOverflow, fault);
      const uint8_t* src = op - dist;
      for (uint32_t i = 0; i < len; ++i) op[i] = src[i];
      op += len;
    } else {
      if (op == oend)
        return Finish(static_cast<uint32_t>(op - output), expanded,
                      kBlockOverflow, fault);
      *op++ = *ip++;
    }
    word >>= 1;
    --bits;
  }
  const uint32_t produced = static_cast<uint32_t>(op - output);
  if (ip != iend) return Finish(produced, expanded, kBlockCutShort, fault);
  if (op != oend) return Finish(produced, expanded, kBlockLengthDiffers, fault);
  return Finish(produced, expanded, kBlockFine, fault);
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
