// lzcx extract --find and --find-in: every installation below the drives
// or the folders given, each one known for what it is.
#ifndef PATCHER_TOOLS_LZCX_FIND_H
#define PATCHER_TOOLS_LZCX_FIND_H

#include <string>
#include <vector>

class FileOps;
class PatchEntries;
namespace platform {
struct Directory;
}

struct FindRequest {
  std::vector<const char*> find_in;  // empty: the machine's drives
  bool network = false;              // network drives too
  unsigned timeout_seconds = 600;
  bool progress = false;             // the folder searched, on one line of stderr
};

// A folder that holds an installation: its Vusk.exe is a Windows
// executable, or a journal of ours there names it (an interrupted patch,
// whatever it left of the program).
struct FoundFolder {
  std::string dir;  // the directory string, ending in a separator
  bool interrupted;
};

// Walks every folder below the drives (fixed, CD and RAM ones; network
// ones when asked) or below the --find-in folders, depth first, entering
// no link, junction, other mount, or folder whose name begins with a dot.
// The folders found go to `found` in path order. Zero when the time ran
// out first: `found` then holds what was found until then.
int FindInstallations(const FindRequest& request, std::vector<FoundFolder>* found);

// Zero, with "DIR: why" in `why`, when a --find-in folder is missing, is
// no folder or cannot be listed.
int CheckSearchFolder(const char* folder, std::string* why);

// Whether every file to write is at its path in `dir` as the payload has
// it (size and CRC-32C of the bytes read back against the CRC-32C the
// check of the payload found), and every file to remove is gone or is not
// the old release's (which a patch keeps).
bool HoldsRelease(FileOps& ops, platform::Directory* dir, const PatchEntries& entries);

// How an installation stands to a payload with delta entries.
enum Standing {
  kStandsOld,       // every delta's old file is there: the patch applies
  kStandsCurrent,   // every file already as the payload has it
  kStandsNeither,   // a modified or missing old file: not this version
};
// Always kStandsOld for a payload without delta entries, and for a folder
// with an interrupted patch (judged only once it is recovered).
Standing JudgeFolder(const PatchEntries& entries, const FoundFolder& folder);

#endif  // PATCHER_TOOLS_LZCX_FIND_H
