// The pack command in-process, with encoders that break their blocks: the
// round-trip check must refuse them and write nothing.
#include "lzcx/pack.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/block_decoder.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

int FlipsTheLastByte(const uint8_t* data, size_t size, ParseKind parse, uint8_t* work,
                     size_t work_size, size_t* block_size, EncodeStats* stats,
                     EncodeProgress* progress) {
  if (!EncodeBlockInto(data, size, parse, work, work_size, block_size, stats, progress)) return 0;
  work[*block_size - 1] ^= 0x01;
  return 1;
}

// Coded, but exactly as long as the input plus the header: the decoder
// takes it for stored.
int CodedAtTheStoredLength(const uint8_t* data, size_t size, ParseKind, uint8_t* work, size_t,
                           size_t* block_size, EncodeStats*, EncodeProgress*) {
  std::vector<Item> items;
  for (size_t i = 0; i < size; ++i) items.push_back(Item::Literal(data[i]));
  Bytes body = CodedBody(items);
  body.resize(size);
  const Bytes block = MakeBlock(static_cast<uint32_t>(size), body);
  memcpy(work, block.data(), block.size());
  *block_size = block.size();
  return 1;
}

int ClaimsOneByteMore(const uint8_t* data, size_t size, ParseKind parse, uint8_t* work,
                      size_t work_size, size_t* block_size, EncodeStats* stats,
                      EncodeProgress* progress) {
  if (!EncodeBlockInto(data, size, parse, work, work_size, block_size, stats, progress)) return 0;
  work[4] += 1;
  return 1;
}

int RunsOutOfMemory(const uint8_t*, size_t, ParseKind, uint8_t*, size_t, size_t*, EncodeStats*,
                    EncodeProgress*) {
  return 0;
}

TEST(PackCommand, RefusesBlocksThatDoNotDecodeBackAndWritesNothing) {
  ScratchDir dir;
  const std::string text = dir.Join("text.txt"), payload = dir.Join("payload.bin");
  ASSERT_TRUE(WriteFileBytes(text, TextLike(20000, 1)));
  std::vector<std::string> args = {"pack", "--quiet", "-o", payload, text};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  const int argc = static_cast<int>(argv.size());

  for (BlockEncoderFunction broken :
       {FlipsTheLastByte, CodedAtTheStoredLength, ClaimsOneByteMore, RunsOutOfMemory}) {
    EXPECT_EQ(PackCommand(argc, argv.data(), broken), 1);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"text.txt"});
  }
  EXPECT_EQ(PackCommand(argc, argv.data()), 0);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"payload.bin", "text.txt"}));
}

}  // namespace
