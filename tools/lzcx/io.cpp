// The tool's file handling that is the same on every system; what differs
// is in posix/io.cpp and win32/io.cpp.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lzcx/commands.h"

int ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, std::string* why) {
  // As every input: a regular file only, opened without blocking.
  FileBytes file;
  if (!ReadRegularFile(path, SIZE_MAX, "a file", &file, why)) return 0;
  bytes->assign(file.data.get(), file.data.get() + file.size);
  return 1;
}

bool IsPathSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

namespace {

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

// Where the names of `path` begin: after a drive ("C:") on Windows.
size_t RootLength(const char* path) {
#ifdef _WIN32
  if (path[0] && path[1] == ':') return 2;
#endif
  (void)path;
  return 0;
}

}  // namespace

const char* BaseName(const char* path) {
  const char* base = path + RootLength(path);
  for (const char* p = base; *p; ++p)
    if (IsPathSeparator(*p)) base = p + 1;
  return base;
}

std::string ParentDirectory(const char* path) {
  const size_t root = RootLength(path);
  size_t end = static_cast<size_t>(BaseName(path) - path);
  // The separators before the last name go, but for the root's own.
  while (end > root + 1 && IsPathSeparator(path[end - 1])) --end;
  if (end == root) return root ? std::string(path, root) + "." : ".";
  return std::string(path, end);
}

std::string DirectoryString(const char* directory) {
  std::string dir = directory;
  const size_t root = RootLength(directory);
  // One separator at the end: the applier appends names, and a directory
  // is opened without it (extra ones would hide its last name).
  while (dir.size() > root + 1 && IsPathSeparator(dir.back()) &&
         IsPathSeparator(dir[dir.size() - 2]))
    dir.pop_back();
#ifdef _WIN32
  for (char& c : dir)
    if (c == '/') c = '\\';
#endif
  if (dir.size() > root && !IsPathSeparator(dir.back())) dir += kSeparator;
  return dir;
}

int CheckFileSize(uint64_t size, uint64_t max, const char* what, std::string* why) {
  if (size <= max && size <= SIZE_MAX) return 1;
  char line[160];
  snprintf(line, sizeof line, "too large for %s (%llu bytes, at most %llu)", what,
           static_cast<unsigned long long>(size), static_cast<unsigned long long>(max));
  *why = line;
  return 0;
}

int AllocateFileBytes(uint64_t size, uint64_t max, const char* what, FileBytes* out,
                      std::string* why) {
  if (!CheckFileSize(size, max, what, why)) return 0;
  out->data = AllocateBuffer(static_cast<size_t>(size));
  if (!out->data) {
    char line[160];
    snprintf(line, sizeof line, "out of memory for its %llu bytes",
             static_cast<unsigned long long>(size));
    *why = line;
    return 0;
  }
  out->size = static_cast<size_t>(size);
  return 1;
}

int ReadStandardInput(uint64_t max, const char* what, FileBytes* out, std::string* why) {
  UseBinaryMode(stdin);
  size_t capacity = 1 << 16, size = 0;
  Buffer data = AllocateBuffer(capacity);
  while (data) {
    if (size == capacity) {
      if (capacity > max) break;
      const size_t more = capacity * 2 > capacity ? capacity * 2 : SIZE_MAX;
      uint8_t* grown = static_cast<uint8_t*>(realloc(data.get(), more));
      if (!grown) {
        data.reset();
        break;
      }
      data.release();
      data.reset(grown);
      capacity = more;
    }
    const size_t n = fread(data.get() + size, 1, capacity - size, stdin);
    size += n;
    if (n == 0) {
      if (ferror(stdin)) {
        *why = std::string("cannot read it: ") + strerror(errno);
        return 0;
      }
      if (size > max) break;
      out->data = std::move(data);
      out->size = size;
      return 1;
    }
  }
  if (!data) {
    *why = "out of memory while reading it";
  } else {
    char line[160];
    snprintf(line, sizeof line, "too large for %s (more than %llu bytes)", what,
             static_cast<unsigned long long>(max));
    *why = line;
  }
  return 0;
}

int WriteStandardOutput(const void* data, size_t size, std::string* why) {
  UseBinaryMode(stdout);
  if (fwrite(data, 1, size, stdout) == size && fflush(stdout) == 0) return 1;
  *why = std::string("cannot write to standard output: ") + strerror(errno);
  return 0;
}

int ReplaceFileAtomically(const char* path, const std::vector<uint8_t>& bytes,
                          std::string* why) {
  TempFile file;
  return file.Create(path, why) && file.Write(bytes.data(), bytes.size(), why) &&
         file.Commit(why);
}

int WalkTree(const char* dir, std::vector<TreeEntry>* entries, std::string* why) {
  // Depth first, without recursion: each folder is listed once, its own
  // path (relative) on the stack until then.
  std::vector<std::string> pending(1, std::string());
  const std::string root = DirectoryString(dir);
  std::vector<TreeEntry> here;
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    here.clear();
    const std::string full = folder.empty() ? root : DirectoryString((root + folder).c_str());
    if (!ListFolder(full, &here, why)) {
      *why = (folder.empty() ? std::string(dir) : root + folder) + ": " + *why;
      return 0;
    }
    if (here.empty() && !folder.empty())
      entries->push_back(TreeEntry{TreeEntry::kEmptyFolder, folder, 0});
    for (TreeEntry& e : here) {
      e.path = folder.empty() ? e.path : folder + "/" + e.path;
      if (e.kind == TreeEntry::kEmptyFolder)
        pending.push_back(e.path);
      else
        entries->push_back(e);
    }
  }
  return 1;
}

namespace {

// The files mapped now, for MappedFile::NameAt. Written only outside the
// fault handler, which reads them.
const MappedFile* volatile g_mapped[4];

}  // namespace

void MappedFile::Register(const char* name) {
  name_ = name;
  for (const MappedFile* volatile& slot : g_mapped)
    if (!slot) {
      slot = this;
      return;
    }
}

void MappedFile::Unregister() {
  for (const MappedFile* volatile& slot : g_mapped)
    if (slot == this) slot = nullptr;
}

const char* MappedFile::NameAt(const void* address) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(address);
  for (const MappedFile* m : g_mapped)
    if (m && p - reinterpret_cast<uintptr_t>(m->data_) < m->size_) return m->name_.c_str();
  return nullptr;
}
