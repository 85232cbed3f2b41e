#include "lzcx/find.h"

#include <string.h>

#include "lzcx/commands.h"
#include "resources/resource_ids.h"
#include "scanner/target_scanner.h"

namespace {

// The drive list of --find-in: the given folders, each searched as a
// fixed drive, in the order given.
class FolderScan : public ScanSystem {
 public:
  explicit FolderScan(const std::string& roots) : roots_(roots) {}
  void GetDriveList(char* buffer, int size) override {
    if (roots_.size() <= static_cast<size_t>(size)) memcpy(buffer, roots_.data(), roots_.size());
  }
  unsigned DriveType(const char*) override { return platform::kDriveFixed; }

 private:
  std::string roots_;  // directory strings, each ended by a NUL; one more ends the list
};

}  // namespace

std::string FindInstallation(const std::vector<const char*>& find_in, bool* started) {
  std::string roots;
  for (const char* folder : find_in) roots += DirectoryString(folder) + '\0';
  roots += '\0';
  ScanSystem machine;
  FolderScan folders(roots);
  TargetScanner scanner(find_in.empty() ? machine : folders);
  char found[platform::kPathBuffer];
  *started = scanner.Start(PROGRAM_FILE) != 0;
  if (!*started) return std::string();
  // Read running() before the found state, as the scanner asks.
  while (scanner.running()) platform::SleepMilliseconds(10);
  if (!scanner.CopyFoundPath(found)) return std::string();
  char* last = strrchr(found, platform::kPathSeparator);
  if (last) last[1] = 0;
  return found;
}
