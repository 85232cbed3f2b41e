// Windows executables (PE32 and PE32+) read from a byte buffer: the
// headers, the section table, the data directories and the base
// relocations, and the code ranges the x86 transform works on (x86.h).
// Every offset is checked against the buffer before a byte is read, so a
// damaged or hostile file is a fault with a reason, never a read outside.
// lzcx's only way to read PE headers; the program itself links only the
// base relocations' walk (pe_relocations.cpp), over blocks an
// executable-aware delta names (exe_delta.h).
#ifndef PATCHER_PAYLOAD_PE_H
#define PATCHER_PAYLOAD_PE_H

#include <stddef.h>
#include <stdint.h>

#include "payload/x86.h"

const uint16_t kPeMachineI386 = 0x14C;
const uint16_t kPeMachineAmd64 = 0x8664;

// Data directories by index.
const int kPeDirExport = 0;
const int kPeDirImport = 1;
const int kPeDirResource = 2;
const int kPeDirException = 3;    // x64: each function's unwind entry, RVAs
const int kPeDirCertificate = 4;  // a file offset, not an address
const int kPeDirBaseRelocation = 5;
const int kPeDirDebug = 6;
const int kPeDirClr = 14;

// Section flags.
const uint32_t kPeSectionCode = 0x20;
const uint32_t kPeSectionInitializedData = 0x40;
const uint32_t kPeSectionExecute = 0x20000000;

// The most sections a file may have here (the loader takes 96).
const int kPeMaxSections = 96;

struct PeSection {
  uint32_t header;  // file offset of its entry in the section table
  char name[9];     // zero-terminated
  uint32_t va, vsize, raw_offset, raw_size, flags;
  // What the section occupies in memory; old linkers leave vsize zero.
  uint32_t Extent() const { return vsize ? vsize : raw_size; }
  // How many of its bytes the file holds: its raw data, no more than it
  // occupies in memory.
  uint32_t Stored() const { return raw_size < Extent() ? raw_size : Extent(); }
};

// The headers of one image. Read checks them: the PE signature, an
// optional header of PE32 or PE32+ holding its directories, power-of-two
// alignments, the section table inside the declared size of the headers,
// no section's file data in the headers, sections in ascending address
// order without overlap.
class PeHeaders {
 public:
  // Nonzero when the headers are sound; else zero with the reason in
  // fault() ("not a Windows executable ...", "damaged executable: ...").
  int Read(const uint8_t* data, size_t size);
  const char* fault() const { return fault_; }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  uint16_t machine = 0;
  uint16_t characteristics = 0;  // of the file (COFF header)
  bool plus = false;             // PE32+
  uint64_t image_base = 0;
  uint32_t entry_point = 0;  // an RVA
  uint32_t section_alignment = 0, file_alignment = 0;
  uint32_t image_size = 0, headers_size = 0;
  size_t optional_header = 0;  // file offset
  size_t checksum_at = 0;      // file offset of the checksum field
  size_t directories = 0;      // file offset of the data directories
  int directory_count = 0;     // as declared, at most 16
  size_t section_table = 0;    // file offset
  int section_count = 0;

  uint32_t DirectoryRva(int i) const;
  uint32_t DirectorySize(int i) const;
  // Section i (0 <= i < section_count).
  PeSection Section(int i) const;
  // The section whose memory holds `rva`, or -1.
  int SectionOf(uint64_t rva) const;
  // The file offset of `length` bytes at `rva`, all inside the file data
  // of one section (of section `only` when it is not -1).
  int Map(uint64_t rva, uint64_t length, size_t* offset, int only = -1) const;

 private:
  int Fail(const char* why) {
    fault_ = why;
    return 0;
  }
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  const char* fault_ = "";
};

// The base relocations, entry by entry over their blocks; the padding
// entries (type 0) are passed over.
class PeRelocations {
 public:
  explicit PeRelocations(const PeHeaders& pe);
  // Over blocks already found: `size` bytes at `blocks`.
  PeRelocations(const uint8_t* blocks, uint32_t size)
      : blocks_(size ? blocks : nullptr), size_(size), entry_(8) {}
  // The next entry: the RVA it patches and its type (3: 32 bits, 10: 64
  // bits). Zero at the end, or when the blocks are damaged (fault() then
  // says how).
  int Next(uint32_t* rva, int* type);
  const char* fault() const { return fault_; }

 private:
  const uint8_t* blocks_ = nullptr;  // null when there are none
  uint32_t size_ = 0;
  uint32_t block_ = 0;  // offset of the block read
  uint32_t entry_ = 0;  // offset of its next entry
  const char* fault_ = nullptr;
};

// The code of an i386 or AMD64 image: its executable sections' file data,
// as ranges in file order, apart, each with its RVA as address
// (kCodeRangeX64 set in it for AMD64); at most
// `most` (up to kMaxCodeRanges; the longest when there are more). Zero
// ranges for anything else: not PE, another machine, .NET code only,
// damaged headers. An ELF file is read by elf.h instead.
int FindCodeRanges(const uint8_t* file, size_t size, CodeRange* out, int most);

// The `n` ranges in `found` (shuffled in place) put in file order and
// apart, as FindCodeRanges gives them, into `out`: those that go on from
// one another in the file and in memory alike joined, the longest kept
// when there are more than `most`. The count in `out`.
int KeepCodeRanges(CodeRange* found, int n, CodeRange* out, int most);

#endif  // PATCHER_PAYLOAD_PE_H
