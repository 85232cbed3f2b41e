// lzcx pack: release files in, one payload container out.
#ifndef PATCHER_TOOLS_LZCX_PACK_H
#define PATCHER_TOOLS_LZCX_PACK_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "lzcx/encoder.h"

// The block encoder the command uses. Tests hand in a faulty one to see
// the round-trip check refuse its blocks.
typedef int (*BlockEncoderFunction)(const uint8_t* data, size_t size, ParseKind parse,
                                    std::vector<uint8_t>* block, EncodeStats* stats,
                                    EncodeProgress* progress);

// argv[0] is "pack". Returns the exit status: 0 written, 1 bad input or a
// failure (one line on stderr, nothing written), 2 usage.
int PackCommand(int argc, char** argv, BlockEncoderFunction encode = EncodeBlock);

// Release files in, container out: what every command that packs shares.
struct PackRequest {
  bool fast = false;
  bool quiet = false;
  const char* output = nullptr;      // the file the caller will write
  std::vector<const char*> files;    // in payload order
  std::vector<std::string> renames;  // NAME=FILE, FILE as given in `files`
  // Further files the command reads, which the output must not overwrite.
  std::vector<const char*> also_read;
  // A further check of the first file, once read and before anything is
  // encoded: zero with the reason refuses it.
  int (*check_first)(const std::string& name, const std::vector<uint8_t>& bytes,
                     std::string* why) = nullptr;
  const char* usage = nullptr;  // the command's usage line
};

// Parses [--fast] [--quiet] [--name NAME=FILE]... -o OUT [--] FILE... after
// argv[0], and --stub STUB too when `stub` is given. 0, or 2 after printing
// the usage error.
int ParsePackArguments(int argc, char** argv, PackRequest* request, const char** stub);

// Every check of the inputs, names and output, then the files encoded and
// the container decoded again and compared with them. 0 with `container`
// filled; otherwise the exit status after one line on stderr: 1 for bad
// input, 2 for a bad --name.
int PackFiles(const PackRequest& request, BlockEncoderFunction encode,
              std::vector<uint8_t>* container);

// A refusal: "lzcx: <line>" on stderr; returns 1.
int Refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The usage line of the command, for lzcx's usage text.
extern const char kPackUsage[];

#endif  // PATCHER_TOOLS_LZCX_PACK_H
