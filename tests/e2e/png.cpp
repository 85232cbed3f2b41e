#include "png.h"

#include <stdio.h>

namespace {

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  static uint32_t table[256];
  if (!table[1]) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  }
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

void PutBe32(std::vector<uint8_t>* out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<uint8_t>(v >> s));
}

void Chunk(std::vector<uint8_t>* out, const char* type, const std::vector<uint8_t>& data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out->insert(out->end(), body.begin(), body.end());
  PutBe32(out, Crc32(body.data(), body.size()));
}

// Deflate bits, least significant first.
class Bits {
 public:
  explicit Bits(std::vector<uint8_t>* out) : out_(out) {}
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      if (!used_) out_->push_back(0);
      out_->back() |= static_cast<uint8_t>(((value >> i) & 1) << used_);
      used_ = (used_ + 1) & 7;
    }
  }
  // A Huffman code goes most significant bit first.
  void PutCode(uint32_t code, int count) {
    for (int i = count - 1; i >= 0; --i) Put(code >> i, 1);
  }
  // A literal or length symbol in the fixed code.
  void Symbol(int s) {
    if (s < 144) PutCode(0x30 + s, 8);
    else if (s < 256) PutCode(0x190 + s - 144, 9);
    else if (s < 280) PutCode(s - 256, 7);
    else PutCode(0xc0 + s - 280, 8);
  }

 private:
  std::vector<uint8_t>* out_;
  int used_ = 0;
};

const int kLengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kDistanceBase[] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                             33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                             1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};

// Extra bits of a length or distance code: none below `first`, then one
// more for each further `group` codes.
int ExtraBits(int index, int first, int group) {
  return index < first ? 0 : (index - first) / group + 1;
}

// One fixed-code deflate block: greedy LZ77 over a 32 KB window, whose
// long matches make the flat areas of a screenshot almost free.
void Deflate(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  const int kWindow = 32768, kHash = 1 << 15, kChain = 48;
  std::vector<int> head(kHash, -1), previous(kWindow, -1);
  auto hash = [&](size_t i) {
    return ((in[i] << 10) ^ (in[i + 1] << 5) ^ in[i + 2]) & (kHash - 1);
  };
  Bits bits(out);
  bits.Put(1, 1);  // the final block
  bits.Put(1, 2);  // fixed codes
  const size_t n = in.size();
  for (size_t i = 0; i < n;) {
    int best = 0, distance = 0;
    if (i + 3 <= n) {
      const int h = hash(i);
      int chain = kChain;
      for (int at = head[h]; at >= 0 && i - at <= static_cast<size_t>(kWindow) && chain--;
           at = previous[at & (kWindow - 1)]) {
        int length = 0;
        while (length < 258 && i + length < n && in[at + length] == in[i + length]) ++length;
        if (length > best) {
          best = length;
          distance = static_cast<int>(i - at);
          if (length == 258) break;
        }
      }
    }
    const size_t step = best >= 3 ? best : 1;
    if (best >= 3) {
      int l = 28;
      while (kLengthBase[l] > best) --l;
      bits.Symbol(257 + l);
      bits.Put(best - kLengthBase[l], l == 28 ? 0 : ExtraBits(l, 8, 4));
      int d = 29;
      while (kDistanceBase[d] > distance) --d;
      bits.PutCode(d, 5);
      bits.Put(distance - kDistanceBase[d], ExtraBits(d, 4, 2));
    } else {
      bits.Symbol(in[i]);
    }
    for (size_t k = 0; k < step; ++k, ++i) {
      if (i + 3 > n) continue;
      const int h = hash(i);
      previous[i & (kWindow - 1)] = head[h];
      head[h] = static_cast<int>(i);
    }
  }
  bits.Symbol(256);  // end of block
}

}  // namespace

bool WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
  // Raw scanlines, each led by filter type 0.
  std::vector<uint8_t> raw;
  const size_t row = static_cast<size_t>(width) * 3;
  raw.reserve((row + 1) * height);
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb.begin() + y * row, rgb.begin() + (y + 1) * row);
  }
  // A zlib stream: one deflate block, then the Adler-32 of the raw data.
  std::vector<uint8_t> z = {0x78, 0x01};
  Deflate(raw, &z);
  uint32_t a = 1, b = 0;
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  PutBe32(&z, b << 16 | a);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> header;
  PutBe32(&header, static_cast<uint32_t>(width));
  PutBe32(&header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  Chunk(&png, "IHDR", header);
  Chunk(&png, "IDAT", z);
  Chunk(&png, "IEND", {});
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(png.data(), 1, png.size(), f) == png.size();
  return fclose(f) == 0 && ok;
}
