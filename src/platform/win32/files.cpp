// Win32 files: the applier's directory, its files, renames and removals,
// and the payload resource. Only 8-bit ("A") calls.
#include <stdlib.h>
#include <windows.h>
#include <aclapi.h>

#include "platform/platform.h"

namespace platform {

// Final paths ("\\?\C:\dir\name") are longer than the paths they stand for.
const DWORD kFinalBuffer = kPathBuffer + 8;

struct Directory {
  HANDLE handle;             // held without delete sharing: no rename
  HANDLE lock;               // the patch lock's file, or INVALID_HANDLE_VALUE
  char path[kPathBuffer];    // the directory string as given
  char final[kFinalBuffer];  // where the handle really leads
};

// A File* is the Win32 file handle itself.
static HANDLE AsHandle(File* file) { return reinterpret_cast<HANDLE>(file); }

namespace {

bool NotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Whether `sid` is one of the owners whose files this process may take
// for its own: the user it runs as, the Administrators group (the default
// owner of what an elevated administrator creates), SYSTEM. (Under Wine a
// file's owner is the user, whatever the token's default owner says.)
bool IsOurOwner(PSID sid) {
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid))
    return true;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  // Room for the TOKEN_USER and the largest SID.
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size;
  const bool ours = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                    EqualSid(sid, info.user.User.Sid);
  CloseHandle(token);
  return ours;
}

// Whether the file open as `handle` (with READ_CONTROL) is owned by us.
bool OwnedByUs(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const bool ours = owner && IsOurOwner(owner);
  LocalFree(descriptor);
  return ours;
}

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
  dir->lock = INVALID_HANDLE_VALUE;
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
  if (dir->lock != INVALID_HANDLE_VALUE) CloseHandle(dir->lock);
  CloseHandle(dir->handle);
  free(dir);
}

LockResult LockDirectory(Directory* dir, const char* lock_name) {
  char path[kPathBuffer];
  if (!Join(dir, lock_name, path)) return kLockFailed;
  // Made here, it goes when the handle closes, also when the process dies.
  // One that is there already (left by a power cut, or by anyone) is only
  // held, never removed: the patch removes no file it did not make.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
    h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_SHARING_VIOLATION ? kLockBusy : kLockFailed;
  dir->lock = h;
  return kLockTaken;
}

int SyncDirectory(Directory*) { return 1; }

TargetState FindTarget(Directory* dir, const char* name, char* found) {
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return kTargetBlocked;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE)
    return NotFound(GetLastError()) ? kTargetMissing : kTargetUnknown;
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

Presence LookUpName(Directory* dir, const char* name) {
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return kUnknown;
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return kPresent;
  return NotFound(GetLastError()) ? kAbsent : kUnknown;
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

Presence OpenExisting(Directory* dir, const char* name, File** file, FileFacts* facts) {
  *file = nullptr;
  facts->size = 0;
  facts->trusted = false;
  char path[kPathBuffer];
  if (!Join(dir, name, path)) return kUnknown;
  // The name itself, not where a link or junction leads; a directory
  // opens too (backup semantics), to be seen as one.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return NotFound(GetLastError()) ? kAbsent : kUnknown;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    CloseHandle(h);
    return kUnknown;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    return kPresent;
  }
  facts->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  // Its final path tells a short name or, under Wine, a Unix symbolic link.
  facts->trusted = info.nNumberOfLinks == 1 && LeadsTo(h, dir->final, name) && OwnedByUs(h);
  *file = reinterpret_cast<File*>(h);
  return kPresent;
}

int ReadFromFile(File* file, void* data, uint32_t size, uint32_t* got) {
  uint8_t* p = static_cast<uint8_t*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    if (!ReadFile(AsHandle(file), p + done, size - done, &n, nullptr)) return 0;
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return 1;
}

void ReleaseFile(File* file) { CloseHandle(AsHandle(file)); }

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
