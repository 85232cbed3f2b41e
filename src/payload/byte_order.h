// Little-endian integers in byte buffers: every on-disk format of the
// patcher (blocks, the container, deltas, the journal) and the PE files
// lzcx edits store their numbers this way.
#ifndef PATCHER_PAYLOAD_BYTE_ORDER_H
#define PATCHER_PAYLOAD_BYTE_ORDER_H

#include <stdint.h>

// Always inline: the compiler makes each one a single load or store, but
// judges them by their bytes and shifts, which look dearer than a call.
#define PATCHER_BYTE_ORDER __attribute__((always_inline)) inline

PATCHER_BYTE_ORDER uint16_t ReadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

PATCHER_BYTE_ORDER uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

PATCHER_BYTE_ORDER void WriteLe16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

PATCHER_BYTE_ORDER void WriteLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

#endif  // PATCHER_PAYLOAD_BYTE_ORDER_H
