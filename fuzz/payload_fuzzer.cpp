// Raw bytes as a payload container (walk, verify, and every payload that
// verifies applied into an empty scratch directory, which must then hold
// exactly its files) and as a single block, decoded by both decoders,
// which must agree.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "platform/platform.h"
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
  // Streamed through the smallest buffer there may be: the same verdict
  // and bytes.
  struct Compared : ByteSink {
    const uint8_t* expected;
    uint32_t left;
    int Put(const uint8_t* data, uint32_t n) override {
      if (n > left || memcmp(data, expected, n) != 0) __builtin_trap();
      expected += n;
      left -= n;
      return 1;
    }
  } compared;
  compared.expected = simple.data();
  compared.left = expanded;
  std::vector<uint8_t> buffer(kBlockHistory + kMaxMatchLength);
  const BlockFault streamed = StreamBlock(block.data(), available, buffer.data(),
                                          static_cast<uint32_t>(buffer.size()), &compared);
  if (streamed != simple_fault || (streamed == kBlockFine && compared.left)) __builtin_trap();
}

struct ExpectedFile {
  std::string name;
  bool delta;
  std::vector<uint8_t> bytes;
};

// The bases of a payload that verifies: 1 without a bases entry.
int BaseCount(const std::vector<uint8_t>& payload) {
  PayloadReader reader(payload.data(), payload.size());
  PayloadEntry e;
  if (!reader.Start() || !reader.Next(&e)) __builtin_trap();
  return e.names_bases ? reader.bases() : 1;
}

// What a payload that verifies writes into an empty directory with base
// `base`, found without the applier: of the entries for it, the last of
// each name, its bytes as stored or by the plain decoder. A delta entry
// has no old file there.
std::vector<ExpectedFile> ExpectedFiles(const std::vector<uint8_t>& payload, int base) {
  std::vector<PayloadEntry> last;
  PayloadReader reader(payload.data(), payload.size());
  PayloadEntry e;
  if (!reader.Start()) __builtin_trap();
  while (reader.Next(&e)) {
    if (e.names_bases || (e.bases && !(e.bases >> base & 1))) continue;
    for (size_t i = 0; i < last.size(); ++i) {
      if (platform::SameFileName(last[i].name, e.name)) {
        last.erase(last.begin() + i);
        break;
      }
    }
    last.push_back(e);
  }
  if (!reader.done()) __builtin_trap();
  std::vector<ExpectedFile> files;
  for (const PayloadEntry& entry : last) {
    ExpectedFile f = {entry.name, IsDelta(entry), {}};
    if (!entry.compressed) {
      f.bytes.assign(entry.data, entry.data + entry.size);
    } else if (!f.delta) {
      std::vector<uint8_t> out(entry.expanded_length ? entry.expanded_length : 1);
      if (BlockDecoderSimple(entry.data, entry.size, out.data()) != entry.expanded_length)
        __builtin_trap();
      f.bytes.assign(out.begin(), out.begin() + entry.expanded_length);
    }
    files.push_back(f);
  }
  return files;
}

// Applies a payload that verified into an empty directory: it must write
// exactly the expected files of the first base without a delta entry
// among them, or, when every base has one, nothing at all and say that an
// old file is missing.
void ApplyAndCompare(const std::vector<uint8_t>& payload) {
  std::vector<ExpectedFile> files;
  bool delta = true;
  for (int base = 0; delta && base < BaseCount(payload); ++base) {
    files = ExpectedFiles(payload, base);
    delta = false;
    for (const ExpectedFile& f : files) delta |= f.delta;
  }
  ScratchDir dir(SweepParent());
  FileOps ops;
  ApplyStatus status;
  const int applied =
      ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, nullptr, 0, &status);
  const std::vector<std::string> names = dir.Names();
  if (delta) {
    if (applied || status != kApplyOldFileMismatch || !names.empty()) __builtin_trap();
    return;
  }
  if (!applied || names.size() != files.size()) __builtin_trap();
  for (const ExpectedFile& f : files) {
    std::vector<uint8_t> written;
    if (!ReadFileBytes(dir.Join(f.name), &written) || written != f.bytes) __builtin_trap();
  }
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
      total < (1 << 22))
    ApplyAndCompare(payload);
  return 0;
}
