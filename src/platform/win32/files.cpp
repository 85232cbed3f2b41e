// Win32 files: the applier's output files, renames and removals, and the
// payload resource. Only 8-bit ("A") calls.
#include <windows.h>

#include "platform/platform.h"

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

}  // namespace platform
