// Executable-aware deltas (kExeDeltaForm): when code moves between two
// releases, every call, jump and pointer across the move changes value,
// and a byte-wise delta pays for each. Such a delta's stream names instead
// where the old file's references are (its layout: sections, base
// relocations, RVA tables) and how the targets moved (a map of shifts by
// RVA). The decoder finds the old file's references from the layout,
// predicts each one's new value through the map, and runs the byte-wise
// commands over the old file so projected: what the packer diffed against.
// Only the prediction depends on the analysis; a wrong one costs bytes,
// never correctness, and encoder and decoder compute it the same way,
// here. docs/delta.md gives the layout byte by byte.
//
// A reference in the table is its file offset << 2 | kind, the table
// ascending and its references apart (four bytes each):
//   kExeRel  a rel32 (E8, E9, 0F 8x; x64 RIP-relative): target = S + 4 + V,
//            S the operand's RVA; predicted V + shift(target) − shift(S)
//   kExeAbs  an absolute address (a base relocation, or the low half of a
//            64-bit one): target = V − base; predicted V + shift(target)
//            + base_shift
//   kExeRva  an RVA (a table's entry): target = V; predicted V + shift(V)
// A target at or past the image size is left as it is.
#ifndef PATCHER_PAYLOAD_EXE_DELTA_H
#define PATCHER_PAYLOAD_EXE_DELTA_H

#include <stdint.h>

#include "payload/delta.h"
#include "payload/delta_code.h"
#include "payload/stream.h"

const int kExeMaxSections = 96;
const int kExeMaxTables = 64;
// Bounds of what a decoder builds, 4 bytes a reference, 8 a shift and the
// relocation blocks twice: 39 MB at most, within what applying may use.
const uint32_t kExeMaxRefs = 8u << 20;
const uint32_t kExeMaxShifts = 1u << 18;
const uint32_t kExeMaxRelocBytes = 2u << 20;
// Offsets and a kind share 32 bits.
const uint32_t kExeMaxOld = 1u << 30;

enum ExeRefKind { kExeRel = 0, kExeAbs = 1, kExeRva = 2 };

// A run of the old file at an RVA; `code` when it is scanned for branches.
struct ExeSection {
  uint32_t start, length, rva, code;
};

// A table of 4-byte RVAs in the old file.
struct ExeTable {
  uint32_t start, count;
};

// The words of the layout coded before its sections and tables, from x64.
const int kExeLayoutWords = 10;
struct ExeLayout {
  union {
    struct {
      uint32_t x64;
      uint32_t image_size;
      uint32_t base;        // the low 32 bits of the old image base
      uint32_t base_shift;  // new base − old base, low 32 bits
      uint32_t reloc_start, reloc_size;
      uint32_t refs;  // the room the references' table needs
      uint32_t sections, tables;
      uint32_t shifts;  // the map's entries
    };
    uint32_t word[kExeLayoutWords];
  };
  // The sections' and tables' fields are coded as words too.
  union {
    ExeSection section[kExeMaxSections];
    uint32_t section_word[4 * kExeMaxSections];
  };
  union {
    ExeTable table[kExeMaxTables];
    uint32_t table_word[2 * kExeMaxTables];
  };
};

// How targets moved: from RVA at[i] on (at ascending), by shift[i] (mod
// 2^32); before at[0], not at all.
struct ExeMap {
  uint32_t count;
  uint32_t* at;
  uint32_t* shift;
  uint32_t ShiftAt(uint32_t rva) const;
};

// The models of the layout and the map.
struct ExeModels {
  DeltaProb layout[kNumberModel];
  DeltaProb gap[kNumberModel];
  DeltaProb shift[kNumberModel];
};

// The layout's and the map's code, once in the program: inlined, or made
// over for its one caller, it would cost more than a call.
#ifdef __clang__
#define PATCHER_EXE_CODER __attribute__((noinline))
#else
#define PATCHER_EXE_CODER __attribute__((noipa))
#endif

inline void ResetExeModels(ExeModels* m) {
  DeltaProb* p = reinterpret_cast<DeltaProb*>(m);
  for (uint32_t i = 0; i < sizeof(ExeModels) / sizeof *p; ++i) p[i] = kDeltaHalf;
}

// The layout: coded, or decoded into *l (zeroed first), every field a
// number, and checked against the old size. Zero when it cannot be sound.
template <class Coder>
PATCHER_EXE_CODER int CodeExeLayout(Coder& c, ExeModels* m, ExeLayout* l, uint32_t old_size) {
  ResetExeModels(m);
  DeltaProb* p = m->layout;
  for (int i = 0; i < kExeLayoutWords; ++i) l->word[i] = CodeNumber(c, p, l->word[i]);
  if (c.bad || old_size > kExeMaxOld || l->refs > kExeMaxRefs || l->sections > kExeMaxSections ||
      l->tables > kExeMaxTables || l->shifts > kExeMaxShifts ||
      l->reloc_size > kExeMaxRelocBytes || l->reloc_start > old_size ||
      l->reloc_size > old_size - l->reloc_start)
    return 0;
  for (uint32_t i = 0; i < 4 * l->sections; ++i)
    l->section_word[i] = CodeNumber(c, p, l->section_word[i]);
  for (uint32_t i = 0; i < 2 * l->tables; ++i) l->table_word[i] = CodeNumber(c, p, l->table_word[i]);
  // Sections inside the file (the scan reads them); a table's entries
  // past the file's end are no references.
  for (uint32_t i = 0; i < l->sections; ++i) {
    const ExeSection& s = l->section[i];
    if (s.start > old_size || s.length > old_size - s.start) return 0;
  }
  return !c.bad;
}

// The map's entries (its count coded already), each as the gap from the
// one before and the change of shift. Zero when they are not ascending.
template <class Coder>
PATCHER_EXE_CODER int CodeExeMap(Coder& c, ExeModels* m, ExeMap* map) {
  uint32_t at = 0, shift = 0;
  for (uint32_t i = 0; i < map->count; ++i) {
    const uint32_t gap = CodeNumber(c, m->gap, map->at[i] - at);
    // The change of shift zigzagged: 0, -1, 1, -2, ... as 0, 1, 2, 3, ...
    const uint32_t change = map->shift[i] - shift;
    const uint32_t z = CodeNumber(c, m->shift, change << 1 ^ (0u - (change >> 31)));
    if ((i && !gap) || at + gap < at) return 0;
    map->at[i] = at += gap;
    map->shift[i] = shift += z >> 1 ^ (0u - (z & 1));
  }
  return !c.bad;
}

// The old file's references into `table` (room for `room`), read through
// `old`, whose size the layout was checked against: those the relocations
// and the RVA tables name, and those the code's scan finds, then put in
// file order, and of two that overlap the first kept. The count kept, and
// in *used (if given) the room taken; and the old base relocation blocks
// (l.reloc_size bytes) into `relocs` as they would be were every entry
// moved by `map`. kDeltaDamaged when the room is too small,
// kDeltaNoMemory, or kDeltaStopped when the old file cannot be read.
DeltaFault FindExeRefs(const ExeLayout& l, OldBytes* old, uint32_t* table, uint32_t room,
                       uint32_t* kept, uint32_t* used, const ExeMap& map, uint8_t* relocs);

// The RVA of file offset `pos` by the layout's sections, and whether it
// has one.
int ExeRvaOf(const ExeLayout& l, uint32_t pos, uint32_t* rva);

// The old file with every reference predicted (above): what the commands
// of an executable-aware delta read. Pieces of up to kProjectPiece bytes.
class ProjectedOld final : public OldBytes {
 public:
  static const uint32_t kPiece = 1u << 16;
  // The buffer's size: a piece and the references' bytes either side.
  static const uint32_t kBufferSize = kPiece + 8;

  // Over `old` (`old_size` bytes), its `count` references in `refs` and
  // its relocations rebuilt in `relocs` (FindExeRefs).
  void Init(const ExeLayout* l, const ExeMap* map, const uint32_t* refs, uint32_t count,
            const uint8_t* relocs, OldBytes* old, uint32_t old_size, uint8_t* buffer) {
    l_ = l, map_ = map, refs_ = refs, count_ = count, old_ = old, size_ = old_size;
    relocs_ = relocs, buf_ = buffer;
    begin_ = end_ = 0;
  }
  const uint8_t* At(uint32_t pos, uint32_t* available) override;

 private:
  const ExeLayout* l_;
  const ExeMap* map_;
  const uint32_t* refs_;
  uint32_t count_;
  OldBytes* old_;
  uint32_t size_;
  const uint8_t* relocs_;
  uint8_t* buf_;
  uint32_t begin_, end_;  // what buf_ holds, projected
};

#endif  // PATCHER_PAYLOAD_EXE_DELTA_H
