// The tool's file handling on Windows: 8-bit ("A") calls, and the C
// runtime's descriptors where a TempFile hands one out.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
#include <psapi.h>

#include <string>

#include "lzcx/commands.h"

namespace {

// The unfinished temporary file and the one mapped view, for OutOfMemory,
// which must close both before it can remove the file.
char g_unfinished[MAX_PATH + 64];
int g_unfinished_fd = -1;
const void* g_view = nullptr;
HANDLE g_mapping = nullptr;

// The system's text for `error`, without its line end and full stop.
std::string ErrorText(DWORD error) {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && strchr("\r\n. ", text[n - 1])) --n;
  return n ? std::string(text, n) : "error " + std::to_string(error);
}

int Failed(std::string* why, const std::string& what, const std::string& text) {
  *why = what + ": " + text;
  return 0;
}

// What an exit with no way back leaves: the unfinished TempFile removed,
// its view and descriptor closed first (a mapped or open file cannot be).
void RemoveUnfinished() {
  if (g_view) UnmapViewOfFile(g_view);
  if (g_mapping) CloseHandle(g_mapping);
  if (g_unfinished_fd >= 0) _close(g_unfinished_fd);
  if (g_unfinished[0]) DeleteFileA(g_unfinished);
}

bool NotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// `path` (in the code page the 8-bit calls use) as the wide calls take it
// at any length: past what the 8-bit calls take, the full path with the
// "\\?\" prefix (a release tree's files lie deeper than that).
std::wstring WidePath(const std::string& path) {
  const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 1 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], n);
  if (wide.size() < MAX_PATH - 12 || !wide.compare(0, 4, L"\\\\?\\")) return wide;
  // The full path, its separators made backslashes and its "." and ".."
  // resolved, as the prefix makes the system take the rest as it is.
  std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
  const DWORD length =
      full.empty() ? 0
                   : GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
  if (!length || length >= full.size()) return wide;
  full.resize(length);
  return full.compare(0, 2, L"\\\\") ? L"\\\\?\\" + full : L"\\\\?\\UNC\\" + full.substr(2);
}

// A name from a wide call in the code page the rest of the tool uses.
std::string Narrow(const wchar_t* name) {
  const int n = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(n > 1 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_ACP, 0, name, -1, &narrow[0], n, nullptr, nullptr);
  return narrow;
}

// Opens `path` to read it or to look at it: directories and devices too,
// whatever other programs do with it meanwhile.
HANDLE OpenExisting(const char* path, DWORD access) {
  return CreateFileW(WidePath(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsDirectory(const char* path) {
  const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

namespace {

// `path` opened to read, when it is a regular file: its handle and size;
// INVALID_HANDLE_VALUE with the reason in `why`.
HANDLE OpenRegularFile(const char* path, uint64_t* size, std::string* why) {
  HANDLE h = OpenExisting(path, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *why = NotFound(error)     ? "no such file"
           : IsDirectory(path) ? "is a directory, not a file"
                               : ErrorText(error);
    return h;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *why = "not a regular file";
  } else if (!GetFileInformationByHandle(h, &info)) {
    *why = ErrorText(GetLastError());
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *why = "is a directory, not a file";
  } else {
    *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return h;
  }
  CloseHandle(h);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

int ReadRegularFile(const char* path, uint64_t max, const char* what, FileBytes* out,
                    std::string* why) {
  uint64_t size;
  HANDLE h = OpenRegularFile(path, &size, why);
  if (h == INVALID_HANDLE_VALUE) return 0;
  int ok = 0;
  if (AllocateFileBytes(size, max, what, out, why)) {
    size_t done = 0;
    DWORD got = 1, error = 0;
    while (done < out->size && got) {
      const size_t chunk = out->size - done < (1u << 24) ? out->size - done : (1u << 24);
      if (!ReadFile(h, out->data.get() + done, static_cast<DWORD>(chunk), &got, nullptr)) {
        error = GetLastError();
        break;
      }
      done += got;
    }
    uint8_t more;
    if (error) {
      *why = ErrorText(error);
    } else if (done != out->size || !ReadFile(h, &more, 1, &got, nullptr) || got != 0) {
      *why = "changed while it was read";
    } else {
      ok = 1;
    }
  }
  CloseHandle(h);
  if (!ok) out->data.reset();
  return ok;
}

int ExaminePath(const char* path, PathInfo* info, std::string* why) {
  *info = PathInfo{PathInfo::kMissing, 0, 0, 0};
  HANDLE h = OpenExisting(path, 0);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (NotFound(error)) return 1;
    *why = ErrorText(error);
    return 0;
  }
  int ok = 1;
  BY_HANDLE_FILE_INFORMATION d;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    info->kind = PathInfo::kOther;  // a device or a pipe
  } else if (!GetFileInformationByHandle(h, &d)) {
    *why = ErrorText(GetLastError());
    ok = 0;
  } else {
    info->kind = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathInfo::kDirectory
                                                                 : PathInfo::kRegular;
    info->size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    info->device = d.dwVolumeSerialNumber;
    info->inode = (static_cast<uint64_t>(d.nFileIndexHigh) << 32) | d.nFileIndexLow;
  }
  CloseHandle(h);
  return ok;
}

int ListFolder(const std::string& folder, std::vector<TreeEntry>* entries, std::string* why) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(WidePath(folder + "*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return Failed(why, "cannot list it", ErrorText(GetLastError()));
  do {
    const std::string name = Narrow(found.cFileName);
    if (name == "." || name == "..") continue;
    // A junction or a symbolic link is a link, whether to a folder or a file.
    const DWORD a = found.dwFileAttributes;
    const TreeEntry::Kind kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? TreeEntry::kLink
                                 : (a & FILE_ATTRIBUTE_DIRECTORY)   ? TreeEntry::kEmptyFolder
                                 : (a & FILE_ATTRIBUTE_DEVICE)      ? TreeEntry::kOther
                                                                    : TreeEntry::kFile;
    const uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    entries->push_back(TreeEntry{kind, name, size});
  } while (FindNextFileW(h, &found));
  const DWORD error = GetLastError();
  FindClose(h);
  if (error == ERROR_NO_MORE_FILES) return 1;
  return Failed(why, "cannot list it", ErrorText(error));
}

int CanCreateBeside(const char* path, std::string* why) {
  const std::string dir = ParentDirectory(path);
  const DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(why, dir, ErrorText(GetLastError()));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Failed(why, dir, "not a directory");
  return 1;
}

TempFile::~TempFile() {
  if (fd_ >= 0) _close(fd_);
  if (!temp_.empty()) DeleteFileA(temp_.c_str());
  g_unfinished[0] = 0;
  g_unfinished_fd = -1;
}

int TempFile::Create(const char* path, std::string* why) {
  target_ = path;
  // The process id and a count: no other run picks the same name, and a
  // name left by a run that was killed is passed over.
  static unsigned count = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char suffix[40];
    snprintf(suffix, sizeof suffix, ".tmp-%lx-%u", GetCurrentProcessId(), ++count);
    const std::string temp = target_ + suffix;
    fd_ = _open(temp.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
    if (fd_ >= 0) {
      temp_ = temp;
      if (temp_.size() < sizeof g_unfinished) {
        memcpy(g_unfinished, temp_.c_str(), temp_.size() + 1);
        g_unfinished_fd = fd_;
      }
      return 1;
    }
    if (errno != EEXIST) return Failed(why, "cannot create " + temp, strerror(errno));
  }
  return Failed(why, "cannot create a temporary file beside " + target_, "every name is taken");
}

int TempFile::Write(const void* data, size_t size, std::string* why) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const size_t chunk = size - done < (1u << 30) ? size - done : (1u << 30);
    const int n = _write(fd_, p + done, static_cast<unsigned>(chunk));
    if (n <= 0) return Failed(why, "cannot write " + temp_, n ? strerror(errno) : "disk full");
    done += static_cast<size_t>(n);
  }
  size_ += size;
  return 1;
}

int TempFile::Flush(std::string* why) {
  return _commit(fd_) == 0 ? 1 : Failed(why, "cannot write " + temp_, strerror(errno));
}

int TempFile::Commit(std::string* why) {
  if (!Flush(why)) return 0;
  const int fd = fd_;
  fd_ = -1;
  g_unfinished_fd = -1;
  if (_close(fd) != 0) return Failed(why, "cannot write " + temp_, strerror(errno));
  if (!MoveFileExA(temp_.c_str(), target_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Failed(why, "cannot rename " + temp_ + " to " + target_, ErrorText(GetLastError()));
  temp_.clear();
  g_unfinished[0] = 0;
  return 1;
}

namespace {

// A mapped file whose bytes cannot be read in (a network drive gone): an
// in-page error, one line naming the file rather than a crash. A mapped
// file cannot be cut short on Windows. Any other exception is not ours.
LONG CALLBACK OnInPageError(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record->NumberParameters < 2)
    return EXCEPTION_CONTINUE_SEARCH;
  const char* name =
      MappedFile::NameAt(reinterpret_cast<const void*>(record->ExceptionInformation[1]));
  if (!name) return EXCEPTION_CONTINUE_SEARCH;
  RemoveUnfinished();
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  const char* parts[] = {"lzcx: ", name, ": changed while it was read\r\n"};
  DWORD written;
  for (const char* part : parts) WriteFile(err, part, static_cast<DWORD>(strlen(part)), &written, nullptr);
  _exit(1);
}

void WatchMappedFiles() {
  static bool watching = false;
  if (!watching) AddVectoredExceptionHandler(1, OnInPageError);
  watching = true;
}

}  // namespace

MappedFile::~MappedFile() {
  Unregister();
  if (mapping_) {
    UnmapViewOfFile(data_);
    CloseHandle(mapping_);
  }
  if (g_view == data_) {
    g_view = nullptr;
    g_mapping = nullptr;
  }
}

namespace {

// A view of the whole of `file` (`size` bytes, not zero), read-only.
int MapView(HANDLE file, uint64_t size, HANDLE* mapping, void** view, std::string* why) {
  *mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                static_cast<DWORD>(size), nullptr);
  *view = *mapping ? MapViewOfFile(*mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size))
                   : nullptr;
  if (*view) return 1;
  const DWORD error = GetLastError();
  if (*mapping) CloseHandle(*mapping);
  return Failed(why, "cannot map the file", ErrorText(error));
}

}  // namespace

int MappedFile::Open(const char* path, uint64_t max, const char* what, std::string* why) {
  uint64_t size;
  HANDLE h = OpenRegularFile(path, &size, why);
  if (h == INVALID_HANDLE_VALUE) return 0;
  HANDLE mapping = nullptr;
  void* view = nullptr;
  int ok = CheckFileSize(size, max, what, why);
  if (ok && size) ok = MapView(h, size, &mapping, &view, why);
  // The mapping keeps the file open.
  CloseHandle(h);
  static const uint8_t kNothing = 0;
  if (ok && !size) data_ = &kNothing;  // nothing to map (a mapping of it is refused)
  if (!ok || !size) return ok;
  WatchMappedFiles();
  mapping_ = mapping;
  data_ = static_cast<const uint8_t*>(view);
  size_ = static_cast<size_t>(size);
  Register(path);
  return 1;
}

int MappedFile::Map(int fd, uint64_t size, const char* name, std::string* why) {
  if (size == 0 || size > SIZE_MAX) {
    *why = "cannot map an empty or huge file";
    return 0;
  }
  HANDLE mapping;
  void* view;
  if (!MapView(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), size, &mapping, &view, why))
    return 0;
  WatchMappedFiles();
  mapping_ = mapping;
  data_ = static_cast<const uint8_t*>(view);
  size_ = static_cast<size_t>(size);
  Register(name);
  g_view = view;
  g_mapping = mapping;
  return 1;
}

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseBinaryMode(FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

void OutOfMemory() {
  static const char kLine[] = "lzcx: out of memory\r\n";
  RemoveUnfinished();
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kLine, sizeof kLine - 1, &written, nullptr);
  _exit(1);
}

InputFile::~InputFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int InputFile::Open(const char* path, uint64_t max, const char* what, std::string* why) {
  HANDLE h = OpenExisting(path, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *why = NotFound(error)     ? "no such file"
           : IsDirectory(path) ? "is a directory, not a file"
                               : ErrorText(error);
    return 0;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *why = "not a regular file";
  } else if (!GetFileInformationByHandle(h, &info)) {
    *why = ErrorText(GetLastError());
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *why = "is a directory, not a file";
  } else {
    const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size <= max) {
      size_ = size;
      return 1;
    }
    char line[160];
    snprintf(line, sizeof line, "too large for %s (%llu bytes, at most %llu)", what,
             static_cast<unsigned long long>(size), static_cast<unsigned long long>(max));
    *why = line;
  }
  return 0;
}

int InputFile::Read(uint8_t* out, size_t size, std::string* why) {
  for (size_t done = 0; done < size;) {
    const size_t chunk = size - done < (1u << 24) ? size - done : (1u << 24);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out + done, static_cast<DWORD>(chunk), &got,
                  nullptr)) {
      *why = ErrorText(GetLastError());
      return 0;
    }
    if (!got) {
      *why = "changed while it was read";
      return 0;
    }
    done += got;
  }
  return 1;
}

int InputFile::CheckEnd(std::string* why) {
  uint8_t more;
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), &more, 1, &got, nullptr)) {
    *why = ErrorText(GetLastError());
    return 0;
  }
  if (!got) return 1;
  *why = "changed while it was read";
  return 0;
}

int InputFile::Rewind(std::string* why) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), zero, nullptr, FILE_BEGIN)) return 1;
  *why = ErrorText(GetLastError());
  return 0;
}

std::string TemporaryFolder() {
  char temp[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  return DirectoryString(n && n < sizeof temp ? std::string(temp, n).c_str() : ".");
}

ScratchFile::~ScratchFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int ScratchFile::Create(const char* beside, std::string* why) {
  const std::string dir =
      beside ? DirectoryString(ParentDirectory(beside).c_str()) : TemporaryFolder();
  // Removed by the system when its last handle closes, even if lzcx dies.
  static unsigned count = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char name[48];
    snprintf(name, sizeof name, ".lzcx-scratch-%lx-%u", GetCurrentProcessId(), ++count);
    HANDLE h = CreateFileA((dir + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_FLAG_DELETE_ON_CLOSE,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(h);
      return 1;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
      return Failed(why, "cannot create a scratch file in " + dir, ErrorText(error));
  }
  return Failed(why, "cannot create a scratch file in " + dir, "every name is taken");
}

namespace {

// A positioned read or write of at most 16 MB at a time.
int Transfer(intptr_t handle, uint64_t offset, uint8_t* data, size_t size, bool write,
             std::string* why) {
  for (size_t done = 0; done < size;) {
    const size_t chunk = size - done < (1u << 24) ? size - done : (1u << 24);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD n = 0;
    const BOOL ok = write ? WriteFile(reinterpret_cast<HANDLE>(handle), data + done,
                                      static_cast<DWORD>(chunk), &n, &at)
                          : ReadFile(reinterpret_cast<HANDLE>(handle), data + done,
                                     static_cast<DWORD>(chunk), &n, &at);
    if (!ok || !n)
      return Failed(why, write ? "cannot write a scratch file" : "cannot read a scratch file",
                    ok ? "disk full" : ErrorText(GetLastError()));
    done += n;
  }
  return 1;
}

}  // namespace

int ScratchFile::WriteAt(uint64_t offset, const void* data, size_t size, std::string* why) {
  return Transfer(handle_, offset, static_cast<uint8_t*>(const_cast<void*>(data)), size, true,
                  why);
}

int ScratchFile::ReadAt(uint64_t offset, void* data, size_t size, std::string* why) {
  return Transfer(handle_, offset, static_cast<uint8_t*>(data), size, false, why);
}

uint64_t PeakMemory() {
  PROCESS_MEMORY_COUNTERS counters;
  counters.cb = sizeof counters;
  return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
             ? counters.PeakWorkingSetSize
             : 0;
}
