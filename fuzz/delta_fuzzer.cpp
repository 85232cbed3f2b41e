// Delta entries, two ways. Byte 0 even: the rest is an old file and a
// delta stream of the fuzzer's making, byte-wise or (the top bit of byte
// 2) executable-aware, under a header that names that old file truly (so
// the decode always runs) and a new size from the input; the decode writes
// into a buffer of exactly the new size, and the check without the old
// file must agree with it on whether the stream is sound, but where the
// old file's references do not fit the room the stream names. Byte 0 odd:
// the rest is an old and a new file, whose delta from the packer's encoder,
// in the form it chooses, must apply back to the new file exactly.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "lzcx/delta_encoder.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/delta.h"
#include "support/payload_builder.h"

namespace {

// The entry of `data` read back from a container.
bool ReadEntry(const Bytes& data, DataForm form, Bytes* container, PayloadEntry* e) {
  *container = MakeContainer({{"f", FormField(form), data}});
  PayloadReader reader(container->data(), container->size());
  return reader.Start() && reader.Next(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Bytes container;
  PayloadEntry e;
  if (!(data[0] & 1)) {
    const size_t old_size = data[0] >> 1 < size - 3 ? data[0] >> 1 : size - 3;
    const uint32_t new_size = data[1] | (data[2] & 0x7F) << 8;
    const DataForm form = data[2] >> 7 ? kFormExeDelta : kFormDelta;
    const uint8_t* old_data = data + 3;
    Bytes entry(kDeltaHeaderSize);
    WriteLe32(entry.data(), static_cast<uint32_t>(old_size));
    WriteLe32(entry.data() + 4, new_size);
    WriteLe32(entry.data() + 8, Crc32c(0, old_data, old_size));
    entry.insert(entry.end(), old_data + old_size, data + size);
    if (!ReadEntry(entry, form, &container, &e)) __builtin_trap();
    std::vector<uint8_t> out(new_size);
    DeltaFault fault = kDeltaFine;
    const int applied =
        ApplyDelta(old_data, static_cast<uint32_t>(old_size), e, out.data(), &fault);
    const int checked = CheckDeltaEntry(e);
    // Only the new file's CRC tells them apart.
    if (applied || fault == kDeltaNewDiffers ? !checked
                                              : checked && form == kFormDelta)
      __builtin_trap();
    return 0;
  }
  const size_t split = 1 + (size - 1) * data[1] / 256;
  const uint8_t* old_data = data + 2 < data + split ? data + 2 : data + split;
  const size_t old_size = data + split - old_data;
  std::vector<uint8_t> delta;
  DataForm form = kFormDelta;
  if (!EncodeDelta(old_data, old_size, data + split, size - split, &delta, nullptr, &form))
    __builtin_trap();
  if (!ReadEntry(delta, form, &container, &e) || !CheckDeltaEntry(e)) __builtin_trap();
  std::vector<uint8_t> out(size - split);
  if (!ApplyDelta(old_data, static_cast<uint32_t>(old_size), e, out.data()) ||
      (size != split && memcmp(out.data(), data + split, size - split) != 0))
    __builtin_trap();
  return 0;
}
