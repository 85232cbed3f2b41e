// The packer's encoder against slow, obviously right references: a
// longest-match search over every distance, an exhaustive search over every
// parse of small inputs, and a plain forward DP on larger ones.
#include "lzcx/encoder.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "support/payload_builder.h"

namespace {

// ---------------------------------------------------------------------------
// References

// The longest match at every position (0 below kMinMatchLength): each
// position is compared with every earlier one within reach that starts with
// the same three bytes, as any match of three or more must.
std::vector<uint32_t> NaiveLengths(const Bytes& in) {
  const size_t n = in.size();
  std::vector<uint32_t> lengths(n, 0);
  std::vector<size_t> previous(n, SIZE_MAX);  // the last position with the same three bytes
  std::unordered_map<uint32_t, size_t> last;
  for (size_t p = 0; p + kMinMatchLength <= n; ++p) {
    const uint32_t key = in[p] | in[p + 1] << 8 | in[p + 2] << 16;
    auto seen = last.find(key);
    if (seen != last.end()) previous[p] = seen->second;
    last[key] = p;
    const size_t limit = std::min<size_t>(kMaxMatchLength, n - p);
    for (size_t q = previous[p];
         q != SIZE_MAX && p - q <= kMaxMatchDistance && lengths[p] < limit; q = previous[q]) {
      uint32_t length = kMinMatchLength;
      while (length < limit && in[q + length] == in[p + length]) ++length;
      lengths[p] = std::max(lengths[p], length);
    }
  }
  return lengths;
}

// Every parse of an input, each position either a literal or a match of any
// length 3..16 that some distance allows there.
class ExhaustiveSearch {
 public:
  explicit ExhaustiveSearch(const Bytes& in) : in_(in), allowed_(in.size()) {
    for (size_t p = 0; p < in.size(); ++p) {
      for (uint32_t n = kMinMatchLength; n <= kMaxMatchLength && p + n <= in.size(); ++n) {
        for (size_t d = 1; d <= std::min<size_t>(p, kMaxMatchDistance); ++d) {
          uint32_t k = 0;
          while (k < n && in[p + k] == in[p + k - d]) ++k;
          if (k == n) {
            allowed_[p].push_back(n);
            break;
          }
        }
      }
    }
  }
  // The fewest bits of any parse of in[p..).
  uint64_t Bits(size_t p = 0) const {
    if (p == in_.size()) return 0;
    uint64_t best = kLiteralBits + Bits(p + 1);
    for (uint32_t n : allowed_[p]) best = std::min<uint64_t>(best, kMatchBits + Bits(p + n));
    return best;
  }

 private:
  const Bytes& in_;
  std::vector<std::vector<uint32_t>> allowed_;
};

// A forward DP over the naive longest matches: bits[i] is the cheapest way
// to produce the first i bytes.
uint64_t ForwardDpBits(const Bytes& in, const std::vector<uint32_t>& longest) {
  std::vector<uint64_t> bits(in.size() + 1, UINT64_MAX);
  bits[0] = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    bits[i + 1] = std::min(bits[i + 1], bits[i] + kLiteralBits);
    for (uint32_t n = kMinMatchLength; n <= longest[i]; ++n)
      bits[i + n] = std::min(bits[i + n], bits[i] + kMatchBits);
  }
  return bits[in.size()];
}

// Greedy and lazy parses over the naive longest matches.
uint64_t HeuristicBits(const std::vector<uint32_t>& longest, bool lazy) {
  uint64_t bits = 0;
  for (size_t i = 0; i < longest.size();) {
    uint32_t n = longest[i];
    if (n < kMinMatchLength || (lazy && i + 1 < longest.size() && longest[i + 1] > n)) n = 1;
    bits += n == 1 ? kLiteralBits : kMatchBits;
    i += n;
  }
  return bits;
}

// ---------------------------------------------------------------------------
// What a block really holds, read from its bytes.

struct BlockItems {
  bool stored;
  uint64_t literals, matches;
  uint64_t bits() const { return kLiteralBits * literals + kMatchBits * matches; }
};

BlockItems ReadItems(const Bytes& block) {
  BlockItems items = {BlockIsStored(BlockExpandedLength(block.data()), BlockLength(block.data())),
                      0, 0};
  if (items.stored) return items;
  size_t at = kBlockHeaderSize;
  uint32_t word = 0;
  int left = 0;
  while (at < block.size()) {
    if (!left) {
      word = block[at] | block[at + 1] << 8;
      at += 2;
      left = 16;
    }
    if (word & 1) {
      ++items.matches;
      at += 2;
    } else {
      ++items.literals;
      at += 1;
    }
    word >>= 1;
    --left;
  }
  return items;
}

struct Encoded {
  Bytes block;
  EncodeStats stats;
};

// Encodes and checks everything a block must satisfy: the header, the
// stored/coded decision, what the payload reader accepts, that the stats
// describe the block, and that both decoders give the input back.
Encoded EncodeChecked(const Bytes& in, ParseKind parse = kParseOptimal) {
  Encoded e;
  e.stats = EncodeStats();
  EXPECT_TRUE(EncodeBlock(in.data(), in.size(), parse, &e.block, &e.stats));
  const Bytes& b = e.block;
  EXPECT_GE(b.size(), kBlockHeaderSize);
  if (b.size() < kBlockHeaderSize) return e;
  EXPECT_EQ(memcmp(b.data(), "LZCX", 4), 0);
  EXPECT_EQ(BlockExpandedLength(b.data()), in.size());
  EXPECT_EQ(BlockLength(b.data()), b.size());
  EXPECT_EQ(ReadLe32(b.data() + 12), 0u);
  EXPECT_EQ(e.stats.item_bits, kLiteralBits * e.stats.literals + kMatchBits * e.stats.matches);
  EXPECT_EQ(e.stats.coded_body, CodedBodySize(e.stats.literals, e.stats.matches));
  const bool stored = BlockIsStored(static_cast<uint32_t>(in.size()), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(stored, e.stats.stored);
  if (stored) {
    EXPECT_GE(e.stats.coded_body, in.size()) << "stored though coding was smaller";
    EXPECT_TRUE(std::equal(in.begin(), in.end(), b.begin() + kBlockHeaderSize));
  } else {
    EXPECT_LT(b.size() - kBlockHeaderSize, in.size());
    EXPECT_EQ(b.size() - kBlockHeaderSize, e.stats.coded_body);
    BlockItems items = ReadItems(b);
    EXPECT_EQ(items.literals, e.stats.literals);
    EXPECT_EQ(items.matches, e.stats.matches);
    // The payload reader refuses coded blocks that claim more than this.
    EXPECT_LE(in.size() / 8, b.size() - kBlockHeaderSize);
  }
  for (bool fast : {true, false}) {
    Bytes out(in.size() + 1);
    BlockFault fault;
    uint32_t n = fast ? BlockDecoder(b.data(), static_cast<uint32_t>(b.size()), out.data(), &fault)
                      : BlockDecoderSimple(b.data(), static_cast<uint32_t>(b.size()), out.data(), &fault);
    EXPECT_EQ(fault, kBlockFine);
    EXPECT_EQ(n, in.size());
    out.resize(in.size());
    EXPECT_TRUE(out == in) << "does not round-trip";
  }
  return e;
}

// ---------------------------------------------------------------------------
// Inputs

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Random bytes over a small alphabet: many equal keys, deep trees.
Bytes SmallAlphabet(size_t size, int letters, uint32_t seed) {
  Bytes r = RandomBytes(size, seed);
  for (auto& b : r) b = static_cast<uint8_t>('a' + b % letters);
  return r;
}

// A random block repeated: the only matches are `period` back.
Bytes Periodic(size_t size, size_t period, uint32_t seed) {
  Bytes unit = RandomBytes(period, seed), out;
  while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(size);
  return out;
}

// Looks like code and tables: little-endian counters, zero padding, a few
// repeated instruction-like snippets.
Bytes BinaryLike(size_t size, uint32_t seed) {
  Bytes out, noise = RandomBytes(size, seed);
  uint32_t counter = 0x401000;
  size_t k = 0;
  while (out.size() < size) {
    switch (noise[k++ % noise.size()] % 4) {
      case 0: PutLe32(&out, counter += 4 + noise[k % noise.size()] % 9); break;
      case 1: out.insert(out.end(), 1 + noise[k % noise.size()] % 24, 0); break;
      case 2: {
        static const uint8_t kSnippet[] = {0x55, 0x89, 0xe5, 0x83, 0xec, 0x18, 0x8b, 0x45, 0x08};
        out.insert(out.end(), kSnippet, kSnippet + 3 + noise[k % noise.size()] % 6);
        break;
      }
      default: out.push_back(noise[(k * 7) % noise.size()]);
    }
  }
  out.resize(size);
  return out;
}

// A piece of a real executable: this test program itself.
Bytes RealExecutable(size_t offset, size_t size) {
  Bytes all;
  FILE* f = fopen("/proc/self/exe", "rb");
  if (!f) return TextLike(size, 99);
  uint8_t chunk[65536];
  size_t n;
  while (all.size() < offset + size && (n = fread(chunk, 1, sizeof chunk, f)) > 0)
    all.insert(all.end(), chunk, chunk + n);
  fclose(f);
  if (all.size() < offset + size) return TextLike(size, 99);
  return Bytes(all.begin() + offset, all.begin() + offset + size);
}

// ---------------------------------------------------------------------------

TEST(FindLongestMatches, EqualsTheSearchOverEveryDistance) {
  struct Case {
    const char* what;
    Bytes in;
  } cases[] = {
      {"empty", {}},
      {"one byte", {7}},
      {"short run", Bytes(17, 'x')},
      {"long run", Bytes(9000, 0)},
      {"text", TextLike(9000, 1)},
      {"random", RandomBytes(5000, 2)},
      {"two letters", SmallAlphabet(4000, 2, 3)},
      {"four letters", SmallAlphabet(5000, 4, 4)},
      {"period 4094", Periodic(8400, 4094, 5)},
      {"period 4095", Periodic(8400, 4095, 6)},
      {"period 4096", Periodic(8400, 4096, 7)},
      {"period 3", Periodic(5000, 3, 8)},
      {"binary-like", BinaryLike(5000, 9)},
      {"real executable", RealExecutable(4096, 5000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t n = c.in.size();
    std::vector<uint8_t> length(n + 1, 0xEE);
    std::vector<uint16_t> distance(n + 1, 0xEEEE);
    ASSERT_TRUE(FindLongestMatches(c.in.data(), n, length.data(), distance.data()));
    EXPECT_EQ(length[n], 0xEE);  // nothing written past the end
    const std::vector<uint32_t> naive = NaiveLengths(c.in);
    int wrong = 0;
    for (size_t p = 0; p < n && wrong < 5; ++p) {
      const uint32_t expect = naive[p];
      if (length[p] != expect) {
        ADD_FAILURE() << "position " << p << ": " << int(length[p]) << " instead of " << expect;
        ++wrong;
        continue;
      }
      if (!length[p]) continue;
      const size_t d = distance[p];
      ASSERT_GE(d, 1u);
      ASSERT_LE(d, std::min<size_t>(p, kMaxMatchDistance)) << "position " << p;
      for (size_t k = 0; k < length[p]; ++k)
        ASSERT_EQ(c.in[p + k], c.in[p + k - d]) << "position " << p << " distance " << d;
    }
  }
}

TEST(FindLongestMatches, ReportsProgressAndRefusesTooLargeInput) {
  struct Counter : EncodeProgress {
    void Report(uint64_t done, uint64_t total) override {
      EXPECT_GT(done, last);
      EXPECT_LE(done, total);
      last = done;
      ++calls;
    }
    uint64_t last = 0;
    int calls = 0;
  } counter;
  Bytes in(520 * 1024, 'z');
  std::vector<uint8_t> length(in.size());
  std::vector<uint16_t> distance(in.size());
  ASSERT_TRUE(FindLongestMatches(in.data(), in.size(), length.data(), distance.data(), &counter));
  EXPECT_EQ(counter.calls, 2);  // at 256 KB and 512 KB

  // Refused by size alone, before anything is read or allocated.
  Bytes block = {1, 2, 3};
  EXPECT_FALSE(EncodeBlock(in.data(), kMaxBlockInput + 1, kParseOptimal, &block));
  EXPECT_FALSE(FindLongestMatches(in.data(), kMaxBlockInput + 1, length.data(), distance.data()));
}

TEST(EncodeBlock, FewestBitsEqualsAnExhaustiveSearchOnSmallInputs) {
  std::vector<Bytes> inputs = {Str(""), Str("a"), Str("aaa"), Str("aaaa"),
                               Str("abcabcabcabcabcabcab"), Bytes(20, 'z'),
                               Str("abcdXabcdYabcdXabcd"), Str("aaaaaaaaaaaaaaaaaab")};
  for (uint32_t seed = 0; seed < 300; ++seed) {
    const size_t size = 4 + seed % 21;  // 4..24 bytes
    inputs.push_back(SmallAlphabet(size, 2 + seed % 3, seed));
  }
  int coded = 0;
  for (const Bytes& in : inputs) {
    SCOPED_TRACE(std::string(in.begin(), in.end()));
    Encoded e = EncodeChecked(in);
    const uint64_t fewest = ExhaustiveSearch(in).Bits();
    EXPECT_EQ(e.stats.item_bits, fewest);
    if (!e.stats.stored) {
      EXPECT_EQ(ReadItems(e.block).bits(), fewest);
      ++coded;
    }
  }
  EXPECT_GT(coded, 100);  // the block itself was checked often enough
}

TEST(EncodeBlock, FewestBitsEqualsAPlainDpOnLargerInputs) {
  struct Case {
    const char* what;
    Bytes in;
  } cases[] = {
      {"text", TextLike(6000, 11)},
      {"binary-like", BinaryLike(6000, 12)},
      {"real executable", RealExecutable(16384, 6000)},
      {"three letters", SmallAlphabet(6000, 3, 13)},
      {"period 4095 and a run", [] {
         Bytes b = Periodic(8500, 4095, 14);
         std::fill(b.begin() + 7000, b.begin() + 7200, 'r');
         return b;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint32_t> longest = NaiveLengths(c.in);
    Encoded optimal = EncodeChecked(c.in, kParseOptimal);
    Encoded lazy = EncodeChecked(c.in, kParseLazy);
    Encoded greedy = EncodeChecked(c.in, kParseGreedy);
    ASSERT_FALSE(optimal.stats.stored);
    EXPECT_EQ(ReadItems(optimal.block).bits(), ForwardDpBits(c.in, longest));
    EXPECT_EQ(ReadItems(lazy.block).bits(), HeuristicBits(longest, true));
    EXPECT_EQ(ReadItems(greedy.block).bits(), HeuristicBits(longest, false));
    EXPECT_LE(optimal.block.size(), lazy.block.size());
    EXPECT_LE(optimal.block.size(), greedy.block.size());
  }
}

TEST(EncodeBlock, RoundTripsVariedInputs) {
  const Bytes runs = [] {
    Bytes b;
    for (int i = 0; i < 300; ++i) b.insert(b.end(), 1 + i % 40, static_cast<uint8_t>(i));
    return b;
  }();
  struct Case {
    const char* what;
    Bytes in;
    bool stored;
  } cases[] = {
      {"empty", {}, true},
      {"one byte", {42}, true},
      {"two bytes", {42, 42}, true},
      {"long run", Bytes(100000, 0xFF), false},
      {"runs", runs, false},
      {"text", TextLike(70000, 21), false},
      {"random", RandomBytes(70000, 22), true},
      {"binary-like", BinaryLike(50000, 23), false},
      {"real executable", RealExecutable(0, 150000), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Encoded e = EncodeChecked(c.in);
    EXPECT_EQ(e.stats.stored, c.stored);
    if (c.what == std::string("long run")) {
      // A literal, then matches of 16 at distance 1: 2 bytes for 16.
      EXPECT_LT(e.block.size(), 100000u / 7);
    }
  }
}

TEST(EncodeBlock, ItemCountsEndingInAPartialGroupAndOnAGroupBoundary) {
  // The last control word governs fewer than 16 items, or exactly 16:
  // then no further control word follows.
  int partial = 0, whole = 0;
  for (size_t size = 600; size < 680; ++size) {
    Bytes in = TextLike(size, 31);
    Encoded e = EncodeChecked(in);
    ASSERT_FALSE(e.stats.stored);
    const uint64_t items = e.stats.literals + e.stats.matches;
    if (items % 16) ++partial; else ++whole;
    EXPECT_EQ(e.block.size() - kBlockHeaderSize,
              e.stats.literals + 2 * e.stats.matches + 2 * ((items + 15) / 16));
  }
  EXPECT_GT(partial, 0);
  EXPECT_GT(whole, 0);
}

TEST(EncodeBlock, StoresWhenCodingIsNotSmaller) {
  // 14 literals and one match of 4 in one group: a coded body of 2 + 14 +
  // 2 = 18 bytes, exactly the input's length. A coded block that long
  // would read as stored, so the block is stored.
  const Bytes corner = Str("WXYZabcdefghijWXYZ");
  Encoded e = EncodeChecked(corner);
  EXPECT_EQ(e.stats.coded_body, corner.size());
  EXPECT_EQ(e.stats.item_bits, 14 * kLiteralBits + kMatchBits);
  EXPECT_TRUE(e.stats.stored);
  EXPECT_EQ(e.block.size(), corner.size() + kBlockHeaderSize);

  // One byte more in the repeat: 19 coded bytes for 20.
  const Bytes coded = Str("VWXYZabcdefghijVWXYZ");
  e = EncodeChecked(coded);
  EXPECT_FALSE(e.stats.stored);
  EXPECT_EQ(e.block.size(), 19 + kBlockHeaderSize);

  // No match at all: the coded form would be longer than the input.
  e = EncodeChecked(RandomBytes(1000, 5));
  EXPECT_TRUE(e.stats.stored);
  EXPECT_GT(e.stats.coded_body, 1000u);
}

TEST(EncodeBlock, MatchesNeverReachBeyondTheirLimits) {
  // Every distance in every block between 1 and 4095, every length 3..16,
  // read from the blocks of inputs built around the window's edge.
  for (size_t period : {4094u, 4095u, 4096u, 4097u}) {
    SCOPED_TRACE(period);
    Bytes in = Periodic(3 * period + 100, period, static_cast<uint32_t>(period));
    Encoded e = EncodeChecked(in);
    if (period > kMaxMatchDistance) {
      EXPECT_TRUE(e.stats.stored);  // nothing repeats within reach
      continue;
    }
    ASSERT_FALSE(e.stats.stored);
    const Bytes& b = e.block;
    uint32_t word = 0, left = 0, max_distance = 0;
    for (size_t at = kBlockHeaderSize; at < b.size();) {
      if (!left) {
        word = b[at] | b[at + 1] << 8;
        at += 2;
        left = 16;
      }
      if (word & 1) {
        const uint32_t length = (b[at] & 15u) + 1, distance = (b[at] >> 4) << 8 | b[at + 1];
        EXPECT_GE(length, kMinMatchLength);
        EXPECT_GE(distance, 1u);
        EXPECT_LE(distance, kMaxMatchDistance);
        max_distance = std::max(max_distance, distance);
        at += 2;
      } else {
        ++at;
      }
      word >>= 1;
      --left;
    }
    EXPECT_EQ(max_distance, period);
  }
}

}  // namespace

namespace {

struct BytesInput : EncodeInput {
  const Bytes* bytes;
  size_t at = 0;
  int Read(uint8_t* out, size_t size) override {
    if (size > bytes->size() - at) return 0;
    if (size) memcpy(out, bytes->data() + at, size);
    at += size;
    return 1;
  }
  int Rewind() override { return at = 0, 1; }
};

struct BytesOutput : EncodeOutput {
  Bytes bytes;
  int Write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return 1;
  }
};

}  // namespace

// Pieces of a few KB, so that matches, groups and the parse's look ahead
// cross their edges: the streamed block is EncodeBlockInto's, byte for byte.
TEST(StreamEncoder, WritesTheBlockOfTheWholeFileEncoder) {
  const Bytes inputs[] = {{}, {7}, Bytes(10000, 0), TextLike(30011, 5), RandomBytes(9000, 6),
                          RealExecutable(0, 40000)};
  for (const Bytes& in : inputs)
    for (ParseKind parse : {kParseOptimal, kParseLazy, kParseGreedy})
      for (size_t chunk : {size_t{1}, size_t{4097}, size_t{10000}, kStreamChunk}) {
        SCOPED_TRACE(testing::Message() << in.size() << " bytes, parse " << parse << ", chunk " << chunk);
        std::vector<uint8_t> whole;
        ASSERT_TRUE(EncodeBlock(in.data(), in.size(), parse, &whole));
        BytesInput input;
        input.bytes = &in;
        MemoryItemStore items;
        ASSERT_TRUE(items.Reserve(ItemStoreSize(in.size())));
        StreamEncoder encoder(chunk);
        uint64_t planned = 0;
        ASSERT_TRUE(encoder.Plan(&input, in.size(), parse, &items, &planned, nullptr, nullptr));
        BytesOutput out;
        ASSERT_TRUE(encoder.Emit(&input, &out));
        EXPECT_EQ(planned, out.bytes.size());
        EXPECT_TRUE(out.bytes == whole);
      }
}
