#include "payload/applier.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/container.h"

namespace {

int Fail(char* fault, size_t fault_size, const char* format, ...) {
  if (fault && fault_size) {
    va_list args;
    va_start(args, format);
    vsnprintf(fault, fault_size, format, args);
    va_end(args);
  }
  return 0;
}

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
    return Fail(fault, fault_size, "%s: no memory for %u bytes", e.name,
                e.expanded_length);
  BlockFault why = kBlockFine;
  uint32_t produced = BlockDecoder(e.data, e.size, *buffer, &why);
  if (produced != e.expanded_length) {
    free(*buffer);
    *buffer = nullptr;
    return Fail(fault, fault_size, "%s: %s", e.name, BlockFaultText(why));
  }
  *bytes = *buffer;
  return 1;
}

// One entry on its way to the disk.
struct Staged {
  PayloadEntry entry;
  int temp;    // number of its temporary file, -1 while there is none
  int backup;  // number of the moved-aside old file, -1 if none
  bool placed; // the new file stands under the entry's name
};

// Everything a patch needs besides the container: where, how, and the
// entries in flight. Builds the paths on demand into fixed buffers.
class Patch {
 public:
  Patch(const char* directory, FileOps& ops, char* fault, size_t fault_size)
      : directory_(directory), ops_(ops), fault_(fault),
        fault_size_(fault_size), staged_(nullptr), count_(0), next_number_(0) {}
  ~Patch() { free(staged_); }

  int Read(const uint8_t* data, size_t size);
  int CheckTargets();
  int Stage();
  int Commit();

  void RemoveTemporaries();
  void RemoveBackups();
  int CheckDecodes(uint64_t* total);

 private:
  int Fail(const char* format, const char* name) {
    return ::Fail(fault_, fault_size_, format, name, directory_);
  }
  const char* Target(int i) { return Join(target_, staged_[i].entry.name); }
  const char* Temporary(int number, char* buffer) {
    char name[16];
    snprintf(name, sizeof name, "~pt%04x.tmp", number);
    return Join(buffer, name);
  }
  const char* Join(char* buffer, const char* name) {
    snprintf(buffer, platform::kPathBuffer, "%s%s", directory_, name);
    return buffer;
  }
  int NextFreeNumber();
  int WriteEntry(Staged& s);
  void RollBack(int last);

  const char* directory_;
  FileOps& ops_;
  char* fault_;
  size_t fault_size_;
  Staged* staged_;
  int count_;
  int next_number_;
  char target_[platform::kPathBuffer];
  char temp_[platform::kPathBuffer];
  char other_[platform::kPathBuffer];
};

int Patch::Read(const uint8_t* data, size_t size) {
  // The whole container is checked, its checksums included, before
  // anything is written.
  if (!CheckPayloadIntegrity(data, size, nullptr, fault_, fault_size_)) return 0;
  PayloadReader reader(data, size);
  if (!reader.Start()) return ::Fail(fault_, fault_size_, "%s", reader.fault_text());
  const size_t dir_length = strlen(directory_);
  if (dir_length + kTempNameLength >= static_cast<size_t>(platform::kPathBuffer))
    return ::Fail(fault_, fault_size_, "directory path too long: %s", directory_);
  // Every entry takes at least a header, so the count is bounded by the
  // bytes present before anything is allocated for it.
  const size_t most = (size - 4) / kEntryHeaderSize;
  if (static_cast<size_t>(reader.count()) > most)
    return ::Fail(fault_, fault_size_,
                  "entry count %d is more than the payload can hold", reader.count());
  staged_ = static_cast<Staged*>(calloc(reader.count(), sizeof(Staged)));
  if (!staged_) return ::Fail(fault_, fault_size_, "%s", "no memory for the entry list");
  for (count_ = 0; count_ < reader.count(); ++count_) {
    Staged& s = staged_[count_];
    if (!reader.Next(&s.entry)) return ::Fail(fault_, fault_size_, "%s", reader.fault_text());
    if (dir_length + strlen(s.entry.name) >= static_cast<size_t>(platform::kPathBuffer))
      return Fail("%s: path in %s would be too long", s.entry.name);
    s.temp = -1;
    s.backup = -1;
    s.placed = false;
  }
  return 1;
}

int Patch::CheckTargets() {
  for (int i = 0; i < count_; ++i) {
    if (ops_.Examine(Target(i)) == platform::kTargetBlocked)
      return Fail("%s: the file in %s is read-only, in use or a directory",
                  staged_[i].entry.name);
  }
  return 1;
}

// A number whose temporary name is neither on the disk (checked when it is
// used: creation and renames never replace) nor an entry's name.
int Patch::NextFreeNumber() {
  for (; next_number_ <= 0xffff; ++next_number_) {
    char name[16];
    snprintf(name, sizeof name, "~pt%04x.tmp", next_number_);
    bool clash = false;
    for (int i = 0; i < count_ && !clash; ++i)
      clash = platform::SameFileName(name, staged_[i].entry.name);
    if (!clash) return next_number_++;
  }
  return -1;
}

int Patch::WriteEntry(Staged& s) {
  platform::File* file = nullptr;
  while (!file) {
    int number = NextFreeNumber();
    if (number < 0) return Fail("%s: no free temporary name in %s", s.entry.name);
    Temporary(number, temp_);
    if (ops_.Examine(temp_) != platform::kTargetMissing) continue;
    file = ops_.CreateNew(temp_);
    if (!file) return Fail("%s: cannot create a file in %s", s.entry.name);
    s.temp = number;
  }
  const uint8_t* bytes = nullptr;
  uint8_t* buffer = nullptr;
  if (!EntryBytes(s.entry, &bytes, &buffer, fault_, fault_size_)) {
    ops_.Close(file);
    return 0;
  }
  const uint32_t length = s.entry.expanded_length;
  const bool written = length == 0 || ops_.Write(file, bytes, length) == length;
  free(buffer);
  const bool closed = ops_.Close(file) != 0;
  if (!written) return Fail("%s: could not write all of it in %s", s.entry.name);
  if (!closed) return Fail("%s: could not finish writing it in %s", s.entry.name);
  return 1;
}

int Patch::Stage() {
  for (int i = 0; i < count_; ++i) {
    if (!WriteEntry(staged_[i])) return 0;
  }
  return 1;
}

int Patch::Commit() {
  for (int i = 0; i < count_; ++i) {
    Staged& s = staged_[i];
    const char* target = Target(i);
    platform::TargetState state = ops_.Examine(target);
    if (state == platform::kTargetBlocked) {
      RollBack(i);
      return Fail("%s: the file in %s is read-only, in use or a directory", s.entry.name);
    }
    if (state == platform::kTargetReplaceable) {
      int number;
      do {
        number = NextFreeNumber();
        if (number < 0) {
          RollBack(i);
          return Fail("%s: no free temporary name in %s", s.entry.name);
        }
      } while (!ops_.Rename(target, Temporary(number, other_), 0) &&
               ops_.Examine(other_) != platform::kTargetMissing);
      if (ops_.Examine(target) != platform::kTargetMissing) {
        RollBack(i);
        return Fail("%s: cannot move the old file aside in %s", s.entry.name);
      }
      s.backup = number;
    }
    if (!ops_.Rename(Temporary(s.temp, temp_), Target(i), 0)) {
      RollBack(i);
      return Fail("%s: cannot move the new file into place in %s", s.entry.name);
    }
    s.placed = true;
  }
  return 1;
}

// Undoes the moves of entries `last` down to 0: each new file goes back to
// its temporary name, each old file back to its own.
void Patch::RollBack(int last) {
  for (int i = last; i >= 0; --i) {
    Staged& s = staged_[i];
    if (s.placed && ops_.Rename(Target(i), Temporary(s.temp, temp_), 0))
      s.placed = false;
    if (s.backup >= 0 && !s.placed &&
        ops_.Rename(Temporary(s.backup, other_), Target(i), 0))
      s.backup = -1;
  }
}

void Patch::RemoveTemporaries() {
  for (int i = 0; i < count_; ++i) {
    if (staged_[i].temp >= 0 && !staged_[i].placed)
      ops_.Remove(Temporary(staged_[i].temp, temp_));
  }
}

void Patch::RemoveBackups() {
  for (int i = 0; i < count_; ++i) {
    if (staged_[i].backup >= 0) ops_.Remove(Temporary(staged_[i].backup, other_));
  }
}

int Patch::CheckDecodes(uint64_t* total) {
  uint64_t sum = 0;
  for (int i = 0; i < count_; ++i) {
    const uint8_t* bytes;
    uint8_t* buffer;
    if (!EntryBytes(staged_[i].entry, &bytes, &buffer, fault_, fault_size_)) return 0;
    free(buffer);
    sum += staged_[i].entry.expanded_length;
  }
  if (total) *total = sum;
  return 1;
}

}  // namespace

int ApplyPayload(const uint8_t* data, size_t size, const char* directory,
                 FileOps& ops, char* fault, size_t fault_size) {
  Patch patch(directory, ops, fault, fault_size);
  if (!patch.Read(data, size) || !patch.CheckTargets()) return 0;
  if (!patch.Stage()) {
    patch.RemoveTemporaries();
    return 0;
  }
  if (!patch.Commit()) {
    patch.RemoveTemporaries();
    return 0;
  }
  patch.RemoveBackups();
  return 1;
}

int VerifyPayload(const uint8_t* data, size_t size, const char* directory,
                  char* fault, size_t fault_size, uint64_t* total) {
  FileOps unused;
  Patch patch(directory, unused, fault, fault_size);
  return patch.Read(data, size) && patch.CheckDecodes(total);
}

int PatchApplier(const char* directory) {
  const uint8_t* data;
  uint32_t size;
  if (!platform::LoadPayloadResource(&data, &size)) return 0;
  FileOps ops;
  return ApplyPayload(data, size, directory, ops);
}
