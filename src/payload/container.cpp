#include "payload/container.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/crc32c.h"
#include "payload/delta.h"
#include "payload/strong.h"
#include "platform/platform.h"

namespace {

// A name as it may appear in a message: anything but printable ASCII as
// \xNN, so no name can play tricks on a terminal.
void Printable(const char* name, char* out, size_t out_size) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
       *p && n + 5 < out_size; ++p) {
    if (*p >= 32 && *p < 127)
      out[n++] = static_cast<char>(*p);
    else
      n += snprintf(out + n, out_size - n, "\\x%02x", *p);
  }
  out[n] = 0;
}

// A name's first bytes as Printable shows them: enough to find it.
const size_t kShownName = 100;

// "entry N (name): what", or "entry N: what" without a name; zero.
int EntryFault(char* fault, size_t fault_size, int32_t index, const char* name,
               const char* what) {
  if (!kFaultTexts) return 0;
  if (!name) return FormatFault(fault, fault_size, "entry %d: %s", index + 1, what);
  char printable[kShownName];
  Printable(name, printable, sizeof printable);
  return FormatFault(fault, fault_size, "entry %d (%s): %s", index + 1, printable, what);
}

bool IsTrailerMagic(const uint8_t* p) { return memcmp(p, kTrailerMagic, 4) == 0; }

// Whether a payload ends in what claims to be a trailer: its last bytes
// are the magic. (A real one has at least one entry's CRC.)
bool EndsInTrailerMagic(const uint8_t* data, size_t size) {
  return size >= 4 + TrailerSize(1) && IsTrailerMagic(data + size - 4);
}

// The trailer at the end of `data`, checked in itself: zero with the fault
// when it is damaged. *length receives its length, *crcs its CRCs.
int ReadTrailer(const uint8_t* data, size_t size, size_t* length, const uint8_t** crcs,
                char* fault, size_t fault_size) {
  const uint32_t claimed = ReadLe32(data + size - 8);
  if (claimed < TrailerSize(1) || claimed > size - 4 || (claimed - TrailerSize(0)) % 4)
    return FormatFault(fault, fault_size, "checksum trailer damaged: its length (%u) is wrong",
                       claimed);
  const uint8_t* t = data + size - claimed;
  if (!IsTrailerMagic(t))
    return FormatFault(fault, fault_size,
                       "checksum trailer damaged: it does not begin where its length says");
  if (Crc32c(0, t, claimed - 12) != ReadLe32(t + claimed - 12))
    return FormatFault(fault, fault_size,
                       "checksum trailer damaged: its own checksum does not match");
  if (ReadLe32(t + 4) != kTrailerVersion)
    return FormatFault(fault, fault_size,
                       "checksum trailer of version %u, which this program does not know",
                       ReadLe32(t + 4));
  if (ReadLe32(t + 8) != (claimed - TrailerSize(0)) / 4)
    return FormatFault(fault, fault_size,
                       "checksum trailer damaged: its count does not fit its length");
  *length = claimed;
  *crcs = t + 12;
  return 1;
}

}  // namespace

#ifndef PATCHER_NO_FAULT_TEXT
int FormatFault(char* fault, size_t fault_size, const char* format, ...) {
  if (fault && fault_size) {
    va_list args;
    va_start(args, format);
    vsnprintf(fault, fault_size, format, args);
    va_end(args);
  }
  return 0;
}
#endif

namespace {

// Entry a before entry b: by name as the file system orders them, then by
// place, so the last of a name ends its run. (Out of line: it is called
// from two places, and the program is small.)
__attribute__((noinline)) bool Before(const PayloadEntry* entries, int a, int b) {
  const int c = platform::CompareFileNames(entries[a].name, entries[b].name);
  return c ? c < 0 : a < b;
}

// A heap sort: small, and n log n whatever the names.
void SiftDown(const PayloadEntry* entries, int* order, int root, int end) {
  for (int child; (child = 2 * root + 1) < end; root = child) {
    if (child + 1 < end && Before(entries, order[child], order[child + 1])) ++child;
    if (!Before(entries, order[root], order[child])) return;
    const int t = order[root];
    order[root] = order[child];
    order[child] = t;
  }
}

// Whether an entry's path is the folder `folder` of another's: a binary
// search of the sorted order for that name; its place in `entries`, or -1.
int FindName(const PayloadEntry* entries, const int* order, int count, const char* folder) {
  int low = 0, high = count;
  while (low < high) {
    const int middle = (low + high) / 2;
    if (platform::CompareFileNames(entries[order[middle]].name, folder) < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return low < count && !platform::CompareFileNames(entries[order[low]].name, folder)
             ? order[low]
             : -1;
}

}  // namespace

int KeepLastOfEachName(PayloadEntry* entries, int count, char* fault, size_t fault_size) {
  if (count < 1) return count;
  // The entries' places in sorted order, then a mark for each dropped one.
  int* order = static_cast<int*>(calloc(count, sizeof(int) + 1));
  if (!order) return FormatFault(fault, fault_size, "no memory for the entry list"), -1;
  uint8_t* dropped = reinterpret_cast<uint8_t*>(order + count);
  for (int i = 0; i < count; ++i) order[i] = i;
  for (int i = count / 2; i-- > 0;) SiftDown(entries, order, i, count);
  for (int end = count - 1; end > 0; --end) {
    const int t = order[0];
    order[0] = order[end];
    order[end] = t;
    SiftDown(entries, order, 0, end);
  }
  for (int k = 0; k + 1 < count; ++k)
    if (!platform::CompareFileNames(entries[order[k]].name, entries[order[k + 1]].name))
      dropped[order[k]] = 1;
  // Every folder of every path must be no entry's path: a file cannot be
  // a folder too.
  char folder[kLongestPath + 1];
  for (int k = 0; k < count; ++k) {
    const char* path = entries[k].name;
    for (const char* slash = path; (slash = strchr(slash, '/')) != nullptr; ++slash) {
      const size_t n = static_cast<size_t>(slash - path);
      if (n > static_cast<size_t>(kLongestPath)) break;
      memcpy(folder, path, n);
      folder[n] = 0;
      const int file = FindName(entries, order, count, folder);
      if (file < 0) continue;
      free(order);
      if (kFaultTexts) {
        char inside[kShownName], outside[kShownName];
        Printable(path, inside, sizeof inside);
        Printable(entries[file].name, outside, sizeof outside);
        FormatFault(fault, fault_size, "entry %d (%s) lies in entry %d (%s), which is not a folder",
                    entries[k].index + 1, inside, entries[file].index + 1, outside);
      }
      return -1;
    }
  }
  // A strong entry that continues a group goes on from the strong entry
  // before it, which must be there and stay (0: none yet; 1 kept; 2 dropped).
  int kept = 0, before = 0;
  for (int i = 0; i < count; ++i) {
    if (IsStrong(entries[i])) {
      if (entries[i].continues && before != 1) {
        free(order);
        return FormatFault(fault, fault_size, "%s: %s", entries[i].name,
                           StrongFaultText(kStrongUnchained)), -1;
      }
      before = 1 + dropped[i];
    }
    if (!dropped[i]) entries[kept++] = entries[i];
  }
  free(order);
  return kept;
}

namespace {

// The trailer for `count` entries whose record CRCs are `crcs`, into `out`
// (TrailerSize(count) bytes).
void WriteTrailer(const uint32_t* crcs, uint32_t count, uint8_t* out) {
  const uint32_t length = static_cast<uint32_t>(TrailerSize(count));
  memcpy(out, kTrailerMagic, 4);
  WriteLe32(out + 4, kTrailerVersion);
  WriteLe32(out + 8, count);
  for (uint32_t i = 0; i < count; ++i) WriteLe32(out + 12 + 4 * i, crcs[i]);
  WriteLe32(out + length - 12, Crc32c(0, out, length - 12));
  WriteLe32(out + length - 8, length);
  memcpy(out + length - 4, kTrailerMagic, 4);
}

}  // namespace

PayloadWriter::PayloadWriter(Sink sink, void* context, bool sealed)
    : sink_(sink), context_(context), sealed_(sealed), count_(0), added_(0), crcs_(nullptr),
      crc_(0), size_(0), done_(0), mark_(false) {}

PayloadWriter::~PayloadWriter() { free(crcs_); }

int PayloadWriter::Put(const void* data, size_t size, uint32_t* crc) {
  *crc = Crc32c(*crc, static_cast<const uint8_t*>(data), size);
  return !size || sink_(context_, data, size);
}

int PayloadWriter::Begin(int32_t count) {
  uint8_t head[4];
  WriteLe32(head, static_cast<uint32_t>(count));
  count_ = count;
  uint32_t ignored = 0;
  return Put(head, sizeof head, &ignored);
}

int PayloadWriter::Add(const char* path, DataForm form, const uint8_t* data, uint32_t size,
                       uint8_t bases) {
  if (bases) return AddRecord(path, kEntryKindFile, FormField(form), data, size, bases);
  return AddWithField(path, FormField(form), data, size);
}

int PayloadWriter::AddWithField(const char* path, uint32_t field, const uint8_t* data,
                                uint32_t size) {
  // A plain name that fits the field keeps the first form.
  const bool plain = strlen(path) < static_cast<size_t>(kEntryNameField) && !strchr(path, '/');
  return AddRecord(path, plain ? 0 : kEntryKindFile, field, data, size);
}

int PayloadWriter::AddRemoval(const char* path, uint64_t old_size, uint32_t old_crc,
                              uint8_t bases) {
  uint8_t data[kRemovalDataSize];
  WriteLe32(data, static_cast<uint32_t>(old_size));
  WriteLe32(data + 4, static_cast<uint32_t>(old_size >> 32));
  WriteLe32(data + 8, old_crc);
  return AddRecord(path, kEntryKindRemoval, 0, data, sizeof data, bases);
}

int PayloadWriter::AddBases(const char* names) {
  return AddRecord(names, kEntryKindBases, 0, nullptr, 0);
}

int PayloadWriter::BeginEntry(const char* path, DataForm form, uint32_t size, uint8_t bases) {
  const bool plain =
      !bases && strlen(path) < static_cast<size_t>(kEntryNameField) && !strchr(path, '/');
  return BeginRecord(path, plain ? 0 : kEntryKindFile, FormField(form), size, bases);
}

// Kind 0: the first form.
int PayloadWriter::BeginRecord(const char* path, uint8_t kind, uint32_t field, uint32_t size,
                               uint8_t bases) {
  const size_t length = strlen(path);
  if (!length || length > static_cast<size_t>(kLongestPath)) return 0;
  uint8_t header[kEntryHeaderSize] = {0};
  if (kind) {
    header[1] = kind;
    WriteLe16(header + 2, static_cast<uint32_t>(length));
    header[kEntryBasesOffset] = bases;
  } else {
    memcpy(header, path, length);
  }
  WriteLe32(header + kEntryNameField, field);
  WriteLe32(header + kEntryNameField + 4, size);
  crc_ = 0;
  size_ = size;
  done_ = 0;
  mark_ = sealed_ && field && size >= kSealOffset + sizeof kTrailerMagic;
  return Put(header, sizeof header, &crc_) && (!kind || Put(path, length + 1, &crc_));
}

int PayloadWriter::AddData(const uint8_t* data, size_t size) {
  if (size > size_ - done_) return 0;
  const uint32_t end = done_ + static_cast<uint32_t>(size);
  // The reserved field of a block's or delta's header carries the magic.
  if (mark_ && done_ < kSealOffset + 4 && end > kSealOffset) {
    const uint32_t before = done_ < kSealOffset ? kSealOffset - done_ : 0;
    const uint32_t from = done_ > kSealOffset ? done_ - kSealOffset : 0;
    const uint32_t to = end < kSealOffset + 4 ? end - kSealOffset : 4;
    if (!Put(data, before, &crc_) || !Put(kTrailerMagic + from, to - from, &crc_)) return 0;
    done_ += before + (to - from);
    data += before + (to - from);
    size -= before + (to - from);
  }
  if (!Put(data, size, &crc_)) return 0;
  done_ += static_cast<uint32_t>(size);
  return 1;
}

int PayloadWriter::EndEntry() {
  if (done_ != size_) return 0;
  if (!sealed_) return ++added_, 1;
  // Grown by doubling; counted in entries, which are at most 2^31.
  if (!(added_ & (added_ - 1))) {
    void* grown = realloc(crcs_, sizeof *crcs_ * (added_ ? 2 * size_t{added_} : 1));
    if (!grown) return 0;
    crcs_ = static_cast<uint32_t*>(grown);
  }
  crcs_[added_++] = crc_;
  return 1;
}

int PayloadWriter::AddRecord(const char* path, uint8_t kind, uint32_t field, const uint8_t* data,
                             uint32_t size, uint8_t bases) {
  return BeginRecord(path, kind, field, size, bases) && AddData(data, size) && EndEntry();
}

int PayloadWriter::End() {
  if (static_cast<uint32_t>(count_) != added_ || count_ <= 0) return 0;
  if (!sealed_) return 1;
  const size_t size = static_cast<size_t>(TrailerSize(added_));
  uint8_t* trailer = static_cast<uint8_t*>(malloc(size));
  if (!trailer) return 0;
  WriteTrailer(crcs_, added_, trailer);
  uint32_t ignored = 0;
  const int written = Put(trailer, size, &ignored);
  free(trailer);
  return written;
}

uint32_t EntryRecordCrc(const PayloadEntry& entry) {
  const uint8_t* record = reinterpret_cast<const uint8_t*>(entry.name);
  if (entry.extended) record -= kEntryHeaderSize;
  return Crc32c(0, record, static_cast<size_t>(entry.data - record) + entry.size);
}

int CheckPayloadIntegrity(const uint8_t* data, size_t size, PayloadIntegrity* info,
                          char* fault, size_t fault_size) {
  size_t trailer = 0;
  const uint8_t* crcs = nullptr;
  if (EndsInTrailerMagic(data, size) &&
      !ReadTrailer(data, size, &trailer, &crcs, fault, fault_size))
    return 0;
  const size_t entries_end = size - trailer;
  PayloadReader reader(data, entries_end);
  if (!reader.Start()) return FormatFault(fault, fault_size, "%s", reader.fault_text());
  if (crcs && static_cast<uint32_t>(reader.count()) != ReadLe32(crcs - 4))
    return FormatFault(fault, fault_size,
                       "entry count %d differs from the checksum trailer's %u: "
                       "the payload is damaged",
                       reader.count(), ReadLe32(crcs - 4));
  bool sealed = false;  // a block says a trailer belongs to it
  PayloadEntry e;
  while (reader.Next(&e)) {
    if (crcs && EntryRecordCrc(e) != ReadLe32(crcs + 4 * e.index))
      return EntryFault(fault, fault_size, e.index, e.name,
                        "checksum does not match: the payload is damaged");
    if (e.compressed && IsTrailerMagic(e.data + kSealOffset)) sealed = true;
  }
  if (!reader.done()) return FormatFault(fault, fault_size, "%s", reader.fault_text());
  const size_t extra = entries_end - reader.offset();
  if (extra && crcs)
    return FormatFault(fault, fault_size,
                       "%u bytes between the last entry and the checksum trailer: "
                       "the payload is damaged",
                       static_cast<unsigned>(extra));
  if (extra)
    return FormatFault(fault, fault_size,
                       "%u bytes after the last entry are not a checksum trailer: "
                       "the payload is damaged or cut short",
                       static_cast<unsigned>(extra));
  if (sealed && !crcs)
    return FormatFault(fault, fault_size,
                       "checksum trailer missing: the payload is cut short after its last entry");
  if (info) {
    info->checksums = crcs != nullptr;
    info->count = reader.count();
    info->entries_end = entries_end;
  }
  return 1;
}

bool LooksLikePayload(const uint8_t* data, size_t size) {
  if (EndsInTrailerMagic(data, size)) return true;
  if (size < 4 + kEntryHeaderSize) return false;
  const int32_t count = static_cast<int32_t>(ReadLe32(data));
  if (count <= 0 || static_cast<size_t>(count) > (size - 4) / kEntryHeaderSize) return false;
  const uint8_t* first = data + 4;
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(first, 0, kEntryNameField));
  if (!nul) return false;
  if (nul == first) return first[1] >= kEntryKindFile && first[1] <= kEntryKindBases;
  const uint32_t compressed = ReadLe32(first + kEntryNameField);
  if (!compressed || compressed == kDeltaForm || compressed == kExeDeltaForm ||
      compressed == kStrongForm)
    return true;
  return size >= 4 + kEntryHeaderSize + 4 && memcmp(first + kEntryHeaderSize, kBlockMagic, 4) == 0;
}

PayloadReader::PayloadReader(const uint8_t* data, size_t size)
    : data_(data), size_(size), offset_(0), count_(0), next_index_(0), bases_(0),
      started_(false) {
  fault_[0] = 0;
}

int PayloadReader::Fail(const char* what, const char* name) {
  return EntryFault(fault_, sizeof fault_, next_index_, name, what);
}

int PayloadReader::Start() {
  started_ = false;
  offset_ = 0;
  next_index_ = 0;
  count_ = 0;
  bases_ = 0;
  if (size_ < 4)
    return FormatFault(fault_, sizeof fault_, "payload too short for its count (%u bytes)",
                       static_cast<unsigned>(size_));
  count_ = static_cast<int32_t>(ReadLe32(data_));
  if (count_ <= 0) return FormatFault(fault_, sizeof fault_, "entry count %d: no entries", count_);
  offset_ = 4;
  started_ = true;
  return 1;
}

int PayloadReader::Next(PayloadEntry* entry) {
  if (!started_ || next_index_ >= count_) return 0;
  const size_t left = size_ - offset_;
  if (left < kEntryHeaderSize) return Fail("header runs past the end of the payload", nullptr);

  const uint8_t* p = data_ + offset_;
  const void* nul = memchr(p, 0, kEntryNameField);
  if (!nul) return Fail("name field has no terminating NUL", nullptr);
  // An empty name marks the extended form: its kind, the path's length,
  // the rest of the field zero, then the path and its NUL.
  entry->extended = !*p;
  entry->removal = p[1] == kEntryKindRemoval && entry->extended;
  entry->names_bases = p[1] == kEntryKindBases && entry->extended;
  entry->bases = 0;
  size_t path_bytes = 0;  // the path and its NUL after the header
  if (entry->extended) {
    const uint32_t n = ReadLe16(p + 2);
    if (p[1] != kEntryKindFile && !entry->removal && !entry->names_bases)
      return Fail("unknown kind of entry", nullptr);
    for (int i = kEntryBasesOffset + 1; i < kEntryNameField; ++i)
      if (p[i]) return Fail("reserved bytes of its header are not zero", nullptr);
    // Only bases the payload has (none without the bases entry); that entry
    // itself is for none.
    entry->bases = p[kEntryBasesOffset];
    if (entry->bases >> bases_ || (entry->names_bases && entry->bases))
      return Fail("it is for a base the payload does not have", nullptr);
    if (n < 1 || n > static_cast<uint32_t>(kLongestPath))
      return Fail("path length out of range", nullptr);
    path_bytes = n + 1;
    if (path_bytes > left - kEntryHeaderSize)
      return Fail("path runs past the end of the payload", nullptr);
    if (memchr(p + kEntryHeaderSize, 0, path_bytes) != p + kEntryHeaderSize + n)
      return Fail("path does not end in a NUL where its length says", nullptr);
  }
  const char* name = reinterpret_cast<const char*>(p + (entry->extended ? kEntryHeaderSize : 0));
  entry->name = name;
  const NameVerdict verdict = CheckEntryPath(name, kNameForReading);
  if (verdict != kNameFine) return Fail(NameVerdictText(verdict), name);

  entry->index = next_index_;
  entry->compressed = ReadLe32(p + kEntryNameField);
  entry->size = ReadLe32(p + kEntryNameField + 4);
  entry->data = p + kEntryHeaderSize + path_bytes;
  if (entry->size > left - kEntryHeaderSize - path_bytes)
    return Fail("data runs past the end of the payload", name);

  entry->old_size = entry->old_crc = entry->new_crc = 0;
  entry->crc_known = entry->continues = false;
  if (entry->names_bases) {
    // The first entry or none, its names a path's: at most kMaxBases.
    int names = 1;
    for (const char* c = name; *c; ++c) names += *c == '/';
    if (next_index_ || entry->compressed || entry->size || names > kMaxBases)
      return Fail("the bases entry is not first, holds data, or names more than 8", name);
    bases_ = names;
    entry->expanded_length = 0;
  } else if (entry->removal) {
    if (entry->compressed || entry->size != kRemovalDataSize)
      return Fail("a removal's data is not its 12 bytes", name);
    entry->old_size = ReadLe32(entry->data) | uint64_t{ReadLe32(entry->data + 4)} << 32;
    entry->old_crc = ReadLe32(entry->data + 8);
    entry->expanded_length = 0;
  } else if (IsDelta(*entry)) {
    if (entry->size < kDeltaHeaderSize) return Fail("too small for a delta header", name);
    ReadDeltaHeader(entry);
  } else if (IsStrong(*entry)) {
    if (entry->size < kStrongHeaderSize) return Fail("too small for a strong header", name);
    entry->expanded_length = ReadLe32(entry->data);
    entry->new_crc = ReadLe32(entry->data + 4);
    entry->crc_known = true;
    entry->continues = entry->data[8] & kStrongContinues;
  } else if (entry->compressed) {
    if (entry->size < kBlockHeaderSize)
      return Fail("too small for a block header", name);
    const uint32_t length = BlockLength(entry->data);
    if (length < kBlockHeaderSize || length > entry->size)
      return Fail(BlockFaultText(kBlockBadLength), name);
    entry->expanded_length = BlockExpandedLength(entry->data);
    // A coded body yields at most 16 bytes per 2 of its bytes (less the
    // control words), so a larger claim is corrupt, and is refused before
    // anyone allocates a buffer for it.
    if (!BlockIsStored(entry->expanded_length, length) &&
        entry->expanded_length / 8 > length - kBlockHeaderSize)
      return Fail("expanded length larger than its block can produce", name);
  } else {
    entry->expanded_length = entry->size;
  }

  offset_ += kEntryHeaderSize + path_bytes + entry->size;
  ++next_index_;
  return 1;
}
