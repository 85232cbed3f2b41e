// The program's one OS layer: files, the payload resource, threads, the
// lock, drives and directory listings. Everything above this header is
// portable; platform/win32 implements it with 8-bit Win32 calls and
// platform/posix with POSIX calls (for native tests, tools and benchmarks).
//
// Results follow the program's convention: nonzero is success.
#ifndef PATCHER_PLATFORM_PLATFORM_H
#define PATCHER_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

namespace platform {

#ifdef _WIN32
const char kPathSeparator = '\\';
#else
const char kPathSeparator = '/';
#endif

// Bytes in a path buffer, terminator included: paths handed to the
// platform have at most kPathBuffer - 1 characters.
const int kPathBuffer = 260;

// A letter of a file name with its ASCII case folded.
inline char FoldNameCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Whether two file names (8-bit, UTF-8 for anything beyond ASCII) name the
// same file on the target system, as Windows compares names: letter case
// ignored, beyond ASCII too. Windows asks the system (CompareStringOrdinal
// ignoring case); natively Windows' own table decides (name_case.h). Names
// that are not well-formed UTF-8 compare byte by byte, ASCII case folded.
bool SameFileName(const char* a, const char* b);

// A total order of file names in which exactly the names SameFileName
// takes for one file are equal: negative, zero or positive. For sorting.
int CompareFileNames(const char* a, const char* b);

// ---------------------------------------------------------------------------
// Files: a patch works inside one open directory, by plain names.

struct Directory;  // an open target directory; owned by whoever opened it
struct File;       // an open output file; owned by whoever opened it

// Why a call of this section failed: what it means to the patch, and the
// system's own code for the message (errno; on Windows a Win32 error, or an
// NTSTATUS, which has its top bit set; zero when the call decided by
// itself, from a file's mode or attributes).
enum FailureKind {
  kFailureOther = 0,    // anything else: the code says what
  kFailureNotFound,     // no such file or directory
  kFailureExists,       // the name is taken
  kFailureInUse,        // a sharing violation, a lock held, a running program
  kFailureDenied,       // permissions, the read-only attribute or mode, an
                        // immutable file
  kFailureDirectory,    // a directory where a file must be
  kFailureNotDirectory, // a file where a directory must be
  kFailureNotFile,      // neither a file nor a directory (a device, a FIFO)
  kFailureLink,         // a link or junction, or a name that leads elsewhere
  kFailureNoSpace,
  kFailureIo,
  kFailureNameTooLong,
  kFailureLockHeld,     // the patch lock is taken: the code is the holder's
                        // process id where the system tells it, else zero
  kFailureForeignLock,  // the lock file is not one this user made (another
                        // owner, a link, no plain file): never waited on
};
struct Failure {
  FailureKind kind;
  uint32_t code;
};

// The failure of the last call of this section on this thread that failed
// (a null, a zero, kLockBusy or kLockFailed, kUnknown, kTargetBlocked,
// kTargetElsewhere, kTargetUnknown, a short write). As errno, it is left
// as it was by calls that succeed. The program shows no fault texts
// (PATCHER_NO_FAULT_TEXT), so its build notes no failure and has no
// LastFailure.
Failure LastFailure();

// `failure` in words, into `text` (`size` bytes): "read-only", "in use by
// another program (<the system's text>)", ... The folder of a patch
// (`folder`) and a file in it are missing or refused in other words.
void DescribeFailure(Failure failure, bool folder, char* text, int size);

// Opens the directory `path` (a directory string; empty: the current
// directory). While it is open it cannot be renamed or removed (Windows),
// or every name is looked up in it wherever it is moved (POSIX), so the
// files of a patch never land anywhere else. Null when it cannot be
// opened, or when it is itself a link or junction (under Wine also a Unix
// symbolic link): a directory that leads elsewhere is never written to.
Directory* OpenDirectory(const char* path);
void CloseDirectory(Directory* dir);

// Takes the patch lock of `dir` for as long as it stays open, so that two
// patches (or a patch and a recovery) of one directory never run at once:
// the file `lock_name` in it, of the user this process runs as. POSIX:
// flock on it, its name removed on close while it still leads to it.
// Windows: held open without sharing (and removed on close when this call
// created it). A crash releases the lock either way. One that another
// user made, a link or no plain file is refused (kFailureForeignLock),
// never waited on: anyone who may only read the directory cannot stop its
// patches. On a read-only file system (POSIX) it is taken, holding nothing.
enum LockResult {
  kLockTaken = 0,
  kLockBusy = 1,    // another process holds it
  kLockFailed = 2,  // it cannot be taken (the reason is the system's)
};
LockResult LockDirectory(Directory* dir, const char* lock_name);

// Makes the creations, renames and removals in `dir` so far durable. On
// Windows renames are written through and the file system logs its changes
// in order, so there is nothing more to do.
int SyncDirectory(Directory* dir);

// What a lookup found. Any failure but "no such file" is kUnknown: the
// caller may never act as if it had been either answer.
enum Presence {
  kAbsent = 0,
  kPresent = 1,
  kUnknown = 2,
};

enum TargetState {
  kTargetMissing = 0,      // nothing answers to the name
  kTargetReplaceable = 1,  // a file that could be opened for writing now
  kTargetBlocked = 2,      // a directory, a read-only or locked file
  kTargetElsewhere = 3,    // the name reaches a file whose own name is
                           // another (a Windows short name), or a link
                           // that leads out of the directory
  kTargetUnknown = 4,      // the lookup or the listing failed
};

// What answers to `name` in `dir`, as far as replacing it goes: the file
// whose name equals `name` as SameFileName compares them. When there is
// one, its exact name (its own letter case) goes to `found`, kPathBuffer
// bytes.
TargetState FindTarget(Directory* dir, const char* name, char* found);

// Whether anything stands under exactly `name` in `dir`.
Presence LookUpName(Directory* dir, const char* name);

// Creates `name` in `dir` for writing. Fails (returns null) if anything of
// that name exists already, so an existing file is never touched by mistake.
File* CreateNewFile(Directory* dir, const char* name);

// Writes `size` bytes; returns how many were written (short on failure).
uint32_t WriteToFile(File* file, const void* data, uint32_t size);

// Flushes the file to the disk and closes it; the handle is gone either way.
// Zero when anything written may not have reached the disk.
int CloseFile(File* file);

// A 64-bit field aligned no more than a pointer: a struct of them on the
// stack of 32-bit Windows code, which puts a uint64_t on 8 bytes, then
// needs no realigned frame in every function that holds one.
typedef uint64_t WideField __attribute__((aligned(sizeof(void*))));

// What OpenExisting learnt of a file.
struct FileFacts {
  WideField size;
  // Which file it is, for as long as it exists, whatever it is renamed to:
  // the device and the inode (Windows: the volume's serial number and the
  // file's index). Never both zero.
  WideField id[2];
  // A regular file under exactly the name asked for and inside the
  // directory: no link, junction or short name leads to it.
  bool named;
  // Named, with one link, and owned by the principal this process runs
  // as: POSIX, its effective user or root; Windows, its token's user, the
  // Administrators group (what an elevated administrator creates is the
  // group's) or SYSTEM. Only such a file can be one the patch wrote:
  // anyone else's is never renamed, replaced or removed by recovery.
  bool trusted;
};

// Opens `name` in `dir` for reading without following a link and without
// blocking (on a FIFO, say). kPresent: *facts is filled, and *file is open
// (ReleaseFile it), or null for anything but a regular file. kAbsent or
// kUnknown: *file is null.
Presence OpenExisting(Directory* dir, const char* name, File** file, FileFacts* facts);

// As OpenExisting, for RenameOpenFile: on Windows also with the right to
// rename the file, and sharing neither writes nor deletes, so that nobody
// changes or replaces it while it is held.
Presence OpenToRename(Directory* dir, const char* name, File** file, FileFacts* facts);

// Renames the file open as `file` (by OpenToRename, under `from`) to `to`,
// which must not exist. Windows renames that very handle. POSIX renames by
// name, then checks that `to` leads to the file `file` is: when it does
// not (another file was put under `from` in between), it moves that one
// back. Nonzero when the file of `file` is now `to`.
int RenameOpenFile(Directory* dir, File* file, const char* from, const char* to);

// Reads up to `size` bytes at `offset` into `data`; *got is short only at
// the end. Zero on a read error.
int ReadFromFile(File* file, uint64_t offset, void* data, uint32_t size, uint32_t* got);

// Closes a file opened by OpenExisting.
void ReleaseFile(File* file);

// Renames `from` to `to` in `dir`; with `replace` zero it fails if `to`
// exists.
int RenameFile(Directory* dir, const char* from, const char* to, int replace);

int RemoveFile(Directory* dir, const char* name);

// Room on the volume of `dir` for `files` new files of `bytes` in all, as
// far as this process may use it (quotas and reserves apply), each file
// taking up to one allocation unit more than its bytes. 1 when they fit;
// zero when they do not (kFailureNoSpace), with *lacking the bytes more
// they need; zero with *lacking zero when the system cannot tell (noted).
int RoomFor(Directory* dir, uint64_t bytes, uint32_t files, uint64_t* lacking);

// Gives `to`, a new file that is to replace the file `from` of `dir`, what
// the administrator set on that one: POSIX its mode's permission bits;
// Windows its attributes (read-only aside: such a file is never replaced)
// and, when it has entries of its own, its access list (but in the
// program's build, PATCHER_NO_ACCESS_LIST_COPY). Zero when they cannot be
// read or set.
int KeepPermissions(Directory* dir, const char* from, File* to);

// ---------------------------------------------------------------------------
// Folders below the patched directory, each opened from its parent's handle
// by one name, so that no link, junction, mount point or short name on the
// way can lead a patch out of the directory.

// The longest name of a file or folder, in bytes, that the calls taking a
// directory handle accept (kPathBuffer bounds only whole path strings).
const int kNameMax = 255;

// What OpenFolder learnt of a folder.
struct FolderFacts {
  // Whether anything stands under the name: kPresent also when it was
  // refused (a file, a link, another mount); kUnknown when the lookup
  // failed. The program's own build notes no failures, so this is what it
  // acts on.
  Presence presence;
  // Which folder it is, as FileFacts::id.
  WideField id[2];
  // Owned by the principal this process runs as, as FileFacts::trusted
  // (a folder opened is always a real one under its own name).
  bool trusted;
};

// Opens the folder `name` (one name, no separator) of `parent`, relative
// to its handle: only a real directory whose own name is `name` as
// SameFileName compares them (not a short name of another), never through
// a link, junction or mount point, and natively on the parent's own file
// system. While it is open it is held as OpenDirectory holds its
// directory. Null when there is none (kFailureNotFound), when something
// else stands there (kFailureNotDirectory, kFailureLink), or when the
// lookup fails. `facts` may be null. Close it with CloseDirectory; every
// call taking a Directory works in it.
Directory* OpenFolder(Directory* parent, const char* name, FolderFacts* facts);

// Creates the folder `name` in `parent` and opens it as OpenFolder does.
// Fails if anything of that name exists already (kFailureExists).
Directory* CreateFolder(Directory* parent, const char* name);

// Removes the folder `name` of `parent` if it is an empty real directory.
// A link or junction under that name is neither followed nor removed
// (kFailureLink); a folder that is not empty stays (kFailureExists). A
// folder held open (OpenFolder) cannot be removed on Windows: close it
// first.
int RemoveFolder(Directory* parent, const char* name);

// ---------------------------------------------------------------------------
// The payload resource

// The program's own payload resource (type "FILE", id 105), read in place.
// The bytes stay valid for the life of the process. Zero when there is none.
int LoadPayloadResource(const uint8_t** data, uint32_t* size);

// ---------------------------------------------------------------------------
// Threads and the lock

typedef void* ThreadHandle;  // null: no thread
typedef uint32_t (*ThreadProc)(void* argument);

// Starts `proc(argument)` on a new thread with the default stack size,
// running at once. Returns null when no thread could be created.
ThreadHandle StartThread(ThreadProc proc, void* argument, uint32_t* thread_id);

// Asks whether the thread has ended, without waiting. Zero when the question
// cannot be answered (the handle is null or no longer valid); otherwise
// nonzero, with *ended set.
int ThreadHasEnded(ThreadHandle thread, int* ended);

// Releases the handle of a thread that has ended (or is about to: it waits
// for the last instructions of the thread, never for more).
void ReleaseThread(ThreadHandle thread);

void SleepMilliseconds(uint32_t milliseconds);

// One mutual-exclusion lock (a critical section on Windows).
class Lock {
 public:
  Lock();
  ~Lock();
  void Enter();
  void Leave();

 private:
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  alignas(8) unsigned char storage_[64];
};

// Holds `lock` for as long as it lives.
class LockHeld {
 public:
  explicit LockHeld(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~LockHeld() { lock_.Leave(); }

 private:
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;
  Lock& lock_;
};

// ---------------------------------------------------------------------------
// Drives and directory listings (the scanner's target search)

// Drive types, numbered as Windows numbers them. The search skips the first
// three and walks every other type.
enum DriveType {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdRom = 5,
  kDriveRamDisk = 6,
};

// Bytes of a drive list buffer: 26 drive letters on Windows; mount points
// natively, whose paths are longer.
#ifdef _WIN32
const int kDriveListBuffer = 260;
#else
const int kDriveListBuffer = 4096;
#endif

// Fills `buffer` (`size` bytes) with the drive roots: a sequence of
// NUL-terminated directory strings ("C:\", or "/" and "/home/" natively) in
// drive order, ended by an empty string. A list that cannot be had, or does
// not fit, is left empty (natively the roots that fit are kept).
void GetDriveRoots(char* buffer, int size);

// The DriveType of a root from GetDriveRoots (or a number above 6).
unsigned DriveTypeOf(const char* root);

// Attribute bits of a directory entry, as Windows numbers them.
const uint32_t kAttributeDirectory = 0x10;
const uint32_t kAttributeNormal = 0x80;
const uint32_t kAttributeReparsePoint = 0x400;  // junction, link, mount point

// One directory entry, laid out as Windows' WIN32_FIND_DATAA. The search
// reads only the attributes and the name; the POSIX backend fills only
// those two.
struct FindData {
  uint32_t attributes;
  uint32_t creation_time[2];
  uint32_t last_access_time[2];
  uint32_t last_write_time[2];
  uint32_t size_high;
  uint32_t size_low;
  uint32_t reserved0;
  uint32_t reserved1;
  char name[260];
  char short_name[14];
};

// The probe: nonzero when `path` (a directory string followed by a name)
// names a file (a directory of that name, or a link to one, is no target
// and no hit); the entry goes to *entry.
// Names match as on Windows file systems, whatever their letter case (the
// POSIX backend matches ASCII letters in any case too).
int ProbePath(const char* path, FindData* entry);

struct Listing;  // an open directory listing; owned by whoever opened it

// What one step of a listing delivered. An entry whose name the 8-bit calls
// cannot give (longer than a path buffer in the UTF-8 code page) is
// skipped: the record then holds nothing usable, and the listing goes on.
enum ListingStep {
  kListingEnd = 0,      // no more entries
  kListingEntry = 1,    // the next entry, in the record
  kListingSkipped = 2,  // an entry that cannot be delivered
};

// Opens the listing of `pattern` (a directory string followed by "*") and
// delivers its first entry; *first is kListingEntry or kListingSkipped.
// Null when the directory cannot be read. Entries come in the file
// system's own order; "." and ".." may be among them. Directories that
// must not be entered (links, junctions, other mounts) carry
// kAttributeReparsePoint.
Listing* OpenListing(const char* pattern, FindData* entry, int* first);

// The next entry: a ListingStep.
int NextListingEntry(Listing* listing, FindData* entry);

void CloseListing(Listing* listing);

// Turns the system's critical-error boxes ("There is no disk in the drive")
// off for the calling thread, so an empty drive just fails to read.
void QuietCriticalErrors();

#ifndef _WIN32
// Native builds. By default the drive roots are the mount points of the
// mount table (/proc/self/mountinfo), sorted by path, with these types:
//   1 no root dir: pseudo file systems (proc, sysfs, devtmpfs, cgroup, ...),
//     anything mounted below one of them, and mount points that are not
//     directories;
//   2 removable: a file system on a block device the kernel marks removable;
//   4 remote: network file systems (nfs, cifs, 9p, sshfs, ...);
//   5 CD-ROM: iso9660 and udf, removable or not;
//   6 RAM disk: tmpfs and ramfs;
//   3 fixed: every other file system.
// A listing never offers another mount point, or another drive root, as a
// directory to enter: it carries kAttributeReparsePoint instead, so a walk
// stays on its own mount. Symbolic links are never offered as directories.
//
// UseSearchRoots makes `roots` (directory strings ending in '/') the drive
// list instead, each a fixed drive (tools and tests); a count of 0 goes
// back to the mount table. Zero when a root is too long to be a drive root.
int UseSearchRoots(const char* const* roots, int count);

// The drive list and types that `table`, text in the format of
// /proc/self/mountinfo, describes; `removable(major, minor)` tells which
// block devices are removable. Fills `list` as GetDriveRoots does and
// `types` with one type per root; returns the number of roots. Exposed so
// the mapping can be tested on chosen tables.
int DrivesFromMountTable(const char* table, int (*removable)(unsigned, unsigned),
                         char* list, int size, unsigned* types, int max_types);
#endif

}  // namespace platform

#endif  // PATCHER_PLATFORM_PLATFORM_H
