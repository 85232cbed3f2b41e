// Without libFuzzer, a fuzz target is a plain program that runs the inputs
// named on its command line (files, or directories of files) once each:
// the seed corpus as a regression test, or a crash to reproduce.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "lzcx/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunPath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return 0;
  }
  if (S_ISDIR(st.st_mode)) {
    int n = 0;
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') n += RunPath(path + "/" + e->d_name);
      closedir(d);
    }
    return n;
  }
  std::vector<uint8_t> bytes;
  std::string why;
  if (!ReadWholeFile(path.c_str(), &bytes, &why)) return 0;
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}

int main(int argc, char** argv) {
  int n = 0;
  for (int i = 1; i < argc; ++i) n += RunPath(argv[i]);
  printf("replayed %d inputs\n", n);
  return n > 0 ? 0 : 1;
}
