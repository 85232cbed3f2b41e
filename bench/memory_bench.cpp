// Peak resident memory of lzcx pack and lzcx extract (the built program,
// run as a child: wait4's ru_maxrss) on one file of 64 MB, 512 MB and 2 GB,
// compressible and random, and on a delta entry of a 512 MB file; the goal:
// extract at most 64 MB above the payload's own mapping, whatever the
// sizes. Each extracted file is compared with the original.
// Compressible data: the realistic corpus (real executables and text) in
// pieces from anywhere in it, a few bytes of each changed; random data: a
// seeded generator. The files are made in SCRATCH_DIR and removed.
// Usage: memory_bench [--check] [--sizes MB,MB,...] SCRATCH_DIR
//   --check: the same on files of 1 and 3 MB (a delta of 3 MB), no goal.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "corpus.h"

namespace {

const uint64_t kMB = 1 << 20;
const size_t kChunk = 1 << 20;

std::string g_scratch;

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "memory_bench: %s\n", what.c_str());
  exit(1);
}

// splitmix64: the same bytes for the same seed on every machine.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return Next() % n; }
};

enum Kind { kCompressible, kRandom };

// Writes `size` bytes of `kind` to `path`, a chunk at a time.
void MakeFile(const std::string& path, uint64_t size, Kind kind, const std::vector<uint8_t>& corpus,
              uint64_t seed) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) Fail("cannot create " + path);
  Random random = {seed};
  std::vector<uint8_t> chunk;
  for (uint64_t written = 0; written < size; written += chunk.size()) {
    chunk.clear();
    const size_t want = static_cast<size_t>(size - written < kChunk ? size - written : kChunk);
    while (chunk.size() < want) {
      if (kind == kRandom) {
        const uint64_t r = random.Next();
        for (int i = 0; i < 8 && chunk.size() < want; ++i) chunk.push_back(uint8_t(r >> (8 * i)));
        continue;
      }
      // A piece of 1 to 64 KB from anywhere in the corpus, about one byte
      // in 512 of it changed: the window finds it, but never whole.
      const size_t length = 1024 + random.Below(std::min<size_t>(63 * 1024, corpus.size() / 2));
      const size_t from = random.Below(corpus.size() - length);
      const size_t at = chunk.size();
      chunk.insert(chunk.end(), corpus.begin() + from, corpus.begin() + from + length);
      for (size_t i = at + random.Below(512); i < chunk.size(); i += 1 + random.Below(1024))
        chunk[i] = uint8_t(random.Next());
    }
    chunk.resize(want);
    if (fwrite(chunk.data(), 1, chunk.size(), f) != chunk.size()) Fail("cannot write " + path);
  }
  if (fclose(f) != 0) Fail("cannot write " + path);
}

// The new version of `old` for a delta: a few bytes changed every 64 KB and
// a few inserted every 4 MB, the rest as it was.
void MakeNewVersion(const std::string& old, const std::string& path, uint64_t seed) {
  FILE* in = fopen(old.c_str(), "rb");
  FILE* out = fopen(path.c_str(), "wb");
  if (!in || !out) Fail("cannot make " + path);
  Random random = {seed};
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t done = 0;;) {
    const size_t n = fread(chunk.data(), 1, chunk.size(), in);
    if (!n) break;
    for (size_t i = random.Below(65536); i < n; i += 65536) chunk[i] ^= uint8_t(1 + random.Below(255));
    if (done % (4 * kMB) == 0) {
      uint8_t inserted[48];
      for (uint8_t& b : inserted) b = uint8_t(random.Next());
      fwrite(inserted, 1, sizeof inserted, out);
    }
    if (fwrite(chunk.data(), 1, n, out) != n) Fail("cannot write " + path);
    done += n;
  }
  fclose(in);
  if (fclose(out) != 0) Fail("cannot write " + path);
}

bool SameFiles(const std::string& a, const std::string& b) {
  FILE* x = fopen(a.c_str(), "rb");
  FILE* y = fopen(b.c_str(), "rb");
  bool same = x && y;
  std::vector<uint8_t> p(kChunk), q(kChunk);
  while (same) {
    const size_t n = fread(p.data(), 1, kChunk, x), m = fread(q.data(), 1, kChunk, y);
    same = n == m && !memcmp(p.data(), q.data(), n);
    if (!n) break;
  }
  if (x) fclose(x);
  if (y) fclose(y);
  return same;
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

typedef ChildRun Run;

// lzcx with `args`, its output thrown away; fails the bench unless it
// exits with `want`.
Run Lzcx(const std::vector<std::string>& args, int want = 0) {
  const Run r = RunChild(LZCX_BINARY, args, kDropStdout);
  if (r.status != want) Fail("lzcx " + args[0] + " exited with " + std::to_string(r.status));
  return r;
}

double Mb(uint64_t bytes) { return static_cast<double>(bytes) / kMB; }

int g_over = 0;  // extracts above the goal

void Row(const char* size, const char* kind, const char* command, uint64_t payload, const Run& r) {
  const double above = r.peak_mib - Mb(payload);
  const bool over = !strcmp(command, "extract") && above > 64;
  g_over += over;
  printf("%-8s %-13s %-8s %14llu %10.1f %12.1f%s %8.1f\n", size, kind, command,
         static_cast<unsigned long long>(payload), r.peak_mib, above, over ? "*" : " ",
         r.seconds);
  fflush(stdout);
}

// One file of `bytes` packed, extracted into an empty folder and compared.
void FullEntry(uint64_t bytes, Kind kind, const std::vector<uint8_t>& corpus) {
  const std::string release = g_scratch + "/release", out = g_scratch + "/out";
  const std::string file = release + "/data.bin", payload = g_scratch + "/payload.lzcx";
  mkdir(release.c_str(), 0755);
  mkdir(out.c_str(), 0755);
  MakeFile(file, bytes, kind, corpus, bytes + kind);
  const Run pack = Lzcx({"pack", "-q", "-o", payload, file});
  const Run extract = Lzcx({"extract", "--force", "-C", out, payload});
  if (!SameFiles(file, out + "/data.bin")) Fail("extract did not give back the file");
  const std::string size = std::to_string(bytes / kMB) + " MB";
  const char* name = kind == kRandom ? "random" : "compressible";
  const uint64_t packed = FileSize(payload);
  Row(size.c_str(), name, "pack", packed, pack);
  Row(size.c_str(), name, "extract", packed, extract);
  unlink(file.c_str());
  unlink((out + "/data.bin").c_str());
  unlink(payload.c_str());
  rmdir(release.c_str());
  rmdir(out.c_str());
}

// A delta entry of a compressible file of `bytes`: packed against the old
// version, extracted over it, compared with the new.
void DeltaEntry(uint64_t bytes, const std::vector<uint8_t>& corpus) {
  const std::string old_dir = g_scratch + "/old", new_dir = g_scratch + "/new";
  const std::string old_file = old_dir + "/data.bin", new_file = new_dir + "/data.bin";
  const std::string payload = g_scratch + "/delta.lzcx";
  mkdir(old_dir.c_str(), 0755);
  mkdir(new_dir.c_str(), 0755);
  MakeFile(old_file, bytes, kCompressible, corpus, bytes + 7);
  MakeNewVersion(old_file, new_file, bytes + 8);
  const Run pack = Lzcx({"pack", "-q", "--from", old_dir, "-o", payload, new_file});
  const Run extract = Lzcx({"extract", "--force", "-C", old_dir, payload});
  if (!SameFiles(new_file, old_file)) Fail("extract did not make the new version");
  const std::string size = std::to_string(bytes / kMB) + " MB";
  const uint64_t packed = FileSize(payload);
  Row(size.c_str(), "delta", "pack", packed, pack);
  Row(size.c_str(), "delta", "extract", packed, extract);
  unlink(old_file.c_str());
  unlink(new_file.c_str());
  unlink(payload.c_str());
  rmdir(old_dir.c_str());
  rmdir(new_dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = CheckOnly(argc, argv);
  std::vector<uint64_t> sizes = {64, 512, 2048};
  uint64_t delta = 512;
  int arg = check ? 2 : 1;
  if (arg + 1 < argc && !strcmp(argv[arg], "--sizes")) {
    sizes.clear();
    for (char* p = argv[arg + 1]; *p;) {
      sizes.push_back(strtoull(p, &p, 10));
      if (*p == ',') ++p;
      else if (*p) Fail("--sizes takes megabytes: 64,512");
    }
    arg += 2;
  }
  if (arg + 1 != argc) Fail("usage: memory_bench [--check] [--sizes MB,...] SCRATCH_DIR");
  g_scratch = argv[arg];
  if (mkdir(g_scratch.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot make " + g_scratch);
  std::vector<uint8_t> corpus;
  for (const CorpusFile& f : check ? TinyPayload() : LoadRealisticPayload())
    corpus.insert(corpus.end(), f.bytes.begin(), f.bytes.end());
  if (check) {
    sizes = {1, 3};
    delta = 3;
  }
  printf("lzcx peak resident memory, one file (MB = 2^20 bytes); the goal: extract at most 64 MB\n"
         "above the payload's mapping (* when not); pack maps the payload it wrote to check it, and\n"
         "a delta's pack holds both files and the old one's suffix array.\n");
  printf("%-8s %-13s %-8s %14s %10s %13s %8s\n", "size", "kind", "command", "payload bytes",
         "peak MB", "above payl.", "seconds");
  for (uint64_t mb : sizes)
    for (Kind kind : {kCompressible, kRandom}) FullEntry(mb * kMB, kind, corpus);
  if (delta && (check || std::find(sizes.begin(), sizes.end(), delta) != sizes.end()))
    DeltaEntry(delta * kMB, corpus);
  rmdir(g_scratch.c_str());
  if (g_over) printf("%d extract run(s) above the goal\n", g_over);
  return 0;
}
