#include <stddef.h>

#include "payload/byte_order.h"
#include "payload/pe.h"

// The program names no fault of its own (the packer checked the blocks).
#ifdef PATCHER_NO_FAULT_TEXT
#define BAD_BLOCK ""
#else
#define BAD_BLOCK "damaged executable: bad base relocation block"
#endif

int PeRelocations::Next(uint32_t* rva, int* type) {
  // Bytes too few for a block header at the end are padding.
  while (blocks_ && !fault_ && block_ + 8 <= size_) {
    const uint8_t* b = blocks_ + block_;
    const uint32_t page = ReadLe32(b), length = ReadLe32(b + 4);
    if (length < 8 || length > size_ - block_ || page > 0xFFFFFFFFu - 0xFFF) {
      fault_ = BAD_BLOCK;
      return 0;
    }
    while (entry_ + 2 <= length) {
      const uint16_t e = ReadLe16(b + entry_);
      entry_ += 2;
      if (e >> 12) {
        *rva = page + (e & 0xFFF);
        *type = e >> 12;
        return 1;
      }
    }
    block_ += length;
    entry_ = 8;
  }
  return 0;
}
