// The target search against GNU find, and how long a stop takes.
//
//   scan_bench [ROOT]   (default /usr)
//
// 1. A search for a name that exists nowhere, over ROOT with a warm cache:
//    the real TargetScanner on the POSIX backend, and `find ROOT -iname
//    NAME` in the same run; directories per second for both, and the ratio.
//    (The scanner is polled every millisecond here, not every 40 ms as the
//    dialog polls it, so the time is the search's own.)
// 2. TargetScanner::Stop on a deep tree: a scan is stopped at a random
//    moment while it walks, many times; median and worst of the stop times.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "corpus.h"
#include "platform/platform.h"
#include "scan-tree/counting_system.h"
#include "scanner/target_scanner.h"
#include "support/scratch.h"

namespace {

const char kMissing[] = "no-such-program-7f3a.exe";

// One scan to its end; seconds taken, directories entered in *entered.
double TimeScan(long* entered) {
  CountingSystem system;
  TargetScanner scanner(system);
  const double start = SecondsNow();
  if (!scanner.Start(kMissing)) return -1;
  while (scanner.running()) platform::SleepMilliseconds(1);
  const double seconds = SecondsNow() - start;
  scanner.Stop();
  *entered = system.entered.load();
  return seconds;
}

double TimeFind(const std::string& root) {
  const std::string command = "find '" + root + "' -iname " + kMissing + " >/dev/null 2>&1";
  const double start = SecondsNow();
  if (system(command.c_str()) == -1) return -1;
  return SecondsNow() - start;
}

long CountDirectories(const std::string& root) {
  const std::string command = "find '" + root + "' -type d 2>/dev/null | wc -l";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return 0;
  long n = 0;
  if (fscanf(pipe, "%ld", &n) != 1) n = 0;
  pclose(pipe);
  return n;
}

void CompareWithFind(const std::string& root) {
  const char* roots[] = {root.c_str()};
  platform::UseSearchRoots(roots, 1);
  const long find_dirs = CountDirectories(root);
  long entered = 0;
  TimeScan(&entered);  // warm the cache
  TimeFind(root);
  double best_scan = 1e9, best_find = 1e9;
  for (int round = 0; round < 5; ++round) {
    best_scan = std::min(best_scan, TimeScan(&entered));
    best_find = std::min(best_find, TimeFind(root));
  }
  const double scan_rate = entered / best_scan, find_rate = find_dirs / best_find;
  printf("search for a missing name over %s (best of 5, warm cache)\n", root.c_str());
  printf("  %-16s %8ld directories %8.3f s %10.0f directories/s\n", "TargetScanner", entered,
         best_scan, scan_rate);
  printf("  %-16s %8ld directories %8.3f s %10.0f directories/s\n", "find -iname", find_dirs,
         best_find, find_rate);
  printf("  scanner/find: %.2fx the directories per second\n", scan_rate / find_rate);
  platform::UseSearchRoots(nullptr, 0);
}

// A deep tree: a chain of `depth` directories, each with `fan` empty
// siblings beside the link that goes on.
void MakeDeepTree(const std::string& root, int depth, int fan) {
  std::string dir = root;
  for (int level = 0; level < depth; ++level) {
    for (int i = 0; i < fan; ++i) mkdir((dir + "s" + std::to_string(i)).c_str(), 0755);
    dir += "d/";
    mkdir(dir.c_str(), 0755);
  }
}

void StopLatency() {
  ScratchDir scratch;
  const int kDepth = 60, kFan = 40;
  MakeDeepTree(scratch.path(), kDepth, kFan);
  const char* roots[] = {scratch.path().c_str()};
  platform::UseSearchRoots(roots, 1);
  long entered = 0;
  const double walk = TimeScan(&entered);
  std::vector<double> stops;
  srand(12345);
  int attempts = 0;
  while (stops.size() < 100 && attempts++ < 1000) {
    TargetScanner scanner;
    scanner.Start(kMissing);
    // Somewhere in the walk: most of its length, in microseconds.
    const double until = SecondsNow() + walk * 0.8 * (rand() % 1000) / 1000.0;
    while (SecondsNow() < until) {
    }
    if (!scanner.running()) continue;  // ended already: not a stop
    const double start = SecondsNow();
    scanner.Stop();
    stops.push_back((SecondsNow() - start) * 1000);
  }
  platform::UseSearchRoots(nullptr, 0);
  if (stops.empty()) return;
  std::sort(stops.begin(), stops.end());
  printf("TargetScanner::Stop during a walk of a deep tree (%ld directories, %d levels, "
         "walk %.1f ms)\n", entered, kDepth, walk * 1000);
  printf("  %zu stops: median %.2f ms, worst %.2f ms, best %.2f ms\n", stops.size(),
         stops[stops.size() / 2], stops.back(), stops.front());
  printf("  (Stop sleeps 10 ms after each query of the worker; the walk ends at\n"
         "   its next check point, long before the first sleep is over)\n");
}

}  // namespace

int main(int argc, char** argv) {
  CompareWithFind(argc > 1 ? argv[1] : "/usr");
  StopLatency();
  return 0;
}
