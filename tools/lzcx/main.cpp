// lzcx: makes, checks and applies payloads and patchers. The commands and
// their options are in cli.cpp (`lzcx --help`); pack and patcher in their
// own files.
//
// Exit status: 0 success, 1 bad input, a damaged payload, a failed apply
// or no memory (one line on stderr naming the file), 2 usage.
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "lzcx/cli.h"
#include "lzcx/commands.h"
#include "lzcx/pack.h"
#include "lzcx/patcher.h"
#include "payload/applier.h"
#include "payload/container.h"

namespace {

// A PAYLOAD argument as messages name it.
const char* Shown(const char* path) { return strcmp(path, "-") ? path : "(stdin)"; }

double Ratio(uint64_t packed, uint64_t expanded) {
  return expanded ? static_cast<double>(packed) / static_cast<double>(expanded) : 1.0;
}

// A payload refused: one line naming the file and what is wrong, or that
// it is no payload at all.
int Refuse(const char* path, const FileBytes& payload, const char* fault) {
  if (!LooksLikePayload(payload.data.get(), payload.size))
    fprintf(stderr, "lzcx: %s: neither a payload nor a patcher\n", Shown(path));
  else
    fprintf(stderr, "lzcx: %s: %s\n", Shown(path), fault);
  return 1;
}

const char* ChecksumsLine(const PayloadIntegrity& integrity) {
  return integrity.checksums ? "every entry matches its CRC-32C"
                             : "no checksums (nothing follows the last entry)";
}

// A JSON string of a name's bytes (UTF-8, as the name rule has them).
void PrintJsonString(const char* s) {
  putchar('"');
  for (; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"' || c == '\\')
      printf("\\%c", c);
    else if (c < 0x20)
      printf("\\u%04x", c);
    else
      putchar(c);
  }
  putchar('"');
}

int List(const char* path, const FileBytes& payload, bool json) {
  char fault[512];
  PayloadIntegrity integrity;
  if (!CheckPayloadIntegrity(payload.data.get(), payload.size, &integrity, fault, sizeof fault))
    return Refuse(path, payload, fault);
  PayloadReader reader(payload.data.get(), integrity.entries_end);
  reader.Start();
  PayloadEntry e;
  // The sizes in the order pack prints them: expanded, then packed.
  if (json) {
    printf("{\"checksums\": %s, \"entries\": [", integrity.checksums ? "true" : "false");
    for (const char* separator = "\n"; reader.Next(&e); separator = ",\n") {
      printf("%s  {\"name\": ", separator);
      PrintJsonString(e.name);
      printf(", \"compressed\": %s, \"expanded\": %u, \"packed\": %u",
             e.compressed ? "true" : "false", e.expanded_length, e.size);
      if (IsDelta(e)) printf(", \"form\": \"delta\", \"old\": %u", e.old_size);
      putchar('}');
    }
    printf("\n]}\n");
    return 0;
  }
  // The old file's size only for delta entries, which need that file.
  printf("%-29s  %-10s  %10s  %10s  %6s  %10s\n", "name", "form", "expanded", "packed", "ratio",
         "old");
  while (reader.Next(&e)) {
    printf("%-29s  %-10s  %10u  %10u  %6.3f", e.name,
           IsDelta(e) ? "delta" : e.compressed ? "compressed" : "stored", e.expanded_length,
           e.size, Ratio(e.size, e.expanded_length));
    if (IsDelta(e))
      printf("  %10u\n", e.old_size);
    else
      printf("  %10s\n", "-");
  }
  printf("%s\n", ChecksumsLine(integrity));
  return 0;
}

int Verify(const char* path, const FileBytes& payload) {
  char fault[512];
  uint64_t total = 0;
  PayloadIntegrity integrity;
  if (!VerifyPayload(payload.data.get(), payload.size, "", fault, sizeof fault, &total,
                     &integrity))
    return Refuse(path, payload, fault);
  printf("%s: ok, %d entries, %llu bytes expanded from %zu, %s\n", Shown(path), integrity.count,
         static_cast<unsigned long long>(total), payload.size, ChecksumsLine(integrity));
  return 0;
}

// The platform's file operations, noting where the applier could not go
// on, so that the error can say which file and why.
class WatchedOps : public FileOps {
 public:
  platform::Directory* Open(const char* path) override {
    platform::Directory* dir = FileOps::Open(path);
    open_failed = dir == nullptr;
    return dir;
  }
  platform::TargetState Find(platform::Directory* dir, const char* name, char* found) override {
    found[0] = 0;
    const platform::TargetState state = FileOps::Find(dir, name, found);
    // The file's own name where it was found (in another letter case).
    if (state == platform::kTargetBlocked) blocked = found[0] ? found : name;
    return state;
  }
  bool open_failed = false;
  std::string blocked;  // the entry whose file cannot be replaced
};

// The names written, as tar -v lists them: each entry once (a later entry
// of the same name is the one written), in payload order.
void PrintWritten(const FileBytes& payload) {
  std::vector<PayloadEntry> entries;
  PayloadReader reader(payload.data.get(), payload.size);
  PayloadEntry e;
  reader.Start();
  while (reader.Next(&e)) entries.push_back(e);
  const int count = static_cast<int>(entries.size());
  for (int i = 0; i < count; ++i)
    if (LastOfItsName(entries.data(), count, i)) printf("%s\n", entries[i].name);
}

// When the patch of `dir` (DIRECTORY as given) stopped at the directory
// or at a file it could not replace, says which and why in one line, as
// far as the system tells.
bool ExplainStop(const WatchedOps& ops, const std::string& dir, const char* directory) {
  std::string what;
  if (ops.open_failed && DescribeUnusable(dir.c_str(), true, &what)) {
    fprintf(stderr, "lzcx: %s: %s\n", directory, what.c_str());
    return true;
  }
  if (!ops.blocked.empty() && DescribeUnusable((dir + ops.blocked).c_str(), false, &what)) {
    fprintf(stderr, "lzcx: %s%s: %s: the patch cannot replace it\n", dir.c_str(),
            ops.blocked.c_str(), what.c_str());
    return true;
  }
  return false;
}

// Recovers an interrupted patch first, as the patcher does.
int Extract(const char* path, const FileBytes& payload, const char* directory, bool verbose) {
  const std::string dir = DirectoryString(directory);
  char fault[512];
  WatchedOps ops;
  if (!ApplyPayload(payload.data.get(), payload.size, dir.c_str(), ops, fault, sizeof fault))
    return ExplainStop(ops, dir, directory) ? 1 : Refuse(path, payload, fault);
  if (fault[0]) fprintf(stderr, "lzcx: warning: %s\n", fault);
  if (verbose) PrintWritten(payload);
  return 0;
}

// -C DIR: once, and not empty.
int TakeDirectory(const CliCommand& command, const char* argument, const char** directory) {
  if (*directory) return UsageError(&command, "-C given twice: one directory at a time");
  if (!*argument) return UsageError(&command, "-C needs a directory");
  *directory = argument;
  return 0;
}

// lzcx recover -C DIR: only the recovery, with one line on what it did.
int Recover(const CliCommand& command, int argc, char** argv) {
  OptionParser options(command, argc, argv);
  const char* directory = nullptr;
  const char* argument;
  int c, status;
  while ((c = options.Next(&argument)) > 0)
    if (c == 'C' && (status = TakeDirectory(command, argument, &directory))) return status;
  if (c < 0) return options.exit_status();
  if (options.operand() < argc)
    return UsageError(&command, std::string("unexpected argument: ") + argv[options.operand()]);
  if (!directory) return UsageError(&command, "recover needs -C DIR");
  const std::string dir = DirectoryString(directory);
  char fault[512];
  WatchedOps ops;
  switch (RecoverDirectory(dir.c_str(), ops, fault, sizeof fault)) {
    case kRecoveryNone:
      printf("%s: no interrupted patch, nothing to do\n", directory);
      return 0;
    case kRecoveryFinished:
      printf("%s: finished the interrupted patch\n", directory);
      return 0;
    case kRecoveryUndone:
      printf("%s: undid the interrupted patch\n", directory);
      return 0;
    default:
      if (!ExplainStop(ops, dir, directory)) fprintf(stderr, "lzcx: %s\n", fault);
      return 1;
  }
}

// list, verify and extract: one PAYLOAD, a file or "-".
int ReadPayloadCommand(const CliCommand& command, int argc, char** argv) {
  OptionParser options(command, argc, argv);
  const char* directory = nullptr;
  bool json = false, verbose = false;
  const char* argument;
  int c, status;
  while ((c = options.Next(&argument)) > 0) {
    if (c == kOptionJson) json = true;
    if (c == 'v') verbose = true;
    if (c == 'C' && (status = TakeDirectory(command, argument, &directory))) return status;
  }
  if (c < 0) return options.exit_status();
  const int operands = argc - options.operand();
  if (operands == 0) return UsageError(&command, "no payload given");
  if (operands > 1) return UsageError(&command, "one payload at a time");
  const bool extract = !strcmp(command.name, "extract");
  if (extract && !directory) return UsageError(&command, "extract needs -C DIR");
  const char* path = argv[options.operand()];
  FileBytes payload;
  std::string why;
  if (!ReadPayloadInput(path, &payload, &why)) {
    fprintf(stderr, "lzcx: %s: %s\n", Shown(path), why.c_str());
    return 1;
  }
  if (extract) return Extract(path, payload, directory, verbose);
  if (json) return List(path, payload, true);
  return !strcmp(command.name, "list") ? List(path, payload, false) : Verify(path, payload);
}

int Run(int argc, char** argv) {
  if (argc < 2) return UsageError(nullptr, "no command given");
  const char* first = argv[1];
  if (!strcmp(first, "--help") || !strcmp(first, "-h")) {
    PrintHelp(stdout);
    return 0;
  }
  if (!strcmp(first, "--version") || !strcmp(first, "-V")) {
    printf("lzcx %s\n", kLzcxVersion);
    return 0;
  }
  if (!strcmp(first, "help")) {
    const CliCommand* about = argc == 3 ? FindCommand(argv[2]) : nullptr;
    if (argc == 2)
      PrintHelp(stdout);
    else if (about)
      PrintCommandHelp(*about, stdout);
    else
      return UsageError(nullptr, argc == 3 ? std::string("no such command: ") + argv[2]
                                           : std::string("help takes one command"));
    return 0;
  }
  const CliCommand* command = FindCommand(first);
  if (!command)
    return UsageError(nullptr, std::string(*first == '-' ? "unknown option: " : "unknown command: ") +
                                   first);
  // The command's own arguments, its name first.
  --argc;
  ++argv;
  if (!strcmp(first, "pack")) return PackCommand(argc, argv);
  if (!strcmp(first, "patcher")) return PatcherCommand(argc, argv);
  if (!strcmp(first, "recover")) return Recover(*command, argc, argv);
  return ReadPayloadCommand(*command, argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler(OutOfMemory);
  return Run(argc, argv);
}
