#include "lzcx/exe_encoder.h"

#include <string.h>

#include <algorithm>

#include "payload/byte_order.h"
#include "payload/pe.h"

namespace {

// A file's references, found as the decoder finds them, and in *used the
// room they need; zero when that is more than a decoder takes.
int FindRefs(const ExeLayout& l, const uint8_t* data, size_t size, std::vector<uint32_t>* refs,
             uint32_t* used) {
  // Each of the three kinds apart takes 4 bytes of the file.
  uint64_t room = 3 * (size / 4) + 8;
  if (room > kExeMaxRefs) room = kExeMaxRefs;
  refs->resize(room);
  OldInMemory bytes(data, static_cast<uint32_t>(size));
  uint32_t n = 0;
  std::vector<uint8_t> relocs(l.reloc_size + 1);  // as the empty map moves them: unused
  const ExeMap none = {0, nullptr, nullptr};
  const DeltaFault fault = FindExeRefs(l, &bytes, refs->data(), static_cast<uint32_t>(room), &n,
                                       used, none, relocs.data());
  refs->resize(n);
  return fault == kDeltaFine;
}

// The target of the reference `ref` in `data`, when it is in the image.
int TargetOf(const ExeLayout& l, const uint8_t* data, uint32_t ref, uint32_t* target) {
  const uint32_t at = ref >> 2, value = ReadLe32(data + at);
  uint32_t rva = 0;
  switch (ref & 3) {
    case kExeRel:
      if (!ExeRvaOf(l, at, &rva)) return 0;
      *target = rva + 4 + value;
      break;
    case kExeAbs:
      *target = value - l.base;
      break;
    default:
      *target = value;
  }
  return *target < l.image_size;
}

struct Vote {
  uint32_t at, shift;
  bool reference;  // a reference's, not a match's own
  bool operator<(const Vote& o) const { return at != o.at ? at < o.at : shift < o.shift; }
};

// The votes a run of targets that agree must carry to step the map: a
// step costs about what two or three mispredicted references do, and a
// run after which the map steps back costs two.
const size_t kRunVotes = 3, kIsolatedVotes = 6;
// A match votes for its own shift once in this many bytes.
const size_t kRegionStep = 64;

}  // namespace

int ReadExeLayout(const uint8_t* data, size_t size, ExeLayout* l, uint64_t* base) {
  memset(l, 0, sizeof *l);
  PeHeaders pe;
  if (size >= kExeMaxOld || !pe.Read(data, size) ||
      (pe.machine != kPeMachineI386 && pe.machine != kPeMachineAmd64) ||
      pe.DirectorySize(kPeDirClr))
    return 0;
  l->x64 = pe.machine == kPeMachineAmd64;
  l->image_size = pe.image_size;
  l->base = static_cast<uint32_t>(pe.image_base);
  *base = pe.image_base;
  // Each section's file data, in file order and apart.
  std::vector<ExeSection> runs;
  for (int i = 0; i < pe.section_count; ++i) {
    const PeSection s = pe.Section(i);
    if (!s.Stored() || s.raw_offset >= size) continue;
    const uint32_t stored = s.Stored();
    ExeSection run = {s.raw_offset,
                      static_cast<uint32_t>(std::min<size_t>(stored, size - s.raw_offset)), s.va,
                      (s.flags & (kPeSectionCode | kPeSectionExecute)) ? 1u : 0u};
    runs.push_back(run);
  }
  std::stable_sort(runs.begin(), runs.end(),
                   [](const ExeSection& a, const ExeSection& b) { return a.start < b.start; });
  uint32_t end = 0;
  for (ExeSection r : runs) {
    if (r.start < end) {
      const uint32_t cut = end - r.start;
      if (cut >= r.length) continue;
      r.start += cut, r.rva += cut, r.length -= cut;
    }
    l->section[l->sections++] = r;
    end = r.start + r.length;
  }
  size_t at;
  const uint32_t relocs = pe.DirectorySize(kPeDirBaseRelocation);
  if (relocs && relocs <= kExeMaxRelocBytes &&
      pe.Map(pe.DirectoryRva(kPeDirBaseRelocation), relocs, &at)) {
    l->reloc_start = static_cast<uint32_t>(at);
    l->reloc_size = relocs;
  }
  // Tables of RVAs: an x64 image's unwind entries, three RVAs each; the
  // export directory's addresses and names; the import descriptors and
  // their thunks (the 64-bit ones' high halves are zero: no target).
  auto table = [&](uint32_t rva, uint64_t bytes) {
    if (l->tables < kExeMaxTables && bytes >= 4 && bytes <= size && pe.Map(rva, bytes, &at))
      l->table[l->tables++] = ExeTable{static_cast<uint32_t>(at), static_cast<uint32_t>(bytes / 4)};
  };
  if (l->x64) table(pe.DirectoryRva(kPeDirException), pe.DirectorySize(kPeDirException));
  if (pe.Map(pe.DirectoryRva(kPeDirExport), 40, &at)) {
    const uint8_t* e = data + at;
    table(ReadLe32(e + 28), 4ull * ReadLe32(e + 20));
    table(ReadLe32(e + 32), 4ull * ReadLe32(e + 24));
  }
  const uint32_t thunk = l->x64 ? 8 : 4;
  for (uint32_t rva = pe.DirectoryRva(kPeDirImport); pe.Map(rva, 20, &at); rva += 20) {
    const uint8_t* d = data + at;
    if (!ReadLe32(d + 12)) break;  // the descriptor that ends them
    table(rva, 20);
    for (uint32_t t : {ReadLe32(d), ReadLe32(d + 16)}) {
      uint32_t n = 0;
      while (n < 0x10000 && pe.Map(t + uint64_t(n) * thunk, thunk, &at) && ReadLe32(data + at)) ++n;
      table(t, uint64_t(n) * thunk);
    }
  }
  return 1;
}

int ExeMade::Read(const uint8_t* old_data, size_t old_bytes, const uint8_t* new_data,
                  size_t new_size) {
  uint64_t old_base, new_base;
  if (!ReadExeLayout(old_data, old_bytes, &layout, &old_base) ||
      !ReadExeLayout(new_data, new_size, &to_, &new_base) || layout.x64 != to_.x64)
    return 0;
  old_ = old_data;
  new_ = new_data;
  old_size = old_bytes;
  layout.base_shift = static_cast<uint32_t>(new_base - old_base);
  uint32_t used, ignored;
  if (!FindRefs(layout, old_data, old_size, &refs_, &used) ||
      !FindRefs(to_, new_data, new_size, &new_refs_, &ignored))
    return 0;
  layout.refs = used;
  memory_ = 4 * (refs_.capacity() + new_refs_.capacity());
  return 1;
}

void ExeMade::Learn(const std::vector<ExeAligned>& aligned, bool matches_step) {
  at_.clear();
  shift_.clear();
  const ExeLayout& to = to_;
  const std::vector<uint32_t>& new_refs = new_refs_;
  const uint8_t *old_data = old_, *new_data = new_;
  // Where the matches line up references of one kind: each target's
  // shift, and each relative reference's own.
  std::vector<Vote> votes;
  for (const ExeAligned& a : aligned) {
    // Where the match lies: every so many bytes of it, its own shift.
    for (size_t off = 0; off + kRegionStep <= a.add; off += kRegionStep) {
      uint32_t here, there;
      if (ExeRvaOf(layout, static_cast<uint32_t>(a.from + off), &here) &&
          ExeRvaOf(to, static_cast<uint32_t>(a.scan + off), &there))
        votes.push_back(Vote{here, there - here, false});
    }
    auto n = std::lower_bound(new_refs.begin(), new_refs.end(), static_cast<uint32_t>(a.scan << 2));
    auto o = refs_.begin();
    for (; n != new_refs.end() && (*n >> 2) + 4 <= a.scan + a.add; ++n) {
      const uint32_t want = static_cast<uint32_t>(a.from + ((*n >> 2) - a.scan)) << 2 | (*n & 3);
      o = std::lower_bound(o, refs_.end(), want);
      if (o == refs_.end()) break;
      uint32_t from, to_target, here, there;
      if (*o != want || !TargetOf(layout, old_data, *o, &from) ||
          !TargetOf(to, new_data, *n, &to_target))
        continue;
      votes.push_back(Vote{from, to_target - from, true});
      if (ExeRvaOf(layout, *o >> 2, &here) && ExeRvaOf(to, *n >> 2, &there))
        votes.push_back(Vote{here, there - here, true});
    }
  }
  const uint64_t votes_memory = sizeof(Vote) * votes.capacity();
  std::sort(votes.begin(), votes.end());
  // Each target's shift, by most votes (the smallest of a tie)...
  struct Point {
    uint32_t at, shift;
    size_t votes, references;
  };
  std::vector<Point> points;
  for (size_t i = 0, j = 0; i < votes.size(); i = j) {
    Point p = {votes[i].at, 0, 0, 0};
    for (size_t k = i; k < votes.size() && votes[k].at == p.at; k = j) {
      size_t references = 0;
      for (j = k; j < votes.size() && votes[j].at == p.at && votes[j].shift == votes[k].shift; ++j)
        references += votes[j].reference;
      if (j - k > p.votes) p.shift = votes[k].shift, p.votes = j - k, p.references = references;
    }
    points.push_back(p);
  }
  // ... and the map steps where a run of targets that agree, with votes
  // enough, changes shift; a run that only matches vote for steps nothing
  // points into.
  uint32_t shift = 0;
  for (size_t i = 0; i < points.size() && at_.size() < kExeMaxShifts; ++i) {
    if (points[i].shift == shift) continue;
    size_t weight = 0, references = 0, k = i;
    for (; k < points.size() && points[k].shift == points[i].shift; ++k)
      weight += points[k].votes, references += points[k].references;
    const bool isolated = k < points.size() && points[k].shift == shift;
    if ((!references && !matches_step) || weight < (isolated ? kIsolatedVotes : kRunVotes))
      continue;
    at_.push_back(points[i].at);
    shift_.push_back(points[i].shift);
    shift = points[i].shift;
  }
  const uint64_t memory = 4 * (refs_.capacity() + new_refs.capacity()) + votes_memory +
                          sizeof(Point) * points.capacity();
  if (memory > memory_) memory_ = memory;
}

void ExeMade::Project(uint8_t* out) {
  OldInMemory bytes(old_, static_cast<uint32_t>(old_size));
  std::vector<uint8_t> buffer(ProjectedOld::kBufferSize);
  const ExeMap map = Map();
  ProjectedOld projected;
  // The references again, as the decoder finds them, and the relocations
  // rebuilt on the way.
  std::vector<uint32_t> refs(layout.refs + 1);
  std::vector<uint8_t> relocs(layout.reloc_size + 1);
  uint32_t kept = 0;
  FindExeRefs(layout, &bytes, refs.data(), layout.refs, &kept, nullptr, map, relocs.data());
  projected.Init(&layout, &map, refs.data(), kept, relocs.data(),
                 &bytes, static_cast<uint32_t>(old_size), buffer.data());
  for (uint32_t pos = 0, n; pos < old_size; pos += n) {
    const uint8_t* p = projected.At(pos, &n);
    memcpy(out + pos, p, n);
  }
}
