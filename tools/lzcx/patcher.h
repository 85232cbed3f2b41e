// lzcx and patcher executables: the patcher command, which joins a stub
// (any patcher) and release files into a new patcher, and the reading of a
// patcher's payload for list, verify and extract.
#ifndef PATCHER_TOOLS_LZCX_PATCHER_H
#define PATCHER_TOOLS_LZCX_PATCHER_H

#include <stdint.h>

#include <string>

#include "lzcx/cli.h"
#include "lzcx/commands.h"

// argv[0] is "patcher". Returns the exit status: 0 written, 1 bad input or
// a failure (one line on stderr, nothing written), 2 usage. An output of
// "-" is standard output (not a terminal).
int PatcherCommand(const CliCommand& command, int argc, char** argv);

// The payload in the file `path` ("-": standard input): the file itself
// (mapped; standard input read whole), or, for a Windows executable, its
// payload resource where it lies in the file, once the checksum
// over the whole executable matches (`*signature`, if given, then says
// whether it carries a signature, and `*readable` the forms its program
// reads; every form for a payload file). Zero with the reason in `why`.
int ReadPayloadInput(const char* path, InputBytes* payload, std::string* why,
                     bool* signature = nullptr, uint32_t* readable = nullptr);

// Whether every entry of the sound payload `data` has one of the forms
// `readable` (FormBit bits). Zero, when not, with the reason in `why`,
// naming the form, an entry of it and `reader`, which cannot read it.
int CheckFormsReadable(const uint8_t* data, size_t size, uint32_t readable, const char* reader,
                       std::string* why);

// A PAYLOAD argument as messages name it: "(stdin)" for "-".
const char* Shown(const char* path);

#endif  // PATCHER_TOOLS_LZCX_PATCHER_H
