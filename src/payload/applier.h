// Writing a payload into the target directory, all or nothing, even across
// a crash, a power cut, a second fault during the recovery from the first,
// and files that someone else left in the directory.
//
// Planning and checking the payload (entries.h) touch no file. This is the
// transaction: a patch of one open, locked directory, moved from state to
// state by one function each, with a journal (journal.h) that says the
// state on the disk.
//
// States (what the journal ~ptjrnl.tmp says; the lock held throughout):
//
//   CLEAN     no journal. Nothing of a patch in the directory.
//   STAGING   the journal names every temporary ("~pt0000.tmp", ...) and
//             backup the patch may create. Temporaries being written; no
//             existing file touched.
//   COMMIT    every temporary complete, and its size and CRC-32C in the
//             journal, with each old file's size, CRC-32C and identity.
//             Old files being moved to their backups, temporaries into
//             place under the old files' names. A step whose new file is
//             its old one byte for byte has nothing to do: it gets no
//             temporary and no backup, and the commit journal leaves it out.
//   ROLLBACK  the swap being undone after a failure.
//
// A payload may hold a tree. A step names its file by its path from the
// top, and its temporary and backup live in that file's own folder, so a
// rename never leaves a folder. Every folder is opened through its parent
// (FileOps::OpenFolder), never through a link, junction or mount point,
// and held to the end. Three kinds of step: a file written; a folder the
// patch makes (named by the staging journal before it is made, made at
// staging, and removed going back only while empty and the patch's own);
// and a removal, whose old file (only the old release's, by size and
// CRC-32C) is moved to its backup at the commit like any old file, and
// whose backup goes at the finish, with a folder that this leaves empty.
// The lock and the journal are the top folder's, and cover the tree.
//
// Transitions, and the one function that performs each:
//
//   CLEAN    -> STAGING    Transaction::Stage       (WriteJournal first)
//   STAGING  -> COMMIT     Transaction::Stage       (every temporary flushed)
//   COMMIT   -> CLEAN      Transaction::Commit, then Transaction::Finish
//   COMMIT   -> ROLLBACK   Transaction::TakeBack    (a step failed)
//   any      -> CLEAN      Transaction::Resolve     (recovery, and every
//                                                    undo within a run)
//
// Resolve first surveys every file of every step (Survey): what the
// step's name, temporary and backup hold, identified by size and CRC-32C
// against the journal, never by their absence alone. From the survey and
// the phase it picks one goal before it acts: the old set (BACK) or the
// new set (FORWARD). STAGING always goes BACK (only temporaries to remove);
// COMMIT goes FORWARD when every new file is in place, else BACK if it can
// be reached, else FORWARD if that can; ROLLBACK prefers BACK. A step
// reaches BACK with its name untouched and no backup, or the old file in
// its backup (a step without an old file always can); FORWARD with its new
// file at its name, or in its temporary (the patch's own, of the journal's
// size and CRC-32C) and its name free or holding the old file. A backup
// that is not the old file (another's, or other bytes) never reaches BACK,
// and FORWARD leaves it where it is, untouched, and names it in the fault
// text. When neither can be reached, or anything is unknown, it stops and
// says which file and what to do, keeping the journal.
//
// Invariants:
//
//   1. Every file the patch creates is named by a journal on the disk
//      before it is created; the journal is written whole, flushed and
//      renamed into place, and the directory synced on both sides.
//   2. No existing file is moved before the commit journal is on the disk;
//      from then on every file of the patch can be told by its contents.
//      Nor is anything written on a volume that says it lacks room for
//      every temporary and both journals (a backup is a rename); one that
//      cannot say is tried, and a full disk met then is undone.
//   3. The patch renames, replaces or removes only files the journal
//      names, and of those only the ones it could have written: regular,
//      one link, owned by the principal it runs as, under exactly that
//      name inside the directory (platform::FileFacts::trusted); or, for a
//      backup, the very file the journal says was moved aside (its
//      identity), whoever owns it. An old file is restored from its backup
//      only while the backup's size and CRC-32C match the journal's; a
//      backup that holds anything else is not the patch's, and stays.
//      Trust never comes from contents alone, and no conclusion about a
//      step from two of its files holding the same bytes.
//   4. A lookup that fails (anything but "not found") is unknown, and
//      nothing acts on an unknown: recovery stops with the journal kept.
//   5. Resolve acts only when every step can reach the goal it picked, so
//      a crash in its midst leaves a state from which a new survey reaches
//      a whole set again.
//   6. One patch or recovery per directory at a time: the lock is taken
//      before the journal is read, and held to the end.
//   7. The journal goes last, after a directory sync, when nothing of the
//      patch is left but files that are not its own.
//   8. The commit puts a temporary in place only as the very file that was
//      written: the patch's own, of the journal's size and CRC-32C when it
//      is taken, held while it moves (Windows) or found at the name after
//      the move (POSIX). Anything else makes the patch go back; a file
//      that is not the patch's, under one of its temporary names, stays.
#ifndef PATCHER_PAYLOAD_APPLIER_H
#define PATCHER_PAYLOAD_APPLIER_H

#include <stddef.h>
#include <stdint.h>

#include "payload/container.h"
#include "platform/platform.h"

// The file operations the applier uses. The base class goes straight to the
// platform; tests derive from it to make a chosen call fail. The program's
// own build (PATCHER_DIRECT_FILE_OPS) derives nothing from it, so there the
// calls are plain ones: no table of them, no indirect call.
#ifdef PATCHER_DIRECT_FILE_OPS
#define PATCHER_FILE_OP
#else
#define PATCHER_FILE_OP virtual
#endif
class FileOps {
 public:
  PATCHER_FILE_OP ~FileOps() {}
  PATCHER_FILE_OP platform::Directory* Open(const char* path) {
    return platform::OpenDirectory(path);
  }
  PATCHER_FILE_OP void CloseDirectory(platform::Directory* dir) { platform::CloseDirectory(dir); }
  PATCHER_FILE_OP platform::LockResult Lock(platform::Directory* dir, const char* lock_name) {
    return platform::LockDirectory(dir, lock_name);
  }
  PATCHER_FILE_OP platform::TargetState Find(platform::Directory* dir, const char* name,
                                             char* found) {
    return platform::FindTarget(dir, name, found);
  }
  PATCHER_FILE_OP platform::Presence LookUp(platform::Directory* dir, const char* name) {
    return platform::LookUpName(dir, name);
  }
  PATCHER_FILE_OP platform::File* CreateNew(platform::Directory* dir, const char* name) {
    return platform::CreateNewFile(dir, name);
  }
  PATCHER_FILE_OP uint32_t Write(platform::File* file, const void* data, uint32_t size) {
    return platform::WriteToFile(file, data, size);
  }
  PATCHER_FILE_OP int Close(platform::File* file) { return platform::CloseFile(file); }
  PATCHER_FILE_OP platform::Presence OpenExisting(platform::Directory* dir, const char* name,
                                          platform::File** file, platform::FileFacts* facts) {
    return platform::OpenExisting(dir, name, file, facts);
  }
  PATCHER_FILE_OP platform::Presence OpenToRename(platform::Directory* dir, const char* name,
                                                  platform::File** file,
                                                  platform::FileFacts* facts) {
    return platform::OpenToRename(dir, name, file, facts);
  }
  PATCHER_FILE_OP int RenameOpen(platform::Directory* dir, platform::File* file,
                                 const char* from, const char* to) {
    return platform::RenameOpenFile(dir, file, from, to);
  }
  PATCHER_FILE_OP int ReadFrom(platform::File* file, uint64_t offset, void* data, uint32_t size,
                               uint32_t* got) {
    return platform::ReadFromFile(file, offset, data, size, got);
  }
  PATCHER_FILE_OP void Release(platform::File* file) { platform::ReleaseFile(file); }
  PATCHER_FILE_OP int Rename(platform::Directory* dir, const char* from, const char* to,
                             int replace) {
    return platform::RenameFile(dir, from, to, replace);
  }
  PATCHER_FILE_OP int Remove(platform::Directory* dir, const char* name) {
    return platform::RemoveFile(dir, name);
  }
  PATCHER_FILE_OP platform::Directory* OpenFolder(platform::Directory* parent, const char* name,
                                                  platform::FolderFacts* facts) {
    return platform::OpenFolder(parent, name, facts);
  }
  PATCHER_FILE_OP platform::Directory* CreateFolder(platform::Directory* parent,
                                                    const char* name) {
    return platform::CreateFolder(parent, name);
  }
  PATCHER_FILE_OP int RemoveFolder(platform::Directory* parent, const char* name) {
    return platform::RemoveFolder(parent, name);
  }
  PATCHER_FILE_OP int Sync(platform::Directory* dir) { return platform::SyncDirectory(dir); }
  PATCHER_FILE_OP int RoomFor(platform::Directory* dir, uint64_t bytes, uint32_t files,
                              uint64_t* lacking) {
    return platform::RoomFor(dir, bytes, files, lacking);
  }
  PATCHER_FILE_OP int KeepPermissions(platform::Directory* dir, const char* from,
                                      platform::File* to) {
    return platform::KeepPermissions(dir, from, to);
  }
  // Why the last of these calls that failed did (platform::LastFailure);
  // asked right after it, and only for a fault text.
  PATCHER_FILE_OP platform::Failure LastFailure() { return platform::LastFailure(); }
};

// The CRC-32C of the `size` bytes of `file`, open for reading, into *crc,
// read through `ops` to the file's end. Zero when it cannot be read or
// does not hold exactly that many bytes.
int ReadFileCrc(FileOps& ops, platform::File* file, uint64_t size, uint32_t* crc);

// How an apply ended, for callers that act on it (lzcx's exit statuses).
enum ApplyStatus {
  kApplyPatched = 0,         // every entry written
  kApplyFailed = 1,          // failed; the directory holds what it held before
                             // (but files of others under the patch's names)
  kApplyInUse = 2,           // a file to replace is in use, read-only or a
                             // directory: nothing changed; may pass later
  kApplyBusy = 3,            // another patch of the directory is running:
                             // nothing changed
  kApplyOldFileMismatch = 4, // a delta entry's old file is missing or
                             // different: nothing changed
  kApplyNeedsRecovery = 5,   // undoing failed too, or an interrupted patch
                             // cannot be recovered now: the next run does it
};

// What a patch is writing, for a window or a terminal that shows it while
// the patch runs on another thread: the patch stores, anyone may read.
struct PatchProgress {
  // The path of the entry being written, as the payload spells it (inside
  // the payload, so it lives as long as the payload); null until the first.
  const char* volatile writing;
};

// Applies the container `data` (`size` bytes) to `directory`, a directory
// string ending in the path separator (or empty: the current directory),
// after recovering an interrupted patch there (RecoverDirectory).
// Nonzero when every entry was written: `fault` (if given) is then empty,
// or says that files of the patch are left for the next run to remove, or
// which step failed when undoing it could not be done and the patch was
// finished instead, or which files of others were left at a backup's name.
// On failure the directory is as it was before, and `fault` says which
// entry failed and why; if undoing failed too, it says that the directory
// needs recovery, which the next apply or RecoverDirectory does.
// `status` (if given) receives an ApplyStatus.
int ApplyPayload(const uint8_t* data, size_t size, const char* directory,
                 FileOps& ops, char* fault = nullptr, size_t fault_size = 0,
                 ApplyStatus* status = nullptr, PatchProgress* progress = nullptr);

class PatchEntries;

struct PlannedEntry;

// The same for a container already read and checked (entries.h): what
// ApplyPayload does after reading it. `planned` (if given, an array of
// entries.all_count()) receives what the patch's plan did with each entry
// of the base it took (entries then shows that base's), as PlanEntries
// says it; `progress` (if given) what is being written.
int ApplyEntries(const PatchEntries& entries, const char* directory, FileOps& ops,
                 char* fault = nullptr, size_t fault_size = 0, ApplyStatus* status = nullptr,
                 PlannedEntry* planned = nullptr, PatchProgress* progress = nullptr);

// What a patch would do with one entry, as its plan finds the folder.
enum PlannedAction {
  kPlanWrite = 0,      // a new file, or one that differs from the installed one
  kPlanUnchanged = 1,  // the installed file is the new one byte for byte
  kPlanRemove = 2,     // the old release's file, which the patch removes
  kPlanNothing = 3,    // a removal whose file is gone, or is not the old
                       // release's and stays
};
struct PlannedEntry {
  PlannedAction action;
  // Below the directory, as on the disk (an existing file's own
  // spelling), '/' between folders.
  char path[kLongestPath + 1];
};

// The dry run of ApplyEntries: the same plan and the same lookups (every
// folder and file found as the patch finds them, each old file read for
// its CRC-32C), with no lock taken, no journal read and nothing written.
// `entries` must have been decoded (PatchEntries::CheckDecodes), for the
// new files' CRC-32C. Nonzero when the patch would go ahead: planned[i]
// (an array of entries.all_count()) then says what it would do with entry
// i of the base it would take, which entries then shows.
// Otherwise `status` and `fault` say why, as ApplyEntries would.
int PlanEntries(const PatchEntries& entries, const char* directory, FileOps& ops,
                PlannedEntry* planned, char* fault = nullptr, size_t fault_size = 0,
                ApplyStatus* status = nullptr);

// Only checks: everything ApplyPayload checks before it writes (bounds,
// names, path lengths) and a full decode of every block it would write,
// writing nothing. `total` (if given) receives the sum of their lengths,
// and `integrity` (if given) what the container check found.
int VerifyPayload(const uint8_t* data, size_t size, const char* directory,
                  char* fault = nullptr, size_t fault_size = 0,
                  uint64_t* total = nullptr, PayloadIntegrity* integrity = nullptr);

enum RecoveryResult {
  kRecoveryFailed = 0,    // `fault` says why; the journal stays
  kRecoveryNone = 1,      // no interrupted patch
  kRecoveryFinished = 2,  // the new files kept, the old ones removed
  kRecoveryUndone = 3,    // the old files restored, the new ones removed
  kRecoveryBusy = 4,      // another patch of the directory is running
};

// Finishes or undoes the patch of `directory` that its journal describes,
// removing nothing but the files of the patch's own that the journal names.
// Finished, `fault` names each file of another's left at a backup's name
// (else it is empty).
// On failure `status` (if given) says whether the directory needs recovery
// (kApplyNeedsRecovery: the journal kept, for the next run), is busy, or
// holds a journal that must be looked at (kApplyFailed).
RecoveryResult RecoverDirectory(const char* directory, FileOps& ops, char* fault = nullptr,
                                size_t fault_size = 0, ApplyStatus* status = nullptr);

// Whether `directory` (a directory string) holds the journal of an
// interrupted patch that this patcher could have written and that names
// `name` (as platform::SameFileName compares): a folder that is an
// installation, whatever the patch left there. Reads only.
int InterruptedPatchNames(const char* directory, const char* name);

// Whether the file at `path` below the open directory `dir`, reached as
// the patch reaches it (every folder through its parent, no link), holds
// `size` bytes of CRC-32C `crc`: 1 when it does, 0 when it does not or is
// not there, -1 when a lookup failed. *present: whether anything stands at
// the path. Reads only; for the tools' up-to-date check and log.
int PathHolds(FileOps& ops, platform::Directory* dir, const char* path, uint64_t size,
              uint32_t crc, bool* present);

// The program's patch: applies its own payload resource to `directory`,
// saying in `progress` (if given) which file it writes.
int PatchApplier(const char* directory, PatchProgress* progress = nullptr);

#endif  // PATCHER_PAYLOAD_APPLIER_H
