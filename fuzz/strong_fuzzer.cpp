// Strong entries, two ways. Byte 0 even: the rest is two entries (byte 1
// and 2 say where the first ends) decoded one after the other by one
// decoder, their sizes cut to 1 MB and their windows to 1 MB so that a run
// stays quick; whatever they hold, the decode must not crash, and a second
// entry that continues a first that failed is unchained. Byte 0 odd: the
// rest is a group of two files (byte 1 says where the first ends), whose
// entries from the packer's encoder at level 1 must decode to them exactly.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "lzcx/strong_encoder.h"
#include "payload/crc32c.h"
#include "payload/strong.h"

namespace {

// Keeps what it takes.
class Keep : public ByteSink {
 public:
  std::vector<uint8_t> bytes;

 protected:
  int Put(const uint8_t* data, uint32_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return 1;
  }
};

std::vector<uint8_t> Tamed(const uint8_t* data, size_t size) {
  std::vector<uint8_t> e(data, data + size);
  if (e.size() >= kStrongHeaderSize) {
    e[2] &= 0x0F;
    e[3] = 0;
    if (e[11] > 20 && e[11] <= kStrongMaxWindowLog) e[11] = 20;
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  if (!(data[0] & 1)) {
    size_t split = 3 + (data[1] | data[2] << 8);
    if (split > size) split = size;
    const std::vector<uint8_t> first = Tamed(data + 3, split - 3);
    const std::vector<uint8_t> second = Tamed(data + split, size - split);
    StrongDecoder decoder;
    SumOnly a, b;
    const StrongFault fa =
        decoder.Decode(first.data(), static_cast<uint32_t>(first.size()), &a);
    const StrongFault fb =
        decoder.Decode(second.data(), static_cast<uint32_t>(second.size()), &b);
    StrongHeader h;
    if (fa != kStrongFine && fb != kStrongUnchained &&
        ReadStrongHeader(second.data(), static_cast<uint32_t>(second.size()), &h) && h.continues)
      __builtin_trap();
    return 0;
  }
  const size_t split = 2 + (size - 2) * data[1] / 256;
  StrongSettings settings;
  settings.level = 1;
  settings.window_log = kStrongMinWindowLog + (data[1] & 3);
  StrongEncoder encoder(settings, data + 2, size - 2);
  const size_t sizes[2] = {split - 2, size - split};
  StrongDecoder decoder;
  const uint8_t* file = data + 2;
  for (size_t n : sizes) {
    std::vector<uint8_t> entry;
    if (!encoder.EncodeNext(static_cast<uint32_t>(n), Crc32c(0, file, n), nullptr, 0, &entry))
      __builtin_trap();
    Keep out;
    if (decoder.Decode(entry.data(), static_cast<uint32_t>(entry.size()), &out) != kStrongFine ||
        out.bytes.size() != n || (n && memcmp(out.bytes.data(), file, n) != 0))
      __builtin_trap();
    file += n;
  }
  return 0;
}
