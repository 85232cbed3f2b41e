// Pieces of lzcx shared between its commands.
#ifndef PATCHER_TOOLS_LZCX_COMMANDS_H
#define PATCHER_TOOLS_LZCX_COMMANDS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

// The file handling is the same interface on every system: posix/io.cpp
// and win32/io.cpp implement what differs, io.cpp the rest.

// Reads a whole regular file (as ReadRegularFile, any size); zero with the
// reason in `why` when it cannot.
int ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, std::string* why);

// Paths as the system writes them: on Windows both '\\' and '/' separate
// names (and "C:" begins a path), elsewhere only '/' does.
bool IsPathSeparator(char c);
// The last name of a path: "vusk.exe" of "release/vusk.exe".
const char* BaseName(const char* path);
// The directory that holds `path`'s last name: "." when it has none.
std::string ParentDirectory(const char* path);
// A directory as the applier takes it, ending in one separator (the
// system's own); empty stays empty (the current directory).
std::string DirectoryString(const char* directory);

// Large buffers come from malloc, so that running out of memory for one is
// an answer (null) with its own message; everything else that runs out
// ends lzcx through OutOfMemory.
struct FreeBytes {
  void operator()(uint8_t* p) const { free(p); }
};
typedef std::unique_ptr<uint8_t[], FreeBytes> Buffer;
inline Buffer AllocateBuffer(size_t size) {
  return Buffer(static_cast<uint8_t*>(malloc(size ? size : 1)));
}

// A file's bytes, in a buffer of exactly their size.
struct FileBytes {
  Buffer data;
  size_t size = 0;
};

// Reads a regular file (symbolic links followed) of at most `max` bytes.
// Zero with the reason in `why`: missing, not a regular file (a directory,
// a device, a pipe), "too large for <what> (N bytes, at most M)", a read
// error, a file that changed size while it was read, or no memory.
int ReadRegularFile(const char* path, uint64_t max, const char* what, FileBytes* out,
                    std::string* why);

// Zero with "too large for <what> (N bytes, at most M)" in `why` when a
// file of `size` bytes is larger than `max` (or than memory can hold).
int CheckFileSize(uint64_t size, uint64_t max, const char* what, std::string* why);

// The buffer for the `size` bytes of a regular file that ReadRegularFile
// is about to read, in `out`. Zero with the reason in `why` when the file
// is larger than `max` ("too large for <what> ...") or memory runs out.
int AllocateFileBytes(uint64_t size, uint64_t max, const char* what, FileBytes* out,
                      std::string* why);

// Reads standard input to its end, at most `max` bytes, as ReadRegularFile
// reads a file.
int ReadStandardInput(uint64_t max, const char* what, FileBytes* out, std::string* why);

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

// One thing below a folder, as WalkTree finds it: links are not
// followed, so a tree never leads outside itself.
struct TreeEntry {
  enum Kind { kFile, kEmptyFolder, kLink, kOther } kind;  // kOther: a device, a FIFO
  std::string path;  // relative to the folder, names joined by '/'
  uint64_t size;     // a file's
};

// What one folder holds, for WalkTree: names (never "." or "..") and what
// each is, links not followed; a folder is kEmptyFolder here whatever it
// holds. Zero with the reason in `why` when the folder cannot be listed.
// posix/io.cpp and win32/io.cpp implement it.
int ListFolder(const std::string& folder, std::vector<TreeEntry>* entries, std::string* why);

// Everything below `dir`, in no particular order: its files, links and
// other things, and each folder that holds nothing at all. Zero with the
// reason (naming the folder) in `why` when a folder cannot be listed.
int WalkTree(const char* dir, std::vector<TreeEntry>* entries, std::string* why);

// Whether a file can be created beside `path`: its directory exists and is
// writable. Zero with the reason in `why` when not.
int CanCreateBeside(const char* path, std::string* why);

// A new file beside `path` that takes its place only when complete: written,
// flushed and renamed over it by Commit. Removed if never committed, and
// by OutOfMemory (one at a time may exist).
class TempFile {
 public:
  TempFile() {}
  ~TempFile();
  int Create(const char* path, std::string* why);
  int Write(const void* data, size_t size, std::string* why);
  // Flushes the file to the disk (and leaves it open for reading back).
  int Flush(std::string* why);
  int Commit(std::string* why);
  // A descriptor of the file (on Windows, of the C runtime), for MappedFile.
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }

 private:
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string target_, temp_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// A file's bytes mapped read-only into memory, unmapped when it goes:
// they are read where they lie, never copied. Another process that cuts
// the file short while lzcx reads it ends lzcx with one line naming the
// file and status 1 (the fault handler; an interrupted patch is undone or
// finished by the next run, as after a kill).
class MappedFile {
 public:
  MappedFile() {}
  ~MappedFile();
  // The regular file `path` (symbolic links followed) of at most `max`
  // bytes; zero with the reason in `why`, as ReadRegularFile says it (an
  // empty file is no mapping: no bytes). `path` names it in the fault's line.
  int Open(const char* path, uint64_t max, const char* what, std::string* why);
  // The `size` bytes of an open file; `name` names it in the fault's line.
  int Map(int fd, uint64_t size, const char* name, std::string* why);
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  // The name of the mapped file that holds `address`, if any: for the
  // fault handler, so nothing but reads.
  static const char* NameAt(const void* address);

 private:
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  // Known to NameAt while mapped (a few at a time; past those a fault is
  // the system's own).
  void Register(const char* name);
  void Unregister();
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::string name_;
#ifdef _WIN32
  void* mapping_ = nullptr;  // the file mapping object
#endif
};

// Bytes to read in place: a file mapped, or, where nothing can be mapped
// (standard input), read into memory; `data` and `size` are the part the
// reader looks at (a patcher's payload resource inside its file).
struct InputBytes {
  MappedFile map;
  FileBytes read;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// The system's folder for temporary files, ending in a separator.
std::string TemporaryFolder();

// A regular file read in pieces, from its start, as often as needed: a
// large input never has to be held whole. Opened as ReadRegularFile opens
// it, with the same refusals.
class InputFile {
 public:
  InputFile() {}
  ~InputFile();
  int Open(const char* path, uint64_t max, const char* what, std::string* why);
  // Exactly the next `size` bytes; zero with the reason ("changed while it
  // was read" when the file ends early).
  int Read(uint8_t* out, size_t size, std::string* why);
  // Zero with the reason when bytes follow what the file's size said.
  int CheckEnd(std::string* why);
  int Rewind(std::string* why);
  uint64_t size() const { return size_; }

 private:
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  intptr_t handle_ = -1;  // a descriptor, or a HANDLE on Windows
  uint64_t size_ = 0;
};

// A nameless file for work that does not fit in memory, removed when it
// is closed (and by the system if the tool dies): in the folder of `beside`,
// or in the system's temporary folder when `beside` is null.
class ScratchFile {
 public:
  ScratchFile() {}
  ~ScratchFile();
  int Create(const char* beside, std::string* why);
  int WriteAt(uint64_t offset, const void* data, size_t size, std::string* why);
  int ReadAt(uint64_t offset, void* data, size_t size, std::string* why);
  bool open() const { return handle_ != -1; }

 private:
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  intptr_t handle_ = -1;
};


// Writes `bytes` to a new temporary file beside `path` and renames it over
// `path` once it is complete and flushed; on any failure the temporary
// file is removed and `path` is as it was.
int ReplaceFileAtomically(const char* path, const std::vector<uint8_t>& bytes,
                          std::string* why);

// Writes to standard output (in binary mode) and flushes it; zero with
// the reason in `why` when not all of it got there.
int WriteStandardOutput(const void* data, size_t size, std::string* why);

bool IsTerminal(FILE* stream);
// Makes `stream` carry bytes unchanged (Windows translates line ends).
void UseBinaryMode(FILE* stream);

// What lzcx does when memory runs out where no caller can take a null:
// removes an unfinished TempFile, says so in one line and exits with
// status 1. It allocates nothing (throwing would need memory). Installed
// as the new-handler by main.
[[noreturn]] void OutOfMemory();

// The most memory the process has had resident so far, in bytes (0 where
// the system does not say).
uint64_t PeakMemory();

#endif  // PATCHER_TOOLS_LZCX_COMMANDS_H
