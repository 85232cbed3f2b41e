// lzcx list and verify: the commands that only read payloads and patchers.
#ifndef PATCHER_TOOLS_LZCX_INSPECT_H
#define PATCHER_TOOLS_LZCX_INSPECT_H

#include "lzcx/cli.h"

// argv[0] is the command's name. Return the exit status: 0 read and
// sound, 1 a PAYLOAD unreadable or damaged (one line on stderr each), 2
// usage.
int ListCommand(const CliCommand& command, int argc, char** argv);
int VerifyCommand(const CliCommand& command, int argc, char** argv);

#endif  // PATCHER_TOOLS_LZCX_INSPECT_H
