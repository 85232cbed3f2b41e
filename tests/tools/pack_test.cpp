// The pack command in-process, with encoders that break their blocks: the
// round-trip check must refuse them and write nothing.
#include "lzcx/pack.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/entries.h"
#include "payload/names.h"
#include "platform/name_case.h"
#include "support/name_cases.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

typedef int (*BlockEncoderFunction)(const uint8_t* data, size_t size, ParseKind parse,
                                    uint8_t* work, size_t work_size, size_t* block_size,
                                    EncodeStats* stats, EncodeProgress* progress);

// A whole-file encoder as the packer takes one: the input read whole, the
// block made in memory and written as it is.
class WholeFileCoder : public BlockCoder {
 public:
  explicit WholeFileCoder(BlockEncoderFunction encode) : encode_(encode) {}
  int Plan(EncodeInput* in, uint64_t size, ParseKind parse, ItemStore*, uint64_t* block_size,
           EncodeStats* stats, EncodeProgress* progress) override {
    std::vector<uint8_t> data(size);
    block_.assign(EncodeWorkSize(size), 0);
    size_t length = 0;
    if (!in->Rewind() || !in->Read(data.data(), data.size()) ||
        !encode_(data.data(), data.size(), parse, block_.data(), block_.size(), &length, stats,
                 progress))
      return 0;
    block_.resize(length);
    *block_size = length;
    return 1;
  }
  int Emit(EncodeInput*, EncodeOutput* out) override {
    return out->Write(block_.data(), block_.size());
  }

 private:
  BlockEncoderFunction encode_;
  std::vector<uint8_t> block_;
};

int FlipsTheLastByte(const uint8_t* data, size_t size, ParseKind parse, uint8_t* work,
                     size_t work_size, size_t* block_size, EncodeStats* stats,
                     EncodeProgress* progress) {
  if (!EncodeBlockInto(data, size, parse, work, work_size, block_size, stats, progress)) return 0;
  work[*block_size - 1] ^= 0x01;
  return 1;
}

// Coded, but exactly as long as the input plus the header: the decoder
// takes it for stored.
int CodedAtTheStoredLength(const uint8_t* data, size_t size, ParseKind, uint8_t* work, size_t,
                           size_t* block_size, EncodeStats*, EncodeProgress*) {
  std::vector<Item> items;
  for (size_t i = 0; i < size; ++i) items.push_back(Item::Literal(data[i]));
  Bytes body = CodedBody(items);
  body.resize(size);
  const Bytes block = MakeBlock(static_cast<uint32_t>(size), body);
  memcpy(work, block.data(), block.size());
  *block_size = block.size();
  return 1;
}

int ClaimsOneByteMore(const uint8_t* data, size_t size, ParseKind parse, uint8_t* work,
                      size_t work_size, size_t* block_size, EncodeStats* stats,
                      EncodeProgress* progress) {
  if (!EncodeBlockInto(data, size, parse, work, work_size, block_size, stats, progress)) return 0;
  work[4] += 1;
  return 1;
}

int RunsOutOfMemory(const uint8_t*, size_t, ParseKind, uint8_t*, size_t, size_t*, EncodeStats*,
                    EncodeProgress*) {
  return 0;
}

TEST(PackCommand, RefusesBlocksThatDoNotDecodeBackAndWritesNothing) {
  ScratchDir dir;
  const std::string text = dir.Join("text.txt"), payload = dir.Join("payload.bin");
  ASSERT_TRUE(WriteFileBytes(text, TextLike(20000, 1)));
  std::vector<std::string> args = {"pack", "--quiet", "--form", "block", "-o", payload, text};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  const int argc = static_cast<int>(argv.size());

  for (BlockEncoderFunction broken :
       {FlipsTheLastByte, CodedAtTheStoredLength, ClaimsOneByteMore, RunsOutOfMemory}) {
    WholeFileCoder coder(broken);
    EXPECT_EQ(PackCommand(*FindCommand("pack"), argc, argv.data(), &coder), 1);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"text.txt"});
  }
  EXPECT_EQ(PackCommand(*FindCommand("pack"), argc, argv.data()), 0);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"payload.bin", "text.txt"}));
}

// Every name of the shared table: the packer takes exactly the names the
// rule passes for packing, saying why not; verify exactly those it passes
// for reading.
TEST(PackPayload, NamesAsTheRuleJudgesThem) {
  ScratchDir dir;
  const std::string file = dir.Join("file.txt");
  ASSERT_TRUE(WriteFileBytes(file, TextLike(100, 1)));
  PackOptions options;
  options.report = false;
  for (size_t i = 0; i < kNameCaseCount; ++i) {
    const NameCase& c = kNameCases[i];
    SCOPED_TRACE(c.name);
    VectorSink sink;
    std::string why;
    EXPECT_EQ(PackPayload({PackFile{file, c.name}}, options, &sink, &why),
              c.pack == kNameFine ? 1 : 0);
    if (c.pack != kNameFine) {
      EXPECT_NE(why.find(NameVerdictText(c.pack)), std::string::npos) << why;
      // Shown without a control character a terminal would obey.
      EXPECT_TRUE(platform::IsUtf8(why.c_str()));
      for (size_t k = 0; k < why.size(); ++k) {
        const unsigned char b = static_cast<unsigned char>(why[k]);
        EXPECT_FALSE(b < 32 || b == 127 || (b == 0xC2 && (why[k + 1] & 0xE0) == 0x80)) << k;
      }
    }
    if (!*c.name || strchr(c.name, '/')) continue;  // no entry, or a path
    const Bytes payload = MakeContainer({{c.name, 0, {'x'}}});
    EXPECT_EQ(VerifyPayload(payload.data(), payload.size(), ""), c.read == kNameFine ? 1 : 0);
  }
  // Names that are one file on Windows, as pack sees them.
  for (size_t i = 0; i < kSameNameCaseCount; ++i) {
    const SameNameCase& c = kSameNameCases[i];
    if (CheckEntryName(c.a, kNameForPacking) || CheckEntryName(c.b, kNameForPacking)) continue;
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    VectorSink sink;
    std::string why;
    EXPECT_EQ(PackPayload({PackFile{file, c.a}, PackFile{file, c.b}}, options, &sink, &why),
              c.same ? 0 : 1);
  }
}

}  // namespace

namespace {

struct Packed {
  std::vector<PackFile> files;
  std::vector<Bytes> bytes;
  Bytes payload;
};

// Files packed as pack makes them, from `dir`; an old release in `from`.
Packed PackInto(const ScratchDir& dir, const std::vector<std::pair<std::string, Bytes>>& files,
                const char* from = nullptr) {
  Packed p;
  for (const auto& f : files) {
    EXPECT_TRUE(WriteFileBytes(dir.Join(f.first), f.second));
    p.files.push_back(PackFile(dir.Join(f.first), f.first));
    p.bytes.push_back(f.second);
  }
  PackOptions options;
  options.report = false;
  options.from = from;
  VectorSink sink;
  std::string why;
  EXPECT_TRUE(PackPayload(p.files, options, &sink, &why)) << why;
  p.payload = sink.bytes;
  return p;
}

}  // namespace

// Consecutive files share a solid group, a repeated file costs a few
// bytes, noise and a delta keep their places between the group's entries;
// every entry decodes in any order (its group again from the start), and a
// payload whose group lost an entry it goes on from is refused.
TEST(PackPayload, SolidGroupsDecodeInAnyOrderAndRefuseABrokenChain) {
  ScratchDir dir, old_dir;
  const Bytes text = TextLike(50000, 3), other = TextLike(30000, 4);
  Bytes changed = text;
  changed[777] ^= 1;
  ASSERT_TRUE(WriteFileBytes(old_dir.Join("old.txt"), text));
  const Packed p = PackInto(dir, {{"a.txt", text}, {"noise.bin", RandomBytes(20000, 5)},
                                  {"old.txt", changed}, {"b.txt", other}, {"copy.txt", text}},
                            old_dir.path().c_str());
  PatchEntries entries;
  char fault[256] = "";
  ASSERT_TRUE(entries.Read(p.payload.data(), p.payload.size(), nullptr, fault, sizeof fault))
      << fault;
  ASSERT_EQ(entries.count(), 5);
  const DataForm forms[] = {kFormStrong, kFormBlock, kFormDelta, kFormStrong, kFormStrong};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(EntryForm(entries[i]), forms[i]) << i;
  EXPECT_FALSE(entries[0].continues);
  EXPECT_TRUE(entries[3].continues && entries[4].continues);
  EXPECT_LT(entries[4].size, 64u);
  for (int i : {0, 4, 3, 1, 4}) {
    const uint8_t* bytes = nullptr;
    uint8_t* buffer = nullptr;
    ASSERT_TRUE(entries.Bytes(i, nullptr, 0, &bytes, &buffer, fault, sizeof fault)) << fault;
    EXPECT_TRUE(Bytes(bytes, bytes + entries[i].expanded_length) == p.bytes[i]) << i;
    free(buffer);
  }
  // The entries again, in another container: the group's first replaced by
  // a later entry of its name, or gone, breaks the chain; one at the end
  // does not.
  const auto record = [&](int i, const char* name) {
    const PayloadEntry& e = entries[i];
    return EntrySpec{name ? name : e.name, e.compressed, Bytes(e.data, e.data + e.size)};
  };
  const struct {
    std::vector<EntrySpec> specs;
    bool refused;
  } cases[] = {
      {{record(0, nullptr), record(1, nullptr), record(3, nullptr), record(4, nullptr)}, false},
      {{record(0, nullptr), record(3, nullptr), record(4, nullptr), record(1, "a.txt")}, true},
      {{record(3, nullptr), record(4, nullptr)}, true},
      {{record(0, nullptr), record(3, nullptr), record(4, nullptr), record(1, "copy.txt")}, false},
  };
  for (const auto& c : cases) {
    const Bytes container = Sealed(MakeContainer(c.specs));
    PatchEntries again;
    fault[0] = 0;
    const int read = again.Read(container.data(), container.size(), nullptr, fault, sizeof fault);
    EXPECT_EQ(read && again.CheckDecodes(nullptr, fault, sizeof fault), !c.refused)
        << &c - cases << ": " << fault;
    if (c.refused) {
      EXPECT_NE(strstr(fault, "continues"), nullptr) << fault;
    }
  }
}
