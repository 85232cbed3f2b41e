// Decoder throughput on a realistic payload: the fast decoder, the plain
// checked byte loop, and memcpy of the same output, in the same run.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "corpus.h"
#include "payload/block_decoder.h"
#include "lzcx/encoder.h"

namespace {

// Best of several rounds, each long enough to time: MB of output per second.
template <class F>
double MegabytesPerSecond(size_t bytes_per_call, F call) {
  double best = 0;
  for (int round = 0; round < 7; ++round) {
    int calls = 0;
    const double start = SecondsNow();
    double now;
    do {
      call();
      ++calls;
      now = SecondsNow();
    } while (now - start < 0.15);
    best = std::max(best, static_cast<double>(bytes_per_call) * calls / (now - start) / 1e6);
  }
  return best;
}

}  // namespace

int main() {
  std::vector<CorpusFile> files = LoadRealisticPayload();
  printf("%-12s %-34s %9s %9s %10s %10s %10s %8s %8s\n", "entry", "source", "size",
         "packed", "fast MB/s", "loop MB/s", "memcpy", "fast/loop", "fast/memcpy");
  double total_fast = 0, total_loop = 0, total_copy = 0;
  size_t total = 0;
  for (const CorpusFile& f : files) {
    // Blocks as the packer makes them: the optimal parse.
    std::vector<uint8_t> block;
    if (!EncodeBlock(f.bytes.data(), f.bytes.size(), kParseOptimal, &block)) {
      fprintf(stderr, "decode_bench: cannot encode %s\n", f.name.c_str());
      return 1;
    }
    std::vector<uint8_t> out(f.bytes.size());
    const uint32_t available = static_cast<uint32_t>(block.size());
    if (BlockDecoder(block.data(), available, out.data()) != f.bytes.size() || out != f.bytes) {
      fprintf(stderr, "decode_bench: %s does not round-trip\n", f.name.c_str());
      return 1;
    }
    const double fast = MegabytesPerSecond(out.size(), [&] {
      BlockDecoder(block.data(), available, out.data());
    });
    const double loop = MegabytesPerSecond(out.size(), [&] {
      BlockDecoderSimple(block.data(), available, out.data());
    });
    const double copy = MegabytesPerSecond(out.size(), [&] {
      memcpy(out.data(), f.bytes.data(), f.bytes.size());
      asm volatile("" : : "r"(out.data()) : "memory");
    });
    printf("%-12s %-34s %9zu %9zu %10.0f %10.0f %10.0f %8.2fx %8.3fx\n", f.name.c_str(),
           f.source.c_str(), f.bytes.size(), block.size(), fast, loop, copy, fast / loop,
           fast / copy);
    // Totals weighted by size: time for all bytes.
    total += f.bytes.size();
    total_fast += f.bytes.size() / fast;
    total_loop += f.bytes.size() / loop;
    total_copy += f.bytes.size() / copy;
  }
  const double fast = total / total_fast, loop = total / total_loop, copy = total / total_copy;
  printf("%-12s %-34s %9zu %9s %10.0f %10.0f %10.0f %8.2fx %8.3fx\n", "total", "", total, "",
         fast, loop, copy, fast / loop, fast / copy);
  return 0;
}
