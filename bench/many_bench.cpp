// Many small files: lzcx pack -C (and with --from), list, verify,
// extract (into an empty folder, then again, up to date) and recover (of
// a patch killed halfway through its staging, and halfway through its
// commit), each timed as a program on 10,000 and 100,000 files, flat and
// in folders of 100 (so the folders grow with the files). Printed: the
// seconds of each step at both counts, their ratio (about 10 when nothing
// grows faster than the count of entries and folders) and the peak memory
// at the larger count. Last, extract --check of new names into a folder
// of as many other files, at a tenth of the counts.
//
// The trees live in MANY_BENCH_DIR, else /dev/shm, else /tmp: on a memory
// file system the figures are the programs' own work, not the disk's
// flushes. The patches are killed in a child of this program, at a
// chosen system call (platform/posix/fault_points.h), as a crash would
// kill lzcx. `--check`: every step once on 100 and 1,000 files, and each
// result checked (the tree extracted, up to date, each recovery a whole
// release), without the timings.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "corpus.h"
#include "lzcx/commands.h"
#include "payload/applier.h"
#include "platform/posix/fault_points.h"

namespace {

bool g_check = false;

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "many_bench: %s\n", what.c_str());
  exit(1);
}

typedef ChildRun Run;

// lzcx with `args`, its output dropped: its status, time and peak memory.
Run Lzcx(const std::vector<std::string>& args) {
  return RunChild(LZCX_BINARY, args, kDropAllOutput);
}

struct Tree {
  int files;
  int per_folder;  // 0: flat
};

std::string FilePath(const Tree& t, int i) {
  char name[64];
  if (t.per_folder)
    snprintf(name, sizeof name, "d%05d/f%06d.txt", i / t.per_folder, i);
  else
    snprintf(name, sizeof name, "f%06d.txt", i);
  return name;
}

// File i of release `version` ('A' or 'B'): every file differs between
// the two, in size too.
std::string Contents(int i, char version) {
  char text[64];
  snprintf(text, sizeof text, version == 'A' ? "file %d of A\n" : "file %d of release B\n", i);
  return text;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
    Die("cannot write " + path);
}

void MakeTree(const std::string& root, const Tree& t, char version) {
  mkdir(root.c_str(), 0755);
  for (int i = 0; i < t.files; ++i) {
    if (t.per_folder && i % t.per_folder == 0)
      mkdir((root + "/" + FilePath(t, i).substr(0, 6)).c_str(), 0755);
    WriteFile(root + "/" + FilePath(t, i), Contents(i, version));
  }
}

// Entries below `root`, folders included: what a tree of `t` holds and
// nothing else when it is t.files plus its folders.
long CountBelow(const std::string& root) {
  DIR* d = opendir(root.c_str());
  if (!d) return -1;
  long n = 0;
  while (const dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    ++n;
    if (e->d_type == DT_DIR) n += CountBelow(root + "/" + e->d_name);
  }
  closedir(d);
  return n;
}

// Which release `root` holds, whole and nothing else: 'A', 'B', or 0.
char Holds(const std::string& root, const Tree& t) {
  const long folders = t.per_folder ? (t.files + t.per_folder - 1) / t.per_folder : 0;
  if (CountBelow(root) != t.files + folders) return 0;
  char release = 0;
  for (int i = 0; i < t.files; ++i) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ReadWholeFile((root + "/" + FilePath(t, i)).c_str(), &bytes, &why)) return 0;
    const std::string got(bytes.begin(), bytes.end());
    const char is = got == Contents(i, 'A') ? 'A' : got == Contents(i, 'B') ? 'B' : 0;
    if (!is || (release && is != release)) return 0;
    release = is;
  }
  return release;
}

// The patch of `payload` into `dir`, in a child killed at its `at`th
// system call `call`, as a crash would leave it.
platform::SystemCall g_kill_call;
long g_kill_at, g_calls;
int KillAt(platform::SystemCall call, const char*) {
  if (call == g_kill_call && ++g_calls == g_kill_at) _exit(99);
  return 0;
}
void KilledPatch(const std::string& payload, const std::string& dir, platform::SystemCall call,
                 long at) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ReadWholeFile(payload.c_str(), &bytes, &why)) _exit(1);
    g_kill_call = call;
    g_kill_at = at;
    platform::g_fail_call = KillAt;
    FileOps ops;
    ApplyPayload(bytes.data(), bytes.size(), dir.c_str(), ops, nullptr, 0);
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 99)
    Die("the patch to kill of " + dir + " was not killed where it should be");
}

const char* const kSteps[] = {"pack",       "pack --from",     "list",          "verify",
                              "extract",    "up to date",      "recover staging", "recover commit"};
const int kStepCount = sizeof kSteps / sizeof *kSteps;

// Every step on tree `t` below `work`; each one's run.
std::vector<Run> Steps(const std::string& work, const Tree& t) {
  const std::string a = work + "/a", b = work + "/b", inst = work + "/installed";
  const std::string pa = work + "/a.lzcx", pb = work + "/b.lzcx";
  MakeTree(a, t, 'A');
  MakeTree(b, t, 'B');
  std::vector<Run> runs;
  auto step = [&](const std::vector<std::string>& args, int want) {
    runs.push_back(Lzcx(args));
    if (runs.back().status != want)
      Die(kSteps[runs.size() - 1] + std::string(" of ") + std::to_string(t.files) +
          " files exited " + std::to_string(runs.back().status));
  };
  step({"pack", "-q", "-C", a, "-o", pa}, 0);
  step({"pack", "-q", "-C", b, "--from", a, "-o", pb}, 0);
  step({"list", pa}, 0);
  step({"verify", pa}, 0);
  mkdir(inst.c_str(), 0755);
  step({"extract", "--force", "-C", inst, pa}, 0);
  if (g_check && Holds(inst, t) != 'A') Die("extract did not make release A");
  step({"extract", "--force", "-C", inst, pa}, 4);
  // Staging writes each temporary once; the commit renames twice a file.
  KilledPatch(pb, inst, platform::kCallWrite, t.files / 2);
  step({"recover", "-C", inst}, 0);
  if (g_check && Holds(inst, t) != 'A') Die("recovery of a staging did not restore release A");
  KilledPatch(pb, inst, platform::kCallRename, t.files + 2);
  step({"recover", "-C", inst}, 0);
  if (g_check && !Holds(inst, t)) Die("recovery of a commit left no whole release");
  return runs;
}

// extract --check of `files` new names into a folder of as many others:
// each name is looked up, and not found under any letter case.
Run NewNames(const std::string& work, int files) {
  const std::string installed = work + "/installed", release = work + "/new",
                    payload = work + "/new.lzcx";
  const Tree flat = {files, 0};
  MakeTree(installed, flat, 'A');
  mkdir(release.c_str(), 0755);
  for (int i = 0; i < files; ++i)
    WriteFile(release + "/g" + std::to_string(i) + ".txt", Contents(i, 'B'));
  if (Lzcx({"pack", "-q", "-C", release, "-o", payload}).status != 0) Die("pack of new names");
  const Run run = Lzcx({"extract", "--check", "--force", "-C", installed, payload});
  if (run.status != 0) Die("extract --check of new names exited " + std::to_string(run.status));
  if (system(("rm -rf '" + installed + "' '" + release + "' '" + payload + "'").c_str()) != 0)
    Die("cannot remove the new names");
  return run;
}

std::string WorkRoot() {
  if (const char* dir = getenv("MANY_BENCH_DIR")) return dir;
  struct stat st;
  return stat("/dev/shm", &st) == 0 && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace

int main(int argc, char** argv) {
  g_check = CheckOnly(argc, argv);
  const int small = g_check ? 100 : 10000, large = 10 * small;
  std::string work = WorkRoot() + "/pt-many-bench-XXXXXX";
  if (!mkdtemp(&work[0])) Die("cannot make a folder in " + WorkRoot());
  if (!g_check)
    printf("Many small files in %s: seconds of each lzcx step at %d and %d files, and the\n"
           "ratio (about 10 when the time grows linearly); peak memory at %d files.\n",
           work.c_str(), small, large, large);
  const Tree layouts[][2] = {{{small, 0}, {large, 0}}, {{small, 100}, {large, 100}}};
  const char* const names[] = {"flat", "folders of 100"};
  for (int l = 0; l < 2; ++l) {
    std::vector<Run> runs[2];
    for (int k = 0; k < 2; ++k) {
      const std::string dir = work + "/" + std::to_string(l) + "-" + std::to_string(k);
      mkdir(dir.c_str(), 0755);
      runs[k] = Steps(dir, layouts[l][k]);
      if (system(("rm -rf '" + dir + "'").c_str()) != 0) Die("cannot remove " + dir);
    }
    if (g_check) continue;
    printf("\n%s\n%-16s %10d %10d %7s %9s\n", names[l], "step (seconds)", small, large,
           "ratio", "peak MiB");
    for (int s = 0; s < kStepCount; ++s)
      printf("%-16s %10.2f %10.2f %7.1f %9.0f\n", kSteps[s], runs[0][s].seconds,
             runs[1][s].seconds, runs[0][s].seconds > 0 ? runs[1][s].seconds / runs[0][s].seconds : 0,
             runs[1][s].peak_mib);
  }
  // A tenth of the counts: natively the lookup of a name that is not
  // there lists its folder for another letter case of it.
  const Run fewer = NewNames(work, small / 10), more = NewNames(work, large / 10);
  if (!g_check)
    printf("\nextract --check of new names into a folder of as many files\n"
           "%-16s %10d %10d %7.1f %9.0f\n", "files", small / 10, large / 10,
           fewer.seconds > 0 ? more.seconds / fewer.seconds : 0, more.peak_mib);
  rmdir(work.c_str());
  if (g_check) printf("many_bench --check: every step of %d and %d files right\n", small, large);
  return 0;
}
