// lzcx pack: release files in, one payload container out.
#ifndef PATCHER_TOOLS_LZCX_PACK_H
#define PATCHER_TOOLS_LZCX_PACK_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "lzcx/cli.h"
#include "lzcx/commands.h"
#include "lzcx/encoder.h"

// One file to pack, and the name of its entry; or, with `removal`, the
// entry that removes the old file `name` (`path`, of old_size bytes and
// CRC-32C old_crc) from the installation.
struct PackFile {
  PackFile() {}
  PackFile(const std::string& path_, const std::string& name_,
           const std::string& old_path_ = std::string())
      : path(path_), name(name_), old_path(old_path_) {}
  std::string path;
  std::string name;
  // Its old version, for a delta: found beforehand (pack -C), or empty to
  // look for PackOptions::from + name.
  std::string old_path;
  // Its old versions in the further old releases (bases 1 on), found
  // beforehand as old_path is: empty where a base has none.
  std::vector<std::string> more_old;
  bool removal = false;
  uint64_t old_size = 0;
  uint32_t old_crc = 0;
  uint8_t bases = 0;  // a removal's: the bases whose file it is (0: every one)
};

// Where the container's bytes go as they are made.
class PayloadSink {
 public:
  virtual ~PayloadSink() {}
  // Zero with the reason in `why` when the bytes could not be taken.
  virtual int Write(const void* data, size_t size, std::string* why) = 0;
};

// The container in memory.
class VectorSink : public PayloadSink {
 public:
  int Write(const void* data, size_t size, std::string*) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
    return 1;
  }
  std::vector<uint8_t> bytes;
};

// The forms pack writes: strong entries in solid groups, a delta where it
// is smaller, a block for a file too large to read whole (the default);
// or blocks and deltas only.
enum PackForm { kPackStrong, kPackBlock };

struct PackOptions {
  ParseKind parse = kParseOptimal;  // and the strong encoder's level: 9, or 1 when lazy
  PackForm form = kPackStrong;
  bool report = true;    // one line per file on stderr
  bool progress = false; // and a progress line for slow files
  // The block encoder: null for StreamEncoder (tests hand in faulty ones).
  BlockCoder* coder = nullptr;
  // A large file's parse goes to a scratch file in the folder of this
  // path, or in the system's temporary folder when it is null.
  const char* scratch_near = nullptr;
  // The previous release's folder (--from): an entry whose old file is
  // there becomes a delta entry when that is smaller than its block.
  const char* from = nullptr;
  // Further old releases (--from again), bases 1 on, as `from` is; and,
  // with several bases, every base's name, base 0 first: each delta entry
  // then names the bases it is for (docs/delta.md, "Several bases").
  std::vector<const char*> more_from;
  std::vector<std::string> base_names;
  // Entry names are paths below a folder (pack -C): the path rule judges
  // them, and no folder of one may be another's file or folder but for
  // letter case.
  bool paths = false;
};

// Packs `files`, in order (removals last), into a container with its checksum trailer,
// written to `sink` as it is made. Each file is read in pieces, encoded,
// and written out as its block is decoded again and compared with it, so
// memory stays bounded whatever the files' sizes (a delta holds its old
// and new file and the old file's index). The names must
// have passed CheckEntryName for packing and be distinct. Zero with the
// reason (one line) in `why`: a file that cannot be read or is too large,
// no memory, a block that does not decode back (a bug), or the sink.
int PackPayload(const std::vector<PackFile>& files, const PackOptions& options,
                PayloadSink* sink, std::string* why);

// argv[0] is "pack". Returns the exit status: 0 written, 1 bad input or a
// failure (one line on stderr, nothing written), 2 usage. An output of "-"
// is standard output (not a terminal), written as it is packed: a failure
// midway leaves there a payload cut short, which every reader refuses.
int PackCommand(const CliCommand& command, int argc, char** argv, BlockCoder* coder);
inline int PackCommand(const CliCommand& command, int argc, char** argv) {
  return PackCommand(command, argc, argv, nullptr);
}

// The line pack and patcher end with: what was written, and the most
// memory the packing took ("payload.bin: a payload of N bytes; peak memory
// M MB").
std::string PackSummary(const char* output, uint64_t size);

// Release files in, container out: what every command that packs shares.
struct PackRequest {
  bool fast = false;
  PackForm form = kPackStrong;       // --form
  bool quiet = false;
  const char* output = nullptr;      // the file the caller will write; "-": stdout
  const char* from = nullptr;        // --from OLD_DIR
  std::vector<const char*> more_from;  // --from again: bases 1 on (at most kMaxBases in all)
  const char* tree = nullptr;        // -C DIR: every file below it, not `files`
  std::vector<const char*> removals; // --remove PATH: paths below `from`
  // A tree must hold the program at its top (patcher -C).
  bool needs_program = false;
  std::vector<const char*> files;    // in payload order
  std::vector<std::string> renames;  // NAME=FILE, FILE as given in `files`
  // Further files the command reads, which the output must not overwrite.
  std::vector<const char*> also_read;
  // A further check of the first file, before anything is encoded: zero
  // with the reason refuses it.
  int (*check_first)(const std::string& name, const FileBytes& bytes, std::string* why) = nullptr;
  const CliCommand* command = nullptr;  // for usage errors
};

// Parses the options of request->command (pack's, or patcher's with
// --stub into *stub) and the files after argv[0]. -1 when the command goes
// on; otherwise the exit status to end with: 0 after --help, 2 after a
// usage error.
int ParsePackArguments(int argc, char** argv, PackRequest* request, const char** stub);

// Every check of the inputs, names and output, then the files packed into
// `temp` (a temporary file beside the output, or in the temporary folder
// for standard output, never committed: gone with `temp`), mapped by `map`
// and read back as the program reads it. 0 with `map` holding the
// payload; otherwise the exit status after one line on stderr: 1 for bad
// input, 2 for a bad --name.
int PackFiles(const PackRequest& request, BlockCoder* coder, TempFile* temp, MappedFile* map);

// A refusal: "lzcx: <line>" on stderr; returns 1.
int Refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // PATCHER_TOOLS_LZCX_PACK_H
