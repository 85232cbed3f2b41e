// Folders below the patched directory, through the real platform calls. Each row plants
// names ("sub" a file, "sub/" a folder, "sub/x" a file in it, "sub@to" a link; "*" stands
// for 255 bytes), makes one call and checks its answer and the names left.
#include <ctype.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <sstream>

#include "payload/applier.h"
#include "support/scratch.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include "platform/posix/fault_points.h"
#endif

namespace {

using namespace platform;

const std::string kLong(255, 'n');
const char kLinks[] = "C:\\.patcher-links\\folders\\";
[[maybe_unused]] int g_fail;  // natively, a system call that fails once (EIO)

std::vector<std::string> Names(const char* list) {
  std::vector<std::string> names;
  std::istringstream items(list);
  for (std::string s; items >> s;)
    names.push_back(s[0] == '*' ? kLong + s.substr(1) : s);
  return names;
}

// What to plant; 'o'pen, 'c'reate, 'r'emove or 'l' (open, then remove)
// `name` ("~": the short name of the folder planted); the FailureKind it
// fails with (-1: it works); what OpenFolder says stands there; the names
// after (null: not looked at); natively, g_fail; where to work instead.
struct Row {
  const char *plant, call, *name; int kind; Presence presence; const char* after; int fail = -1;
  const char* where = nullptr;
};

TEST(Folders, EachIsOpenedCreatedAndRemovedOnlyAsARealFolder) {
  const std::vector<Row> rows = {
      {"", 'o', "sub", kFailureNotFound, kAbsent, ""},
      {"sub", 'o', "sub", kFailureNotDirectory, kPresent, "sub"},
      {"sub/", 'o', "sub", -1, kPresent, "sub"},
      {"Sub/", 'o', "sub", -1, kPresent, "Sub"},
      {"", 'o', "*n", kFailureNameTooLong, kUnknown, ""},
      {"", 'o', "..", kFailureOther, kUnknown, ""},
      {"", 'c', "*", -1, kPresent, "*"},
      {"Sub", 'c', "sub", kFailureExists, kPresent, "Sub"},
      {"Sub/", 'r', "sub", -1, kPresent, ""},
      {"sub/ sub/x", 'r', "sub", kFailureExists, kPresent, "sub"},
#ifndef _WIN32
      {"*/", 'o', "*", -1, kPresent, "*"},
      {"real/ sub@real", 'l', "sub", kFailureLink, kPresent, "real sub"},
      {"sub@..", 'l', "sub", kFailureLink, kPresent, "sub"},
      {"", 'o', "proc", kFailureLink, kPresent, nullptr, -1, "/"},  // another mount
      {"sub/", 'o', "sub", kFailureIo, kUnknown, "sub", kCallStat},
      {"", 'c', "new", kFailureIo, kPresent, "", kCallMakeFolder},
      {"sub/", 'r', "sub", kFailureIo, kPresent, "sub", kCallRemoveFolder},
#else
      // Unix links look like plain folders under Wine: the set-up made them, inside
      // to c:\.patcher-links\folders\empty, outside to ..\real.
      {"", 'l', "inside", kFailureLink, kPresent, "empty inside outside", -1, kLinks},
      {"", 'l', "outside", kFailureLink, kPresent, "empty inside outside", -1, kLinks},
      {"a-folder-named-at-length/", 'l', "~", kFailureLink, kPresent, "a-folder-named-at-length"},
#endif
  };
  FileOps ops;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.plant) + " " + row.call + " " + row.name);
    ScratchDir dir;
    for (const std::string& item : Names(row.plant)) {
      const size_t at = item.find('@');
      const std::string path = dir.Join(item.substr(0, at));
#ifndef _WIN32
      ASSERT_TRUE(at == std::string::npos || symlink(item.c_str() + at + 1, path.c_str()) == 0);
#endif
      ASSERT_TRUE(at != std::string::npos ||
                  (item.back() == '/' ? MakeDirectory(path) : WriteFileBytes(path, {1})));
    }
#ifndef _WIN32
    g_fail = row.fail;
    g_fail_call = [](SystemCall call, const char*) {
      return call == g_fail ? (g_fail = -1, EIO) : 0;
    };
#endif
    std::string name = Names(row.name)[0], home = row.where ? row.where : dir.path();
#ifdef _WIN32
    WIN32_FIND_DATAA found;  // (no short name: "", and the row fails)
    if (name == "~" && FindClose(FindFirstFileA(dir.Join(dir.Names()[0]).c_str(), &found)))
      name = found.cAlternateFileName;
#endif
    Directory* parent = ops.Open(home.c_str());
    FolderFacts facts = {kAbsent, {0, 0}, false};
    Directory* sub = row.call == 'c'   ? ops.CreateFolder(parent, name.c_str())
                     : row.call != 'r' ? ops.OpenFolder(parent, name.c_str(), &facts)
                                       : nullptr;
    int ok = row.call == 'r' ? ops.RemoveFolder(parent, name.c_str()) : sub != nullptr;
    if (row.call == 'l') ok = ok || ops.RemoveFolder(parent, name.c_str());
    EXPECT_EQ(ok ? -1 : ops.LastFailure().kind, row.kind);
    EXPECT_EQ(strchr("ol", row.call) ? facts.presence : row.presence, row.presence);
    EXPECT_EQ(row.after ? ListNames(home) : Names(""), Names(row.after ? row.after : ""));
    if (sub) {
      // A 255-byte file lands in the folder asked for (Windows' stat: not past MAX_PATH, no inode).
      const std::string inside = dir.Join(Names(row.after)[0]) + kPathSeparator;
      File* file = ops.CreateNew(sub, kLong.c_str());
      EXPECT_TRUE(file && ops.Close(file) && ops.Sync(sub));
      char found[kPathBuffer] = "";
      EXPECT_TRUE(ops.Find(sub, kLong.c_str(), found) == kTargetReplaceable && found == kLong);
      struct stat st = {};
      EXPECT_TRUE(stat(inside.c_str(), &st) != 0 || ListNames(inside) == Names("*"));
      EXPECT_TRUE(row.call == 'c' || (facts.trusted && (facts.id[1] == st.st_ino || !st.st_ino)));
      EXPECT_TRUE(ops.Remove(sub, kLong.c_str()));
      ops.CloseDirectory(sub);
      EXPECT_TRUE(ops.RemoveFolder(parent, name.c_str()) && dir.Names().empty());
    }
    ops.CloseDirectory(parent);
  }
}

#ifndef _WIN32
// A folder's names are kept between lookups once its times are old enough to show every
// change: another process's new name, rename or removal is still seen, even when it puts
// the folder's modification time back. Each row: what is planted; a name looked up (the
// folder listed) and again in capitals (not listed); a change made elsewhere ("+" makes,
// "-" removes, ">" renames); the name looked up again, and the spelling found.
TEST(Folders, NamesKeptBetweenLookupsMissNoChangeMadeElsewhere) {
  struct Step { const char *plant, *look; TargetState was; const char* change; TargetState now;
                const char* found; };
  const std::vector<Step> steps = {
      {"f", "new.txt", kTargetMissing, "+New.Txt", kTargetReplaceable, "New.Txt"},
      {"f", "g", kTargetMissing, "f>G", kTargetReplaceable, "G"},
      {"f Only", "only", kTargetReplaceable, "-Only", kTargetMissing, ""},
  };
  std::vector<std::unique_ptr<ScratchDir>> dirs;
  for (const Step& step : steps) {
    dirs.emplace_back(new ScratchDir);
    for (const std::string& name : Names(step.plant))
      ASSERT_TRUE(WriteFileBytes(dirs.back()->Join(name), {1}));
  }
  sleep(3);  // past the 2 seconds in which a change may leave a folder's times as they were
  static long lists;
  g_fail_call = [](SystemCall call, const char*) { return lists += call == kCallList, 0; };
  FileOps ops;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    SCOPED_TRACE(step.change);
    const ScratchDir& here = *dirs[i];
    Directory* dir = ops.Open(here.path().c_str());
    char found[kPathBuffer] = "";
    std::string upper = step.look;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    lists = 0;
    EXPECT_EQ(ops.Find(dir, step.look, found), step.was);
    EXPECT_GT(lists, 0);
    lists = 0;
    EXPECT_EQ(ops.Find(dir, upper.c_str(), found), step.was);
    EXPECT_EQ(lists, 0);
    struct stat before;
    ASSERT_EQ(stat(here.path().c_str(), &before), 0);
    const char op = strchr("+-", step.change[0]) ? step.change[0] : '>';
    const std::string name = step.change + (op != '>');
    const size_t to = name.find('>');
    int changed = 0;
    if (op == '+') changed = WriteFileBytes(here.Join(name), {1}) ? 0 : -1;
    if (op == '-') changed = unlink(here.Join(name).c_str());
    if (op == '>') changed = rename(here.Join(name.substr(0, to)).c_str(),
                                    here.Join(name.substr(to + 1)).c_str());
    ASSERT_EQ(changed, 0);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, here.path().c_str(), times, 0), 0);
    found[0] = 0;
    EXPECT_EQ(ops.Find(dir, step.look, found), step.now);
    EXPECT_STREQ(found, step.found);
    ops.CloseDirectory(dir);
  }
  g_fail_call = nullptr;
}
#endif

}  // namespace
