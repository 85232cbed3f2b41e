#include "payload/applier.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include "applier_harness.h"
#include "payload/journal.h"

namespace {

void Install(const ScratchDir& dir) { Restore(dir, Installation()); }

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
      // Names the patch keeps for its journal and its temporary files.
      MakeContainer({{"vusk.exe", 0, release.exe}, {"~PTJRNL.TMP", 0, {1}}}),
      MakeContainer({{"vusk.exe", 0, release.exe}, {"~ptjrnl.new", 0, {1}}}),
      MakeContainer({{"vusk.exe", 0, release.exe}, {"~pT1234a.tmp", 0, {1}}}),
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
  Bytes written;
  EXPECT_TRUE(ReadFileBytes(deep + longest, &written));
  RemoveTree(deep + "a");
  Bytes too_long = MakeContainer({{"a", 0, {1}}, {longest + "n", 0, {2}}});
  EXPECT_FALSE(ApplyPayload(too_long.data(), too_long.size(), deep.c_str(), ops, fault, sizeof fault));
  EXPECT_FALSE(ReadFileBytes(deep + "a", &written));
}

int Recover(const ScratchDir& dir, std::string* why = nullptr) {
  FileOps ops;
  char fault[512] = "";
  const int result = RecoverDirectory(dir.path().c_str(), ops, fault, sizeof fault);
  if (why) *why = fault;
  return result;
}

// A single failed call of any kind: the patch fails with the directory as
// it was, or (a failure after every new file is in place) succeeds, and
// what it left is removed by the next run.
TEST(ApplyPayload, AnyFailedFileOperationLeavesTheDirectoryUnchanged) {
  Release release;
  const Bytes payload = release.Payload();
  for (int kind = 0; kind < ScriptedOps::kKinds; ++kind) {
    int failures = 0;
    for (int nth = 0;; ++nth) {
      ScratchDir dir(SweepParent());
      Install(dir);
      Snapshot before = Take(dir);
      ScriptedOps ops(static_cast<ScriptedOps::Kind>(kind), nth);
      std::string why;
      int ok = Apply(payload, dir, ops, &why);
      if (!ops.fired()) {
        // Past the last call of this kind: the patch goes through.
        EXPECT_TRUE(ok) << why;
        EXPECT_EQ(why, "");
        EXPECT_EQ(Take(dir), release.After(before));
        break;
      }
      const std::string where = "kind " + std::to_string(kind) + " call " + std::to_string(nth) + ": " + why;
      if (ok) {
        EXPECT_NE(Recover(dir), kRecoveryFailed) << where;
        EXPECT_EQ(Take(dir), release.After(before)) << where;
      } else {
        ++failures;
        EXPECT_EQ(why.find("needs recovery"), std::string::npos) << where;
        EXPECT_EQ(Take(dir), before) << where;
      }
    }
    // The journal is read only when there is one; a removal comes only
    // after the new files are in place, or in an undo.
    if (kind != ScriptedOps::kRead && kind != ScriptedOps::kRemove) {
      EXPECT_GE(failures, 1) << "kind " << kind;
    }
  }
}

// Every pair of failed calls. When undoing fails too, the patch says the
// directory needs recovery, and recovery leaves the old or the new files,
// never a mix and nothing of the patch's own.
TEST(ApplyPayload, TwoFailedCallsNeverLoseAFile) {
  Release release;
  const Bytes payload = release.Payload();
  Snapshot before = Installation(), after = release.After(before);
  ScriptedOps counter;
  {
    ScratchDir dir(SweepParent());
    Install(dir);
    ASSERT_TRUE(Apply(payload, dir, counter));
  }
  int clean = 0, patched = 0, needs_recovery = 0;
  Outcome recovered;
  for (long first = 0; first < counter.calls(); ++first) {
    for (long second = first + 1; second < counter.calls(); ++second) {
      ScratchDir dir(SweepParent());
      Install(dir);
      ScriptedOps ops;
      ops.fail = {first, second};
      std::string why;
      const int ok = Apply(payload, dir, ops, &why);
      const std::string where = std::to_string(first) + "+" + std::to_string(second) + ": " + why;
      if (!ok && why.find("needs recovery") == std::string::npos) {
        ++clean;
        EXPECT_EQ(Take(dir), before) << where;
        continue;
      }
      ++(ok ? patched : needs_recovery);
      EXPECT_NE(Recover(dir), kRecoveryFailed) << where;
      Snapshot now = Take(dir);
      if (ok) {
        EXPECT_EQ(now, after) << where;
      }
      recovered.Count(now, before, after);
    }
  }
  printf("double faults: %ld calls, %d pairs: %d failed cleanly, %d patched, %d needed recovery; "
         "after recovery %d old set, %d new set, %d with leftovers, %d mixed\n",
         counter.calls(), clean + patched + needs_recovery, clean, patched, needs_recovery,
         recovered.old_set, recovered.new_set, recovered.leftovers, recovered.mixed);
  EXPECT_GT(needs_recovery, 0);
  EXPECT_EQ(recovered.leftovers, 0);
  EXPECT_EQ(recovered.mixed, 0);
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
  // Only the last of two entries of one name is written, and counted.
  EXPECT_EQ(total, release.exe.size() + release.dll.size() + release.help.size() +
                       release.text.size());
  Bytes bad = MakeContainer({{"vusk.exe", 1, MakeBlock(9, CodedBody({Item::Match(3, 1)}))}});
  EXPECT_FALSE(VerifyPayload(bad.data(), bad.size(), "", fault, sizeof fault));
  EXPECT_NE(std::string(fault).find("vusk.exe"), std::string::npos);
}

}  // namespace
