#include "payload/applier.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <unistd.h>

#include "platform/posix/fault_points.h"
#endif

#include <functional>

#include "applier_harness.h"
#include "payload/crc32c.h"
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

// Numbered lines of a release's vusk.exe, as the golden payload has them.
Bytes ExeLines(const char* version, int count) {
  std::string text;
  char line[64];
  for (int i = 0; i < count; ++i) {
    snprintf(line, sizeof line, "Vusk.exe %s, line %02d\r\n", version, i);
    text += line;
  }
  return Bytes(text.begin(), text.end());
}

int AppendTo(void* bytes, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(bytes)->insert(static_cast<Bytes*>(bytes)->end(), p, p + size);
  return 1;
}

// A payload made from two old releases: base 0 has the 1.24 lines as its
// vusk.exe, base 1 as its orvtext.dll; each takes the delta of that file
// (golden/payload.bin's, which makes the 1.25 lines) and the other whole.
// Each installation is patched by its own base; one of neither is refused
// as not the version the patch was made from, nothing changed.
TEST(ApplyPayload, TakesTheBaseTheInstallationIsAsAWhole) {
  const Bytes delta = {0xf0, 0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x45, 0x4a, 0xf6, 0x67,
                       0x00, 0x00, 0x00, 0x00, 0x72, 0x2d, 0x7c, 0x8f, 0xff, 0xee, 0x47, 0xb7,
                       0xfd, 0xd4, 0x7f, 0x60, 0x94, 0x26, 0x8e, 0x7f, 0x57, 0x8d, 0x85, 0x90,
                       0x7a, 0xfe, 0x3c, 0x17, 0xcf, 0x12, 0xbe, 0x7c, 0x44, 0x55, 0xdd};
  const Bytes old = ExeLines("1.24", 10), now = ExeLines("1.25", 12), other = {'x'};
  Bytes payload;
  PayloadWriter writer(AppendTo, &payload);
  writer.Begin(5);
  writer.AddBases("1.23/1.24");
  writer.Add("vusk.exe", kFormDelta, delta.data(), uint32_t(delta.size()), 1);
  writer.Add("orvtext.dll", kFormStored, now.data(), uint32_t(now.size()), 1);
  writer.Add("vusk.exe", kFormStored, now.data(), uint32_t(now.size()), 2);
  writer.Add("orvtext.dll", kFormDelta, delta.data(), uint32_t(delta.size()), 2);
  ASSERT_TRUE(writer.End());
  const Snapshot patched = {{"orvtext.dll", now}, {"vusk.exe", now}};
  const struct {
    const char* what;
    Snapshot installed;
    bool applies;
  } cases[] = {{"base 0", {{"orvtext.dll", other}, {"vusk.exe", old}}, true},
               {"base 1", {{"orvtext.dll", old}, {"vusk.exe", other}}, true},
               {"neither", {{"orvtext.dll", other}, {"vusk.exe", other}}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    Restore(dir, c.installed);
    FileOps ops;
    ApplyStatus status = kApplyFailed;
    char fault[512] = "";
    EXPECT_EQ(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault,
                           sizeof fault, &status),
              c.applies ? 1 : 0) << fault;
    EXPECT_EQ(status, c.applies ? kApplyPatched : kApplyOldFileMismatch);
    EXPECT_EQ(Take(dir), c.applies ? patched : c.installed);
    // A patch that went through says nothing of the bases it passed over.
    if (c.applies) {
      EXPECT_STREQ(fault, "");
    }
  }
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
      MakeContainer({{"vusk.exe", 0, release.exe}, {"sub/../evil.dll", 0, {1}}}),
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
  EXPECT_NE(why.find("orvcore.dll: the file in " + dir.path() + " is read-only"),
            std::string::npos) << why;
  EXPECT_EQ(Take(dir), before);
  // Once the cause is gone, the same patch goes through.
  ASSERT_TRUE(SetReadOnly(dir.Join("orvcore.dll"), false));
  EXPECT_TRUE(Apply(Release().Payload(), dir, &why)) << why;
  EXPECT_EQ(Take(dir), Release().After(before));
}

#ifndef _WIN32
// Before the next `g_lock_changes` flocks, the lock file's name goes, as when its holder lets go.
std::string g_lock_path;
int g_lock_changes;
int RemoveLockAtFlock(platform::SystemCall call, const char*) {
  if (call == platform::kCallLock && g_lock_changes > 0 && g_lock_changes--) unlink(g_lock_path.c_str());
  return 0;
}
#endif

// Each kind of failure, met by a real call of the platform, as it is
// noted and said.
TEST(PlatformFailure, EachKindComesFromTheFailingCall) {
  ScratchDir dir, other;
  ASSERT_TRUE(WriteFileBytes(dir.Join("file"), {1}));
  ASSERT_TRUE(WriteFileBytes(dir.Join("read-only"), {1}));
  ASSERT_TRUE(SetReadOnly(dir.Join("read-only"), true));
  ASSERT_TRUE(MakeDirectory(dir.Join("sub")));
  FileOps ops;
  platform::Directory* d = ops.Open(dir.path().c_str());
  platform::Directory* again = ops.Open(dir.path().c_str());
  // A folder where the lock file goes: not a lock of ours.
  ASSERT_TRUE(MakeDirectory(other.Join("~ptlock.tmp")));
  platform::Directory* blocked = ops.Open(other.path().c_str());
  ASSERT_TRUE(d && again && blocked);
#ifndef _WIN32
  // Its name gone at the flock: taken again, on the file under the name
  // (which the lock of `again` below meets).
  g_lock_path = dir.Join("~ptlock.tmp");
  g_lock_changes = 1;
  platform::g_fail_call = RemoveLockAtFlock;
#endif
  ASSERT_EQ(ops.Lock(d, "~ptlock.tmp"), platform::kLockTaken);
  char found[platform::kPathBuffer];
  uint64_t lacking = 0;
  struct Case {
    const char* what;
    std::function<bool()> fails;
    platform::FailureKind kind;
    const char* says;
    bool folder;
  };
  const std::vector<Case> cases = {
      {"missing folder", [&] { return !ops.Open(dir.Join("nowhere").c_str()); },
       platform::kFailureNotFound, "no such directory", true},
      {"file as folder", [&] { return !ops.Open(dir.Join("file").c_str()); },
       platform::kFailureNotDirectory, "not a directory", true},
      {"missing file", [&] { return !ops.Remove(d, "nothing"); }, platform::kFailureNotFound,
       "no such file", false},
      {"existing name", [&] { return !ops.CreateNew(d, "file"); }, platform::kFailureExists,
       "the name is taken", false},
      {"read-only file", [&] { return ops.Find(d, "read-only", found) == platform::kTargetBlocked; },
       platform::kFailureDenied, "read-only", false},
      {"folder for a file", [&] { return ops.Find(d, "sub", found) == platform::kTargetBlocked; },
       platform::kFailureDirectory, "a directory", false},
      {"name too long", [&] { return !ops.CreateNew(d, std::string(300, 'n').c_str()); },
       platform::kFailureNameTooLong, "a name too long", false},
      {"lock held", [&] { return ops.Lock(again, "~ptlock.tmp") == platform::kLockBusy; },
       platform::kFailureLockHeld, "the lock is held by ", true},
      {"lock file no file", [&] { return ops.Lock(blocked, "~ptlock.tmp") == platform::kLockFailed; },
       platform::kFailureForeignLock, "another user's lock file, a link or no file", true},
      {"no room", [&] { return !ops.RoomFor(d, 1ull << 62, 1, &lacking) && lacking > (1ull << 61); },
       platform::kFailureNoSpace, "out of disk space", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.fails());
    const platform::Failure failure = ops.LastFailure();
    EXPECT_EQ(failure.kind, c.kind);
    char text[300];
    platform::DescribeFailure(failure, c.folder, text, sizeof text);
    EXPECT_EQ(std::string(text).find(c.says), 0u) << text;
  }
#ifndef _WIN32
  // On a read-only file system there is nothing to hold.
  platform::g_fail_call = [](platform::SystemCall call, const char*) {
    return call == platform::kCallOpen ? EROFS : 0;
  };
  EXPECT_EQ(ops.Lock(blocked, "x"), platform::kLockTaken);
  platform::g_fail_call = nullptr;
#endif
  ops.CloseDirectory(blocked);
  ops.CloseDirectory(again);
  ops.CloseDirectory(d);
  // Only the lock taken goes with its directory; the folder in its place stays.
  EXPECT_EQ(Take(dir).count("~ptlock.tmp"), 0u);
  EXPECT_TRUE(IsDirectory(other.Join("~ptlock.tmp")));
  SetReadOnly(dir.Join("read-only"), false);
}

TEST(ApplyPayload, DirectoryInPlaceOfATargetFails) {
  ScratchDir dir;
  Install(dir);
  ASSERT_TRUE(MakeDirectory(dir.Join("vusk.hlp")));
  Snapshot before = Take(dir);
  EXPECT_FALSE(Apply(Release().Payload(), dir));
  EXPECT_EQ(Take(dir), before);
}

// The folders below the installation are reached one at a time, through
// their parents' handles: a path past what a path buffer holds is written.
TEST(ApplyPayload, PathsPastAPathBufferAreWritten) {
  ScratchDir dir;
  std::string deep;
  while (deep.size() < 300) deep += std::string(40, 'd') + "/";
  const std::string path = deep + std::string(200, 'n');
  FileOps ops;
  char fault[300];
  Bytes payload = MakeContainer({{"a", 0, {1}}, {path, 0, {2}}});
  EXPECT_TRUE(ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault,
                           sizeof fault)) << fault;
  Bytes written;
  EXPECT_TRUE(ReadFileBytes(dir.path() + path, &written));
  EXPECT_EQ(written, Bytes({2}));
}

// A release tree against installations as users leave them: each row lays
// out the installation (and, natively, a link planted where a folder of
// the patch belongs), applies one payload that replaces a file in a
// folder, makes two folders, and removes two files of the old release,
// and says what must come of it.
TEST(ApplyPayload, TreesWithFoldersAndRemovals) {
  const Bytes exe = TextLike(900, 21), keep = TextLike(700, 22), mo = TextLike(300, 23);
  const Snapshot old_tree = {{"Vusk.exe", TextLike(800, 24)}, {"plugins/", {}},
                             {"plugins/keep.dll", TextLike(600, 25)},
                             {"plugins/old.dll", TextLike(500, 26)}, {"retired/", {}},
                             {"retired/gone.dll", TextLike(400, 27)}};
  Bytes payload;
  PayloadWriter writer(
      [](void* out, const void* data, size_t size) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        static_cast<Bytes*>(out)->insert(static_cast<Bytes*>(out)->end(), p, p + size);
        return 1;
      },
      &payload);
  writer.Begin(5);
  writer.Add("vusk.exe", kFormStored, exe.data(), uint32_t(exe.size()));
  writer.Add("plugins/keep.dll", kFormStored, keep.data(), uint32_t(keep.size()));
  writer.Add("locale/de/vusk.mo", kFormStored, mo.data(), uint32_t(mo.size()));
  for (const char* removed : {"plugins/old.dll", "retired/gone.dll"}) {
    const Bytes& b = old_tree.at(removed);
    writer.AddRemoval(removed, b.size(), Crc32c(0, b.data(), b.size()));
  }
  ASSERT_TRUE(writer.End());
  Snapshot new_tree = old_tree;
  new_tree["Vusk.exe"] = exe;
  new_tree["plugins/keep.dll"] = keep;
  new_tree["locale/"] = new_tree["locale/de/"] = {};
  new_tree["locale/de/vusk.mo"] = mo;
  for (const char* gone : {"plugins/old.dll", "retired/gone.dll", "retired/"}) new_tree.erase(gone);

  struct Row {
    const char* what;
    std::function<void(Snapshot*)> change;  // the installation, from the old tree
    const char* link;                       // natively: planted as this path, to outside
    bool patched;
    const char* said;                       // in the fault text
  } rows[] = {
      {"the old release", [](Snapshot*) {}, nullptr, true, ""},
      {"a removed file the user changed stays, named",
       [](Snapshot* s) { (*s)["retired/gone.dll"] = {1, 2, 3}; }, nullptr, true,
       "retired/gone.dll in "},
      {"a removed file already gone", [](Snapshot* s) { s->erase("plugins/old.dll"); }, nullptr,
       true, ""},
      {"a file where a folder is made", [](Snapshot* s) { (*s)["locale"] = {7}; }, nullptr, false,
       "locale in "},
      {"a link where a folder is made", [](Snapshot*) {}, "locale", false, "locale in "},
      {"a link where a folder is", [](Snapshot* s) { s->erase("plugins/"); s->erase("plugins/keep.dll");
                                         s->erase("plugins/old.dll"); }, "plugins", false, "plugins in "},
  };
  for (const Row& row : rows) {
#ifdef _WIN32
    if (row.link) continue;  // links under Wine: applier_win32_test
#endif
    ScratchDir dir, outside;
    Snapshot before = old_tree;
    row.change(&before);
    Restore(dir, before);
#ifndef _WIN32
    if (row.link) {
      ASSERT_EQ(symlink(outside.path().c_str(), dir.Join(row.link).c_str()), 0);
    }
#endif
    before = Take(dir);
    std::string why;
    EXPECT_EQ(Apply(payload, dir, &why), row.patched) << row.what << ": " << why;
    EXPECT_NE(why.find(row.said), std::string::npos) << row.what << ": " << why;
    Snapshot expected = row.patched ? new_tree : before;
    if (row.patched && before.count("retired/gone.dll") &&
        before["retired/gone.dll"] != old_tree.at("retired/gone.dll")) {
      expected["retired/"] = {};
      expected["retired/gone.dll"] = before["retired/gone.dll"];
    }
    if (row.patched && !before.count("plugins/old.dll")) expected.erase("plugins/old.dll");
    EXPECT_EQ(Take(dir), expected) << row.what;
    EXPECT_TRUE(outside.Names().empty()) << row.what;
    // Patched, the tree is up to date: a second apply changes nothing.
    if (row.patched) {
      EXPECT_TRUE(Apply(payload, dir, &why)) << row.what << ": " << why;
      EXPECT_EQ(Take(dir), expected) << row.what;
    }
  }
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
      ops.injected = {platform::kFailureNoSpace, 0};
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
        // A file that cannot be made says what its failing call said.
        if (kind == ScriptedOps::kCreate || kind == ScriptedOps::kWrite) {
          EXPECT_NE(why.find(": out of disk space"), std::string::npos) << where;
        }
        EXPECT_EQ(Take(dir), before) << where;
      }
    }
    // A removal comes only after the new files are in place, or in an undo.
    if (kind != ScriptedOps::kRemove) {
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
  // Runs the patch with calls `fail` failing; the number of calls it made.
  auto run = [&](std::set<long> fail, int* ok, std::string* why, Snapshot* now) {
    ScratchDir dir(SweepParent());
    Install(dir);
    ScriptedOps ops;
    ops.fail = fail;
    *ok = Apply(payload, dir, ops, why);
    if (!*ok && why->find("needs recovery") == std::string::npos) {
      *now = Take(dir);
      return ops.calls();
    }
    EXPECT_NE(Recover(dir), kRecoveryFailed) << *why;
    *now = Take(dir);
    return ops.calls();
  };
#ifdef _WIN32
  const long stride = 5;  // under Wine a call costs server round trips: every fifth pair
#else
  const long stride = 1;
#endif
  int clean = 0, patched = 0, needs_recovery = 0, ok = 0;
  Outcome recovered;
  std::string why;
  Snapshot now;
  const long calls = run({}, &ok, &why, &now);
  for (long first = 0; first < calls; ++first) {
    // The second failure anywhere in the run the first one makes, its
    // undo included.
    const long after_first = run({first}, &ok, &why, &now);
    for (long second = first + 1 + first % stride; second < after_first; second += stride) {
      run({first, second}, &ok, &why, &now);
      const std::string where = std::to_string(first) + "+" + std::to_string(second) + ": " + why;
      if (!ok && why.find("needs recovery") == std::string::npos) {
        ++clean;
        EXPECT_EQ(now, before) << where;
        continue;
      }
      ++(ok ? patched : needs_recovery);
      if (ok) {
        EXPECT_EQ(now, after) << where;
      }
      recovered.Count(now, before, after);
    }
  }
  printf("double faults: %ld calls, %d pairs: %d failed cleanly, %d patched, %d needed recovery; "
         "after recovery %d old set, %d new set, %d with leftovers, %d mixed\n",
         calls, clean + patched + needs_recovery, clean, patched, needs_recovery,
         recovered.old_set, recovered.new_set, recovered.leftovers, recovered.mixed);
  EXPECT_GT(needs_recovery, 0);
  EXPECT_EQ(recovered.leftovers, 0);
  EXPECT_EQ(recovered.mixed, 0);
}

// Moves the target directory away and puts another in its place when the
// patch first moves an old file aside, then fails the patch, which undoes.
class DirectoryMover : public FileOps {
 public:
  DirectoryMover(const std::string& path, const std::string& elsewhere)
      : path_(path), elsewhere_(elsewhere) {}
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    if (!tried_ && !strcmp(from, "Vusk.exe")) {
      tried_ = true;
      moved_ = rename(path_.c_str(), elsewhere_.c_str()) == 0;
      if (moved_ && MakeDirectory(path_))
        Restore(path_ + platform::kPathSeparator, {{"Vusk.exe", decoy}});
    }
    return strcmp(to, "vusk.hlp") && FileOps::Rename(dir, from, to, replace);
  }
  int RenameOpen(platform::Directory* dir, platform::File* file, const char* from,
                 const char* to) override {
    return strcmp(to, "vusk.hlp") && FileOps::RenameOpen(dir, file, from, to);
  }
  const Bytes decoy = TextLike(700, 9);
  bool tried_ = false, moved_ = false;

 private:
  std::string path_, elsewhere_;
};

// The patch stays in the directory it opened, wherever that goes (Windows
// does not let it go), and never touches one put in its place.
TEST(ApplyPayload, DirectoryMovedDuringThePatchIsTheOneRestored) {
  ScratchDir parent;
  const std::string path = parent.Join("install"), elsewhere = parent.Join("moved");
  const std::string sep(1, platform::kPathSeparator);
  ASSERT_TRUE(MakeDirectory(path));
  Restore(path + sep, Installation());
  DirectoryMover mover(path, elsewhere);
  const Bytes payload = Release().Payload();
  char fault[512];
  EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), (path + sep).c_str(), mover, fault,
                            sizeof fault));
  ASSERT_TRUE(mover.tried_);
#ifdef _WIN32
  EXPECT_FALSE(mover.moved_) << "the open directory was renamed";
#endif
  if (mover.moved_) {
    EXPECT_EQ(Take(elsewhere + sep), Installation());
    EXPECT_EQ(Take(path + sep), (Snapshot{{"Vusk.exe", mover.decoy}}));
  } else {
    EXPECT_EQ(Take(path + sep), Installation());
  }
}

// Temporary names taken by the thousand: the numbering goes on past them;
// every name taken (a drive that answers so to any name): the patch gives
// up after a bounded number of lookups, changing nothing.
class CrowdedOps : public FileOps {
 public:
  explicit CrowdedOps(unsigned taken) : taken_(taken) {}
  platform::Presence LookUp(platform::Directory* dir, const char* name) override {
    ++lookups;
    unsigned number = 0;
    if (sscanf(name, "~pt%x.tmp", &number) == 1 && number < taken_) return platform::kPresent;
    return FileOps::LookUp(dir, name);
  }
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    created.push_back(name);
    return FileOps::CreateNew(dir, name);
  }
  std::vector<std::string> created;
  long lookups = 0;

 private:
  unsigned taken_;
};

TEST(ApplyPayload, TemporaryNamesAreProbedWithinABound) {
  ScratchDir dir;
  Install(dir);
  CrowdedOps crowded(4000);
  std::string why;
  ASSERT_TRUE(Apply(Release().Payload(), dir, crowded, &why)) << why;
  EXPECT_EQ(Take(dir), Release().After(Installation()));
  ASSERT_GT(crowded.created.size(), 1u);
  EXPECT_EQ(crowded.created[1], "~pt0fa0.tmp");  // 4000, after the journal
  ScratchDir full;
  Install(full);
  CrowdedOps every(~0u);
  EXPECT_FALSE(Apply(Release().Payload(), full, every, &why));
  EXPECT_NE(why.find("no free name"), std::string::npos) << why;
  EXPECT_LT(every.lookups, 5000);
  EXPECT_EQ(Take(full), Installation());
}

// Temporary names are "~pt%04x.tmp", formatted without printf: every width,
// across each change of digit count, and each is one the patch keeps.
TEST(TempName, FormatsAsPrintfWouldAtEveryWidth) {
  for (uint32_t number : {0u, 0x9u, 0xau, 0xfu, 0x10u, 0xabcdu, 0xffffu, 0x10000u, 0xfffffu,
                          0x100000u, 0x1234567u, 0x10000000u, 0xfedcba98u, 0xfffffffeu}) {
    char name[kTempNameBuffer], expected[32];
    TempName(number, name);
    snprintf(expected, sizeof expected, "~pt%04x.tmp", number);
    EXPECT_STREQ(name, expected);
    EXPECT_TRUE(IsPatchFileName(name)) << name;
  }
}

// A patch interrupted while staging: a journal that names one temporary.
TEST(RecoverDirectory, DamagedJournalIsRefusedAndNothingIsTouched) {
  auto journal = [](const char* name) {
    JournalStep step = {};
    step.backup = kNoFile;
    snprintf(step.name, sizeof step.name, "%s", name);
    size_t size = 0;
    uint8_t* bytes = EncodeJournal(kPhaseStaging, &step, 1, &size);
    Bytes b(bytes, bytes + size);
    free(bytes);
    return b;
  };
  const Bytes good = journal("x.dat");
  const Snapshot crashed = {{"~pt0000.tmp", TextLike(50, 1)}, {"x.dat", TextLike(60, 2)}};
  std::vector<Bytes> damaged;
  for (size_t i = 0; i < good.size(); ++i) {
    damaged.push_back(good);
    damaged.back()[i] ^= 0x20;
  }
  damaged.push_back(Bytes(good.begin(), good.end() - 1));
  // Sound, but naming a file outside the directory.
  damaged.push_back(journal("../x.dat"));
  for (const Bytes& bad : damaged) {
    ScratchDir dir;
    Snapshot state = crashed;
    state[kJournalName] = bad;
    Restore(dir, state);
    std::string why;
    EXPECT_EQ(Recover(dir, &why), kRecoveryFailed);
    EXPECT_NE(why.find("damaged"), std::string::npos) << why;
    EXPECT_EQ(Take(dir), state);
  }
  ScratchDir dir;
  Snapshot state = crashed;
  state[kJournalName] = good;
  Restore(dir, state);
  EXPECT_EQ(Recover(dir), kRecoveryUndone);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"x.dat"});
  EXPECT_EQ(Recover(dir), kRecoveryNone);
}

#ifndef _WIN32
// A target that is a symbolic link, a directory that is one, and a name
// that two files answer to: refused before anything is written.
TEST(ApplyPayload, LinksAndAmbiguousNamesAreRefused) {
  ScratchDir outside, dir, twice;
  const Bytes victim = TextLike(300, 4);
  ASSERT_TRUE(WriteFileBytes(outside.Join("victim"), victim));
  ASSERT_EQ(symlink(outside.Join("victim").c_str(), dir.Join("vusk.exe").c_str()), 0);
  const Bytes payload = Release().Payload();
  std::string why;
  EXPECT_FALSE(Apply(payload, dir, &why));
  EXPECT_NE(why.find("leads out"), std::string::npos) << why;
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"vusk.exe"});
  EXPECT_EQ(Take(outside), (Snapshot{{"victim", victim}}));

  const std::string link = outside.Join("link");
  ASSERT_EQ(symlink(twice.path().c_str(), link.c_str()), 0);
  FileOps ops;
  char fault[512];
  EXPECT_FALSE(ApplyPayload(payload.data(), payload.size(), (link + "/").c_str(), ops, fault,
                            sizeof fault));
  EXPECT_NE(std::string(fault).find("a link"), std::string::npos) << fault;
  EXPECT_TRUE(twice.Names().empty());

  const Snapshot both = {{"VUSK.EXE", TextLike(10, 5)}, {"Vusk.exe", TextLike(20, 6)}};
  Restore(twice, both);
  EXPECT_FALSE(Apply(payload, twice, &why));
  EXPECT_EQ(Take(twice), both);
}
#endif

#ifndef _WIN32
// Files that someone else left in the directory, where a patch interrupted
// in its commit (the old Vusk.exe moved to backup 1, the new one still in
// temporary 0) is recovered: nothing of theirs is ever renamed, replaced or
// removed, nothing outside the directory changes, and every live file
// holds its old bytes, its new bytes or what it held.
// A journal of the earlier format, by a patcher that gave an entry equal
// to its old file a temporary and a backup like any other: whatever its
// commit or its undo left of that entry and of a changed one, recovery
// goes back unless the changed file's old version is gone or, in the
// commit, every name holds its new file; the equal file is then in place,
// nothing of the patch's own is left, and that file decided nothing.
TEST(RecoverDirectory, EarlierJournalWithAnEntryEqualToItsOldFile) {
  const Bytes same = TextLike(500, 1), old_exe = TextLike(400, 2), new_exe = TextLike(450, 3);
  // What the names of a step hold: its name, its temporary, its backup.
  struct Held {
    const Bytes *name, *temp, *backup;
  };
  const std::vector<Held> alike = {{&same, &same, nullptr},
                                   {nullptr, &same, &same},
                                   {&same, nullptr, &same},
                                   {&same, nullptr, nullptr}};
  const std::vector<Held> changed = {{&old_exe, &new_exe, nullptr},
                                     {&new_exe, nullptr, &old_exe},
                                     {&new_exe, nullptr, nullptr}};
  int trials = 0;
  for (int phase : {kPhaseCommit, kPhaseRollBack}) {
    for (const Held& a : alike) {
      for (const Held& c : changed) {
        ScratchDir dir;
        const Bytes journal =
            MakeJournal(phase, {{0, 1, "Vusk.exe", new_exe, &old_exe}, {2, 3, "orvtext.dll", same, &same}}, 2);
        ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName), journal));
        const char* names[2][3] = {{"Vusk.exe", "~pt0000.tmp", "~pt0001.tmp"},
                                   {"orvtext.dll", "~pt0002.tmp", "~pt0003.tmp"}};
        const Held* held[2] = {&c, &a};
        for (int step = 0; step < 2; ++step) {
          const Bytes* bytes[3] = {held[step]->name, held[step]->temp, held[step]->backup};
          for (int i = 0; i < 3; ++i) {
            if (bytes[i]) {
              ASSERT_TRUE(WriteFileBytes(dir.Join(names[step][i]), *bytes[i]));
            }
          }
        }
        const std::string where = std::to_string(phase) + "/" + std::to_string(trials++);
        std::string why;
        EXPECT_NE(Recover(dir, &why), kRecoveryFailed) << where << ": " << why;
        const Snapshot now = Take(dir);
        EXPECT_EQ(now.size(), 2u) << where;
        EXPECT_TRUE(now.count("orvtext.dll") && now.at("orvtext.dll") == same) << where;
        const bool forward = (!c.backup && !c.temp) ||
                             (phase == kPhaseCommit && c.name == &new_exe && a.name);
        EXPECT_TRUE(now.count("Vusk.exe") && now.at("Vusk.exe") == (forward ? new_exe : old_exe))
            << where;
      }
    }
  }
}

TEST(RecoverDirectory, PlantedFilesAreNeverObeyed) {
  const Bytes old_exe = TextLike(500, 1), new_exe = TextLike(600, 2);
  const Bytes theirs = TextLike(500, 3), save = TextLike(80, 4);
  // (Same-owner files under the patch's own names are its own to remove.)
  const bool root = geteuid() == 0;  // only root can give a file another owner
  auto other_owner = [](const std::string& path) { return chown(path.c_str(), 1000, 1000) == 0; };
  struct Case {
    const char* what;
    bool needs_root;
    // Lays out the directory (`d`, a directory string) and the outside
    // file (`out`); returns the journal.
    std::function<Bytes(const std::string& d, const std::string& out)> lay;
  };
  auto genuine = [&](const std::string& d) {
    WriteFileBytes(d + "~pt0000.tmp", new_exe);
    WriteFileBytes(d + "savegame.dat", save);
    return MakeJournal(kPhaseCommit, {{0, 1, "Vusk.exe", new_exe, &old_exe}});
  };
  const std::vector<Case> cases = {
      {"backup of another owner, with the old bytes", true,
       [&](const std::string& d, const std::string&) {
         WriteFileBytes(d + "~pt0001.tmp", old_exe);
         other_owner(d + "~pt0001.tmp");
         return genuine(d);
       }},
      {"backup with other bytes", false,
       [&](const std::string& d, const std::string&) {
         WriteFileBytes(d + "~pt0001.tmp", theirs);
         return genuine(d);
       }},
      {"backup hard-linked to a file outside", false,
       [&](const std::string& d, const std::string& out) {
         WriteFileBytes(out, old_exe);
         link(out.c_str(), (d + "~pt0001.tmp").c_str());
         return genuine(d);
       }},
      {"temporary of another owner, with the new bytes", true,
       [&](const std::string& d, const std::string&) {
         Bytes j = genuine(d);
         WriteFileBytes(d + "~pt0000.tmp", new_exe);
         other_owner(d + "~pt0000.tmp");
         WriteFileBytes(d + "~pt0001.tmp", old_exe);
         return j;
       }},
      {"temporary linked outside", false,
       [&](const std::string& d, const std::string& out) {
         Bytes j = genuine(d);
         WriteFileBytes(out, new_exe);
         unlink((d + "~pt0000.tmp").c_str());
         symlink(out.c_str(), (d + "~pt0000.tmp").c_str());
         WriteFileBytes(d + "~pt0001.tmp", old_exe);
         return j;
       }},
      {"journal of another owner naming a file outside the plan", true,
       [&](const std::string& d, const std::string&) {
         WriteFileBytes(d + "savegame.dat", save);
         WriteFileBytes(d + "~pt0000.tmp", theirs);
         other_owner(d + "~pt0000.tmp");
         return MakeJournal(kPhaseCommit, {{0, 1, "savegame.dat", theirs, &save}});
       }},
      {"journal naming a user's file, no backup", false,
       [&](const std::string& d, const std::string&) {
         WriteFileBytes(d + "savegame.dat", save);
         return MakeJournal(kPhaseCommit, {{0, 1, "savegame.dat", theirs, nullptr}});
       }},
      {"journal naming a link to a file outside", false,
       [&](const std::string& d, const std::string& out) {
         WriteFileBytes(out, save);
         symlink(out.c_str(), (d + "plug.dll").c_str());
         WriteFileBytes(d + "~pt0000.tmp", new_exe);
         return MakeJournal(kPhaseRollBack, {{0, 1, "plug.dll", new_exe, &save}});
       }},
  };
  for (const Case& c : cases) {
    if (c.needs_root && !root) continue;
    for (bool apply : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (apply ? ", then a patch" : ""));
      ScratchDir dir, outside;
      const std::string out = outside.Join("victim");
      Bytes journal = c.lay(dir.path(), out);
      ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName), journal));
      if (c.needs_root && std::string(c.what).find("journal of another") == 0)
        other_owner(dir.Join(kJournalName));
      const Snapshot planted = Take(dir), outside_before = Take(outside);
      std::vector<std::string> foreign;
      for (const auto& file : planted) {
        struct stat st;
        if (lstat(dir.Join(file.first).c_str(), &st) == 0 &&
            (st.st_uid == 1000 || st.st_nlink > 1 || S_ISLNK(st.st_mode)))
          foreign.push_back(file.first);
      }
      std::string why;
      if (apply) {
        const Bytes payload = MakeContainer({{"Vusk.exe", 0, new_exe}});
        Apply(payload, dir, &why);
      } else {
        Recover(dir, &why);
      }
      EXPECT_EQ(Take(outside), outside_before) << why;
      for (const auto& file : Take(dir)) {
        const Bytes& bytes = file.second;
        const bool was = planted.count(file.first) && planted.at(file.first) == bytes;
        if (file.first == "Vusk.exe") {
          // Nobody else's file, and no link to one, in its place.
          struct stat st;
          ASSERT_EQ(lstat(dir.Join(file.first).c_str(), &st), 0);
          EXPECT_TRUE(bytes == old_exe || bytes == new_exe) << why;
          EXPECT_TRUE(st.st_uid != 1000 && st.st_nlink == 1 && S_ISREG(st.st_mode)) << why;
        } else {
          EXPECT_TRUE(was) << file.first << " changed: " << why;
        }
      }
      // Another owner's file, or a link to one, stays where it was.
      for (const std::string& name : foreign)
        EXPECT_EQ(Take(dir).count(name), 1u) << name << " removed: " << why;
    }
  }
  // A FIFO of the journal's name: refused at once, never waited on.
  ScratchDir fifo;
  ASSERT_EQ(mkfifo(fifo.Join(kJournalName).c_str(), 0600), 0);
  std::string why;
  EXPECT_EQ(Recover(fifo, &why), kRecoveryFailed);
  EXPECT_NE(why.find("not a patch journal"), std::string::npos) << why;
  EXPECT_EQ(fifo.Names(), std::vector<std::string>{kJournalName});
}
#endif

// A replaced file keeps what the administrator set on it: natively its
// mode, on Windows its hidden and system attributes. A failed fchmod fails
// the patch with nothing changed; free space the system cannot tell stops
// nothing.
TEST(ApplyPayload, ReplacedFilesKeepWhatTheAdministratorSet) {
  [[maybe_unused]] static int failing = -1;  // natively, the call that fails with EIO
#ifdef _WIN32
  const int chmod_call = -2;
  const uint32_t mask = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::vector<std::pair<uint32_t, int>> rows = {
      {FILE_ATTRIBUTE_HIDDEN, -1}, {FILE_ATTRIBUTE_SYSTEM, -1}, {mask, -1}};
#else
  const int chmod_call = platform::kCallChmod;
  const uint32_t mask = 07777;
  const std::vector<std::pair<uint32_t, int>> rows = {
      {0640, -1}, {0755, -1}, {0600, -1}, {0640, chmod_call}, {0755, platform::kCallStatFs}};
  platform::g_fail_call = [](platform::SystemCall call, const char*) {
    return call == failing ? EIO : 0;
  };
#endif
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.first) + " failing " + std::to_string(row.second));
    ScratchDir dir;
    Install(dir);
    for (const char* name : {"Vusk.exe", "orvcore.dll"})
      ASSERT_TRUE(SetPermissions(dir.Join(name), row.first));
    const Snapshot before = Take(dir);
    failing = row.second;
    std::string why;
    const bool refused = row.second == chmod_call;
    EXPECT_EQ(Apply(Release().Payload(), dir, &why), !refused) << why;
    failing = -1;
    EXPECT_EQ(Take(dir), refused ? before : Release().After(before));
    for (const char* name : {"Vusk.exe", "orvcore.dll"})
      EXPECT_EQ(GetPermissions(dir.Join(name)) & mask, row.first) << name;
    EXPECT_EQ(why.find("vusk.exe: cannot give the new file the permissions of the old one in " +
                       dir.path() + ": a read or write error") != std::string::npos, refused) << why;
  }
#ifndef _WIN32
  platform::g_fail_call = nullptr;
#endif
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
