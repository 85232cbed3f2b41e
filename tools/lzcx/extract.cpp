// lzcx extract: a payload applied only to an installation (a folder with a
// Vusk.exe in it, given by -C or found by the program's own scan), nothing
// written when it is already up to date, and an exit status per outcome
// that deployment tools can act on. lzcx recover: only the recovery.
#include "lzcx/extract.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "lzcx/commands.h"
#include "lzcx/find.h"
#include "lzcx/patcher.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "payload/entries.h"
#include "payload/journal.h"
#include "resources/resource_ids.h"

namespace {

// The platform's file operations, noting where the applier could not go
// on and what the failing call said, so that the error can say which file
// and why.
class WatchedOps : public FileOps {
 public:
  platform::Directory* Open(const char* path) override {
    platform::Directory* dir = FileOps::Open(path);
    open_failed = dir == nullptr;
    if (open_failed) failure = FileOps::LastFailure();
    folders_.erase(dir);  // the top: no path below it
    return dir;
  }
  platform::Directory* OpenFolder(platform::Directory* parent, const char* name,
                                  platform::FolderFacts* facts) override {
    return Named(FileOps::OpenFolder(parent, name, facts), parent, name);
  }
  platform::Directory* CreateFolder(platform::Directory* parent, const char* name) override {
    return Named(FileOps::CreateFolder(parent, name), parent, name);
  }
  void CloseDirectory(platform::Directory* dir) override {
    folders_.erase(dir);
    FileOps::CloseDirectory(dir);
  }
  // The last lookup decides: a folder's own lookup (a directory, which no
  // file may replace) is asked before the files in it, and the patch stops
  // at the lookup that refused.
  platform::TargetState Find(platform::Directory* dir, const char* name, char* found) override {
    found[0] = 0;
    const platform::TargetState state = FileOps::Find(dir, name, found);
    blocked.clear();
    // The file's path as it is on the disk (its own letter case).
    if (state == platform::kTargetBlocked) {
      auto folder = folders_.find(dir);
      blocked = (folder == folders_.end() ? std::string() : folder->second) + (found[0] ? found : name);
      failure = FileOps::LastFailure();
    }
    return state;
  }
  // The applier asks for the failure its fault text names.
  platform::Failure LastFailure() override { return failure = FileOps::LastFailure(); }
  bool open_failed = false;
  std::string blocked;  // the file that cannot be replaced, below the top
  platform::Failure failure = {platform::kFailureOther, 0};

 private:
  platform::Directory* Named(platform::Directory* dir, platform::Directory* parent,
                             const char* name) {
    if (dir) {
      auto above = folders_.find(parent);
      folders_[dir] = (above == folders_.end() ? std::string() : above->second) + name + platform::kPathSeparator;
    }
    return dir;
  }
  std::map<platform::Directory*, std::string> folders_;  // each open folder's path below the top
};

// When the patch of `dir` (DIRECTORY as given) stopped at the directory
// or at a file it could not replace, says which and why in one line, as
// the failing call told, and returns it.
std::string ExplainStop(const WatchedOps& ops, const std::string& dir, const char* directory) {
  char what[256];
  platform::DescribeFailure(ops.failure, ops.open_failed, what, sizeof what);
  std::string line;
  if (ops.open_failed)
    line = std::string(directory) + ": " + what;
  else if (!ops.blocked.empty())
    line = dir + ops.blocked + ": " + what + ": the patch cannot replace it";
  if (!line.empty()) fprintf(stderr, "lzcx: %s\n", line.c_str());
  return line;
}

// -C DIR: once, and not empty.
int TakeDirectory(const CliCommand& command, const char* argument, const char** directory) {
  if (*directory) return UsageError(&command, "-C given twice: one directory at a time");
  if (!*argument) return UsageError(&command, "-C needs a directory");
#ifdef _WIN32
  // No Windows path holds a quote: a backslash before the closing quote
  // kept it (the usage error's hint says so).
  if (strchr(argument, '"'))
    return UsageError(&command, std::string("-C ") + argument + ": no folder name holds a quote");
#endif
  *directory = argument;
  return 0;
}

// --log FILE: appended to, one time-stamped line per file written or
// refused and one for the outcome. Without a file, lines go nowhere.
class RunLog {
 public:
  ~RunLog() {
    if (file_) fclose(file_);
  }
  int Open(const char* path) {
    file_ = fopen(path, "a");
    return file_ != nullptr;
  }
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!file_) return;
    char stamp[32] = "";
    const time_t now = time(nullptr);
    if (const struct tm* utc = gmtime(&now)) strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", utc);
    fprintf(file_, "%s ", stamp);
    va_list args;
    va_start(args, format);
    vfprintf(file_, format, args);
    va_end(args);
    fputc('\n', file_);
    fflush(file_);
  }

 private:
  FILE* file_ = nullptr;
};

struct Request {
  const char* payload = nullptr;
  const char* directory = nullptr;  // -C
  bool find = false, force = false, verbose = false;
  FindRequest search;  // --find, --find-in, --find-timeout, --find-network
  bool all = false;    // --all: every installation found
  const char* log = nullptr;
};

// An entry's path as the system writes paths ('\\' between folders on
// Windows).
std::string SystemPath(const char* path) {
  std::string p = path;
  for (char& c : p)
    if (c == '/') c = platform::kPathSeparator;
  return p;
}

// Whether every entry to write matches the installed file at its path, by
// size and CRC-32C of the bytes read back against the CRC-32C the check
// of the payload found (no entry is decoded again), and every file to
// remove is gone (or is not the old release's, which a patch keeps). Never
// with a journal in the folder: the apply recovers that patch first.
bool UpToDate(FileOps& ops, platform::Directory* dir, const PatchEntries& entries) {
  if (ops.LookUp(dir, kJournalName) != platform::kAbsent) return false;
  for (int i = 0; i < entries.count(); ++i) {
    const PayloadEntry& e = entries[i];
    bool present;
    const int holds = e.removal ? PathHolds(ops, dir, e.name, e.old_size, e.old_crc, &present)
                                : PathHolds(ops, dir, e.name, e.expanded_length, e.new_crc,
                                            &present);
    if (holds != (e.removal ? 0 : 1)) return false;
  }
  return true;
}

// The exit status of an apply that ended with `status`, after a failing
// call that said `failure`: a file in use is worth a retry wherever the
// patch met it.
int StatusOf(ApplyStatus status, platform::Failure failure) {
  switch (status) {
    case kApplyPatched: return kExtractPatched;
    case kApplyInUse:
    case kApplyBusy: return kExtractInUse;
    case kApplyOldFileMismatch: return kExtractNotInstalled;
    case kApplyNeedsRecovery: return kExtractNeedsRecovery;
    default: return failure.kind == platform::kFailureInUse ? kExtractInUse : kExtractFailed;
  }
}

const char* StatusWord(int status) {
  static const char* const kWords[] = {
      "patched", "failed, nothing changed", "usage", "not installed",
      "already up to date, nothing written", "a file is in use, try again later",
      "the folder needs recovery"};
  return status >= 0 && status <= 6 ? kWords[status] : "?";
}

int Finish(RunLog& log, int status, const std::string& where) {
  log.Line("status %d: %s: %s", status, StatusWord(status), where.c_str());
  return status;
}

int ExtractInto(const Request& request, const PatchEntries& entries, const std::string& dir,
                const char* shown, RunLog& log);
int ExtractFound(const Request& request, const PatchEntries& entries, RunLog& log);

int Extract(const Request& request) {
  // The log first, so that a patcher that cannot be read is logged too.
  RunLog log;
  if (request.log && !log.Open(request.log)) {
    fprintf(stderr, "lzcx: %s: cannot open the log: %s\n", request.log, strerror(errno));
    return kExtractFailed;
  }
  FileBytes payload;
  std::string why;
  if (!ReadPayloadInput(request.payload, &payload, &why)) {
    fprintf(stderr, "lzcx: %s: %s\n", Shown(request.payload), why.c_str());
    log.Line("failed: %s: %s", Shown(request.payload), why.c_str());
    return Finish(log, kExtractFailed, Shown(request.payload));
  }
  // Every check before anything else: a damaged patcher is a failure on
  // every machine, installed or not.
  // The one plan of the run: read, checked and decoded once here, then
  // asked whether the folder is up to date, then applied.
  char fault[512];
  PatchEntries entries;
  if (!entries.Read(payload.data.get(), payload.size, nullptr, fault, sizeof fault) ||
      !CheckApplicable(entries, fault, sizeof fault) ||
      !entries.CheckDecodes(nullptr, fault, sizeof fault)) {
    const char* what = LooksLikePayload(payload.data.get(), payload.size)
                           ? fault
                           : "neither a payload nor a patcher";
    fprintf(stderr, "lzcx: %s: %s\n", Shown(request.payload), what);
    log.Line("failed: %s: %s", Shown(request.payload), what);
    return Finish(log, kExtractFailed, Shown(request.payload));
  }

  if (request.find) return ExtractFound(request, entries, log);
  return ExtractInto(request, entries, DirectoryString(request.directory), request.directory,
                     log);
}

// The patch of the folder `dir` (a directory string; `shown` as given).
int ExtractInto(const Request& request, const PatchEntries& entries, const std::string& dir,
                const char* shown, RunLog& log) {
  char fault[512];
  // Only into an installation: the program the payload replaces is there,
  // as the applier's lookup finds it.
  WatchedOps ops;
  platform::Directory* open = ops.Open(dir.c_str());
  if (!open) {
    if (ops.failure.kind == platform::kFailureNotFound && !request.force) {
      fprintf(stderr, "lzcx: %s: not installed: no such folder\n", shown);
      return Finish(log, kExtractNotInstalled, dir);
    }
    ExplainStop(ops, dir, shown);
    return Finish(log, kExtractFailed, dir);
  }
  // An interrupted patch is finished or undone first, whatever it left
  // (a program moved aside, the new files in place): the folder is judged
  // as it is then.
  ApplyStatus recovery = kApplyFailed;
  const RecoveryResult recovered =
      RecoverDirectory(dir.c_str(), ops, fault, sizeof fault, &recovery);
  if (recovered == kRecoveryFinished || recovered == kRecoveryUndone) {
    const char* how = recovered == kRecoveryFinished ? "finished" : "undone";
    fprintf(stderr, "lzcx: an interrupted patch of %s was %s\n", shown, how);
    log.Line("an interrupted patch of %s was %s", dir.c_str(), how);
    // Files of others it left at the patch's names.
    if (fault[0]) {
      fprintf(stderr, "lzcx: warning: %s\n", fault);
      log.Line("warning: %s", fault);
    }
  } else if (recovered != kRecoveryNone) {
    ops.CloseDirectory(open);
    if (ExplainStop(ops, dir, shown).empty()) fprintf(stderr, "lzcx: %s\n", fault);
    log.Line("failed: %s", fault);
    return Finish(log, StatusOf(recovery, ops.failure), dir);
  }
  if (!request.force) {
    const PayloadEntry* program = nullptr;
    for (int i = 0; i < entries.count(); ++i)
      if (platform::SameFileName(entries[i].name, PROGRAM_ENTRY)) program = &entries[i];
    char found[platform::kPathBuffer];
    if (!program || ops.Find(open, program->name, found) == platform::kTargetMissing) {
      ops.CloseDirectory(open);
      if (program)
        fprintf(stderr, "lzcx: %s: not installed: no %s there (--force patches any folder)\n",
                shown, program->name);
      else
        fprintf(stderr, "lzcx: %s: the payload carries no %s: only --force applies it\n",
                Shown(request.payload), PROGRAM_ENTRY);
      log.Line("refused %s: no %s there", dir.c_str(), PROGRAM_ENTRY);
      return Finish(log, kExtractNotInstalled, dir);
    }
  }
  const bool up_to_date = UpToDate(ops, open, entries);
  ops.CloseDirectory(open);
  ops.blocked.clear();
  if (up_to_date) {
    printf("%s: already up to date, nothing written\n", shown);
    return Finish(log, kExtractUpToDate, dir);
  }

  ApplyStatus applied = kApplyFailed;
  ops.failure = platform::Failure{platform::kFailureOther, 0};
  if (!ApplyEntries(entries, dir.c_str(), ops, fault, sizeof fault, &applied)) {
    int status = StatusOf(applied, ops.failure);
    if (status == kExtractPatched) status = kExtractFailed;
    std::string line = ExplainStop(ops, dir, shown);
    if (line.empty()) {
      line = fault;
      fprintf(stderr, "lzcx: %s\n", fault);
    }
    log.Line("%s %s", ops.blocked.empty() ? "failed:" : "refused", line.c_str());
    return Finish(log, status, dir);
  }
  if (fault[0]) {
    fprintf(stderr, "lzcx: warning: %s\n", fault);
    log.Line("warning: %s", fault);
  }
  // Each path as it is now on the disk: an existing file keeps its spelling.
  platform::Directory* done = ops.Open(dir.c_str());
  for (int i = 0; i < entries.count(); ++i) {
    const PayloadEntry& e = entries[i];
    const std::string path = dir + SystemPath(e.name);
    // A removal wrote nothing: the log says what went (a file that is not
    // the old release's stays, as the warning said), -v lists writes only.
    if (e.removal) {
      bool present = false;
      if (done) PathHolds(ops, done, e.name, e.old_size, e.old_crc, &present);
      log.Line("%s %s", present ? "kept" : "removed", path.c_str());
      continue;
    }
    // At the top an existing file keeps its own spelling.
    // (A lookup that failed or found a link leaves `found` as it was.)
    char found[platform::kPathBuffer] = "";
    const bool top = !strchr(e.name, '/');
    const platform::TargetState state =
        top && done ? ops.Find(done, e.name, found) : platform::kTargetMissing;
    const bool spelt = (state == platform::kTargetReplaceable || state == platform::kTargetBlocked);
    const std::string written = spelt && found[0] ? dir + found : path;
    if (request.verbose) printf("%s\n", written.c_str());
    log.Line("written %s", written.c_str());
  }
  if (done) ops.CloseDirectory(done);
  return Finish(log, kExtractPatched, dir);
}

// How bad each status is, for --all: the worst of the runs is its status.
int Severity(int status) {
  static const int kBestFirst[] = {kExtractPatched,       kExtractUpToDate,   kExtractNotInstalled,
                                   kExtractNotThisVersion, kExtractInUse,      kExtractCannotWrite,
                                   kExtractFailed,         kExtractNeedsRecovery};
  for (int i = 0; i < static_cast<int>(sizeof kBestFirst / sizeof *kBestFirst); ++i)
    if (kBestFirst[i] == status) return i;
  return static_cast<int>(sizeof kBestFirst / sizeof *kBestFirst);
}

// --find and --find-in: every installation is listed before any is
// touched, and only one found, or --all, is patched. Several, or a search
// cut short, change nothing anywhere (not even a recovery).
int ExtractFound(const Request& request, const PatchEntries& entries, RunLog& log) {
  std::vector<FoundFolder> found, counted;
  const bool complete = FindInstallations(request.search, &found) != 0;
  int other_version = 0;
  for (const FoundFolder& folder : found) {
    if (JudgeFolder(entries, folder) == kStandsNeither) {
      ++other_version;
      fprintf(stderr, "lzcx: %s: not counted: a file this delta patch upgrades is modified or "
              "missing\n", folder.dir.c_str());
      log.Line("not counted %s: not the version this delta patch upgrades", folder.dir.c_str());
      continue;
    }
    counted.push_back(folder);
    // A tab before the mark, so that scripts can cut the folder out.
    printf("%s%s\n", folder.dir.c_str(), folder.interrupted ? "\t(an interrupted patch)" : "");
    log.Line("found %s%s", folder.dir.c_str(), folder.interrupted ? " (an interrupted patch)" : "");
  }
  fflush(stdout);
  if (!complete) {
    fprintf(stderr, "lzcx: the search was cut short after %u s (--find-timeout): %zu "
            "installation(s) found until then, nothing patched\n",
            request.search.timeout_seconds, counted.size());
    log.Line("status %d: the search was cut short, nothing patched", kExtractSeveral);
    return kExtractSeveral;
  }
  if (counted.empty() && other_version) {
    fprintf(stderr, "lzcx: not the version this delta patch upgrades: the full patcher applies\n");
    log.Line("status %d: not the version this delta patch upgrades", kExtractNotThisVersion);
    return kExtractNotThisVersion;
  }
  if (counted.empty()) {
    fprintf(stderr, "lzcx: not installed: no %s found%s\n", PROGRAM_FILE,
            request.search.find_in.empty() ? " on any drive" : " below the --find-in folders");
    return Finish(log, kExtractNotInstalled, "no installation found");
  }
  if (counted.size() > 1 && !request.all) {
    fprintf(stderr, "lzcx: several installations: name one with -C, or --all\n");
    log.Line("status %d: several installations, nothing patched", kExtractSeveral);
    return kExtractSeveral;
  }
  int worst = kExtractPatched;
  for (const FoundFolder& folder : counted) {
    const int status = ExtractInto(request, entries, folder.dir, folder.dir.c_str(), log);
    if (Severity(status) > Severity(worst)) worst = status;
  }
  return worst;
}

// --find-timeout SECONDS: a whole number, at most a week.
bool TakeSeconds(const char* argument, unsigned* seconds) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = strtoul(argument, &end, 10);
  if (!*argument || *end || errno || argument[0] == '-' || value > 7 * 24 * 3600) return false;
  *seconds = static_cast<unsigned>(value);
  return true;
}

}  // namespace

int ExtractCommand(const CliCommand& command, int argc, char** argv) {
  OptionParser options(command, argc, argv);
  Request request;
  bool find = false;
  const char* argument;
  int c, status;
  while ((c = options.Next(&argument)) > 0) {
    if (c == 'v') request.verbose = true;
    if (c == 'C' && (status = TakeDirectory(command, argument, &request.directory))) return status;
    if (c == kOptionForce) request.force = true;
    if (c == kOptionFind) {
      if (find) return UsageError(&command, "--find given twice");
      find = true;
    }
    if (c == kOptionFindIn) {
      if (!*argument) return UsageError(&command, "--find-in needs a folder");
      request.search.find_in.push_back(argument);
    }
    if (c == kOptionFindTimeout && !TakeSeconds(argument, &request.search.timeout_seconds))
      return UsageError(&command, std::string("--find-timeout ") + argument +
                                      ": a whole number of seconds");
    if (c == kOptionFindNetwork) request.search.network = true;
    if (c == kOptionAll) request.all = true;
    if (c == kOptionLog) {
      if (request.log) return UsageError(&command, "--log given twice: one log at a time");
      request.log = argument;
    }
  }
  if (c < 0) return options.exit_status();
  const int operands = argc - options.operand();
  if (operands == 0) return UsageError(&command, "no payload given");
  if (operands > 1) return UsageError(&command, "one payload at a time");
  // -C, --find and --find-in: the folder given, or found on the drives or
  // below given folders; one of them.
  const bool find_in = !request.search.find_in.empty();
  if ((request.directory != nullptr) + find + find_in > 1)
    return UsageError(&command, "-C, --find and --find-in are alternatives: give one");
  request.find = find || find_in;
  if (!request.find && !request.directory)
    return UsageError(&command, "extract needs -C DIR, --find or --find-in DIR");
  if (request.all && !request.find)
    return UsageError(&command, "--all patches what --find or --find-in finds");
  // A folder that is not there is a mistake in the command, not a machine
  // without the program.
  for (const char* folder : request.search.find_in) {
    std::string why;
    if (!CheckSearchFolder(folder, &why)) return UsageError(&command, "--find-in " + why);
  }
  request.search.progress = IsTerminal(stderr);
  request.payload = argv[options.operand()];
  return Extract(request);
}

int RecoverCommand(const CliCommand& command, int argc, char** argv) {
  OptionParser options(command, argc, argv);
  const char* directory = nullptr;
  const char* argument;
  int c, status;
  while ((c = options.Next(&argument)) > 0)
    if (c == 'C' && (status = TakeDirectory(command, argument, &directory))) return status;
  if (c < 0) return options.exit_status();
  if (options.operand() < argc)
    return UsageError(&command, std::string("unexpected argument: ") + argv[options.operand()]);
  if (!directory) return UsageError(&command, "recover needs -C DIR");
  const std::string dir = DirectoryString(directory);
  char fault[512];
  WatchedOps ops;
  switch (RecoverDirectory(dir.c_str(), ops, fault, sizeof fault)) {
    case kRecoveryNone:
      printf("%s: no interrupted patch, nothing to do\n", directory);
      return 0;
    case kRecoveryFinished:
      printf("%s: finished the interrupted patch\n", directory);
      if (fault[0]) fprintf(stderr, "lzcx: warning: %s\n", fault);
      return 0;
    case kRecoveryUndone:
      printf("%s: undid the interrupted patch\n", directory);
      return 0;
    case kRecoveryBusy:
      fprintf(stderr, "lzcx: %s\n", fault);
      return kExtractInUse;
    default:
      if (ExplainStop(ops, dir, directory).empty()) fprintf(stderr, "lzcx: %s\n", fault);
      return 1;
  }
}
