// Pieces of lzcx shared between its commands.
#ifndef PATCHER_TOOLS_LZCX_COMMANDS_H
#define PATCHER_TOOLS_LZCX_COMMANDS_H

#include <stdint.h>

#include <string>
#include <vector>

// Reads a whole file; zero with the reason in `why` when it cannot.
int ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, std::string* why);

#endif  // PATCHER_TOOLS_LZCX_COMMANDS_H
