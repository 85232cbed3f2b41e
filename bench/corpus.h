// The files the benchmarks work on: a realistic payload made of real
// binaries and text on this machine (stripped PE32 files from the Wine
// package, the licence texts), like a small program's release.
#ifndef PATCHER_BENCH_CORPUS_H
#define PATCHER_BENCH_CORPUS_H

#include <stdint.h>

#include <string>
#include <vector>

struct CorpusFile {
  std::string name;    // the name it would have in the payload
  std::string source;  // where it came from
  std::vector<uint8_t> bytes;
};

// An executable of about 400 KB, two DLLs of about 100 KB and a text of
// about 60 KB. Files that are missing are replaced by generated data of
// the same size (and the source says so).
std::vector<CorpusFile> LoadRealisticPayload();

// The files of `--check`, the run ctest makes of each benchmark: its
// correctness checks once, on these few kilobytes, without the timings.
std::vector<CorpusFile> TinyPayload();

// Whether argv[1] is "--check".
bool CheckOnly(int argc, char** argv);

double SecondsNow();

// A program run as a child: its exit status (-1 when it did not exit),
// its time and its peak resident memory (wait4's ru_maxrss).
struct ChildRun {
  int status = -1;
  double seconds = 0;
  double peak_mib = 0;
};
// What of the child's output goes to /dev/null.
enum ChildOutput { kKeepOutput, kDropStdout, kDropAllOutput };
ChildRun RunChild(const char* program, const std::vector<std::string>& args, ChildOutput output);

#endif  // PATCHER_BENCH_CORPUS_H
