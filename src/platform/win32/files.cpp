// Win32 files: the applier's directory, its files, renames and removals,
// and the payload resource. Only 8-bit ("A") calls.
#include <stdlib.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

// Final paths ("\\?\C:\dir\name") are longer than the paths they stand for.
const DWORD kFinalBuffer = kPathBuffer + 8;

struct Directory {
  HANDLE handle;             // held without delete sharing: no rename
  char path[kPathBuffer];    // the directory string as given
  char final[kFinalBuffer];  // where the handle really leads
};

// A File* is the Win32 file handle itself.
static HANDLE AsHandle(File* file) { return reinterpret_cast<HANDLE>(file); }

namespace {

// `name` in `dir` as a path; null when it would not fit.
const char* Join(const Directory* dir, const char* name, char* buffer) {
  if (lstrlenA(dir->path) + lstrlenA(name) >= kPathBuffer) return nullptr;
  lstrcpyA(buffer, dir->path);
  return lstrcatA(buffer, name);
}

// Whether the open `handle` leads to `name` in the directory whose final
// path is `base`. Under Wine a Unix symbolic link shows as a plain file or
// directory; only the final path of a handle to it tells where it leads.
bool LeadsTo(HANDLE handle, const char* base, const char* name) {
  char real[kFinalBuffer], expected[kFinalBuffer];
  const DWORD n = GetFinalPathNameByHandleA(handle, real, kFinalBuffer, 0);
  const int length = lstrlenA(base);
  if (n == 0 || n >= kFinalBuffer || length + lstrlenA(name) + 2 > static_cast<int>(kFinalBuffer))
    return false;
  lstrcpyA(expected, base);
  if (length == 0 || base[length - 1] != '\\') lstrcatA(expected, "\\");
  lstrcatA(expected, name);
  return SameFileName(real, expected);
}

// Whether the directory open as `handle` (`path` without its trailing
// separator) is where its path says: itself no link or junction, and its
// final path that of its parent followed by its own long name.
bool IsPlainDirectory(HANDLE handle, const char* path, Directory* dir) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY)
    return false;
  const DWORD n = GetFinalPathNameByHandleA(handle, dir->final, kFinalBuffer, 0);
  if (n == 0 || n >= kFinalBuffer) return false;
  char full[kPathBuffer];
  char* last = nullptr;
  const DWORD length = GetFullPathNameA(path, kPathBuffer, full, &last);
  if (length == 0 || length >= static_cast<DWORD>(kPathBuffer)) return false;
  if (!last) return true;  // a drive root has no parent to lead elsewhere from
  WIN32_FIND_DATAA own;
  HANDLE find = FindFirstFileA(full, &own);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  // The parent: keep the separator of a root ("C:\"), drop any other.
  last[last - full > 3 ? -1 : 0] = 0;
  // Followed if it is a link itself: only the directory must not be one.
  HANDLE parent = CreateFileA(full, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE) return false;
  char base[kFinalBuffer];
  const DWORD m = GetFinalPathNameByHandleA(parent, base, kFinalBuffer, 0);
  CloseHandle(parent);
  return m != 0 && m < kFinalBuffer && LeadsTo(handle, base, own.cFileName);
}

}  // namespace

Directory* OpenDirectory(const char* path) {
  const int length = lstrlenA(path);
  if (length >= kPathBuffer) return nullptr;
  Directory* dir = static_cast<Directory*>(malloc(sizeof(Directory)));
  if (!dir) return nullptr;
  lstrcpyA(dir->path, path);
  char name[kPathBuffer];
  lstrcpyA(name, length ? path : ".");
  // Without its trailing separators, but for a root's ("C:\"): with one
  // left, the directory would have no name of its own to check below.
  for (int end = length; end > 1 && name[end - 1] == '\\' && name[end - 2] != ':';)
    name[--end] = 0;
  // Read sharing for listings, write sharing for other programs' files;
  // no delete sharing, so the directory cannot be renamed or removed. The
  // directory itself, not where it leads if it is a link.
  dir->handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (dir->handle != INVALID_HANDLE_VALUE && IsPlainDirectory(dir->handle, name, dir)) return dir;
  if (dir->handle != INVALID_HANDLE_VALUE) CloseHandle(dir->handle);
  free(dir);
  return nullptr;
}

void CloseDirectory(Directory* dir) {
  CloseHandle(dir->handle);
  free(dir);
}

int SyncDirectory(Directory*) { return 1; }

TargetState FindTarget(Directory* dir, const char* name, char* found) {
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return kTargetBlocked;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? kTargetMissing
                                                                           : kTargetBlocked;
  }
  FindClose(find);
  lstrcpynA(found, data.cFileName, kPathBuffer);
  // A short name ("VUSK~1.EXE") reaches a file whose own name is another.
  if (!SameFileName(data.cFileName, name) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return kTargetElsewhere;
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
    return kTargetBlocked;
  // Open it as the replacement will need it: for writing and for renaming.
  // A running program's image or a file another program holds without
  // sharing fails here, before anything has been changed.
  HANDLE h = CreateFileA(path, GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kTargetBlocked;
  const bool here = LeadsTo(h, dir->final, data.cFileName);
  CloseHandle(h);
  return here ? kTargetReplaceable : kTargetElsewhere;
}

int NameTaken(Directory* dir, const char* name) {
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return 1;
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 1;
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

File* CreateNewFile(Directory* dir, const char* name) {
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return nullptr;
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<File*>(h);
}

uint32_t WriteToFile(File* file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    if (!WriteFile(AsHandle(file), p + done, size - done, &n, nullptr) || n == 0) break;
    done += n;
  }
  return done;
}

int CloseFile(File* file) {
  int ok = FlushFileBuffers(AsHandle(file)) != 0;
  if (!CloseHandle(AsHandle(file))) ok = 0;
  return ok;
}

int RenameFile(Directory* dir, const char* from, const char* to, int replace) {
  char a[kPathBuffer], b[kPathBuffer];
  if (!Join(dir, from, a) || !Join(dir, to, b)) return 0;
  return MoveFileExA(a, b, MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)) != 0;
}

int RemoveFile(Directory* dir, const char* name) {
  char path[kPathBuffer];
  return Join(dir, name, path) && DeleteFileA(path);
}

uint8_t* ReadSmallFile(Directory* dir, const char* name, uint32_t limit, uint32_t* size) {
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return nullptr;
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  DWORD high = 0;
  const DWORD length = GetFileSize(h, &high);
  uint8_t* bytes = nullptr;
  DWORD got = 0;
  if (length != INVALID_FILE_SIZE && !high && length <= limit) {
    bytes = static_cast<uint8_t*>(malloc(length ? length : 1));
    if (bytes && (!ReadFile(h, bytes, length, &got, nullptr) || got != length)) {
      free(bytes);
      bytes = nullptr;
    }
  }
  CloseHandle(h);
  if (bytes) *size = length;
  return bytes;
}

int LoadPayloadResource(const uint8_t** data, uint32_t* size) {
  HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(105), "FILE");
  if (!info) return 0;
  HGLOBAL loaded = LoadResource(nullptr, info);
  if (!loaded) return 0;
  const void* bytes = LockResource(loaded);
  if (!bytes) return 0;
  *data = static_cast<const uint8_t*>(bytes);
  *size = SizeofResource(nullptr, info);
  return 1;
}

}  // namespace platform
