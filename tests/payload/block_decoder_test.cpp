#include "payload/block_decoder.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "payload/crc32c.h"
#include "support/payload_builder.h"

namespace {

const uint8_t kCanary = 0xA5;

struct Decoded {
  uint32_t count;
  BlockFault fault;
  Bytes output;    // exactly the expanded length
  bool canary_ok;  // the byte after the output was left alone
};

// Decodes into a buffer of exactly the expanded length with a canary byte
// behind it, with the fast decoder or the byte loop.
Decoded DecodeBlock(const Bytes& block, bool fast = true, uint32_t available = UINT32_MAX) {
  if (available == UINT32_MAX) available = static_cast<uint32_t>(block.size());
  const uint32_t expanded = BlockExpandedLength(block.data());
  Bytes out(expanded + 1, 0);
  out[expanded] = kCanary;
  Decoded d;
  d.count = fast ? BlockDecoder(block.data(), available, out.data(), &d.fault)
                 : BlockDecoderSimple(block.data(), available, out.data(), &d.fault);
  d.canary_ok = out[expanded] == kCanary;
  out.resize(expanded);
  d.output = out;
  return d;
}

Bytes Str(const char* s) { return Bytes(s, s + strlen(s)); }

// Both decoders, same verdict.
void ExpectDecodes(const Bytes& block, const Bytes& expected) {
  for (bool fast : {true, false}) {
    Decoded d = DecodeBlock(block, fast);
    EXPECT_EQ(d.fault, kBlockFine) << (fast ? "fast" : "simple");
    EXPECT_EQ(d.count, expected.size());
    EXPECT_EQ(d.output, expected);
    EXPECT_TRUE(d.canary_ok);
  }
}

void ExpectFault(const Bytes& block, BlockFault fault) {
  const uint32_t expanded = BlockExpandedLength(block.data());
  for (bool fast : {true, false}) {
    Decoded d = DecodeBlock(block, fast);
    EXPECT_EQ(d.fault, fault) << (fast ? "fast" : "simple");
    EXPECT_NE(d.count, expanded);
    EXPECT_TRUE(d.canary_ok);
  }
}

TEST(BlockDecoder, WorkedExample) {
  // Control word 0x8200: items 0-8 literals, item 9 the match 02 04
  // (length 3, distance 4); bit 15 is a spare bit of the last group.
  Bytes body = {0x00, 0x82, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0x02, 0x04};
  ExpectDecodes(MakeBlock(12, body), Str("abcdefghifgh"));
  std::vector<Item> items;
  for (char c : std::string("abcdefghi")) items.push_back(Item::Literal(c));
  items.push_back(Item::Match(3, 4));
  body[1] = 0x02;
  EXPECT_EQ(CodedBody(items), body);
}

TEST(BlockDecoder, StoredBlocksAreCopiedVerbatim) {
  Bytes data = RandomBytes(1000, 1);
  ExpectDecodes(StoredBlock(data), data);
  // Stored is decided by the lengths alone, whatever the bytes look like.
  Bytes looks_coded = {0xff, 0xff, 0x00, 0x01};
  ExpectDecodes(StoredBlock(looks_coded), looks_coded);
}

TEST(BlockDecoder, EmptyStoredBlockReturnsZero) {
  Decoded d = DecodeBlock(MakeBlock(0, {}));
  EXPECT_EQ(d.count, 0u);
  EXPECT_EQ(d.fault, kBlockFine);
}

TEST(BlockDecoder, EmptyCodedBodyFallsShort) {
  Decoded d = DecodeBlock(MakeBlockWithLength(5, 16, {}));
  EXPECT_EQ(d.count, 0u);
  EXPECT_EQ(d.fault, kBlockLengthDiffers);
}

TEST(BlockDecoder, OverlappingMatchesRepeatTheirSource) {
  ExpectDecodes(MakeBlock(17, CodedBody({Item::Literal('x'), Item::Match(16, 1)})),
                Bytes(17, 'x'));
  ExpectDecodes(MakeBlock(19, CodedBody({Item::Literal('a'), Item::Literal('b'),
                                         Item::Literal('c'), Item::Match(16, 3)})),
                Str("abcabcabcabcabcabca"));
  // Distances between 8 and 15 take another path in the fast decoder.
  Bytes ten = Str("0123456789");
  std::vector<Item> items;
  for (uint8_t c : ten) items.push_back(Item::Literal(c));
  items.push_back(Item::Match(16, 10));
  ExpectDecodes(MakeBlock(26, CodedBody(items)), Str("01234567890123456789012345"));
}

TEST(BlockDecoder, LengthsOneAndTwoDecodeLikeAnyOther) {
  ExpectDecodes(MakeBlock(5, CodedBody({Item::Literal('a'), Item::Literal('b'),
                                        Item::Match(1, 2), Item::Match(2, 2)})),
                Str("ababa"));
}

TEST(BlockDecoder, LongestDistance) {
  Bytes data = RandomBytes(4095, 7);
  std::vector<Item> items;
  for (uint8_t c : data) items.push_back(Item::Literal(c));
  items.push_back(Item::Match(16, 4095));
  Bytes expected = data;
  expected.insert(expected.end(), data.begin(), data.begin() + 16);
  ExpectDecodes(MakeBlock(4111, CodedBody(items)), expected);
  // One further back reaches before the output.
  items.back() = Item::Match(16, 4095);
  items.erase(items.begin());
  ExpectFault(MakeBlock(4110, CodedBody(items)), kBlockBadDistance);
}

TEST(BlockDecoder, SpareControlBitsHaveNoEffect) {
  std::vector<Item> items = {Item::Literal('q'), Item::Literal('r'), Item::Match(6, 2)};
  ExpectDecodes(MakeBlock(8, CodedBody(items, false)), Str("qrqrqrqr"));
  ExpectDecodes(MakeBlock(8, CodedBody(items, true)), Str("qrqrqrqr"));
}

TEST(BlockDecoder, MagicAndReservedAreNotRead) {
  Bytes block = MakeBlock(8, CodedBody({Item::Literal('q'), Item::Literal('r'), Item::Match(6, 2)}));
  for (int i : {0, 1, 2, 3, 12, 13, 14, 15}) block[i] = 0xEE;
  ExpectDecodes(block, Str("qrqrqrqr"));
}

TEST(BlockDecoder, ReportsEveryFault) {
  // Distance 0, and a distance beyond what has been produced.
  ExpectFault(MakeBlock(3, CodedBody({Item::Literal('a'), Item::Match(2, 0)})), kBlockBadDistance);
  ExpectFault(MakeBlock(3, CodedBody({Item::Literal('a'), Item::Match(2, 2)})), kBlockBadDistance);
  ExpectFault(MakeBlock(3, CodedBody({Item::Match(3, 1)})), kBlockBadDistance);
  // A match cut off by the block's end; a control word with no item; half
  // a control word.
  Bytes body = CodedBody({Item::Literal('a'), Item::Match(2, 1)});
  body.pop_back();
  ExpectFault(MakeBlock(3, body), kBlockCutShort);
  body = CodedBody(std::vector<Item>(16, Item::Literal('z')));
  Bytes with_word = body;
  with_word.push_back(0);
  with_word.push_back(0);
  ExpectFault(MakeBlock(16, with_word), kBlockCutShort);
  body.push_back(0);
  ExpectFault(MakeBlock(16, body), kBlockCutShort);
  // More output than promised, by a literal and by a match.
  ExpectFault(MakeBlock(2, CodedBody({Item::Literal('a'), Item::Literal('b'), Item::Literal('c')})),
              kBlockOverflow);
  ExpectFault(MakeBlock(3, CodedBody({Item::Literal('a'), Item::Match(3, 1)})), kBlockOverflow);
  // Fewer.
  ExpectFault(MakeBlock(9, CodedBody({Item::Literal('a'), Item::Match(3, 1)})), kBlockLengthDiffers);
}

TEST(BlockDecoder, BlockLengthMustFitTheEntry) {
  Bytes block = MakeBlock(8, CodedBody({Item::Literal('q'), Item::Literal('r'), Item::Match(6, 2)}));
  for (bool fast : {true, false}) {
    EXPECT_EQ(DecodeBlock(block, fast, static_cast<uint32_t>(block.size()) - 1).fault, kBlockBadLength);
    EXPECT_EQ(DecodeBlock(MakeBlockWithLength(6, 15, {}), fast).fault, kBlockBadLength);
  }
  // A block that ends before the entry does decodes up to its own length.
  Bytes longer = block;
  longer.push_back(0xFF);
  EXPECT_EQ(DecodeBlock(longer, true, static_cast<uint32_t>(longer.size())).output, Str("qrqrqrqr"));
}

// Valid blocks of realistic shape, decoded into a buffer one byte short:
// the fast decoder must stop at the end of its margins exactly.
TEST(BlockDecoder, OutputOneByteShortFailsWithCanaryIntact) {
  for (uint32_t seed = 0; seed < 40; ++seed) {
    Bytes data = seed % 2 ? TextLike(3000 + seed * 37, seed) : RandomBytes(700 + seed, seed);
    if (seed % 5 == 0) data.insert(data.end(), 300, 'r');  // ends in a run
    Bytes block = GreedyBlock(data);
    ASSERT_FALSE(BlockIsStored(BlockExpandedLength(block.data()), BlockLength(block.data())));
    ExpectDecodes(block, data);
    // Claim one byte less: only the header changes.
    Bytes shorter = block;
    shorter[4] = static_cast<uint8_t>(data.size() - 1);
    shorter[5] = static_cast<uint8_t>((data.size() - 1) >> 8);
    ExpectFault(shorter, kBlockOverflow);
  }
}

// The fast decoder against the byte loop on damaged blocks: the same count,
// the same fault and the same bytes, whatever the damage.
TEST(BlockDecoder, FastAndSimpleAgreeOnDamagedBlocks) {
  uint32_t state = 12345;
  for (int round = 0; round < 400; ++round) {
    Bytes data = TextLike(200 + round * 13, round);
    Bytes block = GreedyBlock(data);
    for (int flips = 0; flips < 1 + round % 4; ++flips) {
      state = state * 1103515245u + 12345u;
      size_t at = 16 + (state >> 8) % (block.size() - 16);
      block[at] ^= static_cast<uint8_t>(1u << ((state >> 4) % 8));
    }
    Decoded fast = DecodeBlock(block, true);
    Decoded simple = DecodeBlock(block, false);
    ASSERT_EQ(fast.count, simple.count) << round;
    ASSERT_EQ(fast.fault, simple.fault) << round;
    ASSERT_TRUE(fast.canary_ok && simple.canary_ok);
    if (fast.fault == kBlockFine) {
      ASSERT_EQ(fast.output, simple.output);
    }
  }
}

// What a streaming decode hands on, gathered; refused after `limit` bytes.
class Gathered : public ByteSink {
 public:
  explicit Gathered(size_t limit = SIZE_MAX) : limit_(limit) {}
  Bytes bytes;

 protected:
  int Put(const uint8_t* data, uint32_t size) override {
    if (bytes.size() + size > limit_) return 0;
    bytes.insert(bytes.end(), data, data + size);
    return 1;
  }

 private:
  size_t limit_;
};

// The streaming decode through buffers far smaller than the output, so
// that the history moves again and again, and the block pushed in pieces
// of every size: the same bytes, fault and CRC-32C as the whole decode,
// damaged or not; a sink that refuses stops it.
TEST(BlockDecoder, StreamsAsTheWholeDecodeThroughSmallBuffers) {
  uint32_t state = 777;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const Bytes data = round % 3 == 2 ? RandomBytes(9000 + round, round)
                                      : TextLike(20000 + round * 997, round);
    Bytes block = round % 10 == 9 ? StoredBlock(data) : GreedyBlock(data);
    for (int flips = 0; round % 2 && flips < 1 + round % 3; ++flips) {
      state = state * 1103515245u + 12345u;
      block[16 + (state >> 8) % (block.size() - 16)] ^= static_cast<uint8_t>(1u << (state >> 4) % 8);
    }
    const Decoded whole = DecodeBlock(block);
    const uint32_t size = kBlockHistory + kMaxMatchLength + (round * 131) % 600;
    Bytes buffer(size);  // exactly sized, so ASan sees a stray write
    Gathered out;
    const BlockFault fault =
        StreamBlock(block.data(), static_cast<uint32_t>(block.size()), buffer.data(), size, &out);
    ASSERT_EQ(fault, whole.fault);
    ASSERT_LE(out.bytes.size(), whole.output.size());
    ASSERT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), whole.output.begin()));
    if (fault == kBlockFine) {
      ASSERT_EQ(out.bytes.size(), whole.output.size());
      ASSERT_EQ(out.crc, Crc32c(0, whole.output.data(), whole.output.size()));
    }
    Gathered pushed;
    BlockPusher pusher(static_cast<uint32_t>(block.size()), &pushed);
    for (size_t at = 0, n = 0; at < block.size(); at += n) {
      n = std::min(block.size() - at, static_cast<size_t>(1 + (at * 7 + round) % (round % 2 ? 97 : 70000)));
      pusher.Push(block.data() + at, n);
    }
    ASSERT_EQ(pusher.Finish(), whole.fault);
    if (fault == kBlockFine) {
      ASSERT_EQ(pushed.bytes, whole.output);
    }
    Gathered refusing(whole.output.size() / 2);
    if (fault == kBlockFine && !data.empty()) {
      EXPECT_EQ(StreamBlock(block.data(), static_cast<uint32_t>(block.size()), buffer.data(), size,
                            &refusing),
                kBlockStopped);
    }
  }
}

}  // namespace
