// lzcx: the patch author's tool for payload containers.
//
//   lzcx list PAYLOAD             one line per entry
//   lzcx verify PAYLOAD           every check the patcher makes, nothing written
//   lzcx extract PAYLOAD -C DIR   apply the payload to DIR, all or nothing
//   lzcx recover -C DIR           finish or undo an interrupted patch of DIR
//   lzcx pack -o PAYLOAD FILE...  make a payload of the files (see pack.h)
//   lzcx patcher --stub STUB.exe -o OUT.exe FILE...
//                                 make a patcher of the files (see patcher.h)
// A PAYLOAD may also be a patcher executable: its payload resource is read.
//
// Exit status: 0 success, 1 corrupt payload, failed apply or (pack) bad
// input, 2 usage.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "lzcx/commands.h"
#include "lzcx/pack.h"
#include "lzcx/patcher.h"
#include "payload/applier.h"
#include "payload/container.h"

namespace {

const char kUsage[] =
    "usage: lzcx list PAYLOAD\n"
    "       lzcx verify PAYLOAD\n"
    "       lzcx extract PAYLOAD -C DIR\n"
    "       lzcx recover -C DIR\n";

void PrintUsage(FILE* to) {
  fputs(kUsage, to);
  fprintf(to, "       %s\n", kPackUsage);
  fprintf(to, "       %s\n", kPatcherUsage);
}

int Usage(const char* problem) {
  if (problem) fprintf(stderr, "lzcx: %s\n", problem);
  PrintUsage(stderr);
  return 2;
}

double Ratio(uint64_t packed, uint64_t expanded) {
  return expanded ? static_cast<double>(packed) / static_cast<double>(expanded) : 1.0;
}

// A payload refused: one line naming the file and what is wrong, or that
// it is no payload at all.
int Refuse(const char* path, const FileBytes& payload, const char* fault) {
  if (!LooksLikePayload(payload.data.get(), payload.size))
    fprintf(stderr, "lzcx: %s: neither a payload nor a patcher\n", path);
  else
    fprintf(stderr, "lzcx: %s: %s\n", path, fault);
  return 1;
}

const char* ChecksumsLine(const PayloadIntegrity& integrity) {
  return integrity.checksums ? "every entry matches its CRC-32C"
                             : "no checksums (nothing follows the last entry)";
}

int List(const char* path, const FileBytes& payload) {
  char fault[512];
  PayloadIntegrity integrity;
  if (!CheckPayloadIntegrity(payload.data.get(), payload.size, &integrity, fault, sizeof fault))
    return Refuse(path, payload, fault);
  PayloadReader reader(payload.data.get(), integrity.entries_end);
  reader.Start();
  PayloadEntry e;
  while (reader.Next(&e)) {
    printf("%-29s  %-10s  %10u  %10u  %6.3f\n", e.name,
           e.compressed ? "compressed" : "stored", e.size, e.expanded_length,
           Ratio(e.size, e.expanded_length));
  }
  printf("%s\n", ChecksumsLine(integrity));
  return 0;
}

int Verify(const char* path, const FileBytes& payload) {
  char fault[512];
  uint64_t total = 0;
  PayloadIntegrity integrity;
  if (!VerifyPayload(payload.data.get(), payload.size, "", fault, sizeof fault, &total) ||
      !CheckPayloadIntegrity(payload.data.get(), payload.size, &integrity, fault, sizeof fault))
    return Refuse(path, payload, fault);
  printf("%s: ok, %d entries, %llu bytes expanded from %zu, %s\n", path, integrity.count,
         static_cast<unsigned long long>(total), payload.size, ChecksumsLine(integrity));
  return 0;
}

// DIR as the applier takes it: a directory string.
std::string DirectoryString(const char* directory) {
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

// Recovers an interrupted patch first, as the patcher does.
int Extract(const char* path, const FileBytes& payload, const char* directory) {
  const std::string dir = DirectoryString(directory);
  char fault[512];
  FileOps ops;
  if (!ApplyPayload(payload.data.get(), payload.size, dir.c_str(), ops, fault, sizeof fault))
    return Refuse(path, payload, fault);
  if (fault[0]) fprintf(stderr, "lzcx: warning: %s\n", fault);
  return 0;
}

// lzcx recover -C DIR: only the recovery, with one line on what it did.
int Recover(int argc, char** argv) {
  if (argc != 4 || strcmp(argv[2], "-C") != 0) return Usage("recover needs -C DIR alone");
  const std::string dir = DirectoryString(argv[3]);
  char fault[512];
  FileOps ops;
  switch (RecoverDirectory(dir.c_str(), ops, fault, sizeof fault)) {
    case kRecoveryNone:
      printf("%s: no interrupted patch, nothing to do\n", argv[3]);
      return 0;
    case kRecoveryFinished:
      printf("%s: finished the interrupted patch\n", argv[3]);
      return 0;
    case kRecoveryUndone:
      printf("%s: undid the interrupted patch\n", argv[3]);
      return 0;
    default:
      fprintf(stderr, "lzcx: %s\n", fault);
      return 1;
  }
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr);
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (command == "pack") return PackCommand(argc - 1, argv + 1);
  if (command == "patcher") return PatcherCommand(argc - 1, argv + 1);
  if (command == "recover") return Recover(argc, argv);
  const bool extract = command == "extract";
  if (command != "list" && command != "verify" && !extract)
    return Usage(("unknown command: " + command).c_str());
  const char* payload_path = nullptr;
  const char* directory = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (extract && !strcmp(argv[i], "-C")) {
      if (++i == argc) return Usage("-C needs a directory");
      directory = argv[i];
    } else if (argv[i][0] == '-' && argv[i][1]) {
      return Usage((std::string("unknown option: ") + argv[i]).c_str());
    } else if (!payload_path) {
      payload_path = argv[i];
    } else {
      return Usage("one payload at a time");
    }
  }
  if (!payload_path) return Usage("no payload given");
  if (extract && !directory) return Usage("extract needs -C DIR");
  FileBytes payload;
  std::string why;
  if (!ReadPayloadInput(payload_path, &payload, &why)) {
    fprintf(stderr, "lzcx: %s: %s\n", payload_path, why.c_str());
    return 1;
  }
  if (command == "list") return List(payload_path, payload);
  if (command == "verify") return Verify(payload_path, payload);
  return Extract(payload_path, payload, directory);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler(OutOfMemory);
  return Run(argc, argv);
}
