#include "payload/exe_delta.h"

#include <stdlib.h>
#include <string.h>

#include "payload/byte_order.h"
#include "payload/pe.h"
#include "payload/x86.h"

namespace {

const uint32_t kScanPiece = 1u << 16;

// `size` bytes of the old file from `pos` into `out`.
int ReadOld(OldBytes* old, uint32_t pos, uint32_t size, uint8_t* out) {
  while (size) {
    uint32_t n;
    const uint8_t* from = old->At(pos, &n);
    if (!from) return 0;
    if (n > size) n = size;
    memcpy(out, from, n);
    out += n;
    pos += n;
    size -= n;
  }
  return 1;
}

// Ascending, in place (a heap: no memory, and no worst case).
void SortWords(uint32_t* a, uint32_t n) {
  auto sift = [a](uint32_t at, uint32_t end) {
    for (uint32_t child; (child = 2 * at + 1) < end; at = child) {
      if (child + 1 < end && a[child + 1] > a[child]) ++child;
      if (a[at] >= a[child]) return;
      const uint32_t t = a[at];
      a[at] = a[child];
      a[child] = t;
    }
  };
  for (uint32_t i = n / 2; i-- > 0;) sift(i, n);
  for (uint32_t i = n; i-- > 1;) {
    const uint32_t t = a[0];
    a[0] = a[i];
    a[i] = t;
    sift(0, i);
  }
}

// The file offset of `rva`'s four bytes, by the first section that holds
// them all; zero for none (the headers are no section's).
uint32_t OffsetOfRva(const ExeLayout& l, uint32_t rva) {
  for (uint32_t i = 0; i < l.sections; ++i) {
    const ExeSection& s = l.section[i];
    const uint32_t within = rva - s.rva;
    if (within < s.length && s.length - within >= 4) return s.start + within;
  }
  return 0;
}

}  // namespace

uint32_t ExeMap::ShiftAt(uint32_t rva) const {
  // The last entry at or before rva.
  uint32_t lo = 0, hi = count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (at[mid] <= rva)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo ? shift[lo - 1] : 0;
}

DeltaFault FindExeRefs(const ExeLayout& l, OldBytes* old, uint32_t* table, uint32_t room,
                       uint32_t* kept, uint32_t* used, const ExeMap& map, uint8_t* relocs) {
  // Each counted, and kept while there is room.
  uint32_t n = 0;
  auto push = [&](uint32_t pos, uint32_t kind) {
    if (n < room) table[n] = pos << 2 | kind;
    ++n;
  };
  // The relocation blocks, then the pieces of code scanned.
  uint8_t* bytes = static_cast<uint8_t*>(malloc(l.reloc_size + kScanPiece + 8));
  if (!bytes) return kDeltaNoMemory;
  // The base relocations: 32-bit ones, and the low half of 64-bit ones.
  // The blocks rebuilt into `relocs` as well: each entry where its
  // place moved, in the old entries' order, a block for each run of one
  // page, padded to four bytes by an entry of type 0, as linkers write
  // them; as far as the old blocks' bytes last.
  const uint32_t size = l.reloc_size;
  int ok = ReadOld(old, l.reloc_start, size, bytes);
  memcpy(relocs, bytes, size);
  PeRelocations relocations(bytes, size);
  uint32_t rva = 0, page = 0, head = 0, at = 0;
  uint32_t pos;
  int type, open = 0, full = 0;
  for (int more = ok; more;) {
    more = relocations.Next(&rva, &type);
    if (more && (type == 3 || type == 10) && (pos = OffsetOfRva(l, rva)) != 0) push(pos, kExeAbs);
    if (full) continue;
    const uint32_t moved = rva + map.ShiftAt(rva);
    if (open && (!more || moved >> 12 != page)) {
      // The block before ends (room for its padding was kept).
      if ((at - head) & 2) WriteLe16(relocs + at, 0), at += 2;
      WriteLe32(relocs + head + 4, at - head);
      open = 0;
    }
    if (!more || size - at < 12) {
      full = 1;
      continue;
    }
    if (!open) {
      open = 1;
      head = at;
      page = moved >> 12;
      WriteLe32(relocs + at, page << 12);
      at += 8;
    }
    WriteLe16(relocs + at, static_cast<uint32_t>(type) << 12 | (moved & 0xFFF));
    at += 2;
  }
  for (uint32_t t = 0; t < l.tables; ++t)
    for (uint32_t k = 0; n <= room && k < l.table[t].count; ++k)
      push(l.table[t].start + 4 * k, kExeRva);
  // The code, a piece at a time: an instruction is read whole, up to 7
  // bytes, and never past the section's end (at least 5 bytes are left at
  // each, and the operand must lie inside).
  uint8_t* piece = bytes;
  for (uint32_t k = 0; ok && n <= room && k < l.sections; ++k) {
    const ExeSection& s = l.section[k];
    const uint32_t end = s.start + s.length;
    for (uint32_t i = s.start, from = 0, held = 0; ok && s.code && i + 5 <= end;) {
      // piece[0] is the byte at `from`.
      if (i + 7 > from + held && from + held < end) {
        from = i;
        held = end - from < kScanPiece ? end - from : kScanPiece;
        if (!ReadOld(old, from, held, piece)) ok = 0;
      }
      const uint8_t* p = piece + (i - from);
      const uint32_t operand = X86OperandAt(p, l.x64 != 0, true);
      if (operand && end - i >= operand + 4 &&
          s.rva + (i - s.start) + operand + 4 + ReadLe32(p + operand) < l.image_size) {
        push(i + operand, kExeRel);
        i += operand + 4;
      } else {
        ++i;
      }
    }
  }
  free(bytes);
  if (!ok) return kDeltaStopped;
  if (n > room) return kDeltaDamaged;
  // In file order and apart: of two that overlap, the first stays.
  if (used) *used = n;
  SortWords(table, n);
  uint32_t m = 0;
  for (uint32_t k = 0; k < n; ++k)
    if (!m || (table[k] >> 2) - (table[m - 1] >> 2) >= 4) table[m++] = table[k];
  *kept = m;
  return kDeltaFine;
}

int ExeRvaOf(const ExeLayout& l, uint32_t pos, uint32_t* rva) {
  for (uint32_t i = 0; i < l.sections; ++i) {
    const ExeSection& s = l.section[i];
    if (pos - s.start < s.length) {
      *rva = s.rva + (pos - s.start);
      return 1;
    }
  }
  return 0;
}

const uint8_t* ProjectedOld::At(uint32_t pos, uint32_t* available) {
  if (pos - begin_ >= end_ - begin_) {
    // A piece from pos, with the three bytes before it and four after,
    // where a reference that crosses its ends lies.
    begin_ = pos;
    end_ = size_ - pos < kPiece ? size_ : pos + kPiece;
    const uint32_t from = pos < 3 ? 0 : pos - 3;
    const uint32_t to = size_ - end_ < 4 ? size_ : end_ + 4;
    uint8_t* b = buf_ + (pos - from);  // b[0] is the byte at pos
    if (!ReadOld(old_, from, to - from, buf_)) {
      end_ = begin_;
      return nullptr;
    }
    // The relocations as the map moved them, where they lie in the piece.
    const uint32_t rs = l_->reloc_start, re = rs + l_->reloc_size;
    for (uint32_t at = from > rs ? from : rs; at < re && at < to; ++at)
      buf_[at - from] = relocs_[at - rs];
    // The first reference that reaches into the piece.
    uint32_t lo = 0, hi = count_;
    while (lo < hi) {
      const uint32_t mid = lo + (hi - lo) / 2;
      if (refs_[mid] >> 2 < from)
        lo = mid + 1;
      else
        hi = mid;
    }
    for (uint32_t i = lo; i < count_ && (refs_[i] >> 2) < end_; ++i) {
      const uint32_t at = refs_[i] >> 2, kind = refs_[i] & 3;
      if (at + 4 > size_) break;
      uint8_t* v = b + (static_cast<int32_t>(at - pos));
      const uint32_t value = ReadLe32(v);
      uint32_t rva = 0, target, predicted;
      if (kind == kExeRel) {
        if (!ExeRvaOf(*l_, at, &rva)) continue;
        target = rva + 4 + value;
        predicted = value - map_->ShiftAt(rva);
      } else if (kind == kExeAbs) {
        target = value - l_->base;
        predicted = value + l_->base_shift;
      } else {
        target = value;
        predicted = value;
      }
      if (target >= l_->image_size) continue;
      WriteLe32(v, predicted + map_->ShiftAt(target));
    }
  }
  *available = end_ - pos;
  return buf_ + (pos - begin_) + (begin_ < 3 ? begin_ : 3);
}
