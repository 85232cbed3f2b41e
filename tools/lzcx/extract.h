// lzcx extract and recover: the commands that write into an installation.
#ifndef PATCHER_TOOLS_LZCX_EXTRACT_H
#define PATCHER_TOOLS_LZCX_EXTRACT_H

#include "lzcx/cli.h"

// Exit statuses of extract, the same on every system and from one
// version to the next; deployment tools act on them (the README maps them
// to success, retry, not applicable and failure).
enum ExtractStatus {
  kExtractPatched = 0,
  kExtractFailed = 1,         // nothing changed
  kExtractUsage = 2,
  kExtractNotInstalled = 3,   // no Vusk.exe where the patch would go
  kExtractUpToDate = 4,       // every file already as the payload has it,
                              // or a newer version installed
  kExtractInUse = 5,          // busy: a file in use, another patch running;
                              // try again later
  kExtractNeedsRecovery = 6,  // a double fault: the next run restores it
  kExtractNotThisVersion = 7, // a delta's old file modified or missing
  kExtractCannotWrite = 8,    // read-only, denied, immutable, disk full:
                              // retrying will not help
  kExtractSeveral = 9,        // several installations found, or a search
                              // cut short
};

// argv[0] is the command's name. Return the exit status.
int ExtractCommand(const CliCommand& command, int argc, char** argv);
int RecoverCommand(const CliCommand& command, int argc, char** argv);

#endif  // PATCHER_TOOLS_LZCX_EXTRACT_H
