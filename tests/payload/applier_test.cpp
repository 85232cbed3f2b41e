#include "payload/applier.h"

#include <gtest/gtest.h>

#include <map>

#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

typedef std::map<std::string, Bytes> Snapshot;

Snapshot Take(const ScratchDir& dir) {
  Snapshot s;
  for (const std::string& name : dir.Names()) {
    Bytes b;
    ReadFileBytes(dir.Join(name), &b);
    s[name] = b;
  }
  return s;
}

// An installation: the files a patch replaces, and one it must not touch.
void Install(const ScratchDir& dir) {
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.exe"), TextLike(5000, 1)));
  ASSERT_TRUE(WriteFileBytes(dir.Join("orvcore.dll"), TextLike(3000, 2)));
  ASSERT_TRUE(WriteFileBytes(dir.Join("settings.ini"), TextLike(100, 3)));
}

struct Release {
  Bytes exe = TextLike(6000, 11);
  Bytes dll = RandomBytes(2500, 12);
  Bytes help = TextLike(800, 13);
  Bytes empty;
  Bytes Payload() const {
    return MakeContainer({{"vusk.exe", 1, GreedyBlock(exe)},
                          {"orvcore.dll", 1, GreedyBlock(dll)},
                          {"vusk.hlp", 0, help},
                          {"empty.dat", 1, StoredBlock(empty)}});
  }
  Snapshot After(Snapshot before) const {
    before["vusk.exe"] = exe;
    before["orvcore.dll"] = dll;
    before["vusk.hlp"] = help;
    before["empty.dat"] = empty;
    return before;
  }
};

int Apply(const Bytes& payload, const ScratchDir& dir, FileOps& ops, std::string* why = nullptr) {
  char fault[512] = "";
  int ok = ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault, sizeof fault);
  if (why) *why = fault;
  return ok;
}

int Apply(const Bytes& payload, const ScratchDir& dir, std::string* why = nullptr) {
  FileOps ops;
  return Apply(payload, dir, ops, why);
}

TEST(ApplyPayload, WritesEveryEntryAndNothingElse) {
  ScratchDir dir;
  Install(dir);
  Release release;
  Snapshot before = Take(dir);
  std::string why;
  ASSERT_TRUE(Apply(release.Payload(), dir, &why)) << why;
  EXPECT_EQ(Take(dir), release.After(before));
  // Applying again over the new files gives the same result.
  ASSERT_TRUE(Apply(release.Payload(), dir, &why)) << why;
  EXPECT_EQ(Take(dir), release.After(before));
}

TEST(ApplyPayload, FailsWithTheDirectoryUnchanged) {
  Release release;
  Bytes good = release.Payload();
  // The third entry's block decodes one byte short of its length.
  Bytes short_block = GreedyBlock(release.dll);
  short_block[4] += 1;
  std::vector<Bytes> bad = {
      MakeContainer({{"vusk.exe", 1, GreedyBlock(release.exe)},
                     {"orvcore.dll", 0, release.dll},
                     {"orvtext.dll", 1, short_block}}),
      // The last entry's name would leave the directory.
      MakeContainer({{"vusk.exe", 1, GreedyBlock(release.exe)}, {"..", 0, {1}}}),
      MakeContainer({{"vusk.exe", 0, release.exe}, {"sub/evil.dll", 0, {1}}}),
      MakeContainer({{"vusk.exe", 0, release.exe}, {"..\\evil.dll", 0, {1}}}),
      MakeContainer({{"vusk.exe", 0, release.exe}, {"c:evil.dll", 0, {1}}}),
      // The count promises one more entry than there is.
      MakeContainerWithCount(5, {{"vusk.exe", 1, GreedyBlock(release.exe)},
                                 {"orvcore.dll", 0, release.dll}}),
      MakeContainerWithCount(0, {}),
      MakeContainerWithCount(-1, {{"vusk.exe", 0, release.exe}}),
      // A count that would need gigabytes of entry records.
      MakeContainerWithCount(0x7fffffff, {{"vusk.exe", 0, release.exe}}),
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    ScratchDir dir;
    Install(dir);
    Snapshot before = Take(dir);
    std::string why;
    EXPECT_FALSE(Apply(bad[i], dir, &why)) << i;
    EXPECT_FALSE(why.empty()) << i;
    EXPECT_EQ(Take(dir), before) << i << ": " << why;
  }
}

TEST(ApplyPayload, ReadOnlyTargetFailsWithTheDirectoryUnchanged) {
  ScratchDir dir;
  Install(dir);
  ASSERT_TRUE(SetReadOnly(dir.Join("orvcore.dll"), true));
  Snapshot before = Take(dir);
  std::string why;
  EXPECT_FALSE(Apply(Release().Payload(), dir, &why));
  EXPECT_NE(why.find("orvcore.dll"), std::string::npos) << why;
  EXPECT_EQ(Take(dir), before);
  // Once the cause is gone, the same patch goes through.
  ASSERT_TRUE(SetReadOnly(dir.Join("orvcore.dll"), false));
  EXPECT_TRUE(Apply(Release().Payload(), dir, &why)) << why;
  EXPECT_EQ(Take(dir), Release().After(before));
}

TEST(ApplyPayload, DirectoryInPlaceOfATargetFails) {
  ScratchDir dir;
  Install(dir);
  ASSERT_TRUE(MakeDirectory(dir.Join("vusk.hlp")));
  Snapshot before = Take(dir);
  EXPECT_FALSE(Apply(Release().Payload(), dir));
  EXPECT_EQ(Take(dir), before);
}

TEST(ApplyPayload, PathsLongerThanTheLimitFailBeforeWriting) {
  ScratchDir dir;
  std::string deep = dir.path();
  while (deep.size() < 230) {
    deep += "dddddddddd";
    ASSERT_TRUE(MakeDirectory(deep));
    deep += platform::kPathSeparator;
  }
  // A name that makes the path exactly 259 characters is fine; one more
  // character fails the whole patch before anything is written.
  const std::string longest(259 - deep.size(), 'n');
  ASSERT_LE(longest.size(), 29u);
  FileOps ops;
  char fault[300];
  Bytes fits = MakeContainer({{"a", 0, {1}}, {longest, 0, {2}}});
  EXPECT_TRUE(ApplyPayload(fits.data(), fits.size(), deep.c_str(), ops, fault, sizeof fault)) << fault;
  EXPECT_EQ(platform::ExamineTarget((deep + longest).c_str()), platform::kTargetReplaceable);
  ASSERT_TRUE(platform::RemoveFile((deep + "a").c_str()));
  Bytes too_long = MakeContainer({{"a", 0, {1}}, {longest + "n", 0, {2}}});
  EXPECT_FALSE(ApplyPayload(too_long.data(), too_long.size(), deep.c_str(), ops, fault, sizeof fault));
  EXPECT_EQ(platform::ExamineTarget((deep + "a").c_str()), platform::kTargetMissing);
}

// Fails the n-th call of one kind of file operation.
class FaultyOps : public FileOps {
 public:
  enum Kind { kCreate, kWrite, kClose, kRename, kKinds };
  FaultyOps(Kind kind, int nth) : kind_(kind), nth_(nth) {}

  platform::File* CreateNew(const char* path) override {
    return Hit(kCreate) ? nullptr : FileOps::CreateNew(path);
  }
  uint32_t Write(platform::File* file, const void* data, uint32_t size) override {
    if (!Hit(kWrite)) return FileOps::Write(file, data, size);
    return FileOps::Write(file, data, size / 2) ;  // a short write
  }
  int Close(platform::File* file) override {
    int ok = FileOps::Close(file);
    return Hit(kClose) ? 0 : ok;
  }
  int Rename(const char* from, const char* to, int replace) override {
    return Hit(kRename) ? 0 : FileOps::Rename(from, to, replace);
  }
  bool fired() const { return fired_; }

 private:
  bool Hit(Kind kind) {
    if (kind != kind_ || seen_++ != nth_) return false;
    fired_ = true;
    return true;
  }
  Kind kind_;
  int nth_;
  int seen_ = 0;
  bool fired_ = false;
};

TEST(ApplyPayload, AnyFailedFileOperationLeavesTheDirectoryUnchanged) {
  Release release;
  const Bytes payload = release.Payload();
  for (int kind = 0; kind < FaultyOps::kKinds; ++kind) {
    int failures = 0;
    for (int nth = 0;; ++nth) {
      ScratchDir dir;
      Install(dir);
      Snapshot before = Take(dir);
      FaultyOps ops(static_cast<FaultyOps::Kind>(kind), nth);
      std::string why;
      int ok = Apply(payload, dir, ops, &why);
      if (!ops.fired()) {
        // Past the last call of this kind: the patch goes through.
        EXPECT_TRUE(ok) << why;
        EXPECT_EQ(Take(dir), release.After(before));
        break;
      }
      ++failures;
      EXPECT_FALSE(ok) << "kind " << kind << " call " << nth;
      EXPECT_EQ(Take(dir), before) << "kind " << kind << " call " << nth << ": " << why;
    }
    EXPECT_GE(failures, 3) << "kind " << kind;
  }
}

TEST(ApplyPayload, EmptyDirectoryMeansTheCurrentDirectory) {
  ScratchDir dir;
  char saved[1024];
  ASSERT_TRUE(GetWorkingDirectory(saved, sizeof saved));
  ASSERT_TRUE(SetWorkingDirectory(dir.path().c_str()));
  Bytes payload = MakeContainer({{"x.dat", 0, {7}}});
  FileOps ops;
  const int ok = ApplyPayload(payload.data(), payload.size(), "", ops);
  ASSERT_TRUE(SetWorkingDirectory(saved));
  EXPECT_TRUE(ok);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"x.dat"});
}

TEST(VerifyPayload, DecodesEverythingAndWritesNothing) {
  Release release;
  Bytes payload = release.Payload();
  uint64_t total = 0;
  char fault[300];
  EXPECT_TRUE(VerifyPayload(payload.data(), payload.size(), "", fault, sizeof fault, &total));
  EXPECT_EQ(total, release.exe.size() + release.dll.size() + release.help.size());
  Bytes bad = MakeContainer({{"vusk.exe", 1, MakeBlock(9, CodedBody({Item::Match(3, 1)}))}});
  EXPECT_FALSE(VerifyPayload(bad.data(), bad.size(), "", fault, sizeof fault));
  EXPECT_NE(std::string(fault).find("vusk.exe"), std::string::npos);
}

}  // namespace
