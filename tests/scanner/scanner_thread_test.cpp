// The scanner with a real worker thread (the platform's threads, the
// in-memory volume for the drives): start, stop, the dialog's polling, and
// the handle's life. Also built with ThreadSanitizer.
#include "scanner/target_scanner.h"

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <string>

#include "scanner/memory_volume.h"

namespace {

const char kTarget[] = "Vusk.exe";

std::string Str(const char* p) { return p ? p : "(null)"; }

// Polls `done` every millisecond for up to ten seconds.
template <class F>
bool WaitFor(F done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    platform::SleepMilliseconds(1);
  }
  return done();
}

void AddTarget(MemoryVolume& volume) {
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddDirectory("C:/first/inner");
  volume.AddDirectory("C:/second");
  volume.AddFile("C:/second/app/Vusk.exe");
}

const std::string kFound = P("C:/second/app/Vusk.exe");

TEST(TargetScannerThreads, WorkerFindsTheTargetAndEndsByItself) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  AddTarget(volume);
  TargetScanner scanner(volume);
  ASSERT_EQ(scanner.Start(kTarget), 1);
  ASSERT_TRUE(WaitFor([&] { return !scanner.running(); }));
  char out[platform::kPathBuffer];
  ASSERT_EQ(scanner.CopyFoundPath(out), 1);
  EXPECT_EQ(out, kFound);
  EXPECT_EQ(Str(scanner.FoundPath()), kFound);
  scanner.Stop();
  EXPECT_EQ(volume.threads_released(), 1);
  EXPECT_EQ(volume.open_listings(), 0);
}

TEST(TargetScannerThreads, StopWithoutAWorkerReturnsAtOnce) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  TargetScanner scanner(volume);
  scanner.Stop();
  EXPECT_FALSE(scanner.running());
  EXPECT_TRUE(volume.Log().empty());
}

TEST(TargetScannerThreads, StopAfterTheWorkerEndedByItselfDoesNotWait) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  AddTarget(volume);
  TargetScanner scanner(volume);
  // Held until Start has stored the handle: a worker that ends before that
  // leaves a stale handle behind, which costs the stop one sleep.
  volume.hold_probes = 1;
  ASSERT_EQ(scanner.Start(kTarget), 1);
  volume.hold_probes = 0;
  // The worker clears its handle as its last act, after the running flag.
  ASSERT_TRUE(WaitFor([&] { return volume.workers_returned() == 1; }));
  EXPECT_FALSE(scanner.running());
  scanner.Stop();
  EXPECT_TRUE(volume.Calls("sleep").empty());
  EXPECT_EQ(volume.threads_released(), 1);
}

TEST(TargetScannerThreads, StartThatCannotCreateAThreadLeavesTheFlagUntilStop) {
  MemoryVolume volume(MemoryVolume::kNoThreads);
  AddTarget(volume);
  TargetScanner scanner(volume);
  EXPECT_EQ(scanner.Start(kTarget), 0);
  EXPECT_TRUE(scanner.running());
  EXPECT_EQ(scanner.FoundPath(), nullptr);
  scanner.Stop();
  EXPECT_FALSE(scanner.running());
  EXPECT_TRUE(volume.Calls("sleep").empty());
  EXPECT_TRUE(volume.Calls("release").empty());
  EXPECT_EQ(scanner.Start(kTarget), 0);
}

TEST(TargetScannerThreads, StopEndsARunningScanAndWaitsForTheWorker) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.MakeEndless();
  TargetScanner scanner(volume);
  ASSERT_EQ(scanner.Start(kTarget), 1);
  ASSERT_TRUE(WaitFor([&] { return volume.probes() > 20; }));
  EXPECT_TRUE(scanner.running());
  scanner.Stop();
  EXPECT_FALSE(scanner.running());
  // The worker has ended: nothing more happens on the volume.
  const int steps = volume.steps();
  EXPECT_EQ(volume.open_listings(), 0);
  EXPECT_EQ(volume.threads_released(), 1);
  platform::SleepMilliseconds(30);
  EXPECT_EQ(volume.steps(), steps);
  EXPECT_EQ(scanner.FoundPath(), nullptr);
  // The progress directory is a directory the walk entered (the endless
  // walk is soon deep enough to be shown by its end only).
  scanner.lock().Enter();
  const std::string progress = scanner.progress_directory();
  scanner.lock().Leave();
  EXPECT_NE(progress.find(P("d0/")), std::string::npos) << progress;
  EXPECT_EQ(progress.back(), platform::kPathSeparator);
  EXPECT_LE(progress.size(), 259u);
}

TEST(TargetScannerThreads, DestroyingTheScannerDuringAScanWaitsForTheWorker) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.MakeEndless();
  std::unique_ptr<TargetScanner> scanner(new TargetScanner(volume));
  ASSERT_EQ(scanner->Start(kTarget), 1);
  ASSERT_TRUE(WaitFor([&] { return volume.probes() > 20; }));
  scanner.reset();
  const int steps = volume.steps();
  EXPECT_EQ(volume.open_listings(), 0);
  EXPECT_EQ(volume.threads_released(), volume.threads_started());
  platform::SleepMilliseconds(30);
  EXPECT_EQ(volume.steps(), steps);
}

TEST(TargetScannerThreads, ProbeUnderWayWhenStopIsPressedStillCounts) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/Vusk.exe");
  volume.hold_probes = 1;
  TargetScanner scanner(volume);
  ASSERT_EQ(scanner.Start(kTarget), 1);
  ASSERT_TRUE(WaitFor([&] { return volume.probes() == 1; }));
  // Stop blocks this thread until the worker ends; another lets the probe
  // finish meanwhile.
  uint32_t id = 0;
  platform::ThreadHandle releaser = platform::StartThread(
      [](void* v) -> uint32_t {
        platform::SleepMilliseconds(30);
        static_cast<MemoryVolume*>(v)->hold_probes = 0;
        return 0;
      },
      &volume, &id);
  ASSERT_NE(releaser, nullptr);
  scanner.Stop();
  platform::ReleaseThread(releaser);
  EXPECT_FALSE(scanner.running());
  EXPECT_EQ(Str(scanner.FoundPath()), P("C:/Vusk.exe"));
  EXPECT_GE(volume.Calls("sleep").size(), 1u);
}

// A tick reads the running flag first and the found state second: once the
// flag reads 0, the outcome of that scan is visible, so a scan that hits is
// never taken for one that ended without a find. (Read the other way round,
// the worker can publish its hit between the two reads.)
TEST(TargetScannerThreads, PollingNeverTakesAHitForAMiss) {
  for (int round = 0; round < 100; ++round) {
    MemoryVolume volume(MemoryVolume::kRealThreads);
    AddTarget(volume);
    TargetScanner scanner(volume);
    ASSERT_EQ(scanner.Start(kTarget), 1);
    char out[platform::kPathBuffer];
    for (;;) {
      const bool running = scanner.running();
      if (scanner.CopyFoundPath(out)) {
        ASSERT_EQ(out, kFound);
        break;
      }
      ASSERT_TRUE(running) << "a hit was seen as a miss in round " << round;
    }
  }
}

// Repeated scans as the dialog makes them: each new start comes as soon as
// a tick has taken the path, often while the previous worker is still
// finishing. Every worker is waited for and released.
TEST(TargetScannerThreads, RepeatedScansReleaseEveryWorker) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  AddTarget(volume);
  {
    TargetScanner scanner(volume);
    char out[platform::kPathBuffer];
    for (int round = 0; round < 25; ++round) {
      ASSERT_EQ(scanner.Start(kTarget), 1);
      ASSERT_TRUE(WaitFor([&] { return scanner.CopyFoundPath(out) == 1; }));
      EXPECT_EQ(out, kFound);
      EXPECT_LE(volume.threads_started() - volume.threads_released(), 1);
    }
    // After the first hit, every scan is one probe of the remembered
    // directory: the drives were walked once.
    EXPECT_EQ(volume.Calls("drives").size(), 1u);
  }
  EXPECT_EQ(volume.threads_started(), 25);
  EXPECT_EQ(volume.threads_released(), 25);
}

// Scans for names of different lengths, polled as the dialog polls: each
// scan reports only its own find, never the previous scan's, and every copy
// is one whole path (ThreadSanitizer sees an unguarded write in any case).
TEST(TargetScannerThreads, EachScanReportsOnlyItsOwnWholeFind) {
  MemoryVolume volume(MemoryVolume::kRealThreads);
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/dir/Vusk.exe");
  const std::string long_name = "a-much-longer-name-of-the-same-program.exe";
  volume.AddFile("C:/dir/" + long_name);
  TargetScanner scanner(volume);
  char out[platform::kPathBuffer];
  ASSERT_EQ(scanner.Start(kTarget), 1);
  ASSERT_TRUE(WaitFor([&] { return !scanner.running(); }));
  const std::string short_path = P("C:/dir/Vusk.exe"), long_path = P("C:/dir/") + long_name;
  for (int round = 0; round < 100; ++round) {
    const std::string& expected = round % 2 ? short_path : long_path;
    ASSERT_EQ(scanner.Start(round % 2 ? kTarget : long_name.c_str()), 1);
    for (;;) {
      const bool running = scanner.running();
      if (scanner.CopyFoundPath(out)) {
        ASSERT_EQ(out, expected) << round;
        break;
      }
      ASSERT_TRUE(running) << round;
    }
  }
  scanner.Stop();
  EXPECT_EQ(Str(scanner.FoundPath()), short_path);
}

}  // namespace
