// Delta entries on real release pairs: for each pair of folders (old, new)
// the payload of the new files whole, the payload with delta entries (as
// `lzcx pack --from` chooses them), and bsdiff, xdelta3 -9 and
// zstd --patch-from -19 --long of the same files; pack and apply speeds
// and the encoder's peak work memory. A tool that is not installed is
// left out. Files are matched by their path under the folders.
// Usage: delta_bench OLD_DIR NEW_DIR [OLD_DIR NEW_DIR ...]
//        delta_bench --check   (every delta applied back, on old and new
//                               versions of a tiny corpus; no other tool)
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "corpus.h"
#include "lzcx/delta_encoder.h"
#include "lzcx/encoder.h"
#include "payload/container.h"
#include "payload/delta.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace {

struct Tool {
  const char* name;
  const char* probe;  // a command that succeeds when the tool is there
  const char* make;   // printf format: old, new, patch
  bool present;
  uint64_t total;
};

Tool tools[] = {
    {"bsdiff", "command -v bsdiff", "bsdiff '%s' '%s' '%s'", false, 0},
    {"xdelta3 -9", "command -v xdelta3", "xdelta3 -9 -e -f -s '%s' '%s' '%s'", false, 0},
    {"zstd -19 --long", "command -v zstd",
     "zstd -q -f -19 --long=27 --patch-from='%s' '%s' -o '%s'", false, 0},
};

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t RunTool(const Tool& t, const std::string& old_path, const std::string& new_path,
                 const std::string& patch) {
  char command[4096];
  snprintf(command, sizeof command, t.make, old_path.c_str(), new_path.c_str(), patch.c_str());
  std::string quiet = std::string(command) + " >/dev/null 2>&1";
  if (system(quiet.c_str()) != 0) return 0;
  return FileSize(patch);
}

// Old and new versions of the tiny corpus in `old_dir` and `new_dir`: a
// byte changed, bytes inserted and the end cut off.
void MakeTinyPair(const std::string& old_dir, const std::string& new_dir) {
  MakeDirectory(old_dir);
  MakeDirectory(new_dir);
  for (const CorpusFile& f : TinyPayload()) {
    Bytes changed = f.bytes;
    changed[100] ^= 0x5A;
    changed.insert(changed.begin() + 500, f.bytes.begin(), f.bytes.begin() + 64);
    changed.resize(changed.size() - 200);
    WriteFileBytes(old_dir + "/" + f.name, f.bytes);
    WriteFileBytes(new_dir + "/" + f.name, changed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = CheckOnly(argc, argv);
  std::unique_ptr<ScratchDir> scratch;
  std::string pair[2];
  char* check_argv[3] = {argv[0], nullptr, nullptr};
  if (check) {
    scratch.reset(new ScratchDir(SweepParent()));
    pair[0] = scratch->Join("old");
    pair[1] = scratch->Join("new");
    MakeTinyPair(pair[0], pair[1]);
    check_argv[1] = &pair[0][0];
    check_argv[2] = &pair[1][0];
    argc = 3;
    argv = check_argv;
  }
  if (argc < 3 || argc % 2 == 0) {
    fprintf(stderr, "usage: delta_bench OLD_DIR NEW_DIR [OLD_DIR NEW_DIR ...]\n");
    return 2;
  }
  for (Tool& t : tools) {
    std::string probe = std::string(t.probe) + " >/dev/null 2>&1";
    t.present = !check && system(probe.c_str()) == 0;
    if (!t.present) printf("(%s not installed: left out)\n", t.name);
  }
  const std::string patch = (fs::temp_directory_path() / "delta_bench.patch").string();
  printf("%-34s %10s %10s %10s", "pair", "new bytes", "whole", "delta");
  for (const Tool& t : tools)
    if (t.present) printf(" %16s", t.name);
  printf(" %8s %8s\n", "whole/d", "apply");
  uint64_t all_new = 0, all_whole = 0, all_delta = 0, peak = 0, peak_old = 0, paired = 0;
  double pack_seconds = 0, apply_seconds = 0;
  for (Tool& t : tools) t.total = 0;
  for (int a = 1; a + 1 < argc; a += 2) {
    const fs::path old_dir = argv[a], new_dir = argv[a + 1];
    uint64_t new_bytes = 0, whole = 0, delta = 0, pair_paired = 0;
    double pair_apply = 0;
    uint64_t tool_sizes[3] = {0, 0, 0};
    std::vector<fs::path> files;
    for (const auto& f : fs::recursive_directory_iterator(new_dir))
      if (f.is_regular_file() && !f.is_symlink()) files.push_back(f.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& nf : files) {
      const fs::path of = old_dir / fs::relative(nf, new_dir);
      Bytes new_data, old_data, block, data;
      if (!ReadFileBytes(nf.string(), &new_data)) continue;
      EncodeBlock(new_data.data(), new_data.size(), kParseOptimal, &block);
      new_bytes += new_data.size();
      whole += kEntryHeaderSize + block.size();
      if (!fs::is_regular_file(of) || !ReadFileBytes(of.string(), &old_data)) {
        delta += kEntryHeaderSize + block.size();
        for (int i = 0; i < 3; ++i) tool_sizes[i] += block.size();
        continue;
      }
      DeltaStats stats;
      double start = SecondsNow();
      if (!EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(), &data,
                       &stats)) {
        fprintf(stderr, "delta_bench: %s: encoding failed\n", nf.c_str());
        return 1;
      }
      pack_seconds += SecondsNow() - start;
      if (stats.work_memory > peak) {
        peak = stats.work_memory;
        peak_old = old_data.size();
      }
      paired += new_data.size();
      if (getenv("DELTA_BENCH_DETAIL"))
        printf("  %s: %zu -> %zu (block %zu): %llu commands, %llu add (%llu differ), %llu extra\n",
               nf.filename().c_str(), new_data.size(), data.size(), block.size(),
               (unsigned long long)stats.commands, (unsigned long long)stats.add_bytes,
               (unsigned long long)stats.diff_bytes, (unsigned long long)stats.extra_bytes);
      // Applied as the program does, into a buffer of the new size.
      const Bytes container = MakeContainer({{"f", kDeltaForm, data}});
      PayloadReader reader(container.data(), container.size());
      PayloadEntry e;
      Bytes out(new_data.size() + 1);
      start = SecondsNow();
      const int rounds = 3;
      for (int r = 0; r < rounds; ++r) {
        if (!reader.Start() || !reader.Next(&e) ||
            !ApplyDelta(old_data.data(), static_cast<uint32_t>(old_data.size()), e, out.data())) {
          fprintf(stderr, "delta_bench: %s: delta does not apply\n", nf.c_str());
          return 1;
        }
      }
      apply_seconds += (SecondsNow() - start) / rounds;
      pair_apply += (SecondsNow() - start) / rounds;
      pair_paired += new_data.size();
      if (!std::equal(new_data.begin(), new_data.end(), out.begin())) {
        fprintf(stderr, "delta_bench: %s: delta makes another file\n", nf.c_str());
        return 1;
      }
      delta += kEntryHeaderSize + std::min(data.size(), block.size());
      for (int i = 0; i < 3; ++i)
        if (tools[i].present) tool_sizes[i] += RunTool(tools[i], of.string(), nf.string(), patch);
    }
    std::string name = new_dir.filename().string();
    if (name.empty()) name = new_dir.parent_path().filename().string();
    printf("%-34s %10llu %10llu %10llu", name.c_str(), (unsigned long long)new_bytes,
           (unsigned long long)whole, (unsigned long long)delta);
    for (int i = 0; i < 3; ++i) {
      if (!tools[i].present) continue;
      printf(" %9llu (%4.2f)", (unsigned long long)tool_sizes[i],
             delta ? double(tool_sizes[i]) / double(delta) : 0.0);
      tools[i].total += tool_sizes[i];
    }
    printf(" %7.1fx %5.0fMB/s\n", delta ? double(whole) / double(delta) : 0.0,
           pair_apply > 0 ? pair_paired / 1e6 / pair_apply : 0.0);
    all_new += new_bytes;
    all_whole += whole;
    all_delta += delta;
  }
  if (check && !paired) {
    fprintf(stderr, "delta_bench: no file had its old version\n");
    return 1;
  }
  printf("%-34s %10llu %10llu %10llu", "total", (unsigned long long)all_new,
         (unsigned long long)all_whole, (unsigned long long)all_delta);
  for (const Tool& t : tools)
    if (t.present)
      printf(" %9llu (%4.2f)", (unsigned long long)t.total,
             all_delta ? double(t.total) / double(all_delta) : 0.0);
  printf(" %7.1fx\n", all_delta ? double(all_whole) / double(all_delta) : 0.0);
  printf("(tool columns: its patch bytes, and in brackets its size over the delta payload's)\n");
  printf("delta pack  %7.2f MB/s of new data (suffix sort, matches, coding)\n",
         paired / 1e6 / pack_seconds);
  printf("delta apply %7.1f MB/s of output (old file's CRC, decode, new file's CRC)\n",
         paired / 1e6 / apply_seconds);
  printf("encoder peak work memory %.1f MB (suffix array and models) for an old file of %.1f MB\n",
         peak / 1e6, peak_old / 1e6);
  remove(patch.c_str());
  return 0;
}
