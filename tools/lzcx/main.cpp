// lzcx: makes, checks and applies payloads and patchers. The commands, their
// options and their handlers are in cli.cpp's table (`lzcx --help`); each
// command is in its own file.
//
// Exit status: 0 success, 1 bad input, a damaged payload, a failed apply
// or no memory (one line on stderr naming the file), 2 usage; extract has
// more (extract.h).
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include "lzcx/cli.h"
#include "lzcx/commands.h"

namespace {

int Run(int argc, char** argv) {
  NoteArguments(argc, argv);
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
      return UsageError(nullptr, argc == 3 ? std::string("unknown command: ") + argv[2]
                                           : std::string("help takes one command"));
    return 0;
  }
  const CliCommand* command = FindCommand(first);
  if (!command)
    return UsageError(nullptr, std::string(*first == '-' ? "unknown option: " : "unknown command: ") +
                                   first);
  // The command's own arguments, its name first.
  return command->run(*command, argc - 1, argv + 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler(OutOfMemory);
  return Run(argc, argv);
}
