#include "lzcx/pack.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>

#include "lzcx/commands.h"
#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"

const char kPackUsage[] =
    "lzcx pack [--fast] [--quiet] [--name NAME=FILE]... -o PAYLOAD FILE...";

namespace {

// One file on its way into the payload.
struct Input {
  const char* path;
  std::string name;
  bool renamed;
  PathInfo info;
  std::vector<uint8_t> bytes;
};

int Usage(const std::string& problem, const char* usage) {
  fprintf(stderr, "lzcx: %s\nusage: %s\n", problem.c_str(), usage);
  return 2;
}

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// On top of the applier's rule: characters that no Windows file name may
// hold, so a payload with one could never be applied there.
bool HasCharacterWindowsRefuses(const std::string& name) {
  return name.find_first_of("<>\"|?*") != std::string::npos;
}

// "name: 12.5%" on the terminal, for files that take more than a second.
class ProgressLine : public EncodeProgress {
 public:
  ProgressLine(const std::string& name, bool enabled)
      : name_(name), enabled_(enabled), shown_(false), last_(-1),
        start_(std::chrono::steady_clock::now()) {}
  ~ProgressLine() override {
    if (shown_) fputs("\r\033[K", stderr);
  }
  void Report(uint64_t done, uint64_t total) override {
    if (!enabled_ || !total) return;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    if (elapsed.count() < 1.0) return;
    const int permille = static_cast<int>(done * 1000 / total);
    if (permille == last_) return;
    last_ = permille;
    shown_ = true;
    fprintf(stderr, "\r%s: %d.%d%%", name_.c_str(), permille / 10, permille % 10);
  }

 private:
  std::string name_;
  bool enabled_;
  bool shown_;
  int last_;
  std::chrono::steady_clock::time_point start_;
};

void PutLe32(std::vector<uint8_t>* out, uint32_t value) {
  out->resize(out->size() + 4);
  WriteLe32(out->data() + out->size() - 4, value);
}

void AppendEntry(std::vector<uint8_t>* container, const std::string& name,
                 const std::vector<uint8_t>& block) {
  uint8_t field[kEntryNameField] = {0};
  memcpy(field, name.data(), name.size());
  container->insert(container->end(), field, field + kEntryNameField);
  PutLe32(container, 1);  // compressed
  PutLe32(container, static_cast<uint32_t>(block.size()));
  container->insert(container->end(), block.begin(), block.end());
}

// Reads the finished container the way the patcher will and decodes every
// entry again: each must come back as exactly its input. Zero with the
// reason when anything differs, which only a bug of the packer can cause.
int CheckContainer(const std::vector<uint8_t>& container, const std::vector<Input>& inputs,
                   std::string* why) {
  PayloadReader reader(container.data(), container.size());
  if (!reader.Start() || reader.count() != static_cast<int32_t>(inputs.size())) {
    *why = "the payload's entry count is wrong";
    return 0;
  }
  PayloadEntry e;
  for (const Input& in : inputs) {
    if (!reader.Next(&e)) {
      *why = reader.fault_text();
      return 0;
    }
    if (in.name != e.name || !e.compressed || e.expanded_length != in.bytes.size()) {
      *why = in.name + ": the entry's header is wrong";
      return 0;
    }
    std::vector<uint8_t> out(in.bytes.size() + 1);
    BlockFault fault = kBlockFine;
    const uint32_t produced = BlockDecoder(e.data, e.size, out.data(), &fault);
    if (fault != kBlockFine || produced != in.bytes.size() ||
        (!in.bytes.empty() && memcmp(out.data(), in.bytes.data(), in.bytes.size()) != 0)) {
      *why = in.name + ": its block does not decode back to the file (" +
             BlockFaultText(fault) + ")";
      return 0;
    }
  }
  char fault[256];
  if (!VerifyPayload(container.data(), container.size(), "", fault, sizeof fault)) {
    *why = fault;
    return 0;
  }
  return 1;
}

}  // namespace

// Bad input or a failure: one line, exit status 1, nothing written.
int Refuse(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "lzcx: %s\n", line);
  return 1;
}

int ParsePackArguments(int argc, char** argv, PackRequest* request, const char** stub) {
  const char* usage = request->usage;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "--fast") {
        request->fast = true;
      } else if (arg == "--quiet") {
        request->quiet = true;
      } else if (arg == "-o") {
        if (++i == argc) return Usage("-o needs the output's path", usage);
        if (request->output) return Usage("one output at a time", usage);
        request->output = argv[i];
      } else if (arg == "--name") {
        if (++i == argc) return Usage("--name needs NAME=FILE", usage);
        request->renames.push_back(argv[i]);
      } else if (stub && arg == "--stub") {
        if (++i == argc) return Usage("--stub needs the stub's path", usage);
        if (*stub) return Usage("one stub at a time", usage);
        *stub = argv[i];
      } else {
        return Usage("unknown option: " + arg, usage);
      }
    } else {
      request->files.push_back(argv[i]);
    }
  }
  if (!request->output) return Usage("no output given (-o)", usage);
  if (!*request->output) return Usage("the output's path is empty", usage);
  return 0;
}

int PackFiles(const PackRequest& request, BlockEncoderFunction encode,
              std::vector<uint8_t>* container) {
  const char* output = request.output;
  std::vector<Input> inputs;
  for (const char* file : request.files)
    inputs.push_back(Input{file, BaseName(file), false, PathInfo(), {}});
  for (const std::string& r : request.renames) {
    const size_t eq = r.find('=');
    if (eq == std::string::npos || eq + 1 == r.size())
      return Usage("--name " + r + ": expected NAME=FILE", request.usage);
    const std::string file = r.substr(eq + 1);
    bool found = false;
    for (Input& in : inputs) {
      if (file != in.path) continue;
      if (in.renamed)
        return Usage("--name " + r + ": " + file + " is already renamed", request.usage);
      in.name = r.substr(0, eq);
      in.renamed = true;
      found = true;
    }
    if (!found)
      return Usage("--name " + r + ": " + file + " is not among the files", request.usage);
  }
  if (inputs.empty()) return Refuse("no files to pack");
  std::string why;
  for (Input& in : inputs) {
    if (!ExaminePath(in.path, &in.info, &why)) return Refuse("%s: %s", in.path, why.c_str());
    switch (in.info.kind) {
      case PathInfo::kMissing: return Refuse("%s: no such file", in.path);
      case PathInfo::kDirectory: return Refuse("%s: is a directory, not a file", in.path);
      case PathInfo::kOther: return Refuse("%s: not a regular file", in.path);
      case PathInfo::kRegular: break;
    }
    if (in.info.size > kMaxBlockInput)
      return Refuse("%s: too large for a payload entry (%llu bytes, at most %llu)", in.path,
                    static_cast<unsigned long long>(in.info.size),
                    static_cast<unsigned long long>(kMaxBlockInput));
    const char* n = in.name.c_str();
    if (in.name.size() >= static_cast<size_t>(kEntryNameField))
      return Refuse("%s: entry name \"%s\" is longer than %d characters", in.path, n,
                    kEntryNameField - 1);
    if (!IsPlainFileName(n))
      return Refuse("%s: entry name \"%s\" is not a plain file name", in.path, n);
    if (HasCharacterWindowsRefuses(in.name))
      return Refuse("%s: entry name \"%s\" has a character Windows does not allow", in.path, n);
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (platform::SameFileName(inputs[i].name.c_str(), inputs[j].name.c_str()))
        return Refuse("entries \"%s\" (%s) and \"%s\" (%s) are the same file on the target system",
                      inputs[j].name.c_str(), inputs[j].path, inputs[i].name.c_str(),
                      inputs[i].path);
    }
  }
  PathInfo out_info;
  if (!ExaminePath(output, &out_info, &why)) return Refuse("%s: %s", output, why.c_str());
  if (out_info.kind == PathInfo::kDirectory)
    return Refuse("%s: the output's path is a directory", output);
  if (!CanCreateBeside(output, &why)) return Refuse("cannot write the output in %s", why.c_str());
  for (const Input& in : inputs) {
    if (out_info.kind != PathInfo::kMissing && out_info.device == in.info.device &&
        out_info.inode == in.info.inode)
      return Refuse("%s: the output would overwrite its input %s", output, in.path);
  }
  for (const char* path : request.also_read) {
    PathInfo info;
    if (out_info.kind != PathInfo::kMissing && ExaminePath(path, &info, &why) &&
        out_info.device == info.device && out_info.inode == info.inode)
      return Refuse("%s: the output would overwrite its input %s", output, path);
  }

  for (Input& in : inputs) {
    if (!ReadWholeFile(in.path, &in.bytes, &why)) return Refuse("%s: %s", in.path, why.c_str());
    if (in.bytes.size() > kMaxBlockInput)
      return Refuse("%s: too large for a payload entry", in.path);
  }
  if (request.check_first && !request.check_first(inputs[0].name, inputs[0].bytes, &why))
    return Refuse("%s: %s", inputs[0].path, why.c_str());

  container->clear();
  PutLe32(container, static_cast<uint32_t>(inputs.size()));
  const bool quiet = request.quiet;
  const bool show_progress = !quiet && StderrIsTerminal();
  for (const Input& in : inputs) {
    std::vector<uint8_t> block;
    EncodeStats stats;
    {
      ProgressLine progress(in.name, show_progress);
      if (!encode(in.bytes.data(), in.bytes.size(), request.fast ? kParseLazy : kParseOptimal,
                  &block, &stats, &progress))
        return Refuse("%s: out of memory while encoding it", in.path);
    }
    if (!quiet) {
      const double ratio = in.bytes.empty() ? 1.0
                                            : static_cast<double>(block.size()) /
                                                  static_cast<double>(in.bytes.size());
      fprintf(stderr, "%s: %zu -> %zu bytes, %.3f%s\n", in.name.c_str(), in.bytes.size(),
              block.size(), ratio,
              BlockIsStored(static_cast<uint32_t>(in.bytes.size()),
                            static_cast<uint32_t>(block.size()))
                  ? " (stored)"
                  : "");
    }
    AppendEntry(container, in.name, block);
  }

  if (!CheckContainer(*container, inputs, &why))
    return Refuse("internal error, nothing written: %s", why.c_str());
  return 0;
}

int PackCommand(int argc, char** argv, BlockEncoderFunction encode) {
  PackRequest request;
  request.usage = kPackUsage;
  int status = ParsePackArguments(argc, argv, &request, nullptr);
  std::vector<uint8_t> container;
  if (status || (status = PackFiles(request, encode, &container))) return status;
  std::string why;
  if (!ReplaceFileAtomically(request.output, container, &why)) return Refuse("%s", why.c_str());
  return 0;
}
