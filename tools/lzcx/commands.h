// Pieces of lzcx shared between its commands.
#ifndef PATCHER_TOOLS_LZCX_COMMANDS_H
#define PATCHER_TOOLS_LZCX_COMMANDS_H

#include <stdint.h>

#include <string>
#include <vector>

// Reads a whole file; zero with the reason in `why` when it cannot.
int ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, std::string* why);

// What a path names, as the packer needs to know it (symbolic links are
// followed). Two paths name the same file when device and inode agree.
struct PathInfo {
  enum Kind { kMissing, kRegular, kDirectory, kOther } kind;
  uint64_t size;
  uint64_t device;
  uint64_t inode;
};
// Zero with the reason in `why` when the path cannot be examined; a path
// that does not exist is not a failure (kind kMissing).
int ExaminePath(const char* path, PathInfo* info, std::string* why);

// Whether a file can be created beside `path`: its directory exists and is
// writable. Zero with the reason in `why` when not.
int CanCreateBeside(const char* path, std::string* why);

// Writes `bytes` to a new temporary file beside `path` and renames it over
// `path` once it is complete and flushed; on any failure the temporary
// file is removed and `path` is as it was.
int ReplaceFileAtomically(const char* path, const std::vector<uint8_t>& bytes,
                          std::string* why);

bool StderrIsTerminal();

#endif  // PATCHER_TOOLS_LZCX_COMMANDS_H
