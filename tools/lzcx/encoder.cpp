#include "lzcx/encoder.h"

#include <string.h>

#include <memory>
#include <new>

const uint8_t kBlockMagic[4] = {'L', 'Z', 'C', 'X'};

namespace {

// The match finder's window: one slot per position it can still reach.
const uint32_t kWindowSlots = 4096;
static_assert(kWindowSlots > kMaxMatchDistance, "window shorter than a distance");
static_assert((kWindowSlots & (kWindowSlots - 1)) == 0, "slots are taken modulo");
const uint32_t kHashBits = 16;
const uint32_t kNoPosition = 0xFFFFFFFFu;
// Keys of the tree are the next kMaxMatchLength bytes, compared 8 at a time.
static_assert(kMaxMatchLength == 16, "the key compare reads two words");
const size_t kProgressStep = 256 * 1024;

template <class T>
std::unique_ptr<T[]> Allocate(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count ? count : 1]);
}

// How many of the 16 bytes at `a` and `b` agree, from the first on.
inline uint32_t CommonPrefix16(const uint8_t* a, const uint8_t* b) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t x, y;
  memcpy(&x, a, 8);
  memcpy(&y, b, 8);
  if (x != y) return static_cast<uint32_t>(__builtin_ctzll(x ^ y)) >> 3;
  memcpy(&x, a + 8, 8);
  memcpy(&y, b + 8, 8);
  if (x != y) return 8 + (static_cast<uint32_t>(__builtin_ctzll(x ^ y)) >> 3);
  return 16;
#else
  uint32_t n = 0;
  while (n < 16 && a[n] == b[n]) ++n;
  return n;
#endif
}

inline uint32_t Hash3(const uint8_t* p) {
  const uint32_t v = p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Binary trees of the positions in the window, one per hash of their first
// three bytes, each ordered by the 16 bytes that start at the position.
// Every position becomes the root of its tree as it is inserted, and the
// old tree is split around it on the way down; so along every path the
// positions grow older, and a position that has left the window cuts off
// its whole subtree. The walk passes both neighbours of the new key in the
// tree's order, and the longest common prefix with any key in a sorted set
// is the one with a neighbour: the match found is exactly the longest.
// Two keys that agree in all 16 bytes are the same key, and the newer
// position takes the older one's place.
class TreeMatchFinder {
 public:
  TreeMatchFinder()
      : head_(Allocate<uint32_t>(size_t{1} << kHashBits)),
        smaller_(Allocate<uint32_t>(kWindowSlots)),
        larger_(Allocate<uint32_t>(kWindowSlots)) {
    if (ok())
      for (size_t i = 0; i < (size_t{1} << kHashBits); ++i) head_[i] = kNoPosition;
  }
  bool ok() const { return head_ && smaller_ && larger_; }

  // Inserts position `p` of `data`, which has at least kMaxMatchLength
  // bytes from p on, and returns the longest match there (0 when shorter
  // than kMinMatchLength) with its distance.
  uint32_t Insert(const uint8_t* data, uint32_t p, uint16_t* distance) {
    const uint8_t* key = data + p;
    uint32_t* const head = &head_[Hash3(key)];
    uint32_t node = *head;
    *head = p;
    const uint32_t oldest = p > kMaxMatchDistance ? p - kMaxMatchDistance : 0;
    uint32_t* smaller_link = &smaller_[p & (kWindowSlots - 1)];
    uint32_t* larger_link = &larger_[p & (kWindowSlots - 1)];
    uint32_t best = 0;
    for (;;) {
      if (node == kNoPosition || node < oldest) {
        *smaller_link = kNoPosition;
        *larger_link = kNoPosition;
        break;
      }
      const uint32_t slot = node & (kWindowSlots - 1);
      const uint32_t common = CommonPrefix16(data + node, key);
      if (common > best) {
        best = common;
        *distance = static_cast<uint16_t>(p - node);
      }
      if (common == kMaxMatchLength) {
        *smaller_link = smaller_[slot];
        *larger_link = larger_[slot];
        break;
      }
      if (data[node + common] < key[common]) {
        *smaller_link = node;
        smaller_link = &larger_[slot];
        node = *smaller_link;
      } else {
        *larger_link = node;
        larger_link = &smaller_[slot];
        node = *larger_link;
      }
    }
    return best >= kMinMatchLength ? best : 0;
  }

 private:
  std::unique_ptr<uint32_t[]> head_;
  std::unique_ptr<uint32_t[]> smaller_;
  std::unique_ptr<uint32_t[]> larger_;
};

// The last positions, where fewer than kMaxMatchLength bytes are left, try
// every distance: at most 15 positions of at most 4095 distances each.
uint32_t TailMatch(const uint8_t* data, size_t size, size_t p, uint16_t* distance) {
  const size_t limit = size - p;
  const size_t farthest = p < kMaxMatchDistance ? p : kMaxMatchDistance;
  uint32_t best = 0;
  for (size_t d = 1; d <= farthest && best < limit; ++d) {
    uint32_t n = 0;
    while (n < limit && data[p + n] == data[p + n - d]) ++n;
    if (n > best) {
      best = n;
      *distance = static_cast<uint16_t>(d);
    }
  }
  return best >= kMinMatchLength ? best : 0;
}

inline void PutLe16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

// The fewest-bits parse, from the end backwards: bits[i] is the price of
// the best encoding of data[i..size). `step` comes in holding the longest
// match lengths and leaves holding the chosen item at each position that
// the parse reaches (1: a literal). Among equal prices the longest match
// wins, so the parse has few items.
template <class Bits>
int OptimalSteps(uint8_t* step, size_t size) {
  std::unique_ptr<Bits[]> bits = Allocate<Bits>(size + 1);
  if (!bits) return 0;
  bits[size] = 0;
  for (size_t i = size; i-- > 0;) {
    const Bits literal = bits[i + 1] + kLiteralBits;
    Bits best_match = literal;
    uint32_t best_length = 0;
    for (uint32_t n = step[i]; n >= kMinMatchLength; --n) {
      const Bits price = bits[i + n] + kMatchBits;
      if (price < best_match || !best_length) {
        best_match = price;
        best_length = n;
      }
    }
    if (best_length && best_match <= literal) {
      bits[i] = best_match;
      step[i] = static_cast<uint8_t>(best_length);
    } else {
      bits[i] = literal;
      step[i] = 1;
    }
  }
  return 1;
}

// Greedy and lazy parses over the same longest matches.
void HeuristicSteps(uint8_t* step, size_t size, ParseKind parse) {
  for (size_t i = 0; i < size;) {
    uint32_t n = step[i];
    if (n < kMinMatchLength ||
        (parse == kParseLazy && i + 1 < size && step[i + 1] > n))
      n = 1;
    step[i] = static_cast<uint8_t>(n);
    i += n;
  }
}

}  // namespace

int FindLongestMatches(const uint8_t* data, size_t size, uint8_t* length,
                       uint16_t* distance, EncodeProgress* progress) {
  if (size > kMaxBlockInput) return 0;
  TreeMatchFinder tree;
  if (!tree.ok()) return 0;
  const size_t tree_end = size >= kMaxMatchLength ? size - kMaxMatchLength + 1 : 0;
  size_t next_report = kProgressStep;
  for (size_t p = 0; p < size; ++p) {
    distance[p] = 0;
    const uint32_t n = p < tree_end
                           ? tree.Insert(data, static_cast<uint32_t>(p), &distance[p])
                           : TailMatch(data, size, p, &distance[p]);
    length[p] = static_cast<uint8_t>(n);
    if (!n) distance[p] = 0;
    if (progress && p + 1 == next_report) {
      progress->Report(p + 1, size);
      next_report += kProgressStep;
    }
  }
  return 1;
}

uint64_t CodedBodySize(uint64_t literals, uint64_t matches) {
  const uint64_t items = literals + matches;
  return literals + 2 * matches + 2 * ((items + 15) / 16);
}

int EncodeBlock(const uint8_t* data, size_t size, ParseKind parse,
                std::vector<uint8_t>* block, EncodeStats* stats,
                EncodeProgress* progress) {
  if (size > kMaxBlockInput) return 0;
  std::unique_ptr<uint8_t[]> step = Allocate<uint8_t>(size);
  std::unique_ptr<uint16_t[]> distance = Allocate<uint16_t>(size);
  if (!step || !distance) return 0;
  if (!FindLongestMatches(data, size, step.get(), distance.get(), progress)) return 0;

  if (parse == kParseOptimal) {
    // 9 bits a byte at most; 32-bit prices do up to 477 MB.
    const bool narrow = size < 0xFFFFFFFFull / kLiteralBits;
    if (!(narrow ? OptimalSteps<uint32_t>(step.get(), size)
                 : OptimalSteps<uint64_t>(step.get(), size)))
      return 0;
  } else {
    HeuristicSteps(step.get(), size, parse);
  }

  EncodeStats s = {};
  for (size_t i = 0; i < size; i += step[i]) {
    if (step[i] == 1)
      ++s.literals;
    else
      ++s.matches;
  }
  s.item_bits = kLiteralBits * s.literals + kMatchBits * s.matches;
  s.coded_body = CodedBodySize(s.literals, s.matches);
  // A coded body as long as the input would read as stored: store then.
  s.stored = s.coded_body >= size;
  if (stats) *stats = s;

  const uint64_t body = s.stored ? size : s.coded_body;
  block->assign(kBlockHeaderSize + body, 0);
  uint8_t* out = block->data();
  memcpy(out, kBlockMagic, sizeof kBlockMagic);
  WriteLe32(out + 4, static_cast<uint32_t>(size));
  WriteLe32(out + 8, static_cast<uint32_t>(kBlockHeaderSize + body));
  WriteLe32(out + 12, 0);
  out += kBlockHeaderSize;
  if (s.stored) {
    if (size) memcpy(out, data, size);
    return 1;
  }

  uint8_t* word_at = out;
  uint32_t word = 0;
  uint32_t in_group = 16;
  for (size_t i = 0; i < size; i += step[i]) {
    if (in_group == 16) {
      if (i) PutLe16(word_at, word);
      word_at = out;
      out += 2;
      word = 0;
      in_group = 0;
    }
    if (step[i] == 1) {
      *out++ = data[i];
    } else {
      word |= 1u << in_group;
      const uint32_t d = distance[i];
      *out++ = static_cast<uint8_t>((d >> 8) << 4 | (step[i] - 1u));
      *out++ = static_cast<uint8_t>(d);
    }
    ++in_group;
  }
  if (size) PutLe16(word_at, word);
  return 1;
}
