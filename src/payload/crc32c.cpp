#include "payload/crc32c.h"

#include <string.h>

// The program's payload is small, and its build (PATCHER_CRC_TABLE_ONLY)
// leaves the instruction's path and its cpuid dispatch out.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(PATCHER_CRC_TABLE_ONLY)
#include <cpuid.h>
#include <nmmintrin.h>
#define PATCHER_CRC_HARDWARE 1
#endif

namespace {

const uint32_t kPolynomial = 0x82F63B78u;  // reflected 0x1EDC6F41

// The register after four more zero bits, for each value of its low nibble.
const uint32_t kNibble[16] = {
    0x00000000, 0x105ec76f, 0x20bd8ede, 0x30e349b1, 0x417b1dbc, 0x5125dad3,
    0x61c69362, 0x7198540d, 0x82f63b78, 0x92a8fc17, 0xa24bb5a6, 0xb21572c9,
    0xc38d26c4, 0xd3d3e1ab, 0xe330a81a, 0xf36e6f75};

uint32_t TableUpdate(uint32_t c, const uint8_t* p, size_t n) {
  while (n--) {
    c ^= *p++;
    c = (c >> 4) ^ kNibble[c & 15];
    c = (c >> 4) ^ kNibble[c & 15];
  }
  return c;
}

#ifdef PATCHER_CRC_HARDWARE

// Rounds of three streams: long ones while the data lasts, then shorter
// ones, whose joining costs more per byte but less than one stream would.
struct Round {
  size_t stream;  // bytes of each stream
  uint32_t shift; // x^(8 * stream) modulo the polynomial, reflected:
                  // multiplying a register by it appends `stream` zero bytes
};
const Round kRounds[] = {{8192, 0x28461564u}, {1024, 0xe4172b16u}};

// a(x) * b(x) modulo the polynomial, both reflected.
uint32_t MultiplyModulo(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int i = 0; i < 32; ++i) {
    product ^= b & (0u - ((a >> (31 - i)) & 1));
    b = (b >> 1) ^ (kPolynomial & (0u - (b & 1)));
  }
  return product;
}

// Asked once: cpuid is slow (under a hypervisor it leaves the guest). The
// answer is the same for every thread, so a race to store it is harmless;
// the atomic accesses only say so.
bool HasCrcInstruction() {
  static int known;  // 0 not asked yet, 1 no, 2 yes
  int answer = __atomic_load_n(&known, __ATOMIC_RELAXED);
  if (!answer) {
    unsigned a, b, c, d;
    answer = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_SSE4_2) ? 2 : 1;
    __atomic_store_n(&known, answer, __ATOMIC_RELAXED);
  }
  return answer == 2;
}

#ifdef __x86_64__
typedef uint64_t Word;
__attribute__((target("sse4.2"))) inline uint64_t Step(uint64_t c, Word w) {
  return _mm_crc32_u64(c, w);
}
#else
typedef uint32_t Word;
__attribute__((target("sse4.2"))) inline uint32_t Step(uint32_t c, Word w) {
  return _mm_crc32_u32(c, w);
}
#endif

// Three independent streams keep the instruction's pipeline full; their
// registers are joined by shifting the earlier ones past the later bytes.
__attribute__((target("sse4.2"))) uint32_t HardwareUpdate(uint32_t crc, const uint8_t* p,
                                                          size_t n) {
  Word c = crc;
  for (const Round& round : kRounds) {
    const size_t k = round.stream;
    for (; n >= 3 * k; p += 3 * k, n -= 3 * k) {
      Word c1 = 0, c2 = 0;
      for (size_t i = 0; i < k; i += sizeof(Word)) {
        Word w0, w1, w2;
        memcpy(&w0, p + i, sizeof w0);
        memcpy(&w1, p + k + i, sizeof w1);
        memcpy(&w2, p + 2 * k + i, sizeof w2);
        c = Step(c, w0);
        c1 = Step(c1, w1);
        c2 = Step(c2, w2);
      }
      const uint32_t joined =
          MultiplyModulo(static_cast<uint32_t>(c), round.shift) ^ static_cast<uint32_t>(c1);
      c = MultiplyModulo(joined, round.shift) ^ static_cast<uint32_t>(c2);
    }
  }
  for (; n >= sizeof(Word); n -= sizeof(Word), p += sizeof(Word)) {
    Word w;
    memcpy(&w, p, sizeof w);
    c = Step(c, w);
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (n--) c32 = _mm_crc32_u8(c32, *p++);
  return c32;
}

#endif  // PATCHER_CRC_HARDWARE

}  // namespace

uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size) {
  return ~TableUpdate(~crc, static_cast<const uint8_t*>(data), size);
}

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
#ifdef PATCHER_CRC_HARDWARE
  if (HasCrcInstruction())
    return ~HardwareUpdate(~crc, static_cast<const uint8_t*>(data), size);
#endif
  return Crc32cPortable(crc, data, size);
}
