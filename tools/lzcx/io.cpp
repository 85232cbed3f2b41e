// The tool's file handling. lzcx runs on the build machine only, so it
// uses POSIX calls directly; the program's own OS layer is src/platform.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lzcx/commands.h"

int ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, std::string* why) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    *why = strerror(errno);
    return 0;
  }
  bytes->clear();
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  const bool failed = ferror(f) != 0;
  if (failed) *why = strerror(errno);
  fclose(f);
  return !failed;
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

namespace {

int Failed(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return 0;
}

}  // namespace

int CanCreateBeside(const char* path, std::string* why) {
  std::string dir = path;
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return Failed(why, dir);
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + ": not a directory";
    return 0;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) return Failed(why, dir);
  return 1;
}

int ReplaceFileAtomically(const char* path, const std::vector<uint8_t>& bytes,
                          std::string* why) {
  std::string temp = std::string(path) + ".tmp-XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) return Failed(why, "cannot create " + temp);
  // mkstemp makes the file private; the payload gets the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0;
  std::string what = "cannot write " + temp;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  const int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
  } else {
    errno = saved;
  }
  if (ok && rename(temp.c_str(), path) != 0) {
    ok = false;
    what = std::string("cannot rename ") + temp + " to " + path;
  }
  if (!ok) {
    const int cause = errno;
    unlink(temp.c_str());
    errno = cause;
    return Failed(why, what);
  }
  return 1;
}

bool StderrIsTerminal() { return isatty(2) != 0; }
