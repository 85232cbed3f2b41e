// A release of one large file, made without the packer: a payload whose
// entry big.bin is a block that repeats a run of random bytes (a literal
// run, then matches reaching back the longest distance), so that a file
// of hundreds of megabytes costs an eighth of that and no encoding time;
// and the check that a file holds exactly those bytes, read a piece at a
// time.
//
// Usage: large_release PAYLOAD MEGABYTES
//        large_release --check FILE MEGABYTES
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "payload/block_decoder.h"
#include "payload/container.h"

namespace {

const uint32_t kPeriod = kMaxMatchDistance;

uint8_t PatternByte(uint32_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

int WriteTo(void* file, const void* data, size_t size) {
  return fwrite(data, 1, size, static_cast<FILE*>(file)) == size;
}

int Make(const char* path, uint32_t size) {
  std::vector<uint8_t> block(kBlockHeaderSize);
  uint8_t items[2 * 16];
  size_t used = 0;
  int count = 0;
  uint32_t word = 0;
  auto flush = [&] {
    block.push_back(static_cast<uint8_t>(word));
    block.push_back(static_cast<uint8_t>(word >> 8));
    block.insert(block.end(), items, items + used);
    used = count = 0;
    word = 0;
  };
  for (uint32_t made = 0; made < size;) {
    if (made < kPeriod) {
      items[used++] = PatternByte(made++);
    } else {
      const uint32_t len = size - made < kMaxMatchLength ? size - made : kMaxMatchLength;
      items[used++] = static_cast<uint8_t>((kPeriod >> 8) << 4 | (len - 1));
      items[used++] = static_cast<uint8_t>(kPeriod);
      word |= 1u << count;
      made += len;
    }
    if (++count == 16) flush();
  }
  if (count) flush();
  WriteBlockHeader(block.data(), size, static_cast<uint32_t>(block.size()));
  FILE* out = fopen(path, "wb");
  if (!out) return 1;
  PayloadWriter writer(WriteTo, out);
  const int ok = writer.Begin(1) &&
                 writer.Add("big.bin", kFormBlock, block.data(), static_cast<uint32_t>(block.size())) &&
                 writer.End();
  return fclose(out) == 0 && ok ? 0 : 1;
}

int Check(const char* path, uint32_t size) {
  FILE* in = fopen(path, "rb");
  if (!in) return 1;
  std::vector<uint8_t> piece(1 << 20);
  uint32_t at = 0;
  for (size_t got; (got = fread(piece.data(), 1, piece.size(), in)) > 0;) {
    for (size_t i = 0; i < got; ++i, ++at)
      if (at >= size || piece[i] != PatternByte(at % kPeriod)) {
        fprintf(stderr, "%s: differs at byte %u\n", path, at);
        fclose(in);
        return 1;
      }
  }
  fclose(in);
  if (at != size) fprintf(stderr, "%s: %u bytes, not %u\n", path, at, size);
  return at == size ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 4 && !strcmp(argv[1], "--check");
  if (argc != 3 + check) {
    fprintf(stderr, "usage: large_release [--check FILE | PAYLOAD] MEGABYTES\n");
    return 2;
  }
  const uint32_t size = static_cast<uint32_t>(atoi(argv[2 + check])) << 20;
  return check ? Check(argv[2], size) : Make(argv[1], size);
}
