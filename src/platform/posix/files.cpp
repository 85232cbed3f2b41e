// POSIX files: the applier's directory, its files, renames and removals,
// all relative to one directory descriptor. Every system call goes through
// a failure point (fault_points.h) first.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/failure.h"
#include "platform/name_case.h"
#include "platform/platform.h"
#include "platform/posix/fault_points.h"

namespace platform {

int (*g_fail_call)(SystemCall call, const char* name) = nullptr;

struct NameCache;

struct Directory {
  int fd;
  int lock = -1;                    // the patch lock's file, when taken
  const char* lock_name = nullptr;  // its name in the directory
  // Its names as last listed, while it is unchanged (FindByListing).
  NameCache* names = nullptr;
};

// The names of a directory by NameCaseHash, so that a name missing under
// its exact spelling is sought in other letter cases without reading the
// whole directory again each time. Trusted only while the directory's
// times and identity are those it had before it was listed.
struct NameCache {
  struct Name {
    uint64_t hash;
    uint32_t at;  // where the name starts in `text`
  };
  struct stat listed;
  Name* names = nullptr;
  uint32_t count = 0, room = 0;
  char* text = nullptr;
  size_t used = 0, size = 0;

  ~NameCache() {
    free(names);
    free(text);
  }
  // Zero when there is no memory for it.
  int Add(const char* name) {
    const size_t n = strlen(name) + 1;
    if (count == room) {
      const uint32_t more = room ? 2 * room : 256;
      if (more < room) return 0;
      Name* grown = static_cast<Name*>(realloc(names, more * sizeof *names));
      if (!grown) return 0;
      names = grown;
      room = more;
    }
    if (used + n > UINT32_MAX) return 0;
    if (used + n > size) {
      const size_t more = std::max(2 * size, used + n + 4096);
      char* grown = static_cast<char*>(realloc(text, more));
      if (!grown) return 0;
      text = grown;
      size = more;
    }
    memcpy(text + used, name, n);
    names[count++] = {NameCaseHash(name), static_cast<uint32_t>(used)};
    used += n;
    return 1;
  }
};

struct File {
  int fd;
};

namespace {

// Zero when the call may go ahead; otherwise -1 with errno set as the
// failure point says.
int Failed(SystemCall call, const char* name) {
  const int error = g_fail_call ? g_fail_call(call, name) : 0;
  if (!error) return 0;
  errno = error;
  return -1;
}

int StatAt(int dir, const char* name, struct stat* st) {
  if (Failed(kCallStat, name)) return -1;
  return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}

int OpenAt(int dir, const char* name, int flags, mode_t mode = 0) {
  if (Failed(kCallOpen, name)) return -1;
  return openat(dir, name, flags | O_CLOEXEC, mode);
}

int Fsync(int fd) { return Failed(kCallSync, "") ? -1 : fsync(fd); }

FailureKind KindOf(int error) {
  switch (error) {
    case ENOENT: return kFailureNotFound;
    case EEXIST:
    case ENOTEMPTY: return kFailureExists;
    case ETXTBSY:
    case EBUSY:
    case EWOULDBLOCK: return kFailureInUse;
    case EACCES:
    case EPERM:
    case EROFS: return kFailureDenied;
    case EISDIR: return kFailureDirectory;
    case ENOTDIR: return kFailureNotDirectory;
    case ELOOP: return kFailureLink;
    case ENOSPC:
    case EDQUOT: return kFailureNoSpace;
    case EIO: return kFailureIo;
    case ENAMETOOLONG: return kFailureNameTooLong;
    default: return kFailureOther;
  }
}

// Notes errno as the failure; zero.
int NoteErrno() { return Note(KindOf(errno), static_cast<uint32_t>(errno)); }

Presence Answer(int result) {
  if (result == 0) return kPresent;
  if (errno == ENOENT) return kAbsent;
  NoteErrno();
  return kUnknown;
}

// Forgets the names of `dir`: a name made, renamed or removed through it.
void DropNames(Directory* dir) {
  delete dir->names;
  dir->names = nullptr;
}

}  // namespace

Directory* OpenDirectory(const char* path) {
  // Without its trailing separators: "link/" would follow a final symbolic
  // link even with O_NOFOLLOW.
  char name[kPathBuffer];
  size_t n = strlen(path);
  if (n >= sizeof name) return Note(kFailureNameTooLong, ENAMETOOLONG), nullptr;
  memcpy(name, path, n + 1);
  while (n > 1 && name[n - 1] == '/') name[--n] = 0;
  if (n == 0) memcpy(name, ".", 2);
  int fd = Failed(kCallOpenDirectory, name)
               ? -1
               : open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // O_NOFOLLOW on a link says "not a directory", as a file does.
    struct stat st;
    const int error = errno;
    errno = error == ENOTDIR && lstat(name, &st) == 0 && S_ISLNK(st.st_mode) ? ELOOP : error;
    return NoteErrno(), nullptr;
  }
  Directory* dir = new (std::nothrow) Directory{fd};
  if (!dir) {
    Note(kFailureOther, ENOMEM);
    close(fd);
  }
  return dir;
}

namespace {

// Whether the lock file `st` is one this user made: a plain file of its
// own with no other name, as a trusted journal is.
bool OurLockFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Notes who holds the flock on `st`, as /proc/locks tells (Linux): its
// process id and command, or only that it is held.
int NoteHolderOf(const struct stat& st) {
  uint32_t holder = 0;
  if (FILE* locks = fopen("/proc/locks", "re")) {
    char line[256];
    while (!holder && fgets(line, sizeof line, locks)) {
      // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's
      // line has "->" after the number.
      char type[16];
      unsigned pid, major_number, minor_number;
      unsigned long long inode;
      if (sscanf(line, "%*d: %15s %*s %*s %u %x:%x:%llu", type, &pid, &major_number,
                 &minor_number, &inode) == 5 &&
          !strcmp(type, "FLOCK") && inode == st.st_ino && major_number == major(st.st_dev) &&
          minor_number == minor(st.st_dev) && pid <= 0x7fffffffu)  // (not in our pid space: 0)
        holder = pid;
    }
    fclose(locks);
  }
  char name[32] = "";
  if (holder) {
    char path[40];
    snprintf(path, sizeof path, "/proc/%u/comm", holder);
    if (FILE* comm = fopen(path, "re")) {
      if (fgets(name, sizeof name, comm)) name[strcspn(name, "\n")] = 0;
      fclose(comm);
    }
  }
  return NoteLockHolder(holder, name);
}

// Times the lock is tried again when its name was removed or replaced
// while it was being taken (its holder let it go meanwhile).
const int kLockAttempts = 8;

}  // namespace

void CloseDirectory(Directory* dir) {
  if (dir->lock >= 0) {
    // The name goes first, while the lock is still held, and only while it
    // still leads to the lock's file: one who opened the file meanwhile
    // finds it gone once it has the lock, and tries again.
    struct stat held, named;
    if (fstat(dir->lock, &held) == 0 && fstatat(dir->fd, dir->lock_name, &named,
                                                AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(held, named))
      unlinkat(dir->fd, dir->lock_name, 0);
    close(dir->lock);
  }
  close(dir->fd);
  DropNames(dir);
  delete dir;
}

LockResult LockDirectory(Directory* dir, const char* lock_name) {
  DropNames(dir);
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    int fd = OpenAt(dir->fd, lock_name, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    const bool made = fd >= 0;
    struct stat st;
    if (fd < 0 && errno == EEXIST) {
      // One there already: only ever ours is opened.
      if (StatAt(dir->fd, lock_name, &st) != 0) {
        if (errno == ENOENT) continue;
        return NoteErrno(), kLockFailed;
      }
      if (!OurLockFile(st)) return Note(kFailureForeignLock, 0), kLockFailed;
      fd = OpenAt(dir->fd, lock_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
      if (fd < 0 && errno == ENOENT) continue;
      if (fd < 0 && errno == ELOOP) return Note(kFailureForeignLock, 0), kLockFailed;
    }
    // On a read-only file system no patch can change anything: nothing to
    // hold, and an installation there can still be found up to date.
    if (fd < 0 && errno == EROFS) return kLockTaken;
    if (fd < 0) return NoteErrno(), kLockFailed;
    // What was opened is judged (the name may have been replaced between
    // the look and the open; one made here is ours, whatever owner the file
    // system gives it), then locked, then found still under its name (its
    // holder removes it before letting it go).
    LockResult result = kLockFailed;
    struct stat named;
    int looked = -1;
    if (Failed(kCallStat, lock_name) || fstat(fd, &st) != 0)
      NoteErrno();
    else if (!made && !OurLockFile(st))
      Note(kFailureForeignLock, 0);
    else if (Failed(kCallLock, lock_name) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK)
        NoteErrno();
      else
        result = (NoteHolderOf(st), kLockBusy);
    } else if ((looked = StatAt(dir->fd, lock_name, &named)) == 0 && SameFile(st, named))
      result = kLockTaken;
    else if (looked != 0 && errno != ENOENT)
      NoteErrno();
    else
      looked = 1;  // gone or replaced: again
    if (result == kLockTaken) {
      dir->lock = fd;
      dir->lock_name = lock_name;
      return kLockTaken;
    }
    // One made here goes again, unless another holds it now.
    if (made && result != kLockBusy && looked != 1) unlinkat(dir->fd, lock_name, 0);
    close(fd);
    if (looked != 1) return result;
  }
  // Taken and let go too often in a row: as busy.
  return Note(kFailureLockHeld, 0), kLockBusy;
}

int SyncDirectory(Directory* dir) { return Fsync(dir->fd) == 0 || NoteErrno(); }

namespace {

// Whether the directory is as it was when `cache` listed it: the same
// one, neither its names nor anything else of it changed since.
bool Unchanged(const NameCache& cache, const struct stat& now) {
  const struct stat& was = cache.listed;
  return was.st_dev == now.st_dev && was.st_ino == now.st_ino &&
         was.st_mtim.tv_sec == now.st_mtim.tv_sec && was.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
         was.st_ctim.tv_sec == now.st_ctim.tv_sec && was.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
}

// Whether a change of the directory could still leave its times as `st`
// has them: they are ahead of the clock, or close enough to it that the
// file system's clock may not have ticked since: 2 seconds where it keeps
// whole seconds (no nanoseconds in either time), else 50 milliseconds
// (the kernel stamps files from a clock of a few milliseconds' steps).
bool Racy(const struct stat& st) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
  const struct timespec& newest =
      st.st_mtim.tv_sec > st.st_ctim.tv_sec ||
              (st.st_mtim.tv_sec == st.st_ctim.tv_sec && st.st_mtim.tv_nsec > st.st_ctim.tv_nsec)
          ? st.st_mtim
          : st.st_ctim;
  const bool fine = st.st_mtim.tv_nsec != 0 || st.st_ctim.tv_nsec != 0;
  const int64_t since = (static_cast<int64_t>(now.tv_sec) - newest.tv_sec) * 1000000000 +
                        (now.tv_nsec - newest.tv_nsec);
  return since <= (fine ? 50000000 : 3000000000);
}

// FindByListing's count of `name` in the names of `cache` (each of them
// still found under its name, or -1: the cache is wrong).
int CountCached(Directory* dir, const NameCache& cache, const char* name, char* found) {
  const uint64_t hash = NameCaseHash(name);
  const NameCache::Name* const begin = cache.names;
  const NameCache::Name* const end = begin + cache.count;
  const NameCache::Name* n = std::lower_bound(
      begin, end, hash, [](const NameCache::Name& a, uint64_t h) { return a.hash < h; });
  int matches = 0;
  for (; n != end && n->hash == hash; ++n) {
    const char* cached = cache.text + n->at;
    if (!SameFileName(cached, name)) continue;
    struct stat st;
    if (StatAt(dir->fd, cached, &st) != 0) return -1;
    memcpy(found, cached, strlen(cached) + 1);
    ++matches;
  }
  return matches;
}

// FindByListing's count of `name` by reading the whole of `dir`. With
// `listed` (the directory's own status, taken before), the names are kept
// for the next lookups, unless a change may not have shown in its times.
int ListNames(Directory* dir, const char* name, char* found, const struct stat* listed) {
  int fd = OpenAt(dir->fd, ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return NoteErrno(), 3;
  DIR* listing = fdopendir(fd);
  if (!listing) {
    NoteErrno();
    close(fd);
    return 3;
  }
  NameCache* cache = listed ? new (std::nothrow) NameCache : nullptr;
  int matches = 0;
  for (;;) {
    // The end and an error both give null: only errno tells them apart.
    errno = 0;
    const dirent* e = Failed(kCallList, name) ? nullptr : readdir(listing);
    if (!e) {
      if (errno) {
        matches = 3 + NoteErrno();
        delete cache;
        cache = nullptr;
      }
      break;
    }
    if (strlen(e->d_name) >= static_cast<size_t>(kPathBuffer)) continue;
    if (SameFileName(e->d_name, name)) {
      memcpy(found, e->d_name, strlen(e->d_name) + 1);
      ++matches;
    }
    if (cache && !cache->Add(e->d_name)) {
      delete cache;
      cache = nullptr;
    }
  }
  closedir(listing);
  if (cache && !Racy(*listed)) {
    cache->listed = *listed;
    std::sort(cache->names, cache->names + cache->count,
              [](const NameCache::Name& x, const NameCache::Name& y) { return x.hash < y.hash; });
    dir->names = cache;
  } else {
    delete cache;
  }
  return matches;
}

// The one name in `dir` that SameFileName takes for `name`, into `found`:
// 1 when there is exactly one, 0 when none, 2 when several (a file system
// that tells case apart may hold "Vusk.exe" and "VUSK.EXE" at once), 3
// when the listing failed before its end.
int FindByListing(Directory* dir, const char* name, char* found) {
  // A folder of N files that gets N new names would be read N times over:
  // its names are kept while its status says it is unchanged.
  struct stat now;
  const bool known = Failed(kCallStat, ".") == 0 && fstat(dir->fd, &now) == 0;
  int matches = -1;
  if (known && dir->names && Unchanged(*dir->names, now))
    matches = CountCached(dir, *dir->names, name, found);
  if (matches < 0) {
    DropNames(dir);
    matches = ListNames(dir, name, found, known ? &now : nullptr);
  }
  // Two names for one on a file system that tells case apart: neither is
  // the one to replace.
  if (matches == 2) Note(kFailureOther, ENOTUNIQ);
  return matches > 2 ? 3 : matches > 1 ? 2 : matches;
}

}  // namespace

TargetState FindTarget(Directory* dir, const char* name, char* found) {
  struct stat st;
  if (StatAt(dir->fd, name, &st) == 0) {
    memcpy(found, name, strlen(name) + 1);
  } else {
    if (errno != ENOENT) return NoteErrno(), kTargetUnknown;
    // Not under exactly that name: under another letter case, as Windows
    // would find it?
    const int matches = FindByListing(dir, name, found);
    if (matches == 3) return kTargetUnknown;
    if (matches != 1) return matches ? kTargetBlocked : kTargetMissing;
    if (StatAt(dir->fd, found, &st) != 0) return NoteErrno(), kTargetUnknown;
  }
  if (S_ISLNK(st.st_mode)) return Note(kFailureLink, 0), kTargetElsewhere;
  if (!S_ISREG(st.st_mode))
    return Note(S_ISDIR(st.st_mode) ? kFailureDirectory : kFailureNotFile, 0), kTargetBlocked;
  // A file without the owner's write bit counts as read-only, as the
  // read-only attribute does on Windows, even for a superuser.
  if (!(st.st_mode & S_IWUSR)) return Note(kFailureDenied, 0), kTargetBlocked;
  int fd = OpenAt(dir->fd, found, O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return NoteErrno(), kTargetBlocked;
  close(fd);
  return kTargetReplaceable;
}

Presence LookUpName(Directory* dir, const char* name) {
  struct stat st;
  return Answer(StatAt(dir->fd, name, &st));
}

File* CreateNewFile(Directory* dir, const char* name) {
  DropNames(dir);
  int fd = OpenAt(dir->fd, name, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return NoteErrno(), nullptr;
  File* file = new (std::nothrow) File{fd};
  if (!file) {
    Note(kFailureOther, ENOMEM);
    close(fd);
    unlinkat(dir->fd, name, 0);
  }
  return file;
}

uint32_t WriteToFile(File* file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    ssize_t n = Failed(kCallWrite, "") ? -1 : write(file->fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Note(n ? KindOf(errno) : kFailureIo, n ? static_cast<uint32_t>(errno) : 0);
      break;
    }
    done += static_cast<uint32_t>(n);
  }
  return done;
}

int CloseFile(File* file) {
  int ok = Fsync(file->fd) == 0 || NoteErrno();
  if (close(file->fd) != 0) ok = NoteErrno();
  delete file;
  return ok;
}

Presence OpenExisting(Directory* dir, const char* name, File** file, FileFacts* facts) {
  *file = nullptr;
  *facts = FileFacts();
  // Never blocks: a FIFO opens at once, and is then no regular file.
  const int fd = OpenAt(dir->fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  struct stat st;
  if (fd < 0) {
    // A symbolic link refuses O_NOFOLLOW: present, but nothing to read.
    if (errno == ELOOP && StatAt(dir->fd, name, &st) == 0) return kPresent;
    return Answer(-1);
  }
  if (Failed(kCallStat, name) || fstat(fd, &st) != 0) {
    NoteErrno();
    close(fd);
    return kUnknown;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return kPresent;
  }
  const uid_t me = geteuid();
  facts->size = static_cast<uint64_t>(st.st_size);
  facts->id[0] = static_cast<uint64_t>(st.st_dev);
  facts->id[1] = static_cast<uint64_t>(st.st_ino);
  facts->named = true;
  facts->trusted = st.st_nlink == 1 && (st.st_uid == me || st.st_uid == 0);
  File* f = new (std::nothrow) File{fd};
  if (!f) {
    Note(kFailureOther, ENOMEM);
    close(fd);
    return kUnknown;
  }
  *file = f;
  return kPresent;
}

Presence OpenToRename(Directory* dir, const char* name, File** file, FileFacts* facts) {
  return OpenExisting(dir, name, file, facts);
}

int RenameOpenFile(Directory* dir, File* file, const char* from, const char* to) {
  struct stat held, now;
  if (Failed(kCallStat, from) || fstat(file->fd, &held) != 0) return NoteErrno();
  if (!RenameFile(dir, from, to, 0)) return 0;
  // A rename goes by name: whatever stood under `from` by then has moved.
  if (StatAt(dir->fd, to, &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino)
    return 1;
  RenameFile(dir, to, from, 0);
  // Another file had taken its name.
  return Note(kFailureOther, 0);
}

int ReadFromFile(File* file, uint64_t offset, void* data, uint32_t size, uint32_t* got) {
  uint8_t* p = static_cast<uint8_t*>(data);
  uint32_t done = 0;
  while (done < size) {
    ssize_t n = Failed(kCallRead, "")
                    ? -1
                    : pread(file->fd, p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return NoteErrno();
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  *got = done;
  return 1;
}

void ReleaseFile(File* file) {
  close(file->fd);
  delete file;
}

int RenameFile(Directory* dir, const char* from, const char* to, int replace) {
  DropNames(dir);
  const int fd = dir->fd;
  if (Failed(kCallRename, from)) return NoteErrno();
  if (replace) return renameat(fd, from, fd, to) == 0 || NoteErrno();
  if (renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) return 1;
  if (errno != EINVAL && errno != ENOSYS) return NoteErrno();
  // A file system without no-replace renames: a hard link fails if `to`
  // exists; then drop `from`. (Only files are renamed here.)
  if (linkat(fd, from, fd, to, 0) != 0) return NoteErrno();
  if (unlinkat(fd, from, 0) != 0) {
    NoteErrno();
    unlinkat(fd, to, 0);
    return 0;
  }
  return 1;
}

int RemoveFile(Directory* dir, const char* name) {
  DropNames(dir);
  return (Failed(kCallUnlink, name) == 0 && unlinkat(dir->fd, name, 0) == 0) || NoteErrno();
}

int RoomFor(Directory* dir, uint64_t bytes, uint32_t files, uint64_t* lacking) {
  *lacking = 0;
  struct statvfs vfs;
  if (Failed(kCallStatFs, "") || fstatvfs(dir->fd, &vfs) != 0) return NoteErrno();
  const uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * unit;
  const uint64_t need = bytes + files * unit;
  if (need <= free) return 1;
  *lacking = need - free;
  return Note(kFailureNoSpace, 0);
}

int KeepPermissions(Directory* dir, const char* from, File* to) {
  struct stat st;
  if (StatAt(dir->fd, from, &st) != 0) return NoteErrno();
  // fchmod, not the mode at creation: the umask would take bits away.
  return (Failed(kCallChmod, from) == 0 && fchmod(to->fd, st.st_mode & 07777) == 0) ||
         NoteErrno();
}

namespace {

// Whether `name` is one name in a directory: not empty, no separator, not
// "." or "..", at most kNameMax bytes. Notes why not.
int OneName(const char* name) {
  const size_t n = strlen(name);
  if (n > static_cast<size_t>(kNameMax)) return Note(kFailureNameTooLong, ENAMETOOLONG);
  if (!n || strchr(name, '/') || !strcmp(name, ".") || !strcmp(name, ".."))
    return Note(kFailureOther, EINVAL);
  return 1;
}

// Where `name` stands in `dir` as Windows would find it: under that very
// name, or under the one name that differs from it only in letter case
// (copied to `found`, kPathBuffer bytes), into *real. kPresent with *real
// null when several names differ only in case: none of them is the one.
Presence FindName(Directory* dir, const char* name, char* found, const char** real) {
  struct stat st;
  *real = name;
  if (StatAt(dir->fd, name, &st) == 0) return kPresent;
  if (errno != ENOENT) return NoteErrno(), kUnknown;
  const int matches = FindByListing(dir, name, found);
  *real = matches == 1 ? found : nullptr;
  if (matches == 0) return Note(kFailureNotFound, ENOENT), kAbsent;
  return matches == 3 ? kUnknown : kPresent;
}

// What stands under `name` in `dir`, which is no directory to enter: a
// link or something else. Zero, with that noted.
int NoteNotFolder(Directory* dir, const char* name, int error) {
  struct stat st;
  if (error == ENOTDIR || error == ELOOP)
    error = StatAt(dir->fd, name, &st) == 0 && S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
  return Note(KindOf(error), static_cast<uint32_t>(error));
}

}  // namespace

Directory* OpenFolder(Directory* parent, const char* name, FolderFacts* facts) {
  FolderFacts unused;
  if (!facts) facts = &unused;
  *facts = FolderFacts();
  facts->presence = kUnknown;
  if (!OneName(name)) return nullptr;
  char found[kPathBuffer];
  const char* real;
  facts->presence = FindName(parent, name, found, &real);
  if (!real || facts->presence != kPresent) return nullptr;
  const int fd = OpenAt(parent->fd, real, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) facts->presence = kAbsent;
    else if (error != ENOTDIR && error != ELOOP) facts->presence = kUnknown;
    return NoteNotFolder(parent, real, error), nullptr;
  }
  struct stat here, above;
  if (Failed(kCallStat, real) || fstat(fd, &here) != 0 || fstat(parent->fd, &above) != 0) {
    facts->presence = kUnknown;
    NoteErrno();
  } else if (here.st_dev != above.st_dev) {
    // Another file system mounted there: as a junction would, it leads
    // out of the directory.
    Note(kFailureLink, EXDEV);
  } else {
    const uid_t me = geteuid();
    facts->id[0] = static_cast<uint64_t>(here.st_dev);
    facts->id[1] = static_cast<uint64_t>(here.st_ino);
    facts->trusted = here.st_uid == me || here.st_uid == 0;
    Directory* dir = new (std::nothrow) Directory{fd};
    if (dir) return dir;
    Note(kFailureOther, ENOMEM);
  }
  close(fd);
  return nullptr;
}

Directory* CreateFolder(Directory* parent, const char* name) {
  if (!OneName(name)) return nullptr;
  // As Windows, a name taken in another letter case is taken.
  char found[kPathBuffer];
  const char* real;
  const Presence there = FindName(parent, name, found, &real);
  if (there == kPresent) Note(kFailureExists, EEXIST);
  if (there != kAbsent) return nullptr;
  DropNames(parent);
  if (Failed(kCallMakeFolder, name) || mkdirat(parent->fd, name, 0777) != 0)
    return NoteErrno(), nullptr;
  return OpenFolder(parent, name, nullptr);
}

int RemoveFolder(Directory* parent, const char* name) {
  if (!OneName(name)) return 0;
  char found[kPathBuffer];
  const char* real;
  const Presence there = FindName(parent, name, found, &real);
  if (!real || there != kPresent) return 0;
  DropNames(parent);
  // Never follows a link: rmdir of one fails as "not a directory".
  if (Failed(kCallRemoveFolder, real) == 0 && unlinkat(parent->fd, real, AT_REMOVEDIR) == 0)
    return 1;
  const int error = errno;
  return error == ENOTDIR ? NoteNotFolder(parent, real, error) : NoteErrno();
}

void SystemText(uint32_t code, char* text, int size) {
  snprintf(text, static_cast<size_t>(size), "%s", strerror(static_cast<int>(code)));
}

int LoadPayloadResource(const uint8_t** data, uint32_t* size) {
  // Native builds carry no program resources.
  *data = nullptr;
  *size = 0;
  return 0;
}

}  // namespace platform
