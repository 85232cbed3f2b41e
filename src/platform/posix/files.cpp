// POSIX files: the applier's output files, renames and removals.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"

namespace platform {

struct File {
  int fd;
};

File* CreateNewFile(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  File* file = new (std::nothrow) File{fd};
  if (!file) {
    close(fd);
    unlink(path);
  }
  return file;
}

uint32_t WriteToFile(File* file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    ssize_t n = write(file->fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

int CloseFile(File* file) {
  int ok = fsync(file->fd) == 0;
  if (close(file->fd) != 0) ok = 0;
  delete file;
  return ok;
}

int RenamePath(const char* from, const char* to, int replace) {
  if (replace) return rename(from, to) == 0;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 1;
  if (errno != EINVAL && errno != ENOSYS) return 0;
  // A file system without no-replace renames: a hard link fails if `to`
  // exists; then drop `from`. (Only files are renamed here.)
  if (link(from, to) != 0) return 0;
  if (unlink(from) != 0) {
    unlink(to);
    return 0;
  }
  return 1;
}

int RemoveFile(const char* path) { return unlink(path) == 0; }

TargetState ExamineTarget(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? kTargetMissing
                                                 : kTargetBlocked;
  }
  if (!S_ISREG(st.st_mode)) return kTargetBlocked;
  // A file without the owner's write bit counts as read-only, as the
  // read-only attribute does on Windows, even for a superuser.
  if (!(st.st_mode & S_IWUSR)) return kTargetBlocked;
  int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return kTargetBlocked;
  close(fd);
  return kTargetReplaceable;
}

int LoadPayloadResource(const uint8_t** data, uint32_t* size) {
  // Native builds carry no program resources.
  *data = nullptr;
  *size = 0;
  return 0;
}

}  // namespace platform
