#include "payload/strong.h"

#include <stdlib.h>
#include <string.h>

#include "payload/byte_order.h"
#include "payload/strong_code.h"


#ifndef PATCHER_NO_FAULT_TEXT
const char* StrongFaultText(StrongFault fault) {
  switch (fault) {
    case kStrongFine: return "no fault";
    case kStrongDamaged: return "strong entry damaged";
    case kStrongUnchained: return "strong entry does not follow the entry it continues";
    case kStrongNoMemory: return "out of memory";
    case kStrongStopped: return "the file could not be written";
  }
  return "unknown fault";
}
#endif

int ReadStrongHeader(const uint8_t* data, uint32_t size, StrongHeader* h) {
  if (size < kStrongHeaderSize) return 0;
  h->size = ReadLe32(data);
  h->crc = ReadLe32(data + 4);
  h->continues = data[8] & kStrongContinues;
  h->lc = data[9];
  h->lp = data[10] & 15;
  h->pb = data[10] >> 4;
  h->window_log = data[11];
  h->ranges_count = data[16];
  if (data[8] > kStrongContinues || h->lc > 8 || h->lp > 4 || h->pb > 4 ||
      h->window_log < kStrongMinWindowLog || h->window_log > kStrongMaxWindowLog ||
      h->ranges_count > kMaxCodeRanges)
    return 0;
  const uint32_t head = kStrongHeaderSize + 12 * h->ranges_count;
  if (size < head) return 0;
  // Ranges out of order or beyond the file are passed over by the
  // restore as by the transform (x86.h): only the packer's are written.
  for (int i = 0; i < h->ranges_count; ++i) {
    CodeRange* r = h->ranges + i;
    const uint8_t* p = data + kStrongHeaderSize + 12 * i;
    r->start = ReadLe32(p);
    r->length = ReadLe32(p + 4);
    r->address = ReadLe32(p + 8);
  }
  h->code = data + head;
  h->code_size = size - head;
  return 1;
}

uint32_t WriteStrongHeader(uint8_t* out, const StrongHeader& h) {
  WriteLe32(out, h.size);
  WriteLe32(out + 4, h.crc);
  out[8] = h.continues ? kStrongContinues : 0;
  out[9] = h.lc;
  out[10] = static_cast<uint8_t>(h.lp | h.pb << 4);
  out[11] = h.window_log;
  WriteLe32(out + 12, 0);
  out[16] = static_cast<uint8_t>(h.ranges_count);
  uint8_t* p = out + kStrongHeaderSize;
  for (int i = 0; i < h.ranges_count; ++i, p += 12) {
    WriteLe32(p, h.ranges[i].start);
    WriteLe32(p + 4, h.ranges[i].length);
    WriteLe32(p + 8, h.ranges[i].address);
  }
  return static_cast<uint32_t>(p - out);
}

namespace {

// The reader with the strong models' code: each decision by the mean of
// a model's two probabilities (or of two models'), which both learn.
struct Decoder : DeltaReader {
  PATCHER_CODER_HOT int Code(DeltaProb* p, int = 0, int = 0) {
    const int bit = Decide(StrongP(*p));
    StrongAdapt(p, bit);
    return bit;
  }
  PATCHER_CODER_HOT int Code2(DeltaProb* p, DeltaProb* p2, int = 0) {
    const int bit = Decide((StrongP(*p) + StrongP(*p2)) >> 1);
    StrongAdapt(p, bit);
    StrongAdapt(p2, bit);
    return bit;
  }
};

}  // namespace

// What passes from one entry of a group to the next.
struct StrongDecoder::State {
  uint8_t* window;  // 2^w bytes, circular
  StrongModels* models;
  uint32_t mask;       // 2^w - 1
  uint32_t filled;     // bytes of the group in the window, at most 2^w
  uint32_t pos;        // in the window: where the next byte goes
  uint32_t group_pos;  // the group's bytes so far, modulo 2^32 (its low bits count)
  uint32_t state;
  uint32_t rep[4];
  uint8_t lc, lp, pb, window_log;
  int chained;  // the last entry was this group's and sound
};

StrongDecoder::StrongDecoder() : state_(static_cast<State*>(calloc(1, sizeof(State)))) {}

StrongDecoder::~StrongDecoder() {
  Reset();
  free(state_);
}

void StrongDecoder::Reset() {
  if (!state_) return;
  free(state_->window);
  state_->window = nullptr;
  state_->models = nullptr;
  state_->chained = 0;
}

StrongFault StrongDecoder::Decode(const uint8_t* data, uint32_t size, ByteSink* sink) {
  State* s = state_;
  if (!s) return kStrongNoMemory;
  StrongHeader h;
  const int chained = s->chained;
  s->chained = 0;
  if (!ReadStrongHeader(data, size, &h)) return Reset(), kStrongDamaged;
  if (h.continues) {
    if (!chained) return Reset(), kStrongUnchained;
    if (h.lc != s->lc || h.lp != s->lp || h.pb != s->pb || h.window_log != s->window_log)
      return Reset(), kStrongDamaged;
  } else {
    // A fresh group: its window, then its models, in one allocation.
    Reset();
    const uint32_t window = 1u << h.window_log;
    s->window = static_cast<uint8_t*>(malloc(window + StrongModelsSize(h.lc, h.lp)));
    if (!s->window) return kStrongNoMemory;
    s->models = reinterpret_cast<StrongModels*>(s->window + window);
    ResetStrongModels(s->models, h.lc, h.lp);
    s->mask = window - 1;
    s->filled = s->pos = s->group_pos = s->state = 0;
    memset(s->rep, 0, sizeof s->rep);
    s->lc = h.lc;
    s->lp = h.lp;
    s->pb = h.pb;
    s->window_log = h.window_log;
  }
  X86Restore restore(sink, h.ranges, h.ranges_count);
  ByteSink* out = h.ranges_count ? &restore : sink;
  StrongModels* m = s->models;
  uint8_t* const window = s->window;
  const uint32_t mask = s->mask;
  const uint32_t pb_mask = (1u << h.pb) - 1;
  Decoder c;
  c.Start(h.code, h.code + h.code_size);
  uint32_t left = h.size, state = s->state, pos = s->pos, done = pos;
  uint32_t* const rep = s->rep;
  while (left) {
    // A sound code is never read past its end.
    if (c.over) goto damaged;
    const uint32_t pos_state = s->group_pos & pb_mask;
    uint32_t len = 1, from = rep[0];
    const uint32_t prev = s->filled ? window[(pos - 1) & mask] : 0;
    if (!c.Code(StrongIsMatch(m, state, pos_state, prev))) {
      // A literal is put, then copied onto itself.
      DeltaProb* probs = StrongLiterals(m, s->group_pos, prev, h.lc, h.lp);
      const uint32_t base = StrongMatchedBase(state, from < s->filled);
      const uint32_t match_byte = base ? window[(pos - from - 1) & mask] : 0;
      window[pos] = static_cast<uint8_t>(
          CodeLiteral(c, probs, StrongOrder1(m, h.lc, h.lp, prev), 0, match_byte, base));
      state = StrongAfterLiteral(state);
      from = 0xFFFFFFFFu;
    } else {
      // Rep i (moved to the front), or a new distance (the reps move up).
      uint32_t i = 3, d;
      if (c.Code(&m->is_rep[state])) {
        i = 0;
        if (!c.Code(&m->is_rep0[state])) {
          if (!c.Code(&m->is_rep0_long[state][pos_state])) {
            state = StrongAfterShortRep(state);
            goto check;
          }
        } else {
          i = 1;
          if (c.Code(&m->is_rep1[state])) i = 2 + c.Code(&m->is_rep2[state]);
        }
        d = rep[i];
        len = CodeLength(c, &m->rep_length, pos_state, 0);
        state = StrongAfterRep(state);
      } else {
        len = CodeLength(c, &m->length, pos_state, 0);
        d = CodeDistance(c, m, len, 0);
        state = StrongAfterMatch(state);
      }
      for (; i; --i) rep[i] = rep[i - 1];
      from = rep[0] = d;
      len += kStrongMinMatch;
    check:
      // Within what the group has made, within the window, within the entry.
      if (c.bad || from >= s->filled || len > left) goto damaged;
    }
    left -= len;
    s->group_pos += len;
    s->filled = len < mask + 1 - s->filled ? s->filled + len : mask + 1;
    // Handed on in pieces straight from the window, whenever it wraps or
    // a piece is full.
    while (len) {
      const uint32_t end = done + kStreamPiece < mask + 1 ? done + kStreamPiece : mask + 1;
      const uint32_t n = end - pos < len ? end - pos : len;
      const uint32_t src = (pos - from - 1) & mask;
      // Whole, where the source does not wrap and lies before the bytes
      // made or ahead of them (a distance near 2^w): memmove copies forwards.
#ifndef __OPTIMIZE_SIZE__
      if (from <= mask && from >= n && src <= mask + 1 - n) {
        memmove(window + pos, window + src, n);
      } else
#endif
      {
        for (uint32_t i = 0; i < n; ++i) window[pos + i] = window[(src + i) & mask];
      }
      pos += n;
      len -= n;
      if (pos == end) {
        if (!out->Take(window + done, pos - done)) goto stopped;
        done = pos = pos & mask;
      }
    }
  }
  // The code's bytes end exactly where its last decision needs them.
  if (c.over || c.ip != c.iend) goto damaged;
  if ((pos != done && !out->Take(window + done, pos - done)) ||
      (h.ranges_count && !restore.Finish()))
    goto stopped;
  s->state = state;
  s->pos = pos;
  s->chained = 1;
  return kStrongFine;
damaged:
  Reset();
  return kStrongDamaged;
stopped:
  Reset();
  return kStrongStopped;
}
