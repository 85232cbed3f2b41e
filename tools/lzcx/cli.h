// lzcx's command line: one table of the commands, their handlers and their
// options, from which main dispatches, getopt_long parses them and the help
// texts are printed.
//
// Exit status of every command: 0 success, 1 bad input or a failure (one
// line on stderr naming the file), 2 a usage error; extract has more
// (extract.h).
#ifndef PATCHER_TOOLS_LZCX_CLI_H
#define PATCHER_TOOLS_LZCX_CLI_H

#include <getopt.h>
#include <stdio.h>

#include <string>
#include <vector>

// An option: `code` is its short letter, or above 255 for one that is only
// long. A null `argument` takes none.
enum LongOnlyOption { kOptionJson = 256, kOptionName, kOptionFast, kOptionForm, kOptionStub, kOptionFrom,
                      kOptionRemove };
// extract's long-only options.
enum ExtractOption { kOptionForce = 300, kOptionFind, kOptionFindIn, kOptionLog, kOptionCheck,
                     kOptionWait };
// extract's options of the search.
enum FindOption { kOptionFindTimeout = 320, kOptionFindNetwork, kOptionAll };

struct CliOption {
  int code;
  const char* long_name;
  const char* argument;
  const char* help;
};

struct CliCommand;
// A command's handler: argv[0] is the command's name. Returns the exit
// status.
typedef int (*CommandHandler)(const CliCommand& command, int argc, char** argv);

struct CliCommand {
  const char* name;
  CommandHandler run;
  const char* brief;     // one line for the list of commands
  const char* synopsis;  // after "lzcx "
  const char* summary;   // what it does, lines ending in '\n'
  const CliOption* options;  // ended by a code of 0; --help is added
  const char* succeeds;  // what exit status 0 means
  const char* fails;     // what exit status 1 means
};

extern const char kLzcxVersion[];

// The command named `name`, or null.
const CliCommand* FindCommand(const char* name);

void PrintHelp(FILE* to);
void PrintCommandHelp(const CliCommand& command, FILE* to);

// Remembers the command line, so that a usage error can point at an
// argument with a quote in it: on Windows a backslash before a closing
// quote ("C:\Tessaline\") keeps the quote, and what follows, in the
// argument.
void NoteArguments(int argc, char** argv);

// A usage error: the problem, the synopsis and where help is, on stderr.
// Returns 2.
int UsageError(const CliCommand* command, const std::string& problem);

// The options of `command` in argv[1..argc-1] (argv[0] is the command's
// name), in any order among the operands, as getopt_long permutes them;
// "--" ends them.
class OptionParser {
 public:
  OptionParser(const CliCommand& command, int argc, char** argv);
  // The next option's code, its argument (if it takes one) in *argument;
  // 0 when the options are done and the operands are argv[operand()..];
  // -1 when the command is to end with exit_status(): its help was shown
  // (0) or a usage error (2).
  int Next(const char** argument);
  int operand() const { return operand_; }
  int exit_status() const { return status_; }

 private:
  const CliCommand& command_;
  int argc_;
  char** argv_;
  std::string short_options_;
  std::vector<option> long_options_;
  int operand_ = 1;
  int status_ = 0;
};

#endif  // PATCHER_TOOLS_LZCX_CLI_H
