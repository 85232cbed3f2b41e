#include "payload/elf.h"

#include "payload/byte_order.h"
#include "payload/pe.h"

namespace {

const uint32_t kSectionProgramData = 1;  // SHT_PROGBITS
const uint64_t kSectionExecute = 4;      // SHF_EXECINSTR
const uint32_t kSegmentLoad = 1;         // PT_LOAD
const uint32_t kSegmentExecute = 1;      // PF_X
const uint16_t kTypeObject = 1;          // ET_REL

uint64_t ReadLe64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadLe32(p + 4)) << 32 | ReadLe32(p);
}

// The header fields this reader uses, of either class.
struct ElfLayout {
  bool wide;  // ELF64
  uint64_t table_offset, entry_size, count;
  // Field offsets in an entry: type, flags, address, file offset, size.
  size_t type_at, flags_at, address_at, offset_at, size_at;
  size_t least;  // the shortest entry holding them
  uint64_t Field(const uint8_t* e, size_t at, bool word) const {
    return wide && word ? ReadLe64(e + at) : ReadLe32(e + at);
  }
};

}  // namespace

bool IsElf(const uint8_t* file, size_t size) {
  return size >= 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F';
}

int FindElfCodeRanges(const uint8_t* file, size_t size, CodeRange* out, int most) {
  if (most > kMaxCodeRanges) most = kMaxCodeRanges;
  // Ranges hold 32-bit offsets.
  if (most <= 0 || size > 0xFFFFFFFFu || size < 64 || !IsElf(file, size)) return 0;
  const uint8_t klass = file[4];
  if ((klass != 1 && klass != 2) || file[5] != 1 || file[6] != 1) return 0;
  const bool wide = klass == 2;
  const uint16_t type = ReadLe16(file + 16), machine = ReadLe16(file + 18);
  if (type == kTypeObject || (machine != kElfMachineI386 && machine != kElfMachineX86_64))
    return 0;
  const uint32_t x64 = machine == kElfMachineX86_64 ? kCodeRangeX64 : 0;

  ElfLayout l;
  l.wide = wide;
  // Section headers when there are any, else program headers.
  l.table_offset = wide ? ReadLe64(file + 40) : ReadLe32(file + 32);
  l.entry_size = ReadLe16(file + (wide ? 58 : 46));
  l.count = ReadLe16(file + (wide ? 60 : 48));
  const bool sections = l.table_offset && l.count;
  if (sections) {
    l.type_at = 4, l.flags_at = 8;
    l.address_at = wide ? 16 : 12, l.offset_at = wide ? 24 : 16, l.size_at = wide ? 32 : 20;
    l.least = wide ? 64 : 40;
  } else {
    l.table_offset = wide ? ReadLe64(file + 32) : ReadLe32(file + 28);
    l.entry_size = ReadLe16(file + (wide ? 54 : 42));
    l.count = ReadLe16(file + (wide ? 56 : 44));
    l.type_at = 0, l.flags_at = wide ? 4 : 24;
    l.address_at = wide ? 16 : 8, l.offset_at = wide ? 8 : 4, l.size_at = wide ? 32 : 16;
    l.least = wide ? 56 : 32;
  }
  if (!l.count || l.entry_size < l.least || l.table_offset > size ||
      l.entry_size * l.count > size - l.table_offset)
    return 0;

  CodeRange found[kElfMaxCode];
  int n = 0;
  for (uint64_t i = 0; i < l.count; ++i) {
    const uint8_t* e = file + l.table_offset + i * l.entry_size;
    const uint32_t kind = ReadLe32(e + l.type_at);
    // Section flags are a word in ELF64; segment flags never are.
    const uint64_t flags = l.Field(e, l.flags_at, sections);
    const bool code = sections ? kind == kSectionProgramData && (flags & kSectionExecute)
                               : kind == kSegmentLoad && (flags & kSegmentExecute);
    if (!code) continue;
    const uint64_t offset = l.Field(e, l.offset_at, true);
    uint64_t length = l.Field(e, l.size_at, true);
    if (offset >= size || !length) continue;
    if (length > size - offset) length = size - offset;
    if (n == kElfMaxCode) return 0;
    // Only the low 25 bits of an address count; 30 keep the flag clear
    // and the range's end from wrapping.
    const uint32_t address = static_cast<uint32_t>(l.Field(e, l.address_at, true)) & 0x3FFFFFFF;
    found[n++] = {static_cast<uint32_t>(offset), static_cast<uint32_t>(length), address | x64};
  }
  return KeepCodeRanges(found, n, out, most);
}
