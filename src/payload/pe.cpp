#include "payload/pe.h"

#include <string.h>

#include "payload/byte_order.h"
#include "payload/elf.h"

namespace {

bool IsPowerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

}  // namespace

int PeHeaders::Read(const uint8_t* data, size_t size) {
  data_ = data;
  size_ = size;
  if (size < 64 || data[0] != 'M' || data[1] != 'Z')
    return Fail("not a Windows executable (no MZ header)");
  const uint64_t pe = ReadLe32(data + 0x3C);
  if (pe + 24 > size || memcmp(data + pe, "PE\0\0", 4) != 0)
    return Fail("not a Windows executable (no PE header)");
  const uint8_t* coff = data + pe + 4;
  machine = ReadLe16(coff);
  const uint32_t sections = ReadLe16(coff + 2);
  const uint32_t optional_size = ReadLe16(coff + 16);
  characteristics = ReadLe16(coff + 18);
  optional_header = static_cast<size_t>(pe + 24);
  if (optional_header + optional_size > size || optional_size < 2)
    return Fail("damaged executable: optional header runs past the end of the file");
  const uint8_t* o = data + optional_header;
  const uint16_t magic = ReadLe16(o);
  if (magic != 0x10B && magic != 0x20B)
    return Fail("damaged executable: optional header is neither PE32 nor PE32+");
  plus = magic == 0x20B;
  const size_t dirs_at = plus ? 112 : 96;
  if (optional_size < dirs_at) return Fail("damaged executable: optional header too short");
  const uint32_t declared = ReadLe32(o + dirs_at - 4);
  directory_count = declared < 16 ? static_cast<int>(declared) : 16;
  directories = optional_header + dirs_at;
  if (dirs_at + 8ull * directory_count > optional_size)
    return Fail("damaged executable: data directories run past the optional header");
  entry_point = ReadLe32(o + 16);
  image_base = plus ? static_cast<uint64_t>(ReadLe32(o + 28)) << 32 | ReadLe32(o + 24)
                    : ReadLe32(o + 28);
  section_alignment = ReadLe32(o + 32);
  file_alignment = ReadLe32(o + 36);
  image_size = ReadLe32(o + 56);
  headers_size = ReadLe32(o + 60);
  checksum_at = optional_header + 64;
  if (!IsPowerOfTwo(section_alignment) || !IsPowerOfTwo(file_alignment) ||
      file_alignment > section_alignment)
    return Fail("damaged executable: bad section or file alignment");

  const uint64_t table = optional_header + optional_size;
  if (sections > kPeMaxSections || table + 40ull * sections > size)
    return Fail("damaged executable: section table runs past the end of the file");
  // lzcx edits the headers in place: they must lie within their declared
  // size, which no section's file data overlaps.
  if (table + 40ull * sections > headers_size || headers_size > size)
    return Fail("damaged executable: headers lie outside their declared size");
  section_table = static_cast<size_t>(table);
  section_count = static_cast<int>(sections);
  uint64_t end = 0;  // of the section before, in memory
  for (int i = 0; i < section_count; ++i) {
    const PeSection s = Section(i);
    if (s.raw_size && s.raw_offset < headers_size)
      return Fail("damaged executable: a section's file data overlaps the headers");
    // In ascending order without overlap, as the loader wants them.
    if (i && s.va < end) return Fail("damaged executable: sections overlap or are out of order");
    end = static_cast<uint64_t>(s.va) + s.Extent();
  }
  return 1;
}

uint32_t PeHeaders::DirectoryRva(int i) const {
  return i >= 0 && i < directory_count ? ReadLe32(data_ + directories + 8 * i) : 0;
}

uint32_t PeHeaders::DirectorySize(int i) const {
  return i >= 0 && i < directory_count ? ReadLe32(data_ + directories + 8 * i + 4) : 0;
}

PeSection PeHeaders::Section(int i) const {
  PeSection s;
  s.header = static_cast<uint32_t>(section_table + 40 * i);
  const uint8_t* h = data_ + s.header;
  memcpy(s.name, h, 8);
  s.name[8] = 0;
  s.vsize = ReadLe32(h + 8);
  s.va = ReadLe32(h + 12);
  s.raw_size = ReadLe32(h + 16);
  s.raw_offset = ReadLe32(h + 20);
  s.flags = ReadLe32(h + 36);
  return s;
}

int PeHeaders::SectionOf(uint64_t rva) const {
  for (int i = 0; i < section_count; ++i) {
    const PeSection s = Section(i);
    if (rva >= s.va && rva - s.va < s.Extent()) return i;
  }
  return -1;
}

int PeHeaders::Map(uint64_t rva, uint64_t length, size_t* offset, int only) const {
  const int i = SectionOf(rva);
  if (i < 0 || (only >= 0 && i != only)) return 0;
  const PeSection s = Section(i);
  const uint64_t within = rva - s.va;
  if (within + length > s.Stored() || s.raw_offset + within + length > size_) return 0;
  *offset = static_cast<size_t>(s.raw_offset + within);
  return 1;
}

PeRelocations::PeRelocations(const PeHeaders& pe) {
  size_ = pe.DirectorySize(kPeDirBaseRelocation);
  size_t at;
  if (!size_) return;
  if (!pe.Map(pe.DirectoryRva(kPeDirBaseRelocation), size_, &at)) {
    fault_ = "damaged executable: base relocations outside the file";
    return;
  }
  blocks_ = pe.data() + at;
  entry_ = 8;
}

int FindCodeRanges(const uint8_t* file, size_t size, CodeRange* out, int most) {
  if (IsElf(file, size)) return FindElfCodeRanges(file, size, out, most);
  PeHeaders pe;
  // Ranges hold 32-bit offsets.
  if (most <= 0 || size > 0xFFFFFFFFu || !pe.Read(file, size) ||
      (pe.machine != kPeMachineI386 && pe.machine != kPeMachineAmd64))
    return 0;
  // A .NET image whose code is all IL (its runtime header's flag 1) has no
  // x86 code worth the name.
  if (pe.DirectorySize(kPeDirClr)) {
    size_t at;
    if (!pe.Map(pe.DirectoryRva(kPeDirClr), 20, &at) || (ReadLe32(file + at + 16) & 1)) return 0;
  }
  CodeRange found[kPeMaxSections];
  int n = 0;
  for (int i = 0; i < pe.section_count; ++i) {
    const PeSection s = pe.Section(i);
    if (!(s.flags & (kPeSectionCode | kPeSectionExecute)) || s.raw_offset >= size) continue;
    CodeRange r = {s.raw_offset, s.Stored(),
                   s.va | (pe.machine == kPeMachineAmd64 ? kCodeRangeX64 : 0)};
    if (r.length > size - r.start) r.length = static_cast<uint32_t>(size - r.start);
    if (r.length) found[n++] = r;
  }
  return KeepCodeRanges(found, n, out, most);
}

int KeepCodeRanges(CodeRange* found, int n, CodeRange* out, int most) {
  if (most > kMaxCodeRanges) most = kMaxCodeRanges;
  if (most <= 0) return 0;
  // In file order (stable: few enough to insert one by one).
  for (int i = 1; i < n; ++i) {
    const CodeRange r = found[i];
    int k = i;
    for (; k > 0 && found[k - 1].start > r.start; --k) found[k] = found[k - 1];
    found[k] = r;
  }
  // Apart: a range that overlaps the one before loses its first bytes;
  // one that goes on from it in the file and in memory joins it.
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    CodeRange r = found[i];
    if (kept) {
      CodeRange& last = found[kept - 1];
      const uint32_t end = last.start + last.length;
      if (r.start < end) {
        const uint32_t cut = end - r.start;
        if (cut >= r.length) continue;
        r.start += cut;
        r.address += cut;
        r.length -= cut;
      }
      if (r.start == end && r.address == last.address + last.length) {
        last.length += r.length;
        continue;
      }
    }
    found[kept++] = r;
  }
  // Too many: the shortest go.
  while (kept > most) {
    int shortest = 0;
    for (int i = 1; i < kept; ++i)
      if (found[i].length < found[shortest].length) shortest = i;
    memmove(found + shortest, found + shortest + 1, sizeof *found * (kept - shortest - 1));
    --kept;
  }
  memcpy(out, found, sizeof *found * kept);
  return kept;
}
