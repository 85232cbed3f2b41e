// Win32 drives and directory listings for the target search. Only 8-bit
// ("A") calls.
#include <stddef.h>
#include <string.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {


// A FindData is filled by the find calls in place.
static_assert(sizeof(FindData) == sizeof(WIN32_FIND_DATAA), "find data layout");
static_assert(offsetof(FindData, name) == offsetof(WIN32_FIND_DATAA, cFileName),
              "find data layout");
static_assert(offsetof(FindData, short_name) == offsetof(WIN32_FIND_DATAA, cAlternateFileName),
              "find data layout");

static WIN32_FIND_DATAA* AsFindData(FindData* entry) {
  return reinterpret_cast<WIN32_FIND_DATAA*>(entry);
}

void GetDriveRoots(char* buffer, int size) {
  if (size < 2) {
    if (size == 1) buffer[0] = 0;
    return;
  }
  // The length excludes the list's final terminator; a list that did not
  // fit, or none at all, is an empty list.
  DWORD n = GetLogicalDriveStringsA(static_cast<DWORD>(size - 1), buffer);
  if (n == 0 || n > static_cast<DWORD>(size - 2)) {
    buffer[0] = 0;
    buffer[1] = 0;
  }
}

unsigned DriveTypeOf(const char* root) { return GetDriveTypeA(root); }

int ProbePath(const char* path, FindData* entry) {
  const size_t length = strlen(path);
  if (length >= static_cast<size_t>(kPathBuffer)) return 0;
  // The find call takes wildcards; a file name never holds one, so a name
  // with one is a miss rather than a match of some other file.
  bool wildcard = false;  // in the last name
  for (const char* p = path; *p; ++p) wildcard = *p != '\\' && (wildcard || *p == '*' || *p == '?');
  if (wildcard) return 0;
  HANDLE h = FindFirstFileA(path, AsFindData(entry));
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  // One name is one entry here: a directory of the target's name is a miss.
  return !(entry->attributes & kAttributeDirectory);
}

// Whether a failed find call failed on the name it had to deliver: one
// longer than the record holds, in the 8-bit code page. The listing itself
// has moved past that entry.
static bool NameDidNotFit(DWORD error) {
  return error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_MORE_DATA ||
         error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_BUFFER_OVERFLOW;
}

// A Listing* is the find handle itself.
Listing* OpenListing(const char* pattern, FindData* entry, int* first) {
  *first = kListingEntry;
  if (strlen(pattern) >= static_cast<size_t>(kPathBuffer)) return nullptr;
  HANDLE h = FindFirstFileA(pattern, AsFindData(entry));
  if (h != INVALID_HANDLE_VALUE) return reinterpret_cast<Listing*>(h);
  if (!NameDidNotFit(GetLastError())) return nullptr;
  // The 8-bit call gave up the whole listing over its first name: open it
  // with the 16-bit call, which can hold any name, and go on with the 8-bit
  // calls from the second entry on.
  WCHAR wide[kPathBuffer];
  if (!MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pattern, -1, wide, kPathBuffer))
    return nullptr;
  WIN32_FIND_DATAW data;
  h = FindFirstFileW(wide, &data);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  if (WideCharToMultiByte(CP_ACP, 0, data.cFileName, -1, entry->name, sizeof entry->name,
                          nullptr, nullptr) > 0) {
    entry->attributes = data.dwFileAttributes;  // it fits after all
  } else {
    *first = kListingSkipped;
  }
  return reinterpret_cast<Listing*>(h);
}

int NextListingEntry(Listing* listing, FindData* entry) {
  if (FindNextFileA(reinterpret_cast<HANDLE>(listing), AsFindData(entry))) return kListingEntry;
  return NameDidNotFit(GetLastError()) ? kListingSkipped : kListingEnd;
}

void CloseListing(Listing* listing) {
  if (listing) FindClose(reinterpret_cast<HANDLE>(listing));
}

void QuietCriticalErrors() {
  // The per-thread call where the system has it (Windows 7 on); otherwise
  // the process-wide mode, which only adds the flag.
  typedef BOOL(WINAPI * SetThreadErrorModeProc)(DWORD, LPDWORD);
  typedef DWORD(WINAPI * GetThreadErrorModeProc)();
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC set_proc = kernel ? GetProcAddress(kernel, "SetThreadErrorMode") : nullptr;
  FARPROC get_proc = kernel ? GetProcAddress(kernel, "GetThreadErrorMode") : nullptr;
  if (set_proc) {
    DWORD mode = 0;
    if (get_proc)
      mode = reinterpret_cast<GetThreadErrorModeProc>(reinterpret_cast<void (*)()>(get_proc))();
    reinterpret_cast<SetThreadErrorModeProc>(reinterpret_cast<void (*)()>(set_proc))(
        mode | SEM_FAILCRITICALERRORS, nullptr);
    return;
  }
  UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS);
}

}  // namespace platform
