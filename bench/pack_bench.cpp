// The packer on a realistic payload: block sizes of the optimal, lazy and
// greedy parses (all over the same exact longest matches), gzip -9 and
// xz -9 of the same files for reference, and encoding speed. Then lzcx
// pack and verify, as programs, on one large file (100 MB, or
// PACK_BENCH_MB): their peak memory, against the goal of the payload (which
// both map to read it back) plus 64 MiB, whatever the file's size. `--check`: every round trip once, on a tiny
// corpus and a file of 300 KB, without gzip, xz or the timing rounds.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "corpus.h"
#include "lzcx/encoder.h"
#include "payload/block_decoder.h"
#include "support/payload_builder.h"

namespace {

bool g_check = false;

struct Measured {
  size_t size = 0;       // the block, header included
  double seconds = 0;    // best of the rounds
};

// Encodes a few times (at least 0.3 s in all) and keeps the fastest run.
Measured Encode(const std::vector<uint8_t>& in, ParseKind parse) {
  Measured m;
  std::vector<uint8_t> block;
  double spent = 0;
  for (int round = 0; round < (g_check ? 1 : 3) || (!g_check && spent < 0.3 && round < 50);
       ++round) {
    const double start = SecondsNow();
    if (!EncodeBlock(in.data(), in.size(), parse, &block)) {
      fprintf(stderr, "pack_bench: encoding failed\n");
      exit(1);
    }
    const double took = SecondsNow() - start;
    spent += took;
    if (!round || took < m.seconds) m.seconds = took;
  }
  m.size = block.size();
  std::vector<uint8_t> out(in.size() + 1);
  if (BlockDecoder(block.data(), static_cast<uint32_t>(block.size()), out.data()) != in.size() ||
      !std::equal(in.begin(), in.end(), out.begin())) {
    fprintf(stderr, "pack_bench: a block does not round-trip\n");
    exit(1);
  }
  return m;
}

double FinderSeconds(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> length(in.size());
  std::vector<uint16_t> distance(in.size());
  double best = 0, spent = 0;
  for (int round = 0; round < 3 || (spent < 0.3 && round < 50); ++round) {
    const double start = SecondsNow();
    FindLongestMatches(in.data(), in.size(), length.data(), distance.data());
    const double took = SecondsNow() - start;
    spent += took;
    if (!round || took < best) best = took;
  }
  return best;
}

// Size of `command` run on the bytes (through a temporary file); 0 when
// the command is not there.
size_t Compressed(const std::vector<uint8_t>& in, const char* command) {
  char path[] = "/tmp/pt-pack-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 0;
  const bool written = write(fd, in.data(), in.size()) == static_cast<ssize_t>(in.size());
  close(fd);
  size_t size = 0;
  if (written) {
    const std::string line = std::string(command) + " -c " + path + " 2>/dev/null";
    if (FILE* p = popen(line.c_str(), "r")) {
      char chunk[65536];
      size_t n;
      while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) size += n;
      if (pclose(p) != 0) size = 0;
    }
  }
  unlink(path);
  return size;
}

double Mbps(size_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
double Ratio(size_t part, size_t whole) { return whole ? static_cast<double>(part) / whole : 0; }
// How much smaller the optimal block is than the other one, in percent.
double Smaller(size_t optimal, size_t other) {
  return other ? 100.0 * (static_cast<double>(other) - optimal) / other : 0;
}

struct Row {
  std::string name;
  size_t size = 0, optimal = 0, lazy = 0, greedy = 0, gzip = 0, xz = 0;
  double t_optimal = 0, t_lazy = 0, t_greedy = 0, t_finder = 0;
};

void PrintRow(const Row& r) {
  printf("%-12s %8zu | %8zu %6.3f | %8zu %5.2f%% | %8zu %5.2f%% | %8zu %6.3f | %8zu %6.3f |"
         " %6.1f %6.1f %6.1f %6.1f\n",
         r.name.c_str(), r.size, r.optimal, Ratio(r.optimal, r.size), r.lazy,
         Smaller(r.optimal, r.lazy), r.greedy, Smaller(r.optimal, r.greedy), r.gzip,
         Ratio(r.gzip, r.size), r.xz, Ratio(r.xz, r.size), Mbps(r.size, r.t_optimal),
         Mbps(r.size, r.t_lazy), Mbps(r.size, r.t_greedy), Mbps(r.size, r.t_finder));
}

// Runs lzcx with `args`; its exit status, peak resident memory and time.
typedef ChildRun Run;
Run Lzcx(const std::vector<std::string>& args) { return RunChild(LZCX_BINARY, args, kKeepOutput); }

int PackLargeFile(const std::vector<CorpusFile>& files) {
  const char* mb = getenv("PACK_BENCH_MB");
  const size_t size =
      g_check ? 300000 : static_cast<size_t>(mb ? atol(mb) : 100) * 1000 * 1000;
  char dir[] = "/tmp/pt-pack-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string in = std::string(dir) + "/release.bin", out = std::string(dir) + "/payload.bin";
  // The realistic files over and over: the same mix of code, tables and text.
  FILE* f = fopen(in.c_str(), "wb");
  for (size_t written = 0; f && written < size;) {
    for (const CorpusFile& c : files) {
      const size_t n = std::min(c.bytes.size(), size - written);
      fwrite(c.bytes.data(), 1, n, f);
      written += n;
    }
  }
  if (!f || fclose(f) != 0) return 1;
  const Run pack = Lzcx({"pack", "--quiet", "-o", out, in});
  const Run verify = Lzcx({"verify", out});
  struct stat written;
  const double payload_mib = stat(out.c_str(), &written) == 0 ? written.st_size / 1048576.0 : 0;
  unlink(in.c_str());
  unlink(out.c_str());
  rmdir(dir);
  if (pack.status != 0 || verify.status != 0) {
    fprintf(stderr, "pack_bench: lzcx failed on the large file\n");
    return 1;
  }
  const double input_mib = size / 1048576.0, goal = payload_mib + 64;
  printf("\nlzcx on one file of %zu bytes (%.1f MiB), a payload of %.1f MiB; goal for the peak:"
         " payload + 64 MiB = %.0f MiB\n", size, input_mib, payload_mib, goal);
  printf("  pack    peak %6.0f MiB  %.2f x input  %4.0f%% of the goal  %5.1f s  %5.1f MB/s\n",
         pack.peak_mib, pack.peak_mib / input_mib, 100 * pack.peak_mib / goal, pack.seconds,
         size / pack.seconds / 1e6);
  printf("  verify  peak %6.0f MiB  %.2f x input  %5.1f s\n", verify.peak_mib,
         verify.peak_mib / input_mib, verify.seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_check = CheckOnly(argc, argv);
  std::vector<CorpusFile> files = g_check ? TinyPayload() : LoadRealisticPayload();
  for (const CorpusFile& f : files)
    printf("%-12s %8zu bytes from %s\n", f.name.c_str(), f.bytes.size(), f.source.c_str());
  printf("\nSizes in bytes, blocks with their 16-byte header. 'lazy' and 'greedy' show how\n"
         "much smaller the optimal block is; MB/s of encoding (input bytes), and of the\n"
         "match finder alone.\n\n");
  printf("%-12s %8s | %8s %6s | %8s %6s | %8s %6s | %8s %6s | %8s %6s | %6s %6s %6s %6s\n",
         "entry", "size", "optimal", "ratio", "lazy", "opt<", "greedy", "opt<", "gzip -9",
         "ratio", "xz -9", "ratio", "opt", "lazy", "greedy", "finder");
  Row total;
  total.name = "total";
  for (const CorpusFile& f : files) {
    Row r;
    r.name = f.name;
    r.size = f.bytes.size();
    const Measured optimal = Encode(f.bytes, kParseOptimal);
    const Measured lazy = Encode(f.bytes, kParseLazy);
    const Measured greedy = Encode(f.bytes, kParseGreedy);
    r.optimal = optimal.size;
    r.lazy = lazy.size;
    r.greedy = greedy.size;
    r.t_optimal = optimal.seconds;
    r.t_lazy = lazy.seconds;
    r.t_greedy = greedy.seconds;
    if (!g_check) {
      r.t_finder = FinderSeconds(f.bytes);
      r.gzip = Compressed(f.bytes, "gzip -9");
      r.xz = Compressed(f.bytes, "xz -9");
    }
    PrintRow(r);
    total.size += r.size;
    total.optimal += r.optimal;
    total.lazy += r.lazy;
    total.greedy += r.greedy;
    total.gzip += r.gzip;
    total.xz += r.xz;
    total.t_optimal += r.t_optimal;
    total.t_lazy += r.t_lazy;
    total.t_greedy += r.t_greedy;
    total.t_finder += r.t_finder;
  }
  PrintRow(total);
  return PackLargeFile(files);
}
