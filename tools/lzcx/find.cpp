#include "lzcx/find.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>

#include "lzcx/commands.h"
#include "lzcx/pe_image.h"
#include "lzcx/progress_line.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "payload/entries.h"
#include "payload/patch_files.h"
#include "resources/resource_ids.h"
#include "scanner/scan_system.h"

namespace {

// A program file larger than this is no program of ours.
const uint64_t kLargestProgram = 256u << 20;

// As the program's scanner: a listing that delivers nothing but entries it
// cannot give is given up after this many in a row.
const int kMostSkippedInARow = 4096;

typedef std::chrono::steady_clock Clock;

class Search {
 public:
  Search(const FindRequest& request, std::vector<FoundFolder>* found)
      : found_(found), line_(request.progress),
        deadline_(Clock::now() + std::chrono::seconds(request.timeout_seconds)) {}

  // Every folder below the directory string `path`; zero once the time is up.
  int Walk(const std::string& path) {
    line_.Show("searching: ", path);
    // A pattern past the path limit cannot be opened: nothing below.
    if (path.size() + 2 > static_cast<size_t>(platform::kPathBuffer)) return 1;
    const std::string pattern = path + '*';
    int step = platform::kListingEnd;
    platform::Listing* listing = system_.OpenListing(pattern.c_str(), &entry_, &step);
    if (!listing) return 1;
    std::vector<std::string> folders;
    std::string program;
    bool journal = false;
    for (int skipped = 0; step != platform::kListingEnd;
         step = system_.NextEntry(listing, &entry_)) {
      skipped = step == platform::kListingEntry ? 0 : skipped + 1;
      if (skipped == kMostSkippedInARow) break;
      if (skipped) continue;
      const bool folder = (entry_.attributes & platform::kAttributeDirectory) != 0;
      if (folder) {
        if (!(entry_.attributes & platform::kAttributeReparsePoint) && entry_.name[0] != '.')
          folders.push_back(entry_.name);
      } else if (platform::SameFileName(entry_.name, PROGRAM_ENTRY)) {
        program = entry_.name;
      } else if (platform::SameFileName(entry_.name, kJournalName)) {
        journal = true;
      }
    }
    system_.CloseListing(listing);
    const bool interrupted = journal && system_.JournalNames(path.c_str(), PROGRAM_ENTRY);
    if (interrupted || (!program.empty() && IsProgram(path + program)))
      found_->push_back(FoundFolder{path, interrupted});
    for (const std::string& name : folders) {
      if (Clock::now() >= deadline_) return 0;
      if (!Walk(path + name + platform::kPathSeparator)) return 0;
    }
    return 1;
  }

 private:
  // Whether the file is a Windows executable: an 8-byte file that happens
  // to be named so is not.
  static bool IsProgram(const std::string& path) {
    FileBytes bytes;
    std::string why;
    return ReadRegularFile(path.c_str(), kLargestProgram, "a program", &bytes, &why) &&
           CheckExecutable(bytes.data.get(), bytes.size, &why);
  }

  std::vector<FoundFolder>* found_;
  ProgressLine line_;
  Clock::time_point deadline_;
  ScanSystem system_;
  platform::FindData entry_;
};

}  // namespace

int FindInstallations(const FindRequest& request, std::vector<FoundFolder>* found) {
  std::vector<std::string> roots;
  for (const char* folder : request.find_in) roots.push_back(DirectoryString(folder));
  if (request.find_in.empty()) {
    ScanSystem machine;
    char drives[platform::kDriveListBuffer] = "";
    machine.GetDriveList(drives, sizeof drives);
    drives[sizeof drives - 2] = 0;
    drives[sizeof drives - 1] = 0;
    for (const char* root = drives; *root; root += strlen(root) + 1) {
      const unsigned type = machine.DriveType(root);
      if (type == platform::kDriveUnknown || type == platform::kDriveNoRootDir ||
          type == platform::kDriveRemovable || (type == platform::kDriveRemote && !request.network))
        continue;
      roots.push_back(root);
    }
  }
  platform::QuietCriticalErrors();
  Search search(request, found);
  int complete = 1;
  for (const std::string& root : roots)
    if (!search.Walk(root)) {
      complete = 0;
      break;
    }
  std::sort(found->begin(), found->end(),
            [](const FoundFolder& a, const FoundFolder& b) { return a.dir < b.dir; });
  return complete;
}

int CheckSearchFolder(const char* folder, std::string* why) {
  PathInfo info;
  std::string reason;
  if (!ExaminePath(folder, &info, &reason)) {
  } else if (info.kind == PathInfo::kMissing) {
    reason = "no such folder";
  } else if (info.kind != PathInfo::kDirectory) {
    reason = "not a folder";
  } else {
    const std::string pattern = DirectoryString(folder) + '*';
    platform::FindData entry;
    int first = 0;
    if (platform::Listing* listing = platform::OpenListing(pattern.c_str(), &entry, &first)) {
      platform::CloseListing(listing);
      return 1;
    }
    reason = "cannot list it";
  }
  *why = std::string(folder) + ": " + reason;
  return 0;
}

bool HoldsRelease(FileOps& ops, platform::Directory* dir, const PatchEntries& entries) {
  for (int i = 0; i < entries.count(); ++i) {
    const PayloadEntry& e = entries[i];
    bool present;
    const int holds = e.removal ? PathHolds(ops, dir, e.name, e.old_size, e.old_crc, &present)
                                : PathHolds(ops, dir, e.name, e.expanded_length, e.new_crc,
                                            &present);
    if (holds != (e.removal ? 0 : 1)) return false;
  }
  return true;
}

Standing JudgeFolder(const PatchEntries& entries, const FoundFolder& folder) {
  bool delta = false;
  for (int i = 0; i < entries.all_count(); ++i) delta = delta || IsDelta(entries.all(i));
  if (!delta || folder.interrupted) return kStandsOld;
  FileOps ops;
  platform::Directory* dir = ops.Open(folder.dir.c_str());
  if (!dir) return kStandsOld;  // the patch says why it cannot go in
  const bool current = HoldsRelease(ops, dir, entries);
  // The old release of any base, as a whole.
  bool old = false, present;
  for (int base = 0; base < entries.bases() && !old && !current; ++base) {
    old = true;
    for (int i = 0; i < entries.all_count() && old; ++i) {
      const PayloadEntry& e = entries.all(i);
      if (IsDelta(e) && (!e.bases || (e.bases >> base & 1)))
        old = PathHolds(ops, dir, e.name, e.old_size, e.old_crc, &present) == 1;
    }
  }
  ops.CloseDirectory(dir);
  return current ? kStandsCurrent : old ? kStandsOld : kStandsNeither;
}
