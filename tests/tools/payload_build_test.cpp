// The payload that add_patch_payload made while this test was built: its
// entries in order, named by NAMES or the base name, decoding to the files.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t bar; (bar = s.find('|', start)) != std::string::npos; start = bar + 1)
    parts.push_back(s.substr(start, bar - start));
  parts.push_back(s.substr(start));
  return parts;
}

TEST(AddPatchPayload, PacksTheFilesInOrderUnderTheirNames) {
  Bytes payload;
  ASSERT_TRUE(ReadFileBytes(BUILT_PAYLOAD, &payload));
  const std::vector<std::string> files = Split(BUILT_PAYLOAD_FILES);
  const std::vector<std::string> names = {"encoder_test.cpp", "notes.txt"};
  ASSERT_EQ(files.size(), names.size());

  PayloadReader reader(payload.data(), payload.size());
  ASSERT_TRUE(reader.Start());
  EXPECT_EQ(reader.count(), 2);
  PayloadEntry e;
  for (size_t i = 0; i < files.size(); ++i) {
    ASSERT_TRUE(reader.Next(&e)) << reader.fault_text();
    EXPECT_STREQ(e.name, names[i].c_str());
    EXPECT_EQ(e.compressed, 1u);
    Bytes expected;
    ASSERT_TRUE(ReadFileBytes(files[i], &expected));
    Bytes out(e.expanded_length + 1);
    ASSERT_EQ(BlockDecoder(e.data, e.size, out.data()), expected.size());
    out.resize(expected.size());
    EXPECT_TRUE(out == expected) << names[i];
    // Source text packs well: the block is coded, not stored.
    EXPECT_LT(e.size, expected.size() / 2);
  }
  EXPECT_TRUE(reader.done());
  EXPECT_TRUE(VerifyPayload(payload.data(), payload.size(), ""));
  PayloadIntegrity integrity;
  ASSERT_TRUE(CheckPayloadIntegrity(payload.data(), payload.size(), &integrity, nullptr, 0));
  EXPECT_TRUE(integrity.checksums);
}

}  // namespace
