// The strong entries' encoder (payload/strong.h): a solid group of files,
// held in memory one after the other, into one strong entry each.
#ifndef PATCHER_TOOLS_LZCX_STRONG_ENCODER_H
#define PATCHER_TOOLS_LZCX_STRONG_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "payload/x86.h"

struct StrongSettings {
  int level = 9;        // 9: the strongest parse; 1: a quick one for test builds
  // pb 1: 0.1-0.3% smaller than 2 on programs and text.
  uint8_t lc = 3, lp = 0, pb = 1;
  int window_log = 26;  // at most kStrongMaxWindowLog
};

// The window log a group of `bytes` bytes needs: the least that holds it
// whole, at least kStrongMinWindowLog, at most `most`.
int StrongWindowFor(uint64_t bytes, int most = 26);

class StrongEncoder {
 public:
  // `group` holds the group's files back to back (`size` bytes), each
  // already transformed where it names code ranges (X86Absolute); it must
  // outlive the encoder, which keeps no other copy.
  StrongEncoder(const StrongSettings& settings, const uint8_t* group, uint64_t size);
  ~StrongEncoder();
  // Encodes the group's next file, `size` bytes whose CRC-32C (of the
  // file's own bytes, before the transform) is `crc`, appending the entry
  // data (header with the ranges, then the code) to *out. The first file
  // starts the group, the rest continue it. Zero without memory, past the
  // group's end, or with ranges outside the file or out of order.
  int EncodeNext(uint32_t size, uint32_t crc, const CodeRange* ranges, int count,
                 std::vector<uint8_t>* out);
  // The peak of the encoder's own memory so far, in bytes.
  size_t peak_memory() const;

 private:
  StrongEncoder(const StrongEncoder&) = delete;
  StrongEncoder& operator=(const StrongEncoder&) = delete;
  struct State;
  State* state_;
};

#endif  // PATCHER_TOOLS_LZCX_STRONG_ENCODER_H
