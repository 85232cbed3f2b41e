// The code of strong entries (strong.h), shared by the decoder
// (strong.cpp) and the packer's encoder, which run the same models on the
// same decisions: each function takes a coder whose Code(p, bit, rate)
// codes `bit` (encoding) or returns the decoded bit (decoding), as in
// delta_code.h, whose coder and models these are. docs/strong.md gives the
// stream byte by byte.
#ifndef PATCHER_PAYLOAD_STRONG_CODE_H
#define PATCHER_PAYLOAD_STRONG_CODE_H

#include <stdint.h>

#include "payload/delta_code.h"

// The state: what the last few items were (literal, match, rep, short
// rep), 0..6 after a literal, 7..11 after a match of some kind.
const uint32_t kStrongStates = 12;
const uint32_t kStrongLiteralStates = 7;
const uint32_t kStrongPosStates = 16;  // 1 << pb at most
const uint32_t kStrongMinMatch = 2;
// Lengths 2..273 as symbols 0..271; the top one is followed by a number
// that adds to it, so a long repeat costs a few bytes in all.
const uint32_t kStrongLenSymbols = 272;
const uint32_t kStrongLongLen = kStrongMinMatch + kStrongLenSymbols - 1;  // 273
// Distances: a 6-bit slot by the length (2, 3, 4, 5+), then the bits
// below the slot's top two: by reverse trees of their own under slot 14,
// above it as they are but for the last four (the align bits).
const uint32_t kStrongLenStates = 4;
const uint32_t kStrongEndSlot = 14;
const uint32_t kStrongFullDistances = 128;
const int kStrongAlignBits = 4;

// A strong model: two probabilities that the bit is 1, coded by their
// mean: a slow one as a delta model (16 bits, the count above them) at
// kStrongSlowRate, and a fast one (12 bits, at the top) moving by 1/8 each
// time. The pair follows both steady and changing statistics: 1% smaller
// code on programs than either alone.
// Every model of a strong entry learns at these rates: the rate that the
// delta code's functions (CodeTree, CodeNumber) pass on is not used.
const DeltaProb kStrongHalf = 0x80008000u;
const int kStrongSlowRate = 7;
const int kStrongFastRate = 3;

inline uint32_t StrongP(DeltaProb m) { return ((m & 0xFFFF) + (m >> 20 << 4)) >> 1; }

// The slow one as DeltaAdapt moves it (kDeltaShift never exceeds
// kStrongSlowRate), both moves made and one kept, without branches.
inline void StrongAdapt(DeltaProb* m, int bit) {
  const uint32_t v = *m;
  const uint32_t seen = v >> 16 & 15;
  const int shift = kDeltaShift[seen];
  const int32_t p = static_cast<int32_t>(v & 0xFFFF), f = static_cast<int32_t>(v >> 20);
  int32_t slow = bit ? p + ((0xFFFF - p) >> shift) : p - (p >> shift);
  const int32_t fast = bit ? f + ((4095 - f) >> kStrongFastRate) : f - (f >> kStrongFastRate);
  slow = slow < 32 ? 32 : slow > 0xFFFF - 32 ? 0xFFFF - 32 : slow;
  *m = static_cast<uint32_t>(fast) << 20 | (seen + (seen < 15)) << 16 | static_cast<uint32_t>(slow);
}

struct StrongLengthModels {
  DeltaProb choice[2];
  DeltaProb low[kStrongPosStates][8];
  DeltaProb mid[kStrongPosStates][8];
  DeltaProb high[256];
  DeltaProb extra[kNumberModel];
};

// Every model of a group but the literals, which follow it in memory:
// 0x500 models for each of the 2^(lc + lp) literal contexts, then 0x500
// for each value of the byte before.
struct StrongModels {
  DeltaProb is_match[kStrongStates][kStrongPosStates * 16];  // StrongIsMatch
  DeltaProb is_rep[kStrongStates];
  DeltaProb is_rep0[kStrongStates];
  DeltaProb is_rep1[kStrongStates];
  DeltaProb is_rep2[kStrongStates];
  DeltaProb is_rep0_long[kStrongStates][kStrongPosStates];
  DeltaProb slot[kStrongLenStates][64];
  DeltaProb special[kStrongEndSlot - 4][32];
  DeltaProb align[1 << kStrongAlignBits];
  StrongLengthModels length;
  StrongLengthModels rep_length;
  DeltaProb literal[1];  // really (0x500 << (lc + lp)) + 0x500 * 256
};

inline uint32_t StrongModelsSize(uint32_t lc, uint32_t lp) {
  return static_cast<uint32_t>(sizeof(StrongModels) - sizeof(DeltaProb)) +
         ((0x500u << (lc + lp)) + 0x500u * 256) * static_cast<uint32_t>(sizeof(DeltaProb));
}

inline void ResetStrongModels(StrongModels* m, uint32_t lc, uint32_t lp) {
  DeltaProb* p = reinterpret_cast<DeltaProb*>(m);
  for (uint32_t i = 0, n = StrongModelsSize(lc, lp) / sizeof *p; i < n; ++i) p[i] = kStrongHalf;
}

// Whether a match comes next, by the state, the pos state and the top 4
// bits of the byte before (0.2-0.6% smaller than without them).
inline DeltaProb* StrongIsMatch(StrongModels* m, uint32_t state, uint32_t pos_state,
                                uint32_t prev) {
  return &m->is_match[state][pos_state << 4 | prev >> 4];
}

inline uint32_t StrongAfterLiteral(uint32_t s) { return s < 4 ? 0 : s < 10 ? s - 3 : s - 6; }
inline uint32_t StrongAfterMatch(uint32_t s) { return s < kStrongLiteralStates ? 7 : 10; }
inline uint32_t StrongAfterRep(uint32_t s) { return s < kStrongLiteralStates ? 8 : 11; }
inline uint32_t StrongAfterShortRep(uint32_t s) { return s < kStrongLiteralStates ? 9 : 11; }

// The literal models of the byte after `prev` at group position `pos`.
inline DeltaProb* StrongLiterals(StrongModels* m, uint32_t pos, uint32_t prev, uint32_t lc,
                                 uint32_t lp) {
  return m->literal + 0x500 * (((pos & ((1u << lp) - 1)) << lc) + (prev >> (8 - lc)));
}

// The slot of distance `d` (distance - 1): its top two bits and where they
// are.
inline uint32_t StrongSlot(uint32_t d) {
  if (d < 4) return d;
  const uint32_t top = 31 - __builtin_clz(d);
  return top * 2 + (d >> (top - 1) & 1);
}

// `bits` bits of `value`, least significant first, by a bit tree.
template <class Coder>
uint32_t CodeReverse(Coder& c, DeltaProb* probs, int bits, uint32_t value) {
  uint32_t m = 1, v = 0;
  for (int i = 0; i < bits; ++i) {
    const uint32_t bit = c.Code(probs + m, value >> i & 1);
    m = m << 1 | bit;
    v |= bit << i;
  }
  return v;
}

// A literal, each bit by the mean of two models, one of each set: with a
// `base` (StrongMatchedBase), by the match byte as well while its bits
// agree with the literal's.
// The second set of a literal's models: by the whole byte before it, at
// the end of the first set.
inline DeltaProb* StrongOrder1(StrongModels* m, uint32_t lc, uint32_t lp, uint32_t prev) {
  return m->literal + (0x500u << (lc + lp)) + 0x500 * prev;
}

// Where a literal's models by the match byte begin among its context's
// 0x500: soon after a match (state 4 and up) the byte at distance rep0
// (while usable) predicts it, by 0x100 models for each of its bits right
// after a match and 0x300 one or two literals later; else none do (0).
inline uint32_t StrongMatchedBase(uint32_t state, int rep0_usable) {
  return state < 4 || !rep0_usable ? 0 : state >= kStrongLiteralStates ? 0x100 : 0x300;
}

template <class Coder>
uint32_t CodeLiteral(Coder& c, DeltaProb* probs, DeltaProb* probs2, uint32_t byte,
                     uint32_t match_byte, uint32_t base) {
  uint32_t sym = 1;
  int i = 8;
  // Once a bit differs from the match byte's (flag 0), by the literal's
  // bits alone: fast builds take those in a loop of their own.
  for (uint32_t flag = base ? 0x100 : 0;
#ifndef __OPTIMIZE_SIZE__
       flag &&
#endif
       i-- > 0;) {
    match_byte <<= 1;
    const uint32_t mbit = match_byte & flag;
    const uint32_t k = (flag ? base + mbit : 0) + sym;
    const uint32_t bit = c.Code2(probs + k, probs2 + k, byte >> i & 1);
    sym = sym << 1 | bit;
    flag &= ~(mbit ^ bit << 8);
  }
#ifndef __OPTIMIZE_SIZE__
  while (i-- > 0) sym = sym << 1 | c.Code2(probs + sym, probs2 + sym, byte >> i & 1);
#endif
  return sym & 0xFF;
}

// A length less 2: 0..7 low, 8..15 mid (both by the position state),
// 16..270 high, 271 and up high's top symbol plus a number.
template <class Coder>
uint32_t CodeLength(Coder& c, StrongLengthModels* m, uint32_t pos_state, uint32_t len) {
  if (!c.Code(&m->choice[0], len >= 8)) return CodeTree(c, m->low[pos_state], 3, len);
  if (!c.Code(&m->choice[1], len >= 16)) return 8 + CodeTree(c, m->mid[pos_state], 3, len - 8);
  const uint32_t high = CodeTree(c, m->high, 8, len - 16 < 255 ? len - 16 : 255);
  if (high < 255) return 16 + high;
  const uint32_t more = CodeNumber(c, m->extra, len - 271);
  if (more > 0x7FFFFFFF) c.bad = 1;
  return 271 + more;
}

// A distance less 1, for a match of `len` less 2.
template <class Coder>
uint32_t CodeDistance(Coder& c, StrongModels* m, uint32_t len, uint32_t d) {
  const uint32_t slot = CodeTree(
      c, m->slot[len < kStrongLenStates - 1 ? len : kStrongLenStates - 1], 6, StrongSlot(d));
  if (slot < 4) return slot;
  const int footer = static_cast<int>(slot >> 1) - 1;
  uint32_t base = (2 | (slot & 1)) << footer;
  if (slot < kStrongEndSlot) return base + CodeReverse(c, m->special[slot - 4], footer, d - base);
  // The middle bits at one half each, as they are.
  for (int i = footer; i-- > kStrongAlignBits;) {
    DeltaProb half = kStrongHalf;
    base |= static_cast<uint32_t>(c.Code(&half, d >> i & 1)) << i;
  }
  return base + CodeReverse(c, m->align, kStrongAlignBits, d);
}

#endif  // PATCHER_PAYLOAD_STRONG_CODE_H
