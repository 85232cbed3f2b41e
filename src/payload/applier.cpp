#include "payload/applier.h"

#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/fault.h"
#include "payload/names.h"
#include "payload/journal.h"

namespace {

// The bytes an entry writes: a stored entry's data in place, or a block
// decoded into `*buffer` (allocated here, freed by the caller). Zero with a
// fault text when the block does not decode to exactly its length.
int EntryBytes(const PayloadEntry& e, const uint8_t** bytes, uint8_t** buffer,
               char* fault, size_t fault_size) {
  *buffer = nullptr;
  if (!e.compressed) {
    *bytes = e.data;
    return 1;
  }
  // Never a zero-byte request: an empty block still gets a real buffer.
  *buffer = static_cast<uint8_t*>(malloc(e.expanded_length ? e.expanded_length : 1));
  if (!*buffer)
    return FormatFault(fault, fault_size, "%s: no memory for %u bytes", e.name,
                e.expanded_length);
  BlockFault why = kBlockFine;
  uint32_t produced = BlockDecoder(e.data, e.size, *buffer, &why);
  if (produced != e.expanded_length) {
    free(*buffer);
    *buffer = nullptr;
    return FormatFault(fault, fault_size, "%s: %s", e.name, BlockFaultText(why));
  }
  *bytes = *buffer;
  return 1;
}

// A patch of one directory: the entries to write, and the steps of the
// commit (from the entries, or from the journal of an interrupted patch).
//
// Durability. The phases are ordered by the journal: each rewrite of it is
// flushed, the directory synced, the journal renamed into place and the
// directory synced again, so every file created or renamed before a phase
// is on the disk before the journal says that phase, and the phase before
// anything of the next. Within the swap no sync is needed after each
// rename: a journaling file system keeps them in order, and recovery
// decides from the names it finds, so it finishes or undoes whatever prefix
// of them the disk kept. The directory is synced once after the swap,
// before any old file is removed, and again before the journal goes.
class Patch {
 public:
  Patch(const char* directory, FileOps& ops, char* fault, size_t fault_size)
      : directory_(directory), dir_length_(strlen(directory)), ops_(ops), fault_(fault),
        fault_size_(fault_size), dir_(nullptr), entries_(nullptr), steps_(nullptr),
        count_(0), step_count_(0), journal_phase_(0), next_number_(0) {}
  ~Patch() {
    free(entries_);
    free(steps_);
    if (dir_) ops_.CloseDirectory(dir_);
  }

  int Read(const uint8_t* data, size_t size, PayloadIntegrity* integrity = nullptr);
  int Open();
  int Recover();
  int Plan();
  int Stage();
  int Commit();
  int Finish();
  int CheckDecodes(uint64_t* total);
  ApplyStatus status() const { return status_; }

 private:
  // A fault about entry or file `name` in the directory: `format` takes
  // the name, then the directory.
  int Fail(const char* format, const char* name) {
    return FormatFault(fault_, fault_size_, format, name, directory_);
  }
  // A fault about the directory: `format` takes it alone.
  int FailIn(const char* format) { return FormatFault(fault_, fault_size_, format, directory_); }
  int NeedsRecovery();
  const char* Temp(uint32_t number, char* buffer) {
    TempName(number, buffer);
    return buffer;
  }
  int Drop(const char* name) {
    return !ops_.Taken(dir_, name) || ops_.Remove(dir_, name);
  }
  int NextFreeNumber(uint32_t* number);
  int WriteEntry(int i, int* made);
  int WriteJournal(uint32_t phase);
  int Undo();
  int Clear(int temps);
  int TakeBack(bool undo, int temps);

  const char* directory_;
  size_t dir_length_;
  FileOps& ops_;
  char* fault_;
  size_t fault_size_;
  platform::Directory* dir_;
  PayloadEntry* entries_;  // the entries to write: the last of each name
  JournalStep* steps_;     // one per entry, in the same order
  int count_;
  int step_count_;
  uint32_t journal_phase_;  // the phase the journal on the disk may say; 0: none
  uint32_t next_number_;
  ApplyStatus status_ = kApplyFailed;
  char temp_[kTempNameBuffer];
  char other_[kTempNameBuffer];
};

int Patch::Read(const uint8_t* data, size_t size, PayloadIntegrity* integrity) {
  // The whole container is checked, its checksums included, before
  // anything is written.
  if (!CheckPayloadIntegrity(data, size, integrity, fault_, fault_size_)) return 0;
  PayloadReader reader(data, size);
  if (!reader.Start()) return FormatFault(fault_, fault_size_, "%s", reader.fault_text());
  if (dir_length_ + kTempNameLength >= static_cast<size_t>(platform::kPathBuffer))
    return FormatFault(fault_, fault_size_, "directory path too long: %s", directory_);
  // Every entry takes at least a header, so the count is bounded by the
  // bytes present before anything is allocated for it.
  const size_t most = (size - 4) / kEntryHeaderSize;
  if (static_cast<size_t>(reader.count()) > most)
    return FormatFault(fault_, fault_size_,
                  "entry count %d is more than the payload can hold", reader.count());
  entries_ = static_cast<PayloadEntry*>(calloc(reader.count(), sizeof(PayloadEntry)));
  if (!entries_) return FormatFault(fault_, fault_size_, "%s", "no memory for the entry list");
  for (int i = 0; i < reader.count(); ++i) {
    PayloadEntry& e = entries_[i];
    if (!reader.Next(&e)) return FormatFault(fault_, fault_size_, "%s", reader.fault_text());
    if (dir_length_ + strlen(e.name) >= static_cast<size_t>(platform::kPathBuffer))
      return Fail("%s: path in %s would be too long", e.name);
  }
  // Only the last entry of a name is written.
  count_ = KeepLastOfEachName(entries_, reader.count());
  if (count_ < 0) return FormatFault(fault_, fault_size_, "%s", "no memory for the entry list");
  return 1;
}

int Patch::Open() {
  dir_ = ops_.Open(directory_);
  if (!dir_)
    return FailIn("cannot open the directory %s: missing, not a directory, or a link");
  return 1;
}

// Finishes or undoes what an interrupted patch left, from its journal. A
// RecoveryResult; on failure the journal stays for the next run.
int Patch::Recover() {
  if (!ops_.Taken(dir_, kJournalName)) {
    // A journal begun but never put in place: nothing was done after it.
    if (Drop(kJournalNewName)) return kRecoveryNone;
    return Fail("cannot remove %s in %s", kJournalNewName);
  }
  uint32_t size = 0, phase = 0;
  uint8_t* bytes = ops_.Read(dir_, kJournalName, kJournalLimit, &size);
  if (!bytes) return Fail("cannot read the patch journal %s in %s", kJournalName);
  const int read = DecodeJournal(bytes, size, &phase, &steps_, &step_count_);
  free(bytes);
  if (!read)
    return Fail("the patch journal %s in %s is damaged: nothing was done; check the "
                "directory, then remove the journal",
                kJournalName);
  journal_phase_ = phase;
  int result = kRecoveryUndone;
  // In the commit phase a temporary left means a new file not in place,
  // so the patch is undone; with none left it is finished. Only a sure
  // answer counts: were old files removed already, undoing on a guess
  // would lose them.
  bool left = phase != kPhaseCommit, unsure = false;
  for (int i = 0; i < step_count_ && !left; ++i) {
    const int taken = ops_.Taken(dir_, Temp(steps_[i].temp, temp_));
    left = taken == 1;
    unsure = unsure || taken == 2;
  }
  if (!left && unsure) {
    result = FailIn("cannot tell what the interrupted patch in %s left");
  } else if (!Drop(kJournalNewName)) {
    result = Fail("cannot remove %s in %s", kJournalNewName);
  } else if (!left) {
    // No temporary left: every new file is in place.
    result = Finish() ? kRecoveryFinished
                      : FailIn("cannot remove the old files of the interrupted patch in %s");
  } else if (!TakeBack(phase != kPhaseStaging, step_count_)) {
    result = FailIn("cannot undo the interrupted patch in %s");
  }
  free(steps_);
  steps_ = nullptr;
  step_count_ = 0;
  journal_phase_ = 0;
  return result;
}

// A number whose name is free in the directory. The numbers go on past
// 0xffff (with more digits), so they cannot run out before the entries do.
int Patch::NextFreeNumber(uint32_t* number) {
  for (; next_number_ != kNoFile; ++next_number_) {
    if (dir_length_ + strlen(Temp(next_number_, temp_)) >= static_cast<size_t>(platform::kPathBuffer))
      break;
    const int taken = ops_.Taken(dir_, temp_);
    if (taken == 2) break;
    if (!taken) {
      *number = next_number_++;
      return 1;
    }
  }
  return FailIn("no free name for a temporary file in %s");
}

// The commit's plan: each entry's exact name (an existing file's own
// spelling), its temporary, and a backup for the file it replaces.
int Patch::Plan() {
  steps_ = static_cast<JournalStep*>(calloc(count_, sizeof(JournalStep)));
  if (!steps_) return FailIn("no memory for the patch of %s");
  for (; step_count_ < count_; ++step_count_) {
    JournalStep& s = steps_[step_count_];
    const char* name = entries_[step_count_].name;
    char found[platform::kPathBuffer];
    const platform::TargetState state = ops_.Find(dir_, name, found);
    if (state == platform::kTargetBlocked) {
      status_ = kApplyInUse;
      return Fail("%s: the file in %s is read-only, in use or a directory", name);
    }
    if (state == platform::kTargetElsewhere)
      return Fail("%s: the name in %s reaches another file or leads out of the directory", name);
    const char* exact = state == platform::kTargetMissing ? name : found;
    if (strlen(exact) >= static_cast<size_t>(kStepNameField) ||
        dir_length_ + strlen(exact) >= static_cast<size_t>(platform::kPathBuffer) ||
        CheckEntryName(exact, kNameForReading) != kNameFine || IsPatchFileName(exact))
      return Fail("%s: the existing file's name in %s cannot be replaced", name);
    memcpy(s.name, exact, strlen(exact) + 1);
    s.backup = kNoFile;
    if (!NextFreeNumber(&s.temp)) return 0;
    if (state == platform::kTargetReplaceable && !NextFreeNumber(&s.backup)) return 0;
  }
  return 1;
}

int Patch::WriteEntry(int i, int* made) {
  const PayloadEntry& e = entries_[i];
  platform::File* file = ops_.CreateNew(dir_, Temp(steps_[i].temp, temp_));
  if (!file) return Fail("%s: cannot create a file in %s", e.name);
  ++*made;
  const uint8_t* bytes = nullptr;
  uint8_t* buffer = nullptr;
  if (!EntryBytes(e, &bytes, &buffer, fault_, fault_size_)) {
    ops_.Close(file);
    return 0;
  }
  const uint32_t length = e.expanded_length;
  const bool written = length == 0 || ops_.Write(file, bytes, length) == length;
  free(buffer);
  const bool closed = ops_.Close(file) != 0;
  if (!written) return Fail("%s: could not write all of it in %s", e.name);
  if (!closed) return Fail("%s: could not finish writing it in %s", e.name);
  return 1;
}

// Puts a journal of `phase` in place: complete, flushed, and renamed over
// the last one, with the directory synced on both sides of the rename.
int Patch::WriteJournal(uint32_t phase) {
  size_t size = 0;
  uint8_t* bytes = EncodeJournal(phase, steps_, step_count_, &size);
  if (!bytes || size > kJournalLimit) {
    free(bytes);
    return FailIn("no memory for the patch of %s");
  }
  platform::File* file = ops_.CreateNew(dir_, kJournalNewName);
  int ok = file != nullptr;
  if (file) {
    ok = ops_.Write(file, bytes, static_cast<uint32_t>(size)) == size;
    ok = ops_.Close(file) && ok;
  }
  free(bytes);
  // (Before the first journal of a patch nothing was done that it depends on.)
  ok = ok && (!journal_phase_ || ops_.Sync(dir_)) &&
       ops_.Rename(dir_, kJournalNewName, kJournalName, 1);
  if (ok) journal_phase_ = phase;
  ok = ok && ops_.Sync(dir_);
  if (!ok) {
    if (file) Drop(kJournalNewName);
    FailIn("cannot write the patch journal in %s");
  }
  return ok;
}

int Patch::Stage() {
  int made = 0;  // temporaries created, in the order of the steps
  int ok = WriteJournal(kPhaseStaging);
  for (int i = 0; ok && i < step_count_; ++i) ok = WriteEntry(i, &made);
  if (ok && WriteJournal(kPhaseCommit)) return 1;
  if (!TakeBack(false, made)) NeedsRecovery();
  return 0;
}

int Patch::Commit() {
  const char* why = "%s%s: cannot make the new files durable";
  const char* name = "";
  int i = 0;
  for (; i < step_count_; ++i) {
    const JournalStep& s = steps_[i];
    name = s.name;
    if (s.backup != kNoFile && !ops_.Rename(dir_, s.name, Temp(s.backup, other_), 0)) {
      why = "%s: cannot move the old file aside in %s";
      break;
    }
    if (!ops_.Rename(dir_, Temp(s.temp, temp_), s.name, 0)) {
      why = "%s: cannot move the new file into place in %s";
      break;
    }
  }
  if (i == step_count_) {
    if (ops_.Sync(dir_)) return 1;
    name = "";
  }
  Fail(why, name);
  if (!TakeBack(true, step_count_)) NeedsRecovery();
  return 0;
}

// Removes the old files, now that every new file is in place for good,
// then the journal. Zero when anything is left for the next run.
int Patch::Finish() {
  int ok = 1;
  for (int i = 0; i < step_count_ && ok; ++i) {
    if (steps_[i].backup != kNoFile) ok = Drop(Temp(steps_[i].backup, other_));
  }
  return ok && ops_.Sync(dir_) && ops_.Remove(dir_, kJournalName);
}

// Moves every new file back to its temporary and every old file back to
// its exact name, as far as the disk shows them moved, so that it can be
// repeated after a crash at any point. While a step's temporary is there,
// its new file is not in place (the commit moves the temporary last). A
// name that cannot be looked up stops it: a guess could leave a new file.
int Patch::Undo() {
  for (int i = 0; i < step_count_; ++i) {
    const JournalStep& s = steps_[i];
    const int temp = ops_.Taken(dir_, Temp(s.temp, temp_));
    const int placed = temp ? 0 : ops_.Taken(dir_, s.name);
    if (temp == 2 || placed == 2 || (placed && !ops_.Rename(dir_, s.name, temp_, 0)))
      return 0;
    if (s.backup == kNoFile) continue;
    const int backup = ops_.Taken(dir_, Temp(s.backup, other_));
    if (backup == 2 || (backup && !ops_.Rename(dir_, other_, s.name, 0))) return 0;
  }
  return 1;
}

// Removes the first `temps` temporaries and then the journal. The journal
// says the staging phase first, so that a crash in between leaves only
// temporaries for recovery to remove: were it to say commit, a removed
// temporary would pass for a new file in place.
int Patch::Clear(int temps) {
  if (journal_phase_ > kPhaseStaging && !WriteJournal(kPhaseStaging)) return 0;
  for (int i = 0; i < temps; ++i) {
    if (!Drop(Temp(steps_[i].temp, temp_))) return 0;
  }
  return Drop(kJournalNewName) && ops_.Sync(dir_) && Drop(kJournalName);
}

// Takes back what the patch did: undoes the swap (`undo`), then removes
// the first `temps` temporaries. The rolling-back phase is written first;
// should that fail, undoing is still safe, as recovery from the commit
// phase undoes too while any temporary is there.
int Patch::TakeBack(bool undo, int temps) {
  char* fault = fault_;
  fault_ = nullptr;  // the first fault is the one to report
  if (undo && journal_phase_ != kPhaseRollBack) WriteJournal(kPhaseRollBack);
  const int done = (!undo || Undo()) && Clear(temps);
  fault_ = fault;
  return done;
}

int Patch::NeedsRecovery() {
  status_ = kApplyNeedsRecovery;
  if (!kFaultTexts || !fault_ || !fault_size_) return 0;
  const size_t used = strlen(fault_);
  return FormatFault(fault_ + used, fault_size_ - used,
                     "; undoing it failed too, so %s needs recovery: running the patch again "
                     "restores it",
                     directory_);
}

int Patch::CheckDecodes(uint64_t* total) {
  uint64_t sum = 0;
  for (int i = 0; i < count_; ++i) {
    const uint8_t* bytes;
    uint8_t* buffer;
    if (!EntryBytes(entries_[i], &bytes, &buffer, fault_, fault_size_)) return 0;
    free(buffer);
    sum += entries_[i].expanded_length;
  }
  if (total) *total = sum;
  return 1;
}

}  // namespace

int ApplyPayload(const uint8_t* data, size_t size, const char* directory,
                 FileOps& ops, char* fault, size_t fault_size, ApplyStatus* status) {
  if (fault && fault_size) *fault = 0;
  ApplyStatus ignored;
  if (!status) status = &ignored;
  *status = kApplyFailed;
  Patch patch(directory, ops, fault, fault_size);
  if (!patch.Read(data, size) || !patch.Open()) return 0;
  if (!patch.Recover()) {
    // The recovery's own text says what is wrong.
    *status = kApplyNeedsRecovery;
    return 0;
  }
  if (!patch.Plan() || !patch.Stage() || !patch.Commit()) {
    *status = patch.status();
    return 0;
  }
  *status = kApplyPatched;
  // Every new file is in place for good: the patch has succeeded, whatever
  // is left of it, which the next run removes.
  if (!patch.Finish())
    FormatFault(fault, fault_size, "patched, but %s still holds files of the patch: the next run removes them",
         directory);
  return 1;
}

int VerifyPayload(const uint8_t* data, size_t size, const char* directory,
                  char* fault, size_t fault_size, uint64_t* total,
                  PayloadIntegrity* integrity) {
  FileOps unused;
  Patch patch(directory, unused, fault, fault_size);
  return patch.Read(data, size, integrity) && patch.CheckDecodes(total);
}

int RecoverDirectory(const char* directory, FileOps& ops, char* fault, size_t fault_size) {
  if (fault && fault_size) *fault = 0;
  Patch patch(directory, ops, fault, fault_size);
  return patch.Open() ? patch.Recover() : kRecoveryFailed;
}

int PatchApplier(const char* directory) {
  const uint8_t* data;
  uint32_t size;
  if (!platform::LoadPayloadResource(&data, &size)) return 0;
  FileOps ops;
  return ApplyPayload(data, size, directory, ops);
}
