#include "payload/applier.h"

#include <stdlib.h>
#include <string.h>

#include "payload/crc32c.h"
#include "payload/entries.h"
#include "payload/fault.h"
#include "payload/journal.h"
#include "payload/names.h"
#include "payload/patch_files.h"

namespace {

const uint32_t kReadChunk = 1u << 16;
// Names NextFreeNumber tries beyond two per entry: far more leftovers than
// any directory holds by chance, and still no hang on a drive that answers
// "taken" to every name.
const uint32_t kSpareProbes = 4096;

// What one name of a step holds, as far as the patch can tell. A file can
// be both the old and the new one (a step of an earlier patcher whose new
// file was its old one): then it is both, and decides no direction.
typedef unsigned Holds;
const Holds kHoldsNothing = 0;  // no such file
const Holds kHoldsOld = 1;      // the old file, by size and CRC-32C
const Holds kHoldsNew = 2;      // the new file, by size and CRC-32C, and the patch's own
const Holds kHoldsOurs = 4;     // a file the patch could have written, but neither
                                // (a temporary cut short)
const Holds kHoldsOther = 8;    // anything else: another's file, a link, a directory
const Holds kHoldsUnknown = 16; // the system did not answer

struct StepSurvey {
  Holds name, temp, backup;
};

// Which of a step's files a name is: each is trusted in its own way.
enum Role {
  kRoleTemp,    // written by the patch: its own, by owner and links
  kRoleName,    // the step's own name: the old file may be anyone's
  kRoleBackup,  // the old file moved aside: its own while it is the very
                // file the journal says was moved (or, without that
                // record, by owner)
};

// A step whose new file is its old one, byte for byte: the plan gives it
// nothing to do.
bool Alike(const JournalStep& s) {
  return s.kind == kStepFile && s.backup != kNoFile && s.old_size == s.new_size && s.old_crc == s.new_crc;
}

enum Goal {
  kGoalNone,     // neither set can be reached, or something is unknown
  kGoalBack,     // the old set
  kGoalForward,  // the new set
};

// Why Resolve stopped, and at which file.
enum Stop {
  kStopUnknown,   // a lookup failed
  kStopInTheWay,  // a file that is not the patch's stands where it must act
  kStopBackup,    // a backup the patch cannot tell for its own: perhaps
                  // the only copy of the old file
  kStopLost,      // neither version of a file can be put in place
};

// All `size` bytes of `file` in a new buffer (free() it); null without
// memory, or when it cannot be read or no longer holds that many.
uint8_t* ReadWhole(FileOps& ops, platform::File* file, uint32_t size) {
  uint8_t* bytes = static_cast<uint8_t*>(malloc(size ? size : 1));
  uint32_t got = 0;
  if (bytes && (!ops.ReadFrom(file, 0, bytes, size, &got) || got != size)) {
    free(bytes);
    bytes = nullptr;
  }
  return bytes;
}

// Reads and decodes the journal of `dir`. kAbsent; kUnknown when the
// system cannot tell; kPresent with *trusted false for a journal this
// patcher cannot have written (another owner's, a link, not a file), else
// with *steps (free() it) and *count, or *steps null when it is damaged.
platform::Presence LoadJournal(FileOps& ops, platform::Directory* dir, bool* trusted,
                               JournalPhase* phase, JournalStep** steps, int* count) {
  platform::File* file = nullptr;
  platform::FileFacts facts;
  *steps = nullptr;
  const platform::Presence presence = ops.OpenExisting(dir, kJournalName, &file, &facts);
  *trusted = file && facts.trusted;
  if (!*trusted) {
    if (file) ops.Release(file);
    return presence;
  }
  uint8_t* bytes = nullptr;
  if (facts.size <= kJournalLimit &&
      (bytes = ReadWhole(ops, file, static_cast<uint32_t>(facts.size))))
    DecodeJournal(bytes, static_cast<size_t>(facts.size), phase, steps, count);
  free(bytes);
  ops.Release(file);
  return presence;
}

// Keeps the first fault text: while it lives, the texts of what follows
// (an undo, a clean-up) go nowhere. The program's build writes no texts,
// so there it has nothing to do.
#ifdef PATCHER_NO_FAULT_TEXT
class FaultMuted {
 public:
  explicit FaultMuted(char*&) {}
};
#else
class FaultMuted {
 public:
  explicit FaultMuted(char*& fault) : fault_(fault), kept_(fault) { fault = nullptr; }
  ~FaultMuted() { fault_ = kept_; }

 private:
  FaultMuted(const FaultMuted&) = delete;
  FaultMuted& operator=(const FaultMuted&) = delete;
  char*& fault_;
  char* kept_;
};
#endif

// Where a path's last component begins: the name inside its folder.
const char* Leaf(const char* path) {
  const char* leaf = path;
  for (; *path; ++path)
    if (*path == '/') leaf = path + 1;
  return leaf;
}

// The length of the folder part of `path`: zero for a name at the top.
size_t FolderLength(const char* path) {
  const char* leaf = Leaf(path);
  return leaf == path ? 0 : static_cast<size_t>(leaf - path - 1);
}

// Writes the path of `leaf` in the folder that is the first `folder_length`
// bytes of `folder` (none: the top) to `out`.
void Join(char* out, const char* folder, size_t folder_length, const char* leaf) {
  memcpy(out, folder, folder_length);
  if (folder_length) out[folder_length++] = '/';
  memcpy(out + folder_length, leaf, strlen(leaf) + 1);
}

// What stands where a folder of the patch belongs.
enum FolderState {
  kFolderOpen,     // a folder, opened
  kFolderMissing,  // nothing (or a folder above it is missing)
  kFolderOther,    // a file, a link or a junction: never entered
  kFolderUnknown,  // the system did not answer
};

// The folders of a patch's paths, each opened once, relative to its parent
// and never through a link (platform::OpenFolder), and held until the end.
// A folder is looked up by its path as the payload or the journal spells
// it, letter case ignored as the system ignores it, and keeps the spelling
// it has on the disk, which the plan gives the journal.
class Folders {
 public:
  struct Entry {
    char* path;     // its own spelling from the top; "" for the top
    int parent;     // index of its parent's entry, -1 for the top
    FolderState state;
    bool own;       // a folder the patch could have made (FileFacts::trusted)
    platform::Directory* dir;
  };

  explicit Folders(FileOps& ops) : ops_(ops) {}
  ~Folders() { Clear(); }

  void SetTop(platform::Directory* top) {
    top_.path = const_cast<char*>("");
    top_.parent = -1;
    top_.state = kFolderOpen;
    top_.own = false;
    top_.dir = top;
  }
  // Closes every folder but the top, and forgets them.
  void Clear() {
    for (int i = 0; i < count_; ++i) {
      if (entries_[i].dir) ops_.CloseDirectory(entries_[i].dir);
      free(entries_[i].path);
    }
    free(entries_);
    entries_ = nullptr;
    count_ = 0;
    last_ = -1;
  }
  // The folder of the first `length` bytes of `path`; null without memory.
  Entry* Get(const char* path, size_t length);
  // The folder `path` is in.
  Entry* Of(const char* path) { return Get(path, FolderLength(path)); }
  // The open folder `path` is in; null when it is not open.
  platform::Directory* DirOf(const char* path) {
    const Entry* e = Of(path);
    return e ? e->dir : nullptr;
  }
  Entry* Parent(const Entry* e) { return e->parent < 0 ? &top_ : &entries_[e->parent]; }
  // Closes `e` (so that Windows lets it go) and removes it if it is empty
  // and a folder of its own (not a link): 1 when it is gone, zero when it
  // stays, -1 when that cannot be told. Closed, it is no longer synced
  // with the others, so what was done in it is made durable first. A
  // removal that failed may have failed on its own lookup: what stands
  // there is looked up again, and a folder still there is tried once more.
  int Remove(Entry* e) {
    Entry* parent = Parent(e);
    if (parent->state != kFolderOpen) return 0;
    for (int tries = 0; tries < 2; ++tries) {
      if (e->dir && !ops_.Sync(e->dir)) return -1;
      if (e->dir) ops_.CloseDirectory(e->dir);
      e->dir = nullptr;
      e->state = kFolderMissing;
      if (ops_.RemoveFolder(parent->dir, Leaf(e->path))) return 1;
      Look(e, parent->dir, Leaf(e->path));
      if (e->state != kFolderOpen) break;
    }
    return e->state == kFolderMissing ? 1 : e->state == kFolderUnknown ? -1 : 0;
  }
  // Makes every creation, rename and removal in the open folders durable.
  int Sync() {
    int ok = ops_.Sync(top_.dir);
    for (int i = 0; i < count_; ++i)
      if (entries_[i].dir) ok = ops_.Sync(entries_[i].dir) && ok;
    return ok;
  }
  int count() const { return count_; }
  Entry& operator[](int i) { return entries_[i]; }
  // Looks up what stands at `e` now: folder `name` of `above`.
  void Look(Entry* e, platform::Directory* above, const char* name) {
    platform::FolderFacts facts;
    e->dir = ops_.OpenFolder(above, name, &facts);
    e->state = e->dir                                ? kFolderOpen
               : facts.presence == platform::kAbsent  ? kFolderMissing
               : facts.presence == platform::kPresent ? kFolderOther
                                                      : kFolderUnknown;
    e->own = e->dir && facts.trusted;
  }

 private:
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;
  Entry* Child(int parent, const char* leaf);

  FileOps& ops_;
  Entry top_;
  Entry* entries_ = nullptr;
  int count_ = 0;
  int last_ = -1;  // the folder Get found last
};

Folders::Entry* Folders::Get(const char* path, size_t length) {
  // A tree's paths come folder by folder: the folder found last, spelled
  // as it is, is tried first.
  if (last_ >= 0 && strlen(entries_[last_].path) == length &&
      !memcmp(entries_[last_].path, path, length))
    return &entries_[last_];
  int at = -1;
  char leaf[platform::kPathBuffer];
  for (size_t begin = 0; begin < length;) {
    size_t end = begin;
    while (end < length && path[end] != '/') ++end;
    if (end - begin >= sizeof leaf) return nullptr;
    memcpy(leaf, path + begin, end - begin);
    leaf[end - begin] = 0;
    Entry* child = Child(at, leaf);
    if (!child) return nullptr;
    last_ = at = static_cast<int>(child - entries_);
    begin = end + 1;
  }
  return at < 0 ? &top_ : &entries_[at];
}

// The entry of folder `leaf` in folder `parent`, looked up on the disk
// the first time it is asked for.
Folders::Entry* Folders::Child(int parent, const char* leaf) {
  // The latest first: a new folder's parent was most often just found.
  for (int i = count_; i-- > 0;)
    if (entries_[i].parent == parent && platform::SameFileName(Leaf(entries_[i].path), leaf))
      return &entries_[i];
  Entry* above = parent < 0 ? &top_ : &entries_[parent];
  Entry e = {nullptr, parent, above->state == kFolderOpen ? kFolderUnknown : above->state, false,
             nullptr};
  char found[platform::kPathBuffer];
  const char* spelling = leaf;
  if (above->state == kFolderOpen) {
    switch (ops_.Find(above->dir, leaf, found)) {
      case platform::kTargetMissing: e.state = kFolderMissing; break;
      case platform::kTargetUnknown: break;
      case platform::kTargetElsewhere: e.state = kFolderOther; break;
      default:
        spelling = found;
        Look(&e, above->dir, found);
    }
  }
  // (The entries may move; the paths stay where they are.)
  const char* above_path = above->path;
  const size_t above_length = strlen(above_path), length = strlen(spelling);
  Entry* grown = static_cast<Entry*>(realloc(entries_, (count_ + 1) * sizeof(Entry)));
  e.path = static_cast<char*>(malloc(above_length + length + 2));
  if (!grown || !e.path) {
    if (grown) entries_ = grown;
    if (e.dir) ops_.CloseDirectory(e.dir);
    free(e.path);
    return nullptr;
  }
  entries_ = grown;
  Join(e.path, above_path, above_length, spelling);
  entries_[count_] = e;
  return &entries_[count_++];
}

class Transaction {
 public:
  Transaction(const char* directory, const PatchEntries* entries, FileOps& ops, char* fault,
              size_t fault_size, PatchProgress* progress = nullptr)
      : directory_(directory), entries_(entries), ops_(ops), fault_(fault),
        fault_size_(fault_size), note_(fault), progress_(progress), folders_(ops) {}
  ~Transaction() {
    free(steps_);
    free(entry_of_);
    folders_.Clear();
    if (dir_) ops_.CloseDirectory(dir_);
  }

  int Open(ApplyStatus* status);
  int OpenToLook();
  RecoveryResult Recover();
  int Plan(ApplyStatus* status);
  int PlanBase(ApplyStatus* status);
  int Stage();
  int Commit();
  int Finish();
  bool needs_recovery() const { return needs_recovery_; }
  void Planned(PlannedEntry* planned) const;

 private:
  // A fault about file or entry `name` in the directory: `format` takes
  // the name, then the directory.
  int Fail(const char* format, const char* name) {
    return FormatFault(fault_, fault_size_, format, name, directory_);
  }
  // The same, with what the failing call said (Said) after them.
  int Fail(const char* format, const char* name, const char* said) {
    return FormatFault(fault_, fault_size_, format, name, directory_, said);
  }
  // A fault about the directory: `format` takes it alone, or it and what
  // the failing call said.
  int FailIn(const char* format) { return FormatFault(fault_, fault_size_, format, directory_); }
  int FailIn(const char* format, const char* said) {
    return FormatFault(fault_, fault_size_, format, directory_, said);
  }
  // What the call that just failed said, in words (about the directory
  // itself when `folder`), for the first fault text only: with no fault
  // to write, nothing.
#ifdef PATCHER_NO_FAULT_TEXT
  const char* Said(bool = false) { return ""; }
#else
  const char* Said(bool folder = false) {
    if (fault_) platform::DescribeFailure(ops_.LastFailure(), folder, said_, sizeof said_);
    return said_;
  }
#endif
  // Whether the lock just refused is a file of another user, for a fault
  // text only.
#ifdef PATCHER_NO_FAULT_TEXT
  bool ForeignLock() { return false; }
#else
  bool ForeignLock() { return ops_.LastFailure().kind == platform::kFailureForeignLock; }
#endif
  const char* Temp(uint32_t number, char* buffer) const {
    TempName(number, buffer);
    return buffer;
  }
  // Step `s`'s temporary `number` by its path from the top, in the step's
  // folder (kNamedBuffer bytes), for a fault text only: the program's
  // build has none.
  const char* Named(const JournalStep& s, uint32_t number, char* buffer) const {
    if (!kFaultTexts) return "";
    char temp[kTempNameBuffer];
    Join(buffer, s.name, FolderLength(s.name), Temp(number, temp));
    return buffer;
  }
  static const int kNamedBuffer = kStepNameField + kTempNameBuffer;
  int FolderFault(const char* name, const Folders::Entry* folder);
  void Kept(const char* name);
  int NextFreeNumber(platform::Directory* dir, uint32_t* number);
  int MakeFolder(const JournalStep& s);
  int WriteEntry(int i);
  int Install(platform::Directory* dir, const JournalStep& s);
  int OldFileDiffers(ApplyStatus* status, const char* name);
  int HasRoom();
  int DropJournalNew();
  int WriteJournal(JournalPhase phase);
  Holds Examine(platform::Directory* dir, const char* name, const JournalStep& s, Role role,
                bool may_be_new, platform::File** held = nullptr);
  Holds ExamineName(platform::Directory* dir, const JournalStep& s, bool may_be_new);
  int Survey(JournalPhase phase, StepSurvey* survey);
  Goal Decide(JournalPhase phase, bool may_go_back, const StepSurvey* survey);
  int Act(Goal goal, const StepSurvey* survey);
  Goal Resolve(JournalPhase phase, bool may_go_back = true);
  Goal TakeBack(JournalPhase phase);
  int NeedsRecovery();
  int Report(Stop why, const char* name, const char* step = nullptr);
  void SayLeft(const StepSurvey* survey);

  const char* directory_;
  const PatchEntries* entries_;  // null in a recovery alone
  FileOps& ops_;
  char* fault_;
  size_t fault_size_;
  char* const note_;  // the fault text even while it is muted: what was left
  PatchProgress* const progress_;
  platform::Directory* dir_ = nullptr;
  Folders folders_;
  JournalStep* steps_ = nullptr;  // from the plan, or from the journal
  int* entry_of_ = nullptr;       // the plan's entry of each step (-1: a folder)
  int count_ = 0;
  bool journal_on_disk_ = false;  // a journal of this patch may be there
  bool needs_recovery_ = false;
  uint32_t next_number_ = 0;
  uint32_t probes_left_ = 0;
#ifndef PATCHER_NO_FAULT_TEXT
  char said_[200];
#endif
};

int Transaction::Open(ApplyStatus* status) {
  dir_ = ops_.Open(directory_);
  if (!dir_)
    return FailIn("cannot open the directory %s: %s", Said(true));
  folders_.SetTop(dir_);
  switch (ops_.Lock(dir_, kLockName)) {
    case platform::kLockTaken:
      return 1;
    case platform::kLockBusy:
      *status = kApplyBusy;
      return FailIn("another patch of %s is running (%s): nothing was changed", Said(true));
    default:
      if (ForeignLock())
        return Fail("%s in %s: %s: nothing was changed; move it away, then run the patch again",
                    kLockName, Said());
      return FailIn("cannot lock %s against a second patch (%s): nothing was changed",
                    Said(true));
  }
}

// Opens the directory as Open does, without the lock: for a dry run,
// which writes nothing.
int Transaction::OpenToLook() {
  dir_ = ops_.Open(directory_);
  if (!dir_) return FailIn("cannot open the directory %s: %s", Said(true));
  folders_.SetTop(dir_);
  return 1;
}

// What the plan would do with each entry: a step of nothing to do when
// the installed file already holds the entry's size and CRC-32C.
void Transaction::Planned(PlannedEntry* planned) const {
  for (int i = 0; i < entries_->count(); ++i) {
    const PayloadEntry& e = (*entries_)[i];
    planned[i].action = e.removal ? kPlanNothing : kPlanWrite;
    strcpy(planned[i].path, e.name);
  }
  for (int j = 0; j < count_; ++j) {
    if (entry_of_[j] < 0) continue;
    const PayloadEntry& e = (*entries_)[entry_of_[j]];
    JournalStep s = steps_[j];
    s.new_size = e.expanded_length;
    s.new_crc = e.new_crc;
    PlannedEntry& p = planned[entry_of_[j]];
    p.action = e.removal ? kPlanRemove : Alike(s) ? kPlanUnchanged : kPlanWrite;
    strcpy(p.path, s.name);
  }
}

// What `name` holds, in the role it has for step `s`. With `held`, the file
// is opened to be renamed, and kept open in *held for that when it holds
// the new file (ReleaseFile it).
Holds Transaction::Examine(platform::Directory* dir, const char* name, const JournalStep& s,
                           Role role, bool may_be_new, platform::File** held) {
  platform::File* file = nullptr;
  platform::FileFacts facts;
  const platform::Presence presence = held ? ops_.OpenToRename(dir, name, &file, &facts)
                                           : ops_.OpenExisting(dir, name, &file, &facts);
  if (presence == platform::kAbsent) return kHoldsNothing;
  if (presence != platform::kPresent) return kHoldsUnknown;
  if (!file) return kHoldsOther;
  // A backup is the file the patch moved aside, whoever owned it: the
  // journal says which file that was (no file's identity is all zero, the
  // journal's when it has none).
  const bool moved = role == kRoleBackup && facts.named &&
                     memcmp(facts.id, s.old_id, sizeof facts.id) == 0;
  const bool own = facts.trusted || moved;
  const bool may_be_old = role == kRoleBackup || (role == kRoleName && s.backup != kNoFile);
  const bool old_size = may_be_old && (own || role == kRoleName) && facts.size == s.old_size;
  const bool new_size = may_be_new && facts.trusted && facts.size == s.new_size;
  Holds holds = own ? kHoldsOurs : kHoldsOther;
  uint32_t crc = 0;
  if (old_size || new_size) {
    if (!ReadFileCrc(ops_, file, facts.size, &crc)) {
      holds = kHoldsUnknown;
    } else {
      const Holds is = (new_size && crc == s.new_crc ? kHoldsNew : 0) |
                       (old_size && crc == s.old_crc ? kHoldsOld : 0);
      if (is) holds = is;
    }
  }
  if (held && holds == kHoldsNew)
    *held = file;
  else
    ops_.Release(file);
  return holds;
}

// What the step's own name holds, found as the plan finds it: under exactly
// the journal's name, no link, no short name.
Holds Transaction::ExamineName(platform::Directory* dir, const JournalStep& s,
                               bool may_be_new) {
  char found[platform::kPathBuffer];
  found[0] = 0;
  const char* name = Leaf(s.name);
  switch (ops_.Find(dir, name, found)) {
    case platform::kTargetMissing: return kHoldsNothing;
    case platform::kTargetUnknown: return kHoldsUnknown;
    case platform::kTargetElsewhere: return kHoldsOther;
    default: break;
  }
  if (strcmp(found, name) != 0) return kHoldsOther;
  const Holds holds = Examine(dir, name, s, kRoleName, may_be_new);
  return holds == kHoldsOurs ? kHoldsOther : holds;
}

int Transaction::Survey(JournalPhase phase, StepSurvey* survey) {
  char temp[kTempNameBuffer], backup[kTempNameBuffer];
  const bool staging = phase == kPhaseStaging;
  for (int i = 0; i < count_; ++i) {
    const JournalStep& s = steps_[i];
    StepSurvey& v = survey[i];
    v.temp = v.name = v.backup = kHoldsNothing;
    const bool folder_step = s.kind == kStepFolder;
    const Folders::Entry* folder =
        folder_step ? folders_.Get(s.name, strlen(s.name)) : folders_.Of(s.name);
    if (!folder) {
      needs_recovery_ = true;
      return FailIn("no memory to recover the patch of %s");
    }
    if (folder->state == kFolderUnknown) return Report(kStopUnknown, folder->path);
    // A folder the patch made is removed going back only while it is its
    // own; one that is no folder now stops only the files meant to be in it.
    if (folder_step) {
      if (folder->state != kFolderMissing)
        v.name = folder->state == kFolderOpen && folder->own ? kHoldsOurs : kHoldsOther;
      continue;
    }
    if (folder->state == kFolderOther) return Report(kStopInTheWay, folder->path);
    if (folder->state == kFolderMissing) continue;  // nothing of the step is there
    platform::Directory* dir = folder->dir;
    // Staging moved nothing: only the temporaries matter, whatever they hold.
    if (s.temp != kNoFile) v.temp = Examine(dir, Temp(s.temp, temp), s, kRoleTemp, !staging);
    if (!staging) v.name = ExamineName(dir, s, s.kind == kStepFile);
    if (!staging && s.backup != kNoFile)
      v.backup = Examine(dir, Temp(s.backup, backup), s, kRoleBackup, false);
    // The patch writes no backup, it only moves the old file there: one
    // that holds anything else is not the patch's, whoever owns it.
    if (v.backup == kHoldsOurs) v.backup = kHoldsOther;
  }
  return 1;
}

int Transaction::Report(Stop why, const char* name, const char* step) {
  needs_recovery_ = true;
  switch (why) {
    case kStopUnknown:
      return Fail("cannot tell what %s in %s holds (the system did not answer): nothing more "
                  "was changed; run the patch again when the folder can be read",
                  name);
    case kStopBackup:
      return FormatFault(fault_, fault_size_,
                         "%s in %s may be the only copy of the old %s, which the patch moved "
                         "aside, but the patch cannot tell that it is: nothing more was "
                         "changed; keep it, and if it is, rename it back to %s, then run the "
                         "patch again",
                         name, directory_, step, step);
    case kStopInTheWay:
      return Fail("%s in %s is not a file this patch wrote, and stands where the patch must "
                  "restore or finish its files: nothing more was changed; move it away, then "
                  "run the patch again",
                  name);
    default:
      return Fail("%s in %s: neither its old nor its new version is left to put in place; "
                  "reinstall the program",
                  name);
  }
}

// Adds to the fault, even under an undo's, each backup of another's that
// going on left where it was: the patch did not write it, so it is not the
// patch's to remove, and the user must know it is there.
void Transaction::SayLeft(const StepSurvey* survey) {
  char backup[kNamedBuffer];
  for (int i = 0; kFaultTexts && note_ && fault_size_ && i < count_; ++i) {
    if (survey[i].backup != kHoldsOther) continue;
    const size_t used = strlen(note_);
    FormatFault(note_ + used, fault_size_ - used,
                "%s%s in %s, the backup of the old %s, holds a file this patch did not write: "
                "it was left there",
                used ? "; " : "", Named(steps_[i], steps_[i].backup, backup), directory_,
                steps_[i].name);
  }
}

// The goal every step can reach, preferred as the phase says; kGoalNone
// with the fault naming the file that stops it.
Goal Transaction::Decide(JournalPhase phase, bool may_go_back, const StepSurvey* survey) {
  char temp[kNamedBuffer], backup[kNamedBuffer];
  bool back = may_go_back, forward = phase != kPhaseStaging, all_new = forward;
  int stuck = -1, foreign = -1;
  for (int i = 0; i < count_; ++i) {
    const JournalStep& s = steps_[i];
    const StepSurvey& v = survey[i];
    if (s.kind == kStepFolder) continue;  // made, or left, as the files in it need
    const char* unknown = v.temp == kHoldsUnknown     ? Named(s, s.temp, temp)
                          : v.name == kHoldsUnknown   ? s.name
                          : v.backup == kHoldsUnknown ? Named(s, s.backup, backup)
                                                      : nullptr;
    if (unknown) return Report(kStopUnknown, unknown), kGoalNone;
    // A file under the patch's own temporary name that it did not write
    // stays where it is: going back needs no temporary.
    if (phase == kPhaseStaging) continue;
    const bool name_new = v.name & kHoldsNew, name_old = v.name & kHoldsOld;
    bool step_back, step_forward;
    if (s.backup != kNoFile) {
      // Untouched (the old file, or whatever the user made of it since,
      // with no backup beside it), or the old file in its backup.
      step_back = ((name_old || v.name == kHoldsOther) && v.backup == kHoldsNothing) ||
                  (v.backup == kHoldsOld && (v.name == kHoldsNothing || name_new));
    } else {
      step_back = true;  // a new file is removed; anything else was never the patch's
    }
    // A backup of another's never brings the old file back, but the new
    // set needs no backup: going on leaves it where it is. A removal goes
    // on from anything: the old file at its name is removed, another's
    // stays.
    if (s.kind == kStepRemoval) {
      step_forward = true;
      all_new = all_new && !name_old;
    } else {
      step_forward = name_new || (v.temp == kHoldsNew && (v.name == kHoldsNothing || name_old));
      all_new = all_new && name_new;
    }
    if (v.backup == kHoldsOther && foreign < 0) foreign = i;
    if ((back && !step_back) || (forward && !step_forward)) stuck = i;
    back = back && step_back;
    forward = forward && step_forward;
  }
  if (phase == kPhaseCommit && all_new) return kGoalForward;
  if (back) return kGoalBack;
  if (forward) return kGoalForward;
  // Name what stops it: a backup the patch cannot tell for the old file
  // (put back, it makes the old set whole again), a file of another's where
  // the patch must act, or the file whose versions are both gone.
  if (foreign >= 0)
    return Report(kStopBackup, Named(steps_[foreign], steps_[foreign].backup, backup),
                  steps_[foreign].name),
           kGoalNone;
  const JournalStep& s = steps_[stuck];
  const StepSurvey& v = survey[stuck];
  if (v.name == kHoldsOther) return Report(kStopInTheWay, s.name), kGoalNone;
  if (v.temp == kHoldsOther) return Report(kStopInTheWay, Named(s, s.temp, temp)), kGoalNone;
  return Report(kStopLost, s.name), kGoalNone;
}

// Moves every step to `goal`, each action one that keeps the goal (or the
// other, for a power cut that keeps only some of them) within reach.
int Transaction::Act(Goal goal, const StepSurvey* survey) {
  char temp[kTempNameBuffer], backup[kTempNameBuffer];
  for (int i = 0; i < count_; ++i) {
    const JournalStep& s = steps_[i];
    const StepSurvey& v = survey[i];
    const Folders::Entry* folder = folders_.Of(s.name);
    // The survey opened it; a step whose folder is missing has nothing there.
    if (s.kind == kStepFolder || !folder || folder->state != kFolderOpen) continue;
    platform::Directory* dir = folder->dir;
    const char* name = Leaf(s.name);
    Temp(s.temp, temp);
    Temp(s.backup, backup);
    const bool own_temp = v.temp & (kHoldsOurs | kHoldsNew);
    const bool name_new = v.name & kHoldsNew, name_old = v.name & kHoldsOld;
    int ok = 1;
    if (goal == kGoalBack) {
      if (v.backup == kHoldsOld) ok = ops_.Rename(dir, backup, name, name_new);
      else if (s.backup == kNoFile && name_new) ok = ops_.Remove(dir, name);
      if (ok && own_temp) ok = ops_.Remove(dir, temp);
    } else {
      if (s.kind == kStepRemoval) {
        if (name_old) ok = ops_.Remove(dir, name);
      } else if (!name_new) {
        ok = ops_.Rename(dir, temp, name, name_old);
      } else if (own_temp) {
        ok = ops_.Remove(dir, temp);
      }
      if (ok && v.backup == kHoldsOld) ok = ops_.Remove(dir, backup);
    }
    if (!ok) {
      needs_recovery_ = true;
      return Fail("cannot restore or finish %s in %s (%s): the next run of the patch does it",
                  s.name, Said());
    }
  }
  // Folders last, deepest first: going back, those the patch made and
  // still owns, if empty; going on, those a removal left empty. A folder
  // that stays (not empty, another's) is no fault.
  for (int i = count_; i-- > 0;) {
    const JournalStep& s = steps_[i];
    int gone = 1;
    if (goal == kGoalBack && s.kind == kStepFolder && survey[i].name == kHoldsOurs) {
      Folders::Entry* folder = folders_.Get(s.name, strlen(s.name));
      if (folder) gone = folders_.Remove(folder);
    } else if (goal == kGoalForward && s.kind == kStepRemoval) {
      for (Folders::Entry* folder = folders_.Of(s.name);
           folder && folder->path[0] && (gone = folders_.Remove(folder)) > 0;)
        folder = folders_.Parent(folder);
    }
    // One that may or may not be there is left to the next run.
    if (gone < 0) {
      needs_recovery_ = true;
      return Fail("cannot tell whether the folder of %s in %s is removed (%s): the next run "
                  "of the patch does it",
                  s.name, Said());
    }
  }
  return 1;
}

// Brings the directory back to a whole set, old or new, from whatever the
// journal of `phase` and the disk say, then removes the journal.
Goal Transaction::Resolve(JournalPhase phase, bool may_go_back) {
  StepSurvey* survey = static_cast<StepSurvey*>(calloc(count_ ? count_ : 1, sizeof(StepSurvey)));
  if (!survey) {
    needs_recovery_ = true;
    return FailIn("no memory to recover the patch of %s"), kGoalNone;
  }
  Goal goal = Survey(phase, survey) ? Decide(phase, may_go_back, survey) : kGoalNone;
  if (goal != kGoalNone && !Act(goal, survey)) goal = kGoalNone;
  if (goal == kGoalForward) SayLeft(survey);
  free(survey);
  if (goal == kGoalNone) return goal;
  if (!DropJournalNew() || !folders_.Sync() || !ops_.Remove(dir_, kJournalName)) {
    needs_recovery_ = true;
    return FailIn("cannot remove the patch journal of %s (%s): the next run does it", Said()),
           kGoalNone;
  }
  journal_on_disk_ = false;
  return goal;
}

// Removes a journal begun but never put in place, if it is one: the
// patch's own file, empty or starting as a journal does. Anything else of
// that name stays, and the patch stops there.
int Transaction::DropJournalNew() {
  platform::File* file = nullptr;
  platform::FileFacts facts;
  const platform::Presence presence = ops_.OpenExisting(dir_, kJournalNewName, &file, &facts);
  if (presence == platform::kAbsent) return 1;
  uint8_t head[4] = {0};
  uint32_t got = 0;
  const bool ours = file && facts.trusted && ops_.ReadFrom(file, 0, head, 4, &got) &&
                    memcmp(head, kJournalMagic, got < 3 ? got : 3) == 0;
  if (file) ops_.Release(file);
  if (ours && ops_.Remove(dir_, kJournalNewName)) return 1;
  return Fail("%s in %s is in the way of the patch journal: nothing more was changed; move it "
              "away, then run the patch again",
              kJournalNewName);
}

RecoveryResult Transaction::Recover() {
  bool trusted = false;
  JournalPhase phase = kPhaseStaging;
  const platform::Presence presence =
      LoadJournal(ops_, dir_, &trusted, &phase, &steps_, &count_);
  if (presence == platform::kAbsent) return DropJournalNew() ? kRecoveryNone : kRecoveryFailed;
  if (presence != platform::kPresent) {
    Fail("cannot tell whether %s, the journal of an interrupted patch, is in %s (%s): nothing "
         "was changed; run the patch again when the folder can be read",
         kJournalName, Said());
    return kRecoveryFailed;
  }
  if (!trusted) {
    Fail("%s in %s is not a patch journal this patcher wrote (another owner, a link or not a "
         "file): nothing was changed; check the directory, then remove it",
         kJournalName);
    return kRecoveryFailed;
  }
  if (!steps_) {
    Fail("the patch journal %s in %s is damaged: nothing was done; check the directory, then "
         "remove the journal",
         kJournalName);
    return kRecoveryFailed;
  }
  journal_on_disk_ = true;
  const Goal goal = Resolve(phase);
  free(steps_);
  steps_ = nullptr;
  count_ = 0;
  folders_.Clear();
  if (goal == kGoalNone) return kRecoveryFailed;
  return goal == kGoalForward ? kRecoveryFinished : kRecoveryUndone;
}

// A number whose name is free in `dir` (null: a folder the patch is still
// to make, where every name is). The numbers go on past 0xffff (with more
// digits), so they cannot run out before the entries do; the probes are
// bounded all the same.
int Transaction::NextFreeNumber(platform::Directory* dir, uint32_t* number) {
  char temp[kTempNameBuffer];
  for (; probes_left_ && next_number_ != kNoFile; --probes_left_, ++next_number_) {
    Temp(next_number_, temp);
    const platform::Presence presence = dir ? ops_.LookUp(dir, temp) : platform::kAbsent;
    if (presence == platform::kUnknown)
      return Fail("cannot tell whether %s in %s is free (%s): nothing was changed", temp, Said());
    if (presence == platform::kAbsent) {
      *number = next_number_++;
      return 1;
    }
  }
  return FailIn("no free name for a temporary file in %s: nothing was changed");
}

// Entry `name` cannot go into `folder`, which is no folder the patch may
// enter, or could not be looked up.
int Transaction::FolderFault(const char* name, const Folders::Entry* folder) {
  if (folder->state == kFolderOther)
    return FormatFault(fault_, fault_size_,
                       "%s: %s in %s is not a folder (a file, a link or a junction stands "
                       "there): nothing was changed",
                       name, folder->path, directory_);
  return FormatFault(fault_, fault_size_,
                     "%s: cannot look up its folder %s in %s: nothing was changed", name,
                     folder->path, directory_);
}

// Notes that the file `name`, which the patch would remove, is not the old
// release's, so it stays. The patch goes on.
void Transaction::Kept(const char* name) {
  if (!kFaultTexts || !fault_ || !fault_size_) return;
  const size_t used = strlen(fault_);
  FormatFault(fault_ + used, fault_size_ - used,
              "%s%s in %s is not the old version's file, so it was kept", used ? "; " : "",
              name, directory_);
}

// The plan for the first base the installation is as a whole: of each
// base in turn, the entries for it planned, until one finds every old
// file its deltas are made from. Nothing is written meanwhile.
int Transaction::Plan(ApplyStatus* status) {
  for (int base = 0;; folders_.Clear()) {
    if (entries_->bases() > 1 && !entries_->Select(base, fault_, fault_size_)) return 0;
    if (PlanBase(status)) return 1;
    if (*status != kApplyOldFileMismatch || ++base == entries_->bases()) return 0;
    *status = kApplyFailed;
    if (kFaultTexts && fault_ && fault_size_) *fault_ = 0;
  }
}

// The commit's plan: each folder to make, then each entry's exact path (an
// existing file's and folder's own spelling), its temporary, and a backup
// with the size and CRC-32C of the file it replaces or removes.
int Transaction::PlanBase(ApplyStatus* status) {
  const int entries = entries_->count();
  // The folders the new files go into, found (or found missing) first:
  // each missing one is made at staging, parents before children.
  for (int i = 0; i < entries; ++i) {
    const PayloadEntry& e = (*entries_)[i];
    if (e.removal) continue;
    const Folders::Entry* folder = folders_.Of(e.name);
    if (!folder) return FailIn("no memory for the patch of %s");
    // A folder below one that is no folder, or unknown, is looked up as
    // that one is (Folders::Child), so that one stops it too; the topmost
    // of them is the one to name.
    if (folder->state == kFolderOther || folder->state == kFolderUnknown) {
      while (folders_.Parent(folder)->state == folder->state) folder = folders_.Parent(folder);
      return FolderFault(e.name, folder);
    }
  }
  // A step for each folder at most.
  const int most = folders_.count() + entries + 1;
  free(steps_);
  free(entry_of_);
  steps_ = static_cast<JournalStep*>(calloc(most, sizeof(JournalStep)));
  entry_of_ = static_cast<int*>(calloc(most, sizeof(int)));
  if (!steps_ || !entry_of_) return FailIn("no memory for the patch of %s");
  count_ = 0;
  for (int j = 0; j < folders_.count(); ++j) {
    if (folders_[j].state != kFolderMissing) continue;
    JournalStep& s = steps_[count_];
    const size_t length = strlen(folders_[j].path);
    if (length >= static_cast<size_t>(kStepNameField))
      return Fail("%s: the folder's path in %s is too long", folders_[j].path);
    memcpy(s.name, folders_[j].path, length + 1);
    s.kind = kStepFolder;
    s.temp = s.backup = kNoFile;
    entry_of_[count_++] = -1;
  }
  probes_left_ = 2 * static_cast<uint32_t>(entries) + kSpareProbes;
  for (int i = 0; i < entries; ++i) {
    const PayloadEntry& e = (*entries_)[i];
    const char* name = e.name;
    const Folders::Entry* folder = folders_.Of(name);
    if (!folder) return FailIn("no memory for the patch of %s");
    // Nothing to remove where its folder is not.
    if (e.removal && folder->state != kFolderOpen) {
      if (folder->state == kFolderUnknown) return FolderFault(name, folder);
      continue;
    }
    platform::Directory* dir = folder->state == kFolderOpen ? folder->dir : nullptr;
    JournalStep& s = steps_[count_];
    memset(&s, 0, sizeof s);  // what a skipped entry left
    char found[platform::kPathBuffer];
    const platform::TargetState state =
        dir ? ops_.Find(dir, Leaf(name), found) : platform::kTargetMissing;
    if (state == platform::kTargetBlocked) {
      *status = kApplyInUse;
      return Fail("%s: the file in %s is %s: nothing was changed", name, Said());
    }
    if (state == platform::kTargetElsewhere)
      return Fail("%s: the name in %s reaches another file or leads out of the directory", name);
    if (state == platform::kTargetUnknown)
      return Fail("%s: cannot look it up in %s (%s): nothing was changed", name, Said());
    // The path as it is on the disk: its folder's spelling, then the file's.
    const char* exact = state == platform::kTargetMissing ? Leaf(name) : found;
    const size_t folder_length = strlen(folder->path), length = strlen(exact);
    if (folder_length + 1 + length >= static_cast<size_t>(kStepNameField))
      return Fail("%s: the existing file's name in %s cannot be replaced", name);
    Join(s.name, folder->path, folder_length, exact);
    if (CheckEntryPath(s.name, kNameForReading) != kNameFine)
      return Fail("%s: the existing file's name in %s cannot be replaced", name);
    s.kind = e.removal ? kStepRemoval : kStepFile;
    s.temp = s.backup = kNoFile;
    if (e.removal && state == platform::kTargetMissing) continue;  // gone already
    if (!e.removal && !NextFreeNumber(dir, &s.temp)) return 0;
    const bool delta = IsDelta(e);
    if (state != platform::kTargetReplaceable) {
      if (delta) return OldFileDiffers(status, name);
      entry_of_[count_++] = i;
      continue;
    }
    if (!NextFreeNumber(dir, &s.backup)) return 0;
    // The old file's contents, so that only it is ever restored.
    platform::File* file = nullptr;
    platform::FileFacts facts;
    const bool read = ops_.OpenExisting(dir, exact, &file, &facts) == platform::kPresent &&
                      file && ReadFileCrc(ops_, file, facts.size, &s.old_crc);
    if (file) ops_.Release(file);
    if (!read) return Fail("%s: cannot read the file in %s (%s): nothing was changed", name, Said());
    s.old_size = facts.size;
    s.old_id[0] = facts.id[0];
    s.old_id[1] = facts.id[1];
    // A delta is made from one old file: that one, or no patch at all. A
    // removal takes only the old release's own file.
    const bool same = s.old_size == e.old_size && s.old_crc == e.old_crc;
    if (delta && !same) return OldFileDiffers(status, name);
    if (e.removal && !same) {
      Kept(s.name);
      continue;
    }
    entry_of_[count_++] = i;
  }
  return HasRoom();
}

// Whether the volume has room for what staging writes: each temporary,
// each folder, and the journal twice (the next one is written beside
// it). A new file known to be its old one gets no temporary; a backup is
// a rename. When the system cannot tell, the patch goes on: a write that
// finds the disk full is undone as any failure is.
int Transaction::HasRoom() {
  uint64_t bytes = 0, journal = 24, lacking = 0;
  uint32_t files = 2;
  for (int i = 0; i < count_; ++i) {
    const JournalStep& s = steps_[i];
    journal += 64 + strlen(s.name);
    if (s.kind == kStepRemoval) continue;
    ++files;
    if (s.kind != kStepFile) continue;
    const PayloadEntry& e = (*entries_)[entry_of_[i]];
    if (s.backup != kNoFile && e.new_crc && s.old_size == e.expanded_length &&
        s.old_crc == e.new_crc)
      --files;
    else
      bytes += e.expanded_length;
  }
  if (ops_.RoomFor(dir_, bytes + 2 * journal, files, &lacking) || !lacking) return 1;
  Said();  // (what lzcx's status tells)
  return FormatFault(fault_, fault_size_,
                     "%s: not enough free space: %u MB more needed; nothing was changed",
                     directory_, static_cast<unsigned>((lacking + (1u << 20) - 1) >> 20));
}

int Transaction::OldFileDiffers(ApplyStatus* status, const char* name) {
  *status = kApplyOldFileMismatch;
  return Fail("%s: the file in %s is missing or not the version this patch was made from: "
              "nothing was changed",
              name);
}

const char kCannotReadOld[] = "%s: cannot read the file it replaces in %s: %s";

// A file the patch writes; without one, the bytes are only summed.
class FileSink : public ByteSink {
 public:
  FileSink(FileOps& ops, platform::File* file) : ops_(ops), file_(file) {}
  bool failed = false;

 protected:
  int Put(const uint8_t* data, uint32_t size) override {
    return !file_ || ops_.Write(file_, data, size) == size || (failed = true, 0);
  }

 private:
  FileOps& ops_;
  platform::File* file_;
};

// The old file a delta entry is made from, read through a window of
// bounded size, by position. A read that fails or comes up short (the
// file changed since it was planned) stops the decode.
class OldFile : public OldBytes {
 public:
  OldFile(FileOps& ops, platform::File* file, uint32_t size) : ops_(ops), file_(file), size_(size) {}
  ~OldFile() { free(window_); }
  bool failed = false;
  const uint8_t* At(uint32_t pos, uint32_t* available) override {
    if (pos - base_ >= length_) {
      // A delta seeks back a little as often as forward: the window starts
      // at a multiple of half its size, so that at least half of it lies
      // beyond the byte asked for and whatever of that half lies before.
      base_ = pos & ~(kWindow / 2 - 1);
      length_ = size_ - base_ < kWindow ? size_ - base_ : kWindow;
      uint32_t got = 0;
      if ((!window_ && !(window_ = static_cast<uint8_t*>(malloc(kWindow)))) ||
          !ops_.ReadFrom(file_, base_, window_, length_, &got) || got != length_) {
        length_ = 0;
        failed = true;
        return nullptr;
      }
    }
    *available = length_ - (pos - base_);
    return window_ + (pos - base_);
  }

 private:
  static const uint32_t kWindow = 4u << 20;
  FileOps& ops_;
  platform::File* file_;
  uint32_t size_;
  uint8_t* window_ = nullptr;
  uint32_t base_ = 0, length_ = 0;
};

// Writes entry `i`'s temporary, or none when the new file is the old one
// byte for byte: that step has nothing to do, and the commit leaves it out.
// The entry is decoded into the file a piece at a time.
int Transaction::WriteEntry(int i) {
  const PayloadEntry& e = (*entries_)[entry_of_[i]];
  JournalStep& s = steps_[i];
  if (progress_) progress_->writing = e.name;
  platform::Directory* dir = folders_.DirOf(s.name);
  s.new_size = e.expanded_length;
  s.new_crc = e.new_crc;
  // A delta reads the file it replaces, the very size that was planned.
  platform::File* old_file = nullptr;
  platform::FileFacts facts;
  if (IsDelta(e) && !(dir && ops_.OpenExisting(dir, Leaf(s.name), &old_file, &facts) ==
                                 platform::kPresent &&
                      old_file && facts.size == e.old_size)) {
    if (old_file) ops_.Release(old_file);
    return Fail(kCannotReadOld, e.name, Said());
  }
  OldFile old(ops_, old_file, static_cast<uint32_t>(e.old_size));
  int ok = 1;
  // Of the same size, the new file may be the old one: decoded once for
  // its CRC-32C when the payload does not say it.
  if (s.backup != kNoFile && s.old_size == s.new_size && !e.crc_known) {
    FileSink sum(ops_, nullptr);
    if (!entries_->Decode(entry_of_[i], &old, &sum, fault_, fault_size_))
      ok = old.failed ? Fail(kCannotReadOld, e.name, Said()) : 0;
    s.new_crc = sum.crc;
  }
  if (ok && !Alike(s)) {
    char temp[kTempNameBuffer];
    platform::File* file = dir ? ops_.CreateNew(dir, Temp(s.temp, temp)) : nullptr;
    FileSink sink(ops_, file);
    // What the administrator set on the old file passes to the new one.
    const bool kept = file && (s.backup == kNoFile || ops_.KeepPermissions(dir, Leaf(s.name), file));
    const bool decoded = kept && entries_->Decode(entry_of_[i], &old, &sink, fault_, fault_size_);
    s.new_crc = sink.crc;
    const char* said = Said();  // the creation's, the permissions', the read's or the write's
    const bool closed = file && ops_.Close(file) != 0;
    if (!file) ok = Fail("%s: cannot create a file in %s: %s", e.name, said);
    else if (!kept)
      ok = Fail("%s: cannot give the new file the permissions of the old one in %s: %s", e.name,
                said);
    else if (old.failed) ok = Fail(kCannotReadOld, e.name, said);
    else if (sink.failed) ok = Fail("%s: could not write all of it in %s: %s", e.name, said);
    else if (!decoded) ok = 0;
    else if (!closed) ok = Fail("%s: could not finish writing it in %s: %s", e.name, Said());
  }
  if (old_file) ops_.Release(old_file);
  return ok;
}

// Puts a journal of `phase` in place: complete, flushed, and renamed over
// the last one, with the directory synced on both sides of the rename.
int Transaction::WriteJournal(JournalPhase phase) {
  size_t size = 0;
  uint8_t* bytes = EncodeJournal(phase, steps_, count_, &size);
  if (!bytes || size > kJournalLimit) {
    free(bytes);
    return FailIn("no memory for the patch of %s");
  }
  platform::File* file = nullptr;
  int ok = DropJournalNew() && (file = ops_.CreateNew(dir_, kJournalNewName)) != nullptr;
  if (file) {
    ok = ops_.Write(file, bytes, static_cast<uint32_t>(size)) == size;
    ok = ops_.Close(file) && ok;
  }
  free(bytes);
  // (Before the first journal of a patch nothing was done that it depends on.)
  ok = ok && (!journal_on_disk_ || folders_.Sync()) &&
       ops_.Rename(dir_, kJournalNewName, kJournalName, 1);
  if (ok) journal_on_disk_ = true;
  ok = ok && ops_.Sync(dir_);
  if (!ok) {
    FailIn("cannot write the patch journal in %s: %s", Said());
    int dropped;
    {
      FaultMuted muted(fault_);
      dropped = !file || DropJournalNew();
    }
    if (!dropped) NeedsRecovery();
  }
  return ok;
}

// Makes the folder of step `s`, inside its parent, which is there by now.
int Transaction::MakeFolder(const JournalStep& s) {
  Folders::Entry* folder = folders_.Get(s.name, strlen(s.name));
  const Folders::Entry* parent = folder ? folders_.Parent(folder) : nullptr;
  if (parent && parent->dir && (folder->dir = ops_.CreateFolder(parent->dir, Leaf(s.name)))) {
    folder->state = kFolderOpen;
    folder->own = true;
    return 1;
  }
  Fail("%s: cannot make the folder in %s: %s", s.name, Said());
  // Made but not opened, perhaps: the undo takes what stands there now.
  if (parent && parent->dir) folders_.Look(folder, parent->dir, Leaf(s.name));
  return 0;
}

int Transaction::Stage() {
  int ok = WriteJournal(kPhaseStaging);
  if (!ok) return journal_on_disk_ ? (TakeBack(kPhaseStaging), 0) : 0;
  for (int i = 0; ok && i < count_; ++i) {
    if (steps_[i].kind == kStepFolder) ok = MakeFolder(steps_[i]);
    else if (steps_[i].kind == kStepFile) ok = WriteEntry(i);
  }
  // The commit names only the steps that change a file.
  int kept = 0;
  for (int i = 0; ok && i < count_; ++i)
    if (!Alike(steps_[i])) steps_[kept++] = steps_[i];
  if (ok) count_ = kept;
  if (ok && WriteJournal(kPhaseCommit)) return 1;
  TakeBack(kPhaseStaging);
  return 0;
}

// Puts step `s`'s temporary in place, as the very file that was written:
// whole (size and CRC-32C as the journal says) and the patch's own when
// it is taken, held while it moves (Windows), and found at the name after
// (POSIX). Zero with the fault said.
int Transaction::Install(platform::Directory* dir, const JournalStep& s) {
  char temp[kTempNameBuffer];
  platform::File* file = nullptr;
  const bool whole = Examine(dir, Temp(s.temp, temp), s, kRoleTemp, true, &file) == kHoldsNew;
  const int moved = whole && ops_.RenameOpen(dir, file, temp, Leaf(s.name));
  if (file) ops_.Release(file);
  if (moved) return 1;
  if (!whole)
    return Fail("%s: the new file written for it in %s was changed or replaced before it could "
                "be put in place",
                s.name);
  return Fail("%s: cannot move the new file into place in %s (the rename failed, or another "
              "file had taken the new file's place): %s",
              s.name, Said());
}

int Transaction::Commit() {
  char backup[kTempNameBuffer];
  int i = 0;
  for (; i < count_; ++i) {
    const JournalStep& s = steps_[i];
    if (s.kind == kStepFolder) continue;  // made at staging
    // Staging made or opened every folder of a step.
    platform::Directory* dir = folders_.DirOf(s.name);
    if (s.backup != kNoFile &&
        !(dir && ops_.Rename(dir, Leaf(s.name), Temp(s.backup, backup), 0))) {
      Fail("%s: cannot move the old file aside in %s: %s", s.name, Said());
      break;
    }
    if (s.kind == kStepFile && !(dir && Install(dir, s))) break;
  }
  if (i == count_) {
    if (folders_.Sync()) return 1;
    FailIn("%s: cannot make the new files durable: %s", Said(true));
  }
  // Undone, the directory is as it was; when only going on could make it
  // whole, every new file is in place and the patch has been made.
  if (TakeBack(kPhaseRollBack) != kGoalForward) return 0;
  if (kFaultTexts && fault_ && fault_size_) {
    const size_t used = strlen(fault_);
    FormatFault(fault_ + used, fault_size_ - used,
                "; it could not be undone, so the patch was finished");
  }
  return 1;
}

// Takes back what the patch did, keeping the first fault as the one to
// report; when that fails too, says the directory needs recovery. The goal
// reached.
Goal Transaction::TakeBack(JournalPhase phase) {
  Goal goal;
  {
    FaultMuted muted(fault_);
    // Worth writing, not worth stopping for: from the commit phase recovery
    // goes back too while any new file is not in place.
    if (phase == kPhaseRollBack) WriteJournal(kPhaseRollBack);
    goal = Resolve(phase);
  }
  if (goal == kGoalNone) NeedsRecovery();
  return goal;
}

// Adds to the fault that the directory needs recovery. Zero.
int Transaction::NeedsRecovery() {
  needs_recovery_ = true;
  if (!kFaultTexts || !fault_ || !fault_size_) return 0;
  const size_t used = strlen(fault_);
  return FormatFault(fault_ + used, fault_size_ - used,
                     "; undoing it failed too, so %s needs recovery: the next run of the patch "
                     "restores it, or says what is in its way",
                     directory_);
}

// Removes the old files, now that every new file is in place for good,
// then the journal: the recovery of a finished commit. Zero when anything
// is left for the next run (a backup that is no longer the patch's own
// stays, and the journal with it).
int Transaction::Finish() {
  if (!journal_on_disk_) return 1;  // finished already, by the undo that could only go on
  FaultMuted muted(fault_);
  return Resolve(kPhaseCommit, false) == kGoalForward;
}

}  // namespace

int ReadFileCrc(FileOps& ops, platform::File* file, uint64_t size, uint32_t* crc) {
  uint8_t* chunk = static_cast<uint8_t*>(malloc(kReadChunk));
  uint64_t done = 0;
  uint32_t sum = 0, got = 0;
  int ok = chunk != nullptr;
  while (ok && (ok = ops.ReadFrom(file, done, chunk, kReadChunk, &got)) && got) {
    sum = Crc32c(sum, chunk, got);
    done += got;
  }
  ok = ok && done == size;
  free(chunk);
  *crc = sum;
  return ok;
}

namespace {

// ApplyEntries, which with kSaysPlan also says what its plan does with
// each entry: the program, which never asks, carries none of that.
template <bool kSaysPlan>
int Apply(const PatchEntries& entries, const char* directory, FileOps& ops, char* fault,
          size_t fault_size, ApplyStatus* status, PlannedEntry* planned,
          PatchProgress* progress) {
  if (fault && fault_size) *fault = 0;
  ApplyStatus ignored;
  if (!status) status = &ignored;
  *status = kApplyFailed;
  if (!CheckApplicable(entries, fault, fault_size)) return 0;
  Transaction patch(directory, &entries, ops, fault, fault_size, progress);
  if (!patch.Open(status)) return 0;
  if (patch.Recover() == kRecoveryFailed) {
    // The recovery's own text says what is wrong: a patch it could not
    // finish or undo, or a journal it does not trust or cannot read.
    if (patch.needs_recovery()) *status = kApplyNeedsRecovery;
    return 0;
  }
  const bool planned_ok = patch.Plan(status);
  // What the plan says of each entry, read before staging changes it.
  if (kSaysPlan && planned_ok) patch.Planned(planned);
  if (!planned_ok || !patch.Stage() || !patch.Commit()) {
    if (patch.needs_recovery()) *status = kApplyNeedsRecovery;
    return 0;
  }
  *status = kApplyPatched;
  // Every new file is in place for good: the patch has succeeded, whatever
  // is left of it, which the next run removes.
  if (!patch.Finish())
    FormatFault(fault, fault_size,
                "patched, but %s still holds files of the patch: the next run removes them",
                directory);
  return 1;
}

}  // namespace

int ApplyPayload(const uint8_t* data, size_t size, const char* directory,
                 FileOps& ops, char* fault, size_t fault_size, ApplyStatus* status,
                 PatchProgress* progress) {
  PatchEntries entries;
  if (!entries.Read(data, size, nullptr, fault, fault_size)) {
    if (status) *status = kApplyFailed;
    return 0;
  }
  return Apply<false>(entries, directory, ops, fault, fault_size, status, nullptr, progress);
}

int ApplyEntries(const PatchEntries& entries, const char* directory, FileOps& ops,
                 char* fault, size_t fault_size, ApplyStatus* status, PlannedEntry* planned,
                 PatchProgress* progress) {
  return planned
             ? Apply<true>(entries, directory, ops, fault, fault_size, status, planned, progress)
             : Apply<false>(entries, directory, ops, fault, fault_size, status, nullptr, progress);
}

int PlanEntries(const PatchEntries& entries, const char* directory, FileOps& ops,
                PlannedEntry* planned, char* fault, size_t fault_size, ApplyStatus* status) {
  if (fault && fault_size) *fault = 0;
  ApplyStatus ignored;
  if (!status) status = &ignored;
  *status = kApplyFailed;
  if (!CheckApplicable(entries, fault, fault_size)) return 0;
  Transaction patch(directory, &entries, ops, fault, fault_size);
  if (!patch.OpenToLook() || !patch.Plan(status)) return 0;
  patch.Planned(planned);
  *status = kApplyPatched;
  return 1;
}

int VerifyPayload(const uint8_t* data, size_t size, const char* directory,
                  char* fault, size_t fault_size, uint64_t* total,
                  PayloadIntegrity* integrity) {
  PatchEntries entries;
  return entries.Read(data, size, integrity, fault, fault_size) &&
         entries.CheckPaths(directory, fault, fault_size) &&
         entries.CheckDecodes(total, fault, fault_size);
}

RecoveryResult RecoverDirectory(const char* directory, FileOps& ops, char* fault,
                                size_t fault_size, ApplyStatus* status) {
  if (fault && fault_size) *fault = 0;
  ApplyStatus ignored;
  if (!status) status = &ignored;
  *status = kApplyFailed;
  Transaction patch(directory, nullptr, ops, fault, fault_size);
  if (!patch.Open(status)) return *status == kApplyBusy ? kRecoveryBusy : kRecoveryFailed;
  const RecoveryResult result = patch.Recover();
  if (patch.needs_recovery()) *status = kApplyNeedsRecovery;
  return result;
}

int InterruptedPatchNames(const char* directory, const char* name) {
  FileOps ops;
  platform::Directory* dir = ops.Open(directory);
  if (!dir) return 0;
  bool trusted;
  JournalPhase phase;
  JournalStep* steps = nullptr;
  int count = 0, named = 0;
  LoadJournal(ops, dir, &trusted, &phase, &steps, &count);
  for (int i = 0; steps && i < count; ++i) named |= platform::SameFileName(steps[i].name, name);
  free(steps);
  ops.CloseDirectory(dir);
  return named;
}

int PathHolds(FileOps& ops, platform::Directory* dir, const char* path, uint64_t size,
              uint32_t crc, bool* present) {
  *present = false;
  Folders folders(ops);
  folders.SetTop(dir);
  const Folders::Entry* folder = folders.Of(path);
  if (!folder || folder->state == kFolderUnknown) return -1;
  if (folder->state != kFolderOpen) return 0;
  char found[platform::kPathBuffer];
  const platform::TargetState state = ops.Find(folder->dir, Leaf(path), found);
  if (state == platform::kTargetMissing) return 0;
  if (state == platform::kTargetUnknown) return -1;
  *present = true;
  platform::File* file = nullptr;
  platform::FileFacts facts;
  if (state == platform::kTargetElsewhere ||
      ops.OpenExisting(folder->dir, found, &file, &facts) != platform::kPresent || !file)
    return 0;
  uint32_t got = 0;
  const int read = facts.size == size && ReadFileCrc(ops, file, size, &got);
  ops.Release(file);
  return read && got == crc;
}

int PatchApplier(const char* directory, PatchProgress* progress) {
  const uint8_t* data;
  uint32_t size;
  if (!platform::LoadPayloadResource(&data, &size)) return 0;
  FileOps ops;
  return ApplyPayload(data, size, directory, ops, nullptr, 0, nullptr, progress);
}
