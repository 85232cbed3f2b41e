// A payload that lzcx pack made, damaged in every way a disk, a download or
// an editor damages files: every single-bit flip, every burst of up to four
// damaged bytes and every truncation. Each must be refused by verify and by
// extract, and extract must not touch the directory at all.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "lzcx/pack.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

// Counts every file operation; a refused payload must cause none, not even
// the opening of the directory.
class CountingOps : public FileOps {
 public:
  platform::Directory* Open(const char* path) override {
    ++calls;
    return FileOps::Open(path);
  }
  platform::TargetState Find(platform::Directory* dir, const char* name, char* found) override {
    ++calls;
    return FileOps::Find(dir, name, found);
  }
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    ++calls;
    return FileOps::CreateNew(dir, name);
  }
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    ++calls;
    return FileOps::Rename(dir, from, to, replace);
  }
  int RenameOpen(platform::Directory* dir, platform::File* file, const char* from,
                 const char* to) override {
    ++calls;
    return FileOps::RenameOpen(dir, file, from, to);
  }
  int Remove(platform::Directory* dir, const char* name) override {
    ++calls;
    return FileOps::Remove(dir, name);
  }
  int calls = 0;
};

Bytes Head(const char* path, size_t size) {
  Bytes all;
  if (!ReadFileBytes(path, &all) || all.size() < size) return TextLike(size, 5);
  all.resize(size);
  return all;
}

TEST(DamagedPayload, EveryFlipBurstAndTruncationIsRefused) {
  // A real payload: a piece of an executable, text, noise that is stored,
  // and an empty file.
  ScratchDir files;
  const std::vector<std::pair<std::string, Bytes>> release = {
      {"vusk.exe", Head("/proc/self/exe", 4000)},
      {"vusk.hlp", TextLike(1200, 1)},
      {"orvcore.dll", RandomBytes(60, 2)},
      {"empty.dat", {}}};
  std::vector<PackFile> pack;
  for (const auto& f : release) {
    ASSERT_TRUE(WriteFileBytes(files.Join(f.first), f.second));
    pack.push_back(PackFile{files.Join(f.first), f.first});
  }
  PackOptions options;
  options.report = false;
  VectorSink sink;
  std::string why;
  ASSERT_TRUE(PackPayload(pack, options, &sink, &why)) << why;
  const Bytes payload = sink.bytes;
  PayloadIntegrity integrity;
  ASSERT_TRUE(CheckPayloadIntegrity(payload.data(), payload.size(), &integrity, nullptr, 0));
  ASSERT_TRUE(integrity.checksums);

  ScratchDir target;
  const Bytes old_exe = TextLike(700, 3);
  ASSERT_TRUE(WriteFileBytes(target.Join("vusk.exe"), old_exe));
  std::vector<std::string> accepted;
  auto refused = [&](const Bytes& b, const std::string& what) {
    CountingOps ops;
    if (VerifyPayload(b.data(), b.size(), "") ||
        ApplyPayload(b.data(), b.size(), target.path().c_str(), ops) || ops.calls)
      accepted.push_back(what);
  };

  size_t flips = 0, bursts = 0, truncations = 0;
  for (size_t at = 0; at < payload.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit, ++flips) {
      Bytes b = payload;
      b[at] ^= static_cast<uint8_t>(1 << bit);
      refused(b, "bit " + std::to_string(bit) + " of byte " + std::to_string(at));
    }
  }
  // Bursts: each byte of the run changed, by patterns that vary with the
  // position (a burst of one byte is any change of that byte).
  const Bytes noise = RandomBytes(payload.size() + 4, 7);
  for (size_t length = 1; length <= 4; ++length) {
    for (size_t at = 0; at + length <= payload.size(); ++at, ++bursts) {
      Bytes b = payload;
      for (size_t k = 0; k < length; ++k) b[at + k] ^= static_cast<uint8_t>(noise[at + k] | 1);
      refused(b, std::to_string(length) + " bytes at " + std::to_string(at));
    }
  }
  for (size_t length = 0; length < payload.size(); ++length, ++truncations)
    refused(Bytes(payload.begin(), payload.begin() + length),
            "cut to " + std::to_string(length) + " bytes");

  EXPECT_TRUE(accepted.empty()) << accepted.size() << " accepted, the first: " << accepted[0];
  EXPECT_EQ(target.Names(), std::vector<std::string>{"vusk.exe"});
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(target.Join("vusk.exe"), &now));
  EXPECT_TRUE(now == old_exe);
  // The undamaged payload still applies.
  CountingOps ops;
  EXPECT_TRUE(ApplyPayload(payload.data(), payload.size(), target.path().c_str(), ops));
  printf("payload of %zu bytes: %zu bit flips, %zu bursts of 1-4 bytes, %zu truncations, "
         "all refused\n",
         payload.size(), flips, bursts, truncations);
}

}  // namespace
