// A scratch directory for tests that write files, removed with its contents
// when the object goes. Native builds use POSIX calls, Windows builds Win32.
#ifndef PATCHER_TESTS_SUPPORT_SCRATCH_H
#define PATCHER_TESTS_SUPPORT_SCRATCH_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Names in `directory` (a directory string, ending in the separator),
// sorted, "." and ".." left out.
std::vector<std::string> ListNames(const std::string& directory);

class ScratchDir {
 public:
  // In the system's temporary directory, or in `parent` if given.
  explicit ScratchDir(const char* parent = nullptr);
  ~ScratchDir();

  // The directory string, ending in the path separator.
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + name; }

  // Names in the directory, sorted, "." and ".." left out.
  std::vector<std::string> Names() const { return ListNames(path_); }

 private:
  std::string path_;
};

// Where many short-lived directories go (the applier's sweeps, the payload
// fuzzer's applies): a RAM file system where there is one, else null (the
// system's temporary directory). What a failing or killed process leaves
// is tested there, not what the disk keeps after a power cut, and a sync
// costs nothing.
const char* SweepParent();

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes);
bool MakeDirectory(const std::string& path);
// Whether `path` is a directory itself (POSIX: not a link to one).
bool IsDirectory(const std::string& path);
bool SetReadOnly(const std::string& path, bool read_only);
bool GetWorkingDirectory(char* buffer, size_t size);
bool SetWorkingDirectory(const char* path);
// Removes a file or a whole directory tree.
void RemoveTree(const std::string& path);

// What an administrator sets on a file: POSIX its mode's permission bits,
// Windows its attributes. ~0u when they cannot be read.
uint32_t GetPermissions(const std::string& path);
bool SetPermissions(const std::string& path, uint32_t set);

#ifndef _WIN32
// A RAM file system of `kilobytes` mounted on the directory `path` while
// the object lives: a nearly full volume. Mounting needs root.
struct SmallVolume {
  SmallVolume(const std::string& path, int kilobytes);
  ~SmallVolume();
  std::string path_;
  bool mounted_;
};
#endif

#endif  // PATCHER_TESTS_SUPPORT_SCRATCH_H
