// The program's window while it patches a large release, under Wine.
//
//   window_bench [MB]      (default 1000)
//   window_bench --check   (a 4 MB file: the patch succeeds and every
//                           WM_NULL is answered; no figures)
//
// A release with one file of MB megabytes of numbered lines beside the
// demo release is made into a patcher by lzcx.exe; an installation of the
// demo's old release is put where the scan finds it. The program scans,
// then patches, while this process sends its dialog WM_NULL about every
// 10 ms and times each answer: the longest wait is the figure (goal: under
// 100 ms), with whether the patch succeeded.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/driver.h"
#include "resources/resource_ids.h"
#include "support/scratch.h"

namespace {

// Staged by the build into a dot directory, which no scan enters.
const std::string kStage = std::string("C:\\") + WINDOW_BENCH_FOLDER;
const std::string kWork = kStage + "\\work";
const std::string kOrvendel = "C:\\Program Files\\Orvendel";
const std::string kInstall = kOrvendel + "\\Tessaline";

// `megabytes` MB of numbered lines into `path`, written as it is made.
bool WriteLines(const std::string& path, long megabytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<char> chunk(1 << 20);
  long line = 0;
  bool ok = true;
  for (long mb = 0; ok && mb < megabytes; ++mb) {
    size_t at = 0;
    char text[40];
    while (at < chunk.size()) {
      const int n = snprintf(text, sizeof text, "line %010ld of the film\n", line++);
      const size_t take = std::min(chunk.size() - at, static_cast<size_t>(n));
      memcpy(&chunk[at], text, take);
      at += take;
    }
    DWORD wrote = 0;
    ok = WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &wrote, nullptr) &&
         wrote == chunk.size();
  }
  return CloseHandle(file) && ok;
}

// Runs lzcx.exe with `args`; its exit status, or -1.
int Lzcx(const std::string& args) {
  std::string line = "\"" + kStage + "\\lzcx.exe\" " + args;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, "C:\\", &startup,
                      &process))
    return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc > 1 && !strcmp(argv[1], "--check");
  const long megabytes = check ? 4 : argc > 1 ? atol(argv[1]) : 1000;
  if (megabytes <= 0) {
    fprintf(stderr, "usage: window_bench [MB | --check]\n");
    return 2;
  }
  RemoveTree(kWork);
  const std::string release = kWork + "\\new", program = kWork + "\\large.exe";
  if (!CreateDirectoryA(kWork.c_str(), nullptr) || !CopyTree(kStage + "\\release-1.25", release) ||
      !CreateDirectoryA((release + "\\media").c_str(), nullptr) ||
      !WriteLines(release + "\\media\\film.dat", megabytes)) {
    fprintf(stderr, "window_bench: cannot write the release in %s\n", kWork.c_str());
    return 1;
  }
  const DWORD packing = GetTickCount();
  if (Lzcx("patcher --quiet --stub \"" + kStage + "\\" WINDOW_BENCH_STUB "\" -C \"" + release +
           "\" -o \"" + program + "\"")) {
    fprintf(stderr, "window_bench: lzcx patcher failed\n");
    return 1;
  }
  const double packed = (GetTickCount() - packing) / 1000.0;
  RemoveTree(kOrvendel);
  CreateDirectoryA(kOrvendel.c_str(), nullptr);
  PatcherProcess patcher;
  if (!CopyTree(kStage + "\\release-1.24", kInstall) || !patcher.Start(program)) {
    fprintf(stderr, "window_bench: cannot install the old release or start the program\n");
    return 1;
  }
  patcher.Click(IDC_SCAN);
  if (!WaitUntil([&] { return patcher.Text(IDC_PATH) == kInstall + "\\Vusk.exe"; }, 60000) ||
      !WaitUntil([&] { return patcher.Text(IDC_SCAN) == "Scan..."; })) {
    fprintf(stderr, "window_bench: the scan did not find %s\n", kInstall.c_str());
    return 1;
  }
  const PatchWatch idle = check ? PatchWatch() : WatchIdle(patcher, 10, 5000);
  const DWORD start = GetTickCount();
  patcher.Click(IDC_PATCH);
  const PatchWatch watch = WatchPatch(patcher, IDC_PATH, 10, 3600 * 1000);
  const double took = (GetTickCount() - start) / 1000.0;
  bool shown = false;  // the path box named the large file
  for (const PatchWatch::Path& p : watch.paths) shown = shown || p.text == "media/film.dat";
  if (watch.result) patcher.Click(IDOK, watch.result);
  patcher.WaitForExit();
  patcher.Kill();
  RemoveTree(kOrvendel);
  RemoveTree(kWork);
  if (check) {
    if (watch.succeeded && !watch.unanswered && shown) return 0;
    fprintf(stderr, "window_bench --check: %s, %d of %d WM_NULL unanswered, %s\n",
            watch.succeeded ? "patched" : "the patch failed", watch.unanswered, watch.sent,
            shown ? "the file shown" : "the file never shown");
    return 1;
  }
  printf("window while the program patches a release with a %ld MB file (lzcx packed it in %.1f s)\n",
         megabytes, packed);
  printf("  patch            %s in %.1f s, the path box named the file: %s\n",
         watch.succeeded ? "succeeded" : "FAILED", took, shown ? "yes" : "no");
  printf("  WM_NULL          %d sent about every 10 ms, %d unanswered in 10 s\n", watch.sent,
         watch.unanswered);
  printf("  longest wait     %.1f ms  (goal: under 100 ms)\n", watch.longest_ms);
  printf("  idle, before     %.1f ms the longest of %d sent in 5 s: the machine's own load\n",
         idle.longest_ms, idle.sent);
  // The slowest answers, with what the path box showed then.
  std::vector<PatchWatch::Wait> slow = watch.slow;
  std::sort(slow.begin(), slow.end(),
            [](const PatchWatch::Wait& a, const PatchWatch::Wait& b) { return a.ms > b.ms; });
  int over = 0;
  for (const PatchWatch::Wait& w : slow) over += w.ms >= 100;
  printf("  waits of 100 ms or more: %d; of 50 ms or more: %d\n", over,
         static_cast<int>(slow.size()));
  for (const PatchWatch::Path& p : watch.paths)
    printf("    from %6.2f s the box showed %s\n", p.at, p.text.c_str());
  for (size_t i = 0; i < slow.size() && i < 8; ++i) {
    std::string showing;
    for (const PatchWatch::Path& p : watch.paths)
      if (p.at <= slow[i].at) showing = p.text;
    printf("    %6.1f ms at %6.2f s, the box showing %s\n", slow[i].ms, slow[i].at,
           showing.c_str());
  }
  return watch.succeeded ? 0 : 1;
}
