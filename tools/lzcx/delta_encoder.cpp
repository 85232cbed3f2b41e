#include "lzcx/delta_encoder.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/delta.h"
#include "payload/delta_code.h"
#include "lzcx/exe_encoder.h"

#ifdef LZCX_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace {

#ifdef LZCX_HAVE_DIVSUFSORT
const uint64_t kSuffixBytes = 4;
#else
const uint64_t kSuffixBytes = 12;
#endif

// The suffix array of `data` into `sa` (n entries). Zero when memory runs
// out.
int SortSuffixes(const uint8_t* data, int32_t n, int32_t* sa) {
#ifdef LZCX_HAVE_DIVSUFSORT
  return n == 0 || divsufsort(data, sa, n) == 0;
#else
  return SortSuffixesByDoubling(data, n, sa);
#endif
}

size_t MatchLength(const uint8_t* a, size_t a_size, const uint8_t* b, size_t b_size) {
  const size_t n = a_size < b_size ? a_size : b_size;
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of `key` among the old file's suffixes: a binary
// search that skips the bytes both bounds already share with the key.
size_t Search(const int32_t* sa, const uint8_t* old, size_t old_size, const uint8_t* key,
              size_t key_size, size_t* pos) {
  size_t lo = 0, hi = old_size - 1;
  size_t lo_len = MatchLength(old + sa[lo], old_size - sa[lo], key, key_size);
  size_t hi_len = MatchLength(old + sa[hi], old_size - sa[hi], key, key_size);
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    const size_t at = static_cast<size_t>(sa[mid]);
    const size_t skip = lo_len < hi_len ? lo_len : hi_len;
    const size_t len = skip + MatchLength(old + at + skip, old_size - at - skip, key + skip,
                                          key_size - skip);
    if (len == key_size) {
      *pos = at;
      return len;
    }
    if (at + len == old_size || old[at + len] < key[len]) {
      lo = mid;
      lo_len = len;
    } else {
      hi = mid;
      hi_len = len;
    }
  }
  *pos = static_cast<size_t>(lo_len >= hi_len ? sa[lo] : sa[hi]);
  return lo_len >= hi_len ? lo_len : hi_len;
}

// The arithmetic coder's encoding side (delta.cpp has the decoding one).
struct Encoder {
  std::vector<uint8_t>* out;
  uint32_t x1 = 0, x2 = 0xFFFFFFFFu;
  int bad = 0;

  int Code(DeltaProb* p, int bit, int rate = kDeltaRate) {
    const uint32_t split = DeltaSplit(x1, x2, *p);
    if (bit)
      x2 = split;
    else
      x1 = split + 1;
    DeltaAdapt(p, bit, rate);
    while (!((x1 ^ x2) >> 24)) {
      out->push_back(static_cast<uint8_t>(x2 >> 24));
      x1 <<= 8;
      x2 = x2 << 8 | 255;
    }
    return bit;
  }
  void Flush() {
    for (int i = 0; i < 4; ++i, x1 <<= 8) out->push_back(static_cast<uint8_t>(x1 >> 24));
  }
};

// A command as the matcher finds it: `add` bytes of the new file at
// `scan` from the old ones at `from`, then `extra` new bytes as they are.
struct Command {
  size_t scan, from, add, extra;
};

// Codes the commands after the header in *out, with the decoder's
// bookkeeping; extra bytes in the form given. Counts into `stats`, if
// given.
void CodeCommands(const std::vector<Command>& commands, const uint8_t* old_data,
                  const uint8_t* new_data, ExtraForm form, DeltaModels* m, ExeMade* exe,
                  std::vector<uint8_t>* out, DeltaStats* stats) {
  ResetDeltaModels(m);
  Encoder c;
  c.out = out;
  CodeTree(c, m->extra_form, 2, form);
  const int noise = form != kExtraCoded;
  const int literal_rate = noise ? kDeltaSlowRate : kDeltaRate;
  std::vector<uint8_t> raw;
  if (form == kExtraRaw) {
    uint64_t total = 0;
    for (const Command& cmd : commands) total += cmd.extra;
    CodeNumber(c, m->raw, static_cast<uint32_t>(total));
  }
  if (exe) {
    ExeModels x;
    ExeMap map = exe->Map();
    exe->layout.shifts = map.count;
    CodeExeLayout(c, &x, &exe->layout, static_cast<uint32_t>(exe->old_size));
    CodeExeMap(c, &x, &map);
  }
  size_t pos = 0;
  uint32_t last_diff = 0, last_literal = 0;
  for (const Command& cmd : commands) {
    const size_t from = cmd.add ? cmd.from : pos;  // nothing is read: no seek
    const uint8_t* old_at = old_data + from;
    const uint8_t* new_at = new_data + cmd.scan;
    const int back = from < pos;
    c.Code(m->seek_sign, back);
    CodeNumber(c, m->seek, static_cast<uint32_t>(back ? pos - from : from - pos));
    CodeNumber(c, m->add, static_cast<uint32_t>(cmd.add));
    size_t i = 0;
    for (int first = 1; i < cmd.add; first = 0) {
      size_t run = 0;
      while (i + run < cmd.add && new_at[i + run] == old_at[i + run]) ++run;
      CodeNumber(c, RunModel(m, last_diff, first), static_cast<uint32_t>(run));
      i += run;
      if (i == cmd.add) break;
      const uint32_t d = static_cast<uint8_t>(new_at[i] - old_at[i]);
      CodeTree(c, DiffModel(m, last_diff, run), 8, d);
      last_diff = d;
      ++i;
      if (stats) ++stats->diff_bytes;
    }
    pos = from + cmd.add;
    CodeNumber(c, m->extra, static_cast<uint32_t>(cmd.extra));
    if (form == kExtraRaw) raw.insert(raw.end(), new_at + cmd.add, new_at + cmd.add + cmd.extra);
    for (size_t k = 0; form != kExtraRaw && k < cmd.extra; ++k) {
      const uint32_t b = new_at[cmd.add + k];
      CodeTree(c, m->literal + (noise ? 0 : 256 * last_literal), 8, b, literal_rate);
      last_literal = b;
    }
    if (stats) {
      ++stats->commands;
      stats->add_bytes += cmd.add;
      stats->extra_bytes += cmd.extra;
    }
  }
  c.Flush();
  out->insert(out->end(), raw.begin(), raw.end());
}

// The matches of the new file in the old one, as bsdiff takes them (the
// header comment), with `sa` the old file's suffix array.
void MatchFiles(const int32_t* sa, const uint8_t* old_data, size_t old_size,
                const uint8_t* new_data, size_t new_size, std::vector<Command>* out) {
  std::vector<Command>& commands = *out;
  // bsdiff's scan: `lastscan`/`lastpos` is where the current match began
  // in the new and the old file, `lastoffset` its offset.
  size_t scan = 0, len = 0, pos = 0, lastscan = 0, lastpos = 0;
  ptrdiff_t lastoffset = 0;
  auto agrees = [&](size_t at) {
    const ptrdiff_t o = static_cast<ptrdiff_t>(at) + lastoffset;
    return o >= 0 && static_cast<size_t>(o) < old_size && old_data[o] == new_data[at];
  };
  while (scan < new_size) {
    // How many bytes of the new match the last match's offset also
    // explains: a new match is taken only when it does clearly better.
    ptrdiff_t oldscore = 0;
    size_t scsc = scan += len;
    for (; scan < new_size; ++scan) {
      len = old_size ? Search(sa, old_data, old_size, new_data + scan, new_size - scan, &pos) : 0;
      for (; scsc < scan + len; ++scsc)
        if (agrees(scsc)) ++oldscore;
      const ptrdiff_t slen = static_cast<ptrdiff_t>(len);
      if ((slen == oldscore && len) || slen > oldscore + 8) break;
      if (agrees(scan)) --oldscore;
    }
    if (static_cast<ptrdiff_t>(len) == oldscore && scan != new_size) continue;
    // Grow the last match forward while at least half its bytes agree...
    ptrdiff_t s = 0, best = 0;
    size_t lenf = 0;
    for (size_t i = 0; lastscan + i < scan && lastpos + i < old_size;) {
      if (old_data[lastpos + i] == new_data[lastscan + i]) ++s;
      ++i;
      if (s * 2 - static_cast<ptrdiff_t>(i) > best * 2 - static_cast<ptrdiff_t>(lenf)) {
        best = s;
        lenf = i;
      }
    }
    // ... and the new one backward.
    size_t lenb = 0;
    if (scan < new_size) {
      s = 0;
      best = 0;
      for (size_t i = 1; scan >= lastscan + i && pos >= i; ++i) {
        if (old_data[pos - i] == new_data[scan - i]) ++s;
        if (s * 2 - static_cast<ptrdiff_t>(i) > best * 2 - static_cast<ptrdiff_t>(lenb)) {
          best = s;
          lenb = i;
        }
      }
    }
    // Where they overlap, the split that agrees best.
    if (lastscan + lenf > scan - lenb) {
      const size_t overlap = (lastscan + lenf) - (scan - lenb);
      s = 0;
      best = 0;
      size_t lens = 0;
      for (size_t i = 0; i < overlap; ++i) {
        const size_t back = lenf - overlap + i;
        if (new_data[lastscan + back] == old_data[lastpos + back]) ++s;
        if (new_data[scan - lenb + i] == old_data[pos - lenb + i]) --s;
        if (s > best) {
          best = s;
          lens = i + 1;
        }
      }
      lenf += lens - overlap;
      lenb -= lens;
    }
    const size_t extra = (scan - lenb) - (lastscan + lenf);
    if (lenf || extra) commands.push_back(Command{lastscan, lastpos, lenf, extra});
    lastscan = scan - lenb;
    lastpos = pos - lenb;
    lastoffset = static_cast<ptrdiff_t>(pos) - static_cast<ptrdiff_t>(scan);
  }
}

// The commands coded with extra bytes in each form; the smallest stream is
// kept, but raw ones (applied at the speed of a copy) where coding saves
// less than 1/256. Appended to the header in *out.
void CodeBest(const std::vector<Command>& commands, const uint8_t* old_data,
              const uint8_t* new_data, DeltaModels* m, ExeMade* exe, std::vector<uint8_t>* out,
              DeltaStats* stats) {
  std::vector<uint8_t> noisy(out->begin(), out->end()), raw(out->begin(), out->end());
  CodeCommands(commands, old_data, new_data, kExtraCoded, m, exe, out, stats);
  CodeCommands(commands, old_data, new_data, kExtraNoise, m, exe, &noisy, nullptr);
  if (noisy.size() < out->size()) out->swap(noisy);
  CodeCommands(commands, old_data, new_data, kExtraRaw, m, exe, &raw, nullptr);
  if (raw.size() - raw.size() / 256 <= out->size()) out->swap(raw);
}

}  // namespace

int SortSuffixesByDoubling(const uint8_t* data, int32_t n, int32_t* sa) {
  if (n == 0) return 1;
  // Sorted by the first k bytes, then by 2k, until every rank differs.
  int32_t* rank = static_cast<int32_t*>(malloc(sizeof(int32_t) * 2 * size_t(n)));
  if (!rank) return 0;
  int32_t* next = rank + n;
  for (int32_t i = 0; i < n; ++i) sa[i] = i, rank[i] = data[i];
  for (int32_t k = 1;; k <<= 1) {
    auto key = [&](int32_t i) { return i + k < n ? rank[i + k] : -1; };
    auto less = [&](int32_t a, int32_t b) {
      return rank[a] != rank[b] ? rank[a] < rank[b] : key(a) < key(b);
    };
    std::sort(sa, sa + n, less);
    next[sa[0]] = 0;
    for (int32_t i = 1; i < n; ++i) next[sa[i]] = next[sa[i - 1]] + less(sa[i - 1], sa[i]);
    memcpy(rank, next, sizeof(int32_t) * size_t(n));
    if (rank[sa[n - 1]] == n - 1 || k >= n) break;
  }
  free(rank);
  return 1;
}

uint64_t DeltaWorkMemory(uint64_t old_size) {
  return kSuffixBytes * old_size + sizeof(DeltaModels);
}

// How many times each way the map is learnt: each pass's matches teach
// the next.
const int kExePasses = 2;

int EncodeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                size_t new_size, std::vector<uint8_t>* out, DeltaStats* stats,
                DataForm* form) {
  if (form) *form = kFormDelta;
  const uint64_t new_bytes = new_size;  // a size_t of 32 bits is never too large
  if (old_size > kMaxDeltaOld || new_bytes >> 32) return 0;
  DeltaStats local;
  if (!stats) stats = &local;
  memset(stats, 0, sizeof *stats);
  stats->work_memory = DeltaWorkMemory(old_size);
  int32_t* sa = static_cast<int32_t*>(malloc(sizeof(int32_t) * (old_size ? old_size : 1)));
  DeltaModels* m = static_cast<DeltaModels*>(malloc(sizeof(DeltaModels)));
  int ok = sa && m && SortSuffixes(old_data, static_cast<int32_t>(old_size), sa);
  if (ok) {
    out->assign(kDeltaHeaderSize, 0);
    WriteDeltaHeader(out->data(), static_cast<uint32_t>(old_size),
                     static_cast<uint32_t>(new_size), Crc32c(0, old_data, old_size),
                     Crc32c(0, new_data, new_size));
    std::vector<Command> commands;
    MatchFiles(sa, old_data, old_size, new_data, new_size, &commands);
    CodeBest(commands, old_data, new_data, m, nullptr, out, stats);
    // The executable-aware delta where both are executables it reads and
    // it comes out smaller: its map learnt from the byte-wise matches, then
    // once more from the matches against the old file so projected; the
    // map stepping only where references vote for it, or also where only
    // matches do (data that moved whole, whose references the first
    // matches missed).
    ExeMade exe;
    std::vector<uint8_t> projected;
    const std::vector<Command> bytewise = commands;
    const bool both_read = form && exe.Read(old_data, old_size, new_data, new_size);
    const int passes = both_read ? 2 * kExePasses : 0;
    for (int pass = 0; ok && pass < passes; ++pass) {
      if (pass == kExePasses) commands = bytewise;
      std::vector<ExeAligned> aligned;
      for (const Command& cmd : commands)
        aligned.push_back(ExeAligned{cmd.scan, cmd.from, cmd.add});
      exe.Learn(aligned, pass >= kExePasses);
      projected.resize(old_size);
      exe.Project(projected.data());
      ok = SortSuffixes(projected.data(), static_cast<int32_t>(old_size), sa);
      if (!ok) break;
      commands.clear();
      MatchFiles(sa, projected.data(), old_size, new_data, new_size, &commands);
      DeltaStats exe_stats = {};
      std::vector<uint8_t> data(out->begin(), out->begin() + kDeltaHeaderSize);
      CodeBest(commands, projected.data(), new_data, m, &exe, &data, &exe_stats);
      if (data.size() < out->size()) {
        out->swap(data);
        exe_stats.work_memory = stats->work_memory;
        *stats = exe_stats;
        *form = kFormExeDelta;
      }
      const uint64_t memory = DeltaWorkMemory(old_size) + exe.Memory() + 2 * old_size;
      if (memory > stats->work_memory) stats->work_memory = memory;
    }
  }
  free(sa);
  free(m);
  return ok;
}
