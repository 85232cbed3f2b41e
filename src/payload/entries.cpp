#include "payload/entries.h"

#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/crc32c.h"
#include "payload/delta.h"
#include "payload/fault.h"
#include "payload/patch_files.h"
#include "payload/strong.h"
#include "platform/platform.h"

PatchEntries::~PatchEntries() { free(all_); }

int DecodeEntry(const PayloadEntry& e, OldBytes* old, ByteSink* sink, char* fault,
                size_t fault_size, StrongDecoder* strong) {
  if (IsStrong(e)) {
    StrongFault why = strong ? strong->Decode(e.data, e.size, sink) : kStrongUnchained;
    if (why == kStrongStopped) return 0;
    if (why == kStrongFine && sink->crc == e.new_crc) return 1;
    // (The entry list starts the group again after any failure.)
    return FormatFault(fault, fault_size, "%s: %s", e.name,
                       why == kStrongFine ? DeltaFaultText(kDeltaNewDiffers) : StrongFaultText(why));
  }
  if (IsDelta(e)) {
    DeltaFault why = StreamDelta(e, old, sink);
    if (why == kDeltaFine && sink->crc != e.new_crc) why = kDeltaNewDiffers;
    if (why == kDeltaStopped) return 0;  // the caller's source or sink says why
    if (why == kDeltaFine) return 1;
    return FormatFault(fault, fault_size, "%s: %s", e.name, DeltaFaultText(why));
  }
  BlockFault why = kBlockFine;
  if (!e.compressed) {
    // The file's bytes as they are: a stored block without its header.
    if (!PutPieces(sink, e.data, e.size)) why = kBlockStopped;
  } else {
    // A small file's block needs no more than the file.
    uint32_t size = e.expanded_length + kMaxMatchLength;
    if (size < kBlockHistory + kMaxMatchLength) size = kBlockHistory + kMaxMatchLength;
    if (size > kBlockBuffer) size = kBlockBuffer;
    uint8_t* buffer = static_cast<uint8_t*>(malloc(size));
    if (!buffer) return FormatFault(fault, fault_size, "%s: out of memory", e.name);
    why = StreamBlock(e.data, e.size, buffer, size, sink);
    free(buffer);
  }
  if (why == kBlockStopped) return 0;
  if (why == kBlockFine) return 1;
  return FormatFault(fault, fault_size, "%s: %s", e.name, BlockFaultText(why));
}

namespace {

// The bytes of entry `e`, whole, decoded by `decode(old, sink)`.
template <class Decode>
int WholeBytes(const PayloadEntry& e, const uint8_t* old, uint32_t old_size,
               const uint8_t** bytes, uint8_t** buffer, char* fault, size_t fault_size,
               Decode decode) {
  *buffer = nullptr;
  if (!e.compressed) {
    *bytes = e.data;
    return 1;
  }
  if (IsDelta(e) && !DeltaOldMatches(e, old, old_size))
    return FormatFault(fault, fault_size, "%s: %s", e.name, DeltaFaultText(kDeltaOldDiffers));
  // Never a zero-byte request: an empty block still gets a real buffer.
  *buffer = static_cast<uint8_t*>(malloc(e.expanded_length ? e.expanded_length : 1));
  if (!*buffer)
    return FormatFault(fault, fault_size, "%s: no memory for %u bytes", e.name,
                       e.expanded_length);
  OldInMemory from(old, old_size);
  SinkToMemory into(*buffer, e.expanded_length);
  if (!decode(&from, &into)) {
    // Only a block that makes more than it says fills the buffer up.
    if (fault && fault_size && !*fault)
      FormatFault(fault, fault_size, "%s: %s", e.name, BlockFaultText(kBlockOverflow));
    free(*buffer);
    *buffer = nullptr;
    return 0;
  }
  *bytes = *buffer;
  return 1;
}

}  // namespace

int EntryBytes(const PayloadEntry& e, const uint8_t* old, uint32_t old_size,
               const uint8_t** bytes, uint8_t** buffer, char* fault, size_t fault_size) {
  return WholeBytes(e, old, old_size, bytes, buffer, fault, fault_size,
                    [&](OldBytes* from, ByteSink* into) {
                      return DecodeEntry(e, from, into, fault, fault_size);
                    });
}

int PatchEntries::Bytes(int i, const uint8_t* old, uint32_t old_size, const uint8_t** bytes,
                        uint8_t** buffer, char* fault, size_t fault_size) const {
  return WholeBytes(entries_[i], old, old_size, bytes, buffer, fault, fault_size,
                    [&](OldBytes* from, ByteSink* into) {
                      return Decode(i, from, into, fault, fault_size);
                    });
}

int PatchEntries::DecodeOne(int i, OldBytes* old, ByteSink* sink, char* fault,
                            size_t fault_size) const {
  const int ok = DecodeEntry(entries_[i], old, sink, fault, fault_size, &strong_);
  if (IsStrong(entries_[i])) strong_last_ = ok ? i : -1;
  return ok;
}

// The strong entry before entry `i`, which one that continues goes on
// from (Read made sure there is one); -1 when there is none.
int PatchEntries::StrongBefore(int i) const {
  while (--i >= 0 && !IsStrong(entries_[i])) {
  }
  return i;
}

int PatchEntries::Decode(int i, OldBytes* old, ByteSink* sink, char* fault,
                         size_t fault_size) const {
  if (entries_[i].continues && strong_last_ != StrongBefore(i)) {
    // The group's entries before it that the decoder has not made, writing
    // nothing: from after the last one it made, when that is one of them
    // (the transaction passes over unchanged files), else from the start.
    int first = StrongBefore(i);
    while (entries_[first].continues && first != strong_last_) first = StrongBefore(first);
    if (first == strong_last_) ++first;
    for (; first < i; ++first) {
      SumOnly skip;
      if (IsStrong(entries_[first]) && !DecodeOne(first, nullptr, &skip, fault, fault_size))
        return 0;
    }
  }
  return DecodeOne(i, old, sink, fault, fault_size);
}

int PatchEntries::Read(const uint8_t* data, size_t size, PayloadIntegrity* integrity,
                       char* fault, size_t fault_size) {
  // The whole container is checked, its checksums included, before
  // anything is written.
  if (!CheckPayloadIntegrity(data, size, integrity, fault, fault_size)) return 0;
  PayloadReader reader(data, size);
  if (!reader.Start()) return FormatFault(fault, fault_size, "%s", reader.fault_text());
  // Every entry takes at least a header, so the count is bounded by the
  // bytes present before anything is allocated for it.
  const size_t most = (size - 4) / kEntryHeaderSize;
  if (static_cast<size_t>(reader.count()) > most)
    return FormatFault(fault, fault_size, "entry count %d is more than the payload can hold",
                       reader.count());
  // Every entry, then room for one base's.
  all_ = static_cast<PayloadEntry*>(calloc(reader.count(), 2 * sizeof(PayloadEntry)));
  if (!all_) return FormatFault(fault, fault_size, "%s", "no memory for the entry list");
  entries_ = all_ + reader.count();
  for (int i = 0; i < reader.count(); ++i) {
    if (!reader.Next(&all_[all_count_]))
      return FormatFault(fault, fault_size, "%s", reader.fault_text());
    if (!all_[all_count_].names_bases) ++all_count_;
  }
  if (reader.bases()) bases_ = reader.bases();
  return Select(0, fault, fault_size);
}

int PatchEntries::Select(int base, char* fault, size_t fault_size) const {
  int n = 0;
  bool cut = false;  // the last strong entry is another base's
  for (int i = 0; i < all_count_; ++i) {
    const PayloadEntry& e = all_[i];
    const bool in = !e.bases || (e.bases >> base & 1);
    if (IsStrong(e)) {
      if (in && e.continues && cut)
        return FormatFault(fault, fault_size, "%s: %s", e.name, StrongFaultText(kStrongUnchained));
      cut = !in;
    }
    if (in) entries_[n++] = e;
  }
  // Only the last entry of a path is written.
  strong_last_ = -1;
  count_ = KeepLastOfEachName(entries_, n, fault, fault_size);
  if (count_ < 0) return count_ = 0;
  return 1;
}

uint32_t PayloadNeeds(const PatchEntries& entries) {
  uint32_t needs = entries.bases() > 1 ? 1u << FORM_BASES : 0;
  for (int i = 0; i < entries.count(); ++i) needs |= EntryNeeds(entries[i]);
  return needs;
}

int CheckApplicable(const PatchEntries& entries, char* fault, size_t fault_size) {
  const uint32_t missing = PayloadNeeds(entries) & ~kFormsRead;
  if (!missing) return 1;
  return FormatFault(fault, fault_size, "this build cannot apply: %s",
                     DataFormName(__builtin_ctz(missing)));
}

int PatchEntries::CheckPaths(const char* directory, char* fault, size_t fault_size) const {
  const size_t dir_length = strlen(directory);
  if (dir_length >= static_cast<size_t>(platform::kPathBuffer))
    return FormatFault(fault, fault_size, "directory path too long: %s", directory);
  return 1;
}

int PatchEntries::CheckDecodes(uint64_t* total, char* fault, size_t fault_size) {
  uint64_t sum = 0;
  // Of several bases, every entry in payload order, as one list.
  PayloadEntry* const view = entries_;
  if (bases_ > 1) {
    entries_ = all_;
    count_ = all_count_;
    strong_last_ = -1;
  }
  for (int i = 0; i < count_; ++i) {
    PayloadEntry& e = entries_[i];
    sum += e.expanded_length;
    // A delta entry is checked as far as that goes without its old file.
    if (IsDelta(e)) {
      DeltaFault why = kDeltaFine;
      if (!CheckDeltaEntry(e, &why))
        return FormatFault(fault, fault_size, "%s: %s", e.name, DeltaFaultText(why));
      continue;
    }
    if (e.removal) continue;
    SumOnly sum;
    if (!Decode(i, nullptr, &sum, fault, fault_size)) return 0;
    e.new_crc = sum.crc;
    e.crc_known = true;
  }
  if (total) *total = sum;
  if (bases_ > 1) {
    entries_ = view;
    for (int base = bases_; base-- > 0;)
      if (!Select(base, fault, fault_size)) return 0;
  }
  return 1;
}
