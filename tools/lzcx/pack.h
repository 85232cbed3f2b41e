// lzcx pack: release files in, one payload container out.
#ifndef PATCHER_TOOLS_LZCX_PACK_H
#define PATCHER_TOOLS_LZCX_PACK_H

#include <stddef.h>
#include <stdint.h>

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

// The usage line of the command, for lzcx's usage text.
extern const char kPackUsage[];

#endif  // PATCHER_TOOLS_LZCX_PACK_H
