// The packer's side of executable-aware deltas (payload/exe_delta.h): the
// old file's layout read from its PE headers (pe.h), and the map of how
// its targets moved, learnt from the byte-wise matches of the new file in
// the old one: wherever a match lines up a reference of the old file with
// one of the same kind in the new, its target (and, for a relative one,
// its own place) votes for the shift it saw. Each target takes the shift
// most of its votes name, and the map steps where a run of targets that
// agree changes shift, a run of one vote being taken for noise.
#ifndef PATCHER_TOOLS_LZCX_EXE_ENCODER_H
#define PATCHER_TOOLS_LZCX_EXE_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "payload/exe_delta.h"

// `add` bytes of the new file at `scan` matched with the old ones at `from`.
struct ExeAligned {
  size_t scan, from, add;
};

// The layout of an i386 or AMD64 image that is not .NET code only, its
// image base in *base. Zero for any other file.
int ReadExeLayout(const uint8_t* data, size_t size, ExeLayout* l, uint64_t* base);

class ExeMade {
 public:
  // Both files' layouts and references, for both executables of one
  // machine; zero for any others, or when the references are too many.
  // The files must outlive this.
  int Read(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size);
  // The map, from the matches (after Read). It steps where references vote
  // for it, and with `matches_step` also where only matches do.
  void Learn(const std::vector<ExeAligned>& aligned, bool matches_step);
  // The old file projected, as the decoder reads it, into `out`.
  void Project(uint8_t* out);
  ExeMap Map() { return ExeMap{static_cast<uint32_t>(at_.size()), at_.data(), shift_.data()}; }
  // The peak of what Read and Learn held beside the files.
  uint64_t Memory() const { return memory_; }

  ExeLayout layout;
  size_t old_size = 0;

 private:
  const uint8_t* old_ = nullptr;
  const uint8_t* new_ = nullptr;
  ExeLayout to_;  // the new file's
  std::vector<uint32_t> refs_, new_refs_, at_, shift_;
  uint64_t memory_ = 0;
};

#endif  // PATCHER_TOOLS_LZCX_EXE_ENCODER_H
