// The x86 branch transform on real executables (PE or ELF): for each file,
// its code ranges (FindCodeRanges), how fast X86Restore runs over it all
// taken as code (in 64 KB pieces, as a decoder hands them on), and, with
// --out DIR, the transformed file written there as DIR/<n>.x86 for
// bench/x86_filter to compress against xz's own x86 filter. --no-rip takes
// x64 code for x86 (calls only, no RIP-relative operands), to weigh them.
// Usage: x86_bench [--no-rip] [--out DIR] FILE...
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "payload/pe.h"
#include "payload/x86.h"

namespace {

class Discard final : public ByteSink {
 protected:
  int Put(const uint8_t*, uint32_t) override { return 1; }
};

bool ReadAll(const char* path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* out_dir = nullptr;
  bool rip = true;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (strcmp(argv[first], "--no-rip") == 0) {
      rip = false;
    } else if (strcmp(argv[first], "--out") == 0 && first + 1 < argc) {
      out_dir = argv[++first];
    } else {
      fprintf(stderr, "usage: x86_bench [--no-rip] [--out DIR] FILE...\n");
      return 1;
    }
  }
  printf("%-40s %10s %6s %10s %13s %13s\n", "file", "size", "ranges", "code", "restore x86",
         "restore x64");
  double all_bytes[2] = {0, 0}, all_seconds[2] = {0, 0};
  for (int a = first; a < argc; ++a) {
    std::vector<uint8_t> file;
    if (!ReadAll(argv[a], &file) || file.size() > 0x7FFFFFFF) {
      fprintf(stderr, "x86_bench: cannot read %s\n", argv[a]);
      return 1;
    }
    CodeRange ranges[kMaxCodeRanges];
    const int count = FindCodeRanges(file.data(), file.size(), ranges, kMaxCodeRanges);
    uint64_t code = 0;
    for (int i = 0; i < count; ++i) {
      code += ranges[i].length;
      if (!rip) ranges[i].address &= ~kCodeRangeX64;
    }
    std::vector<uint8_t> converted = file;
    const uint32_t size = static_cast<uint32_t>(file.size());
    X86Absolute(converted.data(), size, ranges, count);
    // The restore over the whole file taken as code, every byte scanned,
    // as 32-bit and as 64-bit code, enough times to take a while.
    const int rounds = 1 + static_cast<int>((64u << 20) / (size + 1));
    double speed[2];
    for (int x64 = 0; x64 < 2; ++x64) {
      const CodeRange whole = {0, size, 0x1000 | (x64 ? kCodeRangeX64 : 0)};
      const auto start = std::chrono::steady_clock::now();
      for (int r = 0; r < rounds; ++r) {
        Discard sink;
        X86Restore restore(&sink, &whole, 1);
        for (uint32_t at = 0; at < size; at += 1 << 16)
          restore.Take(converted.data() + at, size - at < (1u << 16) ? size - at : 1u << 16);
        restore.Finish();
      }
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      speed[x64] = size * rounds / seconds / 1e6;
      all_bytes[x64] += static_cast<double>(size) * rounds;
      all_seconds[x64] += seconds;
    }
    std::string name = argv[a];
    if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
    printf("%-40s %10u %6d %10llu %8.0f MB/s %8.0f MB/s\n", name.c_str(), size, count,
           static_cast<unsigned long long>(code), speed[0], speed[1]);
    if (out_dir) {
      const std::string path = std::string(out_dir) + "/" + std::to_string(a - first) + ".x86";
      FILE* f = fopen(path.c_str(), "wb");
      if (!f || fwrite(converted.data(), 1, size, f) != size || fclose(f) != 0) {
        fprintf(stderr, "x86_bench: cannot write %s\n", path.c_str());
        return 1;
      }
    }
  }
  if (all_seconds[0] > 0 && all_seconds[1] > 0)
    printf("restore, all files, every byte taken as code: %.0f MB/s as x86, %.0f MB/s as x64\n",
           all_bytes[0] / all_seconds[0] / 1e6, all_bytes[1] / all_seconds[1] / 1e6);
  return 0;
}
