// The packer's delta encoder: a new file as a delta entry's data
// (payload/delta.h) made against the old file it replaces.
//
// Matches are found as bsdiff finds them: a suffix array of the old file
// gives, at each position of the new file, the longest exact match in the
// old one; a match is taken when it is clearly better than going on with
// the old position of the last one, and then grown both ways while at
// least half of its bytes agree, so that code that moved and whose
// addresses changed becomes one match with a few differences. Between
// matches the new bytes are "extra". The differences (mostly zero runs)
// and the extra bytes are coded with adaptive models (payload/delta_code.h).
//
// Memory: the suffix array, 4 bytes per old byte (12 where the build has
// no libdivsufsort and sorts by prefix doubling), the models (2.5 MB) and
// the entry's data; the two files are the caller's.
#ifndef PATCHER_TOOLS_LZCX_DELTA_ENCODER_H
#define PATCHER_TOOLS_LZCX_DELTA_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "payload/forms.h"

// The largest old file a delta is made against (the suffix array's indexes
// are 32-bit and signed).
const uint64_t kMaxDeltaOld = 0x7FFFFFF0ull;

struct DeltaStats {
  uint64_t commands;
  uint64_t add_bytes;    // new bytes made from old ones
  uint64_t diff_bytes;   // of those, the ones that differ
  uint64_t extra_bytes;  // new bytes taken as they are
  uint64_t work_memory;  // the encoder's peak beyond the two files
};

// Bytes of work memory EncodeDelta needs for an old file of `old_size`
// bytes, besides its output.
uint64_t DeltaWorkMemory(uint64_t old_size);

// Writes the data of a delta entry that makes `new_data` from `old_data`
// into `*out` (replacing its contents), its reserved field zero. With
// `form`, an executable-aware delta (kFormExeDelta) where both files are
// executables it can read and that is smaller, and *form says which the
// data is; without, a byte-wise delta (kFormDelta) always. Zero when an
// input is too large (old above kMaxDeltaOld, new above 4 GB) or memory
// runs out.
int EncodeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                size_t new_size, std::vector<uint8_t>* out, DeltaStats* stats = nullptr,
                DataForm* form = nullptr);

// The suffix sort of builds without libdivsufsort (lzcx.exe): prefix
// doubling, 8 bytes per byte besides `sa` (n entries). Zero when memory
// runs out.
int SortSuffixesByDoubling(const uint8_t* data, int32_t n, int32_t* sa);

#endif  // PATCHER_TOOLS_LZCX_DELTA_ENCODER_H
