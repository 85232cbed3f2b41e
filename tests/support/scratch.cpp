#include "support/scratch.h"

#include <stdio.h>

#include <algorithm>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

// `path` for the wide calls: one past what the 8-bit calls take (a tree's
// deep files) with the prefix that lifts the limit, which needs a full
// path with backslashes only.
std::wstring Wide(const std::string& path) {
  std::string p = path;
  if (p.size() >= MAX_PATH - 12 && p.size() > 2 && p[1] == ':') {
    std::replace(p.begin(), p.end(), '/', '\\');
    p = "\\\\?\\" + p;
  }
  std::wstring wide(p.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, p.c_str(), -1, &wide[0], int(wide.size()));
  wide.resize(n > 0 ? size_t(n) - 1 : 0);
  return wide;
}

std::string Narrow(const wchar_t* name) {
  char buffer[MAX_PATH * 2];
  return WideCharToMultiByte(CP_ACP, 0, name, -1, buffer, sizeof buffer, nullptr, nullptr)
             ? buffer
             : "";
}

}  // namespace

const char* SweepParent() { return nullptr; }

ScratchDir::ScratchDir(const char* parent) {
  char base[MAX_PATH];
  if (parent)
    snprintf(base, sizeof base, "%s\\", parent);
  else
    GetTempPathA(MAX_PATH, base);
  static unsigned counter = 0;
  for (;;) {
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%spt-test-%lu-%u\\", base, GetCurrentProcessId(), counter++);
    if (CreateDirectoryA(name, nullptr)) {
      path_ = name;
      return;
    }
  }
}

std::vector<std::string> ListNames(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(Wide(directory + "*").c_str(), &data);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string n = Narrow(data.cFileName);
      if (n != "." && n != "..") names.push_back(n);
    } while (FindNextFileW(h, &data));
    FindClose(h);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool GetWorkingDirectory(char* buffer, size_t size) {
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
  return n > 0 && n < size;
}
bool SetWorkingDirectory(const char* path) { return SetCurrentDirectoryA(path) != 0; }

bool MakeDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }
bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

uint32_t GetPermissions(const std::string& path) { return GetFileAttributesA(path.c_str()); }
bool SetPermissions(const std::string& path, uint32_t set) {
  return SetFileAttributesA(path.c_str(), set) != 0;
}

bool SetReadOnly(const std::string& path, bool read_only) {
  return SetFileAttributesA(path.c_str(), read_only ? FILE_ATTRIBUTE_READONLY
                                                    : FILE_ATTRIBUTE_NORMAL) != 0;
}

void RemoveTree(const std::string& path) {
  const std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(wide.c_str());
    return;
  }
  std::string dir = path;
  if (dir.back() != '\\') dir += '\\';
  for (const std::string& name : ListNames(dir)) RemoveTree(dir + name);
  RemoveDirectoryW(wide.c_str());
}

#else

const char* SweepParent() {
  struct stat st;
  const char* shm = "/dev/shm";
  return stat(shm, &st) == 0 && S_ISDIR(st.st_mode) && access(shm, W_OK | X_OK) == 0 ? shm
                                                                                     : nullptr;
}

ScratchDir::ScratchDir(const char* parent) {
  const char* tmp = parent ? parent : getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pt-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (!mkdtemp(buffer.data())) abort();
  path_ = std::string(buffer.data()) + "/";
}

std::vector<std::string> ListNames(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* d = opendir(directory.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool GetWorkingDirectory(char* buffer, size_t size) { return getcwd(buffer, size) != nullptr; }
bool SetWorkingDirectory(const char* path) { return chdir(path) == 0; }

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }
bool IsDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t GetPermissions(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}
bool SetPermissions(const std::string& path, uint32_t set) { return chmod(path.c_str(), set) == 0; }

SmallVolume::SmallVolume(const std::string& path, int kilobytes)
    : path_(path), mounted_(mount("tmpfs", path.c_str(), "tmpfs", 0,
                                  ("size=" + std::to_string(kilobytes) + "k").c_str()) == 0) {}
SmallVolume::~SmallVolume() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
}

bool SetReadOnly(const std::string& path, bool read_only) {
  return chmod(path.c_str(), read_only ? 0444 : 0644) == 0;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  std::string dir = path;
  if (dir.back() != '/') dir += '/';
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") RemoveTree(dir + n);
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

#endif

ScratchDir::~ScratchDir() { RemoveTree(path_.substr(0, path_.size() - 1)); }

namespace {

FILE* OpenStream(const std::string& path, bool write) {
#ifdef _WIN32
  return _wfopen(Wide(path).c_str(), write ? L"wb" : L"rb");
#else
  return fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

}  // namespace

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = OpenStream(path, true);
  if (!f) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = OpenStream(path, false);
  if (!f) return false;
  bytes->clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  fclose(f);
  return true;
}
