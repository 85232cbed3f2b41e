// The formats pinned from outside: a payload and two journals kept as bytes
// (golden/, its README says how they were made), read with the product's
// readers and checked against fields written here from the format, then
// written again by the writers, which must give the same bytes. A change
// made to a writer and its reader together fails here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload/byte_order.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/entries.h"
#include "payload/journal.h"
#include "payload/strong.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

Bytes Golden(const char* file) {
  Bytes bytes;
  EXPECT_TRUE(ReadFileBytes(std::string(PATCHER_GOLDEN_DIR) + file, &bytes)) << file;
  return bytes;
}

// The writers' bytes must be the golden ones. With PATCHER_GOLDEN_WRITE=DIR
// they are written to DIR instead, to remake the files after a deliberate
// change of format.
void ExpectWrittenAsGolden(const char* file, const Bytes& golden, const Bytes& written) {
  if (const char* dir = getenv("PATCHER_GOLDEN_WRITE")) {
    EXPECT_TRUE(WriteFileBytes(std::string(dir) + "/" + file, written));
    return;
  }
  EXPECT_EQ(written, golden) << file << ": the writer no longer writes the golden bytes";
}

// A release file's text: numbered lines naming the file and its version.
Bytes Lines(const char* file, const char* version, int count) {
  std::string text;
  char line[64];
  for (int i = 0; i < count; ++i) {
    snprintf(line, sizeof line, "%s %s, line %02d\r\n", file, version, i);
    text += line;
  }
  return Bytes(text.begin(), text.end());
}

Bytes Text(const char* text) { return Bytes(text, text + strlen(text)); }

// payload.bin's delta entry's data, its seal mark cleared (as written
// before sealing), for the payloads that carry it again.
Bytes FirstDelta() {
  const Bytes first = Golden("payload.bin");
  PayloadReader reader(first.data(), first.size());
  PayloadEntry e;
  const bool read = reader.Start() && reader.Next(&e) && e.size >= kSealOffset + 4;
  EXPECT_TRUE(read);
  if (!read) return {};
  Bytes delta(e.data, e.data + e.size);
  std::fill(delta.begin() + kSealOffset, delta.begin() + kSealOffset + 4, 0);
  return delta;
}

struct GoldenEntry {
  const char* name;
  uint32_t form_word;  // the header's compressed field
  DataForm form;
  uint32_t size;       // of the data as stored
  Bytes expanded;
  uint32_t expanded_crc;  // CRC-32C of `expanded`, worked out apart (bit by bit)
};

// payload.bin: one entry of each form, a block coded and one stored.
const Bytes kOldExe = Lines("Vusk.exe", "1.24", 10);
const uint32_t kOldExeCrc = 0x67F64A45;
const std::vector<GoldenEntry> kEntries = {
    {"vusk.exe", kDeltaForm, kFormDelta, 47, Lines("Vusk.exe", "1.25", 12), 0x8F7C2D72},
    {"orvcore.dll", 1, kFormBlock, 126, Lines("orvcore.dll", "1.25", 16), 0xC2DF8ECC},
    {"orvtext.dll", 1, kFormBlock, 32, Text("orvtext.dll 1.25"), 0x351F6695},
    {"vusk.hlp", 0, kFormStored, 21, Text("Tessaline 1.25 help\r\n"), 0xCE7FED44},
};

int Append(void* bytes, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(bytes)->insert(static_cast<Bytes*>(bytes)->end(), p, p + size);
  return 1;
}

// The payload lzcx writes of kEntries holding `data`: sealed, with its
// trailer.
Bytes WritePayload(const std::vector<Bytes>& data) {
  Bytes out;
  PayloadWriter writer(Append, &out);
  EXPECT_TRUE(writer.Begin(static_cast<int32_t>(data.size())));
  for (size_t i = 0; i < data.size(); ++i)
    EXPECT_TRUE(writer.Add(kEntries[i].name, kEntries[i].form, data[i].data(),
                           static_cast<uint32_t>(data[i].size())));
  EXPECT_TRUE(writer.End());
  return out;
}

TEST(GoldenPayload, ReadAsTheFormatSaysAndWrittenAgain) {
  const Bytes golden = Golden("payload.bin");
  ASSERT_FALSE(golden.empty());
  const uint32_t n = static_cast<uint32_t>(kEntries.size());
  PayloadIntegrity integrity;
  char fault[256] = "";
  ASSERT_TRUE(CheckPayloadIntegrity(golden.data(), golden.size(), &integrity, fault,
                                    sizeof fault))
      << fault;
  EXPECT_TRUE(integrity.checksums);
  EXPECT_EQ(integrity.count, static_cast<int32_t>(n));
  ASSERT_EQ(integrity.entries_end + 24 + 4 * n, golden.size());

  // The trailer, field by field.
  const uint8_t* trailer = golden.data() + integrity.entries_end;
  const uint32_t trailer_size = 24 + 4 * n;
  EXPECT_EQ(memcmp(trailer, "LZCT", 4), 0);
  EXPECT_EQ(ReadLe32(trailer + 4), 1u);
  EXPECT_EQ(ReadLe32(trailer + 8), n);
  EXPECT_EQ(ReadLe32(trailer + 12 + 4 * n), Crc32c(0, trailer, 12 + 4 * n));
  EXPECT_EQ(ReadLe32(trailer + 16 + 4 * n), trailer_size);
  EXPECT_EQ(memcmp(trailer + 20 + 4 * n, "LZCT", 4), 0);

  EXPECT_EQ(ReadLe32(golden.data()), n);
  PayloadReader reader(golden.data(), golden.size());
  ASSERT_TRUE(reader.Start());
  std::vector<Bytes> inputs;
  for (uint32_t i = 0; i < n; ++i) {
    const GoldenEntry& want = kEntries[i];
    SCOPED_TRACE(want.name);
    PayloadEntry e;
    ASSERT_TRUE(reader.Next(&e)) << reader.fault_text();
    const uint8_t* record = e.data - kEntryHeaderSize;
    EXPECT_STREQ(reinterpret_cast<const char*>(record), want.name);
    EXPECT_EQ(ReadLe32(record + 30), want.form_word);
    EXPECT_EQ(ReadLe32(record + 34), want.size);
    EXPECT_EQ(EntryForm(e), want.form);
    EXPECT_EQ(e.expanded_length, want.expanded.size());
    EXPECT_EQ(ReadLe32(trailer + 12 + 4 * i), Crc32c(0, record, kEntryHeaderSize + e.size));
    if (want.form != kFormStored) {
      EXPECT_EQ(memcmp(e.data + 12, "LZCT", 4), 0);
    }
    if (want.form == kFormBlock) {
      EXPECT_EQ(ReadLe32(e.data + 4), want.expanded.size());
      EXPECT_EQ(ReadLe32(e.data + 8), e.size);
    }
    if (want.form == kFormDelta) {
      EXPECT_EQ(ReadLe32(e.data), kOldExe.size());
      EXPECT_EQ(ReadLe32(e.data + 4), want.expanded.size());
      EXPECT_EQ(ReadLe32(e.data + 8), kOldExeCrc);
      EXPECT_EQ(ReadLe32(e.data + 16), want.expanded_crc);
    }
    const uint8_t* bytes;
    uint8_t* buffer;
    ASSERT_TRUE(EntryBytes(e, kOldExe.data(), static_cast<uint32_t>(kOldExe.size()), &bytes,
                           &buffer, fault, sizeof fault))
        << fault;
    const Bytes expanded(bytes, bytes + e.expanded_length);
    free(buffer);
    EXPECT_EQ(expanded, want.expanded);
    EXPECT_EQ(Crc32c(0, expanded.data(), expanded.size()), want.expanded_crc);
    // The writer's input: the data as its encoder gave it, reserved word 0.
    Bytes data(e.data, e.data + e.size);
    if (want.form != kFormStored) memset(data.data() + 12, 0, 4);
    inputs.push_back(data);
  }
  EXPECT_EQ(reader.offset(), integrity.entries_end);
  ExpectWrittenAsGolden("payload.bin", golden, WritePayload(inputs));
}

// tree-payload.bin: a short plain name (the first form), a long name and
// payload.bin's delta in a folder (extended, kind 1), and the removal
// (kind 2) of an old file over 4 GB.
TEST(GoldenPayload, TreeReadAsTheFormatSaysAndWrittenAgain) {
  const Bytes golden = Golden("tree-payload.bin"), delta = FirstDelta();
  const struct {
    const char* path;
    uint8_t kind;  // 0: the first form
    DataForm form;
    Bytes data, expanded;
  } want[] = {{"vusk.hlp", 0, kFormStored, Text("help 1.26"), Text("help 1.26")},
              {"api-ms-win-core-synch-l1-2-0.dll", 1, kFormStored, Text("shim"), Text("shim")},
              {"bin/vusk.exe", 1, kFormDelta, delta, Lines("Vusk.exe", "1.25", 12)},
              {"plugins/old.dll", 2, kFormNone, {}, {}}};
  Bytes written;
  PayloadWriter writer(Append, &written);
  writer.Begin(4);
  for (const auto& w : want)
    w.kind == 2 ? writer.AddRemoval(w.path, 0x100000010ull, 0x12345678)
                : writer.Add(w.path, w.form, w.data.data(), static_cast<uint32_t>(w.data.size()));
  EXPECT_TRUE(writer.End());
  ExpectWrittenAsGolden("tree-payload.bin", golden, written);

  PayloadIntegrity integrity;
  ASSERT_TRUE(CheckPayloadIntegrity(golden.data(), golden.size(), &integrity, nullptr, 0));
  PayloadReader reader(golden.data(), golden.size());
  PayloadEntry e;
  ASSERT_TRUE(reader.Start());
  size_t at = 4;
  int i = 0;
  for (const auto& w : want) {
    SCOPED_TRACE(w.path);
    const uint8_t* h = &golden.at(at);
    const size_t n = strlen(w.path), path = w.kind ? n + 1 : 0;
    Bytes field(30, 0);  // 0, kind, the path's length, zeros
    field[1] = w.kind;
    field[2] = static_cast<uint8_t>(n);
    if (w.kind) {
      EXPECT_EQ(Bytes(h, h + 30), field);
    }
    EXPECT_EQ(memcmp(h + (w.kind ? 38 : 0), w.path, n + 1), 0);
    EXPECT_EQ(ReadLe32(h + 30), FormField(w.form == kFormNone ? kFormStored : w.form));
    const size_t record = 38 + path + ReadLe32(h + 34);
    EXPECT_EQ(ReadLe32(&golden.at(integrity.entries_end + 12 + 4 * i++)), Crc32c(0, h, record));
    ASSERT_TRUE(reader.Next(&e)) << reader.fault_text();
    EXPECT_STREQ(e.name, w.path);
    EXPECT_EQ(e.data, h + 38 + path);
    at += record;
    if (e.removal) {
      EXPECT_EQ(Bytes(e.data, e.data + 12),
                Bytes({0x10, 0, 0, 0, 1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
      continue;
    }
    const uint8_t* bytes;
    uint8_t* buffer;
    ASSERT_TRUE(EntryBytes(e, kOldExe.data(), uint32_t(kOldExe.size()), &bytes, &buffer, nullptr, 0));
    EXPECT_EQ(Bytes(bytes, bytes + e.expanded_length), w.expanded);
    free(buffer);
  }
  EXPECT_EQ(at, integrity.entries_end);
  EXPECT_TRUE(integrity.checksums);
}

// bases-payload.bin: made from two old releases, "1.23" and "1.24": the
// bases entry (kind 3) first; vusk.exe as payload.bin's delta for 1.23
// (bases byte 1) and stored for 1.24 (2); vusk.hlp for both in the first
// form; and the removal of 1.24's old.dll.
TEST(GoldenPayload, BasesReadAsTheFormatSaysAndWrittenAgain) {
  const Bytes golden = Golden("bases-payload.bin"), delta = FirstDelta();
  const Bytes exe = Lines("Vusk.exe", "1.25", 12), help = Text("help 1.26");
  Bytes written;
  PayloadWriter writer(Append, &written);
  writer.Begin(5);
  EXPECT_TRUE(writer.AddBases("1.23/1.24"));
  EXPECT_TRUE(writer.Add("vusk.exe", kFormDelta, delta.data(), uint32_t(delta.size()), 1));
  EXPECT_TRUE(writer.Add("vusk.exe", kFormStored, exe.data(), uint32_t(exe.size()), 2));
  EXPECT_TRUE(writer.Add("vusk.hlp", kFormStored, help.data(), uint32_t(help.size())));
  EXPECT_TRUE(writer.AddRemoval("old.dll", 5, 0x12345678, 2));
  EXPECT_TRUE(writer.End());
  ExpectWrittenAsGolden("bases-payload.bin", golden, written);

  // The headers byte by byte: 0, kind, the path's length, the bases byte,
  // zeros; the compressed field and the size; the path and its NUL.
  const struct {
    const char* path;
    uint8_t kind, bases;  // kind 0: the first form
    uint32_t field, size;
  } want[] = {{"1.23/1.24", 3, 0, 0, 0},
              {"vusk.exe", 1, 1, kDeltaForm, uint32_t(delta.size())},
              {"vusk.exe", 1, 2, 0, uint32_t(exe.size())},
              {"vusk.hlp", 0, 0, 0, uint32_t(help.size())},
              {"old.dll", 2, 2, 0, 12}};
  PayloadIntegrity integrity;
  ASSERT_TRUE(CheckPayloadIntegrity(golden.data(), golden.size(), &integrity, nullptr, 0));
  EXPECT_TRUE(integrity.checksums);
  EXPECT_EQ(ReadLe32(golden.data()), 5u);
  PayloadReader reader(golden.data(), golden.size());
  PayloadEntry e;
  ASSERT_TRUE(reader.Start());
  size_t at = 4;
  for (const auto& w : want) {
    SCOPED_TRACE(w.path);
    const uint8_t* h = &golden.at(at);
    const size_t n = strlen(w.path), path = w.kind ? n + 1 : 0;
    if (w.kind) {
      Bytes field(30, 0);
      field[1] = w.kind;
      field[2] = static_cast<uint8_t>(n);
      field[4] = w.bases;
      EXPECT_EQ(Bytes(h, h + 30), field);
    }
    EXPECT_EQ(memcmp(h + (w.kind ? 38 : 0), w.path, n + 1), 0);
    EXPECT_EQ(ReadLe32(h + 30), w.field);
    EXPECT_EQ(ReadLe32(h + 34), w.size);
    ASSERT_TRUE(reader.Next(&e)) << reader.fault_text();
    EXPECT_STREQ(e.name, w.path);
    EXPECT_EQ(e.bases, w.bases);
    EXPECT_EQ(e.names_bases, w.kind == 3);
    // Every entry but the one for every base needs a reader of bases.
    EXPECT_EQ((EntryNeeds(e) >> FORM_BASES) & 1, w.kind == 3 || w.bases ? 1u : 0u);
    at += 38 + path + w.size;
  }
  EXPECT_EQ(at, integrity.entries_end);
  EXPECT_EQ(reader.bases(), 2);

  // Each base's entries: 1.23 makes vusk.exe from its old file, 1.24 has
  // it whole and loses old.dll.
  PatchEntries entries;
  char fault[256] = "";
  ASSERT_TRUE(entries.Read(golden.data(), golden.size(), nullptr, fault, sizeof fault)) << fault;
  EXPECT_EQ(entries.bases(), 2);
  EXPECT_EQ(entries.all_count(), 4);
  const std::vector<std::string> forms[] = {
      {"vusk.exe delta", "vusk.hlp stored"},
      {"old.dll removal", "vusk.exe stored", "vusk.hlp stored"}};
  for (int base = 0; base < 2; ++base) {
    ASSERT_TRUE(entries.Select(base, fault, sizeof fault)) << fault;
    std::vector<std::string> got;
    for (int i = 0; i < entries.count(); ++i)
      got.push_back(std::string(entries[i].name) + " " + EntryFormName(entries[i]));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, forms[base]) << base;
  }
  ASSERT_TRUE(entries.Select(0, fault, sizeof fault));
  const uint8_t* bytes;
  uint8_t* buffer;
  ASSERT_TRUE(entries.Bytes(0, kOldExe.data(), uint32_t(kOldExe.size()), &bytes, &buffer, fault,
                            sizeof fault)) << fault;
  EXPECT_EQ(Bytes(bytes, bytes + entries[0].expanded_length), exe);
  free(buffer);
}

// The journals of one interrupted patch: vusk.exe and vusk.hlp moved aside
// (the help's old file over 4 GB, so the old size's high word counts),
// orvtext.dll new.
const JournalStep kSteps[] = {
    {0, 1, 288, 0x8F7C2D72, 240, 0x67F64A45, {0x0000000100000802ull, 0x00000000004F21A3ull},
     "Vusk.exe", kStepFile},
    {2, kNoFile, 16, 0x351F6695, 0, 0, {0, 0}, "orvtext.dll", kStepFile},
    {3, 4, 21, 0xCE7FED44, 0x100000010ull, 0x12345678, {0x8877665544332211ull, 7},
     "vusk.hlp", kStepFile},
};
const int kStepCount = sizeof kSteps / sizeof *kSteps;

struct GoldenJournal {
  const char* file;
  int format;
  JournalPhase phase;
  uint32_t phase_word;  // the format's number of the phase
  size_t step_header;   // bytes of a step before its name
};

// x86-like code: a header, then 40 calls (E8) among 4 targets, each after
// three bytes of prologue, then padding.
Bytes CallingCode() {
  Bytes b(64, 'H');
  for (uint32_t i = 0; i < 40; ++i) {
    b.insert(b.end(), {0x55, 0x8B, 0xEC});
    const uint32_t rel = 0x40 + 16 * (i % 4) - static_cast<uint32_t>(b.size() + 5);
    b.insert(b.end(), {0xE8, uint8_t(rel), uint8_t(rel >> 8), uint8_t(rel >> 16), uint8_t(rel >> 24)});
  }
  b.insert(b.end(), 32, 0xCC);
  return b;
}

// A solid group of three strong entries with a stored block between the
// second and the third: code with one range, a text, and the text again.
// Decoded in any order (a group from its start when an entry comes out of
// turn), each header read as docs/strong.md says and written again alike.
TEST(GoldenPayload, StrongGroupReadAsTheFormatSays) {
  const Bytes payload = Golden("strong-payload.bin");
  PatchEntries entries;
  char fault[256] = "";
  ASSERT_TRUE(entries.Read(payload.data(), payload.size(), nullptr, fault, sizeof fault)) << fault;
  ASSERT_EQ(entries.count(), 4);
  const struct {
    const char* name;
    DataForm form;
    bool continues;
    Bytes expanded;
    int ranges;
  } want[] = {{"vusk.exe", kFormStrong, false, CallingCode(), 1},
              {"readme.txt", kFormStrong, true, Lines("readme.txt", "1.26", 20), 0},
              {"orvtext.dll", kFormBlock, false, Text("orvtext.dll 1.26"), 0},
              {"copy.txt", kFormStrong, true, Lines("readme.txt", "1.26", 20), 0}};
  for (int i : {3, 0, 1, 2, 3}) {
    const PayloadEntry& e = entries[i];
    SCOPED_TRACE(e.name);
    EXPECT_STREQ(e.name, want[i].name);
    EXPECT_EQ(EntryForm(e), want[i].form);
    EXPECT_EQ(e.continues, want[i].continues);
    const uint8_t* bytes = nullptr;
    uint8_t* buffer = nullptr;
    ASSERT_TRUE(entries.Bytes(i, nullptr, 0, &bytes, &buffer, fault, sizeof fault)) << fault;
    EXPECT_TRUE(Bytes(bytes, bytes + e.expanded_length) == want[i].expanded);
    free(buffer);
    if (want[i].form != kFormStrong) continue;
    StrongHeader h;
    ASSERT_TRUE(ReadStrongHeader(e.data, e.size, &h));
    EXPECT_EQ(h.size, want[i].expanded.size());
    EXPECT_EQ(h.crc, ReadLe32(e.data + 4));
    EXPECT_EQ(e.new_crc, Crc32c(0, want[i].expanded.data(), want[i].expanded.size()));
    EXPECT_EQ(h.lc * 100 + h.lp * 10 + h.pb, 301);
    EXPECT_EQ(h.window_log, 12);
    ASSERT_EQ(h.ranges_count, want[i].ranges);
    if (h.ranges_count) {
      EXPECT_EQ(h.ranges[0].start, 64u);
      EXPECT_EQ(h.ranges[0].length, 320u);
      EXPECT_EQ(h.ranges[0].address, 0x1040u);
    }
    Bytes header(kStrongHeaderSize + 12 * h.ranges_count);
    ASSERT_EQ(WriteStrongHeader(header.data(), h), header.size());
    std::copy(kTrailerMagic, kTrailerMagic + 4, header.begin() + kSealOffset);
    EXPECT_TRUE(header == Bytes(e.data, e.data + header.size()));
  }
  // The repeated text costs its header and a few bytes of code.
  EXPECT_LT(entries[3].size, kStrongHeaderSize + 12);
}

TEST(GoldenJournal, ReadAsTheFormatSaysAndWrittenAgain) {
  const GoldenJournal cases[] = {
      {"journal-ptj2-rollback.bin", 2, kPhaseRollBack, 3, 29},
      {"journal-ptj3-commit.bin", 3, kPhaseCommit, 2, 45},
  };
  for (const GoldenJournal& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes golden = Golden(c.file);
    size_t size = 16 + 4;
    for (const JournalStep& s : kSteps) size += c.step_header + strlen(s.name);
    ASSERT_EQ(golden.size(), size);
    EXPECT_EQ(memcmp(golden.data(), c.format == 2 ? "PTJ2" : "PTJ3", 4), 0);
    EXPECT_EQ(ReadLe32(&golden[4]), size);
    EXPECT_EQ(ReadLe32(&golden[8]), c.phase_word);
    EXPECT_EQ(ReadLe32(&golden[12]), static_cast<uint32_t>(kStepCount));
    EXPECT_EQ(golden[16 + c.step_header - 1], strlen(kSteps[0].name));
    EXPECT_EQ(memcmp(&golden[16 + c.step_header], kSteps[0].name, strlen(kSteps[0].name)), 0);
    EXPECT_EQ(ReadLe32(&golden[size - 4]), Crc32c(0, golden.data(), size - 4));

    JournalPhase phase;
    JournalStep* steps = nullptr;
    int count = 0;
    ASSERT_TRUE(DecodeJournal(golden.data(), golden.size(), &phase, &steps, &count));
    EXPECT_EQ(phase, c.phase);
    ASSERT_EQ(count, kStepCount);
    for (int i = 0; i < kStepCount; ++i) {
      const JournalStep& want = kSteps[i];
      const JournalStep& got = steps[i];
      SCOPED_TRACE(want.name);
      EXPECT_STREQ(got.name, want.name);
      EXPECT_EQ(got.temp, want.temp);
      EXPECT_EQ(got.backup, want.backup);
      EXPECT_EQ(got.new_size, want.new_size);
      EXPECT_EQ(got.new_crc, want.new_crc);
      EXPECT_EQ(got.old_size, want.old_size);
      EXPECT_EQ(got.old_crc, want.old_crc);
      // The second format has no identity: it reads as not known.
      EXPECT_EQ(got.old_id[0], c.format == 2 ? 0 : want.old_id[0]);
      EXPECT_EQ(got.old_id[1], c.format == 2 ? 0 : want.old_id[1]);
    }
    free(steps);

    uint8_t* written = EncodeJournal(c.phase, kSteps, kStepCount, &size, c.format);
    ASSERT_NE(written, nullptr);
    ExpectWrittenAsGolden(c.file, golden, Bytes(written, written + size));
    free(written);
  }
}

// journal-ptj4-commit.bin: a file replaced, a folder made, a file removed
// (moved to its backup), a new file at a path of 275 bytes; read as the
// format says, written again, and each step a kind does not allow refused.
TEST(GoldenJournal, TreeStepsInTheFourthFormat) {
  std::vector<JournalStep> steps = {kSteps[0], {}, {}, kSteps[1]};
  steps[1] = {kNoFile, kNoFile, 0, 0, 0, 0, {0, 0}, "plugins/sub", kStepFolder};
  steps[2] = {kNoFile, 2, 0, 0, 0x100000010ull, 0x12345678, {7, 8}, "plugins/old.dll", kStepRemoval};
  steps[3].temp = 3;
  snprintf(steps[3].name, sizeof steps[3].name, "plugins/sub/%s/api.dll", std::string(255, 'd').c_str());
  const Bytes golden = Golden("journal-ptj4-commit.bin");
  size_t size = 0, at = 16;
  uint8_t* written = EncodeJournal(kPhaseCommit, steps.data(), int(steps.size()), &size);
  ExpectWrittenAsGolden("journal-ptj4-commit.bin", golden, Bytes(written, written + size));
  free(written);
  EXPECT_EQ(memcmp(golden.data(), "PTJ4", 4), 0);
  for (const JournalStep& s : steps) {
    EXPECT_EQ(ReadLe32(&golden.at(at + 4)), s.backup);
    EXPECT_EQ(golden.at(at + 44), s.kind);
    EXPECT_EQ(ReadLe16(&golden.at(at + 45)), strlen(s.name));
    EXPECT_EQ(memcmp(&golden.at(at + 47), s.name, strlen(s.name)), 0);
    at += 47 + strlen(s.name);
  }
  EXPECT_EQ(ReadLe32(&golden.at(at)), Crc32c(0, golden.data(), at));
  // The folder step (1) and the removal (2) as read, then each made wrong.
  const struct {
    int step;
    uint32_t temp, backup;
    uint8_t kind;
    const char* name;
  } cases[] = {{-1, 0, 0, 0, ""},
               {1, kNoFile, kNoFile, 3, "plugins/sub"},
               {1, 5, kNoFile, kStepFolder, "plugins/sub"},
               {1, kNoFile, 5, kStepFolder, "plugins/sub"},
               {2, 5, 2, kStepRemoval, "plugins/old.dll"},
               {2, kNoFile, 2, kStepFile, "plugins/old.dll"},
               {1, kNoFile, kNoFile, kStepFolder, "plugins//sub"}};
  for (const auto& c : cases) {
    std::vector<JournalStep> changed = steps;
    if (c.step >= 0) {
      JournalStep& s = changed[c.step];
      s.temp = c.temp, s.backup = c.backup, s.kind = c.kind;
      snprintf(s.name, sizeof s.name, "%s", c.name);
    }
    uint8_t* bytes = EncodeJournal(kPhaseCommit, changed.data(), int(changed.size()), &size);
    JournalPhase phase;
    JournalStep* read = nullptr;
    int count = 0;
    EXPECT_EQ(DecodeJournal(bytes, size, &phase, &read, &count), c.step < 0) << c.step << c.name;
    for (int i = 0; i < count; ++i) {
      EXPECT_STREQ(read[i].name, steps[i].name);
      EXPECT_EQ(read[i].kind, steps[i].kind);
      EXPECT_EQ(read[i].old_size, steps[i].old_size);
    }
    free(read);
    free(bytes);
  }
}

}  // namespace
