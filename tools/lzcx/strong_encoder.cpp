#include "lzcx/strong_encoder.h"

#include <stdlib.h>
#include <string.h>

#include "payload/strong.h"
#include "payload/strong_code.h"

namespace {

// Codes into a byte vector, as the delta encoder's.
struct Encoder {
  std::vector<uint8_t>* out;
  uint32_t x1 = 0, x2 = 0xFFFFFFFFu;
  int bad = 0;

  void Put(uint32_t p, int bit) {
    const uint32_t split = DeltaSplit(x1, x2, p);
    if (bit)
      x2 = split;
    else
      x1 = split + 1;
    while (!((x1 ^ x2) >> 24)) {
      out->push_back(static_cast<uint8_t>(x2 >> 24));
      x1 <<= 8;
      x2 = x2 << 8 | 255;
    }
  }
  int Code(DeltaProb* p, int bit, int = 0) {
    Put(StrongP(*p), bit);
    StrongAdapt(p, bit);
    return bit;
  }
  int Code2(DeltaProb* p, DeltaProb* p2, int bit) {
    Put((StrongP(*p) + StrongP(*p2)) >> 1, bit);
    StrongAdapt(p, bit);
    StrongAdapt(p2, bit);
    return bit;
  }
  void Flush() {
    for (int i = 0; i < 4; ++i, x1 <<= 8) out->push_back(static_cast<uint8_t>(x1 >> 24));
  }
};

// Prices in 1/kPriceUnit bits, of an event of probability i/4096 at
// kPrice[i]: integers only, so that every build parses alike.
const int kPriceFraction = 6;
const uint32_t kPriceUnit = 1u << kPriceFraction;
const uint32_t kInfinity = 0x3FFFFFFF;

// log2(x) for 1 <= x < 2^32, with kPriceFraction bits after the point, by
// squaring.
uint32_t Log2Fixed(uint32_t x) {
  const int top = 31 - __builtin_clz(x);
  uint64_t y = static_cast<uint64_t>(x) << (31 - top);  // 1.31
  uint32_t r = static_cast<uint32_t>(top) << kPriceFraction;
  for (int k = kPriceFraction; k-- > 0;) {
    y = (y * y) >> 31;
    if (y >> 32) {
      y >>= 1;
      r |= 1u << k;
    }
  }
  return r;
}

struct Prices {
  uint32_t table[4097];
  Prices() {
    for (uint32_t i = 1; i <= 4096; ++i) table[i] = (12u << kPriceFraction) - Log2Fixed(i);
    table[0] = table[1];
  }
  uint32_t Bit(DeltaProb p, uint32_t bit) const {
    const uint32_t q = StrongP(p);
    return table[(bit ? q : 0x10000 - q) >> 4];
  }
};

// A coder that only sums what the decisions would cost, leaving the models
// as they are: the code's own functions price their items.
struct PriceCoder {
  const Prices* prices;
  uint32_t sum;
  int bad;
  int Code(DeltaProb* p, int bit, int = 0) {
    sum += prices->Bit(*p, static_cast<uint32_t>(bit));
    return bit;
  }
  int Code2(DeltaProb* p, DeltaProb* p2, int bit) {
    const uint32_t q = (StrongP(*p) + StrongP(*p2)) >> 1;
    sum += prices->table[(bit ? q : 0x10000 - q) >> 4];
    return bit;
  }
};

struct Match {
  uint32_t len, dist;  // dist: distance less 1
};

// Binary trees over the window, hashed by the first 4 bytes, with direct
// tables for 2 and 3 bytes: every position's matches of rising length.
class MatchFinder {
 public:
  int Start(const uint8_t* data, uint32_t size, int window_log, uint32_t nice, uint32_t depth) {
    data_ = data;
    size_ = size;
    // A node for each position of the window, or of the group when that is
    // smaller: matches reach back less than that.
    cyclic_ = 1u << window_log;
    if (cyclic_ > size + 1) cyclic_ = size + 1 < 4096 ? 4096 : size + 1;
    hash_bits_ = 16;
    while (hash_bits_ < 24 && (1u << hash_bits_) < cyclic_ / 2) ++hash_bits_;
    nice_ = nice;
    depth_ = depth;
    const size_t n = 2 * static_cast<size_t>(cyclic_) + (1u << 16) * 2 + (1u << hash_bits_);
    mem_ = static_cast<uint32_t*>(calloc(n, sizeof(uint32_t)));
    if (!mem_) return 0;
    memory_ = n * sizeof(uint32_t);
    son_ = mem_;
    hash2_ = son_ + 2 * static_cast<size_t>(cyclic_);
    hash3_ = hash2_ + (1u << 16);
    hash4_ = hash3_ + (1u << 16);
    return 1;
  }
  ~MatchFinder() { free(mem_); }
  size_t memory() const { return memory_; }

  // The matches at `pos` (each longer than the one before, at most nice
  // bytes, none past the group's end) into `out`; their count. Every
  // position is given once, in order.
  uint32_t Find(uint32_t pos, Match* out) {
    uint32_t limit = size_ - pos;
    if (limit > nice_) limit = nice_;
    if (limit < 4) return 0;
    const uint8_t* cur = data_ + pos;
    const uint32_t p1 = pos + 1;
    const uint32_t v = ReadU32(cur);
    const uint32_t h2 = v & 0xFFFF;
    const uint32_t h3 = ((v & 0xFFFFFF) * 2654435761u) >> 16;
    const uint32_t h4 = (v * 2654435761u) >> (32 - hash_bits_);
    const uint32_t c2 = hash2_[h2], c3 = hash3_[h3];
    uint32_t cand = hash4_[h4];
    hash2_[h2] = hash3_[h3] = hash4_[h4] = p1;
    uint32_t count = 0, best = 1;
    if (c2 && p1 - c2 < cyclic_) {
      best = 2;
      out[count++] = {2, p1 - c2 - 1};
    }
    const uint8_t* b3 = cur - (p1 - c3);
    if (c3 && c3 != c2 && p1 - c3 < cyclic_ && b3[0] == cur[0] && b3[1] == cur[1] &&
        b3[2] == cur[2]) {
      best = 3;
      out[count++] = {3, p1 - c3 - 1};
    }
    // Extend the short ones, which the tree may not see.
    if (count) {
      Match& m = out[count - 1];
      const uint8_t* from = cur - m.dist - 1;
      uint32_t len = m.len;
      while (len < limit && from[len] == cur[len]) ++len;
      best = m.len = len;
    }
    const uint32_t at = p1 % cyclic_;
    uint32_t* ptr0 = son_ + (static_cast<size_t>(at) << 1) + 1;
    uint32_t* ptr1 = son_ + (static_cast<size_t>(at) << 1);
    uint32_t len0 = 0, len1 = 0;
    for (uint32_t depth = depth_;; --depth) {
      const uint32_t delta = p1 - cand;
      if (!cand || delta >= cyclic_ || !depth) {
        *ptr0 = *ptr1 = 0;
        break;
      }
      uint32_t* pair = son_ + (static_cast<size_t>(at - delta + (delta > at ? cyclic_ : 0)) << 1);
      const uint8_t* pb = cur - delta;
      uint32_t len = len0 < len1 ? len0 : len1;
      if (pb[len] == cur[len]) {
        while (++len != limit && pb[len] == cur[len]) {
        }
        if (len > best) {
          best = len;
          out[count++] = {len, delta - 1};
        }
      }
      if (len == limit) {
        // The node is this position's equal up to the limit: it takes the
        // node's place in the tree.
        *ptr1 = pair[0];
        *ptr0 = pair[1];
        break;
      }
      if (pb[len] < cur[len]) {
        *ptr1 = cand;
        ptr1 = pair + 1;
        cand = *ptr1;
        len1 = len;
      } else {
        *ptr0 = cand;
        ptr0 = pair;
        cand = *ptr0;
        len0 = len;
      }
    }
    return count;
  }

 private:
  static uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0, cyclic_ = 0, hash_bits_ = 0, nice_ = 0, depth_ = 0;
  uint32_t* mem_ = nullptr;
  uint32_t *son_ = nullptr, *hash2_ = nullptr, *hash3_ = nullptr, *hash4_ = nullptr;
  size_t memory_ = 0;
};

const uint32_t kLiteral = 0xFFFFFFFFu;
const uint32_t kOptimum = 4096;
const uint32_t kMaxMatches = 300;

// One item of the parse: a literal (dist kLiteral), a rep match (dist
// 0..3, a short rep when len is 1), or a match at distance dist - 4 + 1.
struct Item {
  uint32_t len, dist;
};

// A position of the optimal parse: the cheapest way found to it, and the
// state and rep distances there once it is reached.
struct Node {
  uint32_t price;
  uint32_t from;
  uint32_t count;  // items of the step from `from`: 1, or 2 or 3 (a literal, then rep0)
  Item items[3];
  uint32_t state;
  uint32_t reps[4];
};

// The state and reps after item `it`, as the decoder keeps them.
void Apply(const Item& it, uint32_t* state, uint32_t* reps) {
  if (it.dist == kLiteral) {
    *state = StrongAfterLiteral(*state);
  } else if (it.dist >= 4) {
    *state = StrongAfterMatch(*state);
    reps[3] = reps[2];
    reps[2] = reps[1];
    reps[1] = reps[0];
    reps[0] = it.dist - 4;
  } else if (it.len == 1) {
    *state = StrongAfterShortRep(*state);
  } else {
    *state = StrongAfterRep(*state);
    const uint32_t d = reps[it.dist];
    for (uint32_t k = it.dist; k > 0; --k) reps[k] = reps[k - 1];
    reps[0] = d;
  }
}

}  // namespace

int StrongWindowFor(uint64_t bytes, int most) {
  int w = kStrongMinWindowLog;
  while (w < most && (uint64_t{1} << w) < bytes) ++w;
  return w;
}

struct StrongEncoder::State {
  StrongSettings set;
  const uint8_t* data;
  uint64_t size;
  uint32_t pos = 0;      // the group's next byte to code
  uint32_t mf_next = 0;  // the next position the match finder takes
  int started = 0;
  uint32_t state = 0;
  uint32_t reps[4] = {0, 0, 0, 0};
  uint32_t nice = 0;
  std::vector<uint32_t> model_memory;
  StrongModels* m = nullptr;
  MatchFinder mf;
  int mf_ready = 0;
  Prices prices;
  // Cached prices, refreshed every so many items.
  uint32_t since_refresh = 0;
  uint32_t len_price[2][kStrongPosStates][kStrongLenSymbols];
  uint32_t dist_price[kStrongLenStates][kStrongFullDistances];
  uint32_t slot_price[kStrongLenStates][64];
  uint32_t align_price[16];
  // The matches at the last position the finder took.
  Match matches[kMaxMatches];
  uint32_t match_count = 0;
  std::vector<Node> opt;
  std::vector<Item> items;
  size_t peak = 0;

  uint32_t WindowLimit() const { return (1u << set.window_log); }
  // How far rep distance `d` (less 1) is usable at `p`.
  int RepUsable(uint32_t d, uint32_t p) const { return d < p && d < WindowLimit(); }
  uint32_t Common(uint32_t p, uint32_t d, uint32_t limit) const {
    const uint8_t* a = data + p;
    const uint8_t* b = a - d - 1;
    uint32_t n = 0;
    while (n < limit && a[n] == b[n]) ++n;
    return n;
  }

  void ReadMatches(uint32_t limit) {
    match_count = mf.Find(mf_next++, matches);
    // Not past the entry's end.
    for (uint32_t i = 0; i < match_count; ++i) {
      if (matches[i].len >= limit) {
        matches[i].len = limit;
        match_count = i + 1;
        break;
      }
    }
    if (match_count && matches[match_count - 1].len < 2) match_count = 0;
  }
  // The positions up to `p` go into the finder unsearched; the quick
  // levels leave those inside items out.
  void SkipTo(uint32_t p) {
    if (set.level < 5) mf_next = p;
    while (mf_next < p) mf.Find(mf_next++, matches);
    match_count = 0;
  }

  void Refresh() {
    since_refresh = 0;
    PriceCoder c = {&prices, 0, 0};
    for (int k = 0; k < 2; ++k) {
      StrongLengthModels* lm = k ? &m->rep_length : &m->length;
      for (uint32_t ps = 0; ps < (1u << set.pb); ++ps)
        for (uint32_t l = 0; l < kStrongLenSymbols; ++l) {
          c.sum = 0;
          CodeLength(c, lm, ps, l);
          len_price[k][ps][l] = c.sum;
        }
    }
    for (uint32_t ls = 0; ls < kStrongLenStates; ++ls) {
      for (uint32_t slot = 0; slot < 64; ++slot) {
        c.sum = 0;
        CodeTree(c, m->slot[ls], 6, slot);
        slot_price[ls][slot] = c.sum;
      }
      for (uint32_t d = 0; d < kStrongFullDistances; ++d) {
        c.sum = 0;
        CodeDistance(c, m, ls, d);
        dist_price[ls][d] = c.sum;
      }
    }
    for (uint32_t a = 0; a < 16; ++a) {
      c.sum = 0;
      CodeReverse(c, m->align, kStrongAlignBits, a);
      align_price[a] = c.sum;
    }
  }

  uint32_t LenPrice(int rep, uint32_t len, uint32_t ps) {
    if (len - 2 < kStrongLenSymbols - 1) return len_price[rep][ps][len - 2];
    PriceCoder c = {&prices, 0, 0};
    CodeLength(c, rep ? &m->rep_length : &m->length, ps, len - 2);
    return c.sum;
  }
  uint32_t DistPrice(uint32_t d, uint32_t len) {
    const uint32_t ls = len - 2 < kStrongLenStates - 1 ? len - 2 : kStrongLenStates - 1;
    if (d < kStrongFullDistances) return dist_price[ls][d];
    const uint32_t slot = StrongSlot(d);
    const uint32_t footer = (slot >> 1) - 1;
    return slot_price[ls][slot] + (footer - kStrongAlignBits) * kPriceUnit + align_price[d & 15];
  }
  uint32_t LiteralPrice(uint32_t p, uint32_t st, uint32_t rep0) {
    const uint32_t prev = p ? data[p - 1] : 0;
    const uint32_t base = StrongMatchedBase(st, RepUsable(rep0, p));
    PriceCoder c = {&prices, 0, 0};
    CodeLiteral(c, StrongLiterals(m, p, prev, set.lc, set.lp),
                StrongOrder1(m, set.lc, set.lp, prev), data[p], base ? data[p - rep0 - 1] : 0,
                base);
    return c.sum;
  }
  // The decisions of a rep match of index i (i = 0 with len 1: short rep).
  DeltaProb* IsMatch(uint32_t st, uint32_t p) {
    return StrongIsMatch(m, st, p & ((1u << set.pb) - 1), p ? data[p - 1] : 0);
  }
  uint32_t RepPrice(uint32_t i, uint32_t st, uint32_t ps, uint32_t len, uint32_t p) {
    uint32_t price = prices.Bit(*IsMatch(st, p), 1) + prices.Bit(m->is_rep[st], 1);
    if (!i)
      return price + prices.Bit(m->is_rep0[st], 0) + prices.Bit(m->is_rep0_long[st][ps], len > 1);
    price += prices.Bit(m->is_rep0[st], 1);
    if (i == 1) return price + prices.Bit(m->is_rep1[st], 0);
    return price + prices.Bit(m->is_rep1[st], 1) + prices.Bit(m->is_rep2[st], i == 3);
  }

  // Codes one item at `pos`, as the decoder reads it.
  void Emit(Encoder& c, const Item& it) {
    const uint32_t ps = pos & ((1u << set.pb) - 1);
    const uint32_t st = state;
    if (it.dist == kLiteral) {
      c.Code(IsMatch(st, pos), 0);
      const uint32_t prev = pos ? data[pos - 1] : 0;
      const uint32_t base = StrongMatchedBase(st, RepUsable(reps[0], pos));
      CodeLiteral(c, StrongLiterals(m, pos, prev, set.lc, set.lp),
                  StrongOrder1(m, set.lc, set.lp, prev), data[pos],
                  base ? data[pos - reps[0] - 1] : 0, base);
      state = StrongAfterLiteral(st);
    } else {
      c.Code(IsMatch(st, pos), 1);
      if (it.dist >= 4) {
        c.Code(&m->is_rep[st], 0);
        CodeLength(c, &m->length, ps, it.len - 2);
        CodeDistance(c, m, it.len - 2, it.dist - 4);
        reps[3] = reps[2];
        reps[2] = reps[1];
        reps[1] = reps[0];
        reps[0] = it.dist - 4;
        state = StrongAfterMatch(st);
      } else {
        c.Code(&m->is_rep[st], 1);
        c.Code(&m->is_rep0[st], it.dist != 0);
        if (!it.dist) {
          c.Code(&m->is_rep0_long[st][ps], it.len > 1);
        } else {
          c.Code(&m->is_rep1[st], it.dist > 1);
          if (it.dist > 1) c.Code(&m->is_rep2[st], it.dist > 2);
          const uint32_t d = reps[it.dist];
          for (uint32_t k = it.dist; k > 0; --k) reps[k] = reps[k - 1];
          reps[0] = d;
        }
        if (it.len == 1) {
          state = StrongAfterShortRep(st);
        } else {
          CodeLength(c, &m->rep_length, ps, it.len - 2);
          state = StrongAfterRep(st);
        }
      }
    }
    pos += it.len;
    ++since_refresh;
  }

  void Greedy(uint32_t end);
  void Optimal(uint32_t end);
};

// Level 1: the longest match, a rep one when about as long; else a literal.
void StrongEncoder::State::Greedy(uint32_t end) {
  const uint32_t p = pos;
  const uint32_t avail = end - p;
  if (mf_next == p) ReadMatches(avail);
  Item it = {1, kLiteral};
  uint32_t rep_len = 0, rep_index = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    if (!RepUsable(reps[i], p)) continue;
    const uint32_t n = Common(p, reps[i], avail);
    if (n > rep_len) {
      rep_len = n;
      rep_index = i;
    }
  }
  const Match* best = match_count ? &matches[match_count - 1] : nullptr;
  if (rep_len >= 2 && (!best || rep_len + 1 >= best->len)) {
    it = {rep_len, rep_index};
  } else if (best && (best->len >= 3 || best->dist < 128)) {
    uint32_t len = best->len;
    if (len >= nice) len += Common(p + len, best->dist, avail - len);
    it = {len, best->dist + 4};
  } else if (RepUsable(reps[0], p) && data[p] == data[p - reps[0] - 1] &&
             state >= kStrongLiteralStates) {
    it = {1, 0};
  }
  items.push_back(it);
  SkipTo(p + it.len);
}

// Level 9: the cheapest parse by the models' present prices, over up to
// kOptimum positions at a time, with the steps of one item and those of a
// literal between an item and rep0 (a match broken by one byte).
void StrongEncoder::State::Optimal(uint32_t end) {
  const uint32_t p0 = pos;
  const uint32_t pb_mask = (1u << set.pb) - 1;
  if (mf_next == p0) ReadMatches(end - p0);
  // A long rep or match right here is taken at once, whole.
  {
    const uint32_t avail = end - p0;
    uint32_t rep_len = 0, rep_index = 0;
    for (uint32_t i = 0; i < 4; ++i) {
      if (!RepUsable(reps[i], p0)) continue;
      const uint32_t n = Common(p0, reps[i], avail);
      if (n > rep_len) {
        rep_len = n;
        rep_index = i;
      }
    }
    if (rep_len >= nice) {
      items.push_back({rep_len, rep_index});
      SkipTo(p0 + rep_len);
      return;
    }
    if (match_count && matches[match_count - 1].len >= nice) {
      const Match& b = matches[match_count - 1];
      const uint32_t len = b.len + Common(p0 + b.len, b.dist, avail - b.len);
      items.push_back({len, b.dist + 4});
      SkipTo(p0 + len);
      return;
    }
  }
  if (since_refresh >= 128) Refresh();
  Node* o = opt.data();
  o[0].price = 0;
  o[0].state = state;
  memcpy(o[0].reps, reps, sizeof reps);
  uint32_t len_end = 1, cur = 0;
  o[1].price = kInfinity;
  for (;;) {
    Node& n = o[cur];
    const uint32_t p = p0 + cur;
    if (cur) {
      // The state and reps here, from the step that reached it.
      const Node& f = o[n.from];
      n.state = f.state;
      memcpy(n.reps, f.reps, sizeof n.reps);
      for (uint32_t k = 0; k < n.count; ++k) Apply(n.items[k], &n.state, n.reps);
      ReadMatches(end - p);
      if (match_count && matches[match_count - 1].len >= nice) break;
    }
    const uint32_t avail = end - p;
    const uint32_t st = n.state;
    const uint32_t ps = p & pb_mask;
    const uint32_t base = n.price;
    // Grow the known span to cover the new reach, at infinite prices.
    auto reach = [&](uint32_t to) {
      while (len_end < to) o[++len_end].price = kInfinity;
    };
    auto offer = [&](uint32_t to, uint32_t price, Item a, Item b = Item(), Item c = Item()) {
      Node& t = o[to];
      if (price < t.price) {
        t.price = price;
        t.from = cur;
        t.count = c.len ? 3 : b.len ? 2 : 1;
        t.items[0] = a;
        t.items[1] = b;
        t.items[2] = c;
      }
    };
    // After an item that ends at `at` (state `s`, rep0 `d`), a literal and
    // then rep0 again.
    auto literal_rep0 = [&](uint32_t at, uint32_t price, uint32_t s, uint32_t d, Item a) {
      const uint32_t q = p0 + at;
      if (at + 2 >= avail + cur || !RepUsable(d, q) || data[q] == data[q - d - 1]) return;
      uint32_t lim = p0 + cur + avail - q - 1;
      if (lim > nice) lim = nice;
      const uint32_t len = Common(q + 1, d, lim);
      if (len < 2) return;
      const uint32_t ls = StrongAfterLiteral(s);
      const uint32_t qs = (q + 1) & pb_mask;
      price += prices.Bit(*IsMatch(s, q), 0) + LiteralPrice(q, s, d) +
               RepPrice(0, ls, qs, len, q + 1) + LenPrice(1, len, qs);
      reach(at + 1 + len);
      offer(at + 1 + len, price, a, {1, kLiteral}, {len, 0});
    };
    reach(cur + 1);
    const uint32_t literal_price =
        base + prices.Bit(*IsMatch(st, p), 0) + LiteralPrice(p, st, n.reps[0]);
    offer(cur + 1, literal_price, {1, kLiteral});
    // Rep0 after this literal: priced as such from its own position,
    // but for a literal that rep0 itself could have made.
    if (RepUsable(n.reps[0], p) && data[p] != data[p - n.reps[0] - 1]) {
      uint32_t lim = avail - 1 < nice ? avail - 1 : nice;
      const uint32_t len = avail > 2 ? Common(p + 1, n.reps[0], lim) : 0;
      if (len >= 2) {
        const uint32_t ls = StrongAfterLiteral(st);
        const uint32_t qs = (p + 1) & pb_mask;
        reach(cur + 1 + len);
        offer(cur + 1 + len, literal_price + RepPrice(0, ls, qs, len, p + 1) + LenPrice(1, len, qs),
              {1, kLiteral}, {len, 0});
      }
    }
    const uint32_t limit = avail < nice ? avail : nice;
    for (uint32_t i = 0; i < 4; ++i) {
      if (!RepUsable(n.reps[i], p)) continue;
      const uint32_t len = Common(p, n.reps[i], limit);
      if (!i && len >= 1) offer(cur + 1, base + RepPrice(0, st, ps, 1, p), {1, 0});
      if (len < 2) continue;
      reach(cur + len);
      const uint32_t rp = base + RepPrice(i, st, ps, len, p);
      for (uint32_t l = 2; l <= len; ++l) offer(cur + l, rp + LenPrice(1, l, ps), {l, i});
      literal_rep0(cur + len, rp + LenPrice(1, len, ps), StrongAfterRep(st), n.reps[i], {len, i});
    }
    if (match_count) {
      const uint32_t mp = base + prices.Bit(*IsMatch(st, p), 1) + prices.Bit(m->is_rep[st], 0);
      reach(cur + matches[match_count - 1].len);
      uint32_t l = 2;
      for (uint32_t k = 0; k < match_count; ++k) {
        const Match& mt = matches[k];
        uint32_t price = 0;
        for (; l <= mt.len; ++l) {
          price = mp + LenPrice(0, l, ps) + DistPrice(mt.dist, l);
          offer(cur + l, price, {l, mt.dist + 4});
        }
        literal_rep0(cur + mt.len, price, StrongAfterMatch(st), mt.dist, {mt.len, mt.dist + 4});
      }
    }
    if (++cur >= len_end || cur >= kOptimum) break;
  }
  // Back from `cur` to the block's start.
  const size_t first = items.size();
  for (uint32_t at = cur; at; at = o[at].from)
    for (uint32_t k = o[at].count; k-- > 0;) items.push_back(o[at].items[k]);
  for (size_t a = first, b = items.size(); a + 1 < b; ++a, --b) {
    const Item t = items[a];
    items[a] = items[b - 1];
    items[b - 1] = t;
  }
}

StrongEncoder::StrongEncoder(const StrongSettings& settings, const uint8_t* group, uint64_t size)
    : state_(new State) {
  State* s = state_;
  s->set = settings;
  if (s->set.window_log > kStrongMaxWindowLog) s->set.window_log = kStrongMaxWindowLog;
  if (s->set.window_log < kStrongMinWindowLog) s->set.window_log = kStrongMinWindowLog;
  s->data = group;
  s->size = size;
}

StrongEncoder::~StrongEncoder() { delete state_; }

size_t StrongEncoder::peak_memory() const { return state_->peak; }

int StrongEncoder::EncodeNext(uint32_t size, uint32_t crc, const CodeRange* ranges, int count,
                              std::vector<uint8_t>* out) {
  State* s = state_;
  if (count < 0 || count > kMaxCodeRanges || s->size >= 0xFFFFFFFFu || size > s->size - s->pos)
    return 0;
  if (!s->m) {
    const StrongSettings& st = s->set;
    if (st.lc > 8 || st.lp > 4 || st.pb > 4) return 0;
    s->model_memory.resize(StrongModelsSize(st.lc, st.lp) / sizeof(uint32_t) + 1);
    s->m = reinterpret_cast<StrongModels*>(s->model_memory.data());
    ResetStrongModels(s->m, st.lc, st.lp);
    s->nice = st.level >= 9 ? kStrongLongLen : st.level >= 5 ? 64 : 32;
    const uint32_t depth = st.level >= 9 ? 512 : st.level >= 5 ? 24 : 8;
    if (!s->mf.Start(s->data, static_cast<uint32_t>(s->size), st.window_log, s->nice, depth))
      return 0;
    s->opt.resize(kOptimum + 2 * kStrongLongLen + 4);
    s->since_refresh = 1u << 30;
    s->peak = sizeof(State) + s->model_memory.size() * sizeof(uint32_t) + s->mf.memory() +
              s->opt.size() * sizeof(Node);
  }
  StrongHeader h = {};
  h.size = size;
  h.crc = crc;
  h.continues = s->started;
  h.lc = s->set.lc;
  h.lp = s->set.lp;
  h.pb = s->set.pb;
  h.window_log = static_cast<uint8_t>(s->set.window_log);
  h.ranges_count = count;
  for (int i = 0; i < count; ++i) h.ranges[i] = ranges[i];
  const size_t at = out->size();
  out->resize(at + kStrongHeaderSize + 12 * count);
  const uint32_t head = WriteStrongHeader(out->data() + at, h);
  // Ranges the decoder would refuse (out of the file, out of order) are
  // the caller's mistake: nothing is coded.
  StrongHeader check;
  if (!ReadStrongHeader(out->data() + at, head, &check)) {
    out->resize(at);
    return 0;
  }
  s->started = 1;
  Encoder c;
  c.out = out;
  const uint32_t end = s->pos + size;
  while (s->pos < end) {
    s->items.clear();
    if (s->set.level >= 5)
      s->Optimal(end);
    else
      s->Greedy(end);
    for (const Item& it : s->items) s->Emit(c, it);
  }
  c.Flush();
  const size_t items_memory = s->items.capacity() * sizeof(Item);
  if (s->peak < items_memory) s->peak += items_memory;
  return 1;
}
