// What the applier's tests share: an installation and a release to patch it
// with, snapshots of a directory, and file operations that fail, or end
// the process, at chosen calls.
#ifndef PATCHER_TESTS_PAYLOAD_APPLIER_HARNESS_H
#define PATCHER_TESTS_PAYLOAD_APPLIER_HARNESS_H

#ifndef _WIN32
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <stdlib.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

// A tree by exact relative path ('/' between folders): each file with its
// bytes, each folder as its path and a '/', with no bytes.
typedef std::map<std::string, Bytes> Snapshot;

inline void TakeInto(const std::string& dir, const std::string& prefix, Snapshot* s) {
  for (const std::string& name : ListNames(dir + prefix)) {
    const std::string path = prefix + name;
    if (IsDirectory(dir + path)) {
      (*s)[path + "/"];
      TakeInto(dir, path + "/", s);
    } else {
      ReadFileBytes(dir + path, &(*s)[path]);
    }
  }
}
inline Snapshot Take(const std::string& dir) {
  Snapshot s;
  TakeInto(dir, "", &s);
  return s;
}
inline Snapshot Take(const ScratchDir& dir) { return Take(dir.path()); }

// The paths of `s` and each file's size, for a failure's message.
inline std::string Listing(const Snapshot& s) {
  std::string out;
  for (const auto& file : s)
    out += " " + file.first + (file.first.back() == '/' ? "" : "(" + std::to_string(file.second.size()) + ")");
  return out;
}

// Lays `s` out in `dir`, folders before what they hold.
inline void Restore(const std::string& dir, const Snapshot& s) {
  for (const auto& file : s) {
    for (size_t slash = file.first.find('/'); slash != std::string::npos;
         slash = file.first.find('/', slash + 1))
      MakeDirectory(dir + file.first.substr(0, slash));
    if (file.first.back() != '/') WriteFileBytes(dir + file.first, file.second);
  }
}
inline void Restore(const ScratchDir& dir, const Snapshot& s) { Restore(dir.path(), s); }

// An installation: the files a patch replaces (the executable spelled as
// the scan finds it), and one it must not touch.
inline Snapshot Installation() {
  return {{"Vusk.exe", TextLike(5000, 1)},
          {"orvcore.dll", TextLike(3000, 2)},
          {"settings.ini", TextLike(100, 3)}};
}

// One entry of each form, for files present and absent, and an entry that
// a later one of the same name (in other letters) replaces. `unchanged`:
// orvcore.dll's entry holds the installed file's bytes.
struct Release {
  explicit Release(bool unchanged = false)
      : dll(unchanged ? Installation()["orvcore.dll"] : RandomBytes(2500, 12)) {}
  Bytes exe = TextLike(6000, 11);
  Bytes dll;
  Bytes help = TextLike(800, 13);
  Bytes text = TextLike(1200, 14);
  Bytes Payload() const {
    return MakeContainer({{"vusk.exe", 1, GreedyBlock(exe)},
                          {"orvtext.dll", 1, GreedyBlock(TextLike(900, 15))},
                          {"orvcore.dll", 1, GreedyBlock(dll)},
                          {"vusk.hlp", 0, help},
                          {"empty.dat", 1, StoredBlock({})},
                          {"ORVTEXT.DLL", 0, text}});
  }
  // The installation after the patch: replaced files keep their names.
  Snapshot After(Snapshot s) const {
    for (const char* name : {"vusk.exe", "Vusk.exe"}) {
      if (s.count(name)) s[name] = exe;
    }
    s["orvcore.dll"] = dll;
    s["vusk.hlp"] = help;
    s["empty.dat"] = Bytes();
    s["ORVTEXT.DLL"] = text;
    return s;
  }
};

// An installation with folders: a file to replace at the top and one in a
// folder, a file beside it that the release removes, and a folder whose
// only file it removes.
inline Snapshot TreeInstallation() {
  return {{"Vusk.exe", TextLike(5000, 1)},
          {"plugins/", {}},
          {"plugins/keep.dll", TextLike(3000, 21)},
          {"plugins/old.dll", RandomBytes(700, 22)},
          {"retired/", {}},
          {"retired/gone.dll", TextLike(400, 23)},
          {"settings.ini", TextLike(100, 3)}};
}

inline int AppendBytes(void* out, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(out)->insert(static_cast<Bytes*>(out)->end(), p, p + size);
  return 1;
}

// The release's payload for TreeInstallation, as lzcx writes it: the two
// files replaced, a file two new folders deep, and the two old files
// removed (by their size and CRC-32C), between the others.
inline Bytes TreePayload(const Release& r, const Snapshot& before) {
  Bytes out;
  PayloadWriter writer(AppendBytes, &out);
  const Bytes exe = GreedyBlock(r.exe), mo = GreedyBlock(r.help);
  auto removal = [&](const char* path) {
    const Bytes& old = before.at(path);
    return writer.AddRemoval(path, old.size(), Crc32c(0, old.data(), old.size()));
  };
  if (!writer.Begin(5) || !writer.Add("vusk.exe", kFormBlock, exe.data(), exe.size()) ||
      !removal("plugins/old.dll") ||
      !writer.Add("plugins/keep.dll", kFormStored, r.dll.data(), r.dll.size()) ||
      !writer.Add("locale/de/vusk.mo", kFormBlock, mo.data(), mo.size()) ||
      !removal("retired/gone.dll") || !writer.End())
    abort();
  return out;
}

// TreeInstallation after TreePayload.
inline Snapshot TreeAfter(const Release& r, Snapshot s) {
  s["Vusk.exe"] = r.exe;
  s["plugins/keep.dll"] = r.dll;
  s.erase("plugins/old.dll");
  s.erase("retired/gone.dll");
  s.erase("retired/");
  s["locale/"];
  s["locale/de/"];
  s["locale/de/vusk.mo"] = r.help;
  return s;
}

// File operations that count every call and fail chosen ones: the n-th
// call of one kind, or calls by their number among all calls. A failed call
// does nothing (a write writes half). At call `end_at` the process ends
// on the spot, through `end`. From call `freeze_at` on, every call fails
// and does nothing at all (a handle is still closed), so the disk keeps
// exactly what a process killed at that call leaves. Opening a folder
// counts as a lookup (failed, the system did not answer), making one as
// a creation, removing one as a removal. Names given out (`created`,
// `before_rename`) are paths from the top, as Snapshot spells them.
class ScriptedOps : public FileOps {
 public:
  enum Kind { kOpen, kLock, kFind, kLookUp, kCreate, kWrite, kClose, kOpenExisting, kReadFrom,
              kRename, kRemove, kSync, kKinds };
  ScriptedOps() = default;
  ScriptedOps(Kind kind, long nth) : kind_(kind), nth_(nth) {}

  std::set<long> fail;  // numbers of the calls to fail, counting from 0
  long end_at = -1;
  void (*end)() = nullptr;
  long freeze_at = -1;
  // What a failed call says it met (LastFailure), until it is asked.
  platform::Failure injected = {platform::kFailureIo, 0};

  // Runs before each rename, with its paths.
  std::function<void(const char* from, const char* to)> before_rename;
  std::set<std::string> created;  // the paths of the files created

  // The path from the top of `name` in `dir`, a folder this object opened
  // (any other: the top).
  std::string PathOf(platform::Directory* dir, const char* name) const {
    const auto it = folders_.find(dir);
    return (it == folders_.end() ? std::string() : it->second) + name;
  }

  long calls() const { return calls_; }
  bool fired() const { return fired_; }

  platform::Directory* Open(const char* path) override {
    return Hit(kOpen) ? nullptr : FileOps::Open(path);
  }
  platform::LockResult Lock(platform::Directory* dir, const char* name) override {
    return Hit(kLock) ? platform::kLockFailed : FileOps::Lock(dir, name);
  }
  platform::TargetState Find(platform::Directory* dir, const char* name, char* found) override {
    return Hit(kFind) ? platform::kTargetUnknown : FileOps::Find(dir, name, found);
  }
  platform::Presence LookUp(platform::Directory* dir, const char* name) override {
    return Hit(kLookUp) ? platform::kUnknown : FileOps::LookUp(dir, name);
  }
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    if (Hit(kCreate)) return nullptr;
    platform::File* file = FileOps::CreateNew(dir, name);
    if (file) created.insert(PathOf(dir, name));
    return file;
  }
  uint32_t Write(platform::File* file, const void* data, uint32_t size) override {
    const bool hit = Hit(kWrite);
    return FileOps::Write(file, data, frozen_ ? 0 : hit ? size / 2 : size);
  }
  int Close(platform::File* file) override {
    const bool hit = Hit(kClose);
    return FileOps::Close(file) && !hit;
  }
  platform::Presence OpenExisting(platform::Directory* dir, const char* name,
                                  platform::File** file, platform::FileFacts* facts) override {
    *file = nullptr;
    return Hit(kOpenExisting) ? platform::kUnknown : FileOps::OpenExisting(dir, name, file, facts);
  }
  platform::Presence OpenToRename(platform::Directory* dir, const char* name,
                                  platform::File** file, platform::FileFacts* facts) override {
    *file = nullptr;
    return Hit(kOpenExisting) ? platform::kUnknown : FileOps::OpenToRename(dir, name, file, facts);
  }
  int RenameOpen(platform::Directory* dir, platform::File* file, const char* from,
                 const char* to) override {
    if (before_rename && !frozen_) before_rename(PathOf(dir, from).c_str(), PathOf(dir, to).c_str());
    return !Hit(kRename) && FileOps::RenameOpen(dir, file, from, to);
  }
  int ReadFrom(platform::File* file, uint64_t offset, void* data, uint32_t size,
               uint32_t* got) override {
    return !Hit(kReadFrom) && FileOps::ReadFrom(file, offset, data, size, got);
  }
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    if (before_rename && !frozen_) before_rename(PathOf(dir, from).c_str(), PathOf(dir, to).c_str());
    return !Hit(kRename) && FileOps::Rename(dir, from, to, replace);
  }
  int Remove(platform::Directory* dir, const char* name) override {
    return !Hit(kRemove) && FileOps::Remove(dir, name);
  }
  platform::Directory* OpenFolder(platform::Directory* parent, const char* name,
                                  platform::FolderFacts* facts) override {
    if (Hit(kLookUp)) {
      if (facts) {
        *facts = platform::FolderFacts();
        facts->presence = platform::kUnknown;
      }
      return nullptr;
    }
    return Opened(parent, name, FileOps::OpenFolder(parent, name, facts));
  }
  platform::Directory* CreateFolder(platform::Directory* parent, const char* name) override {
    return Hit(kCreate) ? nullptr : Opened(parent, name, FileOps::CreateFolder(parent, name));
  }
  int RemoveFolder(platform::Directory* parent, const char* name) override {
    return !Hit(kRemove) && FileOps::RemoveFolder(parent, name);
  }
  void CloseDirectory(platform::Directory* dir) override {
    folders_.erase(dir);
    FileOps::CloseDirectory(dir);
  }
  int Sync(platform::Directory* dir) override { return !Hit(kSync) && FileOps::Sync(dir); }
  platform::Failure LastFailure() override {
    const bool hit = pending_;
    pending_ = false;
    return hit ? injected : FileOps::LastFailure();
  }

 private:
  bool Hit(Kind kind) {
    const long call = calls_++;
    if (call == end_at && end) end();
    frozen_ = frozen_ || call == freeze_at;
    const bool hit = frozen_ || fail.count(call) || (kind == kind_ && seen_++ == nth_);
    fired_ = fired_ || hit;
    pending_ = pending_ || hit;
    return hit;
  }
  platform::Directory* Opened(platform::Directory* parent, const char* name,
                              platform::Directory* folder) {
    if (folder) folders_[folder] = PathOf(parent, name) + "/";
    return folder;
  }
  std::map<platform::Directory*, std::string> folders_;  // each open folder's path + '/'
  Kind kind_ = kKinds;
  long nth_ = -1;
  long seen_ = 0;
  long calls_ = 0;
  bool fired_ = false;
  bool frozen_ = false;
  bool pending_ = false;
};

#ifndef _WIN32
// Runs `run` in a child process killed (SIGKILL) at its file operation
// number `at`. True when it was killed, false when it ran to its end first.
inline bool RunKilledAt(long at, const std::function<void(ScriptedOps&)>& run) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    ScriptedOps ops;
    ops.end_at = at;
    ops.end = [] { raise(SIGKILL); };
    run(ops);
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}
#endif

// Whether `name` is one of the patch's own files.
inline bool IsLeftover(const std::string& path) {
  const size_t leaf = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  return path.size() > leaf + 3 && path.compare(leaf, 3, "~pt") == 0;
}

// What a directory holds after a patch was interrupted and recovered.
struct Outcome {
  int old_set = 0, new_set = 0, leftovers = 0, mixed = 0;
  void Count(const Snapshot& now, const Snapshot& before, const Snapshot& after) {
    if (now == before) {
      ++old_set;
    } else if (now == after) {
      ++new_set;
    } else {
      bool left = false;
      for (const auto& file : now) left = left || IsLeftover(file.first);
      ++(left ? leftovers : mixed);
    }
  }
  int trials() const { return old_set + new_set + leftovers + mixed; }
};

// The installations and payloads the sweeps run on: a payload whose every
// entry changes its file; one with an entry equal to its old file; an
// installation whose files belong to another user, the program's with a
// second link (a kept copy of the old version); and a temporary that
// another user swaps for a file of theirs just as the commit takes it (the
// last two natively as root, who alone can give a file away); and a tree:
// files in folders replaced and removed, and folders made and emptied.
struct Shape {
  enum Kind { kPlain, kUnchanged, kForeign, kSwapped, kTree } kind;
  static constexpr const char* kNames[] = {"Changed", "Unchanged", "Foreign", "Swapped", "Tree"};
  const char* what;
  Release release;
  Bytes payload;
  Snapshot before, after;
  Bytes planted = TextLike(6000, 99);  // the other user's file

  explicit Shape(Kind k)
      : kind(k), what(kNames[k]), release(k == kUnchanged), payload(release.Payload()),
        before(Installation()) {
    if (k == kForeign) before["vusk-1.24.exe"] = before["Vusk.exe"];
    after = release.After(before);
    if (k == kTree) {
      before = TreeInstallation();
      payload = TreePayload(release, before);
      after = TreeAfter(release, before);
    }
  }
  // Whether this process can lay it out.
  bool CanLay() const {
#ifdef _WIN32
    return kind == kPlain || kind == kUnchanged || kind == kTree;
#else
    return kind == kPlain || kind == kUnchanged || kind == kTree || geteuid() == 0;
#endif
  }

  // Lays the installation out in `dir`, as its owner left it.
  void Lay(const ScratchDir& dir) const {
    Restore(dir, before);
#ifndef _WIN32
    if (kind != kForeign) return;
    const std::string kept = dir.Join("vusk-1.24.exe");
    if (unlink(kept.c_str()) != 0 || link(dir.Join("Vusk.exe").c_str(), kept.c_str()) != 0)
      abort();
    for (const auto& file : before)
      if (chown(dir.Join(file.first).c_str(), kOtherUser, kOtherUser) != 0) abort();
#endif
  }
  // Arms `ops` for the shape: the swap of the first temporary that the
  // commit takes, after the patch has read it.
  void Arm(ScriptedOps* ops, const std::string& dir) const {
    if (kind != kSwapped) return;
    auto swapped = std::make_shared<bool>(false);
    const Bytes bytes = planted;
    ops->before_rename = [ops, dir, bytes, swapped](const char* from, const char* to) {
      // A temporary (a file the patch created) going to its name.
      if (*swapped || !ops->created.count(from) || IsLeftover(to)) return;
      *swapped = true;
      const std::string path = dir + from;
      if (unlink(path.c_str()) != 0 || !WriteFileBytes(path, bytes)) abort();
#ifndef _WIN32
      if (chown(path.c_str(), kOtherUser, kOtherUser) != 0) abort();
#endif
    };
  }
  // What the directory holds, less the other user's file where it is left:
  // it is theirs, and stays.
  Snapshot Seen(const ScratchDir& dir) const {
    Snapshot now = Take(dir);
    for (auto it = now.begin(); it != now.end();)
      it = kind == kSwapped && it->second == planted ? now.erase(it) : std::next(it);
    return now;
  }

  static const unsigned kOtherUser = 1000;
};

#endif  // PATCHER_TESTS_PAYLOAD_APPLIER_HARNESS_H
