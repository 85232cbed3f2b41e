// The native drive list: the mount points of the mount table (or the roots
// UseSearchRoots chose), each with its drive type, and the places a walk
// must not cross into. The drive calls and the directory listings share it.
#ifndef PATCHER_PLATFORM_POSIX_MOUNTS_H
#define PATCHER_PLATFORM_POSIX_MOUNTS_H

#include <stddef.h>

#include <string>
#include <vector>

namespace platform {
namespace posix {

struct Mount {
  std::string path;  // directory string, ending in '/'
  unsigned type;
};

// The drives as one thread's walk sees them, made anew for each drive list.
struct DriveTable {
  unsigned generation = 0;
  std::vector<Mount> roots;
  std::vector<std::string> barriers;  // mount points and chosen roots
  std::vector<std::string> barrier_parents;

  void Build();
  // A table made before the roots were last chosen is made anew.
  void Refresh();
  bool IsBarrier(const char* path, size_t length) const;
  bool IsBarrierParent(const char* dir, size_t length) const;
};

// Fills `list` (`size` bytes) with the roots as GetDriveRoots does; returns
// how many fitted.
int FillDriveList(const std::vector<Mount>& roots, char* list, int size);

}  // namespace posix
}  // namespace platform

#endif  // PATCHER_PLATFORM_POSIX_MOUNTS_H
