#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "lzcx/commands.h"

int ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, std::string* why) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    *why = strerror(errno);
    return 0;
  }
  bytes->clear();
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  const bool failed = ferror(f) != 0;
  if (failed) *why = strerror(errno);
  fclose(f);
  return !failed;
}
