// Structured fuzzer: the input becomes a sequence of valid literal and
// match items, which is encoded, then decoded into a buffer of exactly the
// right size and into one a few bytes short. Finds margin and overrun bugs
// in the fast decoder quickly; the byte loop and a naive expansion of the
// items are the references.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "payload/block_decoder.h"
#include "support/payload_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: how many bytes short the second decode's buffer is.
  const uint32_t short_by = 1 + data[0] % 8;
  std::vector<Item> items;
  Bytes expected;
  for (size_t i = 1; i < size;) {
    const uint8_t op = data[i++];
    if (!(op & 0x80) || expected.empty() || i >= size) {
      // Literal: the op byte itself, so runs of equal bytes are easy to make.
      items.push_back(Item::Literal(op));
      expected.push_back(op);
      continue;
    }
    uint32_t length = 1 + (op & 15);
    uint32_t reach = expected.size() < kMaxMatchDistance ? expected.size() : kMaxMatchDistance;
    uint32_t distance = 1 + ((static_cast<uint32_t>(op >> 4 & 7) << 8 | data[i++]) % reach);
    items.push_back(Item::Match(length, distance));
    for (uint32_t k = 0; k < length; ++k) expected.push_back(expected[expected.size() - distance]);
  }
  Bytes body = CodedBody(items, (size & 1) != 0);
  const uint32_t n = static_cast<uint32_t>(expected.size());
  if (body.size() == n) return 0;  // that block would read as stored
  Bytes block = MakeBlock(n, body);

  std::vector<uint8_t> out(n ? n : 1);
  BlockFault fault;
  if (BlockDecoder(block.data(), static_cast<uint32_t>(block.size()), out.data(), &fault) != n ||
      fault != kBlockFine || memcmp(out.data(), expected.data(), n) != 0)
    __builtin_trap();
  if (BlockDecoderSimple(block.data(), static_cast<uint32_t>(block.size()), out.data()) != n)
    __builtin_trap();

  if (n >= short_by) {
    // Claim fewer bytes; the buffer is exactly that size, so ASan catches a
    // single byte written past it.
    const uint32_t claimed = n - short_by;
    block[4] = static_cast<uint8_t>(claimed);
    block[5] = static_cast<uint8_t>(claimed >> 8);
    block[6] = static_cast<uint8_t>(claimed >> 16);
    block[7] = static_cast<uint8_t>(claimed >> 24);
    if (BlockIsStored(claimed, BlockLength(block.data()))) return 0;
    std::vector<uint8_t> small(claimed ? claimed : 1);
    uint32_t got = BlockDecoder(block.data(), static_cast<uint32_t>(block.size()), small.data(), &fault);
    if (got == claimed || fault != kBlockOverflow) __builtin_trap();
  }
  return 0;
}
