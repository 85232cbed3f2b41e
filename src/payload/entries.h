// The entries a patch writes, read and checked from its container without
// touching a file: every bound, name and path length, the checksums, and
// on request a full decode. The transaction (applier.h) works from these.
#ifndef PATCHER_PAYLOAD_ENTRIES_H
#define PATCHER_PAYLOAD_ENTRIES_H

#include <stddef.h>
#include <stdint.h>

#include "payload/container.h"
#include "payload/stream.h"
#include "payload/strong.h"

class PatchEntries {
 public:
  PatchEntries() : all_(nullptr), all_count_(0), bases_(1), entries_(nullptr), count_(0),
                   strong_last_(-1) {}
  ~PatchEntries();

  // Reads and checks the container: the last entry of each path is kept,
  // and no path may be a folder of another, nor replace an entry whose
  // solid group goes on after it (KeepLastOfEachName). Reading is not applying: what the
  // entries need is CheckApplicable's.
  int Read(const uint8_t* data, size_t size, PayloadIntegrity* integrity, char* fault,
           size_t fault_size);

  // Whether the directory string `directory` fits a path buffer. What is
  // below it is reached through its handle, one folder at a time, so an
  // entry's whole path may be longer.
  int CheckPaths(const char* directory, char* fault, size_t fault_size) const;

  // The entries are those of one base (Select; base 0 after Read), or of
  // the one base there is.
  int count() const { return count_; }
  const PayloadEntry& operator[](int i) const { return entries_[i]; }

  // The bases of the payload: 1 when it was made from one old release or
  // none. Of several, a patch takes the first that the installation is
  // as a whole (docs/delta.md).
  int bases() const { return bases_; }
  // The entries of every base, in payload order but for the bases entry:
  // the most count() can be.
  int all_count() const { return all_count_; }
  const PayloadEntry& all(int i) const { return all_[i]; }
  // Shows the entries for `base`: those for every base and those naming
  // it, the last of each path. Zero with `fault` as Read's, or when a
  // solid group runs on from an entry of another base. Which base is shown
  // is no part of what the entries are, so it is const.
  int Select(int base, char* fault, size_t fault_size) const;

  // Decodes every entry, writing nothing: `total` gets their lengths, and
  // each entry's new_crc the CRC-32C of its bytes (a delta's, which needs
  // its old file, is its header's). Of several bases, every entry of each,
  // and each base's entries selected once; base 0 is shown after.
  int CheckDecodes(uint64_t* total, char* fault, size_t fault_size);

  // Decodes entry `i` as DecodeEntry does. A strong entry that goes on
  // from the strong entry before it is decoded after its group's entries
  // before it: at once when the last strong entry decoded was that one,
  // else after decoding those not yet decoded (from the group's start when
  // the decoder is elsewhere), writing nothing. So any order works, and
  // entry order, with any entries passed over, decodes each entry once.
  int Decode(int i, OldBytes* old, ByteSink* sink, char* fault, size_t fault_size) const;

  // The bytes entry `i` writes, whole, as EntryBytes makes them.
  int Bytes(int i, const uint8_t* old, uint32_t old_size, const uint8_t** bytes, uint8_t** buffer,
            char* fault, size_t fault_size) const;

 private:
  PatchEntries(const PatchEntries&) = delete;
  PatchEntries& operator=(const PatchEntries&) = delete;

  PayloadEntry* all_;
  int all_count_;
  int bases_;
  // The entries of the base shown, after all_ in the same block.
  mutable PayloadEntry* entries_;
  mutable int count_;
  int DecodeOne(int i, OldBytes* old, ByteSink* sink, char* fault, size_t fault_size) const;
  int StrongBefore(int i) const;

  // The strong decoder, and the strong entry it decoded last (-1: none, or
  // it failed).
  mutable StrongDecoder strong_;
  mutable int strong_last_;
};

// What applying the entries needs: every one's EntryNeeds (container.h).
uint32_t PayloadNeeds(const PatchEntries& entries);

// Whether this build applies everything the entries need (kFormsRead);
// zero naming what it does not ("this build cannot apply: paths").
int CheckApplicable(const PatchEntries& entries, char* fault, size_t fault_size);

// Decodes entry `e` (not a removal) into `sink`, a piece at a time, which
// sums the CRC-32C: the stored bytes, a block (in its window), a delta
// made from `old` (whose CRC-32C the caller has checked), or a strong
// entry by `strong` (which must have decoded its group's entries before
// it: PatchEntries::Decode sees to that), its new CRC-32C checked. Zero with a fault text when the data is
// damaged; zero with none when `old` or `sink` stopped it, which they say
// why.
int DecodeEntry(const PayloadEntry& e, OldBytes* old, ByteSink* sink, char* fault,
                size_t fault_size, StrongDecoder* strong = nullptr);

// The bytes entry `e` writes, whole: a stored entry's data in place, or a block
// decoded, or a delta applied to `old` (`old_size` bytes, the file it
// replaces), into `*buffer` (allocated here, freed by the caller). Zero
// with a fault text when the block or the delta does not make exactly the
// entry's bytes.
int EntryBytes(const PayloadEntry& e, const uint8_t* old, uint32_t old_size,
               const uint8_t** bytes, uint8_t** buffer, char* fault, size_t fault_size);

#endif  // PATCHER_PAYLOAD_ENTRIES_H
