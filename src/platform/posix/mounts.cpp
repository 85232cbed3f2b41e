// The native drive list from the mount table, and the drive type of each
// mount (see platform.h).
#include "platform/posix/mounts.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace posix {

namespace {

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
// The roots UseSearchRoots chose, shared by every thread.
std::mutex g_chosen_mutex;
std::vector<std::string> g_chosen_roots;
std::atomic<unsigned> g_chosen_generation{1};  // changes with the roots

}  // namespace

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

void DriveTable::Build() {
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

void DriveTable::Refresh() {
  if (g_chosen_generation.load() != generation) Build();
}

bool DriveTable::IsBarrier(const char* path, size_t length) const {
  for (const std::string& b : barriers) {
    if (b.size() == length && memcmp(b.data(), path, length) == 0) return true;
  }
  return false;
}

bool DriveTable::IsBarrierParent(const char* dir, size_t length) const {
  for (const std::string& p : barrier_parents) {
    if (p.size() == length && memcmp(p.data(), dir, length) == 0) return true;
  }
  return false;
}

}  // namespace posix

int UseSearchRoots(const char* const* roots, int count) {
  std::vector<std::string> chosen;
  for (int i = 0; i < count; ++i) {
    std::string root = roots[i];
    if (root.empty() || root[0] != '/') return 0;
    if (root.back() != '/') root += '/';
    if (root.size() >= static_cast<size_t>(kPathBuffer)) return 0;
    chosen.push_back(root);
  }
  std::lock_guard<std::mutex> hold(posix::g_chosen_mutex);
  posix::g_chosen_roots = chosen;
  posix::g_chosen_generation.fetch_add(1);
  return 1;
}

int DrivesFromMountTable(const char* table, int (*removable)(unsigned, unsigned), char* list,
                         int size, unsigned* types, int max_types) {
  std::vector<posix::Mount> mounts = posix::ParseMounts(table, removable);
  const int count = posix::FillDriveList(mounts, list, size);
  for (int i = 0; i < count && i < max_types; ++i) types[i] = mounts[i].type;
  return count;
}

}  // namespace platform
