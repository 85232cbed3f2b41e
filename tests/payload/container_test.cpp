#include "payload/container.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/byte_order.h"
#include "payload/crc32c.h"
#include "payload/delta.h"
#include "payload/strong.h"
#include "payload/entries.h"
#include "payload/names.h"
#include "platform/name_case.h"
#include "platform/platform.h"
#include "support/name_cases.h"
#include "support/payload_builder.h"

namespace {

// Every name and path of the shared tables, as the rule judges it for
// packing and reading (a name alone the same as a name and as a path), and
// as the payload reader takes it inside a container, in either form.
TEST(EntryNames, EveryNameAndPathOfTheTables) {
  const struct {
    const NameCase* cases;
    size_t count;
    NameVerdict (*check)(const char*, NameRule);
  } tables[] = {{kNameCases, kNameCaseCount, CheckEntryName},
                {kPathCases, kPathCaseCount, CheckEntryPath}};
  for (const auto& table : tables) {
    for (size_t i = 0; i < table.count; ++i) {
      const NameCase& c = table.cases[i];
      SCOPED_TRACE(c.name);
      EXPECT_EQ(table.check(c.name, kNameForPacking), c.pack);
      EXPECT_EQ(table.check(c.name, kNameForReading), c.read);
      const size_t n = strlen(c.name);
      // A '/' makes a name a path, which the path table judges; the
      // writer takes no empty path nor one too long for its field.
      if ((table.check == CheckEntryName && strchr(c.name, '/')) || !n ||
          n > static_cast<size_t>(kLongestPath))
        continue;
      EXPECT_EQ(CheckEntryPath(c.name, kNameForReading), c.read);
      const Bytes payload = MakeContainer({{c.name, 0, {1}}});
      PayloadReader reader(payload.data(), payload.size());
      ASSERT_TRUE(reader.Start());
      PayloadEntry e;
      EXPECT_EQ(reader.Next(&e), c.read == kNameFine ? 1 : 0);
      if (c.read != kNameFine) {
        EXPECT_NE(std::string(reader.fault_text()).find(NameVerdictText(c.read)),
                  std::string::npos)
            << reader.fault_text();
      } else {
        EXPECT_STREQ(e.name, c.name);
      }
    }
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

// The names of the table in a long random list: the order agrees with
// SameFileName on every pair, and the sort keeps exactly the entries no
// later entry replaces (as a pairwise look says).
TEST(SameFileName, KeepLastOfEachNameAgreesWithThePairwiseRule) {
  std::vector<const char*> pool;
  for (size_t i = 0; i < kSameNameCaseCount; ++i) {
    pool.push_back(kSameNameCases[i].a);
    pool.push_back(kSameNameCases[i].b);
  }
  for (const char* a : pool) {
    for (const char* b : pool) {
      const int ab = platform::CompareFileNames(a, b), ba = platform::CompareFileNames(b, a);
      EXPECT_EQ(ab == 0, platform::SameFileName(a, b)) << a << " / " << b;
      EXPECT_EQ(ab < 0, ba > 0) << a << " / " << b;
      // A folder's names are found by this hash (platform/posix).
      if (ab == 0) {
        EXPECT_EQ(platform::NameCaseHash(a), platform::NameCaseHash(b)) << a << " / " << b;
      }
    }
  }
  std::vector<PayloadEntry> entries(3000);
  uint32_t seed = 12345;
  for (size_t i = 0; i < entries.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    entries[i] = PayloadEntry();
    entries[i].index = static_cast<int32_t>(i);
    entries[i].name = pool[(seed >> 8) % pool.size()];
  }
  std::vector<int32_t> expected;
  for (size_t i = 0; i < entries.size(); ++i) {
    size_t j = i + 1;
    while (j < entries.size() && !platform::SameFileName(entries[i].name, entries[j].name)) ++j;
    if (j == entries.size()) expected.push_back(entries[i].index);
  }
  const int kept = KeepLastOfEachName(entries.data(), static_cast<int>(entries.size()));
  std::vector<int32_t> got;
  for (int i = 0; i < kept; ++i) got.push_back(entries[i].index);
  EXPECT_EQ(got, expected);
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
  // A compressed entry too small to hold a header; a delta entry too
  // small for its header, and one just large enough.
  EXPECT_EQ(ReadAll(MakeContainer({{"a", 1, {1, 2, 3}}}), &clean), 0);
  EXPECT_FALSE(clean);
  EXPECT_EQ(ReadAll(MakeContainer({{"a", kDeltaForm, Bytes(kDeltaHeaderSize - 1)}}), &clean), 0);
  EXPECT_FALSE(clean);
  EXPECT_EQ(ReadAll(MakeContainer({{"a", kDeltaForm, Bytes(kDeltaHeaderSize)}}), &clean), 1);
  EXPECT_TRUE(clean);
  EXPECT_EQ(ReadAll(Entry("a", block), &clean), 1);
  EXPECT_TRUE(clean);
}

}  // namespace

namespace {

// The trailer's own CRC made to fit again after a deliberate change.
void Reseal(Bytes* b, size_t trailer) {
  WriteLe32(b->data() + b->size() - 12, Crc32c(0, b->data() + trailer, b->size() - 12 - trailer));
}

// A payload sealed as the packer seals it, and each way the trailer, or
// what lies between the last entry and the end, can be wrong: refused by
// the check, by verify and by apply, naming what is wrong.
TEST(CheckPayloadIntegrity, TrailerAndWhatFollowsTheLastEntry) {
  const Bytes plain = MakeContainer(
      {{"vusk.exe", 1, GreedyBlock(TextLike(3000, 1))}, {"vusk.hlp", 0, TextLike(500, 2)}});
  const Bytes sealed = Sealed(plain);
  const size_t t = plain.size();  // where the trailer begins
  PayloadIntegrity info;
  char fault[256] = "";
  ASSERT_TRUE(CheckPayloadIntegrity(plain.data(), plain.size(), &info, fault, sizeof fault));
  EXPECT_FALSE(info.checksums);
  ASSERT_TRUE(CheckPayloadIntegrity(sealed.data(), sealed.size(), &info, fault, sizeof fault))
      << fault;
  EXPECT_TRUE(info.checksums);
  EXPECT_EQ(info.count, 2);
  EXPECT_EQ(info.entries_end, t);
  EXPECT_TRUE(LooksLikePayload(sealed.data(), sealed.size()));
  EXPECT_TRUE(LooksLikePayload(plain.data(), plain.size()));
  const Bytes text = TextLike(500, 3);
  EXPECT_FALSE(LooksLikePayload(text.data(), text.size()));

  struct Case {
    const char* what;
    void (*damage)(Bytes* b, size_t t);
    const char* says;
  } cases[] = {
      {"a block byte", [](Bytes* b, size_t) { (*b)[4 + 38 + 40] ^= 0x10; },
       "entry 1 (vusk.exe): checksum does not match"},
      {"junk after a name's NUL", [](Bytes* b, size_t) { (*b)[4 + 20] = 'J'; },
       "entry 1 (vusk.exe): checksum does not match"},
      {"a stored entry's last byte", [](Bytes* b, size_t t) { (*b)[t - 1] ^= 0x80; },
       "entry 2 (vusk.hlp): checksum does not match"},
      {"the count", [](Bytes* b, size_t) { (*b)[0] = 1; }, "differs from the checksum trailer"},
      {"a CRC of the trailer", [](Bytes* b, size_t t) { (*b)[t + 12] ^= 1; },
       "its own checksum does not match"},
      {"the trailer's length", [](Bytes* b, size_t) { (*b)[b->size() - 8] += 4; },
       "does not begin where its length says"},
      {"a length of no whole CRC", [](Bytes* b, size_t) { (*b)[b->size() - 8] += 1; },
       "its length (33) is wrong"},
      {"an unknown version",
       [](Bytes* b, size_t t) {
         (*b)[t + 4] = 2;
         Reseal(b, t);
       },
       "version 2"},
      {"bytes between the last entry and the trailer",
       [](Bytes* b, size_t t) { b->insert(b->begin() + t, 3, 0); },
       "3 bytes between the last entry and the checksum trailer"},
      {"cut right after the last entry", [](Bytes* b, size_t t) { b->resize(t); },
       "checksum trailer missing"},
      {"cut inside the trailer", [](Bytes* b, size_t) { b->pop_back(); },
       "31 bytes after the last entry are not a checksum trailer"},
      {"the block's mark", [](Bytes* b, size_t) { (*b)[4 + 38 + 12] ^= 1; },
       "entry 1 (vusk.exe): checksum does not match"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = sealed;
    c.damage(&b, t);
    fault[0] = 0;
    EXPECT_FALSE(CheckPayloadIntegrity(b.data(), b.size(), nullptr, fault, sizeof fault));
    EXPECT_NE(std::string(fault).find(c.says), std::string::npos) << fault;
    EXPECT_FALSE(VerifyPayload(b.data(), b.size(), ""));
  }
  // Bytes after the last entry of a payload without a trailer.
  Bytes junk = plain;
  junk.push_back('x');
  EXPECT_FALSE(CheckPayloadIntegrity(junk.data(), junk.size(), nullptr, fault, sizeof fault));
  EXPECT_NE(std::string(fault).find("1 bytes after the last entry"), std::string::npos) << fault;
}

}  // namespace

namespace {

// The check value of the polynomial, and the fast path (three streams
// joined, on SSE4.2) against the table, at every seam: word tails, odd
// starts, one byte either side of each kind of round, chained calls.
TEST(Crc32c, FastPathAgreesWithTheTable) {
  EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(Crc32cPortable(0, "123456789", 9), 0xE3069283u);
  const Bytes data = RandomBytes(2 * 3 * 8192 + 2 * 3072 + 100, 9);
  for (size_t size : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{3071},
                      size_t{3072}, size_t{3073}, size_t{24575}, size_t{24576}, size_t{24577},
                      size_t{2 * 3 * 8192 + 2 * 3072 + 95}}) {
    for (size_t start = 0; start < 4; ++start) {
      const uint8_t* p = data.data() + start;
      const uint32_t expected = Crc32cPortable(0, p, size);
      EXPECT_EQ(Crc32c(0, p, size), expected) << size << " at " << start;
      const size_t half = size / 3;
      EXPECT_EQ(Crc32c(Crc32c(0, p, half), p + half, size - half), expected) << size;
    }
  }
}

}  // namespace

namespace {

int AppendBytes(void* bytes, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(bytes)->insert(static_cast<Bytes*>(bytes)->end(), p, p + size);
  return 1;
}

// Each path shape with each kind of entry, written sealed before a plain
// entry and read back: the form of header, the path, the data or the
// removed file, what it needs, and whether this build applies it.
TEST(ExtendedEntries, EveryPathShapeWithEveryKindRoundTrips) {
  Bytes delta(kDeltaHeaderSize + 5, 7);
  WriteDeltaHeader(delta.data(), 300, 310, 0x11223344, 0x55667788);
  StrongHeader h = {};
  h.window_log = kStrongMinWindowLog;
  Bytes strong(kStrongHeaderSize + 4);
  WriteStrongHeader(strong.data(), h);
  const Bytes kinds[] = {TextLike(40, 1), GreedyBlock(TextLike(400, 2)), delta, strong, delta, {}};
  for (const char* path : {"vusk.hlp", "api-ms-win-core-synch-l1-2-0.dll", "plugins/sub/x.dll"}) {
    for (int form = kFormStored; form <= kFormNone; ++form) {
      SCOPED_TRACE(std::string(path) + " " + DataFormName(form));
      const Bytes& data = kinds[form];
      const bool removal = form == kFormNone, extended = removal || path[4] != '.';
      Bytes out;
      PayloadWriter writer(AppendBytes, &out);
      writer.Begin(2);
      ASSERT_TRUE(removal ? writer.AddRemoval(path, 0x123456789ull, 0xCAFEF00D)
                          : writer.Add(path, DataForm(form), data.data(), uint32_t(data.size())));
      writer.Add("next.txt", kFormStored, Bytes{'y'}.data(), 1);
      ASSERT_TRUE(writer.End());
      EXPECT_EQ(out[4] ? 0 : out[5], removal ? kEntryKindRemoval : extended ? kEntryKindFile : 0);
      PatchEntries entries;
      char fault[256] = "";
      ASSERT_TRUE(entries.Read(out.data(), out.size(), nullptr, fault, sizeof fault)) << fault;
      const PayloadEntry& e = entries[0];
      EXPECT_STREQ(e.name, path);
      EXPECT_EQ(EntryForm(e), form);
      Bytes got(e.data, e.data + e.size);
      if (e.compressed) std::fill(got.begin() + kSealOffset, got.begin() + kSealOffset + 4, 0);
      const Bytes removed = {0x89, 0x67, 0x45, 0x23, 1, 0, 0, 0, 0x0D, 0xF0, 0xFE, 0xCA};
      EXPECT_EQ(got, removal ? removed : data);
      EXPECT_EQ(e.old_size, removal ? 0x123456789ull : IsDelta(e) ? 300 : 0);
      EXPECT_EQ(std::string(entries[1].name), "next.txt");
      const uint32_t needs = removal ? 1u << FORM_REMOVALS
                                     : FormBit(DataForm(form)) | (extended ? 1u << FORM_PATHS : 0);
      EXPECT_EQ(PayloadNeeds(entries), needs | FormBit(kFormStored));
      // This build applies whatever it reads; one that did not would name it.
      const bool readable = ((needs | FormBit(kFormStored)) & ~kFormsRead) == 0;
      EXPECT_EQ(CheckApplicable(entries, fault, sizeof fault), readable ? 1 : 0);
      if (!readable) {
        EXPECT_STREQ(fault, removal ? "this build cannot apply: removals"
                                    : "this build cannot apply: paths");
      }
    }
  }
}

// Each way an extended header can be wrong, each refused naming what is
// wrong (before any checksum is compared, when there is a trailer).
TEST(ExtendedEntries, DamagedHeadersAreRefused) {
  Bytes plain;
  PayloadWriter writer(AppendBytes, &plain, false);
  writer.Begin(2);
  writer.Add("plugins/x.dll", kFormStored, Bytes{'x', 'y'}.data(), 2);
  writer.AddRemoval("old.dll", 12, 34);
  const Bytes whole = Sealed(plain);
  const Bytes trailer(whole.begin() + std::ptrdiff_t(plain.size()), whole.end());
  const struct {
    size_t at;       // of the byte changed; the removal's header is at 58
    uint8_t value;
    const char* says;
  } cases[] = {{4 + 29, 1, "reserved bytes"},        {4 + 2, 0, "path length out of range"},
               {4 + 3, 4, "path length out of range"}, {4 + 2, 12, "does not end in a NUL"},
               {4 + 38 + 13, 'z', "does not end in a NUL"}, {4 + 3, 3, "runs past the end"},
               {4 + 1, 4, "unknown kind"},           {4 + 1, 0, "unknown kind"},
               {4 + 4, 1, "for a base the payload does not have"},
               {58 + 1, 3, "the bases entry is not first"},
               {58 + 34, 11, "not its 12 bytes"},    {58 + 30, 1, "not its 12 bytes"},
               {4 + 38 + 6, '/', NameVerdictText(kNameEmpty)}};
  for (const auto& c : cases) {
    for (bool sealed : {false, true}) {
      SCOPED_TRACE(c.says);
      Bytes b = plain;
      b.at(c.at) = c.value;
      if (sealed) b.insert(b.end(), trailer.begin(), trailer.end());
      char fault[256] = "";
      EXPECT_FALSE(CheckPayloadIntegrity(b.data(), b.size(), nullptr, fault, sizeof fault));
      EXPECT_NE(std::string(fault).find(c.says), std::string::npos) << fault;
    }
  }
  EXPECT_TRUE(CheckPayloadIntegrity(plain.data(), plain.size(), nullptr, nullptr, 0));
}

// What a payload keeps: the last entry of each path, a removal ("-") as
// much as a file; and never a path inside another entry's.
TEST(ExtendedEntries, LastOfEachPathAndNoFileAsAFolder) {
  const std::vector<std::vector<std::string>> cases = {
      {"a", "a/b", "entry 2 (a/b) lies in entry 1 (a), which is not a folder"},
      {"x/y/z.dll", "X/Y", "entry 1 (x/y/z.dll) lies in entry 2 (X/Y)"},
      {"-a", "a/b", "entry 2 (a/b) lies in entry 1 (a)"},
      {"a.txt", "a/b", "a b/c", "ab", "a.txt a/b a b/c ab"},
      {"a/b", "-A/b", "c", "-A/b c"},
      {"-a/b", "a/B", "a/B"}};
  for (const auto& c : cases) {
    Bytes out;
    PayloadWriter writer(AppendBytes, &out);
    writer.Begin(int32_t(c.size() - 1));
    for (size_t i = 0; i + 1 < c.size(); ++i)
      c[i][0] == '-' ? writer.AddRemoval(c[i].c_str() + 1, 1, 2)
                     : writer.Add(c[i].c_str(), kFormStored, Bytes{'x'}.data(), 1);
    ASSERT_TRUE(writer.End());
    PatchEntries entries;
    char fault[256] = "";
    std::string kept = entries.Read(out.data(), out.size(), nullptr, fault, sizeof fault) ? "" : fault;
    for (int i = 0; i < entries.count(); ++i)
      kept += std::string(i ? " " : "") + (entries[i].removal ? "-" : "") + entries[i].name;
    EXPECT_EQ(kept.find(c.back()), 0u) << kept;
  }
}

}  // namespace
