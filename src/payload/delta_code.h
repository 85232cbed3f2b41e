// The arithmetic code of delta streams, shared by the decoder (delta.cpp)
// and the packer's encoder, which run the same models on the same
// decisions: each coding function takes a coder whose Code(p, bit) either
// codes `bit` (encoding) or returns the decoded bit (decoding).
//
// A decision is coded with a probability p (16 bits) that the bit is 1;
// after it, p moves a sixteenth of the way towards what was coded. The
// coder keeps a range [x1, x2] of 32 bits and shifts out its top byte
// whenever both ends agree on it (a carry-less binary arithmetic coder).
#ifndef PATCHER_PAYLOAD_DELTA_CODE_H
#define PATCHER_PAYLOAD_DELTA_CODE_H

#include <stdint.h>

const int kDeltaRate = 4;
const uint16_t kDeltaHalf = 0x8000;

// Where the range splits for probability p; x1 <= split < x2 when x1 < x2.
inline uint32_t DeltaSplit(uint32_t x1, uint32_t x2, uint16_t p) {
  return x1 + static_cast<uint32_t>((static_cast<uint64_t>(x2 - x1) * p) >> 16);
}

inline void DeltaAdapt(uint16_t* p, int bit) {
  if (bit)
    *p = static_cast<uint16_t>(*p + ((0x10000 - *p) >> kDeltaRate));
  else
    *p = static_cast<uint16_t>(*p - (*p >> kDeltaRate));
}

// A number: its count of significant bits (0..32) by a 6-level bit tree,
// then the bits below the leading one, each with a probability of its own
// for that count and position.
const int kNumberModel = 64 + 33 * 32;

// The models of a stream, all starting at one half.
struct DeltaModels {
  uint16_t seek_sign[2];
  uint16_t seek[kNumberModel];
  uint16_t add[kNumberModel];
  uint16_t extra[kNumberModel];
  uint16_t run[2][kNumberModel];  // the first zero run of an add, the others
  uint16_t diff[512 * 256];       // by the last nonzero difference, and
                                  // whether a zero run came before this one
  uint16_t literal[256 * 256];    // by the previous extra byte
};

inline void ResetDeltaModels(DeltaModels* m) {
  uint16_t* p = reinterpret_cast<uint16_t*>(m);
  for (uint32_t i = 0; i < sizeof(DeltaModels) / 2; ++i) p[i] = kDeltaHalf;
}

// `bits` bits of `value`, most significant first, by a bit tree (probs[1]
// is the root). Returns the bits coded.
template <class Coder>
uint32_t CodeTree(Coder& c, uint16_t* probs, int bits, uint32_t value) {
  uint32_t m = 1;
  for (int i = bits; i-- > 0;) m = m << 1 | c.Code(probs + m, value >> i & 1);
  return m - (1u << bits);
}

// A number (see kNumberModel). A decoded bit count above 32 marks the
// coder bad and gives 0.
template <class Coder>
uint32_t CodeNumber(Coder& c, uint16_t* model, uint32_t value) {
  uint32_t n = 0;
  while (n < 32 && value >> n) ++n;
  n = CodeTree(c, model, 6, n);
  if (n > 32) {
    c.bad = 1;
    return 0;
  }
  uint32_t v = n != 0;
  for (uint32_t i = n ? n - 1 : 0; i-- > 0;) v = v << 1 | c.Code(model + 64 + 32 * n + i, value >> i & 1);
  return v;
}

#endif  // PATCHER_PAYLOAD_DELTA_CODE_H
