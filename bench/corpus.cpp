#include "corpus.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/payload_builder.h"
#include "lzcx/commands.h"

namespace {

const char kWineDir[] = "/usr/lib/i386-linux-gnu/wine/i386-windows/";

// A stripped copy of a Wine PE file (the package's files carry symbols).
bool StrippedPe(const std::string& name, std::vector<uint8_t>* bytes) {
  char out[] = "/tmp/pt-bench-XXXXXX";
  int fd = mkstemp(out);
  if (fd < 0) return false;
  close(fd);
  std::string command = "i686-w64-mingw32-strip -o " + std::string(out) + " " +
                        kWineDir + name + " 2>/dev/null";
  std::string why;
  bool ok = system(command.c_str()) == 0 && ReadWholeFile(out, bytes, &why);
  unlink(out);
  return ok && !bytes->empty();
}

void Add(std::vector<CorpusFile>* files, const char* name, const std::string& source,
         std::vector<uint8_t> bytes, size_t fallback_size, uint32_t seed) {
  CorpusFile f;
  f.name = name;
  if (bytes.empty()) {
    f.source = "generated (" + source + " not found)";
    f.bytes = TextLike(fallback_size, seed);
  } else {
    f.source = source;
    f.bytes = std::move(bytes);
  }
  files->push_back(std::move(f));
}

}  // namespace

std::vector<CorpusFile> LoadRealisticPayload() {
  std::vector<CorpusFile> files;
  std::vector<uint8_t> b;
  Add(&files, "vusk.exe", "winedbg.exe (stripped)", StrippedPe("winedbg.exe", &b) ? b : std::vector<uint8_t>(), 420000, 1);
  Add(&files, "orvcore.dll", "imm32.dll (stripped)", StrippedPe("imm32.dll", &b) ? b : std::vector<uint8_t>(), 106000, 2);
  Add(&files, "orvtext.dll", "shcore.dll (stripped)", StrippedPe("shcore.dll", &b) ? b : std::vector<uint8_t>(), 102000, 3);
  std::vector<uint8_t> text, more;
  std::string why;
  if (ReadWholeFile("/usr/share/common-licenses/GPL-3", &text, &why) &&
      ReadWholeFile("/usr/share/common-licenses/LGPL-2.1", &more, &why))
    text.insert(text.end(), more.begin(), more.end());
  else
    text.clear();
  Add(&files, "vusk.hlp", "GPL-3 + LGPL-2.1 licence texts", text, 61000, 4);
  return files;
}

std::vector<CorpusFile> TinyPayload() {
  std::vector<CorpusFile> files;
  Add(&files, "vusk.exe", "", TextLike(6000, 1), 0, 0);
  Add(&files, "orvcore.dll", "", RandomBytes(2000, 2), 0, 0);
  Add(&files, "vusk.hlp", "", TextLike(3000, 4), 0, 0);
  for (CorpusFile& f : files) f.source = "generated";
  return files;
}

bool CheckOnly(int argc, char** argv) { return argc > 1 && !strcmp(argv[1], "--check"); }

double SecondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ChildRun RunChild(const char* program, const std::vector<std::string>& args, ChildOutput output) {
  std::vector<char*> argv = {const_cast<char*>(program)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ChildRun r;
  fflush(nullptr);  // our lines before the child's
  const double start = SecondsNow();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = output == kKeepOutput ? -1 : open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    if (null >= 0 && output == kDropAllOutput) dup2(null, 2);
    execv(program, argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    r.seconds = SecondsNow() - start;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.peak_mib = usage.ru_maxrss / 1024.0;  // KB on Linux
  }
  return r;
}
