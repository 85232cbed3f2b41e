// The x86 branch transform: X86Absolute then X86Restore, fed in pieces of
// every awkward size, gives the file back, whatever its bytes and ranges;
// conversion happens in the ranges, and only there.
#include "payload/x86.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "payload/byte_order.h"
#include "support/payload_builder.h"

namespace {

Bytes Restored(const Bytes& converted, const std::vector<CodeRange>& ranges, size_t piece) {
  Bytes out(converted.size());
  SinkToMemory sink(out.data(), static_cast<uint32_t>(out.size()));
  X86Restore restore(&sink, ranges.data(), static_cast<int>(ranges.size()));
  for (size_t at = 0; at < converted.size(); at += piece) {
    const size_t n = std::min(piece, converted.size() - at);
    EXPECT_TRUE(restore.Take(converted.data() + at, static_cast<uint32_t>(n)));
  }
  EXPECT_TRUE(restore.Finish());
  return out;
}

// Bytes thick with opcodes (and what looks like them) and operands of 00
// and FF tops.
Bytes BranchDense(size_t size, uint32_t seed) {
  const Bytes noise = RandomBytes(size, seed);
  static const uint8_t kPicks[] = {0xE8, 0xE9, 0x0F, 0x80, 0x85, 0x8F, 0x00, 0xFF, 0xFF, 0x00,
                                   0xFF, 0x15, 0x25, 0x48, 0x4C, 0x8B, 0x8D, 0x05, 0x0D, 0x3D};
  Bytes b(size);
  for (size_t i = 0; i < size; ++i)
    b[i] = noise[i] < 200 ? kPicks[noise[i] % sizeof kPicks] : noise[i];
  return b;
}

// Code-like bytes: calls, and x64 loads and calls through pointers, to a
// few thousand nearby targets, between runs of other bytes.
Bytes CodeLike(size_t size, uint32_t seed) {
  static const Bytes kOpcodes[] = {{0xE8}, {0xFF, 0x15}, {0x48, 0x8B, 0x05}, {0x4C, 0x8D, 0x0D}};
  const Bytes r = RandomBytes(size * 2, seed);
  Bytes b;
  for (size_t k = 0; b.size() < size; k += 4) {
    const Bytes& op = kOpcodes[r[k] % 4];
    b.insert(b.end(), op.begin(), op.end());
    const int32_t target = (r[k + 1] | r[k + 2] << 8) * 16;
    b.resize(b.size() + 4);
    WriteLe32(&b[b.size() - 4], static_cast<uint32_t>(target - static_cast<int32_t>(b.size())));
    b.insert(b.end(), r.begin() + k, r.begin() + k + r[k + 3] % 12);
  }
  b.resize(size);
  return b;
}

// Whether offset i lies in a range.
bool Inside(const std::vector<CodeRange>& ranges, size_t i) {
  for (const CodeRange& r : ranges)
    if (i >= r.start && i - r.start < r.length) return true;
  return false;
}

TEST(X86, RoundTripInPiecesGivesTheFileBackAndTouchesOnlyTheRanges) {
  const uint32_t n = 20000;
  struct Case {
    const char* what;
    Bytes file;
    std::vector<CodeRange> ranges;
    bool converts;  // some bytes change
  } cases[] = {
      {"random bytes, one range", RandomBytes(n, 1), {{0, n, 0x1000}}, true},
      {"dense, x64 and x86 ranges",
       BranchDense(n, 8),
       {{0, 9000, 0x1000 | kCodeRangeX64}, {9000, 3, 0}, {9003, n - 9003, kCodeRangeX64}},
       true},
      {"dense, adjacent ranges at both ends",
       BranchDense(n, 2),
       {{0, 7, 0x400000}, {7, 5000, 0}, {5007, 9000, 0xFFFFF000}, {n - 6, 6, 0x10}},
       true},
      {"code between data", CodeLike(n, 3), {{1000, 15000, 0x1000}}, true},
      {"x64 code between data", CodeLike(n, 9), {{1000, 15000, 0x1000 | kCodeRangeX64}}, true},
      {"dense, ranges running past the end",
       BranchDense(n, 4),
       {{300, 100, 0x2000}, {n - 1000, 5000, 0x3000}},
       true},
      {"dense, ranges out of order and overlapping",
       BranchDense(n, 5),
       {{5000, 3000, 0x5000}, {100, 4000, 0x100}, {7000, 500, 0x7000}},
       true},
      {"ranges wrapping and too short", BranchDense(n, 6), {{500, 0xFFFFFF00, 0}, {900, 4, 0}},
       false},
      {"no ranges", BranchDense(n, 7), {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes converted = c.file;
    X86Absolute(converted.data(), n, c.ranges.data(), static_cast<int>(c.ranges.size()));
    EXPECT_EQ(converted != c.file, c.converts);
    for (size_t i = 0; i < n; ++i) {
      if (Inside(c.ranges, i)) continue;
      ASSERT_EQ(converted[i], c.file[i]) << i;
    }
    for (size_t piece : {1, 2, 3, 5, 4096, 1 << 20}) {
      SCOPED_TRACE(piece);
      EXPECT_TRUE(Restored(converted, c.ranges, piece) == c.file);
    }
  }
}

// What one instruction becomes: its operand, given as rel32 (or a RIP
// displacement), made absolute (sign-extended from bit 24) or left.
TEST(X86, EachInstructionIsConvertedByTheRule) {
  const uint32_t kAddress = 0x401000, kStart = 16, kLength = 64;
  struct Case {
    const char* what;
    std::vector<uint8_t> opcode;
    uint32_t at;  // offset of the instruction
    uint32_t rel;
    bool converts;
    bool x64 = false;
  } cases[] = {
      {"call", {0xE8}, 16, 0x123, true},
      {"jmp: left", {0xE9}, 20, 0xFFFFFF00, false},
      {"jcc: left", {0x0F, 0x84}, 30, 0x40, false},
      {"past 16 MB once absolute: sign-extended", {0xE8}, 16, 0x00FFFFF0, true},
      {"far: top byte 12", {0xE8}, 16, 0x12000000, false},
      {"starts before the range", {0xE8}, 15, 0x40, false},
      {"ends past the range", {0xE8}, kStart + kLength - 4, 0x40, false},
      {"ends at the range's end", {0xE8}, kStart + kLength - 5, 0x40, true},
      {"x64: jump through a pointer", {0xFF, 0x25}, 16, 0xFFFF0000, true, true},
      {"x64: mov rax, [rip+d]", {0x48, 0x8B, 0x05}, 16, 0x300, true, true},
      {"x64: lea r9, [rip+d]", {0x4C, 0x8D, 0x0D}, 16, 0x300, true, true},
      {"x64: ends at the range's end", {0x48, 0x8D, 0x3D}, kStart + kLength - 7, 0x300, true, true},
      {"x64: ends past the range", {0x48, 0x8D, 0x3D}, kStart + kLength - 6, 0x300, false, true},
      {"x64: mov eax, [rip+d] (no REX.W)", {0x8B, 0x05}, 16, 0x300, false, true},
      {"x64: mov rax, [rax+d32]", {0x48, 0x8B, 0x80}, 16, 0x300, false, true},
      {"x64: mov [rip+d], rax", {0x48, 0x89, 0x05}, 16, 0x300, false, true},
      {"x86: call through a pointer, absolute", {0xFF, 0x15}, 16, 0x2000, false},
      {"x86: mov eax, [abs] after dec eax", {0x48, 0x8B, 0x05}, 16, 0x300, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file(128, 0x90);
    memcpy(&file[c.at], c.opcode.data(), c.opcode.size());
    const uint32_t operand = c.at + static_cast<uint32_t>(c.opcode.size());
    WriteLe32(&file[operand], c.rel);
    const CodeRange range = {kStart, kLength, kAddress | (c.x64 ? kCodeRangeX64 : 0)};
    Bytes converted = file;
    X86Absolute(converted.data(), 128, &range, 1);
    const uint32_t next = kAddress + (operand + 4 - kStart);
    uint32_t expected = c.rel;
    if (c.converts) {
      expected = (c.rel + next) & 0x1FFFFFF;
      if (expected & 0x1000000) expected |= 0xFE000000;
    }
    EXPECT_EQ(ReadLe32(&converted[operand]), expected);
    converted[operand] = file[operand];
    converted[operand + 1] = file[operand + 1];
    converted[operand + 2] = file[operand + 2];
    converted[operand + 3] = file[operand + 3];
    EXPECT_TRUE(converted == file);
  }
}

}  // namespace
