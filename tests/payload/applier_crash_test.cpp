// The applier killed outright (SIGKILL, in a child process) at each of its
// file operations in turn, and the recovery that follows stopped dead again
// at each of its own: once recovered, the directory holds exactly the old
// files or exactly the new ones, names and letter case included; so it
// does when one call of that recovery fails.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "applier_harness.h"

namespace {

void KillNow() { raise(SIGKILL); }

// Runs `run` in a child process killed at its file operation number `at`.
// True when it was killed, false when it ran to its end first.
bool RunKilledAt(long at, const std::function<void(FileOps&)>& run) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    ScriptedOps ops;
    ops.end_at = at;
    ops.end = KillNow;
    run(ops);
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int Apply(const Bytes& payload, const ScratchDir& dir, FileOps& ops) {
  return ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops);
}

int Recover(const ScratchDir& dir, FileOps& ops) {
  return RecoverDirectory(dir.path().c_str(), ops);
}

TEST(ApplierCrash, KilledAtAnyCallAndRecoveredHoldsTheOldOrTheNewFiles) {
  Release release;
  const Bytes payload = release.Payload();
  const Snapshot before = Installation(), after = release.After(before);
  ScriptedOps counter;
  {
    ScratchDir dir(SweepParent());
    Restore(dir, before);
    ASSERT_TRUE(Apply(payload, dir, counter));
  }
  Outcome recovered, recovered_twice, recovered_failing;
  for (long at = 0; at < counter.calls(); ++at) {
    ScratchDir dir(SweepParent());
    Restore(dir, before);
    ASSERT_TRUE(RunKilledAt(at, [&](FileOps& ops) { Apply(payload, dir, ops); })) << at;
    const Snapshot crashed = Take(dir);
    FileOps ops;
    EXPECT_NE(Recover(dir, ops), kRecoveryFailed) << at;
    recovered.Count(Take(dir), before, after);
    // The recovery, itself stopped dead at each of its calls (frozen: the
    // disk is left as a kill there leaves it), or failing that one call,
    // then run again.
    for (long again = 0;; ++again) {
      ScratchDir copy(SweepParent()), other(SweepParent());
      Restore(copy, crashed);
      Restore(other, crashed);
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
    // The next patch recovers first, then patches.
    ScratchDir next(SweepParent());
    Restore(next, crashed);
    EXPECT_TRUE(Apply(payload, next, ops)) << at;
    EXPECT_EQ(Take(next), after) << at;
  }
  printf("killed at each of %ld calls: %d old set, %d new set, %d with leftovers, %d mixed\n",
         counter.calls(), recovered.old_set, recovered.new_set, recovered.leftovers,
         recovered.mixed);
  printf("recovery stopped too, %d trials: %d old set, %d new set, %d with leftovers, %d mixed\n",
         recovered_twice.trials(), recovered_twice.old_set, recovered_twice.new_set,
         recovered_twice.leftovers, recovered_twice.mixed);
  printf("a call of the recovery failed, %d trials: %d old set, %d new set, %d with leftovers, "
         "%d mixed\n",
         recovered_failing.trials(), recovered_failing.old_set, recovered_failing.new_set,
         recovered_failing.leftovers, recovered_failing.mixed);
  EXPECT_GT(recovered.old_set, 0);
  EXPECT_GT(recovered.new_set, 0);
  EXPECT_EQ(recovered.leftovers + recovered.mixed, 0);
  EXPECT_EQ(recovered_twice.leftovers + recovered_twice.mixed, 0);
  EXPECT_EQ(recovered_failing.leftovers + recovered_failing.mixed, 0);
}

}  // namespace
