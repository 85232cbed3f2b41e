// The payload container: the new version's files, one entry each.
//
//   0   i32 LE  count of entries
//   4           entries, back to back:
//     0   30 bytes  name, NUL-terminated (bytes after the NUL are ignored)
//    30   u32 LE    compressed: zero = verbatim, kDeltaForm ("LZCD") = a
//                   delta from the old file (delta.h), kExeDeltaForm
//                   ("LZCE") one that follows an executable's references
//                   (delta.h too), kStrongForm ("LZCS") a strong entry
//                   (strong.h), any other = a block
//    34   u32 LE    size of the data
//    38   size      data
//
// A name that does not fit (a long one, or a path into folders) and a
// removal take the extended entry instead, marked by an empty name, which
// older readers refuse rather than misread:
//
//     0   u8        0
//     1   u8        kind: kEntryKindFile, kEntryKindRemoval, or
//                   kEntryKindBases
//     2   u16 LE    n, the path's length (1..kLongestPath)
//     4   u8        bases: the old releases the entry is for, bit i base i
//                   (a payload made from several); 0 for every one
//     5   25 bytes  zero
//    30   u32 LE    compressed, as above (a removal: 0)
//    34   u32 LE    size of the data
//    38   n bytes   the path, names joined by '/' (names.h)
//    38+n u8        0
//    39+n size      data; a removal's is kRemovalDataSize bytes: the old
//                   release's file to remove, its u64 LE size and u32 LE
//                   CRC-32C
//
// A payload made from several old releases (bases) begins with the entry
// of kind kEntryKindBases, whose path is their names joined by '/' (base 0
// first, at most kMaxBases), its bases byte, compressed field and size 0.
// An entry for some bases only names them in its bases byte; a patch takes
// one base, the first that the installation is as a whole, and of the
// entries only those for it (docs/delta.md, "Several bases").
//
// PayloadWriter writes the first form whenever the name fits it, so a
// payload of short plain names is what it always was.
//
// What follows the last entry is either nothing (payloads made before
// there were checksums) or the checksum trailer, which lzcx pack writes:
//
//   0      4 bytes     magic "LZCT"
//   4      u32 LE      version, 1
//   8      u32 LE      n, the count of entries
//  12      n * u32 LE  CRC-32C of each entry's record as stored: its 38
//                      header bytes (the whole name field included), an
//                      extended entry's path and its NUL, and data
//  12+4n   u32 LE      CRC-32C of the trailer's bytes 0 .. 12+4n
//  16+4n   u32 LE      the trailer's length, 24 + 4n
//  20+4n   4 bytes     magic "LZCT"
//
// so a reader finds it from the end. Every block and delta header of such a
// payload carries "LZCT" in its reserved field at offset 12 too (which
// decoders never read): a
// payload cut off right after its last entry is then seen to lack its
// trailer, not taken for an old payload.
//
// PayloadReader walks the entries by count and sizes, and never reads
// outside the bytes it was given: every header, name and data run is
// checked against the end before it is looked at.
#ifndef PATCHER_PAYLOAD_CONTAINER_H
#define PATCHER_PAYLOAD_CONTAINER_H

#include <stddef.h>
#include <stdint.h>

#include "payload/fault.h"
#include "payload/forms.h"
#include "payload/names.h"
#include "platform/platform.h"

const uint32_t kEntryHeaderSize = 38;
const int kEntryNameField = 30;  // so a name has at most 29 characters

// An extended entry's kinds, and a removal's data.
const uint8_t kEntryKindFile = 1;
const uint8_t kEntryKindRemoval = 2;
const uint8_t kEntryKindBases = 3;
// The most old releases a payload is made from: a bit of the bases byte each.
const int kMaxBases = 8;
// Where an extended entry's header has its bases byte.
const int kEntryBasesOffset = 4;
const uint32_t kRemovalDataSize = 12;

// The largest payload there can be: the program's resource has a 32-bit size.
const uint64_t kMaxPayloadSize = 0xFFFFFFFFull;

const uint8_t kTrailerMagic[4] = {'L', 'Z', 'C', 'T'};
const uint32_t kTrailerVersion = 1;

// Bytes of the trailer for `count` entries.
inline uint64_t TrailerSize(uint32_t count) { return 24 + 4 * static_cast<uint64_t>(count); }

// The compressed field of a delta entry: "LZCD" read as u32 LE. Its data
// begins with the delta header (delta.h).
const uint32_t kDeltaForm = 0x44435A4Cu;
// An executable-aware delta's: "LZCE". The same header; its stream names
// the old file's references and how their targets moved (delta.h).
const uint32_t kExeDeltaForm = 0x45435A4Cu;
// A strong entry's: "LZCS". Its data begins with the strong header
// (strong.h).
const uint32_t kStrongForm = 0x53435A4Cu;

struct PayloadEntry {
  int32_t index;         // 0 for the first entry
  const char* name;      // its path, NUL-terminated, inside the container
  bool extended;         // in the extended form
  bool removal;          // removes old_size bytes of CRC-32C old_crc
  bool crc_known;        // new_crc is the new file's: a delta's, or decoded
  bool continues;        // a strong entry that continues the group before it
  bool names_bases;      // the payload's bases: `name` is their names, joined by '/'
  uint8_t bases;         // the bases it is for, bit i base i; 0 for every one
  uint32_t compressed;
  uint32_t size;
  const uint8_t* data;   // `size` bytes, inside the container
  // For a compressed entry, from the block's header; for a delta entry,
  // the new file's size; for a stored entry, `size`: the bytes the entry
  // writes.
  uint32_t expanded_length;
  // A delta entry's old file (size and CRC-32C) and its new file's
  // CRC-32C, from its header; a removal's old file; for the other forms
  // zero, but new_crc once PatchEntries::CheckDecodes has decoded the entry
  // (crc_known).
  platform::WideField old_size;  // (see platform::WideField)
  uint32_t old_crc;
  uint32_t new_crc;
};

// Either delta: each is made from one old file, exactly that one.
inline bool IsDelta(const PayloadEntry& e) {
  return e.compressed == kDeltaForm || e.compressed == kExeDeltaForm;
}
inline bool IsStrong(const PayloadEntry& e) { return e.compressed == kStrongForm; }

// The form of an entry's data; a removal has none.
inline DataForm EntryForm(const PayloadEntry& e) {
  return e.removal || e.names_bases ? kFormNone
         : IsDelta(e)  ? (e.compressed == kDeltaForm ? kFormDelta : kFormExeDelta)
         : IsStrong(e) ? kFormStrong
         : e.compressed ? kFormBlock
                        : kFormStored;
}

// Whether `path` is one name that fits the first form's field.
inline bool FitsNameField(const char* path) {
  const char* c = path;
  while (*c && *c != '/') ++c;
  return !*c && c - path < kEntryNameField;
}

// What reading the entry needs, as FormBit bits (forms.h): its data's
// form, and FORM_PATHS or FORM_REMOVALS for the extended kinds; FORM_BASES
// for the bases and an entry for some of them (extended for its bases
// byte, it needs FORM_PATHS only for a path the first form cannot hold).
inline uint32_t EntryNeeds(const PayloadEntry& e) {
  const bool path = e.extended && !(e.bases && FitsNameField(e.name));
  return (e.names_bases || e.bases ? 1u << FORM_BASES : 0) |
         (e.names_bases ? 0
          : e.removal   ? 1u << FORM_REMOVALS
                        : FormBit(EntryForm(e)) | (path ? 1u << FORM_PATHS : 0));
}

// The word for the entry's form in messages and lists: a data form's, or
// "removal".
inline const char* EntryFormName(const PayloadEntry& e) {
  return e.names_bases ? "bases" : e.removal ? "removal" : DataFormName(EntryForm(e));
}

// The compressed field that names `form` (the writers write 1 for a block).
inline uint32_t FormField(DataForm form) {
  return form == kFormDelta      ? kDeltaForm
         : form == kFormExeDelta ? kExeDeltaForm
         : form == kFormStrong   ? kStrongForm
         : form == kFormBlock    ? 1
                                 : 0;
}

// Where a block's or a delta's header has its reserved field, which a
// payload with a checksum trailer fills with the trailer's magic.
const uint32_t kSealOffset = 12;

// Makes containers, for lzcx pack and the tests: the count, each entry's
// header and data, and the checksum trailer, handed to a sink in order as
// they are made, so that a large payload never has to be held whole.
class PayloadWriter {
 public:
  // Takes the next `size` bytes of the container; zero stops the writer.
  typedef int (*Sink)(void* context, const void* data, size_t size);

  // `sealed`: with the checksum trailer and every block and delta marked,
  // as lzcx writes payloads; else as payloads were before checksums.
  PayloadWriter(Sink sink, void* context, bool sealed = true);
  ~PayloadWriter();

  // Writes the count of entries.
  int Begin(int32_t count);
  // Writes the entry `path` holding `size` bytes of `form` at `data`: in
  // the first form when the path is one name that fits its field, else
  // extended. A sealed container marks a block's or delta's header as it
  // writes it (`data` itself is left as it is) and keeps the record's CRC.
  // Zero when the path is empty or longer than kLongestPath, memory runs
  // out, or the sink refuses. The path is not judged: tests write bad ones.
  // `bases`: the bases byte of an entry for some bases only (extended).
  int Add(const char* path, DataForm form, const uint8_t* data, uint32_t size,
          uint8_t bases = 0);
  // The same with the header's compressed field as given, for tests that
  // write fields no writer would.
  int AddWithField(const char* path, uint32_t field, const uint8_t* data, uint32_t size);
  // The same with the data in pieces, for data too large to hold: the
  // header of `size` bytes of `form`, then the data through AddData as it
  // comes (marked and summed as it goes), then EndEntry, zero unless the
  // pieces came to `size` bytes.
  int BeginEntry(const char* path, DataForm form, uint32_t size, uint8_t bases = 0);
  int AddData(const uint8_t* data, size_t size);
  int EndEntry();
  // Writes the removal of `path`, the old release's file of `old_size`
  // bytes and CRC-32C `old_crc`: always extended.
  int AddRemoval(const char* path, uint64_t old_size, uint32_t old_crc, uint8_t bases = 0);
  // Writes the bases entry: `names`, the bases' names joined by '/'. The
  // first entry of a payload made from several old releases.
  int AddBases(const char* names);
  // Writes the trailer after the last entry (nothing when not sealed).
  // Zero when the count written by Begin was not the entries' count.
  int End();
  // The entries written so far; and the count End expects, for a caller
  // that puts it into the container's first bytes itself once it knows it.
  uint32_t added() const { return added_; }
  void Recount(int32_t count) { count_ = count; }

 private:
  PayloadWriter(const PayloadWriter&) = delete;
  PayloadWriter& operator=(const PayloadWriter&) = delete;
  int Put(const void* data, size_t size, uint32_t* crc);
  int AddRecord(const char* path, uint8_t kind, uint32_t field, const uint8_t* data,
                uint32_t size, uint8_t bases = 0);
  int BeginRecord(const char* path, uint8_t kind, uint32_t field, uint32_t size,
                  uint8_t bases = 0);

  Sink sink_;
  void* context_;
  bool sealed_;
  int32_t count_;
  uint32_t added_;
  uint32_t* crcs_;
  // The entry being written: its CRC so far, its size, the bytes written
  // and whether its header is to be marked.
  uint32_t crc_;
  uint32_t size_;
  uint32_t done_;
  bool mark_;
};

// Keeps of the `count` entries only the last of each name, in their
// order, and returns how many that is: the format's rule is that a later
// entry of the same path (the same file on Windows, platform::SameFileName,
// a removal as much as a file) replaces an earlier one. -1 with `fault`
// without memory for the sort, when one entry's path is a folder of
// another's ("a" and "a/b"), which no folder can hold, or when a strong
// entry continues a group whose strong entry before it is not there or is
// replaced. Sorts, so that a payload of many entries costs n log n name
// comparisons.
int KeepLastOfEachName(PayloadEntry* entries, int count, char* fault = nullptr,
                       size_t fault_size = 0);

// The CRC-32C of an entry's record, header, path and data, as stored.
uint32_t EntryRecordCrc(const PayloadEntry& entry);

// What CheckPayloadIntegrity found.
struct PayloadIntegrity {
  bool checksums;      // a trailer was there, and every entry matched it
  int32_t count;
  size_t entries_end;  // where the last entry ends (and a trailer begins)
};

// Checks the whole container before anything is written or decoded: every
// entry as PayloadReader reads it, and what follows the last one. With a
// trailer, every entry's record must match its CRC; without one, nothing
// may follow the last entry, and no block may say a trailer belongs to it.
// Zero with `fault` (if given) naming what is wrong.
int CheckPayloadIntegrity(const uint8_t* data, size_t size, PayloadIntegrity* info,
                          char* fault, size_t fault_size);

// Whether the bytes look like a payload at all: a checksum trailer at the
// end, or an entry count and a first entry that fit, that entry holding a
// block with its magic or verbatim data. For the tools' messages only:
// what decides is the check.
bool LooksLikePayload(const uint8_t* data, size_t size);

class PayloadReader {
 public:
  PayloadReader(const uint8_t* data, size_t size);

  // Reads the count. Zero when the container is too short for one or the
  // count is zero or negative.
  int Start();
  int32_t count() const { return count_; }
  // The bases the entries read so far name: 0 without a bases entry.
  int bases() const { return bases_; }

  // Reads the next entry and checks everything that can be checked without
  // decoding: bounds, the name, a block's header, the bases (only first,
  // and no entry for a base the payload lacks). Zero at a fault (see
  // fault_text()) and after the last entry (done() is then true).
  int Next(PayloadEntry* entry);
  bool done() const { return started_ && next_index_ == count_; }
  // Where the entries read so far end.
  size_t offset() const { return offset_; }

  // What the last fault was, naming the entry: for messages of the tools.
  const char* fault_text() const { return fault_; }

 private:
  int Fail(const char* what, const char* name);

  const uint8_t* data_;
  size_t size_;
  size_t offset_;
  int32_t count_;
  int32_t next_index_;
  int bases_;
  bool started_;
  char fault_[256];
};

#endif  // PATCHER_PAYLOAD_CONTAINER_H
