#include "payload/container.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "payload/names.h"
#include "platform/platform.h"
#include "support/name_cases.h"
#include "support/payload_builder.h"

namespace {

// Every name of the shared table, as the rule judges it for packing and
// reading, and as the payload reader takes it inside a container.
TEST(EntryNames, EveryNameOfTheTable) {
  for (size_t i = 0; i < kNameCaseCount; ++i) {
    const NameCase& c = kNameCases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckEntryName(c.name, kNameForPacking), c.pack);
    EXPECT_EQ(CheckEntryName(c.name, kNameForReading), c.read);
    if (strlen(c.name) >= 30) continue;  // cannot be in a name field
    const Bytes payload = MakeContainer({{c.name, 0, {1}}});
    PayloadReader reader(payload.data(), payload.size());
    ASSERT_TRUE(reader.Start());
    PayloadEntry e;
    EXPECT_EQ(reader.Next(&e), c.read == kNameFine ? 1 : 0);
    if (c.read != kNameFine)
      EXPECT_NE(std::string(reader.fault_text()).find(NameVerdictText(c.read)), std::string::npos)
          << reader.fault_text();
  }
}

TEST(SameFileName, AsWindowsComparesNames) {
  for (size_t i = 0; i < kSameNameCaseCount; ++i) {
    const SameNameCase& c = kSameNameCases[i];
    EXPECT_EQ(platform::SameFileName(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(platform::SameFileName(c.b, c.a), c.same) << c.b << " / " << c.a;
    EXPECT_TRUE(platform::SameFileName(c.a, c.a)) << c.a;
  }
}

Bytes Entry(const char* name, const Bytes& block) {
  return MakeContainer({{name, 1, block}});
}

// Reads every entry; returns how many were read before a fault or the end.
int ReadAll(const Bytes& payload, bool* clean, std::string* fault = nullptr) {
  PayloadReader reader(payload.data(), payload.size());
  int n = 0;
  *clean = false;
  if (!reader.Start()) {
    if (fault) *fault = reader.fault_text();
    return 0;
  }
  PayloadEntry e;
  while (reader.Next(&e)) ++n;
  *clean = reader.done();
  if (fault) *fault = reader.fault_text();
  return n;
}

TEST(PayloadReader, ReadsEntriesByCountAndSize) {
  Bytes a = StoredBlock({1, 2, 3});
  Bytes payload = MakeContainer({{"vusk.exe", 1, a}, {"help.txt", 0, {9, 9}}});
  payload.push_back(0x77);  // bytes after the last entry are not read
  PayloadReader reader(payload.data(), payload.size());
  ASSERT_TRUE(reader.Start());
  EXPECT_EQ(reader.count(), 2);
  PayloadEntry e;
  ASSERT_TRUE(reader.Next(&e));
  EXPECT_STREQ(e.name, "vusk.exe");
  EXPECT_EQ(e.compressed, 1u);
  EXPECT_EQ(e.size, a.size());
  EXPECT_EQ(e.expanded_length, 3u);
  EXPECT_EQ(e.data, payload.data() + 4 + 38);
  ASSERT_TRUE(reader.Next(&e));
  EXPECT_STREQ(e.name, "help.txt");
  EXPECT_EQ(e.expanded_length, 2u);
  EXPECT_FALSE(reader.Next(&e));
  EXPECT_TRUE(reader.done());
}

TEST(PayloadReader, NameOfTwentyNineCharactersWithJunkAfterItsEnd) {
  Bytes payload = MakeContainer({{"abcdefghijklmnopqrstuvwxyz.db", 0, {1}}});
  PayloadReader reader(payload.data(), payload.size());
  ASSERT_TRUE(reader.Start());
  PayloadEntry e;
  ASSERT_TRUE(reader.Next(&e));
  EXPECT_STREQ(e.name, "abcdefghijklmnopqrstuvwxyz.db");

  payload = MakeContainer({{"a.txt", 0, {1}}});
  for (int i = 4 + 6; i < 4 + 30; ++i) payload[i] = 'J';
  PayloadReader junk(payload.data(), payload.size());
  ASSERT_TRUE(junk.Start());
  ASSERT_TRUE(junk.Next(&e));
  EXPECT_STREQ(e.name, "a.txt");
}

TEST(PayloadReader, RejectsCorruptContainers) {
  bool clean;
  std::string fault;
  EXPECT_EQ(ReadAll(MakeContainerWithCount(0, {}), &clean), 0);
  EXPECT_FALSE(clean);
  EXPECT_EQ(ReadAll(MakeContainerWithCount(-3, {{"a", 0, {1}}}), &clean), 0);
  EXPECT_FALSE(clean);
  EXPECT_EQ(ReadAll(Bytes{1, 0, 0}, &clean), 0);
  EXPECT_FALSE(clean);

  // A count larger than the entries present.
  EXPECT_EQ(ReadAll(MakeContainerWithCount(2, {{"a", 0, {1}}}), &clean, &fault), 1);
  EXPECT_FALSE(clean);
  EXPECT_NE(fault.find("entry 2"), std::string::npos) << fault;

  // Data running past the end, by one byte.
  Bytes payload = MakeContainer({{"a", 0, {1, 2, 3}}});
  payload.pop_back();
  EXPECT_EQ(ReadAll(payload, &clean, &fault), 0);
  EXPECT_FALSE(clean);
  EXPECT_NE(fault.find("past the end"), std::string::npos) << fault;

  // A header cut off.
  payload = MakeContainer({{"a", 0, {}}});
  payload.pop_back();
  EXPECT_EQ(ReadAll(payload, &clean), 0);
  EXPECT_FALSE(clean);

  // No NUL in the 30 name bytes.
  payload = MakeContainer({{"a", 0, {1}}});
  for (int i = 4; i < 34; ++i) payload[i] = 'n';
  EXPECT_EQ(ReadAll(payload, &clean, &fault), 0);
  EXPECT_NE(fault.find("NUL"), std::string::npos) << fault;

  // Unsafe names.
  EXPECT_EQ(ReadAll(MakeContainer({{"..", 0, {1}}}), &clean), 0);
  EXPECT_EQ(ReadAll(MakeContainer({{"x\\..\\..\\evil.dll", 0, {1}}}), &clean), 0);
  EXPECT_FALSE(clean);

  // Blocks whose length is below 16, or beyond the entry.
  EXPECT_EQ(ReadAll(Entry("a", MakeBlockWithLength(0, 15, {})), &clean), 0);
  Bytes block = StoredBlock({1, 2});
  EXPECT_EQ(ReadAll(Entry("a", MakeBlockWithLength(2, 19, {1, 2})), &clean), 0);
  EXPECT_FALSE(clean);
  // A coded block claiming more than it could ever produce (8 bytes of
  // output per byte of body is already beyond any block).
  Bytes body = CodedBody({Item::Literal('a'), Item::Match(16, 1)});
  EXPECT_EQ(ReadAll(Entry("a", MakeBlock(static_cast<uint32_t>(8 * body.size() + 8), body)), &clean), 0);
  EXPECT_EQ(ReadAll(Entry("a", MakeBlock(0xffffffffu, body)), &clean), 0);
  EXPECT_FALSE(clean);
  EXPECT_EQ(ReadAll(Entry("a", MakeBlock(17, body)), &clean), 1);
  EXPECT_TRUE(clean);
  // A compressed entry too small to hold a header.
  EXPECT_EQ(ReadAll(MakeContainer({{"a", 1, {1, 2, 3}}}), &clean), 0);
  EXPECT_FALSE(clean);
  EXPECT_EQ(ReadAll(Entry("a", block), &clean), 1);
  EXPECT_TRUE(clean);
}

}  // namespace
