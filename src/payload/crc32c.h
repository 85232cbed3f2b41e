// CRC-32C (Castagnoli polynomial 0x1EDC6F41, reflected, initial value and
// final xor 0xFFFFFFFF: the CRC of iSCSI and ext4). Chained calls give the
// CRC of the concatenation: Crc32c(Crc32c(0, a), b) == Crc32c(0, a + b).
//
// On x86 processors with SSE4.2 (chosen at run time) the crc32 instruction
// does the work, three streams at once; elsewhere, and in the program's
// build, a 16-entry table does it four bits at a time. No large table,
// nothing initialised at run time.
#ifndef PATCHER_PAYLOAD_CRC32C_H
#define PATCHER_PAYLOAD_CRC32C_H

#include <stddef.h>
#include <stdint.h>

uint32_t Crc32c(uint32_t crc, const void* data, size_t size);

// The same, always by table: the reference the fast path is tested against.
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size);

#endif  // PATCHER_PAYLOAD_CRC32C_H
