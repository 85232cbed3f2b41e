// The PE code on hand-laid patchers: a payload replaced in every shape of
// stub reads back with everything else intact, and damaged or hostile
// files are refused with a reason, never read outside their bytes (the
// sanitizer builds run this too).
#include "lzcx/pe_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "payload/block_decoder.h"
#include "support/pe_builder.h"

namespace {

Bytes ResourceOf(const Bytes& image, ResourceKey type, ResourceKey name) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::string why;
  if (!FindResourceData(image.data(), image.size(), type, name, 0x0409, &data, &size, &why))
    return Bytes{'?'};
  return Bytes(data, data + size);
}

Bytes Replaced(const Bytes& stub, const Bytes& payload) {
  Bytes out;
  std::string why;
  EXPECT_TRUE(
      ReplacePayloadResource(stub.data(), stub.size(), payload.data(), payload.size(), &out, &why))
      << why;
  return out;
}

uint32_t At32(const Bytes& b, size_t at) { return ReadLe32(b.data() + at); }

TEST(PeImage, ReplacedPayloadReadsBackWithEverythingElseIntact) {
  for (bool plus : {false, true}) {
    for (bool relocations : {true, false}) {
      // An empty stub, and a full patcher as the stub; a payload that fits
      // the old section, and one that needs many more pages.
      for (size_t old_size : {0, 9000}) {
        for (size_t new_size : {1, 70000}) {
          SCOPED_TRACE(testing::Message() << (plus ? "PE32+" : "PE32") << " relocations "
                                          << relocations << " " << old_size << " -> " << new_size);
          TestPeSpec spec;
          spec.plus = plus;
          spec.relocations = relocations;
          spec.payload = RandomBytes(old_size, 1);
          if (!relocations) spec.manifest = "";  // then an empty resource ends the section
          const TestPe stub = MakeTestPatcher(spec);
          spec.certificate = RandomBytes(600, 3);
          const TestPe signed_stub = MakeTestPatcher(spec);
          const Bytes payload = RandomBytes(new_size, 2);
          const Bytes out = Replaced(stub.image, payload);
          ASSERT_FALSE(out.empty());

          EXPECT_TRUE(ResourceOf(out, {"FILE", 0}, {nullptr, 105}) == payload);
          EXPECT_TRUE(ResourceOf(out, {nullptr, 24}, {nullptr, 1}) == stub.manifest);
          EXPECT_TRUE(ResourceOf(out, {nullptr, 6}, {nullptr, 1}) == stub.strings);
          EXPECT_TRUE(
              std::equal(out.begin() + 0x200, out.begin() + 0x400, stub.image.begin() + 0x200))
              << "the code changed";
          // The last section ends the image and the file.
          const size_t last = stub.section_table + 40 * (relocations ? 2 : 1);
          EXPECT_EQ(At32(out, stub.optional_header + 56),
                    (At32(out, last + 12) + At32(out, last + 8) + 0xFFF) & ~0xFFFu);
          EXPECT_EQ(out.size(), At32(out, last + 20) + At32(out, last + 16));
          if (relocations) {
            // Moved behind the new resources, bytes and directory along.
            const uint32_t rva = At32(out, stub.Directory(5));
            EXPECT_EQ(rva, At32(out, last + 12));
            EXPECT_GE(rva, stub.resources_rva + new_size);
            EXPECT_TRUE(std::equal(stub.image.begin() + stub.relocations,
                                   stub.image.begin() + stub.relocations + 12,
                                   out.begin() + At32(out, last + 20)));
          }
          // The certificate is dropped: a signed stub gives the same bytes.
          EXPECT_TRUE(Replaced(signed_stub.image, payload) == out);
          EXPECT_EQ(At32(out, stub.Directory(4)) | At32(out, stub.Directory(4) + 4), 0u);
          // Rebuilding the result with its own payload changes nothing.
          EXPECT_TRUE(Replaced(out, payload) == out);
        }
      }
    }
  }
}

void Put32(Bytes* b, size_t at, uint32_t v) { WriteLe32(b->data() + at, v); }
void Put16(Bytes* b, size_t at, uint32_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}

struct Damage {
  const char* what;
  std::function<void(TestPe*)> apply;
  const char* says;   // part of the reason
  bool rebuild_only;  // the payload can still be read; only a rebuild is refused
};

TEST(PeImage, DamagedAndHostileFilesAreRefusedWithAReason) {
  const Damage damages[] = {
      {"no MZ", [](TestPe* p) { p->image[0] = 'X'; }, "no MZ header", false},
      {"PE header past the end", [](TestPe* p) { Put32(&p->image, 0x3C, 0xFFFFFFF0); },
       "no PE header", false},
      {"PE signature", [](TestPe* p) { p->image[0x41] = 'Q'; }, "no PE header", false},
      {"optional header magic", [](TestPe* p) { Put16(&p->image, p->optional_header, 0x999); },
       "neither PE32", false},
      {"65535 sections", [](TestPe* p) { Put16(&p->image, 0x46, 0xFFFF); }, "section table", false},
      {"file alignment 3", [](TestPe* p) { Put32(&p->image, p->optional_header + 36, 3); },
       "alignment", false},
      {"sections out of order", [](TestPe* p) { Put32(&p->image, p->section_table + 52, 0x1000); },
       "out of order", false},
      {"resources outside every section",
       [](TestPe* p) { Put32(&p->image, p->Directory(2), 0x900000); }, "outside every section",
       false},
      {"32767 root entries", [](TestPe* p) { Put16(&p->image, p->resources + 14, 0x7FFF); },
       "entries outside", false},
      {"65535 + 65535 root entries",
       [](TestPe* p) {
         Put16(&p->image, p->resources + 12, 0xFFFF);
         Put16(&p->image, p->resources + 14, 0xFFFF);
       },
       "too many", false},
      {"a table that holds itself",
       [](TestPe* p) { Put32(&p->image, p->type_entries + 4, 0x80000000); },
       "not type, name, language", false},
      {"name outside", [](TestPe* p) { Put32(&p->image, p->type_entries, 0xFFFFFF00); },
       "name outside", false},
      {"name of 65535 characters", [](TestPe* p) { Put16(&p->image, p->type_name, 0xFFFF); },
       "name outside", false},
      {"named entry counted as numbered",
       [](TestPe* p) {
         Put16(&p->image, p->resources + 12, 0);
         Put16(&p->image, p->resources + 14, 3);
       },
       "out of order", false},
      {"data entry outside",
       [](TestPe* p) { Put32(&p->image, p->payload_language + 4, 0x7FFFFFF0); },
       "data entry outside", false},
      {"data in the headers", [](TestPe* p) { Put32(&p->image, p->payload_data_entry, 0x10); },
       "data outside", false},
      {"data of 4 GB", [](TestPe* p) { Put32(&p->image, p->payload_data_entry + 4, 0xFFFFFFF0); },
       "data outside", false},
      {"no FILE type", [](TestPe* p) { p->image[p->type_name + 2] = 'G'; }, "no payload resource",
       false},
      {"payload in German", [](TestPe* p) { Put32(&p->image, p->payload_language, 0x0407); },
       "another language", false},
      {"bytes after the last section", [](TestPe* p) { p->image.insert(p->image.end(), 16, 0x5A); },
       "would be lost", true},
      {"a section after the resources that cannot move",
       [](TestPe* p) { Put32(&p->image, p->Directory(5) + 4, 0); }, "cannot be moved", true},
      {"a data directory after the resources",
       [](TestPe* p) {
         Put32(&p->image, p->Directory(9), p->relocations_rva);
         Put32(&p->image, p->Directory(9) + 4, 8);
       },
       "lies in or after", true},
      {"a relocation into the resources",
       [](TestPe* p) { Put32(&p->image, p->relocations, p->resources_rva); },
       "patches the resources", true},
      {"other data behind the resources",
       [](TestPe* p) {
         Put32(&p->image, p->section_table + 48,
               0x200);  // .rsrc's size in memory: all its file data
         p->image[p->resources + 0x1FF] = 1;
       },
       "holds other data", true},
  };
  for (bool plus : {false, true}) {
    TestPeSpec spec;
    spec.plus = plus;
    spec.payload = RandomBytes(100, 4);
    for (const Damage& d : damages) {
      SCOPED_TRACE(testing::Message() << (plus ? "PE32+: " : "PE32: ") << d.what);
      TestPe pe = MakeTestPatcher(spec);
      d.apply(&pe);
      const Bytes& b = pe.image;
      const uint8_t* data = nullptr;
      size_t size = 0;
      std::string why;
      EXPECT_EQ(FindPayloadResource(b.data(), b.size(), &data, &size, &why) != 0, d.rebuild_only)
          << why;
      if (!d.rebuild_only) {
        EXPECT_NE(why.find(d.says), std::string::npos) << why;
      }
      Bytes out;
      why.clear();
      EXPECT_FALSE(ReplacePayloadResource(b.data(), b.size(), b.data(), 10, &out, &why));
      EXPECT_NE(why.find(d.says), std::string::npos) << why;
    }
    // Cut anywhere before the payload's data entry, a file cannot be read;
    // exactly sized copies, so a read past the end is the sanitizer's.
    const Bytes whole = MakeTestPatcher(spec).image;
    const size_t needed = MakeTestPatcher(spec).payload_data_entry + 16;
    for (size_t cut = 0; cut < whole.size(); cut += 7) {
      const Bytes part(whole.begin(), whole.begin() + cut);
      const uint8_t* data = nullptr;
      size_t size = 0;
      std::string why;
      const int found = FindPayloadResource(part.data(), part.size(), &data, &size, &why);
      if (cut < needed) {
        EXPECT_FALSE(found) << cut;
      }
      Bytes out;
      ReplacePayloadResource(part.data(), part.size(), part.data(), cut / 2, &out, &why);
    }
  }
}

}  // namespace
