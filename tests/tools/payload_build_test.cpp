// The payload that add_patch_payload made while this test was built: its
// entries in order, named by NAMES or the base name, decoding to the files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/entries.h"
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

  PatchEntries entries;
  char fault[256] = "";
  ASSERT_TRUE(entries.Read(payload.data(), payload.size(), nullptr, fault, sizeof fault)) << fault;
  ASSERT_EQ(entries.count(), 2);
  for (int i = 0; i < entries.count(); ++i) {
    const PayloadEntry& e = entries[i];
    EXPECT_STREQ(e.name, names[i].c_str());
    EXPECT_EQ(EntryForm(e), kFormStrong);
    Bytes expected;
    ASSERT_TRUE(ReadFileBytes(files[i], &expected));
    const uint8_t* bytes = nullptr;
    uint8_t* buffer = nullptr;
    ASSERT_TRUE(entries.Bytes(i, nullptr, 0, &bytes, &buffer, fault, sizeof fault)) << fault;
    EXPECT_TRUE(Bytes(bytes, bytes + e.expanded_length) == expected) << names[i];
    free(buffer);
    // Source text packs well.
    EXPECT_LT(e.size, expected.size() / 2);
  }
  EXPECT_TRUE(VerifyPayload(payload.data(), payload.size(), ""));
  PayloadIntegrity integrity;
  ASSERT_TRUE(CheckPayloadIntegrity(payload.data(), payload.size(), &integrity, nullptr, 0));
  EXPECT_TRUE(integrity.checksums);
}

}  // namespace
