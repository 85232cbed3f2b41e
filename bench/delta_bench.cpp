// Delta entries on real release pairs: for each pair of folders (old, new)
// the payload of the new files whole, the payload with delta entries (as
// `lzcx pack --from` chooses them), and bsdiff, xdelta3 -9 and
// zstd --patch-from -19 --long of the same files. Then one row for each
// Windows executable (i386 or x64) that has its old version: our delta in
// the form the encoder chose, the byte-wise delta, and the three tools;
// totals for executables and for the other files apart, since the
// executable-aware form is meant to win on the first and cost nothing on
// the rest; pack and apply speeds, and the encoder's peak memory. A tool
// that is not installed is left out. Files are matched by their path under
// the folders.
// Usage: delta_bench OLD_DIR NEW_DIR [OLD_DIR NEW_DIR ...]
//        delta_bench --check   (every delta applied back, on old and new
//                               versions of a tiny corpus with an
//                               executable of each machine; no other tool)
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
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
#include "payload/pe.h"
#include "support/payload_builder.h"
#include "support/pe_builder.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace {

const int kTools = 3;

struct Tool {
  const char* name;
  const char* probe;  // a command that succeeds when the tool is there
  const char* make;   // printf format: old, new, patch
  bool present;
  uint64_t total;
};

Tool tools[kTools] = {
    {"bsdiff", "command -v bsdiff", "bsdiff '%s' '%s' '%s'", false, 0},
    // -D: by itself xdelta3 works on a gzip file's contents, and what it
    // makes back is not the same file.
    {"xdelta3 -9", "command -v xdelta3", "xdelta3 -9 -D -e -f -s '%s' '%s' '%s'", false, 0},
    {"zstd -19 --long", "command -v zstd",
     "zstd -q -f -19 --long=27 --patch-from='%s' '%s' -o '%s'", false, 0},
};

// The executables --check makes, one of each machine.
const int kTinyPeFiles = 2;

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The patch's size; -1 when the tool failed.
int64_t RunTool(const Tool& t, const std::string& old_path, const std::string& new_path,
                const std::string& patch) {
  char command[4096];
  snprintf(command, sizeof command, t.make, old_path.c_str(), new_path.c_str(), patch.c_str());
  std::string quiet = std::string(command) + " >/dev/null 2>&1";
  remove(patch.c_str());
  if (system(quiet.c_str()) != 0) return -1;
  return static_cast<int64_t>(FileSize(patch));
}

// Old and new versions of the tiny corpus in `old_dir` and `new_dir`: a
// byte changed, bytes inserted and the end cut off; and two executables
// (i386, x64) whose resources and version changed.
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
  for (bool plus : {false, true}) {
    TestPeLayout layout;
    layout.plus = plus;
    layout.payload = TinyPayload()[0].bytes;
    layout.version = 0x0001000200030004ull;
    const std::string name = plus ? "/tool64.exe" : "/tool32.exe";
    WriteFileBytes(old_dir + name, MakeTestPatcher(layout).image);
    layout.payload[100] ^= 0x5A;
    layout.payload.resize(layout.payload.size() - 300);
    layout.version = 0x0001000200040000ull;
    WriteFileBytes(new_dir + name, MakeTestPatcher(layout).image);
  }
}

// "x86" or "x64" for a Windows executable of either machine; null for any
// other file.
const char* PeMachine(const Bytes& data) {
  PeHeaders pe;
  if (!pe.Read(data.data(), data.size())) return nullptr;
  if (pe.machine == kPeMachineI386) return "x86";
  return pe.machine == kPeMachineAmd64 ? "x64" : nullptr;
}

// One file that has its old version: what each way makes of it.
struct PairedFile {
  std::string name;
  const char* machine = nullptr;  // PeMachine's
  uint64_t new_size = 0, block = 0;  // and its compressed block's
  DataForm form = kFormDelta;  // the one our delta is in
  uint64_t ours = 0;           // its data, the delta header included
  uint64_t bytewise = 0;
  int64_t tool[kTools] = {-1, -1, -1};  // -1: not run, or failed
  double pack_seconds = 0, apply_seconds = 0;
};

// The totals of one class of files (executables, or the others).
struct Totals {
  int files = 0, not_smallest = 0;
  uint64_t new_size = 0, ours = 0, bytewise = 0, tool[kTools] = {0, 0, 0};
  int failed[kTools] = {0, 0, 0};
  double pack_seconds = 0, apply_seconds = 0;

  void Add(const PairedFile& f) {
    ++files;
    new_size += f.new_size;
    ours += f.ours;
    bytewise += f.bytewise;
    bool smallest = true;
    for (int i = 0; i < kTools; ++i) {
      if (!tools[i].present) continue;
      // A failure counts as the whole file, what would be shipped instead.
      if (f.tool[i] < 0) ++failed[i];
      tool[i] += f.tool[i] < 0 ? f.block : static_cast<uint64_t>(f.tool[i]);
      if (f.tool[i] >= 0 && static_cast<uint64_t>(f.tool[i]) <= f.ours) smallest = false;
    }
    if (!smallest) ++not_smallest;
    pack_seconds += f.pack_seconds;
    apply_seconds += f.apply_seconds;
  }
};

double Ratio(uint64_t a, uint64_t b) { return b ? double(a) / double(b) : 0.0; }

// Seconds that ApplyDelta takes to make `new_data` from `old_data` with
// `delta` (in `form`), applied as the program does, into a buffer of the
// new size; when `timed`, the best of as many rounds as it takes to be
// timed (the machine is shared). -1 when it fails or makes another file.
double TimeApply(const Bytes& old_data, const Bytes& new_data, DataForm form, const Bytes& delta,
                 bool timed) {
  const Bytes container = MakeContainer({{"f", FormField(form), delta}});
  PayloadReader reader(container.data(), container.size());
  PayloadEntry e;
  Bytes out(new_data.size() + 1);
  int rounds = 0;
  double best = 0;
  const double start = SecondsNow();
  do {
    const double round = SecondsNow();
    if (!reader.Start() || !reader.Next(&e) ||
        !ApplyDelta(old_data.data(), static_cast<uint32_t>(old_data.size()), e, out.data()))
      return -1;
    const double took = SecondsNow() - round;
    if (!rounds++ || took < best) best = took;
  } while (timed && (rounds < 3 || SecondsNow() - start < 0.05));
  return std::equal(new_data.begin(), new_data.end(), out.begin()) ? best : -1;
}

void PrintPeRows(const std::vector<PairedFile>& files) {
  printf("\n%-32s %4s %10s %10s %-9s %10s", "executable", "cpu", "new bytes", "ours", "form",
         "byte-wise");
  for (const Tool& t : tools)
    if (t.present) printf(" %16s", t.name);
  printf("\n");
  for (const PairedFile& f : files) {
    if (!f.machine) continue;
    printf("%-32s %4s %10llu %10llu %-9s %10llu", f.name.c_str(), f.machine,
           (unsigned long long)f.new_size, (unsigned long long)f.ours, DataFormName(f.form),
           (unsigned long long)f.bytewise);
    for (int i = 0; i < kTools; ++i) {
      if (!tools[i].present) continue;
      if (f.tool[i] < 0) {
        printf(" %16s", "failed");
        continue;
      }
      const bool beaten = static_cast<uint64_t>(f.tool[i]) <= f.ours;
      printf(" %15llu%c", (unsigned long long)f.tool[i], beaten ? '*' : ' ');
    }
    printf("\n");
  }
  if (tools[0].present || tools[1].present || tools[2].present)
    printf("(*: that tool's patch is no larger than ours)\n");
}

void PrintTotals(const char* what, const Totals& t) {
  printf("%-14s %5d %11llu %10llu %10llu", what, t.files, (unsigned long long)t.new_size,
         (unsigned long long)t.ours, (unsigned long long)t.bytewise);
  for (int i = 0; i < kTools; ++i)
    if (tools[i].present) printf(" %16llu", (unsigned long long)t.tool[i]);
  if (tools[0].present)
    printf(" %7.2fx %7.2fx", Ratio(t.ours, t.tool[0]), Ratio(t.bytewise, t.tool[0]));
  printf(" %8.3fx\n", Ratio(t.ours, t.bytewise));
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
    if (!t.present && !check) printf("(%s not installed: left out)\n", t.name);
  }
  const std::string patch = (fs::temp_directory_path() / "delta_bench.patch").string();
  printf("%-40s %10s %10s %10s", "pair", "new bytes", "whole", "delta");
  for (const Tool& t : tools)
    if (t.present) printf(" %16s", t.name);
  printf(" %8s %8s\n", "whole/d", "apply");
  fflush(stdout);
  uint64_t all_new = 0, all_whole = 0, all_delta = 0, peak = 0, peak_old = 0;
  std::vector<PairedFile> paired;
  for (Tool& t : tools) t.total = 0;
  for (int a = 1; a + 1 < argc; a += 2) {
    const fs::path old_dir = argv[a], new_dir = argv[a + 1];
    uint64_t new_bytes = 0, whole = 0, delta = 0, pair_paired = 0;
    double pair_apply = 0;
    uint64_t tool_sizes[kTools] = {0, 0, 0};
    std::vector<fs::path> files;
    for (const auto& f : fs::recursive_directory_iterator(new_dir))
      if (f.is_regular_file() && !f.is_symlink()) files.push_back(f.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& nf : files) {
      const fs::path of = old_dir / fs::relative(nf, new_dir);
      Bytes new_data, old_data, block, data, bytewise;
      if (!ReadFileBytes(nf.string(), &new_data)) continue;
      EncodeBlock(new_data.data(), new_data.size(), kParseOptimal, &block);
      new_bytes += new_data.size();
      whole += kEntryHeaderSize + block.size();
      if (!fs::is_regular_file(of) || !ReadFileBytes(of.string(), &old_data)) {
        delta += kEntryHeaderSize + block.size();
        for (int i = 0; i < kTools; ++i) tool_sizes[i] += block.size();
        continue;
      }
      PairedFile p;
      p.name = nf.filename().string();
      p.machine = PeMachine(new_data);
      p.new_size = new_data.size();
      p.block = block.size();
      DeltaStats stats;
      const double start = SecondsNow();
      if (!EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(), &data,
                       &stats, &p.form)) {
        fprintf(stderr, "delta_bench: %s: encoding failed\n", nf.c_str());
        return 1;
      }
      p.pack_seconds = SecondsNow() - start;
      p.ours = data.size();
      if (stats.work_memory > peak) {
        peak = stats.work_memory;
        peak_old = old_data.size();
      }
      // The byte-wise delta: the same bytes when the encoder chose it.
      if (p.form != kFormDelta &&
          !EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(),
                       &bytewise)) {
        fprintf(stderr, "delta_bench: %s: byte-wise encoding failed\n", nf.c_str());
        return 1;
      }
      p.bytewise = p.form == kFormDelta ? data.size() : bytewise.size();
      if (getenv("DELTA_BENCH_DETAIL"))
        printf("  %s: %zu -> %zu %s (block %zu): %llu commands, %llu add (%llu differ), "
               "%llu extra\n",
               p.name.c_str(), new_data.size(), data.size(), DataFormName(p.form), block.size(),
               (unsigned long long)stats.commands, (unsigned long long)stats.add_bytes,
               (unsigned long long)stats.diff_bytes, (unsigned long long)stats.extra_bytes);
      p.apply_seconds = TimeApply(old_data, new_data, p.form, data, !check);
      if (p.apply_seconds < 0 ||
          (p.form != kFormDelta && TimeApply(old_data, new_data, kFormDelta, bytewise, false) < 0)) {
        fprintf(stderr, "delta_bench: %s: a delta of it does not make it\n", nf.c_str());
        return 1;
      }
      pair_apply += p.apply_seconds;
      pair_paired += new_data.size();
      delta += kEntryHeaderSize + std::min(data.size(), block.size());
      for (int i = 0; i < kTools; ++i) {
        if (!tools[i].present) continue;
        p.tool[i] = RunTool(tools[i], of.string(), nf.string(), patch);
        tool_sizes[i] += p.tool[i] < 0 ? block.size() : static_cast<uint64_t>(p.tool[i]);
      }
      paired.push_back(p);
    }
    std::string name = new_dir.filename().string();
    if (name.empty()) name = new_dir.parent_path().filename().string();
    printf("%-40s %10llu %10llu %10llu", name.c_str(), (unsigned long long)new_bytes,
           (unsigned long long)whole, (unsigned long long)delta);
    for (int i = 0; i < kTools; ++i) {
      if (!tools[i].present) continue;
      printf(" %9llu (%4.2f)", (unsigned long long)tool_sizes[i], Ratio(tool_sizes[i], delta));
      tools[i].total += tool_sizes[i];
    }
    printf(" %7.1fx %5.0fMB/s\n", Ratio(whole, delta),
           pair_apply > 0 ? pair_paired / 1e6 / pair_apply : 0.0);
    fflush(stdout);
    all_new += new_bytes;
    all_whole += whole;
    all_delta += delta;
  }
  Totals pe, other;
  for (const PairedFile& p : paired) (p.machine ? pe : other).Add(p);
  if (check && (paired.empty() || pe.files != kTinyPeFiles)) {
    fprintf(stderr, "delta_bench: %d files had their old version, %d of them executables (of %d)\n",
            static_cast<int>(paired.size()), pe.files, kTinyPeFiles);
    return 1;
  }
  printf("%-40s %10llu %10llu %10llu", "total", (unsigned long long)all_new,
         (unsigned long long)all_whole, (unsigned long long)all_delta);
  for (const Tool& t : tools)
    if (t.present) printf(" %9llu (%4.2f)", (unsigned long long)t.total, Ratio(t.total, all_delta));
  printf(" %7.1fx\n", Ratio(all_whole, all_delta));
  printf("(delta: the entries, each whole where that is smaller; a tool: its patches, a new\n"
         " file's block, and in brackets their size over our delta's)\n");

  PrintPeRows(paired);
  printf("\n%-14s %5s %11s %10s %10s", "files paired", "count", "new bytes", "ours", "byte-wise");
  for (const Tool& t : tools)
    if (t.present) printf(" %16s", t.name);
  if (tools[0].present) printf(" %8s %8s", "ours/bs", "byte/bs");
  printf(" %9s\n", "ours/byte");
  PrintTotals("executables", pe);
  PrintTotals("other files", other);
  for (int i = 0; i < kTools; ++i)
    if (pe.failed[i] + other.failed[i])
      printf("(%s failed on %d files: counted as their blocks)\n", tools[i].name,
             pe.failed[i] + other.failed[i]);
  printf("(ours: the delta's data in the form chosen; bs: bsdiff; goals: executables at most\n"
         " 0.60x bsdiff, other files no larger than byte-wise)\n"
         "ours not the smallest on %d of %d executables\n",
         pe.not_smallest, pe.files);

  const double pack_seconds = pe.pack_seconds + other.pack_seconds;
  const double apply_seconds = pe.apply_seconds + other.apply_seconds;
  const uint64_t paired_bytes = pe.new_size + other.new_size;
  auto speed = [](uint64_t bytes, double seconds) { return seconds > 0 ? bytes / 1e6 / seconds : 0; };
  printf("\ndelta pack  %7.2f MB/s of new data (executables %.2f, others %.2f)\n",
         speed(paired_bytes, pack_seconds), speed(pe.new_size, pe.pack_seconds),
         speed(other.new_size, other.pack_seconds));
  printf("delta apply %7.1f MB/s of output (executables %.1f, others %.1f; ApplyDelta on the\n"
         "            whole file: old file's CRC, decode, new file's CRC)\n",
         speed(paired_bytes, apply_seconds), speed(pe.new_size, pe.apply_seconds),
         speed(other.new_size, other.apply_seconds));
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("encoder peak work memory %.1f MB for an old file of %.1f MB; the bench's peak RSS %.1f "
         "MB\n",
         peak / 1e6, peak_old / 1e6, usage.ru_maxrss * 1024 / 1e6);
  remove(patch.c_str());
  return 0;
}
