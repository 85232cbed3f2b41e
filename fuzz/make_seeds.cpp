// Writes the seed corpora of the fuzzers: a few valid and damaged payloads
// and blocks, item streams, and patcher executables.
// Usage: make_seeds PAYLOAD_DIR ITEMS_DIR PE_DIR DELTA_DIR STRONG_DIR
#include <stdio.h>

#include <string>
#include <vector>

#include "lzcx/pe_image.h"
#include "lzcx/delta_encoder.h"
#include "lzcx/strong_encoder.h"
#include "payload/container.h"
#include "payload/delta.h"
#include "support/elf_builder.h"
#include "support/payload_builder.h"
#include "support/pe_builder.h"
#include "support/scratch.h"

static Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const std::string payloads = std::string(argv[1]) + "/";
  const std::string items = std::string(argv[2]) + "/";
  const std::string executables = std::string(argv[3]) + "/";
  const std::string deltas = std::string(argv[4]) + "/";
  const std::string strong = std::string(argv[5]) + "/";
  int n = 0;
  auto put = [&](const std::string& dir, const Bytes& bytes) {
    WriteFileBytes(dir + "seed" + std::to_string(n++), bytes);
  };
  Bytes text = TextLike(2000, 1), random = RandomBytes(300, 2);
  Bytes run(500, 'r');
  put(payloads, MakeContainer({{"vusk.exe", 1, GreedyBlock(text)},
                               {"orvcore.dll", 1, GreedyBlock(random)},
                               {"vusk.hlp", 0, TextLike(100, 3)}}));
  put(payloads, MakeContainer({{"a", 1, GreedyBlock(run)}, {"b", 1, StoredBlock({})}}));
  put(payloads, Sealed(MakeContainer({{"vusk.exe", 1, GreedyBlock(text)},
                                      {"\xc3\xa9.txt", 0, TextLike(50, 4)}})));
  put(payloads, GreedyBlock(text));
  put(payloads, GreedyBlock(run));
  put(payloads, MakeBlock(12, {0x00, 0x82, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0x02, 0x04}));
  // A damaged block that a later entry of the same name replaces: never decoded.
  put(payloads, Sealed(MakeContainer({{"a", 1, MakeBlock(16, {0x01, 0x00, 0x0f, 0x10})},
                                      {"A", 0, TextLike(40, 5)}})));
  // Delta entries: a payload with one, and for the delta fuzzer, streams
  // under their old files (byte 0 even) and old/new pairs (odd).
  Bytes old_text = Bytes(text.begin(), text.begin() + 120);
  Bytes new_text = old_text;
  new_text[30] ^= 1;
  new_text.insert(new_text.begin() + 60, random.begin(), random.begin() + 20);
  Bytes delta;
  EncodeDelta(old_text.data(), old_text.size(), new_text.data(), new_text.size(), &delta);
  put(payloads, Sealed(MakeContainer({{"vusk.exe", kDeltaForm, delta},
                                      {"vusk.hlp", 1, GreedyBlock(text)}})));
  {
    // Made from two old releases: the delta for the first, the file whole
    // for the second.
    Bytes bases;
    PayloadWriter writer(
        [](void* out, const void* data, size_t size) {
          const uint8_t* p = static_cast<const uint8_t*>(data);
          static_cast<Bytes*>(out)->insert(static_cast<Bytes*>(out)->end(), p, p + size);
          return 1;
        },
        &bases);
    writer.Begin(4);
    writer.AddBases("1.23/1.24");
    writer.Add("vusk.exe", kFormDelta, delta.data(), static_cast<uint32_t>(delta.size()), 1);
    writer.Add("vusk.exe", kFormStored, new_text.data(), static_cast<uint32_t>(new_text.size()), 2);
    writer.Add("vusk.hlp", kFormStored, text.data(), static_cast<uint32_t>(text.size()));
    writer.End();
    put(payloads, bases);
  }
  Bytes stream = {static_cast<uint8_t>(old_text.size() << 1),
                  static_cast<uint8_t>(new_text.size()), static_cast<uint8_t>(new_text.size() >> 8)};
  stream.insert(stream.end(), old_text.begin(), old_text.end());
  stream.insert(stream.end(), delta.begin() + kDeltaHeaderSize, delta.end());
  put(deltas, stream);
  stream[2] |= 0x80;  // the same stream read as executable-aware
  put(deltas, stream);
  // Two releases of a small executable, the second with its code and
  // pointers moved, for the executable-aware encoder.
  TestPeLayout small;
  small.payload = text;
  Bytes old_exe = MakeTestPatcher(small).image;
  Bytes new_exe = old_exe;
  for (size_t at = 0x200; at + 5 <= 0x220; at += 5) PutLe(&new_exe, at, 0x000010E8u, 4);
  new_exe.insert(new_exe.begin() + 0x400, random.begin(), random.begin() + 16);
  // The old file padded until byte 1 splits the pair exactly there.
  for (int split = -1; split < 0; old_exe.push_back(0)) {
    const size_t size = 2 + old_exe.size() + new_exe.size();
    for (int d = 0; d < 256 && split < 0; ++d)
      if (1 + (size - 1) * d / 256 == 2 + old_exe.size()) split = d;
    if (split >= 0) put(deltas, Cat({{1, static_cast<uint8_t>(split)}, old_exe, new_exe}));
  }
  Bytes pair = {1, 100};
  pair.insert(pair.end(), text.begin(), text.begin() + 300);
  pair.insert(pair.end(), text.begin() + 50, text.begin() + 250);
  put(deltas, pair);
  put(items, Bytes(text.begin(), text.begin() + 200));
  Bytes ops = {3};
  for (int i = 0; i < 64; ++i) {
    ops.push_back(static_cast<uint8_t>('a' + i % 7));
    ops.push_back(static_cast<uint8_t>(0x80 | (i % 16)));
    ops.push_back(static_cast<uint8_t>(i));
  }
  put(items, ops);
  for (int shape = 0; shape < 4; ++shape) {
    TestPeLayout layout;
    layout.plus = shape & 1;
    layout.relocations = shape != 2;
    layout.payload = shape == 0 ? Bytes() : GreedyBlock(text);
    if (shape == 2) layout.manifest = "";
    if (shape == 3) layout.certificate = RandomBytes(64, 3);
    put(executables, MakeTestPatcher(layout).image);
  }
  // Hostile: the headers moved into the certificate.
  TestPeLayout hostile;
  hostile.payload = GreedyBlock(text);
  hostile.certificate = RandomBytes(512, 4);
  put(executables, WithHeadersInCertificate(MakeTestPatcher(hostile)));
  // A patcher as lzcx makes one (its checksum set), one bit of code flipped.
  std::vector<uint8_t> made;
  std::string why;
  const Bytes stub = MakeTestPatcher(TestPeLayout()).image;
  if (!ReplacePayloadResource(stub.data(), stub.size(), text.data(), text.size(), &made, &why))
    return 1;
  made.at(0x200) ^= 0x08;
  put(executables, Bytes(made.begin(), made.end()));
  // ELF: i386 and x86-64, with calls in their code, the second with
  // no section headers.
  for (int wide = 0; wide < 2; ++wide) {
    TestElf elf = MakeTestElf(wide, wide ? 62 : 3);
    for (size_t at = 0x200; at + 5 <= 0x280; at += 7) PutLe(&elf.image, at, 0xFFFFF0E8u, 4);
    if (wide) PutLe(&elf.image, 60, 0, 2);
    put(executables, elf.image);
  }
  // Strong: a group of two entries as the decoding half takes them (a
  // little-endian u16 where the first ends), and two files to round-trip.
  const Bytes files[2] = {TextLike(1500, 7), Cat({TextLike(700, 7), random})};
  Bytes group = Cat({files[0], files[1]});
  StrongSettings settings;
  settings.window_log = 12;
  StrongEncoder encoder(settings, group.data(), group.size());
  std::vector<uint8_t> entries[2];
  for (int i = 0; i < 2; ++i)
    encoder.EncodeNext(static_cast<uint32_t>(files[i].size()), 0, nullptr, 0, &entries[i]);
  const size_t first = entries[0].size();
  put(strong, Cat({{0, static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8)},
                   Bytes(entries[0].begin(), entries[0].end()),
                   Bytes(entries[1].begin(), entries[1].end())}));
  put(strong, Cat({{1, 128}, group}));
  put(strong, Cat({{3, 40}, run, text}));
  return 0;
}
