// The tool's file handling on POSIX systems (the program's own OS layer is
// src/platform; lzcx has its own needs: whole files, temporary outputs).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lzcx/commands.h"

namespace {

// The unfinished temporary file, for OutOfMemory: a copy of its path.
char g_unfinished[4096];

int Failed(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return 0;
}

}  // namespace

namespace {

// `path` opened to read, when it is a regular file (symbolic links
// followed): its descriptor and size; -1 with the reason in `why`.
int OpenRegularFile(const char* path, uint64_t* size, std::string* why) {
  // Opened without blocking, so a FIFO cannot hang the tool before fstat
  // tells what it is.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = errno == ENOENT ? "no such file" : strerror(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *why = strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    *why = "is a directory, not a file";
  } else if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
  } else {
    *size = static_cast<uint64_t>(st.st_size);
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

int ReadRegularFile(const char* path, uint64_t max, const char* what, FileBytes* out,
                    std::string* why) {
  uint64_t file_size;
  const int fd = OpenRegularFile(path, &file_size, why);
  if (fd < 0) return 0;
  int ok = 0;
  if (AllocateFileBytes(file_size, max, what, out, why)) {
    const size_t size = out->size;
    size_t done = 0;
    int error = 0;
    while (done < size) {
      const ssize_t n = read(fd, out->data.get() + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    uint8_t more;
    if (error) {
      *why = strerror(error);
    } else if (done != size || read(fd, &more, 1) != 0) {
      *why = "changed while it was read";
    } else {
      ok = 1;
    }
  }
  close(fd);
  if (!ok) out->data.reset();
  return ok;
}

int ExaminePath(const char* path, PathInfo* info, std::string* why) {
  struct stat st;
  *info = PathInfo{PathInfo::kMissing, 0, 0, 0};
  if (stat(path, &st) != 0) {
    if (errno == ENOENT) return 1;
    *why = strerror(errno);
    return 0;
  }
  info->kind = S_ISREG(st.st_mode)   ? PathInfo::kRegular
               : S_ISDIR(st.st_mode) ? PathInfo::kDirectory
                                     : PathInfo::kOther;
  info->size = static_cast<uint64_t>(st.st_size);
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
  return 1;
}

int ListFolder(const std::string& folder, std::vector<TreeEntry>* entries, std::string* why) {
  DIR* d = opendir(folder.c_str());
  if (!d) {
    *why = std::string("cannot list it: ") + strerror(errno);
    return 0;
  }
  const int fd = dirfd(d);
  errno = 0;
  while (const dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      *why = std::string(e->d_name) + ": " + strerror(errno);
      closedir(d);
      return 0;
    }
    const TreeEntry::Kind kind = S_ISREG(st.st_mode)   ? TreeEntry::kFile
                                 : S_ISDIR(st.st_mode) ? TreeEntry::kEmptyFolder
                                 : S_ISLNK(st.st_mode) ? TreeEntry::kLink
                                                       : TreeEntry::kOther;
    entries->push_back(TreeEntry{kind, e->d_name, static_cast<uint64_t>(st.st_size)});
    errno = 0;
  }
  const int error = errno;
  closedir(d);
  if (!error) return 1;
  *why = std::string("cannot list it: ") + strerror(error);
  return 0;
}

int CanCreateBeside(const char* path, std::string* why) {
  const std::string dir = ParentDirectory(path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return Failed(why, dir);
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + ": not a directory";
    return 0;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) return Failed(why, dir);
  return 1;
}

TempFile::~TempFile() {
  if (fd_ >= 0) close(fd_);
  if (!temp_.empty()) unlink(temp_.c_str());
  g_unfinished[0] = 0;
}

int TempFile::Create(const char* path, std::string* why) {
  target_ = path;
  std::string temp = target_ + ".tmp-XXXXXX";
  fd_ = mkstemp(&temp[0]);
  if (fd_ < 0) return Failed(why, "cannot create " + temp);
  temp_ = temp;
  if (temp_.size() < sizeof g_unfinished) memcpy(g_unfinished, temp_.c_str(), temp_.size() + 1);
  // mkstemp makes the file private; the result gets the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd_, 0666 & ~mask) != 0) return Failed(why, "cannot set the mode of " + temp_);
  return 1;
}

int TempFile::Write(const void* data, size_t size, std::string* why) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd_, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return Failed(why, "cannot write " + temp_);
    }
    done += static_cast<size_t>(n);
  }
  size_ += size;
  return 1;
}

int TempFile::Flush(std::string* why) {
  return fsync(fd_) == 0 ? 1 : Failed(why, "cannot write " + temp_);
}

int TempFile::Commit(std::string* why) {
  if (!Flush(why)) return 0;
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) return Failed(why, "cannot write " + temp_);
  if (rename(temp_.c_str(), target_.c_str()) != 0)
    return Failed(why, "cannot rename " + temp_ + " to " + target_);
  temp_.clear();
  g_unfinished[0] = 0;
  return 1;
}

namespace {

// A mapped file cut short by another process: reading past its new end
// is SIGBUS. One line naming it, not a crash; any other SIGBUS is left to
// the system (the handler goes, and the fault comes again).
void OnBusError(int, siginfo_t* info, void*) {
  const char* name = MappedFile::NameAt(info->si_addr);
  if (!name) return;
  if (g_unfinished[0]) unlink(g_unfinished);
  const char* parts[] = {"lzcx: ", name, ": changed while it was read\n"};
  for (const char* part : parts)
    if (write(2, part, strlen(part)) < 0) break;
  _exit(1);
}

void WatchMappedFiles() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

MappedFile::~MappedFile() {
  Unregister();
  if (size_) munmap(const_cast<uint8_t*>(data_), size_);
}

int MappedFile::Open(const char* path, uint64_t max, const char* what, std::string* why) {
  uint64_t size;
  const int fd = OpenRegularFile(path, &size, why);
  if (fd < 0) return 0;
  int ok = CheckFileSize(size, max, what, why);
  if (ok && size) ok = Map(fd, size, path, why);
  static const uint8_t kNothing = 0;
  if (ok && !size) data_ = &kNothing;  // nothing to map
  close(fd);
  return ok;
}

int MappedFile::Map(int fd, uint64_t size, const char* name, std::string* why) {
  if (size == 0 || size > SIZE_MAX) {
    *why = "cannot map an empty or huge file";
    return 0;
  }
  void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Failed(why, "cannot map the file");
  WatchMappedFiles();
  data_ = static_cast<const uint8_t*>(p);
  size_ = static_cast<size_t>(size);
  Register(name);
  return 1;
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

void UseBinaryMode(FILE*) {}

void OutOfMemory() {
  static const char kLine[] = "lzcx: out of memory\n";
  if (g_unfinished[0]) unlink(g_unfinished);
  if (write(2, kLine, sizeof kLine - 1) < 0) _exit(1);
  _exit(1);
}

InputFile::~InputFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

int InputFile::Open(const char* path, uint64_t max, const char* what, std::string* why) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = errno == ENOENT ? "no such file" : strerror(errno);
    return 0;
  }
  handle_ = fd;
  struct stat st;
  char line[160];
  if (fstat(fd, &st) != 0) return Failed(why, "cannot examine it");
  if (S_ISDIR(st.st_mode)) *why = "is a directory, not a file";
  else if (!S_ISREG(st.st_mode)) *why = "not a regular file";
  else if (static_cast<uint64_t>(st.st_size) > max) {
    snprintf(line, sizeof line, "too large for %s (%llu bytes, at most %llu)", what,
             static_cast<unsigned long long>(st.st_size), static_cast<unsigned long long>(max));
    *why = line;
  } else {
    size_ = static_cast<uint64_t>(st.st_size);
    return 1;
  }
  return 0;
}

int InputFile::Read(uint8_t* out, size_t size, std::string* why) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = read(static_cast<int>(handle_), out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed(why, "cannot read it");
    if (n == 0) {
      *why = "changed while it was read";
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  return 1;
}

int InputFile::CheckEnd(std::string* why) {
  uint8_t more;
  ssize_t n;
  while ((n = read(static_cast<int>(handle_), &more, 1)) < 0 && errno == EINTR) {
  }
  if (n == 0) return 1;
  *why = n < 0 ? std::string("cannot read it: ") + strerror(errno) : "changed while it was read";
  return 0;
}

int InputFile::Rewind(std::string* why) {
  return lseek(static_cast<int>(handle_), 0, SEEK_SET) == 0 ? 1 : Failed(why, "cannot read it");
}

ScratchFile::~ScratchFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

std::string TemporaryFolder() {
  const char* tmp = getenv("TMPDIR");
  return DirectoryString(tmp && *tmp ? tmp : "/tmp");
}

int ScratchFile::Create(const char* beside, std::string* why) {
  std::string path =
      (beside ? DirectoryString(ParentDirectory(beside).c_str()) : TemporaryFolder()) +
      ".lzcx-scratch-XXXXXX";
  const int fd = mkstemp(&path[0]);
  if (fd < 0) return Failed(why, "cannot create a scratch file " + path);
  // Nameless from now on: nothing is left behind, whatever happens.
  unlink(path.c_str());
  handle_ = fd;
  return 1;
}

namespace {

// All `size` bytes at `offset` of the scratch file `fd`, through `call`
// (pread or pwrite) until done; an end of the file or disk is EIO.
template <class Call>
int Transfer(int fd, uint64_t offset, uint8_t* p, size_t size, Call call, const char* what,
             std::string* why) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = call(fd, p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return Failed(why, what);
    }
    done += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

int ScratchFile::WriteAt(uint64_t offset, const void* data, size_t size, std::string* why) {
  return Transfer(static_cast<int>(handle_), offset,
                  static_cast<uint8_t*>(const_cast<void*>(data)), size,
                  [](int fd, uint8_t* p, size_t n, off_t at) { return pwrite(fd, p, n, at); },
                  "cannot write a scratch file", why);
}

int ScratchFile::ReadAt(uint64_t offset, void* data, size_t size, std::string* why) {
  return Transfer(static_cast<int>(handle_), offset, static_cast<uint8_t*>(data), size,
                  [](int fd, uint8_t* p, size_t n, off_t at) { return pread(fd, p, n, at); },
                  "cannot read a scratch file", why);
}

uint64_t PeakMemory() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // Linux counts kilobytes
}
