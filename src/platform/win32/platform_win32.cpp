// Win32 implementation of the OS layer. Only 8-bit ("A") calls.
#include "platform/platform.h"

#include <stddef.h>
#include <string.h>
#include <windows.h>

namespace platform {

// A File* is the Win32 file handle itself.
static HANDLE AsHandle(File* file) { return reinterpret_cast<HANDLE>(file); }

File* CreateNewFile(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<File*>(h);
}

uint32_t WriteToFile(File* file, const void* data, uint32_t size) {
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    if (!WriteFile(AsHandle(file), p + done, size - done, &n, nullptr) || n == 0)
      break;
    done += n;
  }
  return done;
}

int CloseFile(File* file) {
  int ok = FlushFileBuffers(AsHandle(file)) != 0;
  if (!CloseHandle(AsHandle(file))) ok = 0;
  return ok;
}

int RenamePath(const char* from, const char* to, int replace) {
  return MoveFileExA(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

int RemoveFile(const char* path) { return DeleteFileA(path) != 0; }

TargetState ExamineTarget(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
               ? kTargetMissing
               : kTargetBlocked;
  }
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
    return kTargetBlocked;
  // Open it as the replacement will need it: for writing and for renaming.
  // A running program's image or a file another program holds without
  // sharing fails here, before anything has been changed.
  HANDLE h = CreateFileA(path, GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kTargetBlocked;
  CloseHandle(h);
  return kTargetReplaceable;
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

namespace {
struct ThreadStart {
  ThreadProc proc;
  void* argument;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  HeapFree(GetProcessHeap(), 0, p);
  return start.proc(start.argument);
}
}  // namespace

ThreadHandle StartThread(ThreadProc proc, void* argument, uint32_t* thread_id) {
  // The trampoline owns and frees the start block.
  ThreadStart* start = static_cast<ThreadStart*>(
      HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
  if (!start) return nullptr;
  start->proc = proc;
  start->argument = argument;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, &id);
  if (!h) {
    HeapFree(GetProcessHeap(), 0, start);
    return nullptr;
  }
  if (thread_id) *thread_id = id;
  return h;
}

int ThreadHasEnded(ThreadHandle thread, int* ended) {
  if (!thread) return 0;
  DWORD code = 0;
  if (!GetExitCodeThread(static_cast<HANDLE>(thread), &code)) return 0;
  *ended = code != STILL_ACTIVE;
  return 1;
}

void ReleaseThread(ThreadHandle thread) {
  if (!thread) return;
  WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread));
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");

Lock::Lock() { InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
Lock::~Lock() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::Enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }
void Lock::Leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

// ---------------------------------------------------------------------------
// Drives and directory listings

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
  const char* name = strrchr(path, '\\');
  if (strpbrk(name ? name : path, "*?")) return 0;
  HANDLE h = FindFirstFileA(path, AsFindData(entry));
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  return 1;
}

// A Listing* is the find handle itself.
Listing* OpenListing(const char* pattern, FindData* entry) {
  if (strlen(pattern) >= static_cast<size_t>(kPathBuffer)) return nullptr;
  HANDLE h = FindFirstFileA(pattern, AsFindData(entry));
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<Listing*>(h);
}

int NextListingEntry(Listing* listing, FindData* entry) {
  return FindNextFileA(reinterpret_cast<HANDLE>(listing), AsFindData(entry)) != 0;
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
