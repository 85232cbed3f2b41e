// The applier against the worst a disk and a process can do, natively: killed
// outright (SIGKILL, in a child process) at each of its file operations, the
// recovery that follows stopped dead again or failing at each of its own;
// the real system calls failing (platform/posix/fault_points.h), once or from
// some call on; temporaries vanishing; a second patch started beside the
// first; and a power cut at every point (PowerCutSweep). Once recovered,
// the directory holds exactly the old files or exactly the new ones, names
// and letter case included.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <errno.h>

#include <functional>
#include <vector>

#include "applier_harness.h"
#include "payload/patch_files.h"
#include "platform/posix/fault_points.h"

namespace {

int Apply(const Bytes& payload, const ScratchDir& dir, FileOps& ops, char* fault = nullptr) {
  return ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault, 512);
}

RecoveryResult Recover(const ScratchDir& dir, FileOps& ops) {
  return RecoverDirectory(dir.path().c_str(), ops);
}

// How many file operations a whole run of the patch of `shape` makes.
long CallsOfAPatch(const Shape& shape) {
  ScriptedOps counter;
  ScratchDir dir(SweepParent());
  shape.Lay(dir);
  shape.Arm(&counter, dir.path());
  Apply(shape.payload, dir, counter);
  return counter.calls();
}

// The patch of `shape` in `dir`, killed at call `at`.
bool KillPatchAt(const Shape& shape, const ScratchDir& dir, long at) {
  shape.Lay(dir);
  return RunKilledAt(at, [&](ScriptedOps& ops) {
    shape.Arm(&ops, dir.path());
    Apply(shape.payload, dir, ops);
  });
}

// `dir` as a patch of `shape` killed at call `at` leaves it: a copy of
// `crashed`, or where a copy would not do (the files' owners and
// identities are part of the state) the same patch again, frozen at that
// call (the state a kill there leaves, without a process to kill).
void Crashed(const Shape& shape, long at, const Snapshot& crashed, const ScratchDir& dir) {
  if (shape.kind != Shape::kForeign) {
    Restore(dir, crashed);
    return;
  }
  shape.Lay(dir);
  ScriptedOps frozen;
  frozen.freeze_at = at;
  shape.Arm(&frozen, dir.path());
  Apply(shape.payload, dir, frozen);
}

// The sweeps below run on each shape of patch (applier_harness.h). What a
// directory holds is taken as the shape sees it.
class EachShape : public ::testing::TestWithParam<Shape::Kind> {
 protected:
  EachShape() : shape(GetParam()), payload(shape.payload), before(shape.before),
                after(shape.after) {}
  void SetUp() override {
    if (!shape.CanLay()) GTEST_SKIP() << shape.what << ": only root can give files away";
  }
  Snapshot Take(const ScratchDir& dir) const { return shape.Seen(dir); }

  const Shape shape;
  const Bytes& payload;
  const Snapshot &before, &after;
};

INSTANTIATE_TEST_SUITE_P(Applier, EachShape,
                         ::testing::Values(Shape::kPlain, Shape::kUnchanged, Shape::kForeign,
                                           Shape::kSwapped, Shape::kTree),
                         [](const ::testing::TestParamInfo<Shape::Kind>& info) {
                           return std::string(Shape::kNames[info.param]);
                         });

TEST_P(EachShape, KilledAtAnyCallAndRecoveredHoldsTheOldOrTheNewFiles) {
  const long calls = CallsOfAPatch(shape);
  ASSERT_GT(calls, 0);
  Outcome recovered, recovered_twice, recovered_failing;
  for (long at = 0; at < calls; ++at) {
    ScratchDir dir(SweepParent());
    ASSERT_TRUE(KillPatchAt(shape, dir, at)) << at;
    const Snapshot crashed = Take(dir);
    FileOps ops;
    EXPECT_NE(Recover(dir, ops), kRecoveryFailed) << at;
    recovered.Count(Take(dir), before, after);
    // The recovery, itself stopped dead at each of its calls (frozen: the
    // disk is left as a kill there leaves it), or failing that one call,
    // then run again.
    for (long again = 0;; ++again) {
      ScratchDir copy(SweepParent()), other(SweepParent());
      Crashed(shape, at, crashed, copy);
      Crashed(shape, at, crashed, other);
      ScriptedOps frozen, failing;
      frozen.freeze_at = again;
      failing.fail = {again};
      Recover(copy, frozen);
      Recover(other, failing);
      EXPECT_NE(Recover(copy, ops), kRecoveryFailed) << at << " " << again;
      EXPECT_NE(Recover(other, ops), kRecoveryFailed) << at << " " << again;
      recovered_twice.Count(Take(copy), before, after);
      recovered_failing.Count(Take(other), before, after);
      if (frozen.calls() <= again) break;
    }
    // The next patch recovers first, then patches; it leaves and names another's
    // file at each backup, but with the temporaries replaced too, it stops.
    std::set<std::string> theirs[2];  // the backups; every file of the patch's
    for (const auto& f : crashed)
      for (const auto& old : before)
        if (IsLeftover(f.first) && f.first != kJournalName && f.first != kLockName &&
            shape.kind != Shape::kSwapped &&
            old.first.back() != '/')
          theirs[f.second != old.second].insert(f.first);
    for (int row = 0; row < 1 + (!theirs[0].empty() && theirs[1] != theirs[0]); ++row) {
      ScratchDir next(SweepParent()), outside(SweepParent());
      Crashed(shape, at, crashed, next);
      Snapshot want = after;
      for (const std::string& name : theirs[row]) {
        const std::string leaf = name.substr(name.rfind('/') + 1);  // npos + 1: all of it
        if (unlink(next.Join(name).c_str()) ||
            !WriteFileBytes(outside.Join(leaf), want[name] = shape.planted) ||
            (at & 1 ? link : rename)(outside.Join(leaf).c_str(), next.Join(name).c_str()))
          abort();
        // A folder that holds it stays.
        for (size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1))
          want[name.substr(0, slash + 1)];
      }
      // Nothing changed, but for the lock the killed patch left: taken and let go.
      if (row) (want = Take(next)).erase(kLockName);
      char fault[512] = "";
      EXPECT_TRUE(Apply(payload, next, ops, fault) != row && Take(next) == want)
          << at << " " << fault << "\n" << Listing(Take(next)) << "\nwanted:" << Listing(want);
      for (const std::string& name : theirs[row]) EXPECT_TRUE(row || strstr(fault, name.c_str()));
    }
  }
  printf("killed at each of %ld calls: %d old set, %d new set, %d with leftovers, %d mixed\n",
         calls, recovered.old_set, recovered.new_set, recovered.leftovers,
         recovered.mixed);
  printf("recovery stopped too, %d trials: %d old set, %d new set, %d with leftovers, %d mixed\n",
         recovered_twice.trials(), recovered_twice.old_set, recovered_twice.new_set,
         recovered_twice.leftovers, recovered_twice.mixed);
  printf("a call of the recovery failed, %d trials: %d old set, %d new set, %d with leftovers, "
         "%d mixed\n",
         recovered_failing.trials(), recovered_failing.old_set, recovered_failing.new_set,
         recovered_failing.leftovers, recovered_failing.mixed);
  EXPECT_GT(recovered.old_set, 0);
  // The swap fails every patch before a new file is in place.
  if (shape.kind != Shape::kSwapped) {
    EXPECT_GT(recovered.new_set, 0);
  }
  EXPECT_EQ(recovered.leftovers + recovered.mixed, 0);
  EXPECT_EQ(recovered_twice.leftovers + recovered_twice.mixed, 0);
  EXPECT_EQ(recovered_failing.leftovers + recovered_failing.mixed, 0);
}

// The system calls that look a name up or read a listing, failing with EIO:
// the n-th of them (`once`), or every one from the n-th on (`from`).
struct LookupFailures {
  long once = -1, from = -1, seen = 0;
};
LookupFailures g_lookups;

int FailLookup(platform::SystemCall call, const char*) {
  if (call != platform::kCallStat && call != platform::kCallOpen && call != platform::kCallList)
    return 0;
  const long n = g_lookups.seen++;
  return n == g_lookups.once || (g_lookups.from >= 0 && n >= g_lookups.from) ? EIO : 0;
}

// Runs `run` with lookups failing as `failures` says; how many it made.
long WithLookupsFailing(LookupFailures failures, const std::function<void()>& run) {
  g_lookups = failures;
  platform::g_fail_call = FailLookup;
  run();
  platform::g_fail_call = nullptr;
  return g_lookups.seen;
}

// Recovery by the real calls, which must then leave a whole set.
void RecoverClean(const Shape& shape, const ScratchDir& dir, Outcome* outcome,
                  const std::string& where) {
  FileOps ops;
  char fault[512] = "";
  const Snapshot was = shape.Seen(dir);
  EXPECT_NE(RecoverDirectory(dir.path().c_str(), ops, fault, sizeof fault), kRecoveryFailed)
      << where << ": " << fault << "\n" << Listing(was);
  const Snapshot now = shape.Seen(dir);
  EXPECT_TRUE(now == shape.before || now == shape.after)
      << where << ": " << fault << "\n" << Listing(was) << "\nrecovered:" << Listing(now);
  outcome->Count(now, shape.before, shape.after);
}

// Runs `run` on directories laid out by `lay`: once to count its lookups,
// then with each lookup failing once, and with every lookup from each one
// on failing; `check` looks at each directory after, `where` naming the
// trial.
void ForEachLookupFailure(const std::function<void(const ScratchDir&)>& lay,
                          const std::function<void(const ScratchDir&)>& run,
                          const std::function<void(const ScratchDir&, const std::string&)>& check) {
  long lookups = 0;
  {
    ScratchDir dir(SweepParent());
    lay(dir);
    lookups = WithLookupsFailing({}, [&] { run(dir); });
  }
  for (long n = 0; n < lookups; ++n) {
    for (bool onward : {false, true}) {
      ScratchDir dir(SweepParent());
      lay(dir);
      WithLookupsFailing(onward ? LookupFailures{-1, n} : LookupFailures{n, -1},
                         [&] { run(dir); });
      check(dir, std::to_string(n) + (onward ? " on" : ""));
    }
  }
}

// Killed at every call; then every lookup of the recovery failing once,
// and failing from each one on, then a clean recovery. A recovery that
// cannot look a name up stops: it never acts on a guess.
TEST_P(EachShape, KilledThenLookupsOfTheRecoveryFail) {
  const long calls = CallsOfAPatch(shape);
  ASSERT_GT(calls, 0);
  Outcome outcome;
  int stopped = 0;
  for (long at = 0; at < calls; ++at) {
    ScratchDir dir(SweepParent());
    ASSERT_TRUE(KillPatchAt(shape, dir, at)) << at;
    const Snapshot crashed = Take(dir);
    RecoveryResult result = kRecoveryNone;
    ForEachLookupFailure(
        [&](const ScratchDir& copy) { Crashed(shape, at, crashed, copy); },
        [&](const ScratchDir& copy) {
          FileOps ops;
          result = Recover(copy, ops);
        },
        [&](const ScratchDir& copy, const std::string& where) {
          stopped += result == kRecoveryFailed;
          RecoverClean(shape, copy, &outcome, std::to_string(at) + "/" + where);
        });
  }
  printf("killed at each of %ld calls, then each lookup of the recovery failing once or from "
         "that call on, %d trials: %d old set, %d new set, %d with leftovers, %d mixed; %d "
         "recoveries stopped\n",
         calls, outcome.trials(), outcome.old_set, outcome.new_set, outcome.leftovers,
         outcome.mixed, stopped);
  EXPECT_GT(stopped, 0);
  EXPECT_EQ(outcome.leftovers + outcome.mixed, 0);
}

// The patch itself with its lookups failing once, or from each one on (the
// listing that finds "Vusk.exe" for "vusk.exe" among them): it fails with
// the directory as it was, or says it needs recovery, which then restores.
TEST_P(EachShape, LookupsOfThePatchFail) {
  Outcome outcome;
  int clean = 0, patched = 0, needed = 0, ok = 0;
  ApplyStatus status = kApplyFailed;
  char fault[512] = "";
  ForEachLookupFailure(
      [&](const ScratchDir& dir) { shape.Lay(dir); },
      [&](const ScratchDir& dir) {
        ScriptedOps ops;
        shape.Arm(&ops, dir.path());
        ok = ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault,
                          sizeof fault, &status);
      },
      [&](const ScratchDir& dir, const std::string& trial) {
        const std::string where = trial + ": " + fault;
        if (!ok && status != kApplyNeedsRecovery) {
          ++clean;
          EXPECT_EQ(Take(dir), before) << where;
          return;
        }
        ++(ok ? patched : needed);
        RecoverClean(shape, dir, &outcome, where);
        if (ok) {
          EXPECT_EQ(Take(dir), after) << where;
        }
      });
  printf("lookups of the patch failing once or from each on: %d failed cleanly, %d patched, %d "
         "needed recovery: %d old set, %d new set, %d leftovers, %d mixed\n",
         clean, patched, needed, outcome.old_set, outcome.new_set, outcome.leftovers,
         outcome.mixed);
  EXPECT_GT(clean, 0);
  EXPECT_EQ(outcome.leftovers + outcome.mixed, 0);
}

// The real file operations, with two of the patch's temporaries taken away
// (as a malware scanner quarantines new files) at call `at`.
class VanishingOps : public ScriptedOps {
 public:
  VanishingOps(const std::string& dir, long at) : dir_(dir), at_(at) {}
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    Tick();
    if (IsLeftover(name) && strncmp(name, "~ptjrnl", 7)) temps_.push_back(PathOf(dir, name));
    return ScriptedOps::CreateNew(dir, name);
  }
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    Tick();
    return ScriptedOps::Rename(dir, from, to, replace);
  }
  int RenameOpen(platform::Directory* dir, platform::File* file, const char* from,
                 const char* to) override {
    Tick();
    return ScriptedOps::RenameOpen(dir, file, from, to);
  }
  int Close(platform::File* file) override {
    Tick();
    return ScriptedOps::Close(file);
  }
  int Sync(platform::Directory* dir) override {
    Tick();
    return ScriptedOps::Sync(dir);
  }
  int vanished = 0;

 private:
  void Tick() {
    if (calls_++ != at_) return;
    for (size_t i = temps_.size(); i-- > 0 && vanished < 2;)
      vanished += unlink((dir_ + temps_[i]).c_str()) == 0;
  }
  std::string dir_;
  long at_, calls_ = 0;
  std::vector<std::string> temps_;
};

TEST_P(EachShape, TwoTemporariesVanishAtEachPoint) {
  Outcome outcome;
  int trials = 0, failed = 0;
  for (long at = 0;; ++at) {
    ScratchDir dir(SweepParent());
    shape.Lay(dir);
    VanishingOps ops(dir.path(), at);
    shape.Arm(&ops, dir.path());
    ApplyStatus status;
    char fault[512] = "";
    const int ok = ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, fault,
                                sizeof fault, &status);
    if (!ops.vanished) {
      if (trials) break;  // past the last temporary
      continue;
    }
    ++trials;
    failed += !ok;
    const std::string where = std::to_string(at) + ": " + fault;
    if (!ok && status != kApplyNeedsRecovery) {
      EXPECT_EQ(Take(dir), before) << where;
    }
    RecoverClean(shape, dir, &outcome, where);
  }
  printf("two temporaries vanishing at each of %d points: %d patches failed; %d old set, %d "
         "new set, %d leftovers, %d mixed\n",
         trials, failed, outcome.old_set, outcome.new_set, outcome.leftovers, outcome.mixed);
  EXPECT_GT(failed, 0);
  EXPECT_EQ(outcome.leftovers + outcome.mixed, 0);
}

// The real file operations, with a barrier at the lock: the side that
// holds it keeps it until the other side has tried to take it.
class LockBarrierOps : public FileOps {
 public:
  LockBarrierOps(bool holder, int signal_fd, int wait_fd)
      : holder_(holder), signal_fd_(signal_fd), wait_fd_(wait_fd) {}
  platform::LockResult Lock(platform::Directory* dir, const char* lock_name) override {
    if (!holder_) Wait();
    const platform::LockResult result = FileOps::Lock(dir, lock_name);
    if (write(signal_fd_, "x", 1) != 1) _exit(8);
    if (holder_) Wait();
    return result;
  }

 private:
  // Returns at the other side's byte, or when it has ended without one.
  void Wait() {
    char byte;
    while (read(wait_fd_, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  bool holder_;
  int signal_fd_, wait_fd_;
};

// Two patches of one directory at once (the patcher started twice), or a
// patch and a recovery, each way round: the one that takes the lock first
// holds it until the other has tried, which finds the directory locked and
// changes nothing.
TEST(ApplierSweep, ConcurrentPatchesOfOneDirectory) {
  for (int pair = 0; pair < 8; ++pair) {
    const Shape shape(pair & 4 ? Shape::kTree : Shape::kPlain);
    const Bytes& payload = shape.payload;
    const Snapshot &before = shape.before, &after = shape.after;
    const bool recovering[2] = {(pair & 1) != 0, (pair & 2) != 0};  // holder, other
    ScratchDir dir(SweepParent());
    Restore(dir, before);
    int taken[2], tried[2];
    ASSERT_EQ(pipe(taken), 0);
    ASSERT_EQ(pipe(tried), 0);
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
      fflush(nullptr);
      children[c] = fork();
      if (children[c] == 0) {
        // Only its own ends open, so a side that dies releases the other.
        const int signal_fd = c == 0 ? taken[1] : tried[1], wait_fd = c == 0 ? tried[0] : taken[0];
        for (int fd : {taken[0], taken[1], tried[0], tried[1]})
          if (fd != signal_fd && fd != wait_fd) close(fd);
        LockBarrierOps ops(c == 0, signal_fd, wait_fd);
        if (recovering[c]) {
          const RecoveryResult r = Recover(dir, ops);
          _exit(r == kRecoveryBusy ? 3 : r == kRecoveryFailed ? 1 : 0);
        }
        ApplyStatus status;
        ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops, nullptr, 0,
                     &status);
        _exit(status == kApplyPatched ? 0 : status == kApplyBusy ? 3 : 1);
      }
    }
    for (int fd : {taken[0], taken[1], tried[0], tried[1]}) close(fd);
    int codes[2];
    for (int c = 0; c < 2; ++c) {
      int status = 0;
      waitpid(children[c], &status, 0);
      codes[c] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    EXPECT_EQ(codes[0], 0) << pair << ": the holder";
    EXPECT_EQ(codes[1], 3) << pair << ": the other side";
    EXPECT_EQ(Take(dir), recovering[0] ? before : after) << pair;
  }
}

// ---------------------------------------------------------------------------
// The power cut. The patch runs on the real disk through a recording layer
// that models what a file system keeps: a file's data once it is flushed
// (CloseFile), a folder's names once that folder is synced (each folder on
// its own: the names made, renamed and removed in it, folders among them).
// At every point of the log, the states a cut there may leave (every
// unsynced change lost; each unsynced name change kept alone; all of them
// kept; each unflushed file cut short or emptied alone) are laid out and
// recovered.

struct ModelDisk {
  std::vector<Bytes> durable, written;   // by inode: flushed data, data so far
  std::map<std::string, int> synced, names;  // path (a folder's ends in '/') -> inode
};

struct NameChange {
  enum Kind { kCreate, kRename, kRemove } kind;
  std::string from, to;  // paths
  int inode;
  bool replace;
  std::string folder;  // the folder whose names it changes, as a prefix
};

class RecordingOps : public FileOps {
 public:
  explicit RecordingOps(const Snapshot& initial) {
    for (const auto& file : initial) {
      disk_.names[file.first] = static_cast<int>(disk_.durable.size());
      disk_.durable.push_back(file.second);
      disk_.written.push_back(file.second);
    }
    disk_.synced = disk_.names;
    Mark();
  }
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    platform::File* file = FileOps::CreateNew(dir, name);
    if (!file) return file;
    files_[file] = NewInode();
    Change({NameChange::kCreate, "", Path(dir, name), files_[file], false, Folder(dir)});
    return file;
  }
  uint32_t Write(platform::File* file, const void* data, uint32_t size) override {
    const uint32_t n = FileOps::Write(file, data, size);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    Bytes& w = disk_.written[files_[file]];
    w.insert(w.end(), p, p + n);
    Mark();
    return n;
  }
  int Close(platform::File* file) override {
    const int inode = files_[file];
    const int ok = FileOps::Close(file);
    if (ok) disk_.durable[inode] = disk_.written[inode];
    Mark();
    return ok;
  }
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    const int ok = FileOps::Rename(dir, from, to, replace);
    if (ok) Moved(dir, from, to, replace != 0);
    return ok;
  }
  int RenameOpen(platform::Directory* dir, platform::File* file, const char* from,
                 const char* to) override {
    const int ok = FileOps::RenameOpen(dir, file, from, to);
    if (ok) Moved(dir, from, to, false);
    return ok;
  }
  int Remove(platform::Directory* dir, const char* name) override {
    const int ok = FileOps::Remove(dir, name);
    if (ok) Removed(dir, Path(dir, name));
    return ok;
  }
  platform::Directory* OpenFolder(platform::Directory* parent, const char* name,
                                  platform::FolderFacts* facts) override {
    platform::Directory* folder = FileOps::OpenFolder(parent, name, facts);
    if (folder) folders_[folder] = Path(parent, name) + "/";
    return folder;
  }
  platform::Directory* CreateFolder(platform::Directory* parent, const char* name) override {
    platform::Directory* folder = FileOps::CreateFolder(parent, name);
    if (!folder) return folder;
    const std::string path = Path(parent, name) + "/";
    folders_[folder] = path;
    Change({NameChange::kCreate, "", path, NewInode(), false, Folder(parent)});
    return folder;
  }
  int RemoveFolder(platform::Directory* parent, const char* name) override {
    const int ok = FileOps::RemoveFolder(parent, name);
    if (ok) Removed(parent, Path(parent, name) + "/");
    return ok;
  }
  void CloseDirectory(platform::Directory* dir) override {
    folders_.erase(dir);
    FileOps::CloseDirectory(dir);
  }
  // Only the changes to this folder's own names become durable.
  int Sync(platform::Directory* dir) override {
    const int ok = FileOps::Sync(dir);
    if (ok) {
      const std::string folder = Folder(dir);
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->folder != folder) {
          ++it;
          continue;
        }
        Apply(*it, &disk_.synced);
        it = pending_.erase(it);
      }
    }
    Mark();
    return ok;
  }

  // The states a power cut at point `i` of the log may leave.
  std::vector<Snapshot> CutStates(size_t i) const { return points_[i]; }
  size_t points() const { return points_.size(); }

 private:
  std::string Folder(platform::Directory* dir) const {
    const auto it = folders_.find(dir);
    return it == folders_.end() ? std::string() : it->second;
  }
  std::string Path(platform::Directory* dir, const char* name) const {
    return Folder(dir) + name;
  }
  int NewInode() {
    disk_.durable.emplace_back();
    disk_.written.emplace_back();
    return static_cast<int>(disk_.durable.size() - 1);
  }
  void Moved(platform::Directory* dir, const char* from, const char* to, bool replace) {
    const std::string path = Path(dir, from);
    Change({NameChange::kRename, path, Path(dir, to), disk_.names[path], replace, Folder(dir)});
  }
  void Removed(platform::Directory* parent, const std::string& path) {
    Change({NameChange::kRemove, path, "", disk_.names[path], false, Folder(parent)});
  }
  static void Apply(const NameChange& c, std::map<std::string, int>* names) {
    if (c.kind == NameChange::kCreate) {
      (*names)[c.to] = c.inode;
    } else if (names->count(c.from) && (*names)[c.from] == c.inode) {
      names->erase(c.from);
      if (c.kind == NameChange::kRename) (*names)[c.to] = c.inode;
    }
  }
  // A name whose folder (or one above it) the cut lost is in no folder on
  // the disk: it cannot be there.
  static bool Reachable(const std::map<std::string, int>& names, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos && slash + 1 < path.size();
         slash = path.find('/', slash + 1))
      if (!names.count(path.substr(0, slash + 1))) return false;
    return true;
  }
  Snapshot Lay(const std::map<std::string, int>& names, const std::vector<Bytes>& data) const {
    Snapshot s;
    for (const auto& n : names)
      if (Reachable(names, n.first)) s[n.first] = data[n.second];
    return s;
  }
  void Change(const NameChange& c) {
    Apply(c, &disk_.names);
    pending_.push_back(c);
    Mark();
  }
  // Records the states a cut right now may leave.
  void Mark() {
    std::vector<Snapshot> states;
    states.push_back(Lay(disk_.synced, disk_.durable));
    for (const NameChange& c : pending_) {
      std::map<std::string, int> alone = disk_.synced;
      Apply(c, &alone);
      states.push_back(Lay(alone, disk_.durable));
    }
    states.push_back(Lay(disk_.names, disk_.durable));
    for (size_t inode = 0; inode < disk_.written.size(); ++inode) {
      if (disk_.written[inode] == disk_.durable[inode]) continue;
      std::vector<Bytes> data = disk_.written;
      data[inode].resize(data[inode].size() / 2);
      states.push_back(Lay(disk_.names, data));
      data[inode] = disk_.durable[inode];
      states.push_back(Lay(disk_.names, data));
    }
    points_.push_back(states);
  }

  ModelDisk disk_;
  std::vector<NameChange> pending_;
  std::map<platform::File*, int> files_;
  std::map<platform::Directory*, std::string> folders_;  // each open folder's path + '/'
  std::vector<std::vector<Snapshot>> points_;
};

// The laid-out states are new files: they cannot keep the owners and the
// identities of the files a patch moved, so the shapes that hang on those
// are swept above, on the real files.
TEST_P(EachShape, PowerCutAtEveryPointRecoversAWholeSet) {
  if (shape.kind == Shape::kForeign || shape.kind == Shape::kSwapped) GTEST_SKIP();
  Outcome outcome;
  RecordingOps recorder(before);
  {
    ScratchDir dir(SweepParent());
    shape.Lay(dir);
    ASSERT_TRUE(Apply(payload, dir, recorder));
  }
  size_t states = 0;
  for (size_t point = 0; point < recorder.points(); ++point) {
    for (const Snapshot& state : recorder.CutStates(point)) {
      ++states;
      ScratchDir dir(SweepParent());
      Restore(dir, state);
      RecoverClean(shape, dir, &outcome, "point " + std::to_string(point));
    }
  }
  printf("power cut at each of %zu points, %zu states: %d old set, %d new set, %d with "
         "leftovers, %d mixed\n",
         recorder.points(), states, outcome.old_set, outcome.new_set, outcome.leftovers,
         outcome.mixed);
  EXPECT_GT(outcome.old_set, 0);
  EXPECT_GT(outcome.new_set, 0);
  EXPECT_EQ(outcome.leftovers + outcome.mixed, 0);
}

}  // namespace
