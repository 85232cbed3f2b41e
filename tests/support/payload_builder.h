// Hand-made blocks and containers for the tests, the fuzzers and the
// benchmarks: exact control over every byte, including wrong ones.
#ifndef PATCHER_TESTS_SUPPORT_PAYLOAD_BUILDER_H
#define PATCHER_TESTS_SUPPORT_PAYLOAD_BUILDER_H

#include <stdint.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// One item of a coded body: a literal byte, or a match (any length 1..16
// and distance 0..4095 can be written, valid or not).
struct Item {
  static Item Literal(uint8_t byte) { return Item{false, byte, 0, 0}; }
  static Item Match(uint32_t length, uint32_t distance) {
    return Item{true, 0, length, distance};
  }
  bool match;
  uint8_t literal;
  uint32_t length;
  uint32_t distance;
};

// Control words and items; `spare_bits` sets the unused bits of the last
// control word (they must make no difference).
Bytes CodedBody(const std::vector<Item>& items, bool spare_bits = false);

// Header + body; block length is 16 + body size unless given.
Bytes MakeBlock(uint32_t expanded_length, const Bytes& body);
Bytes MakeBlockWithLength(uint32_t expanded_length, uint32_t block_length,
                          const Bytes& body);
Bytes StoredBlock(const Bytes& bytes);

// A quick greedy encoder (hash of three bytes, one candidate): valid blocks
// of realistic shape before, and independent of, the real packer.
Bytes GreedyBlock(const Bytes& bytes);

// Decodes a block with the program's decoder; empty on a fault.
Bytes Expand(const Bytes& block);

struct EntrySpec {
  std::string name;
  uint32_t compressed;
  Bytes data;  // a block when compressed, else the file's bytes
};
Bytes MakeContainer(const std::vector<EntrySpec>& entries);
// The same with an explicit count (which may disagree with the entries).
Bytes MakeContainerWithCount(int32_t count, const std::vector<EntrySpec>& entries);

// The container with a checksum trailer, as lzcx pack makes it: every
// block marked, every record's CRC after the last entry. The container
// must read cleanly.
Bytes Sealed(const Bytes& container);

// Deterministic test data.
Bytes RandomBytes(size_t size, uint32_t seed);
Bytes TextLike(size_t size, uint32_t seed);

void PutLe32(Bytes* out, uint32_t value);

// A journal of an interrupted patch: `phase` and steps that each turn
// temporary `temp` into `name` (holding `new_bytes`), the old file (when
// `old_bytes` is given) having gone to backup `backup`; in the journal
// format `format`.
struct InterruptedStep {
  uint32_t temp;
  uint32_t backup;  // ignored without old bytes
  std::string name;
  Bytes new_bytes;
  const Bytes* old_bytes;
};
Bytes MakeJournal(int phase, const std::vector<InterruptedStep>& steps, int format = 4);

#endif  // PATCHER_TESTS_SUPPORT_PAYLOAD_BUILDER_H
