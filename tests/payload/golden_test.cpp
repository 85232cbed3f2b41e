// The formats pinned from outside: a payload and two journals kept as bytes
// (golden/, its README says how they were made), read with the product's
// readers and checked against fields written here from the format, then
// written again by the writers, which must give the same bytes. A change
// made to a writer and its reader together fails here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/byte_order.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/entries.h"
#include "payload/journal.h"
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

// tree-payload.bin: a release with folders. A short plain name (the first
// form), a long one and a delta in a folder (extended, kind 1), and the
// removal of an old file over 4 GB (kind 2). The delta is payload.bin's.
const char kLongName[] = "api-ms-win-core-synch-l1-2-0.dll";
const uint64_t kRemovedSize = 0x100000010ull;
const uint32_t kRemovedCrc = 0x12345678;

Bytes GoldenDelta() {
  const Bytes golden = Golden("payload.bin");
  PayloadReader reader(golden.data(), golden.size());
  PayloadEntry e;
  if (!reader.Start() || !reader.Next(&e) || !IsDelta(e)) return Bytes();
  Bytes delta(e.data, e.data + e.size);
  for (int i = 12; i < 16; ++i) delta.at(i) = 0;  // the mark
  return delta;
}

Bytes WriteTreePayload(const Bytes& delta) {
  const Bytes help = Text("Tessaline 1.26 help\r\n"), shim = Text("synch shim 1.26");
  Bytes out;
  PayloadWriter writer(Append, &out);
  EXPECT_TRUE(writer.Begin(4));
  EXPECT_TRUE(writer.Add("vusk.hlp", kFormStored, help.data(), static_cast<uint32_t>(help.size())));
  EXPECT_TRUE(writer.Add(kLongName, kFormStored, shim.data(), static_cast<uint32_t>(shim.size())));
  EXPECT_TRUE(writer.Add("bin/vusk.exe", kFormDelta, delta.data(),
                         static_cast<uint32_t>(delta.size())));
  EXPECT_TRUE(writer.AddRemoval("plugins/old.dll", kRemovedSize, kRemovedCrc));
  EXPECT_TRUE(writer.End());
  return out;
}

TEST(GoldenPayload, TreeReadAsTheFormatSaysAndWrittenAgain) {
  const Bytes golden = Golden("tree-payload.bin");
  const Bytes delta = GoldenDelta();
  ASSERT_EQ(delta.size(), 47u);
  const struct {
    const char* path;
    uint8_t kind;  // 0: the first form
    uint32_t form_word, size;
    Bytes data;    // a stored entry's, or the delta's new file
  } want[] = {
      {"vusk.hlp", 0, 0, 21, Text("Tessaline 1.26 help\r\n")},
      {kLongName, 1, 0, 15, Text("synch shim 1.26")},
      {"bin/vusk.exe", 1, kDeltaForm, 47, Lines("Vusk.exe", "1.25", 12)},
      {"plugins/old.dll", 2, 0, 12, {}},
  };
  PayloadIntegrity integrity;
  char fault[256] = "";
  if (!golden.empty()) {
    ASSERT_TRUE(CheckPayloadIntegrity(golden.data(), golden.size(), &integrity, fault,
                                      sizeof fault))
        << fault;
    EXPECT_TRUE(integrity.checksums);
    ASSERT_EQ(integrity.entries_end + 24 + 4 * 4, golden.size());
    EXPECT_EQ(ReadLe32(golden.data()), 4u);
    const uint8_t* trailer = golden.data() + integrity.entries_end;
    size_t at = 4;
    PayloadReader reader(golden.data(), golden.size());
    ASSERT_TRUE(reader.Start());
    for (int i = 0; i < 4; ++i) {
      const auto& w = want[i];
      SCOPED_TRACE(w.path);
      const uint8_t* h = golden.data() + at;
      const size_t n = strlen(w.path);
      size_t data_at = at + 38;
      if (w.kind) {
        EXPECT_EQ(h[0], 0);
        EXPECT_EQ(h[1], w.kind);
        EXPECT_EQ(ReadLe16(h + 2), n);
        EXPECT_EQ(Bytes(h + 4, h + 30), Bytes(26, 0));
        EXPECT_EQ(memcmp(h + 38, w.path, n + 1), 0);
        data_at += n + 1;
      } else {
        EXPECT_STREQ(reinterpret_cast<const char*>(h), w.path);
      }
      EXPECT_EQ(ReadLe32(h + 30), w.form_word);
      EXPECT_EQ(ReadLe32(h + 34), w.size);
      const uint8_t* data = golden.data() + data_at;
      at = data_at + w.size;
      EXPECT_EQ(ReadLe32(trailer + 12 + 4 * i), Crc32c(0, h, at - (h - golden.data())));
      if (w.kind == 2) {
        EXPECT_EQ(ReadLe32(data) | uint64_t{ReadLe32(data + 4)} << 32, kRemovedSize);
        EXPECT_EQ(ReadLe32(data + 8), kRemovedCrc);
      }

      PayloadEntry e;
      ASSERT_TRUE(reader.Next(&e)) << reader.fault_text();
      EXPECT_STREQ(e.name, w.path);
      EXPECT_EQ(e.data, data);
      EXPECT_EQ(e.removal, w.kind == 2);
      if (e.removal) {
        EXPECT_EQ(e.old_size, kRemovedSize);
        EXPECT_EQ(e.old_crc, kRemovedCrc);
        continue;
      }
      const uint8_t* bytes;
      uint8_t* buffer;
      ASSERT_TRUE(EntryBytes(e, kOldExe.data(), static_cast<uint32_t>(kOldExe.size()), &bytes,
                             &buffer, fault, sizeof fault))
          << fault;
      EXPECT_EQ(Bytes(bytes, bytes + e.expanded_length), w.data);
      free(buffer);
    }
    EXPECT_EQ(at, integrity.entries_end);
    PatchEntries entries;
    ASSERT_TRUE(entries.Read(golden.data(), golden.size(), nullptr, fault, sizeof fault));
    EXPECT_EQ(PayloadNeeds(entries), FormBits(FORM_STORED, FORM_DELTA, FORM_PATHS, FORM_REMOVALS));
  }
  ExpectWrittenAsGolden("tree-payload.bin", golden, WriteTreePayload(delta));
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

// journal-ptj4-commit.bin: a patch of a tree in the commit phase: a file
// replaced, a folder made, a file removed (moved to its backup), and a
// new file at a path of 300 bytes.
std::vector<JournalStep> TreeSteps() {
  std::vector<JournalStep> steps(4);
  steps[0] = kSteps[0];
  steps[1].temp = steps[1].backup = steps[2].temp = kNoFile;
  steps[1].kind = kStepFolder;
  snprintf(steps[1].name, sizeof steps[1].name, "plugins/sub");
  steps[2].backup = 2;
  steps[2].old_size = 0x100000010ull;
  steps[2].old_crc = 0x12345678;
  steps[2].old_id[0] = 0x0000000100000803ull;
  steps[2].kind = kStepRemoval;
  snprintf(steps[2].name, sizeof steps[2].name, "plugins/old.dll");
  steps[3] = kSteps[1];
  steps[3].temp = 3;
  snprintf(steps[3].name, sizeof steps[3].name, "plugins/sub/%s/%s",
           std::string(255, 'd').c_str(), "api.dll");  // 275 bytes
  return steps;
}

// Each field as the format says, read back, written again; and each way a
// step can be wrong for its kind, refused.
TEST(GoldenJournal, TreeStepsInTheFourthFormat) {
  const std::vector<JournalStep> steps = TreeSteps();
  const Bytes golden = Golden("journal-ptj4-commit.bin");
  if (!golden.empty()) {
    EXPECT_EQ(memcmp(golden.data(), "PTJ4", 4), 0);
    EXPECT_EQ(ReadLe32(&golden[4]), golden.size());
    EXPECT_EQ(ReadLe32(&golden[8]), 2u);
    EXPECT_EQ(ReadLe32(&golden[12]), steps.size());
    size_t at = 16;
    for (const JournalStep& s : steps) {
      SCOPED_TRACE(s.name);
      ASSERT_LE(at + 47, golden.size());
      EXPECT_EQ(ReadLe32(&golden[at]), s.temp);
      EXPECT_EQ(ReadLe32(&golden[at + 4]), s.backup);
      EXPECT_EQ(ReadLe32(&golden[at + 16]) | uint64_t{ReadLe32(&golden[at + 20])} << 32,
                s.old_size);
      EXPECT_EQ(ReadLe32(&golden[at + 28]), static_cast<uint32_t>(s.old_id[0]));
      EXPECT_EQ(golden[at + 44], s.kind);
      EXPECT_EQ(ReadLe16(&golden[at + 45]), strlen(s.name));
      EXPECT_EQ(memcmp(&golden[at + 47], s.name, strlen(s.name)), 0);
      at += 47 + strlen(s.name);
    }
    EXPECT_EQ(at + 4, golden.size());
    EXPECT_EQ(ReadLe32(&golden[at]), Crc32c(0, golden.data(), at));

    JournalPhase phase;
    JournalStep* read = nullptr;
    int count = 0;
    ASSERT_TRUE(DecodeJournal(golden.data(), golden.size(), &phase, &read, &count));
    EXPECT_EQ(phase, kPhaseCommit);
    ASSERT_EQ(count, static_cast<int>(steps.size()));
    for (int i = 0; i < count; ++i) {
      EXPECT_STREQ(read[i].name, steps[i].name);
      EXPECT_EQ(read[i].kind, steps[i].kind);
      EXPECT_EQ(read[i].temp, steps[i].temp);
      EXPECT_EQ(read[i].backup, steps[i].backup);
      EXPECT_EQ(read[i].old_size, steps[i].old_size);
      EXPECT_EQ(read[i].old_crc, steps[i].old_crc);
    }
    free(read);
  }
  size_t size = 0;
  uint8_t* written = EncodeJournal(kPhaseCommit, steps.data(), static_cast<int>(steps.size()),
                                   &size);
  ASSERT_NE(written, nullptr);
  ExpectWrittenAsGolden("journal-ptj4-commit.bin", golden, Bytes(written, written + size));
  free(written);

  const struct {
    const char* what;
    void (*change)(JournalStep* s);  // of the second step, a folder
  } refused[] = {
      {"an unknown kind", [](JournalStep* s) { s->kind = 3; }},
      {"a folder with a temporary", [](JournalStep* s) { s->temp = 5; }},
      {"a folder with a backup", [](JournalStep* s) { s->backup = 5; }},
      {"a removal with a temporary",
       [](JournalStep* s) {
         s->kind = kStepRemoval;
         s->temp = 5;
       }},
      {"a file without a temporary", [](JournalStep* s) { s->kind = kStepFile; }},
      {"an empty folder name", [](JournalStep* s) { snprintf(s->name, 16, "plugins//sub"); }},
      {"no name", [](JournalStep* s) { s->name[0] = 0; }},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    std::vector<JournalStep> bad = steps;
    r.change(&bad[1]);
    uint8_t* bytes = EncodeJournal(kPhaseCommit, bad.data(), static_cast<int>(bad.size()), &size);
    ASSERT_NE(bytes, nullptr);
    JournalPhase phase;
    JournalStep* read = nullptr;
    int count = 0;
    EXPECT_FALSE(DecodeJournal(bytes, size, &phase, &read, &count));
    free(read);
    free(bytes);
  }
  // The folder's name made 1,024 bytes long, which the field holds, and
  // 1,025, which it does not.
  const size_t name_at = 16 + 47 + strlen(steps[0].name) + 47, old_n = strlen(steps[1].name);
  for (size_t n : {1024, 1025}) {
    SCOPED_TRACE(n);
    std::string path;
    while (path.size() < n) path += (path.empty() ? "" : "/") + std::string(200, 'p');
    path.resize(n);
    Bytes b(golden.begin(), golden.begin() + name_at);
    b.insert(b.end(), path.begin(), path.end());
    b.insert(b.end(), golden.begin() + name_at + old_n, golden.end() - 4);
    WriteLe16(&b[name_at - 2], static_cast<uint32_t>(n));
    WriteLe32(&b[4], static_cast<uint32_t>(b.size() + 4));
    PutLe32(&b, Crc32c(0, b.data(), b.size()));
    JournalPhase phase;
    JournalStep* read = nullptr;
    int count = 0;
    EXPECT_EQ(DecodeJournal(b.data(), b.size(), &phase, &read, &count), n <= 1024 ? 1 : 0);
    if (read) {
      EXPECT_EQ(read[1].name, path);
    }
    free(read);
  }
}

}  // namespace
