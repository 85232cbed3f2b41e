// POSIX directory listings and the probe for the target search, and the
// drive calls over the mount table (mounts.h).
//
// The drive list comes from the mount table (or from UseSearchRoots), the
// probe and the listings from getdents64 on descriptors opened with openat
// below the listing the walk has open, so a deep directory costs no path
// lookup from the root. The probe reads the whole directory (it has to, to
// match names in any letter case); the listing that the walk opens right
// after a missed probe takes over what the probe read, so a directory is
// read once.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/mounts.h"

namespace platform {

using posix::Mount;

namespace {

// What getdents64 writes.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

const size_t kListingBytes = 32 * 1024;
// getdents64 needs room for at least one entry of the longest name.
const size_t kDirentRoom = 512;

}  // namespace

struct Listing {
  int fd;
  int dir_length;
  size_t position;  // next entry in bytes
  size_t end;       // bytes of entries held
  bool whole;       // bytes holds every entry of the directory from its start
  bool finished;    // getdents64 has reported the end
  bool guarded;     // a mount point or a drive root lies directly below
  Listing* below;   // the listing opened before this one and still open
  char dir[kPathBuffer];
  alignas(8) char bytes[kListingBytes];
};

namespace {

struct WalkState {
  posix::DriveTable drives;
  Listing* top = nullptr;      // the open listing opened last
  Listing* pending = nullptr;  // what the last missed probe read
  ~WalkState();
};

thread_local WalkState t_walk;

void FreeListing(Listing* listing) {
  close(listing->fd);
  free(listing);
}

WalkState::~WalkState() {
  if (pending) FreeListing(pending);
}

void DropPending() {
  if (t_walk.pending) {
    FreeListing(t_walk.pending);
    t_walk.pending = nullptr;
  }
}

// Opens the directory `dir` (a directory string of `length` characters,
// ending in '/'): below the top listing when it is that listing's child,
// which is how the walk goes, otherwise by its path.
Listing* OpenDirectory(const char* dir, size_t length) {
  if (length == 0 || length >= static_cast<size_t>(kPathBuffer) || dir[length - 1] != '/')
    return nullptr;
  int fd = -1;
  const Listing* top = t_walk.top;
  if (top && static_cast<size_t>(top->dir_length) < length &&
      memcmp(top->dir, dir, top->dir_length) == 0 &&
      memchr(dir + top->dir_length, '/', length - 1 - top->dir_length) == nullptr) {
    char child[kPathBuffer];
    const size_t child_length = length - 1 - top->dir_length;
    memcpy(child, dir + top->dir_length, child_length);
    child[child_length] = 0;
    fd = openat(top->fd, child, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } else {
    char path[kPathBuffer];
    memcpy(path, dir, length);
    path[length] = 0;
    fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) return nullptr;
  Listing* listing = static_cast<Listing*>(malloc(sizeof(Listing)));
  if (!listing) {
    close(fd);
    return nullptr;
  }
  listing->fd = fd;
  listing->dir_length = static_cast<int>(length);
  memcpy(listing->dir, dir, length);
  listing->dir[length] = 0;
  listing->position = 0;
  listing->end = 0;
  listing->whole = true;
  listing->finished = false;
  listing->guarded = false;
  listing->below = nullptr;
  return listing;
}

// Reads more entries: appended behind those held while the whole directory
// still fits, otherwise in place of them; *from (if given) is where the new
// ones begin. Zero at the end (or on an error).
int ReadMore(Listing* listing, size_t* from = nullptr) {
  if (listing->finished) return 0;
  size_t at = listing->end;
  if (kListingBytes - at < kDirentRoom) {
    at = 0;
    listing->whole = false;
  }
  long n = syscall(SYS_getdents64, listing->fd, listing->bytes + at, kListingBytes - at);
  if (n <= 0) {
    listing->finished = true;
    return 0;
  }
  if (at == 0) listing->position = 0;
  listing->end = at + static_cast<size_t>(n);
  if (from) *from = at;
  return 1;
}

void FillEntry(const Listing* listing, const LinuxDirent64* d, FindData* entry) {
  const size_t length = strnlen(d->d_name, sizeof entry->name - 1);
  memcpy(entry->name, d->d_name, length);
  entry->name[length] = 0;
  unsigned char type = d->d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(listing->fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR) {
    entry->attributes = kAttributeDirectory;
    if (listing->guarded && listing->dir_length + length + 1 < static_cast<size_t>(kPathBuffer)) {
      char path[kPathBuffer];
      memcpy(path, listing->dir, listing->dir_length);
      memcpy(path + listing->dir_length, entry->name, length);
      path[listing->dir_length + length] = '/';
      if (t_walk.drives.IsBarrier(path, listing->dir_length + length + 1))
        entry->attributes |= kAttributeReparsePoint;
    }
  } else if (type == DT_LNK) {
    entry->attributes = kAttributeReparsePoint;
  } else {
    entry->attributes = kAttributeNormal;
  }
}

// Whether an entry is a directory or a link to one: never the target,
// however it is named.
bool IsDirectoryEntry(const Listing* listing, const LinuxDirent64* d) {
  if (d->d_type == DT_DIR) return true;
  if (d->d_type != DT_LNK && d->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return fstatat(listing->fd, d->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

int NextEntry(Listing* listing, FindData* entry) {
  while (listing->position >= listing->end) {
    if (!ReadMore(listing)) return 0;
  }
  const LinuxDirent64* d =
      reinterpret_cast<const LinuxDirent64*>(listing->bytes + listing->position);
  listing->position += d->d_reclen;
  FillEntry(listing, d, entry);
  return 1;
}

}  // namespace

void GetDriveRoots(char* buffer, int size) {
  t_walk.drives.Build();
  posix::FillDriveList(t_walk.drives.roots, buffer, size);
}

unsigned DriveTypeOf(const char* root) {
  t_walk.drives.Refresh();
  for (const Mount& m : t_walk.drives.roots) {
    if (m.path == root) return m.type;
  }
  return kDriveNoRootDir;
}

int ProbePath(const char* path, FindData* entry) {
  const char* slash = strrchr(path, '/');
  if (!slash || !slash[1] || strlen(path) >= static_cast<size_t>(kPathBuffer)) return 0;
  const char* name = slash + 1;
  const size_t dir_length = static_cast<size_t>(name - path);
  DropPending();
  Listing* listing = OpenDirectory(path, dir_length);
  if (!listing) return 0;
  // Every entry is looked at, and kept for the listing as long as they fit.
  size_t from = 0;
  while (ReadMore(listing, &from)) {
    for (size_t at = from; at < listing->end;) {
      const LinuxDirent64* d = reinterpret_cast<const LinuxDirent64*>(listing->bytes + at);
      at += d->d_reclen;
      // Two ASCII first letters settle most mismatches at once; names
      // beyond ASCII may differ in length and still be one name.
      const unsigned char first = static_cast<unsigned char>(d->d_name[0]);
      const bool ascii = first < 0x80 && static_cast<unsigned char>(name[0]) < 0x80;
      if ((!ascii || FoldNameCase(d->d_name[0]) == FoldNameCase(name[0])) &&
          SameFileName(d->d_name, name) && !IsDirectoryEntry(listing, d)) {
        FillEntry(listing, d, entry);
        FreeListing(listing);
        return 1;
      }
    }
  }
  t_walk.pending = listing;
  return 0;
}

Listing* OpenListing(const char* pattern, FindData* entry, int* first) {
  // Names here have at most NAME_MAX bytes: every entry can be delivered.
  *first = kListingEntry;
  const size_t length = strlen(pattern);
  if (length < 2 || length >= static_cast<size_t>(kPathBuffer) || pattern[length - 1] != '*')
    return nullptr;
  const size_t dir_length = length - 1;
  Listing* listing = t_walk.pending;
  if (listing && static_cast<size_t>(listing->dir_length) == dir_length &&
      memcmp(listing->dir, pattern, dir_length) == 0) {
    t_walk.pending = nullptr;
    if (listing->whole) {
      listing->position = 0;  // everything is here already
    } else if (lseek(listing->fd, 0, SEEK_SET) == 0) {
      listing->position = listing->end = 0;
      listing->whole = true;
      listing->finished = false;
    } else {
      FreeListing(listing);
      return nullptr;
    }
  } else {
    DropPending();
    listing = OpenDirectory(pattern, dir_length);
    if (!listing) return nullptr;
  }
  t_walk.drives.Refresh();
  listing->guarded = t_walk.drives.IsBarrierParent(listing->dir, dir_length);
  if (!NextEntry(listing, entry)) {
    FreeListing(listing);
    return nullptr;
  }
  listing->below = t_walk.top;
  t_walk.top = listing;
  return listing;
}

int NextListingEntry(Listing* listing, FindData* entry) {
  return NextEntry(listing, entry) ? kListingEntry : kListingEnd;
}

void CloseListing(Listing* listing) {
  if (!listing) return;
  for (Listing** link = &t_walk.top; *link; link = &(*link)->below) {
    if (*link == listing) {
      *link = listing->below;
      break;
    }
  }
  FreeListing(listing);
}

void QuietCriticalErrors() {}  // no such boxes here

}  // namespace platform
