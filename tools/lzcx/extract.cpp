// lzcx extract: a payload applied only to an installation (a folder with a
// Vusk.exe in it, given by -C or found by the program's own scan), nothing
// written when it is already up to date, and an exit status per outcome
// that deployment tools can act on. lzcx recover: only the recovery.
#include "lzcx/extract.h"

#include <errno.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "lzcx/commands.h"
#include "lzcx/find.h"
#include "lzcx/progress_line.h"
#include "lzcx/pe_image.h"
#include "lzcx/patcher.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "payload/crc32c.h"
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
  // The file being written, on the progress line (if there is one).
  uint32_t Write(platform::File* file, const void* data, uint32_t size) override {
    if (line && progress.writing) line->Show("writing: ", progress.writing);
    return FileOps::Write(file, data, size);
  }
  PatchProgress progress = {nullptr};
  ProgressLine* line = nullptr;
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
// or at a file it could not replace, which and why in one line, as the
// failing call told; empty otherwise.
std::string ExplainStop(const WatchedOps& ops, const std::string& dir, const char* directory) {
  char what[256];
  platform::DescribeFailure(ops.failure, ops.open_failed, what, sizeof what);
  std::string line;
  if (ops.open_failed)
    line = std::string(directory) + ": " + what;
  else if (!ops.blocked.empty())
    line = dir + ops.blocked + ": " + what + ": the patch cannot replace it";
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

// A log value: bare, or in double quotes with '"' and '\\' escaped where
// it holds a space or a quote (or is empty), so that a line splits into
// its fields unambiguously.
std::string LogValue(const std::string& value) {
  if (!value.empty() && value.find_first_of(" \t\"") == std::string::npos) return value;
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// --log FILE: appended to, one line of key=value fields per run (and with
// -v one per file), each beginning with the time (UTC). Without a file,
// lines go nowhere.
class RunLog {
 public:
  ~RunLog() {
    if (file_) fclose(file_);
  }
  int Open(const char* path) {
    file_ = fopen(path, "a");
    return file_ != nullptr;
  }
  // `fields`: pairs of key and value.
  void Line(const std::vector<std::pair<const char*, std::string>>& fields) {
    if (!file_) return;
    char stamp[32] = "";
    const time_t now = time(nullptr);
    if (const struct tm* utc = gmtime(&now)) strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", utc);
    std::string line = std::string("time=") + stamp;
    for (const auto& field : fields)
      line += std::string(" ") + field.first + "=" + LogValue(field.second);
    fprintf(file_, "%s\n", line.c_str());
    fflush(file_);
  }

 private:
  FILE* file_ = nullptr;
};

struct Request {
  const char* payload = nullptr;
  const char* directory = nullptr;  // -C
  bool find = false, force = false, verbose = false, check = false;
  FindRequest search;  // --find, --find-in, --find-timeout, --find-network
  bool all = false;    // --all: every installation found
  const char* log = nullptr;
  long wait = 0;  // --wait: seconds to try a busy installation again
};

// Whether the folder already holds the release (HoldsRelease). Never with
// a journal in the folder: the apply recovers that patch first.
bool UpToDate(FileOps& ops, platform::Directory* dir, const PatchEntries& entries) {
  return ops.LookUp(dir, kJournalName) == platform::kAbsent && HoldsRelease(ops, dir, entries);
}

// The exit status of an apply that ended with `status`, after a failing
// call that said `failure`: by the failure's kind, since a file in use is
// worth a retry and a read-only one never is.
int StatusOf(ApplyStatus status, platform::Failure failure) {
  switch (status) {
    case kApplyPatched: return kExtractPatched;
    case kApplyBusy: return kExtractInUse;
    case kApplyOldFileMismatch: return kExtractNotThisVersion;
    case kApplyNeedsRecovery: return kExtractNeedsRecovery;
    default: break;
  }
  switch (failure.kind) {
    case platform::kFailureInUse: return kExtractInUse;
    case platform::kFailureDenied:
    case platform::kFailureForeignLock:  // stays until someone moves it
    case platform::kFailureNoSpace: return kExtractCannotWrite;
    default: return status == kApplyInUse ? kExtractCannotWrite : kExtractFailed;
  }
}

// One word per status, for the log and scripts; the same from here on.
const char* StatusWord(int status) {
  static const char* const kWords[] = {
      "patched", "failed", "usage", "not-installed", "up-to-date", "busy",
      "needs-recovery", "not-this-version", "cannot-write", "several-installations"};
  return status >= 0 && status <= kExtractSeveral ? kWords[status] : "?";
}

// What one try at the folder came to.
struct Outcome {
  int status = kExtractFailed;
  std::string why;      // the line for standard error (the folder named)
  std::string said;     // the line for standard output
  std::string warning;  // files of others left, said on standard error
  const char* recovered = "none";
  int written = 0, unchanged = 0, removed = 0;
  std::vector<PlannedEntry> planned;
};

// A program larger than this is read for its version by no one: the
// check needs it whole, and a patch's memory stays bounded.
const uint64_t kLargestVersionRead = 32u << 20;

// All of the file `name` in `dir`, read through `ops`; empty when it
// cannot be read (or is larger than kLargestVersionRead).
std::vector<uint8_t> ReadInstalled(FileOps& ops, platform::Directory* dir, const char* name) {
  std::vector<uint8_t> bytes;
  platform::File* file = nullptr;
  platform::FileFacts facts;
  if (ops.OpenExisting(dir, name, &file, &facts) == platform::kPresent && file &&
      facts.size <= kLargestVersionRead) {
    bytes.resize(static_cast<size_t>(facts.size));
    uint32_t got = 0;
    if (!bytes.empty() && (!ops.ReadFrom(file, 0, bytes.data(), static_cast<uint32_t>(bytes.size()), &got) ||
                           got != bytes.size()))
      bytes.clear();
  }
  if (file) ops.Release(file);
  return bytes;
}

// The version resource of the payload's program entry, decoded (a delta
// against `installed`, when that is the file it was made from).
bool PayloadVersion(const PatchEntries& entries, const PayloadEntry& e,
                    const std::vector<uint8_t>& installed, uint64_t* version) {
  if (e.removal || e.expanded_length > kLargestVersionRead) return false;
  if (IsDelta(e) && (installed.size() != e.old_size ||
                     Crc32c(0, installed.data(), installed.size()) != e.old_crc))
    return false;
  const uint8_t* bytes = nullptr;
  uint8_t* buffer = nullptr;
  bool known = entries.Bytes(static_cast<int>(&e - &entries[0]), installed.data(),
                             static_cast<uint32_t>(installed.size()), &bytes, &buffer, nullptr, 0) &&
               ReadFileVersion(bytes, e.expanded_length, version);
  free(buffer);
  return known;
}

// The payload's program version, from the program's entry of the first
// base whose entry tells it (a delta only from `installed`, when that is
// the file it was made from). Base 0's entries are shown after.
bool ProgramVersion(const PatchEntries& entries, const std::vector<uint8_t>& installed,
                    uint64_t* version) {
  bool known = false;
  const bool several = entries.bases() > 1;
  for (int base = 0; base < entries.bases() && !known; ++base) {
    if (several && !entries.Select(base, nullptr, 0)) break;
    for (int i = 0; i < entries.count() && !known; ++i)
      if (platform::SameFileName(entries[i].name, PROGRAM_ENTRY))
        known = PayloadVersion(entries, entries[i], installed, version);
  }
  if (several) entries.Select(0, nullptr, 0);
  return known;
}

// One try at the folder `dir` (`shown` as given): a real run, or with
// --check the same lookups, writing nothing and taking no lock.
Outcome Attempt(const Request& request, const PatchEntries& entries, const std::string& dir,
                const char* shown, uint64_t* payload_version, bool* version_known) {
  Outcome o;
  char fault[512];
  // Only into an installation: the program the payload replaces is there,
  // as the applier's lookup finds it.
  WatchedOps ops;
  platform::Directory* open = ops.Open(dir.c_str());
  if (!open) {
    if (ops.failure.kind == platform::kFailureNotFound && !request.force) {
      o.status = kExtractNotInstalled;
      o.why = std::string(shown) + ": not installed: no such folder";
    } else {
      o.status = StatusOf(kApplyFailed, ops.failure);
      o.why = ExplainStop(ops, dir, shown);
    }
    return o;
  }
  if (request.check) {
    // A real run recovers first, and only then knows what the folder holds.
    if (ops.LookUp(open, kJournalName) != platform::kAbsent) {
      ops.CloseDirectory(open);
      o.status = kExtractNeedsRecovery;
      o.why = std::string(shown) + ": an interrupted patch is there: a real run finishes it first";
      return o;
    }
  } else {
    // An interrupted patch is finished or undone first, whatever it left
    // (a program moved aside, the new files in place): the folder is judged
    // as it is then.
    ApplyStatus recovery = kApplyFailed;
    const RecoveryResult recovered =
        RecoverDirectory(dir.c_str(), ops, fault, sizeof fault, &recovery);
    if (recovered == kRecoveryFinished || recovered == kRecoveryUndone) {
      o.recovered = recovered == kRecoveryFinished ? "finished" : "undone";
      fprintf(stderr, "lzcx: an interrupted patch of %s was %s\n", shown, o.recovered);
      // Files of others it left at the patch's names.
      o.warning = fault;
    } else if (recovered != kRecoveryNone) {
      ops.CloseDirectory(open);
      o.why = ExplainStop(ops, dir, shown);
      if (o.why.empty()) o.why = fault;
      o.status = StatusOf(recovery, ops.failure);
      return o;
    }
  }
  const PayloadEntry* program = nullptr;
  for (int i = 0; i < entries.count(); ++i)
    if (platform::SameFileName(entries[i].name, PROGRAM_ENTRY)) program = &entries[i];
  char found[platform::kPathBuffer];
  const bool installed =
      program && ops.Find(open, program->name, found) != platform::kTargetMissing;
  if (!request.force && !installed) {
    ops.CloseDirectory(open);
    o.status = kExtractNotInstalled;
    if (program)
      o.why = std::string(shown) + ": not installed: no " + program->name +
              " there (--force patches any folder)";
    else
      o.why = std::string(Shown(request.payload)) + ": the payload carries no " + PROGRAM_ENTRY +
              ": only --force applies it";
    return o;
  }
  // Never a downgrade by accident: both programs' versions, where both
  // carry one.
  uint64_t have = 0;
  if (installed && found[0]) {
    const std::vector<uint8_t> bytes = ReadInstalled(ops, open, found);
    const bool have_known = ReadFileVersion(bytes.data(), bytes.size(), &have);
    if (!*version_known) *version_known = ProgramVersion(entries, bytes, payload_version);
    if (have_known && *version_known && have > *payload_version && !request.force) {
      ops.CloseDirectory(open);
      o.status = kExtractUpToDate;
      o.said = std::string(shown) + ": a newer version (" + VersionText(have) +
               ") is installed than this patch's (" + VersionText(*payload_version) +
               "), nothing written (--force downgrades)";
      return o;
    }
  }
  const bool up_to_date = UpToDate(ops, open, entries);
  ops.CloseDirectory(open);
  ops.blocked.clear();
  if (up_to_date) {
    o.status = kExtractUpToDate;
    o.said = std::string(shown) + ": already up to date, nothing written";
    return o;
  }
  // The plan, as the patch makes it, and what it did (or with --check,
  // would do) with each file: one plan, which a real run then applies.
  ApplyStatus result = kApplyFailed;
  ops.failure = platform::Failure{platform::kFailureOther, 0};
  o.planned.resize(entries.all_count());
  ProgressLine line(request.search.progress);
  ops.line = &line;
  const int done =
      request.check
          ? PlanEntries(entries, dir.c_str(), ops, o.planned.data(), fault, sizeof fault, &result)
          : ApplyEntries(entries, dir.c_str(), ops, fault, sizeof fault, &result, o.planned.data(),
                         &ops.progress);
  line.Clear();
  // The entries of the base the plan took.
  o.planned.resize(entries.count());
  if (!done) {
    o.status = StatusOf(result, ops.failure);
    if (o.status == kExtractPatched) o.status = kExtractFailed;
    o.why = ExplainStop(ops, dir, shown);
    if (o.why.empty()) o.why = fault;
    return o;
  }
  for (const PlannedEntry& p : o.planned) {
    o.written += p.action == kPlanWrite;
    o.unchanged += p.action == kPlanUnchanged;
    o.removed += p.action == kPlanRemove;
  }
  if (request.check) {
    o.status = kExtractPatched;
    o.said = std::string(shown) + ": a run would patch it: " + std::to_string(o.written) +
             " to write, " + std::to_string(o.unchanged) + " unchanged, " +
             std::to_string(o.removed) + " to remove";
    return o;
  }
  if (fault[0]) o.warning += (o.warning.empty() ? "" : "; ") + std::string(fault);
  o.status = kExtractPatched;
  return o;
}

// An entry's path below `dir` as the system writes paths ('\\' between
// folders on Windows).
std::string SystemPath(const std::string& dir, const char* path) {
  std::string p = dir + path;
  for (char& c : p)
    if (c == '/') c = platform::kPathSeparator;
  return p;
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

// Says what a try at `dir` came to, on the terminal and in the run's log
// line (one per folder tried).
void Report(const Request& request, RunLog& log, const Outcome& o, const std::string& dir,
            uint64_t version, bool version_known) {
  if (!o.warning.empty()) fprintf(stderr, "lzcx: warning: %s\n", o.warning.c_str());
  if (!o.why.empty()) fprintf(stderr, "lzcx: %s\n", o.why.c_str());
  if (!o.said.empty()) printf("%s\n", o.said.c_str());

  // Each file with -v, on standard output what was written.
  for (size_t i = 0; o.status == kExtractPatched && i < o.planned.size(); ++i) {
    static const char* const kActions[] = {"written", "unchanged", "removed"};
    const PlannedEntry& p = o.planned[i];
    if (p.action == kPlanNothing) continue;  // a removal with nothing (of the old release's) there
    const std::string path = SystemPath(dir, p.path);
    if (request.verbose && !request.check && p.action == kPlanWrite) printf("%s\n", path.c_str());
    if (request.verbose)
      log.Line({{"file", path}, {request.check ? "would_be" : "action", kActions[p.action]}});
  }
  std::vector<std::pair<const char*, std::string>> fields = {
      {"patcher", BaseName(Shown(request.payload))},
      {"version", version_known ? VersionText(version) : "none"},
      {"dir", dir},
      {"status", std::to_string(o.status)},
      {"word", StatusWord(o.status)},
      {"written", std::to_string(o.written)},
      {"unchanged", std::to_string(o.unchanged)},
      {"removed", std::to_string(o.removed)},
      {"recovered", o.recovered}};
  if (request.check) fields.push_back({"check", "yes"});
  const std::string said = o.why.empty() ? o.said : o.why;
  if (!said.empty() || !o.warning.empty())
    fields.push_back({"why", said + (said.empty() || o.warning.empty() ? "" : "; ") +
                                 (o.warning.empty() ? "" : "warning: " + o.warning)});
  fflush(stdout);
  log.Line(fields);
}

// --find and --find-in: every installation is listed before any is
// touched, and only one found, or --all, is patched. Several, or a search
// cut short, change nothing anywhere (not even a recovery): *o says so
// and the folders are none.
std::vector<std::string> Search(const Request& request, const PatchEntries& entries,
                                Outcome* o) {
  std::vector<FoundFolder> found;
  std::vector<std::string> counted;
  const bool complete = FindInstallations(request.search, &found) != 0;
  int other_version = 0;
  for (const FoundFolder& folder : found) {
    if (JudgeFolder(entries, folder) == kStandsNeither) {
      ++other_version;
      fprintf(stderr, "lzcx: %s: not counted: a file this delta patch upgrades is modified or "
              "missing\n", folder.dir.c_str());
      continue;
    }
    counted.push_back(folder.dir);
    // A tab before the mark, so that scripts can cut the folder out.
    printf("%s%s\n", folder.dir.c_str(), folder.interrupted ? "\t(an interrupted patch)" : "");
  }
  fflush(stdout);
  const char* where = request.search.find_in.empty() ? " on any drive" : " below the --find-in folders";
  if (!complete) {
    o->status = kExtractSeveral;
    o->why = "the search was cut short after " + std::to_string(request.search.timeout_seconds) +
             " s (--find-timeout): " + std::to_string(counted.size()) +
             " installation(s) found until then, nothing patched";
  } else if (counted.empty() && other_version) {
    o->status = kExtractNotThisVersion;
    o->why = "not the version this delta patch upgrades: the full patcher applies";
  } else if (counted.empty()) {
    o->status = kExtractNotInstalled;
    o->why = std::string("not installed: no ") + PROGRAM_FILE + " found" + where;
  } else if (counted.size() > 1 && !request.all) {
    o->status = kExtractSeveral;
    o->why = "several installations: name one with -C, or --all";
  } else {
    return counted;
  }
  return std::vector<std::string>();
}

int Extract(const Request& request) {
  // The log first, so that a patcher that cannot be read is logged too.
  RunLog log;
  if (request.log && !log.Open(request.log)) {
    fprintf(stderr, "lzcx: %s: cannot open the log: %s\n", request.log, strerror(errno));
    return kExtractFailed;
  }
  Outcome o;
  uint64_t version = 0;
  bool version_known = false;
  InputBytes payload;
  std::string why;
  char fault[512];
  PatchEntries entries;
  std::vector<std::string> dirs;
  if (!ReadPayloadInput(request.payload, &payload, &why)) {
    o.why = std::string(Shown(request.payload)) + ": " + why;
  } else if (!entries.Read(payload.data, payload.size, nullptr, fault, sizeof fault) ||
             !CheckApplicable(entries, fault, sizeof fault) ||
             !entries.CheckDecodes(nullptr, fault, sizeof fault)) {
    // Every check before anything else: a damaged patcher is a failure on
    // every machine, installed or not.
    o.why = std::string(Shown(request.payload)) + ": " +
            (LooksLikePayload(payload.data, payload.size) ? fault
                                                                 : "neither a payload nor a patcher");
  } else {
    version_known = ProgramVersion(entries, std::vector<uint8_t>(), &version);
    // Where: the folder given, or those the search finds.
    dirs = request.find ? Search(request, entries, &o)
                        : std::vector<std::string>(1, DirectoryString(request.directory));
  }
  if (dirs.empty()) {
    Report(request, log, o, request.directory ? DirectoryString(request.directory) : "", version,
           version_known);
    return o.status;
  }
  int worst = kExtractPatched;
  for (const std::string& dir : dirs) {
    const char* shown = request.find ? dir.c_str() : request.directory;
    // A busy folder is tried again each second while --wait allows.
    const time_t until = time(nullptr) + request.wait;
    for (int tries = 0;; ++tries) {
      o = Attempt(request, entries, dir, shown, &version, &version_known);
      if (o.status != kExtractInUse || time(nullptr) >= until) break;
      if (!tries)
        fprintf(stderr, "lzcx: %s is busy: trying again each second for up to %ld s\n",
                dir.c_str(), request.wait);
      platform::SleepMilliseconds(1000);
    }
    Report(request, log, o, dir, version, version_known);
    if (Severity(o.status) > Severity(worst)) worst = o.status;
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
    if (c == kOptionCheck) request.check = true;
    if (c == kOptionWait) {
      char* end = nullptr;
      errno = 0;
      request.wait = strtol(argument, &end, 10);
      if (!*argument || *end || errno || request.wait < 0 || request.wait > 86400)
        return UsageError(&command, std::string("--wait ") + argument +
                                        ": a number of seconds, 0 to 86400");
    }
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
    default: {
      const std::string line = ExplainStop(ops, dir, directory);
      fprintf(stderr, "lzcx: %s\n", line.empty() ? fault : line.c_str());
      return ops.failure.kind == platform::kFailureForeignLock ? kExtractCannotWrite
                                                                : kExtractFailed;
    }
  }
}
