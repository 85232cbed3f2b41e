// What only the Windows file system shows: names that differ in case only,
// short names, files held open by another program, and (under Wine) Unix
// symbolic links.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <functional>

#include "applier_harness.h"
#include "payload/applier.h"
#include "payload/journal.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

int Apply(const Bytes& payload, const ScratchDir& dir) {
  FileOps ops;
  return ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops);
}

TEST(ApplyPayloadWin32, ReplacesAFileWhoseNameDiffersInCase) {
  ScratchDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join("Vusk.exe"), TextLike(4000, 1)));
  Bytes exe = TextLike(5000, 2);
  ASSERT_TRUE(Apply(MakeContainer({{"vusk.exe", 1, GreedyBlock(exe)}}), dir));
  ASSERT_EQ(dir.Names().size(), 1u);
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(dir.Join("VUSK.EXE"), &now));
  EXPECT_EQ(now, exe);
}

TEST(ApplyPayloadWin32, FileLockedByAnotherProgramFailsWithTheDirectoryUnchanged) {
  ScratchDir dir;
  const Bytes old_exe = TextLike(4000, 1), old_dll = TextLike(3000, 3);
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.exe"), old_exe));
  ASSERT_TRUE(WriteFileBytes(dir.Join("orvcore.dll"), old_dll));
  const Bytes payload = MakeContainer({{"vusk.exe", 1, GreedyBlock(TextLike(5000, 2))},
                                       {"orvcore.dll", 0, RandomBytes(100, 4)}});
  for (DWORD share : {0ul, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
    // Held without sharing, or without delete sharing (as a running program
    // holds its files): either way it cannot be replaced.
    HANDLE held = CreateFileA(dir.Join("orvcore.dll").c_str(), GENERIC_READ, share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Apply(payload, dir)) << share;
    FileOps ops;
    platform::Directory* d = ops.Open(dir.path().c_str());
    char found[platform::kPathBuffer];
    EXPECT_EQ(ops.Find(d, "orvcore.dll", found), platform::kTargetBlocked);
    EXPECT_EQ(ops.LastFailure().kind, platform::kFailureInUse) << share;
    ops.CloseDirectory(d);
    CloseHandle(held);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"orvcore.dll", "vusk.exe"}));
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(dir.Join("vusk.exe"), &now));
    EXPECT_EQ(now, old_exe);
    ASSERT_TRUE(ReadFileBytes(dir.Join("orvcore.dll"), &now));
    EXPECT_EQ(now, old_dll);
  }
  EXPECT_TRUE(Apply(payload, dir));
}

// An entry named by another file's short name ("VUSK-L~1.EXE" for
// "vusk-launcher.exe") would replace that file: it is refused. A journal
// naming the short name is no better: recovery takes it for nothing of
// the patch's, and the long-named file stays, though it holds exactly the
// bytes the journal calls new.
TEST(ApplyPayloadWin32, ShortNameOfAnotherFileIsRefused) {
  ScratchDir dir;
  const Bytes launcher = TextLike(3000, 5);
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk-launcher.exe"), launcher));
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(dir.Join("vusk-launcher.exe").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::string alias = data.cAlternateFileName;
  ASSERT_FALSE(alias.empty()) << "no short name";
  ASSERT_NE(GetFileAttributesA(dir.Join(alias).c_str()), INVALID_FILE_ATTRIBUTES) << alias;
  EXPECT_FALSE(Apply(MakeContainer({{"vusk.exe", 0, TextLike(100, 6)}, {alias, 0, TextLike(200, 7)}}),
                     dir));
  for (int phase : {0, static_cast<int>(kPhaseCommit), static_cast<int>(kPhaseRollBack)}) {
    if (phase) {
      ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName),
                                 MakeJournal(phase, {{0, 1, alias, launcher, nullptr}})));
      FileOps ops;
      RecoverDirectory(dir.path().c_str(), ops);
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"vusk-launcher.exe"}) << phase;
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(dir.Join("vusk-launcher.exe"), &now));
    EXPECT_EQ(now, launcher);
  }
}

// Under Wine a Unix symbolic link looks like a plain file or directory.
// The test's set-up made, in c:\.patcher-links: victim.txt, dir\vusk.exe
// (a link to ..\victim.txt) and linked (a link to the directory real).
TEST(ApplyPayloadWin32, UnixSymbolicLinksAreRefused) {
  const std::string links = "C:\\.patcher-links\\";
  Bytes victim;
  ASSERT_TRUE(ReadFileBytes(links + "victim.txt", &victim));
  ASSERT_FALSE(victim.empty());
  const Bytes payload = MakeContainer({{"vusk.exe", 0, TextLike(100, 8)}});
  FileOps ops;
  char fault[512] = "";
  // A target that leads out of its directory.
  EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), (links + "dir\\").c_str(), ops, fault,
                            sizeof fault));
  EXPECT_NE(std::string(fault).find("leads out"), std::string::npos) << fault;
  EXPECT_EQ(ListNames(links + "dir\\"), std::vector<std::string>{"vusk.exe"});
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(links + "victim.txt", &now));
  EXPECT_EQ(now, victim);
  // A directory that is a link, however many separators end its name.
  for (const char* spelling : {"linked\\", "linked\\\\"}) {
    EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), (links + spelling).c_str(), ops,
                              fault, sizeof fault)) << spelling;
    EXPECT_NE(std::string(fault).find("a link"), std::string::npos) << fault;
    EXPECT_TRUE(ListNames(links + "real\\").empty()) << spelling;
  }
  // The real directory itself is patched.
  EXPECT_TRUE(ApplyPayload(payload.data(), payload.size(), (links + "real\\").c_str(), ops,
                           fault, sizeof fault)) << fault;
  EXPECT_EQ(ListNames(links + "real\\"), std::vector<std::string>{"vusk.exe"});
}

// The real file operations; at the commit's first rename, `at_commit`
// runs once.
class CommitHook : public FileOps {
 public:
  explicit CommitHook(std::function<void()> at_commit) : at_commit_(at_commit) {}
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    if (at_commit_ && strncmp(from, "~ptjrnl", 7)) {
      auto run = at_commit_;
      at_commit_ = nullptr;
      run();
    }
    return FileOps::Rename(dir, from, to, replace);
  }

 private:
  std::function<void()> at_commit_;
};

// Two new files quarantined after staging (DeleteFileA, as a malware
// scanner would): the patch fails with every old file as it was; and a
// second patch of the directory started while the first one runs finds it
// locked and changes nothing.
TEST(ApplyPayloadWin32, VanishedTemporariesAndASecondPatchChangeNothing) {
  ScratchDir dir;
  const Snapshot before = {{"Vusk.exe", TextLike(4000, 1)}, {"orvcore.dll", TextLike(3000, 3)},
                           {"big.dat", TextLike(9000, 4)}};
  Restore(dir, before);
  const Bytes payload = MakeContainer({{"vusk.exe", 1, GreedyBlock(TextLike(5000, 2))},
                                       {"orvcore.dll", 0, RandomBytes(100, 5)},
                                       {"big.dat", 0, RandomBytes(700, 6)}});
  CommitHook quarantine([&] {
    for (const char* temp : {"~pt0002.tmp", "~pt0004.tmp"}) DeleteFileA(dir.Join(temp).c_str());
  });
  char fault[512] = "";
  ApplyStatus status;
  EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), quarantine, fault,
                            sizeof fault, &status));
  EXPECT_EQ(status, kApplyFailed) << fault;
  EXPECT_EQ(Take(dir), before) << fault;

  ApplyStatus second = kApplyPatched;
  CommitHook twice([&] {
    FileOps ops;
    ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, nullptr, 0, &second);
  });
  EXPECT_TRUE(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), twice, fault,
                           sizeof fault, &status)) << fault;
  EXPECT_EQ(second, kApplyBusy);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"Vusk.exe", "big.dat", "orvcore.dll"}));
}

// After staging, another program opens an old file without sharing its
// deletion: the commit cannot move it aside, and the patch goes back, an
// entry equal to its old file among them; the status says what happened.
// While it is held the next patch changes nothing; released, it patches.
TEST(ApplyPayloadWin32, OldFileHeldAtTheCommitChangesNothing) {
  ScratchDir dir;
  const Snapshot before = {{"Vusk.exe", TextLike(4000, 1)}, {"orvcore.dll", TextLike(3000, 3)},
                           {"orvtext.dll", TextLike(2000, 4)}};
  Restore(dir, before);
  const Bytes payload = MakeContainer({{"vusk.exe", 1, GreedyBlock(TextLike(5000, 2))},
                                       {"orvtext.dll", 0, before.at("orvtext.dll")},
                                       {"orvcore.dll", 0, RandomBytes(100, 5)},
                                       {"new.dat", 0, RandomBytes(700, 6)}});
  HANDLE held = INVALID_HANDLE_VALUE;
  CommitHook hold([&] {
    held = CreateFileA(dir.Join("orvcore.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  });
  char fault[512] = "";
  ApplyStatus status;
  EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), hold, fault,
                            sizeof fault, &status));
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(status, kApplyFailed) << fault;
  EXPECT_EQ(std::string(fault).find("orvcore.dll: cannot move the old file aside"), 0u) << fault;
  EXPECT_EQ(Take(dir), before) << fault;
  FileOps ops;
  EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault,
                            sizeof fault, &status));
  EXPECT_EQ(status, kApplyInUse) << fault;
  CloseHandle(held);
  EXPECT_TRUE(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault,
                           sizeof fault, &status)) << fault;
  EXPECT_EQ(dir.Names(),
            (std::vector<std::string>{"Vusk.exe", "new.dat", "orvcore.dll", "orvtext.dll"}));
  EXPECT_EQ(Take(dir).at("orvtext.dll"), before.at("orvtext.dll"));
}

// A parent of the patched directory re-pointed after the directory was
// checked: C:\.patcher-links\held is a link to held.real (the test's
// set-up made both, and decoy\inst\). At the lock, the first call after
// the check, held.real goes away and decoy takes its name, so that the
// directory's path, held\inst\, now names the decoy. Every file the patch
// creates or renames into place from then on must be in the directory it
// opened, and the decoy must not change. (Windows refuses to rename the
// parent of an open directory; Wine does it. Wine 8 opens and creates by
// the handle but renames and removes by the directory's path as it was
// opened: there the journal's rename fails, the patch gives up, and its
// own files stay behind, outside the decoy.)
class ParentRepointer : public FileOps {
 public:
  explicit ParentRepointer(const std::string& links) : links_(links) {}
  platform::LockResult Lock(platform::Directory* dir, const char* lock_name) override {
    moved = MoveFileA((links_ + "held.real").c_str(), (links_ + "held.away").c_str());
    EXPECT_TRUE(!moved || MoveFileA((links_ + "decoy").c_str(), (links_ + "held.real").c_str()));
    return FileOps::Lock(dir, lock_name);
  }
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    platform::File* file = FileOps::CreateNew(dir, name);
    if (file) Landed(name);
    return file;
  }
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    const int renamed = FileOps::Rename(dir, from, to, replace);
    if (renamed) Landed(to);
    return renamed;
  }
  int RenameOpen(platform::Directory* dir, platform::File* file, const char* from,
                 const char* to) override {
    const int renamed = FileOps::RenameOpen(dir, file, from, to);
    if (renamed) Landed(to);
    return renamed;
  }
  // Where the directory that was opened is, and where the decoy is.
  std::string Opened() const {
    return links_ + (moved ? "held.away\\inst\\" : "held.real\\inst\\");
  }
  std::string Decoy() const { return links_ + (moved ? "held.real\\inst\\" : "decoy\\inst\\"); }
  bool moved = false;
  int landed = 0;

 private:
  void Landed(const char* name) {
    ++landed;
    EXPECT_NE(GetFileAttributesA((Opened() + name).c_str()), INVALID_FILE_ATTRIBUTES) << name;
    EXPECT_EQ(GetFileAttributesA((Decoy() + name).c_str()), INVALID_FILE_ATTRIBUTES) << name;
  }
  std::string links_;
};

TEST(ApplyPayloadWin32, ParentRepointedAfterTheCheckLeavesTheDecoyAlone) {
  const std::string links = "C:\\.patcher-links\\";
  // As the set-up left it: an empty directory behind the link.
  ASSERT_NE(GetFileAttributesA((links + "held\\inst").c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(ListNames(links + "held\\inst\\").empty());
  const Snapshot installation = Installation(), decoy = {{"Vusk.exe", TextLike(700, 9)},
                                                         {"orvcore.dll", TextLike(600, 8)}};
  Restore(links + "held\\inst\\", installation);
  Restore(links + "decoy\\inst\\", decoy);
  const Release release;
  const Bytes payload = release.Payload();
  ParentRepointer ops(links);
  char fault[512] = "";
  const int patched = ApplyPayload(payload.data(), payload.size(), (links + "held\\inst\\").c_str(),
                                   ops, fault, sizeof fault);
  EXPECT_GT(ops.landed, 0) << fault;
  EXPECT_EQ(Take(ops.Decoy()), decoy);
  // The opened directory holds the old set or the new one, and at most
  // files of the patch's own that it could not remove.
  Snapshot now = Take(ops.Opened());
  for (auto it = now.begin(); it != now.end();) it = IsLeftover(it->first) ? now.erase(it) : ++it;
  EXPECT_EQ(now, patched ? release.After(installation) : installation) << fault;
}

}  // namespace
