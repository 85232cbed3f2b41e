// Folders below the patched directory, through the real platform calls:
// each row plants something under a name, makes one call, and checks its
// answer and what the directory holds after it.
#include <gtest/gtest.h>

#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/fault_points.h"
#endif

#include <functional>
#include <string>
#include <vector>

#include "payload/applier.h"
#include "support/scratch.h"

namespace {

using platform::Directory;

const char kSep[] = {platform::kPathSeparator, 0};

// Which folder `path` is, as FolderFacts::id says.
void FolderId(const std::string& path, uint64_t id[2]) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  id[0] = info.dwVolumeSerialNumber;
  id[1] = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
#else
  struct stat st = {};
  stat(path.c_str(), &st);
  id[0] = st.st_dev;
  id[1] = st.st_ino;
#endif
}

#ifndef _WIN32
platform::SystemCall g_call;
int g_error;
int FailOnce(platform::SystemCall call, const char*) {
  if (call != g_call) return 0;
  platform::g_fail_call = nullptr;
  return g_error;
}
#endif

enum Call { kOpen, kCreate, kRemove };

struct Row {
  const char* what;
  std::function<void(const std::string&)> plant;  // given the directory string
  Call call;
  std::string name;
  bool works;
  platform::FailureKind kind;      // when it fails
  platform::Presence presence;     // what OpenFolder says is there
  std::vector<std::string> after;  // the directory's names after the call
  int fail_call = -1;              // a system call made to fail (natively)
  int fail_error = 0;
};

TEST(Folders, EachIsOpenedCreatedAndRemovedOnlyAsARealFolder) {
  using namespace platform;
  const std::string n255(255, 'n'), n256(256, 'n');
  auto file = [](const char* name) {
    return [=](const std::string& d) { ASSERT_TRUE(WriteFileBytes(d + name, {1})); };
  };
  auto folder = [](const std::string& name) {
    return [=](const std::string& d) { ASSERT_TRUE(MakeDirectory(d + name)); };
  };
  auto none = [](const std::string&) {};
#ifdef _WIN32
  // Past MAX_PATH, where only the calls by handle reach.
  auto long_folder = [](const std::string& name) {
    return [=](const std::string& d) {
      Directory* parent = OpenDirectory(d.c_str());
      ASSERT_TRUE(parent);
      Directory* made = CreateFolder(parent, name.c_str());
      ASSERT_TRUE(made);
      CloseDirectory(made);
      CloseDirectory(parent);
    };
  };
#else
  auto long_folder = folder;
#endif
  std::vector<Row> rows = {
      {"missing", none, kOpen, "sub", false, kFailureNotFound, kAbsent, {}},
      {"a file", file("sub"), kOpen, "sub", false, kFailureNotDirectory, kPresent, {"sub"}},
      {"a folder", folder("sub"), kOpen, "sub", true, kFailureOther, kPresent, {"sub"}},
      {"in another case", folder("Sub"), kOpen, "sub", true, kFailureOther, kPresent, {"Sub"}},
      {"255 bytes", long_folder(n255), kOpen, n255, true, kFailureOther, kPresent, {n255}},
      {"256 bytes", none, kOpen, n256, false, kFailureNameTooLong, kUnknown, {}},
      {"its parent", none, kOpen, "..", false, kFailureOther, kUnknown, {}},
      {"two names", none, kOpen, std::string("a") + kSep + "b", false, kFailureOther, kUnknown, {}},
      {"created", none, kCreate, "new", true, kFailureOther, kPresent, {"new"}},
      {"created, 255 bytes", none, kCreate, n255, true, kFailureOther, kPresent, {n255}},
      {"created over a file", file("sub"), kCreate, "sub", false, kFailureExists, kPresent, {"sub"}},
      {"created over a folder", folder("Sub"), kCreate, "sub", false, kFailureExists, kPresent,
       {"Sub"}},
      {"removed", folder("sub"), kRemove, "sub", true, kFailureOther, kPresent, {}},
      {"removed in another case", folder("Sub"), kRemove, "sub", true, kFailureOther, kPresent, {}},
      {"not empty", [](const std::string& d) {
         ASSERT_TRUE(MakeDirectory(d + "sub"));
         ASSERT_TRUE(WriteFileBytes(d + "sub" + kSep + "x", {1}));
       }, kRemove, "sub", false, kFailureExists, kPresent, {"sub"}},
      {"a file removed", file("sub"), kRemove, "sub", false, kFailureNotDirectory, kPresent, {"sub"}},
      {"missing removed", none, kRemove, "sub", false, kFailureNotFound, kAbsent, {}},
  };
#ifndef _WIN32
  auto link = [](const char* to) {
    return [=](const std::string& d) {
      ASSERT_TRUE(MakeDirectory(d + "real"));
      ASSERT_EQ(symlink(to, (d + "sub").c_str()), 0);
    };
  };
  const std::vector<Row> native = {
      {"a link to a folder inside", link("real"), kOpen, "sub", false, kFailureLink, kPresent,
       {"real", "sub"}},
      {"a link to a folder outside", link(".."), kOpen, "sub", false, kFailureLink, kPresent,
       {"real", "sub"}},
      {"a link removed", link("real"), kRemove, "sub", false, kFailureLink, kPresent,
       {"real", "sub"}},
      {"a link created over", link("real"), kCreate, "sub", false, kFailureExists, kPresent,
       {"real", "sub"}},
      {"lookup fails", folder("sub"), kOpen, "sub", false, kFailureIo, kUnknown, {"sub"},
       kCallStat, EIO},
      {"creation fails", none, kCreate, "new", false, kFailureNoSpace, kPresent, {}, kCallMakeFolder,
       ENOSPC},
      {"removal refused", folder("sub"), kRemove, "sub", false, kFailureDenied, kPresent, {"sub"},
       kCallRemoveFolder, EACCES},
  };
  rows.insert(rows.end(), native.begin(), native.end());
#endif
  FileOps ops;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir dir;
    row.plant(dir.path());
    Directory* parent = ops.Open(dir.path().c_str());
    ASSERT_TRUE(parent);
#ifndef _WIN32
    g_call = static_cast<SystemCall>(row.fail_call);
    g_error = row.fail_error;
    if (row.fail_call >= 0) g_fail_call = FailOnce;
#endif
    FolderFacts facts = {kAbsent, {0, 0}, false};
    Directory* sub = nullptr;
    int ok = 0;
    if (row.call == kOpen) ok = (sub = ops.OpenFolder(parent, row.name.c_str(), &facts)) != nullptr;
    if (row.call == kCreate) ok = (sub = ops.CreateFolder(parent, row.name.c_str())) != nullptr;
    if (row.call == kRemove) ok = ops.RemoveFolder(parent, row.name.c_str());
#ifndef _WIN32
    g_fail_call = nullptr;
#endif
    EXPECT_EQ(ok, row.works ? 1 : 0);
    if (!ok) {
      EXPECT_EQ(ops.LastFailure().kind, row.kind);
    }
    if (row.call == kOpen) {
      EXPECT_EQ(facts.presence, row.presence);
    }
    EXPECT_EQ(dir.Names(), row.after);
    if (sub) {
      // A file made in it lands in the folder, under its own name.
      const std::string inside = dir.Join(row.after[0]) + kSep;
#ifdef _WIN32
      const bool reachable = inside.size() < MAX_PATH - 2;  // by the tests' own path calls
#else
      const bool reachable = true;
#endif
      if (row.call == kOpen && reachable) {
        uint64_t id[2];
        FolderId(inside, id);
        EXPECT_TRUE(facts.trusted);
        EXPECT_EQ(facts.id[0], id[0]);
        EXPECT_EQ(facts.id[1], id[1]);
      }
      File* x = ops.CreateNew(sub, "x");
      ASSERT_TRUE(x);
      EXPECT_TRUE(ops.Close(x));
      if (reachable) {
        EXPECT_EQ(ListNames(inside), std::vector<std::string>{"x"});
      }
      EXPECT_TRUE(ops.Remove(sub, "x"));
      EXPECT_TRUE(ops.Sync(sub));
      ops.CloseDirectory(sub);
      // Then removed by the name it was asked for.
      EXPECT_TRUE(ops.RemoveFolder(parent, row.name.c_str()));
      EXPECT_TRUE(dir.Names().empty());
    }
    ops.CloseDirectory(parent);
  }
#ifndef _WIN32
  // Another file system mounted on a folder leads out, as a junction does.
  struct stat root, proc;
  if (stat("/", &root) == 0 && stat("/proc", &proc) == 0 && root.st_dev != proc.st_dev) {
    Directory* top = ops.Open("/");
    ASSERT_TRUE(top);
    FolderFacts facts;
    EXPECT_FALSE(ops.OpenFolder(top, "proc", &facts));
    EXPECT_EQ(ops.LastFailure().kind, kFailureLink);
    EXPECT_EQ(facts.presence, kPresent);
    ops.CloseDirectory(top);
  }
#endif
}

#ifdef _WIN32
// Under Wine a Unix symbolic link looks like a plain folder. The test's
// set-up made, in c:\.patcher-links\folders: empty, inside (a link to
// empty) and outside (a link to ..\real).
TEST(FoldersWin32, UnixLinksAndShortNamesAreRefused) {
  using namespace platform;
  const std::string links = "C:\\.patcher-links\\folders\\";
  FileOps ops;
  Directory* top = ops.Open(links.c_str());
  ASSERT_TRUE(top);
  for (const char* name : {"inside", "outside"}) {
    SCOPED_TRACE(name);
    FolderFacts facts;
    EXPECT_FALSE(ops.OpenFolder(top, name, &facts));
    EXPECT_EQ(ops.LastFailure().kind, kFailureLink);
    EXPECT_EQ(facts.presence, kPresent);
    EXPECT_FALSE(ops.RemoveFolder(top, name));
    EXPECT_EQ(ops.LastFailure().kind, kFailureLink);
  }
  EXPECT_EQ(ListNames(links), (std::vector<std::string>{"empty", "inside", "outside"}));
  ops.CloseDirectory(top);
  // A folder reached by its short name ("A-FOLD~1").
  ScratchDir dir;
  top = ops.Open(dir.path().c_str());
  Directory* named = ops.CreateFolder(top, "a-folder-named-at-length");
  ASSERT_TRUE(named);
  ops.CloseDirectory(named);
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(dir.Join("a-folder-named-at-length").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::string alias = data.cAlternateFileName;
  ASSERT_FALSE(alias.empty()) << "no short name";
  ASSERT_NE(GetFileAttributesA(dir.Join(alias).c_str()), INVALID_FILE_ATTRIBUTES) << alias;
  EXPECT_FALSE(ops.OpenFolder(top, alias.c_str(), nullptr));
  EXPECT_EQ(ops.LastFailure().kind, kFailureLink);
  EXPECT_FALSE(ops.RemoveFolder(top, alias.c_str()));
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"a-folder-named-at-length"});
  EXPECT_TRUE(ops.RemoveFolder(top, "a-folder-named-at-length"));
  ops.CloseDirectory(top);
}

// 255-byte names below folders that take the whole path past MAX_PATH:
// every call by handle works there.
TEST(FoldersWin32, LongNamesBelowDeepFolders) {
  using namespace platform;
  const std::string n255(255, 'n'), m255(255, 'm'), f200(200, 'f');
  ScratchDir dir;
  FileOps ops;
  std::vector<Directory*> chain = {ops.Open(dir.path().c_str())};
  ASSERT_TRUE(chain[0]);
  for (int i = 0; i < 2; ++i) {
    chain.push_back(ops.CreateFolder(chain.back(), f200.c_str()));
    ASSERT_TRUE(chain.back());
  }
  Directory* deep = chain.back();
  File* file = ops.CreateNew(deep, n255.c_str());
  ASSERT_TRUE(file);
  EXPECT_EQ(ops.Write(file, "x", 1), 1u);
  EXPECT_TRUE(ops.Close(file));
  char found[kPathBuffer] = "";
  EXPECT_EQ(ops.Find(deep, n255.c_str(), found), kTargetReplaceable);
  EXPECT_EQ(found, n255);
  FileFacts facts;
  ASSERT_EQ(ops.OpenToRename(deep, n255.c_str(), &file, &facts), kPresent);
  EXPECT_TRUE(facts.named && facts.trusted);
  EXPECT_TRUE(ops.RenameOpen(deep, file, n255.c_str(), "moved"));
  ops.Release(file);
  EXPECT_TRUE(ops.Rename(deep, "moved", n255.c_str(), 0));
  Directory* sub = ops.CreateFolder(deep, m255.c_str());
  ASSERT_TRUE(sub);
  ops.CloseDirectory(sub);
  FolderFacts folder;
  sub = ops.OpenFolder(deep, m255.c_str(), &folder);
  ASSERT_TRUE(sub);
  EXPECT_TRUE(folder.trusted);
  EXPECT_EQ(ops.CreateFolder(deep, m255.c_str()), nullptr);
  EXPECT_EQ(ops.LastFailure().kind, kFailureExists);
  ASSERT_TRUE((file = ops.CreateNew(sub, n255.c_str())));
  EXPECT_TRUE(ops.Close(file));
  EXPECT_EQ(ops.Find(sub, n255.c_str(), found), kTargetReplaceable);
  EXPECT_FALSE(ops.RemoveFolder(deep, m255.c_str()));  // held, and not empty
  EXPECT_TRUE(ops.Remove(sub, n255.c_str()));
  ops.CloseDirectory(sub);
  EXPECT_TRUE(ops.RemoveFolder(deep, m255.c_str()));
  EXPECT_EQ(ops.LookUp(deep, m255.c_str()), kAbsent);
  EXPECT_TRUE(ops.Remove(deep, n255.c_str()));
  for (size_t i = chain.size() - 1; i > 0; --i) {
    ops.CloseDirectory(chain[i]);
    EXPECT_TRUE(ops.RemoveFolder(chain[i - 1], f200.c_str()));
  }
  ops.CloseDirectory(chain[0]);
  EXPECT_TRUE(dir.Names().empty());
}
#endif

}  // namespace
