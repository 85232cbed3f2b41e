// Win32 files: the applier's directory, its files, renames and removals,
// and the payload resource. The directory is opened and checked once by
// its path; every name after that is looked up in the held directory
// handle by the native calls (a name relative to a handle is never
// resolved as a path again, so re-pointing a link or junction above the
// directory cannot send a file elsewhere). 8-bit names elsewhere.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>
#include <aclapi.h>

#include "platform/failure.h"
#include "platform/platform.h"
#include "resources/resource_ids.h"

namespace platform {

struct Directory {
  HANDLE handle;  // held without delete sharing: no rename
  HANDLE lock;    // the patch lock's file, or INVALID_HANDLE_VALUE
  char* final;    // where the handle leads, no separator at the end (heap)
};

// A File* is the Win32 file handle itself.
static HANDLE AsHandle(File* file) { return reinterpret_cast<HANDLE>(file); }

namespace {

const NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
const NTSTATUS kNameInvalid = static_cast<NTSTATUS>(0xC0000033);
const NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
const NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);
const NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003A);
const NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
const NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);
const NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103);
const NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106);
const NTSTATUS kCannotDelete = static_cast<NTSTATUS>(0xC0000121);

const ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// CloseHandle, called from one place: every other call is then a near
// call, without an entry in the program's relocations.
__attribute__((noinline)) void Close(HANDLE h) { CloseHandle(h); }

bool NotFound(NTSTATUS status) { return status == kNameNotFound || status == kPathNotFound; }

#ifndef PATCHER_NO_FAULT_TEXT
// What a Win32 error or an NTSTATUS means to the patch.
FailureKind KindOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case 0xC000000FU:  // no such file
    case 0xC0000034U:
    case 0xC000003AU: return kFailureNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
    case 0xC0000101U:  // a folder not empty
    case 0xC0000035U: return kFailureExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case 0xC0000043U:
    case 0xC0000054U:  // a locked range
    case 0xC0000056U: return kFailureInUse;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case 0xC0000022U:
    case 0xC0000121U:
    case 0xC00000A2U: return kFailureDenied;  // a write-protected medium
    case 0xC00000BAU: return kFailureDirectory;
    case ERROR_DIRECTORY:
    case 0xC0000103U: return kFailureNotDirectory;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case 0xC000007FU: return kFailureNoSpace;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case 0xC0000185U:  // a device error
    case 0xC000009CU: return kFailureIo;  // a data error
    case ERROR_FILENAME_EXCED_RANGE:
    case 0xC0000106U:
    case 0xC0000033U: return kFailureNameTooLong;  // OpenIn's for a name too long
    default: return kFailureOther;
  }
}

int NoteStatus(NTSTATUS status) { return Note(KindOf(status), status); }

// A removal that `h` refused: a read-only file and a running program's
// image refuse alike, and the attributes tell which.
void NoteRemoval(HANDLE h, NTSTATUS status) {
  BY_HANDLE_FILE_INFORMATION info;
  if (status != kCannotDelete) {
    NoteStatus(status);
  } else {
    const bool read_only = GetFileInformationByHandle(h, &info) &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    Note(read_only ? kFailureDenied : kFailureInUse, status);
  }
}
int NoteLastError() { return NoteStatus(GetLastError()); }
const bool kNoting = true;
#else
const bool kNoting = false;
__attribute__((always_inline)) inline int NoteStatus(NTSTATUS) { return 0; }
__attribute__((always_inline)) inline void NoteRemoval(HANDLE, NTSTATUS) {}
__attribute__((always_inline)) inline int NoteLastError() { return 0; }
#endif

// `name` as the native calls take it: UTF-16 by the code page the 8-bit
// calls use (UTF-8 by the program's manifest). Its length in characters;
// zero when it is empty or too long.
int Wide(const char* name, WCHAR* wide) {
  return MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kPathBuffer) - 1;
}

// Opens or creates `name` in `dir` itself, by its handle: letter case
// ignored as Windows' name lookups ignore it, and a link or junction of
// that name opened as itself, never followed. Synchronous, for ReadFile
// and WriteFile. The system's status (zero: *h is open).
NTSTATUS OpenIn(const Directory* dir, const char* name, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, HANDLE* h) {
  WCHAR wide[kPathBuffer];
  const int length = Wide(name, wide);
  if (length <= 0) return kNameInvalid;
  UNICODE_STRING text = {static_cast<USHORT>(length * 2), static_cast<USHORT>(length * 2 + 2),
                         wide};
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, dir->handle, nullptr);
  IO_STATUS_BLOCK io;
  return NtCreateFile(h, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                      disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                      nullptr, 0);
}

// Opens a file of `dir` for renaming or removal: itself, never a directory.
HANDLE OpenToMove(const Directory* dir, const char* name) {
  HANDLE h;
  const NTSTATUS status =
      OpenIn(dir, name, DELETE, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &h);
  if (!status) return h;
  NoteStatus(status);
  return nullptr;
}

// Whether `sid` is one of the owners whose files this process may take
// for its own: the Administrators group (the default owner of what an
// elevated administrator creates), SYSTEM, the user it runs as. (Under
// Wine a file's owner is the user, whatever the token's default owner
// says.)
bool IsOurOwner(PSID sid) {
  // Administrators (S-1-5-32-544), then SYSTEM (S-1-5-18): the revision
  // and part count, the NT authority (big-endian 5), the parts.
  DWORD known[4];
  known[0] = SID_REVISION | 2 << 8;
  known[1] = 5u << 24;
  known[2] = SECURITY_BUILTIN_DOMAIN_RID;
  known[3] = DOMAIN_ALIAS_RID_ADMINS;
  if (EqualSid(sid, known)) return true;
  known[0] = SID_REVISION | 1 << 8;
  known[2] = SECURITY_LOCAL_SYSTEM_RID;
  if (EqualSid(sid, known)) return true;
  HANDLE token;
  // The current process: the pseudo handle GetCurrentProcess returns.
  if (!OpenProcessToken(reinterpret_cast<HANDLE>(-1), TOKEN_QUERY, &token)) return false;
  // Room for the TOKEN_USER and the largest SID.
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size;
  const bool ours = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                    EqualSid(sid, info.user.User.Sid);
  Close(token);
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

// Bytes of a final path: the longest path Windows has (32,767 UTF-16
// units) in UTF-8.
const DWORD kFinalBuffer = 0x18000;
// Bytes of an object's name, for Wine below.
const ULONG kObjectName = sizeof(OBJECT_NAME_INFORMATION) + 0x10000;

// The final path of `handle` ("\\?\C:\dir\name", as long as it is), from
// the heap (free it), without a separator at its end (a drive root's);
// null when there is none. A short name shows as the long one, and under
// Wine, where a Unix symbolic link looks like a plain file or directory,
// only this path tells where the link leads.
char* FinalPath(HANDLE handle) {
  char* real = static_cast<char*>(malloc(kFinalBuffer + kObjectName));
  if (!real) return nullptr;
  DWORD n = GetFinalPathNameByHandleA(handle, real, kFinalBuffer, 0);
  if (!n) {
    // Wine's reads the object's name into MAX_PATH characters, and fails
    // on any longer path. Wine names a file object by the DOS form of its
    // real Unix path ("\??\C:\dir"), which is the final path; Windows by
    // its device, as it was opened (a short name stays short), and never
    // in that form.
    OBJECT_NAME_INFORMATION* info = reinterpret_cast<OBJECT_NAME_INFORMATION*>(real + kFinalBuffer);
    ULONG got;
    if (!NtQueryObject(handle, ObjectNameInformation, info, kObjectName, &got) &&
        info->Name.Length > 8 && !memcmp(info->Name.Buffer, L"\\??\\", 8)) {
      memcpy(real, "\\\\?\\", 4);
      n = WideCharToMultiByte(CP_ACP, 0, info->Name.Buffer + 4, info->Name.Length / 2 - 4,
                              real + 4, kFinalBuffer - 5, nullptr, nullptr);
      n = n ? n + 4 : 0;
    }
  }
  if (!n || n >= kFinalBuffer) {
    free(real);
    return nullptr;
  }
  real[n] = 0;
  if (real[n - 1] == '\\') real[n - 1] = 0;
  return real;
}

// Splits a final path at its last separator ("\\?\" begins every one):
// `path` keeps the directory, and the result is the last name.
char* SplitLast(char* path) {
  char* last = path + strlen(path);
  while (*--last != '\\') {
  }
  *last = 0;
  return last + 1;
}

// Whether the file open as `handle` is right in `dir`; its own long name
// then goes to `own` (kPathBuffer bytes).
bool NameIn(const Directory* dir, HANDLE handle, char* own) {
  char* real = FinalPath(handle);
  if (!real) return false;
  const char* last = SplitLast(real);
  const size_t length = strlen(last);
  const bool in = length < static_cast<size_t>(kPathBuffer) && SameFileName(real, dir->final);
  if (in) memcpy(own, last, length + 1);
  free(real);
  return in;
}

// Whether the directory open as `handle` (`path` without its trailing
// separator) is where its path says: itself no link or junction, and its
// final path (kept in dir->final) that of its parent followed by its own
// long name.
bool IsPlainDirectory(HANDLE handle, const char* path, Directory* dir) {
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(handle, &info);
  if (!known ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY ||
      !(dir->final = FinalPath(handle))) {
    if (kNoting)
      known ? Note(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? kFailureLink
                   : info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY   ? kFailureOther
                                                                        : kFailureNotDirectory,
                   0)
            : NoteLastError();
    return false;
  }
  char full[kPathBuffer];
  char* last = nullptr;
  const DWORD length = GetFullPathNameA(path, kPathBuffer, full, &last);
  if (length == 0 || length >= static_cast<DWORD>(kPathBuffer))
    return Note(kFailureNameTooLong, 0), false;
  if (!last) return true;  // a drive root has no parent to lead elsewhere from
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(full, &found);
  if (find == INVALID_HANDLE_VALUE) return NoteLastError(), false;
  FindClose(find);
  // The parent: keep the separator of a root ("C:\"), drop any other.
  last[last - full > 3 ? -1 : 0] = 0;
  // Followed if it is a link itself: only the directory must not be one.
  HANDLE parent = CreateFileA(full, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE) return NoteLastError(), false;
  char* base = FinalPath(parent);
  Close(parent);
  char* own = SplitLast(dir->final);
  const bool plain = base && SameFileName(dir->final, base) && SameFileName(own, found.cFileName);
  free(base);
  own[-1] = '\\';
  // Its path leads elsewhere than the handle: through a link above it, or
  // (under Wine) a Unix symbolic link.
  if (!plain) Note(kFailureLink, 0);
  return plain;
}

// A Directory with nothing open yet, for CloseDirectory to take back as
// it is; null without memory.
Directory* NewDirectory() {
  Directory* dir = static_cast<Directory*>(malloc(sizeof(Directory)));
  if (!dir) return Note(kFailureOther, ERROR_NOT_ENOUGH_MEMORY), nullptr;
  dir->handle = dir->lock = INVALID_HANDLE_VALUE;
  dir->final = nullptr;
  return dir;
}

}  // namespace

Directory* OpenDirectory(const char* path) {
  const size_t length = strlen(path);
  if (length >= static_cast<size_t>(kPathBuffer))
    return Note(kFailureNameTooLong, ERROR_FILENAME_EXCED_RANGE), nullptr;
  Directory* dir = NewDirectory();
  if (!dir) return nullptr;
  char name[kPathBuffer];
  memcpy(name, length ? path : ".", length ? length + 1 : 2);
  // Without its trailing separators, but for a root's ("C:\"): with one
  // left, the directory would have no name of its own to check below.
  for (size_t end = length; end > 1 && name[end - 1] == '\\' && name[end - 2] != ':';)
    name[--end] = 0;
  // Read sharing for listings, write sharing for other programs' files;
  // no delete sharing, so the directory cannot be renamed or removed. The
  // directory itself, not where it leads if it is a link.
  dir->handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (dir->handle != INVALID_HANDLE_VALUE && IsPlainDirectory(dir->handle, name, dir)) return dir;
  if (kNoting && dir->handle == INVALID_HANDLE_VALUE) NoteLastError();
  CloseDirectory(dir);
  return nullptr;
}

void CloseDirectory(Directory* dir) {
  if (dir->lock != INVALID_HANDLE_VALUE) Close(dir->lock);
  if (dir->handle != INVALID_HANDLE_VALUE) Close(dir->handle);
  free(dir->final);
  free(dir);
}

LockResult LockDirectory(Directory* dir, const char* lock_name) {
  // Made here, it goes when the handle closes, also when the
  // process dies. One that is there already (left by a power cut, or by
  // anyone) is only held, never removed: the patch removes no file it did
  // not make.
  HANDLE h;
  NTSTATUS status = OpenIn(dir, lock_name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                           FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, &h);
  if (status == kNameCollision) {
    // Only one of ours is held; another user's, a link or a folder is
    // named, not waited on as a running patch.
    status = OpenIn(dir, lock_name, GENERIC_READ | READ_CONTROL, 0, FILE_OPEN, 0, &h);
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD not_file = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (!status && (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & not_file) ||
                    !OwnedByUs(h))) {
      Close(h);
      return Note(kFailureForeignLock, 0), kLockFailed;
    }
  }
  if (status == kSharingViolation) return Note(kFailureLockHeld, 0), kLockBusy;
  if (status) return NoteStatus(status), kLockFailed;
  dir->lock = h;
  return kLockTaken;
}

int SyncDirectory(Directory*) { return 1; }

TargetState FindTarget(Directory* dir, const char* name, char* found) {
  HANDLE h;
  const NTSTATUS status = OpenIn(dir, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &h);
  if (status) return NotFound(status) ? kTargetMissing : (NoteStatus(status), kTargetUnknown);
  // (Its name goes to `found` even when what follows fails: then nothing
  // reads it.)
  const bool in = NameIn(dir, h, found);
  BY_HANDLE_FILE_INFORMATION info;
  TargetState state = kTargetUnknown;
  if (GetFileInformationByHandle(h, &info)) {
    // A short name ("VUSK~1.EXE") reaches a file whose own name is another;
    // a link (under Wine also a Unix one) leads out.
    if (!in || !SameFileName(found, name) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      state = kTargetElsewhere;
    else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
      state = kTargetBlocked;
    else
      state = kTargetReplaceable;
#ifndef PATCHER_NO_FAULT_TEXT
    // Refused by its name or attributes: no call failed.
    if (state != kTargetReplaceable)
      Note(state == kTargetElsewhere                            ? kFailureLink
           : info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? kFailureDirectory
                                                                : kFailureDenied,
           0);
  } else {
    NoteLastError();
#endif
  }
  Close(h);
  // Open it as the replacement will need it: for writing and for renaming.
  // A running program's image or a file another program holds without
  // sharing fails here, before anything has been changed.
  if (state == kTargetReplaceable) {
    if (const NTSTATUS refused = OpenIn(dir, name, GENERIC_WRITE | DELETE, kShareAll, FILE_OPEN,
                                        FILE_NON_DIRECTORY_FILE, &h))
      return NoteStatus(refused), kTargetBlocked;
    Close(h);
  }
  return state;
}

Presence LookUpName(Directory* dir, const char* name) {
  HANDLE h;
  const NTSTATUS status = OpenIn(dir, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &h);
  if (!status) Close(h);
  // A file that will not be opened, or is being removed, still takes the name.
  if (!status || status == kAccessDenied || status == kDeletePending) return kPresent;
  return NotFound(status) ? kAbsent : (NoteStatus(status), kUnknown);
}

File* CreateNewFile(Directory* dir, const char* name) {
  HANDLE h;
  // (With the rights KeepPermissions needs to give it an access list.)
  const NTSTATUS status = OpenIn(dir, name, GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, FILE_CREATE,
                                 FILE_NON_DIRECTORY_FILE, &h);
  if (status) return NoteStatus(status), nullptr;
  return reinterpret_cast<File*>(h);
}

uint32_t WriteToFile(File* file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    if (!WriteFile(AsHandle(file), p + done, size - done, &n, nullptr) || n == 0) {
      NoteLastError();
      break;
    }
    done += n;
  }
  return done;
}

int CloseFile(File* file) {
  int ok = FlushFileBuffers(AsHandle(file)) != 0;
#ifndef PATCHER_NO_FAULT_TEXT
  if (!ok) NoteLastError();
  if (!CloseHandle(AsHandle(file))) ok = NoteLastError();
#else
  if (!CloseHandle(AsHandle(file))) ok = 0;
#endif
  return ok;
}

namespace {

// Renames the file open as `h` (with delete access) to `to` in `dir`.
bool RenameHandle(const Directory* dir, HANDLE h, const char* to, int replace) {
  union {
    FILE_RENAME_INFORMATION info;
    BYTE bytes[sizeof(FILE_RENAME_INFORMATION) + kPathBuffer * sizeof(WCHAR)];
  } target;
  const int length = Wide(to, target.info.FileName);
  // The new name, too, in the held directory.
  target.info.ReplaceIfExists = replace != 0;
  target.info.RootDirectory = dir->handle;
  target.info.FileNameLength = length * sizeof(WCHAR);
  IO_STATUS_BLOCK io;
  const NTSTATUS status =
      length > 0 ? NtSetInformationFile(h, &io, &target, sizeof target, FileRenameInformation)
                 : kNameTooLong;
  return !status || NoteStatus(status);
}

}  // namespace

int RenameFile(Directory* dir, const char* from, const char* to, int replace) {
  HANDLE h = OpenToMove(dir, from);
  if (!h) return 0;
  const bool renamed = RenameHandle(dir, h, to, replace);
  Close(h);
  return renamed;
}

int RenameOpenFile(Directory* dir, File* file, const char*, const char* to) {
  return RenameHandle(dir, AsHandle(file), to, 0);
}

namespace {

// Marks the file or folder open as `h` (with delete access) to be removed
// when it closes.
bool Dispose(HANDLE h) {
  FILE_DISPOSITION_INFORMATION disposition = {TRUE};
  IO_STATUS_BLOCK io;
  const NTSTATUS status =
      NtSetInformationFile(h, &io, &disposition, sizeof disposition, FileDispositionInformation);
  if (status) NoteRemoval(h, status);
  return !status;
}

}  // namespace

int RemoveFile(Directory* dir, const char* name) {
  HANDLE h = OpenToMove(dir, name);
  if (!h) return 0;
  const bool removed = Dispose(h);
  Close(h);
  return removed;
}

// FILE_FS_SIZE_INFORMATION and FILE_BASIC_INFORMATION laid out with
// their 64-bit fields aligned no more than a pointer (WideField): as the
// system's structs, they would make every function that holds one on its
// stack realign its frame.
struct VolumeSize {
  WideField total_units;
  WideField available_units;  // to the calling thread's user: quotas count
  ULONG sectors_per_unit;
  ULONG bytes_per_sector;
};
struct BasicFacts {
  WideField times[4];  // zero: each stays as it is
  ULONG attributes;    // zero: they stay as they are
  ULONG padding;       // to the system's size, which it checks
};

int RoomFor(Directory* dir, uint64_t bytes, uint32_t files, uint64_t* lacking) {
  *lacking = 0;
  // Looked up, not imported: one more import would cost the program a
  // whole file block of its import section.
  typedef NTSTATUS(NTAPI * QueryVolume)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG,
                                        FS_INFORMATION_CLASS);
  const QueryVolume query = reinterpret_cast<QueryVolume>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryVolumeInformationFile")));
  if (!query) return NoteLastError();
  VolumeSize size;
  IO_STATUS_BLOCK io;
  const NTSTATUS status = query(dir->handle, &io, &size, sizeof size, FileFsSizeInformation);
  if (status) return NoteStatus(status);
  const uint32_t unit = size.sectors_per_unit * size.bytes_per_sector;
  const uint64_t free = size.available_units * unit;
  const uint64_t need = bytes + static_cast<uint64_t>(files) * unit;
  if (need <= free) return 1;
  *lacking = need - free;
  return Note(kFailureNoSpace, 0);
}

#ifndef PATCHER_NO_ACCESS_LIST_COPY
namespace {

// Gives the file open as `to` the access list of the file open as `from`
// when that one has entries of its own (not all inherited from its
// folder), or is protected from its folder's: what an administrator set.
// A list of inherited entries alone the new file has from the folder.
bool KeepAccessList(HANDLE from, HANDLE to) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &list, nullptr, &descriptor);
  if (error) return NoteStatus(error), false;
  // GetSecurityInfo's descriptor is self-relative.
  const bool sealed =
      static_cast<SECURITY_DESCRIPTOR_RELATIVE*>(descriptor)->Control & SE_DACL_PROTECTED;
  bool own = sealed;
  const BYTE* entry = list ? reinterpret_cast<const BYTE*>(list + 1) : nullptr;
  for (WORD i = 0; list && i < list->AceCount; ++i) {
    const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(entry);
    own = own || !(header->AceFlags & INHERITED_ACE);
    entry += header->AceSize;
  }
  if (own)
    error = SetSecurityInfo(to, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | (sealed ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                : UNPROTECTED_DACL_SECURITY_INFORMATION),
                            nullptr, nullptr, list, nullptr);
  LocalFree(descriptor);
  return !error || NoteStatus(error);
}

}  // namespace
#endif

int KeepPermissions(Directory* dir, const char* from, File* to) {
  HANDLE h;
  NTSTATUS status = OpenIn(dir, from, FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, FILE_OPEN,
                           FILE_NON_DIRECTORY_FILE, &h);
  if (status) return NoteStatus(status);
  BY_HANDLE_FILE_INFORMATION info;
  BOOL known = GetFileInformationByHandle(h, &info);
  if (!known) NoteLastError();
#ifndef PATCHER_NO_ACCESS_LIST_COPY
  known = known && KeepAccessList(h, AsHandle(to));
#endif
  Close(h);
  if (!known) return 0;
  BasicFacts basic = {};
  basic.attributes = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                              FILE_ATTRIBUTE_ARCHIVE |
                                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  // None at all is said as "normal".
  if (!basic.attributes) basic.attributes = FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io;
  status = NtSetInformationFile(AsHandle(to), &io, &basic, sizeof basic, FileBasicInformation);
  return !status || NoteStatus(status);
}

static_assert(sizeof(VolumeSize) == sizeof(FILE_FS_SIZE_INFORMATION), "as the system's");
static_assert(sizeof(BasicFacts) == sizeof(FILE_BASIC_INFORMATION), "as the system's");

namespace {

// Whether `name` is one name in a directory: not empty, no separator or
// stream, not "." or "..", at most kNameMax bytes. Notes why not.
bool OneName(const char* name) {
  size_t n = 0;
  bool separator = false;
  for (; name[n]; ++n) separator = separator || strchr("\\/:", name[n]);
  if (n > static_cast<size_t>(kNameMax)) return Note(kFailureNameTooLong, kNameTooLong), false;
  if (!n || separator || (n <= 2 && name[0] == '.' && name[n - 1] == '.'))  // "." or ".."
    return Note(kFailureOther, kNameInvalid), false;
  return true;
}

// Whether the folder open as dir->handle is a real directory right in
// `parent` under its own long name `name` (not a short name of it, and
// under Wine no Unix link to another folder); its final path goes to
// dir->final, and what is known of it to *facts.
bool IsFolderIn(const Directory* parent, const char* name, Directory* dir, FolderFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(dir->handle, &info) || !(dir->final = FinalPath(dir->handle))) {
    facts->presence = kUnknown;
    return NoteLastError(), false;
  }
  char* own = SplitLast(dir->final);
  const bool in = !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                  SameFileName(dir->final, parent->final) && SameFileName(own, name);
  own[-1] = '\\';
  // A junction, a mount point, or a name that leads elsewhere.
  if (!in) return Note(kFailureLink, 0), false;
  facts->id[0] = info.dwVolumeSerialNumber;
  facts->id[1] = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  facts->trusted = OwnedByUs(dir->handle);
  return true;
}

// Opens the folder `name` of `parent`, or creates it (`disposition`), and
// holds it as OpenDirectory holds its directory.
Directory* HoldFolder(Directory* parent, const char* name, ULONG disposition, FolderFacts* facts) {
  FolderFacts unused;
  if (!facts) facts = &unused;
  *facts = FolderFacts();
  facts->presence = kUnknown;
  Directory* dir = OneName(name) ? NewDirectory() : nullptr;
  if (!dir) return nullptr;
  // As OpenDirectory: no delete sharing, so it is neither renamed nor
  // removed while it is held.
  const NTSTATUS status = OpenIn(parent, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 disposition, FILE_DIRECTORY_FILE, &dir->handle);
  facts->presence = NotFound(status) ? kAbsent
                    : !status || status == kNotADirectory || status == kNameCollision ||
                            status == kAccessDenied || status == kSharingViolation ||
                            status == kDeletePending
                        ? kPresent
                        : kUnknown;
  if (status) {
    NoteStatus(status);
    dir->handle = INVALID_HANDLE_VALUE;
  } else if (IsFolderIn(parent, name, dir, facts)) {
    return dir;
  }
  CloseDirectory(dir);
  return nullptr;
}

}  // namespace

Directory* OpenFolder(Directory* parent, const char* name, FolderFacts* facts) {
  return HoldFolder(parent, name, FILE_OPEN, facts);
}

Directory* CreateFolder(Directory* parent, const char* name) {
  return HoldFolder(parent, name, FILE_CREATE, nullptr);
}

int RemoveFolder(Directory* parent, const char* name) {
  if (!OneName(name)) return 0;
  // Itself, never where a link or junction of that name leads; checked as
  // OpenFolder checks, for Wine removes what a Unix link leads to.
  Directory folder;
  folder.final = nullptr;
  const NTSTATUS status =
      OpenIn(parent, name, DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, FILE_OPEN,
             FILE_DIRECTORY_FILE, &folder.handle);
  if (status) return NoteStatus(status);
  FolderFacts facts;
  const bool removed = IsFolderIn(parent, name, &folder, &facts) && Dispose(folder.handle);
  free(folder.final);
  Close(folder.handle);
  return removed;
}

namespace {

Presence OpenFile(Directory* dir, const char* name, ACCESS_MASK access, File** file,
                  FileFacts* facts) {
  *file = nullptr;
  *facts = FileFacts();
  // The name itself, not where a link or junction leads; a directory
  // opens too, to be seen as one.
  HANDLE h;
  const NTSTATUS status = OpenIn(dir, name, access, FILE_SHARE_READ, FILE_OPEN, 0, &h);
  if (status) return NotFound(status) ? kAbsent : (NoteStatus(status), kUnknown);
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info) != 0 || NoteLastError();
  if (!known ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    Close(h);
    return known ? kPresent : kUnknown;
  }
  facts->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  facts->id[0] = info.dwVolumeSerialNumber;
  facts->id[1] = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  // Its final path tells a short name or, under Wine, a Unix symbolic link.
  char own[kPathBuffer];
  facts->named = NameIn(dir, h, own) && SameFileName(own, name);
  facts->trusted = facts->named && info.nNumberOfLinks == 1 && OwnedByUs(h);
  *file = reinterpret_cast<File*>(h);
  return kPresent;
}

}  // namespace

Presence OpenExisting(Directory* dir, const char* name, File** file, FileFacts* facts) {
  return OpenFile(dir, name, GENERIC_READ, file, facts);
}

Presence OpenToRename(Directory* dir, const char* name, File** file, FileFacts* facts) {
  return OpenFile(dir, name, GENERIC_READ | DELETE, file, facts);
}

int ReadFromFile(File* file, uint64_t offset, void* data, uint32_t size, uint32_t* got) {
  uint8_t* p = static_cast<uint8_t*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    // A synchronous handle reads at the offset given, wherever it stood;
    // at the end it fails with nothing read.
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    if (!ReadFile(AsHandle(file), p + done, size - done, &n, &at) &&
        GetLastError() != ERROR_HANDLE_EOF)
      return NoteLastError();
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return 1;
}

void ReleaseFile(File* file) { Close(AsHandle(file)); }

#ifndef PATCHER_NO_FAULT_TEXT
void SystemText(uint32_t code, char* text, int size) {
  // An NTSTATUS in the Win32 error it stands for.
  const DWORD error = code & 0x80000000u ? RtlNtStatusToDosError(code) : code;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, size, nullptr);
  while (n > 0 && strchr("\r\n. ", text[n - 1])) --n;
  if (n) text[n] = 0;
  else snprintf(text, size, "error 0x%lx", static_cast<unsigned long>(code));
}
#endif

int LoadPayloadResource(const uint8_t** data, uint32_t* size) {
  HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_PAYLOAD), PAYLOAD_TYPE_NAME);
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
