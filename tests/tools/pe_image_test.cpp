// The PE code on hand-laid patchers: a payload replaced in every shape of
// stub reads back with everything else intact, and damaged or hostile
// files are refused with a reason, never read outside their bytes (the
// sanitizer builds run this too).
#include "lzcx/pe_image.h"

#include <gtest/gtest.h>

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
          TestPeLayout layout;
          layout.plus = plus;
          layout.relocations = relocations;
          layout.payload = RandomBytes(old_size, 1);
          if (!relocations) layout.manifest = "";  // then an empty resource ends the section
          const TestPe stub = MakeTestPatcher(layout);
          layout.certificate = RandomBytes(600, 3);
          const TestPe signed_stub = MakeTestPatcher(layout);
          const Bytes payload = RandomBytes(new_size, 2);
          const Bytes out = Replaced(stub.image, payload);
          ASSERT_FALSE(out.empty());
          // Laid out without the payload, summed in pieces: the same image.
          std::vector<uint8_t> rest;
          uint64_t at = 0;
          size_t checksum_at = 0;
          std::string why;
          ASSERT_TRUE(LayOutPayloadResource(stub.image.data(), stub.image.size(), new_size, &rest,
                                            &at, &checksum_at, &why)) << why;
          rest.insert(rest.begin() + static_cast<ptrdiff_t>(at), payload.begin(), payload.end());
          PeChecksumSum sum(checksum_at);
          for (size_t k = 0; k < rest.size(); k += 333)
            sum.Add(rest.data() + k, std::min<size_t>(333, rest.size() - k));
          WriteLe32(rest.data() + checksum_at, sum.Finish());
          EXPECT_TRUE(rest == out);

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

// One field of a signed patcher overwritten: `width` bytes of `value` at
// `delta` past the place that `where` names.
struct Damage {
  const char* what;
  size_t TestPe::*where;
  size_t delta;
  int width;
  uint64_t value;
  const char* says;   // part of the reason
  bool rebuild_only;  // the payload can still be read; only a rebuild is refused
};

TEST(PeImage, DamagedAndHostileFilesAreRefusedWithAReason) {
  // clang-format off
  const Damage damages[] = {
    {"no MZ", &TestPe::start, 0, 1, 'X', "no MZ header", false},
    {"PE header past the end", &TestPe::start, 0x3C, 4, 0xFFFFFFF0, "no PE header", false},
    {"PE signature", &TestPe::start, 0x41, 1, 'Q', "no PE header", false},
    {"optional header magic", &TestPe::optional_header, 0, 2, 0x999, "neither PE32", false},
    {"65535 sections", &TestPe::start, 0x46, 2, 0xFFFF, "section table", false},
    {"headers shorter than their table", &TestPe::optional_header, 60, 4, 0x100, "declared size", false},
    {"headers past the end", &TestPe::optional_header, 60, 4, 0x7FFFFFFF, "declared size", false},
    {"headers into the code", &TestPe::optional_header, 60, 4, 0x400, "overlaps the headers", false},
    {"file alignment 3", &TestPe::optional_header, 36, 4, 3, "alignment", false},
    {"sections out of order", &TestPe::section_table, 52, 4, 0x1000, "out of order", false},
    {"resources in no section", &TestPe::directories, 16, 4, 0x900000, "every section", false},
    {"32767 root entries", &TestPe::resources, 14, 2, 0x7FFF, "entries outside", false},
    {"65535 + 65535 root entries", &TestPe::resources, 12, 4, 0xFFFFFFFF, "too many", false},
    {"a table that holds itself", &TestPe::type_entries, 4, 4, 0x80000000, "not type, name", false},
    {"name outside", &TestPe::type_entries, 0, 4, 0xFFFFFF00, "name outside", false},
    {"name of 65535 characters", &TestPe::type_name, 0, 2, 0xFFFF, "name outside", false},
    {"named entry counted as numbered", &TestPe::resources, 12, 4, 0x30000, "out of order", false},
    {"data entry outside", &TestPe::payload_language, 4, 4, 0x7FFFFFF0, "entry outside", false},
    {"data in the headers", &TestPe::payload_data_entry, 0, 4, 0x10, "data outside", false},
    {"data of 4 GB", &TestPe::payload_data_entry, 4, 4, 0xFFFFFFF0, "data outside", false},
    {"no FILE type", &TestPe::type_name, 2, 1, 'G', "no payload resource", false},
    {"payload in German", &TestPe::payload_language, 0, 4, 0x0407, "another language", false},
    {"bytes after the last section", &TestPe::directories, 36, 4, 8, "would be lost", true},
    {"a section after them that cannot move", &TestPe::directories, 44, 4, 0, "be moved", true},
    {"a data directory in the resources", &TestPe::directories, 72, 8, 0x800002100, "in or", true},
    {"a relocation into the resources", &TestPe::relocations, 0, 4, 0x2000, "patches the", true},
    {"other data behind the resources", &TestPe::resources, 0x1FF, 1, 1, "other data", true},
  };
  // clang-format on
  for (bool plus : {false, true}) {
    TestPeLayout layout;
    layout.plus = plus;
    layout.payload = RandomBytes(100, 4);
    layout.certificate = RandomBytes(64, 5);
    for (const Damage& d : damages) {
      SCOPED_TRACE(testing::Message() << (plus ? "PE32+: " : "PE32: ") << d.what);
      TestPe pe = MakeTestPatcher(layout);
      for (int i = 0; i < d.width; ++i)
        pe.image.at(pe.*d.where + d.delta + i) = static_cast<uint8_t>(d.value >> (8 * i));
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
    const Bytes whole = MakeTestPatcher(layout).image;
    const size_t needed = MakeTestPatcher(layout).payload_data_entry + 16;
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

// Stubs made to overrun or multiply what the rebuild writes: headers moved
// into the certificate, edited in place there; the string block's leaf
// sharing the payload's data entry, copied once per leaf.
TEST(PeImage, HostileStubsAreRefusedBeforeTheRebuild) {
  TestPeLayout layout;
  layout.payload = RandomBytes(4000, 6);
  layout.certificate = RandomBytes(512, 7);
  const TestPe pe = MakeTestPatcher(layout);
  Bytes shared = pe.image;
  const size_t strings_language = pe.payload_language + 64;  // the builder's next leaf
  ASSERT_EQ(At32(shared, strings_language), 0x0409u);
  WriteLe32(&shared[strings_language + 4], At32(shared, pe.payload_language + 4));
  const struct {
    const char* what;
    Bytes image;
    const char* says;
  } cases[] = {
      {"headers in the certificate", WithHeadersInCertificate(pe), "declared size"},
      {"types sharing a subtable", shared, "share their data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GT(c.image.size(), 0u);
    Bytes out;
    std::string why;
    EXPECT_FALSE(ReplacePayloadResource(c.image.data(), c.image.size(), c.image.data(), 100,
                                        &out, &why));
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
}

}  // namespace
