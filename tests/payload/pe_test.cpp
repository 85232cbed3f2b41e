// The PE reader: the code ranges of sound, odd and damaged images, and the
// base relocations entry by entry.
#include "payload/pe.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "payload/byte_order.h"
#include "support/code_ranges.h"
#include "support/pe_builder.h"

namespace {

// The test images: .text (file 0x200, RVA 0x1000, 0x20 bytes in memory),
// .rsrc, then .reloc last.
const CodeRange kText = {0x200, 0x20, 0x1000};
const CodeRange kText64 = {0x200, 0x20, 0x1000 | kCodeRangeX64};

void Set32(TestPe* pe, size_t at, uint32_t v) { WriteLe32(&pe->image.at(at), v); }
size_t SectionField(const TestPe& pe, int section, size_t field) {
  return pe.section_table + 40 * section + field;
}

TEST(Pe, CodeRangesOfSoundOddAndDamagedImages) {
  struct Case {
    const char* what;
    bool plus;
    std::function<void(TestPe*)> edit;
    std::vector<CodeRange> ranges;
  } cases[] = {
      {"PE32", false, [](TestPe*) {}, {kText}},
      {"PE32+", true, [](TestPe*) {}, {kText64}},
      {"damaged optional header", false, [](TestPe* pe) { pe->image[pe->optional_header] = 7; },
       {}},
      {"not x86", false, [](TestPe* pe) { pe->image[0x44] = 0xC4, pe->image[0x45] = 0x01; }, {}},
      {"cut in the code", false, [](TestPe* pe) { pe->image.resize(0x210); },
       {{0x200, 0x10, 0x1000}}},
      {"an executable section running past the file", true,
       [](TestPe* pe) {
         const size_t reloc = SectionField(*pe, 2, 0);
         Set32(pe, reloc + 8, 0x10000);
         Set32(pe, reloc + 16, 0x10000);
         Set32(pe, reloc + 36, 0x60000020);
       },
       {kText64, {0, 0x200, 0}}},  // the second filled in below
      {"two sections, one named in the other's file data", false,
       [](TestPe* pe) {
         const size_t rsrc = SectionField(*pe, 1, 0);
         Set32(pe, rsrc + 16, 0x20);
         Set32(pe, rsrc + 20, 0x210);
         Set32(pe, rsrc + 36, 0x20000000);
       },
       // The later loses what it shares.
       {kText, {0x220, 0x10, 0x2010}}},
      {".NET, IL only", false,
       [](TestPe* pe) {
         Set32(pe, pe->Directory(kPeDirClr), 0x1000);
         Set32(pe, pe->Directory(kPeDirClr) + 4, 72);
         Set32(pe, 0x210, 1);
       },
       {}},
      {".NET, mixed", false,
       [](TestPe* pe) {
         Set32(pe, pe->Directory(kPeDirClr), 0x1000);
         Set32(pe, pe->Directory(kPeDirClr) + 4, 72);
         Set32(pe, 0x210, 2);
       },
       {kText}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPeLayout layout;
    layout.plus = c.plus;
    layout.payload = Bytes(300, 'p');
    TestPe pe = MakeTestPatcher(layout);
    c.edit(&pe);
    if (c.ranges.size() == 2 && c.ranges[1].address == 0) {
      const size_t reloc = SectionField(pe, 2, 0);
      c.ranges[1] = {ReadLe32(&pe.image[reloc + 20]),
                     static_cast<uint32_t>(pe.image.size()) - ReadLe32(&pe.image[reloc + 20]),
                     ReadLe32(&pe.image[reloc + 12]) | kCodeRangeX64};
    }
    // An exactly sized copy: a read past the end is the sanitizer's.
    ExpectCodeRanges(Bytes(pe.image), c.ranges, FindCodeRanges);
  }
}

TEST(Pe, RelocationsEntryByEntry) {
  struct Case {
    const char* what;
    std::function<void(TestPe*)> edit;
    std::vector<uint32_t> rvas;
    bool damaged;
  } cases[] = {
      {"one entry and a pad", [](TestPe*) {}, {0x1010}, false},
      {"two blocks",
       [](TestPe* pe) {
         // The pad made an entry, then a second block of one entry.
         WriteLe16(&pe->image[pe->relocations + 10], 3 << 12 | 0x18);
         Set32(pe, pe->relocations + 12, 0x5000);
         Set32(pe, pe->relocations + 16, 10);
         WriteLe16(&pe->image[pe->relocations + 20], 3 << 12 | 0xFFF);
         Set32(pe, pe->Directory(kPeDirBaseRelocation) + 4, 22);
         Set32(pe, SectionField(*pe, 2, 8), 22);
       },
       {0x1010, 0x1018, 0x5FFF},
       false},
      {"a block longer than the table",
       [](TestPe* pe) { Set32(pe, pe->relocations + 4, 16); }, {}, true},
      {"the table outside the file",
       [](TestPe* pe) { Set32(pe, pe->Directory(kPeDirBaseRelocation) + 4, 0x10000); }, {}, true},
      {"none", [](TestPe* pe) { Set32(pe, pe->Directory(kPeDirBaseRelocation) + 4, 0); }, {},
       false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPeLayout layout;
    layout.payload = Bytes(30, 'p');
    TestPe pe = MakeTestPatcher(layout);
    c.edit(&pe);
    PeHeaders headers;
    ASSERT_TRUE(headers.Read(pe.image.data(), pe.image.size())) << headers.fault();
    PeRelocations relocations(headers);
    std::vector<uint32_t> rvas;
    uint32_t rva;
    int type;
    while (relocations.Next(&rva, &type)) {
      EXPECT_EQ(type, 3);
      rvas.push_back(rva);
    }
    EXPECT_EQ(rvas, c.rvas);
    EXPECT_EQ(relocations.fault() != nullptr, c.damaged);
  }
}

}  // namespace
