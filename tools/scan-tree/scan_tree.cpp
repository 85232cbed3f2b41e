// scan-tree: runs the program's target search natively.
//
//   scan-tree --name NAME ROOT...   search ROOTs (as fixed drives) for NAME
//   scan-tree --drives              the drive roots and types of this machine
//
// The search is the real TargetScanner: started, then polled every 40 ms as
// the main dialog polls it. The found full path goes to stdout (nothing when
// not found), the directories entered and the seconds taken to stderr. The
// exit status is 0 on a find, 1 when nothing was found, 2 on a usage error.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <vector>

#include "platform/platform.h"
#include "scan-tree/counting_system.h"
#include "scanner/target_scanner.h"

namespace {

const uint32_t kTickMilliseconds = 40;  // the dialog's scan timer

double SecondsNow() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int Usage() {
  fprintf(stderr,
          "usage: scan-tree --name NAME ROOT...\n"
          "       scan-tree --drives\n");
  return 2;
}

int ListDrives() {
  char list[platform::kDriveListBuffer];
  platform::GetDriveRoots(list, sizeof list);
  static const char* const kNames[] = {"unknown", "no root dir", "removable", "fixed",
                                       "remote", "cd-rom", "ram disk"};
  for (const char* root = list; *root; root += strlen(root) + 1) {
    const unsigned type = platform::DriveTypeOf(root);
    printf("%u %-12s %s\n", type, type < 7 ? kNames[type] : "other", root);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--drives") == 0) return ListDrives();
  if (argc < 4 || strcmp(argv[1], "--name") != 0) return Usage();
  const char* name = argv[2];
  std::vector<const char*> roots(argv + 3, argv + argc);
  if (!platform::UseSearchRoots(roots.data(), static_cast<int>(roots.size()))) {
    fprintf(stderr, "scan-tree: a root must be an absolute path below %d characters\n",
            platform::kPathBuffer - 1);
    return 2;
  }

  CountingSystem system;
  int found = 0;
  const double start = SecondsNow();
  {
    TargetScanner scanner(system);
    if (!scanner.Start(name)) {
      fprintf(stderr, "scan-tree: the search could not be started\n");
      return 2;
    }
    char path[platform::kPathBuffer];
    for (;;) {
      platform::SleepMilliseconds(kTickMilliseconds);
      // The running flag first: once it reads 0, the scan's outcome shows.
      const bool running = scanner.running();
      if (scanner.CopyFoundPath(path)) {
        printf("%s\n", path);
        found = 1;
        break;
      }
      if (!running) break;
    }
  }
  fprintf(stderr, "%ld directories entered, %.3f s\n", system.entered.load(),
          SecondsNow() - start);
  return found ? 0 : 1;
}
