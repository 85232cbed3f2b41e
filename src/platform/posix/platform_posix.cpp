// POSIX implementation of the OS layer, for native builds: the tools, the
// native tests and the benchmarks.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

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

// A thread's control block: the handle the caller holds.
struct ThreadBlock {
  pthread_t thread;
  ThreadProc proc;
  void* argument;
  std::atomic<int> ended;
};

static void* ThreadTrampoline(void* p) {
  ThreadBlock* block = static_cast<ThreadBlock*>(p);
  block->proc(block->argument);
  block->ended.store(1, std::memory_order_release);
  return nullptr;
}

ThreadHandle StartThread(ThreadProc proc, void* argument, uint32_t* thread_id) {
  ThreadBlock* block = new (std::nothrow) ThreadBlock;
  if (!block) return nullptr;
  block->proc = proc;
  block->argument = argument;
  block->ended.store(0, std::memory_order_relaxed);
  if (pthread_create(&block->thread, nullptr, ThreadTrampoline, block) != 0) {
    delete block;
    return nullptr;
  }
  static std::atomic<uint32_t> next_id{1};
  if (thread_id) *thread_id = next_id.fetch_add(1, std::memory_order_relaxed);
  return block;
}

int ThreadHasEnded(ThreadHandle thread, int* ended) {
  if (!thread) return 0;
  *ended = static_cast<ThreadBlock*>(thread)->ended.load(
      std::memory_order_acquire);
  return 1;
}

void ReleaseThread(ThreadHandle thread) {
  if (!thread) return;
  ThreadBlock* block = static_cast<ThreadBlock*>(thread);
  pthread_join(block->thread, nullptr);
  delete block;
}

void SleepMilliseconds(uint32_t milliseconds) {
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

Lock::Lock() { pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(storage_), nullptr); }
Lock::~Lock() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Lock::Enter() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }
void Lock::Leave() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

// ---------------------------------------------------------------------------
// Drives and directory listings
//
// The drive list comes from the mount table (or from UseSearchRoots), the
// probe and the listings from getdents64 on descriptors opened with openat
// below the listing the walk has open, so a deep directory costs no path
// lookup from the root. The probe reads the whole directory (it has to, to
// match names in any letter case); the listing that the walk opens right
// after a missed probe takes over what the probe read, so a directory is
// read once.

namespace {

// What getdents64 writes.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

struct Mount {
  std::string path;  // directory string, ending in '/'
  unsigned type;
};

bool InList(const std::string& word, const char* const* list) {
  for (; *list; ++list) {
    if (word == *list) return true;
  }
  return false;
}

const char* const kPseudoFileSystems[] = {
    "proc", "sysfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "securityfs", "debugfs",
    "tracefs", "configfs", "fusectl", "mqueue", "hugetlbfs", "bpf", "pstore", "binfmt_misc",
    "autofs", "rpc_pipefs", "nsfs", "efivarfs", "selinuxfs", "smackfs", "apparmorfs",
    "nfsd", "sockfs", "pipefs", "anon_inodefs", "usbfs", nullptr};
const char* const kNetworkFileSystems[] = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "9p", "afs", "ceph", "glusterfs",
    "lustre", "gfs2", "ocfs2", "davfs", "fuse.sshfs", "fuse.glusterfs", "fuse.rclone",
    "fuse.s3fs", "fuse.davfs2", nullptr};

// Mount table text escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
        field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
        field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The mounts of a mountinfo text, one per mount point (the last mount of a
// point is the one that shows), sorted by path.
std::vector<Mount> ParseMounts(const char* table, int (*removable)(unsigned, unsigned)) {
  std::vector<Mount> mounts;
  std::vector<std::string> pseudo;  // mount points of pseudo file systems
  const char* line = table;
  while (*line) {
    const char* line_end = strchr(line, '\n');
    if (!line_end) line_end = line + strlen(line);
    std::vector<std::string> fields;
    for (const char* p = line; p < line_end;) {
      while (p < line_end && *p == ' ') ++p;
      const char* start = p;
      while (p < line_end && *p != ' ') ++p;
      if (p > start) fields.push_back(std::string(start, p));
    }
    line = *line_end ? line_end + 1 : line_end;
    // id parent major:minor root mount-point options [optional...] - type source ...
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 1 >= fields.size()) continue;
    Mount mount;
    mount.path = Unescape(fields[4]);
    if (mount.path.empty() || mount.path[0] != '/') continue;
    if (mount.path.back() != '/') mount.path += '/';
    const std::string& fs = fields[dash + 1];
    unsigned major = 0, minor = 0;
    if (sscanf(fields[2].c_str(), "%u:%u", &major, &minor) != 2) major = minor = 0;
    if (InList(fs, kPseudoFileSystems)) {
      mount.type = kDriveNoRootDir;
      pseudo.push_back(mount.path);
    } else if (fs == "iso9660" || fs == "udf") {
      mount.type = kDriveCdRom;
    } else if (InList(fs, kNetworkFileSystems)) {
      mount.type = kDriveRemote;
    } else if (fs == "tmpfs" || fs == "ramfs") {
      mount.type = kDriveRamDisk;
    } else if (major != 0 && removable && removable(major, minor)) {
      mount.type = kDriveRemovable;
    } else {
      mount.type = kDriveFixed;
    }
    // A later mount on the same point hides the earlier one.
    mounts.erase(std::remove_if(mounts.begin(), mounts.end(),
                                [&](const Mount& m) { return m.path == mount.path; }),
                 mounts.end());
    mounts.push_back(mount);
  }
  // Whatever is mounted inside a pseudo file system is not searched either.
  for (Mount& m : mounts) {
    for (const std::string& p : pseudo) {
      if (m.path.size() > p.size() && m.path.compare(0, p.size(), p) == 0)
        m.type = kDriveNoRootDir;
    }
  }
  std::sort(mounts.begin(), mounts.end(),
            [](const Mount& a, const Mount& b) { return a.path < b.path; });
  return mounts;
}

// Whether block device major:minor (or, for a partition, its disk) is
// removable, as the kernel reports it.
int RemovableBlockDevice(unsigned major, unsigned minor) {
  const char* const forms[] = {"/sys/dev/block/%u:%u/removable",
                               "/sys/dev/block/%u:%u/../removable"};
  for (const char* form : forms) {
    char path[96];
    snprintf(path, sizeof path, form, major, minor);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    close(fd);
    if (n == 1) return c == '1';
  }
  return 0;
}

int FillDriveList(const std::vector<Mount>& roots, char* list, int size) {
  if (size <= 0) return 0;
  int used = 0, count = 0;
  for (const Mount& m : roots) {
    const int length = static_cast<int>(m.path.size());
    if (length >= kPathBuffer || used + length + 2 > size) break;
    memcpy(list + used, m.path.c_str(), length + 1);
    used += length + 1;
    ++count;
  }
  list[used] = 0;
  return count;
}

// The roots UseSearchRoots chose, shared by every thread.
std::mutex g_chosen_mutex;
std::vector<std::string> g_chosen_roots;
std::atomic<unsigned> g_chosen_generation{1};  // changes with the roots

// The drives as one thread's walk sees them, made anew for each drive list.
struct DriveTable {
  unsigned generation = 0;
  std::vector<Mount> roots;
  std::vector<std::string> barriers;  // mount points and chosen roots
  std::vector<std::string> barrier_parents;

  void Build() {
    std::vector<std::string> chosen;
    {
      std::lock_guard<std::mutex> hold(g_chosen_mutex);
      chosen = g_chosen_roots;
      generation = g_chosen_generation.load();
    }
    std::string text;
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char chunk[8192];
      ssize_t n;
      while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, n);
      close(fd);
    }
    std::vector<Mount> mounts = ParseMounts(text.c_str(), RemovableBlockDevice);
    barriers.clear();
    for (const Mount& m : mounts) barriers.push_back(m.path);
    roots.clear();
    if (!chosen.empty()) {
      for (const std::string& c : chosen) {
        roots.push_back(Mount{c, kDriveFixed});
        barriers.push_back(c);
      }
    } else if (mounts.empty()) {
      roots.push_back(Mount{"/", kDriveFixed});  // no mount table: one drive
    } else {
      roots = mounts;
      for (Mount& m : roots) {
        struct stat st;
        if (m.type != kDriveNoRootDir && (stat(m.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
          m.type = kDriveNoRootDir;
      }
    }
    barrier_parents.clear();
    for (const std::string& b : barriers) {
      const size_t slash = b.find_last_of('/', b.size() - 2);
      if (b.size() > 1 && slash != std::string::npos) barrier_parents.push_back(b.substr(0, slash + 1));
    }
  }

  // A table made before the roots were last chosen is made anew.
  void Refresh() {
    if (g_chosen_generation.load() != generation) Build();
  }

  bool IsBarrier(const char* path, size_t length) const {
    for (const std::string& b : barriers) {
      if (b.size() == length && memcmp(b.data(), path, length) == 0) return true;
    }
    return false;
  }
  bool IsBarrierParent(const char* dir, size_t length) const {
    for (const std::string& p : barrier_parents) {
      if (p.size() == length && memcmp(p.data(), dir, length) == 0) return true;
    }
    return false;
  }
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
  DriveTable drives;
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
  FillDriveList(t_walk.drives.roots, buffer, size);
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
  const size_t name_length = strlen(name);
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
      if (FoldNameCase(d->d_name[0]) == FoldNameCase(name[0]) &&
          strnlen(d->d_name, name_length + 1) == name_length && SameFileName(d->d_name, name)) {
        FillEntry(listing, d, entry);
        FreeListing(listing);
        return 1;
      }
    }
  }
  t_walk.pending = listing;
  return 0;
}

Listing* OpenListing(const char* pattern, FindData* entry) {
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

int NextListingEntry(Listing* listing, FindData* entry) { return NextEntry(listing, entry); }

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

int UseSearchRoots(const char* const* roots, int count) {
  std::vector<std::string> chosen;
  for (int i = 0; i < count; ++i) {
    std::string root = roots[i];
    if (root.empty() || root[0] != '/') return 0;
    if (root.back() != '/') root += '/';
    if (root.size() >= static_cast<size_t>(kPathBuffer)) return 0;
    chosen.push_back(root);
  }
  std::lock_guard<std::mutex> hold(g_chosen_mutex);
  g_chosen_roots = chosen;
  g_chosen_generation.fetch_add(1);
  return 1;
}

int DrivesFromMountTable(const char* table, int (*removable)(unsigned, unsigned), char* list,
                         int size, unsigned* types, int max_types) {
  std::vector<Mount> mounts = ParseMounts(table, removable);
  const int count = FillDriveList(mounts, list, size);
  for (int i = 0; i < count && i < max_types; ++i) types[i] = mounts[i].type;
  return count;
}

}  // namespace platform
