// The arithmetic code of delta streams, shared by the decoder (delta.cpp)
// and the packer's encoder, which run the same models on the same
// decisions: each coding function takes a coder whose Code(p, bit) either
// codes `bit` (encoding) or returns the decoded bit (decoding).
//
// A decision is coded with a model's probability that the bit is 1, which
// then moves towards what was coded. The coder keeps a range [x1, x2] of
// 32 bits and shifts out its top byte whenever both ends agree on it (a
// carry-less binary arithmetic coder).
#ifndef PATCHER_PAYLOAD_DELTA_CODE_H
#define PATCHER_PAYLOAD_DELTA_CODE_H

#include <stdint.h>

// A model: the probability that the next bit is 1, in 16 bits, and above
// them how many decisions it has seen (up to 15). A model moves towards
// each bit it codes by 1/2, 1/4, ... of the way at first (kDeltaShift by
// that count), and at most by 1/2^rate later: it learns from few samples
// and then holds steady.
typedef uint32_t DeltaProb;
const int kDeltaRate = 4;
// Extra bytes that look like noise (compressed data) are coded by one
// context and learnt slowly: fast learning in many contexts costs about 2%
// on such bytes.
const int kDeltaSlowRate = 7;
const DeltaProb kDeltaHalf = 0x8000;
const uint8_t kDeltaShift[16] = {1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 6, 7};

// Where the range splits for the model's probability; x1 <= split < x2
// when x1 < x2.
inline uint32_t DeltaSplit(uint32_t x1, uint32_t x2, DeltaProb m) {
  return x1 + static_cast<uint32_t>((static_cast<uint64_t>(x2 - x1) * (m & 0xFFFF)) >> 16);
}

// The decoding side of the coder, shared by delta streams and strong
// entries: reads the code, and past its end reads zeros and counts them
// (`over`), which a sound code never gets to. Small builds keep one copy
// of Decide; fast ones inline it.
#ifdef __OPTIMIZE_SIZE__
#define PATCHER_CODER_HOT __attribute__((noinline))
#else
#define PATCHER_CODER_HOT inline __attribute__((always_inline))
#endif
struct DeltaReader {
  const uint8_t* ip;
  const uint8_t* iend;
  uint32_t x1, x2, x;
  uint32_t over;
  int bad;

  // Reads the code's first four bytes.
  void Start(const uint8_t* begin, const uint8_t* end) {
    ip = begin;
    iend = end;
    x1 = x = over = 0;
    x2 = 0xFFFFFFFFu;
    bad = 0;
    for (int i = 0; i < 4; ++i) x = x << 8 | Next();
  }
  uint32_t Next() {
    if (ip != iend) return *ip++;
    ++over;
    return 0;
  }
  // Decides a bit of probability `p` (16 bits); without branches on the
  // bit, which is as good as random.
  PATCHER_CODER_HOT int Decide(uint32_t p) {
    const uint32_t split = DeltaSplit(x1, x2, p);
    const int bit = x <= split;
    const uint32_t ones = 0u - static_cast<uint32_t>(bit);
    x2 = (split & ones) | (x2 & ~ones);
    x1 = (x1 & ones) | ((split + 1) & ~ones);
    while (!((x1 ^ x2) >> 24)) {
      x1 <<= 8;
      x2 = x2 << 8 | 255;
      x = x << 8 | Next();
    }
    return bit;
  }
};

// The probability stays within 32/65536 of either end.
inline void DeltaAdapt(DeltaProb* m, int bit, int rate) {
  const uint32_t seen = *m >> 16;
  int32_t p = static_cast<int32_t>(*m & 0xFFFF);
  const int shift = kDeltaShift[seen] < rate ? kDeltaShift[seen] : rate;
  if (bit)
    p += (0xFFFF - p) >> shift;
  else
    p -= p >> shift;
  if (p < 32) p = 32;
  if (p > 0xFFFF - 32) p = 0xFFFF - 32;
  *m = (seen + (seen < 15)) << 16 | static_cast<uint32_t>(p);
}

// A number: its count of significant bits (0..32) by a 6-level bit tree,
// then the bits below the leading one, each with a probability of its own
// for that count and position.
const int kNumberModel = 64 + 33 * 32;

// How a stream's extra bytes are stored: coded by the extra byte before
// each; coded as noise (by one context, learnt slowly); or as they are, at
// the entry's end after the code (much faster to apply, where coding
// gains next to nothing).
enum ExtraForm { kExtraCoded = 0, kExtraNoise = 1, kExtraRaw = 2 };

// The models of a stream, all starting at one half. Zero runs are coded
// by the nonzero difference before them (the first run of an add by a
// model of its own), differences by the one before them and the length
// of the run between, extra bytes by the extra byte before them: contexts
// that come from the stream alone, never from the old file.
const int kRunContexts = 257;
const int kDiffContexts = 4 * 256;
struct DeltaModels {
  DeltaProb extra_form[4];  // the stream's first: an ExtraForm
  DeltaProb raw[kNumberModel];
  DeltaProb seek_sign[2];
  DeltaProb seek[kNumberModel];
  DeltaProb add[kNumberModel];
  DeltaProb extra[kNumberModel];
  DeltaProb run[kRunContexts][kNumberModel];
  DeltaProb diff[kDiffContexts * 256];
  DeltaProb literal[256 * 256];
};

inline DeltaProb* RunModel(DeltaModels* m, uint32_t last_diff, int first) {
  return m->run[first ? 256 : last_diff];
}

inline DeltaProb* DiffModel(DeltaModels* m, uint32_t last_diff, uint32_t run) {
  return m->diff + 256 * (last_diff | (run < 3 ? run : 3) << 8);
}

inline void ResetDeltaModels(DeltaModels* m) {
  DeltaProb* p = reinterpret_cast<DeltaProb*>(m);
  for (uint32_t i = 0; i < sizeof(DeltaModels) / sizeof *p; ++i) p[i] = kDeltaHalf;
}

// `bits` bits of `value`, most significant first, by a bit tree (probs[1]
// is the root). Returns the bits coded.
template <class Coder>
uint32_t CodeTree(Coder& c, DeltaProb* probs, int bits, uint32_t value, int rate = kDeltaRate) {
  uint32_t m = 1;
  for (int i = bits; i-- > 0;) m = m << 1 | c.Code(probs + m, value >> i & 1, rate);
  return m - (1u << bits);
}

// A number (see kNumberModel). A decoded bit count above 32 marks the
// coder bad and gives 0.
template <class Coder>
uint32_t CodeNumber(Coder& c, DeltaProb* model, uint32_t value) {
  uint32_t n = 0;
  while (n < 32 && value >> n) ++n;
  n = CodeTree(c, model, 6, n);
  if (n > 32) {
    c.bad = 1;
    return 0;
  }
  uint32_t v = n != 0;
  for (uint32_t i = n ? n - 1 : 0; i-- > 0;)
    v = v << 1 | c.Code(model + 64 + 32 * n + i, value >> i & 1);
  return v;
}

#endif  // PATCHER_PAYLOAD_DELTA_CODE_H
