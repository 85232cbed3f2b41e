// The ELF reader: the code ranges of sound, odd and damaged files, made by
// hand (support/elf_builder.h); and a real program's code through the transform and back.
#include "payload/elf.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <vector>

#include "payload/byte_order.h"
#include "payload/pe.h"
#include "support/code_ranges.h"
#include "support/elf_builder.h"

namespace {

TEST(Elf, CodeRangesOfSoundOddAndDamagedFiles) {
  const uint32_t x64 = kCodeRangeX64;
  struct Case {
    const char* what;
    bool wide;
    uint16_t machine;
    std::function<void(TestElf*)> edit;
    std::vector<CodeRange> ranges;
  } cases[] = {
      {"ELF64 x86-64", true, 62, [](TestElf*) {},
       {{0x200, 0x60, 0x1200 | x64}, {0x270, 0x10, 0x1270 | x64}}},
      {"ELF32 i386", false, 3, [](TestElf*) {}, {{0x200, 0x60, 0x1200}, {0x270, 0x10, 0x1270}}},
      {"ELF32 x86-64 (x32)", false, 62, [](TestElf*) {},
       {{0x200, 0x60, 0x1200 | x64}, {0x270, 0x10, 0x1270 | x64}}},
      {"no section headers: the executable segment", true, 62,
       [](TestElf* e) { PutLe(&e->image, 40, 0, 8), PutLe(&e->image, 60, 0, 2); },
       {{0x200, 0x80, 0x1200 | x64}}},
      {"a kernel's addresses", true, 62,
       [](TestElf* e) { PutLe(&e->image, e->Section(3, 16), 0xFFFFFFFF81001270ull, 8); },
       {{0x200, 0x60, 0x1200 | x64}, {0x270, 0x10, 0x01001270 | x64}}},
      {"offsets apart, addresses not", false, 3,
       [](TestElf* e) { PutLe(&e->image, e->Section(3, 12), 0x1260, 4); },
       {{0x200, 0x60, 0x1200}, {0x270, 0x10, 0x1260}}},
      {"a section past the end, one beyond it", true, 62,
       [](TestElf* e) {
         PutLe(&e->image, e->Section(3, 32), 0x10000, 8);
         PutLe(&e->image, e->Section(1, 24), 0x10000, 8);
       },
       {{0x210, 0x50, 0x1210 | x64}, {0x270, 0x300 + 6 * 64 - 0x270, 0x1270 | x64}}},
      {"an object file", true, 62, [](TestElf* e) { e->image[16] = 1; }, {}},
      {"another machine", true, 183, [](TestElf*) {}, {}},
      {"big-endian", true, 62, [](TestElf* e) { e->image[5] = 2; }, {}},
      {"bad class", true, 62, [](TestElf* e) { e->image[4] = 3; }, {}},
      {"section table past the end", true, 62,
       [](TestElf* e) { PutLe(&e->image, 40, e->image.size() - 10, 8); }, {}},
      {"section table far past the end", false, 3,
       [](TestElf* e) { PutLe(&e->image, 32, 0xFFFFFFF0u, 4); }, {}},
      {"sections by the thousand", true, 62, [](TestElf* e) { PutLe(&e->image, 60, 0xFFFF, 2); },
       {}},
      {"section entries too short", true, 62, [](TestElf* e) { PutLe(&e->image, 58, 40, 2); }, {}},
      {"cut in the header", true, 62, [](TestElf* e) { e->image.resize(50); }, {}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestElf elf = MakeTestElf(c.wide, c.machine);
    c.edit(&elf);
    // An exactly sized copy: a read past the end is the sanitizer's.
    ExpectCodeRanges(Bytes(elf.image), c.ranges, FindElfCodeRanges);
  }
}

// This test program's own code, made absolute and restored in pieces.
TEST(Elf, OwnCodeThroughTheTransform) {
  Bytes file;
  FILE* f = fopen("/proc/self/exe", "rb");
  if (!f) GTEST_SKIP() << "no /proc/self/exe";
  uint8_t buf[1 << 16];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) file.insert(file.end(), buf, buf + n);
  fclose(f);
  CodeRange ranges[kMaxCodeRanges];
  const int count = FindCodeRanges(file.data(), file.size(), ranges, kMaxCodeRanges);
  ASSERT_GT(count, 0);
  Bytes converted = file;
  const uint32_t size = static_cast<uint32_t>(file.size());
  X86Absolute(converted.data(), size, ranges, count);
  EXPECT_NE(converted, file);
  Bytes back(size);
  SinkToMemory sink(back.data(), size);
  X86Restore restore(&sink, ranges, count);
  for (uint32_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 % 65521 + 1)
    ASSERT_TRUE(restore.Take(converted.data() + at, std::min(piece, size - at)));
  ASSERT_TRUE(restore.Finish());
  EXPECT_EQ(back, file);
}

}  // namespace
