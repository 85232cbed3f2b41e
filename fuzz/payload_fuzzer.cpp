// Must-not-crash fuzzer: raw bytes as a payload container (walk, verify,
// and now and then a real apply into a scratch directory) and as a single
// block, decoded by both decoders, which must agree.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "support/scratch.h"

namespace {

void DecodeAsBlock(const uint8_t* data, size_t size) {
  if (size < kBlockHeaderSize || size > 1 << 20) return;
  const uint32_t expanded = BlockExpandedLength(data);
  if (expanded > 1 << 22) return;
  // Exactly sized copies, so ASan sees any byte read or written outside.
  std::vector<uint8_t> block(data, data + size);
  std::vector<uint8_t> fast(expanded ? expanded : 1), simple(expanded ? expanded : 1);
  BlockFault fast_fault, simple_fault;
  const uint32_t available = static_cast<uint32_t>(size);
  uint32_t a = BlockDecoder(block.data(), available, fast.data(), &fast_fault);
  uint32_t b = BlockDecoderSimple(block.data(), available, simple.data(), &simple_fault);
  if (a != b || fast_fault != simple_fault) __builtin_trap();
  if ((fast_fault == kBlockFine) != (a == expanded)) __builtin_trap();
  if (fast_fault == kBlockFine && memcmp(fast.data(), simple.data(), expanded) != 0)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecodeAsBlock(data, size);

  std::vector<uint8_t> payload(data, data + size);
  PayloadReader reader(payload.data(), payload.size());
  if (reader.Start()) {
    PayloadEntry e;
    while (reader.Next(&e)) {
      if (e.data < payload.data() || e.data + e.size > payload.data() + payload.size())
        __builtin_trap();
    }
  }
  uint64_t total = 0;
  if (VerifyPayload(payload.data(), payload.size(), "", nullptr, 0, &total) &&
      total < (1 << 22) && (size % 8) == 0) {
    // A payload that verifies must apply, and write exactly its files.
    ScratchDir dir;
    FileOps ops;
    if (!ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops))
      __builtin_trap();
  }
  return 0;
}
