#include "payload/delta.h"

#include <stdlib.h>
#include <string.h>

#include "payload/crc32c.h"
#include "payload/delta_code.h"
#include "payload/exe_delta.h"

#ifndef PATCHER_NO_FAULT_TEXT
const char* DeltaFaultText(DeltaFault fault) {
  switch (fault) {
    case kDeltaFine: return "no fault";
    case kDeltaOldDiffers: return "the old file is not the one the delta was made from";
    case kDeltaDamaged: return "delta stream damaged";
    case kDeltaNewDiffers: return "the file made does not match its CRC-32C";
    case kDeltaNoMemory: return "out of memory";
    case kDeltaStopped: return "the old file could not be read, or the new one written";
  }
  return "unknown fault";
}
#endif

namespace {

// The reader with the delta models' code: each decision adapts its model.
struct Decoder : DeltaReader {
  int Code(DeltaProb* p, int, int rate = kDeltaRate) {
    const int bit = Decide(*p & 0xFFFF);
    DeltaAdapt(p, bit, rate);
    return bit;
  }
};

// Output gathered into pieces for the sink.
struct Pieces {
  ByteSink* sink;
  uint8_t* buffer;  // kStreamPiece bytes
  uint32_t fill;

  // Zero once the sink has stopped.
  int Put(const uint8_t* data, uint32_t size) {
    while (size) {
      if (fill == kStreamPiece && !Flush()) return 0;
      uint32_t n = kStreamPiece - fill;
      if (n > size) n = size;
      memcpy(buffer + fill, data, n);
      fill += n;
      data += n;
      size -= n;
    }
    return 1;
  }
  int Flush() {
    const uint32_t n = fill;
    fill = 0;
    return !n || sink->Take(buffer, n);
  }
};

// The one decode: with a sink, makes the new file from `old` into it;
// without, only walks the stream. Every length is checked against what is
// left of the old and the new file before anything is copied.
DeltaFault Decode(const PayloadEntry& e, OldBytes* old, ByteSink* sink) {
  if (!IsDelta(e) || e.size < kDeltaHeaderSize) return kDeltaDamaged;
  const bool exe = e.compressed == kExeDeltaForm;
  // The models, the output's piece, and an executable's layout and models
  // (the layout zeroed, as its decode wants it).
  struct Exe {
    ExeLayout layout;
    ExeModels models;
  };
  const size_t piece = sink ? kStreamPiece : 0;
  DeltaModels* m = static_cast<DeltaModels*>(malloc(sizeof(DeltaModels) + piece + sizeof(Exe)));
  if (!m) return kDeltaNoMemory;
  ResetDeltaModels(m);
  Pieces out = {sink, reinterpret_cast<uint8_t*>(m + 1), 0};
  Exe* x = reinterpret_cast<Exe*>(out.buffer + piece);
  memset(x, 0, sizeof *x);
  ProjectedOld projected;
  ExeMap map = {0, nullptr, nullptr};
  Decoder c;
  c.Start(e.data + kDeltaHeaderSize, e.data + e.size);
  const uint32_t old_size = e.old_size;
  const uint32_t new_size = e.expanded_length;
  uint32_t op = 0, pos = 0, last_diff = 0, last_literal = 0;
  DeltaFault fault = kDeltaDamaged;
  // How the extra bytes come: coded (by the byte before, or as noise), or
  // as they are, `raw` bytes at the entry's end, after the code.
  const uint32_t form = CodeTree(c, m->extra_form, 2, 0);
  const int noise = form != kExtraCoded;
  const int literal_rate = noise ? kDeltaSlowRate : kDeltaRate;
  uint32_t raw = form == kExtraRaw ? CodeNumber(c, m->raw, 0) : 0;
  const uint8_t* rp = c.iend;
  if (c.bad || form > kExtraRaw || raw > static_cast<size_t>(c.iend - c.ip)) goto done;
  rp -= raw;
  c.iend = rp;
  if (exe) {
    // The old file's layout and how its targets moved; with the old file,
    // its references found and the old bytes read projected. The map, the
    // references, the relocations rebuilt and the projection's piece in
    // one allocation.
    const ExeLayout& l = x->layout;
    if (!CodeExeLayout(c, &x->models, &x->layout, old_size)) goto done;
    map.count = l.shifts;
    const size_t room = 4 * size_t(l.refs) + l.reloc_size + ProjectedOld::kBufferSize;
    map.at = static_cast<uint32_t*>(calloc(8 * size_t(map.count) + (sink ? room : 0), 1));
    if (!map.at) goto no_memory;
    map.shift = map.at + map.count;
    if (!CodeExeMap(c, &x->models, &map)) goto done;
    if (sink) {
      uint32_t* refs = map.shift + map.count;
      uint8_t* relocs = reinterpret_cast<uint8_t*>(refs + l.refs);
      uint32_t found;
      const DeltaFault why = FindExeRefs(l, old, refs, l.refs, &found, nullptr, map, relocs);
      if (why) {
        fault = why;
        goto done;
      }
      projected.Init(&l, &map, refs, found, relocs, old, old_size, relocs + l.reloc_size);
      old = &projected;
    }
  }
  while (op < new_size) {
    // Seek, add, extra; a command that makes nothing is damage.
    const uint32_t start = op;
    const int back = c.Code(m->seek_sign, 0);
    const uint32_t seek = CodeNumber(c, m->seek, 0);
    if (c.bad || (back ? seek > pos : seek > old_size - pos)) goto done;
    pos = back ? pos - seek : pos + seek;
    uint32_t add = CodeNumber(c, m->add, 0);
    if (c.bad || add > old_size - pos || add > new_size - op) goto done;
    for (int first = 1; add; first = 0) {
      // A run of old bytes as they are, then (unless the add ends there)
      // one old byte plus a difference.
      const uint32_t run = CodeNumber(c, RunModel(m, last_diff, first), 0);
      if (c.bad || c.over || run > add) goto done;
      const uint32_t diff = run < add;
      const uint32_t d = diff ? CodeTree(c, DiffModel(m, last_diff, run), 8, 0) : 0;
      // As far as the old file's window goes at a time; the last byte put
      // stays in the piece.
      for (uint32_t left = run + diff, n; sink && left; left -= n) {
        const uint8_t* from = old->At(pos + run + diff - left, &n);
        if (n > left) n = left;
        if (!from || !out.Put(from, n)) goto stopped;
      }
      if (diff) {
        if (sink) out.buffer[out.fill - 1] = static_cast<uint8_t>(out.buffer[out.fill - 1] + d);
        last_diff = d;
      }
      op += run + diff;
      pos += run + diff;
      add -= run + diff;
    }
    const uint32_t extra = CodeNumber(c, m->extra, 0);
    if (c.bad || extra > new_size - op || (!extra && op == start)) goto done;
    if (form == kExtraRaw) {
      if (extra > raw) goto done;
      if (sink && !out.Put(rp, extra)) goto stopped;
      rp += extra;
      raw -= extra;
      op += extra;
      continue;
    }
    for (uint32_t i = 0; i < extra; ++i) {
      last_literal = CodeTree(c, m->literal + (noise ? 0 : 256 * last_literal), 8, 0, literal_rate);
      const uint8_t b = static_cast<uint8_t>(last_literal);
      if (sink && !out.Put(&b, 1)) goto stopped;
      ++op;
    }
    if (c.over) goto done;
  }
  // The code's bytes end exactly where its last decision needs them.
  if (c.over || c.ip != c.iend || raw) goto done;
  fault = kDeltaFine;
  if (!sink || out.Flush()) goto done;
stopped:
  fault = kDeltaStopped;
  goto done;
no_memory:
  fault = kDeltaNoMemory;
done:
  free(map.at);
  free(m);
  return fault;
}

int Finish(DeltaFault what, DeltaFault* fault) {
  if (fault) *fault = what;
  return what == kDeltaFine;
}

}  // namespace

void WriteDeltaHeader(uint8_t* out, uint32_t old_size, uint32_t new_size, uint32_t old_crc,
                      uint32_t new_crc) {
  WriteLe32(out, old_size);
  WriteLe32(out + 4, new_size);
  WriteLe32(out + 8, old_crc);
  WriteLe32(out + 12, 0);
  WriteLe32(out + 16, new_crc);
}

int DeltaOldMatches(const PayloadEntry& e, const uint8_t* old_data, uint32_t old_size) {
  return old_size == e.old_size && Crc32c(0, old_data, old_size) == e.old_crc;
}

int ApplyDelta(const uint8_t* old_data, uint32_t old_size, const PayloadEntry& e, uint8_t* out,
               DeltaFault* fault) {
  if (!DeltaOldMatches(e, old_data, old_size)) return Finish(kDeltaOldDiffers, fault);
  OldInMemory old(old_data, old_size);
  SinkToMemory sink(out, e.expanded_length);
  DeltaFault what = Decode(e, &old, &sink);
  if (what == kDeltaFine && sink.crc != e.new_crc)
    what = kDeltaNewDiffers;
  return Finish(what, fault);
}

DeltaFault StreamDelta(const PayloadEntry& e, OldBytes* old, ByteSink* sink) {
  return Decode(e, old, sink);
}
