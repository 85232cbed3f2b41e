#include "lzcx/encoder.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

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
  // `data` holds the input from position `base` on (base is at most
  // p - kMaxMatchDistance).
  uint32_t Insert(const uint8_t* data, uint32_t base, uint32_t p, uint16_t* distance) {
    data -= base;  // indexed by position from here on
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
// `at` is position p, with `limit` bytes from it on and min(p, 4095) before.
uint32_t TailMatch(const uint8_t* at, size_t limit, size_t p, uint16_t* distance) {
  const size_t farthest = p < kMaxMatchDistance ? p : kMaxMatchDistance;
  uint32_t best = 0;
  for (size_t d = 1; d <= farthest && best < limit; ++d) {
    uint32_t n = 0;
    while (n < limit && at[n] == at[n - d]) ++n;
    if (n > best) {
      best = n;
      *distance = static_cast<uint16_t>(d);
    }
  }
  return best >= kMinMatchLength ? best : 0;
}

// One item per position in 16 bits: (length - 1) << 12 | distance for a
// match, 0 for a literal. The finder leaves the longest match there, the
// parse the item it chose (at the positions it reaches).
inline uint16_t LoadItem(const uint8_t* items, size_t i) {
  uint16_t v;
  memcpy(&v, items + 2 * i, 2);
  return v;
}
inline void StoreItem(uint8_t* items, size_t i, uint32_t length, uint32_t distance) {
  const uint16_t v =
      static_cast<uint16_t>(length >= kMinMatchLength ? (length - 1) << 12 | distance : 0);
  memcpy(items + 2 * i, &v, 2);
}
inline uint32_t ItemLength(uint16_t v) { return v ? (v >> 12) + 1u : 0; }
inline uint32_t ItemDistance(uint16_t v) { return v & 0xFFFu; }
static_assert(kMaxMatchLength - 1 <= 15 && kMaxMatchDistance <= 0xFFF, "an item fits 16 bits");

// The match finder over every position; `store(p, length, distance)`
// receives each position's longest match (length 0: none).
template <class Store>
int FindMatches(const uint8_t* data, size_t size, Store store, EncodeProgress* progress) {
  if (size > kMaxBlockInput) return 0;
  TreeMatchFinder tree;
  if (!tree.ok()) return 0;
  const size_t tree_end = size >= kMaxMatchLength ? size - kMaxMatchLength + 1 : 0;
  size_t next_report = kProgressStep;
  for (size_t p = 0; p < size; ++p) {
    uint16_t distance = 0;
    const uint32_t n = p < tree_end ? tree.Insert(data, 0, static_cast<uint32_t>(p), &distance)
                                    : TailMatch(data + p, size - p, p, &distance);
    store(p, n, n ? distance : 0);
    if (progress && p + 1 == next_report) {
      progress->Report(p + 1, size);
      next_report += kProgressStep;
    }
  }
  return 1;
}

// The fewest-bits parse, from the end backwards: the price of the best
// encoding of data[i..size) needs only the prices of the next 16
// positions, which a ring keeps. Among equal prices the longest match
// wins, so the parse has few items.
const size_t kRing = 32;
static_assert(kRing > kMaxMatchLength, "the ring holds every price a match reaches");

// Positions first..end of the parse, whose items start at `items`; `bits`
// holds the prices of the positions from `end` on.
void OptimalParseRun(uint8_t* items, size_t first, size_t end, uint64_t* bits) {
  items -= 2 * first;  // indexed by position from here on
  for (size_t i = end; i-- > first;) {
    const uint16_t v = LoadItem(items, i);
    const uint64_t literal = bits[(i + 1) % kRing] + kLiteralBits;
    uint64_t best_match = literal;
    uint32_t best_length = 0;
    for (uint32_t n = ItemLength(v); n >= kMinMatchLength; --n) {
      const uint64_t price = bits[(i + n) % kRing] + kMatchBits;
      if (price < best_match || !best_length) {
        best_match = price;
        best_length = n;
      }
    }
    if (best_length && best_match <= literal) {
      bits[i % kRing] = best_match;
      StoreItem(items, i, best_length, ItemDistance(v));
    } else {
      bits[i % kRing] = literal;
      StoreItem(items, i, 0, 0);
    }
  }
}

void OptimalParse(uint8_t* items, size_t size) {
  uint64_t bits[kRing];
  bits[size % kRing] = 0;
  OptimalParseRun(items, 0, size, bits);
}

// Greedy and lazy parses over the same longest matches, from position *i
// to `end` (of `size`); `items` start at position `first` and reach one
// past `end` where there is one. *i is left where the parse goes on.
void HeuristicParseRun(uint8_t* items, size_t first, size_t end, size_t size, ParseKind parse,
                       size_t* at) {
  items -= 2 * first;
  size_t i = *at;
  while (i < end) {
    const uint32_t n = ItemLength(LoadItem(items, i));
    if (n < kMinMatchLength ||
        (parse == kParseLazy && i + 1 < size && ItemLength(LoadItem(items, i + 1)) > n)) {
      StoreItem(items, i, 0, 0);
      ++i;
    } else {
      i += n;
    }
  }
  *at = i;
}

void HeuristicParse(uint8_t* items, size_t size, ParseKind parse) {
  size_t i = 0;
  HeuristicParseRun(items, 0, size, size, parse, &i);
}

// Steps from one chosen item to the next.
inline size_t Step(uint16_t v) { return v ? (v >> 12) + 1u : 1; }

}  // namespace

int FindLongestMatches(const uint8_t* data, size_t size, uint8_t* length,
                       uint16_t* distance, EncodeProgress* progress) {
  return FindMatches(
      data, size,
      [=](size_t p, uint32_t n, uint16_t d) {
        length[p] = static_cast<uint8_t>(n);
        distance[p] = d;
      },
      progress);
}

uint64_t CodedBodySize(uint64_t literals, uint64_t matches) {
  const uint64_t items = literals + matches;
  return literals + 2 * matches + 2 * ((items + 15) / 16);
}

uint64_t EncodeWorkSize(uint64_t size) { return 2 * size + kEncodeWorkSlack; }

namespace {

// Counts the parse's items from position `at` to `end` into `s`, the items
// held from position `base` on; where the last one counted ends.
size_t CountItems(const uint8_t* items, size_t base, size_t at, size_t end, EncodeStats* s) {
  while (at < end) {
    const uint16_t v = LoadItem(items, at - base);
    if (v)
      ++s->matches;
    else
      ++s->literals;
    at += Step(v);
  }
  return at;
}

// What the counts come to for an input of `size` bytes: a coded body as
// long as the input would read as stored, so it is stored then.
void SumUp(EncodeStats* s, size_t size) {
  s->item_bits = kLiteralBits * s->literals + kMatchBits * s->matches;
  s->coded_body = CodedBodySize(s->literals, s->matches);
  s->stored = s->coded_body >= size;
}

}  // namespace

// The items live at work + kEncodeWorkSlack, two bytes a position, and the
// block is written from work + 0 over them as they are read: before item i
// is read, at most 16 + 2 + 1.125 * i bytes (header, items, a control word
// per 16 items) have been written, and an item writes at most 4 more, so
// the writing never reaches kEncodeWorkSlack + 2 * i, where the next item
// still to be read lies.
int EncodeBlockInto(const uint8_t* data, size_t size, ParseKind parse, uint8_t* work,
                    size_t work_size, size_t* block_size, EncodeStats* stats,
                    EncodeProgress* progress) {
  if (size > kMaxBlockInput || work_size < EncodeWorkSize(size)) return 0;
  uint8_t* const items = work + kEncodeWorkSlack;
  if (!FindMatches(
          data, size, [=](size_t p, uint32_t n, uint16_t d) { StoreItem(items, p, n, d); },
          progress))
    return 0;
  if (parse == kParseOptimal)
    OptimalParse(items, size);
  else
    HeuristicParse(items, size, parse);

  EncodeStats s = {};
  CountItems(items, 0, 0, size, &s);
  SumUp(&s, size);
  if (stats) *stats = s;

  const uint64_t body = s.stored ? size : s.coded_body;
  *block_size = static_cast<size_t>(kBlockHeaderSize + body);
  uint8_t* out = work;
  WriteBlockHeader(out, static_cast<uint32_t>(size), static_cast<uint32_t>(kBlockHeaderSize + body));
  out += kBlockHeaderSize;
  if (s.stored) {
    if (size) memcpy(out, data, size);
    return 1;
  }

  uint8_t* word_at = out;
  uint32_t word = 0;
  uint32_t in_group = 16;
  for (size_t i = 0; i < size;) {
    const uint16_t v = LoadItem(items, i);
    if (in_group == 16) {
      if (i) WriteLe16(word_at, word);
      word_at = out;
      out += 2;
      word = 0;
      in_group = 0;
    }
    if (!v) {
      *out++ = data[i];
    } else {
      word |= 1u << in_group;
      const uint32_t d = ItemDistance(v);
      *out++ = static_cast<uint8_t>((d >> 8) << 4 | (ItemLength(v) - 1u));
      *out++ = static_cast<uint8_t>(d);
    }
    ++in_group;
    i += Step(v);
  }
  if (size) WriteLe16(word_at, word);
  return 1;
}

int EncodeBlock(const uint8_t* data, size_t size, ParseKind parse,
                std::vector<uint8_t>* block, EncodeStats* stats,
                EncodeProgress* progress) {
  if (size > kMaxBlockInput) return 0;
  const uint64_t work_size = EncodeWorkSize(size);
  if (work_size > SIZE_MAX) return 0;
  std::unique_ptr<uint8_t[]> work = Allocate<uint8_t>(static_cast<size_t>(work_size));
  if (!work) return 0;
  size_t length = 0;
  if (!EncodeBlockInto(data, size, parse, work.get(), static_cast<size_t>(work_size), &length,
                       stats, progress))
    return 0;
  block->assign(work.get(), work.get() + length);
  return 1;
}

int MemoryItemStore::Reserve(uint64_t size) {
  bytes_.reset();
  size_ = 0;
  if (size > SIZE_MAX) return 0;
  bytes_ = Allocate<uint8_t>(static_cast<size_t>(size));
  size_ = bytes_ ? static_cast<size_t>(size) : 0;
  return bytes_ != nullptr;
}

int MemoryItemStore::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
  if (offset > size_ || size > size_ - offset) return 0;
  memcpy(bytes_.get() + offset, data, size);
  return 1;
}

int MemoryItemStore::ReadAt(uint64_t offset, uint8_t* data, size_t size) {
  if (offset > size_ || size > size_ - offset) return 0;
  memcpy(data, bytes_.get() + offset, size);
  return 1;
}

namespace {

// Reads positions [first, end) of the items (and one more where there is
// one, for the lazy parse's look ahead) into `buffer`.
int LoadItems(ItemStore* store, size_t first, size_t end, uint8_t* buffer) {
  return store->ReadAt(2 * uint64_t{first}, buffer, 2 * (end - first));
}

}  // namespace

int StreamEncoder::Plan(EncodeInput* in, uint64_t size64, ParseKind parse, ItemStore* store,
                        uint64_t* block_size, EncodeStats* stats, EncodeProgress* progress) {
  if (size64 > kMaxBlockInput || !chunk_) return 0;
  const size_t size = static_cast<size_t>(size64);
  const size_t chunk = chunk_;
  // The window the finder looks back over, and the key it looks ahead at.
  const size_t keep = kMaxMatchDistance + kMaxMatchLength;
  TreeMatchFinder tree;
  std::unique_ptr<uint8_t[]> window = Allocate<uint8_t>(keep + chunk);
  std::unique_ptr<uint8_t[]> items = Allocate<uint8_t>(2 * (chunk + 1));
  if (!tree.ok() || !window || !items) return 0;
  uint8_t* const ib = items.get();

  // The matches, in order: the window holds positions [base, base + have).
  const size_t tree_end = size >= kMaxMatchLength ? size - kMaxMatchLength + 1 : 0;
  size_t base = 0, have = 0, first = 0;
  size_t next_report = kProgressStep;
  if (!in->Rewind()) return 0;
  for (size_t p = 0; p < size; ++p) {
    if (p + kMaxMatchLength > base + have && base + have < size) {
      const size_t from = p > kMaxMatchDistance ? p - kMaxMatchDistance : 0;
      memmove(window.get(), window.get() + (from - base), base + have - from);
      have -= from - base;
      base = from;
      const size_t more = std::min(keep + chunk - have, size - (base + have));
      if (!in->Read(window.get() + have, more)) return 0;
      have += more;
    }
    uint16_t distance = 0;
    const uint32_t n =
        p < tree_end ? tree.Insert(window.get(), static_cast<uint32_t>(base),
                                   static_cast<uint32_t>(p), &distance)
                     : TailMatch(window.get() + (p - base), size - p, p, &distance);
    StoreItem(ib, p - first, n, n ? distance : 0);
    if (p + 1 - first == chunk || p + 1 == size) {
      if (!store->WriteAt(2 * uint64_t{first}, ib, 2 * (p + 1 - first))) return 0;
      first = p + 1;
    }
    if (progress && p + 1 == next_report) {
      progress->Report(p + 1, size);
      next_report += kProgressStep;
    }
  }

  // The parse, a piece at a time: the optimal one from the end backwards.
  if (parse == kParseOptimal) {
    uint64_t bits[kRing];
    bits[size % kRing] = 0;
    for (size_t end = size; end > 0;) {
      const size_t start = (end - 1) / chunk * chunk;
      if (!LoadItems(store, start, end, ib)) return 0;
      OptimalParseRun(ib, start, end, bits);
      if (!store->WriteAt(2 * uint64_t{start}, ib, 2 * (end - start))) return 0;
      end = start;
    }
  } else {
    size_t at = 0;
    for (size_t start = 0; start < size; start += chunk) {
      const size_t end = std::min(size, start + chunk);
      if (!LoadItems(store, start, std::min(size, end + 1), ib)) return 0;
      HeuristicParseRun(ib, start, end, size, parse, &at);
      if (!store->WriteAt(2 * uint64_t{start}, ib, 2 * (end - start))) return 0;
    }
  }

  // The items the parse chose, counted.
  EncodeStats s = {};
  size_t at = 0;
  for (size_t start = 0; start < size; start += chunk) {
    const size_t end = std::min(size, start + chunk);
    if (!LoadItems(store, start, end, ib)) return 0;
    at = CountItems(ib, start, at, end, &s);
  }
  SumUp(&s, size);
  if (stats) *stats = s;
  stats_ = s;
  size_ = size;
  items_ = store;
  *block_size = kBlockHeaderSize + (s.stored ? size : s.coded_body);
  return 1;
}

int StreamEncoder::Emit(EncodeInput* in, EncodeOutput* out) {
  const size_t size = static_cast<size_t>(size_);
  const size_t chunk = chunk_;
  const uint64_t body = stats_.stored ? size : stats_.coded_body;
  uint8_t header[kBlockHeaderSize];
  WriteBlockHeader(header, static_cast<uint32_t>(size),
                   static_cast<uint32_t>(kBlockHeaderSize + body));
  if (!out->Write(header, sizeof header) || !in->Rewind()) return 0;
  std::unique_ptr<uint8_t[]> data = Allocate<uint8_t>(chunk);
  if (!data) return 0;
  if (stats_.stored) {
    for (size_t done = 0; done < size;) {
      const size_t n = std::min(chunk, size - done);
      if (!in->Read(data.get(), n) || !out->Write(data.get(), n)) return 0;
      done += n;
    }
    return 1;
  }
  // The body through a buffer that is written out between groups, when a
  // group's control word is complete.
  const size_t kFlushAt = 64 * 1024;
  std::unique_ptr<uint8_t[]> items = Allocate<uint8_t>(2 * chunk);
  std::unique_ptr<uint8_t[]> buffer = Allocate<uint8_t>(kFlushAt + 64);
  if (!items || !buffer) return 0;
  uint8_t* const ob = buffer.get();
  size_t used = 0, word_at = 0, at = 0;
  uint32_t word = 0, in_group = 16;
  for (size_t start = 0; start < size; start += chunk) {
    const size_t end = std::min(size, start + chunk);
    if (!LoadItems(items_, start, end, items.get()) || !in->Read(data.get(), end - start))
      return 0;
    while (at < end) {
      const uint16_t v = LoadItem(items.get(), at - start);
      if (in_group == 16) {
        if (at) WriteLe16(ob + word_at, word);
        if (used >= kFlushAt) {
          if (!out->Write(ob, used)) return 0;
          used = 0;
        }
        word_at = used;
        used += 2;
        word = 0;
        in_group = 0;
      }
      if (!v) {
        ob[used++] = data[at - start];
      } else {
        word |= 1u << in_group;
        const uint32_t d = ItemDistance(v);
        ob[used++] = static_cast<uint8_t>((d >> 8) << 4 | (ItemLength(v) - 1u));
        ob[used++] = static_cast<uint8_t>(d);
      }
      ++in_group;
      at += Step(v);
    }
  }
  if (size) WriteLe16(ob + word_at, word);
  return !used || out->Write(ob, used);
}
