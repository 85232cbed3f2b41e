// Delta entries: made by the packer's encoder, read by the container and
// applied by the program's decoder, over pairs of old and new files; the
// old file checked; damage refused.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lzcx/delta_encoder.h"
#include "lzcx/pack.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "payload/delta.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

Bytes Head(const char* path, size_t size) {
  Bytes all;
  if (!ReadFileBytes(path, &all) || all.size() < size) return TextLike(size, 9);
  all.resize(size);
  return all;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + from, b.begin() + to);
}

// Code moved: a piece of the file moved elsewhere, and every fourth byte
// of what follows shifted by the move, as addresses are.
Bytes Moved(const Bytes& b) {
  Bytes out = Cat({Slice(b, 0, 1000), Slice(b, 9000, 14000), Slice(b, 1000, 9000),
                   Slice(b, 14000, b.size())});
  for (size_t i = 14000; i + 4 <= out.size(); i += 64) out[i] = static_cast<uint8_t>(out[i] + 0x30);
  return out;
}

// The delta entry of `new_data` against `old_data` in a container, read
// back: `e` points into `*container`.
void MakeEntry(const Bytes& old_data, const Bytes& new_data, Bytes* container, PayloadEntry* e) {
  Bytes data;
  ASSERT_TRUE(EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                          &data));
  *container = MakeContainer({{"vusk.exe", kDeltaForm, data}});
  PayloadReader reader(container->data(), container->size());
  ASSERT_TRUE(reader.Start());
  ASSERT_TRUE(reader.Next(e)) << reader.fault_text();
  ASSERT_TRUE(IsDelta(*e));
  ASSERT_EQ(e->expanded_length, new_data.size());
  ASSERT_EQ(e->old_size, old_data.size());
}

// An old file handed out a few bytes at a time, and the output gathered:
// every edge of the streaming decode is crossed.
class Stingy : public OldBytes {
 public:
  explicit Stingy(const Bytes& old) : old_(old) {}
  const uint8_t* At(uint32_t pos, uint32_t* available) override {
    *available = std::min<uint32_t>(static_cast<uint32_t>(old_.size()) - pos, 1 + pos % 5);
    return old_.data() + pos;
  }

 private:
  const Bytes& old_;
};
class Gathered : public ByteSink {
 public:
  Bytes bytes;

 protected:
  int Put(const uint8_t* data, uint32_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return 1;
  }
};

struct Pair {
  const char* what;
  Bytes old_data;
  Bytes new_data;
  size_t at_most;  // bytes of delta data the pair may take
};

TEST(Delta, RoundTripsOverPairs) {
  const Bytes exe = Head("/proc/self/exe", 60000);
  Bytes one = exe;
  one[31337] ^= 0x5A;
  const Bytes text = TextLike(20000, 4);
  const std::vector<Pair> pairs = {
      {"identical", exe, exe, 64},
      {"one byte changed", exe, one, 80},
      {"code moved", exe, Moved(exe), 2000},
      {"grown", exe, Cat({Slice(exe, 0, 30000), text, Slice(exe, 30000, 60000), text}), 14000},
      {"shrunk", exe, Cat({Slice(exe, 0, 20000), Slice(exe, 45000, 60000)}), 200},
      {"empty old file", {}, text, 14000},
      {"empty new file", exe, {}, kDeltaHeaderSize + 4},
      {"both empty", {}, {}, kDeltaHeaderSize + 4},
      {"unrelated", RandomBytes(5000, 1), RandomBytes(7000, 2), 7200},
      {"real: two programs", Head(LZCX_BINARY, 150000), Head("/proc/self/exe", 150000), 150000},
      {"beyond a piece", Cat({text, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe,
                              exe, exe, exe, exe, exe, exe, exe}),
       Cat({exe, exe, exe, text, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe, exe,
            exe, exe, one, text}),
       2000},
  };
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.what);
    Bytes container;
    PayloadEntry e;
    MakeEntry(p.old_data, p.new_data, &container, &e);
    printf("%-20s %7zu -> %7zu bytes against %zu\n", p.what, p.new_data.size(),
           static_cast<size_t>(e.size), p.old_data.size());
    EXPECT_LE(e.size, p.at_most);
    EXPECT_TRUE(CheckDeltaEntry(e));
    Bytes out(p.new_data.size() + 1, 0xEE);
    DeltaFault fault = kDeltaDamaged;
    ASSERT_TRUE(ApplyDelta(p.old_data.data(), static_cast<uint32_t>(p.old_data.size()), e,
                           out.data(), &fault))
        << DeltaFaultText(fault);
    EXPECT_EQ(fault, kDeltaFine);
    EXPECT_EQ(out.back(), 0xEE);  // nothing written past the end
    out.pop_back();
    EXPECT_TRUE(out == p.new_data);
    Stingy old(p.old_data);
    Gathered made;
    ASSERT_EQ(StreamDelta(e, &old, &made), kDeltaFine);
    EXPECT_TRUE(made.bytes == p.new_data);
    EXPECT_EQ(made.crc, e.new_crc);
  }
}

// A wrong old file, by the decoder and by a whole patch of a folder: the
// patch is refused before anything is written, with the folder as it was;
// the right one is patched.
TEST(Delta, WrongOldFileIsRefused) {
  const Bytes old_data = TextLike(5000, 3);
  Bytes new_data = old_data;
  new_data[100] = '#';
  Bytes container;
  PayloadEntry e;
  MakeEntry(old_data, new_data, &container, &e);
  Bytes changed = old_data;
  changed[4999] ^= 1;
  const struct {
    const char* what;
    bool present;
    Bytes old_data;
  } cases[] = {{"missing byte", true, Slice(old_data, 0, 4999)},
               {"byte more", true, Cat({old_data, Bytes{0}})},
               {"same size, other CRC", true, changed},
               {"empty", true, {}},
               {"no file", false, {}},
               {"the right one", true, old_data}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool right = c.present && c.old_data == old_data;
    Bytes out(new_data.size(), 0xEE);
    DeltaFault fault = kDeltaFine;
    EXPECT_EQ(DeltaOldMatches(e, c.old_data.data(), static_cast<uint32_t>(c.old_data.size())),
              right);
    EXPECT_EQ(ApplyDelta(c.old_data.data(), static_cast<uint32_t>(c.old_data.size()), e,
                         out.data(), &fault), right);
    if (!right) {
      EXPECT_EQ(fault, kDeltaOldDiffers);
      EXPECT_EQ(out, Bytes(new_data.size(), 0xEE));  // refused before any write
    }
    // The same through the applier, beside an entry it would write first.
    ScratchDir dir;
    if (c.present) {
      ASSERT_TRUE(WriteFileBytes(dir.Join("Vusk.exe"), c.old_data));
    }
    const Bytes payload = MakeContainer({{"readme.txt", 0, TextLike(30, 4)},
                                         {"vusk.exe", kDeltaForm, Bytes(e.data, e.data + e.size)}});
    FileOps ops;
    ApplyStatus status;
    char why[512] = "";
    const int applied =
        ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, why, sizeof why, &status);
    EXPECT_EQ(applied, right) << why;
    EXPECT_EQ(status, right ? kApplyPatched : kApplyOldFileMismatch) << why;
    Bytes now;
    EXPECT_EQ(dir.Names().size(), c.present ? 1u + right : 0u);
    if (c.present) {
      ASSERT_TRUE(ReadFileBytes(dir.Join("Vusk.exe"), &now));
      EXPECT_TRUE(now == (right ? new_data : c.old_data));
    }
  }
}

// Every bit flip and every cut of a delta entry's data (its record's CRC
// made to match, as if the damage came before the packer sealed it) is
// refused by the apply or makes the very file, and the apply never writes
// outside its output; the check without the old file never accepts a
// stream the apply rejects as damaged. Three entries: one whose inserted
// bytes are text (coded), one whose inserted bytes are noise (raw), and an
// executable-aware one (a library whose data moved).
TEST(Delta, DamagedEntriesAreRefused) {
  for (int kind = 0; kind < 3; ++kind) {
    Bytes old_data = Head("/proc/self/exe", 3000), new_data;
    if (kind < 2) {
      const Bytes inserted = kind ? RandomBytes(200, 6) : TextLike(200, 6);
      new_data = Cat({Slice(old_data, 0, 1500), inserted, Slice(old_data, 1600, 3000)});
      new_data[2500] ^= 0x11;
    } else {
      ASSERT_TRUE(ReadFileBytes(std::string(EXE_PAIRS) + "/x86-old.dll", &old_data));
      ASSERT_TRUE(ReadFileBytes(std::string(EXE_PAIRS) + "/x86-moved.dll", &new_data));
    }
    Bytes data;
    DataForm form = kFormDelta;
    ASSERT_TRUE(EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                            &data, nullptr, &form));
    ASSERT_EQ(form, kind < 2 ? kFormDelta : kFormExeDelta);
    size_t accepted = 0, cases = 0;
    auto sweep = [&](const Bytes& damaged) {
      ++cases;
      const Bytes container = MakeContainer({{"vusk.exe", FormField(form), damaged}});
      PayloadReader reader(container.data(), container.size());
      PayloadEntry e;
      if (!reader.Start() || !reader.Next(&e)) return;
      const uint32_t old_size = static_cast<uint32_t>(old_data.size());
      const bool old_matches = DeltaOldMatches(e, old_data.data(), old_size);
      Bytes out(e.expanded_length < 100000 ? e.expanded_length + 16 : 16, 0xEE);
      DeltaFault fault = kDeltaFine;
      const bool checked = CheckDeltaEntry(e);
      if (e.expanded_length < 100000) {
        const bool applied = ApplyDelta(old_data.data(), old_size, e, out.data(), &fault);
        // The last bytes of the code have slack: a change there that still
        // makes the very same file is harmless (the CRC-32C says so).
        if (applied && memcmp(out.data(), new_data.data(), new_data.size()) != 0) ++accepted;
        for (size_t i = e.expanded_length; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE);
        if (old_matches && fault == kDeltaDamaged) {
          EXPECT_FALSE(checked);
        }
      }
    };
    for (size_t at = 0; at < data.size(); ++at)
      for (int bit = 0; bit < 8 && (at < 12 || at >= 16); ++bit) {  // but the reserved field
        Bytes b = data;
        b[at] ^= static_cast<uint8_t>(1 << bit);
        sweep(b);
      }
    for (size_t length = 0; length < data.size(); ++length) sweep(Slice(data, 0, length));
    EXPECT_EQ(accepted, 0u);
    printf("%s entry of %zu bytes: %zu damaged forms, none made a wrong file\n",
           DataFormName(form), data.size(), cases);
  }
}

// lzcx.exe's own suffix sort against the plain definition: the suffixes
// in byte order, a suffix before any longer one it begins.
TEST(Delta, SuffixSortByDoublingSortsSuffixes) {
  Bytes runs(300, 'a');
  runs[150] = 'b';
  const Bytes inputs[] = {{}, {7}, RandomBytes(500, 3), TextLike(800, 2), runs,
                          Cat({TextLike(200, 5), TextLike(200, 5)})};
  for (const Bytes& in : inputs) {
    const int32_t n = static_cast<int32_t>(in.size());
    std::vector<int32_t> sa(in.size() + 1), expected(in.size());
    for (int32_t i = 0; i < n; ++i) expected[i] = i;
    std::sort(expected.begin(), expected.end(), [&](int32_t a, int32_t b) {
      return std::lexicographical_compare(in.begin() + a, in.end(), in.begin() + b, in.end());
    });
    ASSERT_TRUE(SortSuffixesByDoubling(in.data(), n, sa.data()));
    sa.resize(in.size());
    EXPECT_EQ(sa, expected) << in.size() << " bytes";
  }
}

// pack --from: old files found whatever their letter case; an entry is a
// delta where that is smaller, a block where there is no old file or the
// new file has nothing in common with it.
TEST(Delta, PackFromChoosesTheSmallerForm) {
  ScratchDir old_dir, new_dir;
  const Bytes exe = Head("/proc/self/exe", 40000);
  Bytes new_exe = exe;
  new_exe[1234] ^= 0x40;
  const struct {
    const char* name;
    const char* old_name;  // null: none in the old release
    Bytes old_data, new_data;
    uint32_t form;
  } files[] = {
      {"vusk.exe", "VUSK.EXE", exe, new_exe, kDeltaForm},
      {"notes.txt", nullptr, {}, TextLike(3000, 1), kStrongForm},
      {"orvcore.dll", "orvcore.dll", RandomBytes(3000, 5), TextLike(3000, 2), kStrongForm},
  };
  std::vector<PackFile> pack;
  for (const auto& f : files) {
    ASSERT_TRUE(WriteFileBytes(new_dir.Join(f.name), f.new_data));
    if (f.old_name) {
      ASSERT_TRUE(WriteFileBytes(old_dir.Join(f.old_name), f.old_data));
    }
    pack.push_back(PackFile{new_dir.Join(f.name), f.name});
  }
  PackOptions options;
  options.report = false;
  options.from = old_dir.path().c_str();
  VectorSink sink;
  std::string why;
  ASSERT_TRUE(PackPayload(pack, options, &sink, &why)) << why;
  ASSERT_TRUE(CheckPayloadIntegrity(sink.bytes.data(), sink.bytes.size(), nullptr, nullptr, 0));
  PayloadReader reader(sink.bytes.data(), sink.bytes.size());
  ASSERT_TRUE(reader.Start());
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    PayloadEntry e;
    ASSERT_TRUE(reader.Next(&e));
    EXPECT_EQ(e.compressed, f.form);
    if (!IsDelta(e)) continue;
    EXPECT_LT(e.size, 100u);
    Bytes out(e.expanded_length);
    ASSERT_TRUE(ApplyDelta(f.old_data.data(), static_cast<uint32_t>(f.old_data.size()), e,
                           out.data()));
    EXPECT_TRUE(out == f.new_data);
  }
  // An OLD_DIR that is no folder is refused, and nothing written.
  const std::string output = new_dir.Join("out.lzcx"), input = new_dir.Join("vusk.exe");
  for (std::string from : {old_dir.Join("missing"), old_dir.Join("VUSK.EXE")}) {
    const char* argv[] = {"pack", "-q", "--from", from.c_str(), "-o", output.c_str(), input.c_str()};
    EXPECT_EQ(PackCommand(*FindCommand("pack"), 7, const_cast<char**>(argv)), 1) << from;
  }
  EXPECT_EQ(new_dir.Names().size(), 3u);
}

}  // namespace
