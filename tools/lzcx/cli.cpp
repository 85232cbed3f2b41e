#include "lzcx/cli.h"

#include <string.h>

#include "lzcx/extract.h"
#include "lzcx/inspect.h"
#include "lzcx/pack.h"
#include "lzcx/patcher.h"

const char kLzcxVersion[] = LZCX_VERSION;

namespace {

const CliOption kListOptions[] = {
    {kOptionJson, "json", nullptr, "the same as one JSON object, for scripts"},
    {0, nullptr, nullptr, nullptr},
};
const CliOption kNoOptions[] = {{0, nullptr, nullptr, nullptr}};
const CliOption kExtractOptions[] = {
    {'C', "directory", "DIR", "the installation to patch: the folder of its Vusk.exe"},
    {kOptionFind, "find", nullptr,
     "search every folder of the machine for installations\n"
     "(a Windows executable vusk.exe, or the journal of an\n"
     "interrupted patch of one), list each, and patch the\n"
     "one found. Windows: every drive letter but removable\n"
     "and network ones; elsewhere: every mounted file\n"
     "system but pseudo, removable and network ones. No\n"
     "link, junction or other mount is followed, and no\n"
     "folder whose name begins with a dot is entered"},
    {kOptionFindIn, "find-in", "DIR", "the same search below DIR only; repeatable"},
    {kOptionFindTimeout, "find-timeout", "SECONDS",
     "end a search that takes longer (600): nothing is\n"
     "patched then (status 9)"},
    {kOptionFindNetwork, "find-network", nullptr, "--find searches network drives too"},
    {kOptionAll, "all", nullptr, "patch every installation found, in turn; the status\n"
                                 "is the worst of theirs"},
    {kOptionForce, "force", nullptr, "patch DIR even without a Vusk.exe in it (a fresh\n"
                                     "copy)"},
    {kOptionCheck, "check", nullptr, "write nothing and take no lock: the same plan and\n"
                                     "lookups as a run, the status it would give, and\n"
                                     "one line saying why, naming the folder"},
    {kOptionWait, "wait", "SECONDS", "a busy folder (5) is tried again each second for\n"
                                     "up to SECONDS"},
    {kOptionLog, "log", "FILE", "append one line per run: key=value fields time,\n"
                                "patcher, version, dir, status, word, written,\n"
                                "unchanged, removed, recovered (and why)"},
    {'v', "verbose", nullptr, "each path written, one a line, on standard output,\n"
                              "and a log line per file"},
    {0, nullptr, nullptr, nullptr},
};
// extract's statuses after 2.
const char kExtractStatuses[] =
    "  3  not installed: no Vusk.exe in DIR, or none found; nothing written\n"
    "  4  already up to date, or a newer version installed (by the programs'\n"
    "     version resources; --force downgrades); nothing written\n"
    "  5  busy: a file in use, or another patch of DIR running; nothing\n"
    "     changed; try again later (--wait)\n"
    "  6  DIR needs recovery (undoing a failed patch failed too): the next\n"
    "     extract or recover restores it; with --check, an interrupted patch\n"
    "     is there, which a real run finishes first\n"
    "  7  not the version this delta patch upgrades: a file modified or\n"
    "     missing (the full patcher applies); nothing changed\n"
    "  8  cannot write here, retrying will not help: read-only, access denied,\n"
    "     immutable or not enough free space (the line says which)\n"
    "  9  --find found several installations (name one with -C, or --all),\n"
    "     or its search was cut short by --find-timeout: nothing changed\n"
    "Log words, by status: patched failed usage not-installed up-to-date busy\n"
    "needs-recovery not-this-version cannot-write several-installations.\n";
const CliOption kRecoverOptions[] = {
    {'C', "directory", "DIR", "the folder (required, once)"},
    {0, nullptr, nullptr, nullptr},
};

// pack's options; patcher's are the same and --stub.
const CliOption kPackOptions[] = {
    {kOptionStub, "stub", "STUB.exe", "the program with an empty payload, or any patcher"},
    {'o', "output", "FILE", "the file to write; - writes it to standard output\n(not a terminal)"},
    {'C', "directory", "DIR", "every file below DIR instead of FILE..., named by\n"
                              "its path there ('/' between names): vusk.exe\n"
                              "first, then in byte order of the paths"},
    {kOptionName, "name", "NAME=FILE", "name the entry of FILE (as given among the files)\nNAME; once per file"},
    {kOptionFast, "fast", nullptr, "a quick parse, for test builds: several times\nquicker, a few per cent larger"},
    {kOptionForm, "form", "FORM", "strong (the default): solid groups of large-window\n"
                                  "entries; block: 4 KB-window blocks, one per file"},
    {kOptionFrom, "from", "OLD_DIR", "the previous release: a file whose old version is\n"
                                     "there (same name, any case) becomes a delta entry\n"
                                     "when that is smaller; the patch then needs that\n"
                                     "very old file. With -C, by path below OLD_DIR,\n"
                                     "and each file of OLD_DIR that DIR lacks becomes\n"
                                     "a removal entry. Up to 8 times, for installations\n"
                                     "of several old releases (bases), each named by its\n"
                                     "folder's last name: a patch takes the one it finds\n"
                                     "installed as a whole"},
    {kOptionRemove, "remove", "PATH", "a removal entry for PATH, a file below OLD_DIR\n"
                                      "(needs --from); repeatable"},
    {'q', "quiet", nullptr, "no line per file on standard error"},
    {0, nullptr, nullptr, nullptr},
};
const CliOption* const kPatcherOptions = kPackOptions;

const char kReadFails[] =
    "PAYLOAD cannot be read, is damaged, or is neither a payload nor a patcher";
const char kPackFails[] =
    "a file is missing, unreadable, too large or badly named, the output cannot\n"
    "be written, or memory ran out; nothing was written";

const CliCommand kCommands[] = {
    {"list", ListCommand, "the files a payload or patcher carries", "list [--json] PAYLOAD",
     "Checks PAYLOAD (a payload or a patcher; - reads standard input) whole, then\n"
     "lists what it carries: a header line, one line per entry (name, form, size\n"
     "expanded, size packed, ratio), and whether the payload carries checksums.\n",
     kListOptions, "the payload is sound and was listed", kReadFails},
    {"verify", VerifyCommand, "every check the patcher makes, writing nothing", "verify PAYLOAD...",
     "Makes every check the patcher makes before it writes (bounds, names,\n"
     "checksums, a full decode of every entry) on each PAYLOAD (a payload or a\n"
     "patcher; - reads standard input), and writes nothing.\n",
     kNoOptions, "every check of every PAYLOAD passed (one line each says so)",
     "a PAYLOAD cannot be read or fails a check (a line says which entry)"},
    {"extract", ExtractCommand, "apply a payload or patcher to a folder, all or nothing",
     "extract [-v] [--check] [--force] [--wait SECONDS] [--log FILE]\n"
     "            (-C DIR | --find | --find-in DIR...)\n"
     "            [--find-timeout SECONDS] [--find-network] [--all] PAYLOAD",
     "Applies PAYLOAD to an installation as the patcher does: only to a folder\n"
     "with the Vusk.exe it replaces (unless --force), and nothing when every file\n"
     "already matches. First finishes or undoes a patch of the folder that was\n"
     "interrupted, then writes every file, all or nothing. The silent way to\n"
     "apply a patcher:\n"
     "  lzcx extract --find --log patch.log vusk-upgrade-1.25.exe\n",
     kExtractOptions, "patched: every file that differed was written (with --check: a run\n"
                      "would patch)",
     "PAYLOAD cannot be read or is damaged, or the patch failed: the folder is as\n"
     "it was (the line names the file and says why)"},
    {"recover", RecoverCommand, "finish or undo an interrupted patch of a folder", "recover -C DIR",
     "Only finishes or undoes a patch of DIR that a crash, a power cut or the\n"
     "process being ended interrupted, and says in one line what it did.\n",
     kRecoverOptions, "nothing to do, or the interrupted patch was finished or undone",
     "the recovery could not be made; the journal stays for the next try"},
    {"pack", PackCommand, "make a payload of release files",
     "pack [--fast] [-q] [--from OLD_DIR... [--remove PATH]...] -o PAYLOAD\n"
     "            ([--name NAME=FILE]... FILE... | -C DIR)",
     "Packs FILE... into a payload: one entry per file, in the order given, named\n"
     "by the file's name or by --name; or, with -C, every file below DIR, named by\n"
     "its path (links, devices and pipes are refused, empty folders skipped, each\n"
     "named on standard error), so that the same tree gives the same bytes. Every\n"
     "block is decoded again and compared with its file, and the payload is read\n"
     "back as the patcher reads it, before it takes the place of PAYLOAD. One line\n"
     "per file on standard error: name, size, packed size, ratio, and the form\n"
     "when it is not a block; \"removed\" for a removal.\n",
     kPackOptions + 1, "the payload was written", kPackFails},
    {"patcher", PatcherCommand, "make a patcher: the stub with a payload of release files",
     "patcher [--fast] [-q] [--from OLD_DIR... [--remove PATH]...] --stub STUB.exe\n"
     "            -o OUT.exe ([--name NAME=FILE]... FILE... | -C DIR)",
     "Makes a patcher: the stub with its payload replaced by what pack makes of\n"
     "FILE... (everything pack refuses, patcher refuses). The first file is the\n"
     "program and must be named vusk.exe: --name vusk.exe=FILE names it so; -C DIR\n"
     "must hold vusk.exe at its top. The\n"
     "same stub and files give the same bytes.\n",
     kPatcherOptions, "the patcher was written",
     "as for pack, or the stub is not a patcher; nothing was written"},
};

// Text whose lines after the first are indented by `indent` columns.
void PrintIndented(const char* text, int indent, FILE* to) {
  for (const char* p = text; *p; ++p) {
    fputc(*p, to);
    if (*p == '\n' && p[1]) fprintf(to, "%*s", indent, "");
  }
}

std::string OptionLabel(const CliOption& o) {
  std::string label = o.code < 256 ? std::string("-") + static_cast<char>(o.code) + ", " : "    ";
  label += std::string("--") + o.long_name;
  if (o.argument) label += std::string(" ") + o.argument;
  return label;
}

// How an option is written, for a usage error.
std::string OptionName(const CliCommand& command, int code) {
  for (const CliOption* o = command.options; o->code; ++o) {
    if (o->code == code)
      return o->code < 256 ? std::string("-") + static_cast<char>(code) + " (--" + o->long_name + ")"
                           : std::string("--") + o->long_name;
  }
  return code == 'h' ? "--help" : std::string("-") + static_cast<char>(code);
}

}  // namespace

const CliCommand* FindCommand(const char* name) {
  for (const CliCommand& c : kCommands)
    if (!strcmp(c.name, name)) return &c;
  return nullptr;
}

void PrintHelp(FILE* to) {
  fprintf(to,
          "lzcx %s: makes, checks and applies Tessaline upgrade payloads and patchers.\n\n"
          "usage: lzcx COMMAND [OPTION]... [ARGUMENT]...\n"
          "       lzcx help COMMAND    (or lzcx COMMAND --help)\n\n"
          "Commands:\n",
          kLzcxVersion);
  for (const CliCommand& c : kCommands) fprintf(to, "  %-9s %s\n", c.name, c.brief);
  fputs("\nPAYLOAD is a payload file or a patcher executable, whose payload resource is\n"
        "read; - reads standard input.\n\n"
        "  -h, --help     show this help and exit\n"
        "  -V, --version  show the version and exit\n\n"
        "Exit status:\n"
        "  0  success\n"
        "  1  bad input, a damaged payload, a failed patch or no memory: one line on\n"
        "     standard error names the file and says why\n"
        "  2  a usage error\n"
        "  3-9  extract only: not installed, up to date, busy, needs recovery,\n"
        "     not this version, cannot write, several installations\n"
        "     (lzcx help extract)\n",
        to);
}

void PrintCommandHelp(const CliCommand& command, FILE* to) {
  fprintf(to, "usage: lzcx %s\n\n%s\nOptions:\n", command.synopsis, command.summary);
  size_t width = strlen("-h, --help");
  for (const CliOption* o = command.options; o->code; ++o)
    if (OptionLabel(*o).size() > width) width = OptionLabel(*o).size();
  for (const CliOption* o = command.options; o->code; ++o) {
    fprintf(to, "  %-*s  ", static_cast<int>(width), OptionLabel(*o).c_str());
    PrintIndented(o->help, static_cast<int>(width) + 4, to);
    fputc('\n', to);
  }
  fprintf(to, "  %-*s  show this help and exit\n\nExit status:\n  0  ", static_cast<int>(width),
          "-h, --help");
  PrintIndented(command.succeeds, 5, to);
  fputs("\n  1  ", to);
  PrintIndented(command.fails, 5, to);
  fputs("\n  2  a usage error\n", to);
  if (!strcmp(command.name, "extract")) fputs(kExtractStatuses, to);
}

namespace {
const char* quoted_argument = nullptr;
}  // namespace

void NoteArguments(int argc, char** argv) {
  quoted_argument = nullptr;
  for (int i = 1; i < argc && !quoted_argument; ++i)
    if (strchr(argv[i], '"')) quoted_argument = argv[i];
}

int UsageError(const CliCommand* command, const std::string& problem) {
  fprintf(stderr, "lzcx: %s\n", problem.c_str());
  if (quoted_argument)
    fprintf(stderr,
            "lzcx: hint: the argument '%s' holds a quote: a backslash before a closing\n"
            "quote keeps it; end the folder without the backslash (\"C:\\Tessaline\")\n",
            quoted_argument);
  if (command)
    fprintf(stderr, "usage: lzcx %s\nTry 'lzcx help %s' for more.\n", command->synopsis,
            command->name);
  else
    fputs("usage: lzcx COMMAND [OPTION]... [ARGUMENT]...\nTry 'lzcx --help' for more.\n", stderr);
  return 2;
}

OptionParser::OptionParser(const CliCommand& command, int argc, char** argv)
    : command_(command), argc_(argc), argv_(argv), short_options_(":h") {
  for (const CliOption* o = command.options; o->code; ++o) {
    long_options_.push_back(
        option{o->long_name, o->argument ? required_argument : no_argument, nullptr, o->code});
    if (o->code < 256) {
      short_options_ += static_cast<char>(o->code);
      if (o->argument) short_options_ += ':';
    }
  }
  long_options_.push_back(option{"help", no_argument, nullptr, 'h'});
  long_options_.push_back(option{nullptr, 0, nullptr, 0});
  // Parsing starts afresh (a command may run more than once in a process),
  // and the errors are ours to word.
  optind = 0;
  opterr = 0;
}

int OptionParser::Next(const char** argument) {
  const int c = getopt_long(argc_, argv_, short_options_.c_str(), long_options_.data(), nullptr);
  if (c == -1) {
    operand_ = optind;
    return 0;
  }
  if (c == 'h') {
    PrintCommandHelp(command_, stdout);
    status_ = 0;
    return -1;
  }
  if (c == ':') {
    status_ = UsageError(&command_, OptionName(command_, optopt) + " needs an argument");
    return -1;
  }
  if (c == '?') {
    // An option of ours given an argument it does not take, or none of ours.
    bool known = false;
    for (const CliOption* o = command_.options; o->code && !known; ++o) known = o->code == optopt;
    status_ = UsageError(&command_, known || optopt == 'h'
                                        ? OptionName(command_, optopt) + " takes no argument"
                                    : optopt ? std::string("unknown option: -") +
                                                   static_cast<char>(optopt)
                                             : std::string("unknown option: ") + argv_[optind - 1]);
    return -1;
  }
  *argument = optarg;
  return c;
}
