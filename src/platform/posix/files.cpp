// POSIX files: the applier's directory, its files, renames and removals,
// all relative to one directory descriptor.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"

namespace platform {

struct Directory {
  int fd;
};

struct File {
  int fd;
};

Directory* OpenDirectory(const char* path) {
  // Without its trailing separators: "link/" would follow a final symbolic
  // link even with O_NOFOLLOW.
  char name[kPathBuffer];
  size_t n = strlen(path);
  if (n >= sizeof name) return nullptr;
  memcpy(name, path, n + 1);
  while (n > 1 && name[n - 1] == '/') name[--n] = 0;
  if (n == 0) memcpy(name, ".", 2);
  int fd = open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  Directory* dir = new (std::nothrow) Directory{fd};
  if (!dir) close(fd);
  return dir;
}

void CloseDirectory(Directory* dir) {
  close(dir->fd);
  delete dir;
}

int SyncDirectory(Directory* dir) { return fsync(dir->fd) == 0; }

namespace {

// The one name in `dir` that SameFileName takes for `name`, into `found`:
// 1 when there is exactly one, 0 when none, 2 when several (a file system
// that tells case apart may hold "Vusk.exe" and "VUSK.EXE" at once).
int FindByListing(Directory* dir, const char* name, char* found) {
  int fd = openat(dir->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 2;
  DIR* listing = fdopendir(fd);
  if (!listing) {
    close(fd);
    return 2;
  }
  int matches = 0;
  while (const dirent* e = readdir(listing)) {
    if (SameFileName(e->d_name, name) && strlen(e->d_name) < static_cast<size_t>(kPathBuffer)) {
      memcpy(found, e->d_name, strlen(e->d_name) + 1);
      ++matches;
    }
  }
  closedir(listing);
  return matches > 1 ? 2 : matches;
}

}  // namespace

TargetState FindTarget(Directory* dir, const char* name, char* found) {
  struct stat st;
  if (fstatat(dir->fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    memcpy(found, name, strlen(name) + 1);
  } else {
    if (errno != ENOENT) return kTargetBlocked;
    // Not under exactly that name: under another letter case, as Windows
    // would find it?
    const int matches = FindByListing(dir, name, found);
    if (matches != 1) return matches ? kTargetBlocked : kTargetMissing;
    if (fstatat(dir->fd, found, &st, AT_SYMLINK_NOFOLLOW) != 0) return kTargetBlocked;
  }
  if (S_ISLNK(st.st_mode)) return kTargetElsewhere;
  if (!S_ISREG(st.st_mode)) return kTargetBlocked;
  // A file without the owner's write bit counts as read-only, as the
  // read-only attribute does on Windows, even for a superuser.
  if (!(st.st_mode & S_IWUSR)) return kTargetBlocked;
  int fd = openat(dir->fd, found, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return kTargetBlocked;
  close(fd);
  return kTargetReplaceable;
}

int NameTaken(Directory* dir, const char* name) {
  struct stat st;
  return fstatat(dir->fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

File* CreateNewFile(Directory* dir, const char* name) {
  int fd = openat(dir->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  File* file = new (std::nothrow) File{fd};
  if (!file) {
    close(fd);
    unlinkat(dir->fd, name, 0);
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

int RenameFile(Directory* dir, const char* from, const char* to, int replace) {
  const int fd = dir->fd;
  if (replace) return renameat(fd, from, fd, to) == 0;
  if (renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) return 1;
  if (errno != EINVAL && errno != ENOSYS) return 0;
  // A file system without no-replace renames: a hard link fails if `to`
  // exists; then drop `from`. (Only files are renamed here.)
  if (linkat(fd, from, fd, to, 0) != 0) return 0;
  if (unlinkat(fd, from, 0) != 0) {
    unlinkat(fd, to, 0);
    return 0;
  }
  return 1;
}

int RemoveFile(Directory* dir, const char* name) { return unlinkat(dir->fd, name, 0) == 0; }

uint8_t* ReadSmallFile(Directory* dir, const char* name, uint32_t limit, uint32_t* size) {
  int fd = openat(dir->fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  uint8_t* bytes = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(limit))
    bytes = static_cast<uint8_t*>(malloc(st.st_size ? st.st_size : 1));
  size_t done = 0;
  while (bytes && done < static_cast<size_t>(st.st_size)) {
    ssize_t n = read(fd, bytes + done, st.st_size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      free(bytes);
      bytes = nullptr;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  close(fd);
  if (bytes) *size = static_cast<uint32_t>(done);
  return bytes;
}

int LoadPayloadResource(const uint8_t** data, uint32_t* size) {
  // Native builds carry no program resources.
  *data = nullptr;
  *size = 0;
  return 0;
}

}  // namespace platform
