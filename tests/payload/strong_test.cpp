// Strong entries: groups of files through the packer's encoder and back
// through the streaming decoder, and damaged entries refused.
#include "payload/strong.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>

#include "lzcx/strong_encoder.h"
#include "payload/crc32c.h"
#include "support/payload_builder.h"

namespace {

// Keeps what it takes and the largest piece it was handed.
class Collect : public ByteSink {
 public:
  Bytes bytes;
  uint32_t largest = 0;

 protected:
  int Put(const uint8_t* data, uint32_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    largest = std::max(largest, size);
    return 1;
  }
};

// Calls and jumps among plain instruction bytes, many to the same few
// targets, as in a program's code.
Bytes CodeLike(size_t size, uint32_t seed) {
  Bytes out;
  uint32_t x = seed * 2654435761u + 1;
  auto next = [&x]() { return x = x * 1103515245u + 12345u, x >> 16; };
  while (out.size() < size) {
    const uint32_t kind = next() % 8;
    if (kind < 2) {
      const uint32_t target = 0x1000 + 64 * (next() % 40);
      const uint32_t rel = target - static_cast<uint32_t>(out.size()) - 5;
      out.push_back(0xE8);
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(rel >> 8 * i));
    } else if (kind < 5) {
      const uint8_t ops[][3] = {{0x8B, 0x45, 0xF8}, {0x89, 0x4D, 0xFC}, {0x83, 0xC4, 0x10}};
      const uint8_t* op = ops[next() % 3];
      out.insert(out.end(), op, op + 3);
    } else {
      out.push_back(static_cast<uint8_t>(0x50 + next() % 8));
    }
  }
  out.resize(size);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A group encoded, one entry per file.
std::vector<Bytes> Encode(const std::vector<Bytes>& files, const StrongSettings& settings) {
  Bytes group;
  for (const Bytes& f : files) group.insert(group.end(), f.begin(), f.end());
  StrongEncoder encoder(settings, group.data(), group.size());
  std::vector<Bytes> entries;
  for (const Bytes& f : files) {
    Bytes entry;
    EXPECT_TRUE(encoder.EncodeNext(static_cast<uint32_t>(f.size()), Crc32c(0, f.data(), f.size()),
                                   nullptr, 0, &entry));
    entries.push_back(entry);
  }
  return entries;
}

struct Case {
  const char* name;
  std::vector<Bytes> files;
  int window_log;
};

// Every case at both levels, decoded entry by entry by one decoder: the
// very files, in pieces never larger than the window, each entry as long
// as ever its file (a file repeated in the group costs next to nothing).
TEST(Strong, GroupsRoundTrip) {
  const Bytes text = TextLike(60000, 3);
  const Bytes code = CodeLike(50000, 4);
  const Case cases[] = {
      {"empty", {{}}, 12},
      {"one byte", {{42}}, 12},
      {"random", {RandomBytes(20000, 1)}, 15},
      {"text", {text}, 16},
      {"code", {code}, 16},
      {"group with a repeat", {text, {}, code, {7}, text, code}, 18},
      {"window wraps", {Cat({text, code, text, RandomBytes(3000, 9), code})}, 12},
      {"small window, many files", {code, text, code, Bytes(10000, 0), text}, 13},
      {"long run", {Bytes(200000, 'a')}, 12},
  };
  for (const Case& c : cases) {
    for (int level : {1, 9}) {
      SCOPED_TRACE(std::string(c.name) + (level == 1 ? " level 1" : " level 9"));
      StrongSettings settings;
      settings.level = level;
      settings.window_log = c.window_log;
      const std::vector<Bytes> entries = Encode(c.files, settings);
      StrongDecoder decoder;
      size_t total = 0;
      for (size_t i = 0; i < entries.size(); ++i) {
        Collect sink;
        ASSERT_EQ(
            decoder.Decode(entries[i].data(), static_cast<uint32_t>(entries[i].size()), &sink),
            kStrongFine);
        ASSERT_EQ(sink.bytes, c.files[i]);
        EXPECT_LE(sink.largest, std::min(1u << c.window_log, kStreamPiece));
        StrongHeader h;
        ASSERT_TRUE(
            ReadStrongHeader(entries[i].data(), static_cast<uint32_t>(entries[i].size()), &h));
        EXPECT_EQ(h.crc, sink.crc);
        EXPECT_EQ(h.continues, i > 0);
        // A file seen before in the group, whole and within the window.
        size_t back = 0;
        for (size_t j = i; j-- > 0 && c.files[i].size() > 1000;) {
          back += c.files[j].size();
          if (c.files[j] == c.files[i] && back < (1u << c.window_log)) {
            EXPECT_LT(h.code_size, level == 1 ? 64u : 24u);
          }
        }
        total += entries[i].size();
      }
      printf("%-26s level %d: %zu bytes\n", c.name, level, total);
    }
  }
}

// Every cut and every bit flip of a group's second entry, decoded after
// its first: refused, or bytes whose CRC-32C is not the file's (the code's
// last bytes have slack, so a flip there may make the very file); never a
// crash. Without its first entry, the second is unchained.
TEST(Strong, DamageIsRefused) {
  const std::vector<Bytes> files = {TextLike(3000, 5), Cat({CodeLike(1500, 6), TextLike(800, 5)})};
  StrongSettings settings;
  settings.window_log = 12;
  const std::vector<Bytes> entries = Encode(files, settings);
  const uint32_t crc = Crc32c(0, files[1].data(), files[1].size());
  size_t cases = 0, wrong = 0;
  auto sweep = [&](const Bytes& damaged) {
    ++cases;
    StrongDecoder decoder;
    Collect first, second;
    ASSERT_EQ(decoder.Decode(entries[0].data(), static_cast<uint32_t>(entries[0].size()), &first),
              kStrongFine);
    const StrongFault fault =
        decoder.Decode(damaged.data(), static_cast<uint32_t>(damaged.size()), &second);
    if (fault == kStrongFine && second.crc == crc && second.bytes != files[1]) ++wrong;
    EXPECT_TRUE(fault == kStrongDamaged || fault == kStrongFine || fault == kStrongUnchained);
    // After a fault the group is gone.
    if (fault != kStrongFine) {
      Collect again;
      EXPECT_EQ(decoder.Decode(entries[1].data(), static_cast<uint32_t>(entries[1].size()), &again),
                kStrongUnchained);
    }
  };
  const Bytes& data = entries[1];
  for (size_t at = 0; at < data.size(); ++at)
    for (int bit = 0; bit < 8 && (at < 12 || at >= 16); ++bit) {
      Bytes b = data;
      b[at] ^= static_cast<uint8_t>(1 << bit);
      sweep(b);
    }
  for (size_t length = 0; length < data.size(); ++length)
    sweep(Bytes(data.begin(), data.begin() + static_cast<long>(length)));
  EXPECT_EQ(wrong, 0u);
  StrongDecoder alone;
  Collect sink;
  EXPECT_EQ(alone.Decode(data.data(), static_cast<uint32_t>(data.size()), &sink), kStrongUnchained);
  printf("strong entry of %zu bytes: %zu damaged forms\n", data.size(), cases);
}

}  // namespace
