// The POSIX backend: the mount table's drive types, and real scans of
// temporary trees with the real TargetScanner.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "payload/journal.h"
#include "platform/platform.h"
#include "scanner/poll_scan.h"
#include "scanner/target_scanner.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

typedef std::vector<std::string> Lines;

Lines RootsOf(const char* list) {
  Lines out;
  for (const char* r = list; *r; r += strlen(r) + 1) out.push_back(r);
  return out;
}

int SdbIsRemovable(unsigned major, unsigned minor) { return major == 8 && minor >= 16 && minor < 32; }

TEST(PlatformPosixDrives, MountTableMapsToTheSevenDriveTypes) {
  const char table[] =
      "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
      "23 27 0:22 / /sys rw - sysfs sysfs rw\n"
      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
      "40 27 8:17 / /media/stick rw shared:5 - vfat /dev/sdb1 rw\n"
      "41 27 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"
      "42 27 0:50 / /srv/share rw - nfs4 host:/export rw\n"
      "43 27 0:51 / /run/user/1000 rw - tmpfs tmpfs rw\n"
      "44 27 8:2 / /home\\040and\\040more rw - xfs /dev/sda2 rw\n"
      "45 27 0:60 / /srv/over rw - ext4 /dev/sda3 rw\n"
      "46 27 0:61 / /srv/over rw - cifs //host/share rw\n"
      "47 27 0:62 / /mnt/fuse rw - fuse.sshfs user@host: rw\n"
      "bad line\n";
  char list[platform::kDriveListBuffer];
  unsigned types[32];
  const int n = platform::DrivesFromMountTable(table, SdbIsRemovable, list, sizeof list, types, 32);
  const Lines roots = RootsOf(list);
  ASSERT_EQ(static_cast<size_t>(n), roots.size());
  const Lines expected = {"/",           "/home and more/", "/media/cdrom/", "/media/stick/",
                          "/mnt/fuse/",  "/proc/",          "/run/user/1000/", "/srv/over/",
                          "/srv/share/", "/sys/",           "/sys/fs/cgroup/"};
  ASSERT_EQ(roots, expected);
  const unsigned expected_types[] = {3, 3, 5, 2, 4, 1, 6, 4, 4, 1, 1};
  for (int i = 0; i < n; ++i) EXPECT_EQ(types[i], expected_types[i]) << roots[i];
}

TEST(PlatformPosixDrives, DriveListKeepsTheRootsThatFit) {
  const char table[] =
      "1 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 8:2 / /aaaaaaaa rw - ext4 /dev/sda2 rw\n"
      "3 1 8:3 / /bbbbbbbb rw - ext4 /dev/sda3 rw\n";
  char list[16];
  memset(list, 'x', sizeof list);
  unsigned types[3];
  EXPECT_EQ(platform::DrivesFromMountTable(table, nullptr, list, sizeof list, types, 3), 2);
  EXPECT_EQ(RootsOf(list), (Lines{"/", "/aaaaaaaa/"}));
}

// The search's drive roots come from the mount table unless a test or tool
// chose them; every test here leaves the table in force.
class ScanPosix : public ::testing::Test {
 protected:
  void TearDown() override { platform::UseSearchRoots(nullptr, 0); }

  void Roots(const Lines& roots) {
    std::vector<const char*> p;
    for (const std::string& r : roots) p.push_back(r.c_str());
    ASSERT_TRUE(platform::UseSearchRoots(p.data(), static_cast<int>(p.size())));
  }

  void Dir(const std::string& path) {
    std::string so_far;
    for (size_t at = 0; (at = path.find('/', at + 1)) != std::string::npos;) {
      MakeDirectory(path.substr(0, at));
    }
    MakeDirectory(path);
  }
  void File(const std::string& path) {
    Dir(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(WriteFileBytes(path, {1, 2, 3}));
  }

  ScratchDir scratch_;
  const std::string root_ = scratch_.path();
};

// The machine's platform, noting every probe and every journal read (read
// after the worker ended).
class RecordingSystem : public ScanSystem {
 public:
  int Probe(const char* path, platform::FindData* entry) override {
    probes.push_back(path);
    return ScanSystem::Probe(path, entry);
  }
  int JournalNames(const char* directory, const char* name) override {
    journals.push_back(directory);
    return ScanSystem::JournalNames(directory, name);
  }
  Lines probes, journals;
};

// A scan polled as the dialog polls it; the found path or "".

TEST_F(ScanPosix, LiveMountTableListsTheRootFileSystemFirst) {
  char list[platform::kDriveListBuffer];
  platform::GetDriveRoots(list, sizeof list);
  const Lines roots = RootsOf(list);
  ASSERT_FALSE(roots.empty());
  EXPECT_EQ(roots[0], "/");
  EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));
  if (std::find(roots.begin(), roots.end(), "/proc/") == roots.end()) GTEST_SKIP();
  EXPECT_EQ(platform::DriveTypeOf("/proc/"), static_cast<unsigned>(platform::kDriveNoRootDir));
  // Walking "/" never goes into /proc: its listing marks it as a mount.
  platform::FindData entry;
  int first = 0;
  platform::Listing* listing = platform::OpenListing("/*", &entry, &first);
  ASSERT_NE(listing, nullptr);
  bool seen = false;
  do {
    if (strcmp(entry.name, "proc") == 0) {
      seen = true;
      EXPECT_TRUE(entry.attributes & platform::kAttributeReparsePoint);
    } else if (strcmp(entry.name, "usr") == 0) {
      EXPECT_EQ(entry.attributes, platform::kAttributeDirectory);
    }
  } while (platform::NextListingEntry(listing, &entry));
  platform::CloseListing(listing);
  EXPECT_TRUE(seen);
}

TEST_F(ScanPosix, FindsTheTargetWhateverItsLetterCase) {
  Dir(root_ + "Apps/Other");
  Dir(root_ + "Program Files/Orvendel/Tessaline/bin");
  File(root_ + "Program Files/Orvendel/Tessaline/VUSK.EXE");
  File(root_ + "Program Files/Orvendel/Tessaline/bin/Vusk.exe");
  Roots({root_});
  TargetScanner scanner;
  EXPECT_EQ(PollScan(scanner), root_ + "Program Files/Orvendel/Tessaline/Vusk.exe");
  // Once more from the remembered directory.
  EXPECT_EQ(PollScan(scanner), root_ + "Program Files/Orvendel/Tessaline/Vusk.exe");
}

TEST_F(ScanPosix, SymbolicLinksAreNeverEntered) {
  ScratchDir outside;
  ASSERT_TRUE(WriteFileBytes(outside.Join("Vusk.exe"), {1}));
  Dir(root_ + "a/b");
  ASSERT_EQ(symlink(root_.c_str(), (root_ + "a/loop").c_str()), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), (root_ + "a/b/elsewhere").c_str()), 0);
  Roots({root_});
  RecordingSystem system;
  {
    TargetScanner scanner(system);
    EXPECT_EQ(PollScan(scanner), "");
  }
  EXPECT_EQ(system.probes, (Lines{root_ + "Vusk.exe", root_ + "a/Vusk.exe",
                                  root_ + "a/b/Vusk.exe"}));
}

TEST_F(ScanPosix, NestedRootIsWalkedOnlyAsItsOwnDrive) {
  Dir(root_ + "outer/inner/deep");
  Dir(root_ + "outer/zz");
  Roots({root_ + "outer/", root_ + "outer/inner/"});
  RecordingSystem system;
  {
    TargetScanner scanner(system);
    EXPECT_EQ(PollScan(scanner), "");
  }
  Lines probed = system.probes;
  for (std::string& p : probed) p = p.substr(root_.size());
  EXPECT_EQ(probed, (Lines{"outer/Vusk.exe", "outer/zz/Vusk.exe", "outer/inner/Vusk.exe",
                           "outer/inner/deep/Vusk.exe"}));
}

TEST_F(ScanPosix, DotDirectoriesAreSkippedAndOnlyAFileNamedLikeTheTargetCounts) {
  File(root_ + ".config/Vusk.exe");
  Dir(root_ + "x/vusk.exe");
  Dir(root_ + "y");
  ASSERT_EQ(symlink((root_ + "y").c_str(), (root_ + "y/Vusk.exe").c_str()), 0);
  Roots({root_});
  TargetScanner scanner;
  EXPECT_EQ(PollScan(scanner), "");
  // A file beside the directory, in another letter case, is the hit.
  File(root_ + "x/VUSK.EXE");
  EXPECT_EQ(PollScan(scanner), root_ + "x/Vusk.exe");
}

// A patch cut short after it moved Vusk.exe aside leaves no Vusk.exe, but
// a journal that names it: the folder is still the installation, found by
// its journal (read only where a listing shows one), and only a journal
// this patcher could have written counts.
TEST_F(ScanPosix, JournalOfAnInterruptedPatchMakesItsFolderTheHit) {
  const Bytes old_exe = TextLike(300, 1), new_exe = TextLike(400, 2);
  const Bytes names_it = MakeJournal(kPhaseCommit, {{0, 1, "VUSK.EXE", new_exe, &old_exe}});
  Bytes damaged = names_it;
  damaged[damaged.size() / 2] ^= 1;
  struct Case {
    const char* what;
    const Bytes* journal;  // null: a directory of the journal's name
    bool another_owner, hit;
  };
  const Bytes other = MakeJournal(kPhaseCommit, {{0, 1, "orvcore.dll", new_exe, &old_exe}});
  const Case cases[] = {
      {"a journal naming the program", &names_it, false, true},
      {"a journal naming other files", &other, false, false},
      {"a damaged journal", &damaged, false, false},
      {"another owner's journal", &names_it, true, false},
      {"a directory of the journal's name", nullptr, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.another_owner && geteuid() != 0) continue;
    ScratchDir tree;
    const std::string inst = tree.path() + "inst/";
    Dir(inst + "sub/deeper");
    File(inst + "orvcore.dll");
    File(inst + "~pt0001.tmp");
    const std::string journal = inst + kJournalName;
    if (c.journal) {
      ASSERT_TRUE(WriteFileBytes(journal, *c.journal));
      if (c.another_owner) {
        ASSERT_EQ(chown(journal.c_str(), 1000, 1000), 0);
      }
    } else {
      Dir(journal);
    }
    Roots({tree.path()});
    RecordingSystem system;
    {
      TargetScanner scanner(system);
      EXPECT_EQ(PollScan(scanner), c.hit ? inst + "Vusk.exe" : "");
    }
    EXPECT_EQ(system.journals, Lines{inst});
    // Without a hit the walk went on below it.
    if (!c.hit) {
      EXPECT_EQ(std::count(system.probes.begin(), system.probes.end(), inst + "sub/deeper/Vusk.exe"),
                1);
    }
  }
}

TEST_F(ScanPosix, DeepTreeIsWalkedBelowOpenListings) {
  std::string deep = root_;
  for (int i = 0; i < 30; ++i) deep += "level" + std::to_string(i) + "/";
  File(deep + "vusk.exe");
  Dir(root_ + "level0/level1/side/more");
  Roots({root_});
  TargetScanner scanner;
  EXPECT_EQ(PollScan(scanner), deep + "Vusk.exe");
}

// A directory whose entries do not fit one read (about 100 KB of them): the
// probe reads it all, the listing after it must still deliver every entry
// exactly once.
TEST_F(ScanPosix, LargeDirectoryIsProbedAndListedCompletely) {
  const std::string big = root_ + "big/";
  Dir(root_ + "big");
  const int kFiles = 800;
  for (int i = 0; i < kFiles; ++i) {
    char name[160];
    snprintf(name, sizeof name, "entry-%05d-with-a-long-name-%080d.dat", i, 0);
    ASSERT_TRUE(WriteFileBytes(big + name, {}));
  }
  platform::FindData entry;
  int first = 0;
  EXPECT_EQ(platform::ProbePath((big + "missing.exe").c_str(), &entry), 0);
  platform::Listing* listing = platform::OpenListing((big + "*").c_str(), &entry, &first);
  ASSERT_NE(listing, nullptr);
  std::set<std::string> names;
  int delivered = 0;
  do {
    names.insert(entry.name);
    ++delivered;
  } while (platform::NextListingEntry(listing, &entry));
  platform::CloseListing(listing);
  EXPECT_EQ(delivered, kFiles + 2);
  EXPECT_EQ(names.size(), static_cast<size_t>(kFiles + 2));
  EXPECT_TRUE(names.count("entry-00799-with-a-long-name-" + std::string(80, '0') + ".dat"));

  for (int i : {0, 400, 799}) {
    char name[160];
    snprintf(name, sizeof name, "ENTRY-%05d-WITH-A-LONG-NAME-%080d.DAT", i, 0);
    EXPECT_EQ(platform::ProbePath((big + name).c_str(), &entry), 1) << name;
    EXPECT_EQ(entry.attributes, platform::kAttributeNormal);
    EXPECT_EQ(std::string(entry.name).substr(0, 5), "entry");
  }
  // A listing not preceded by a probe reads lazily, and a listing of
  // another directory is not confused with the probed one.
  EXPECT_EQ(platform::ProbePath((big + "missing.exe").c_str(), &entry), 0);
  listing = platform::OpenListing((root_ + "*").c_str(), &entry, &first);
  ASSERT_NE(listing, nullptr);
  names.clear();
  do names.insert(entry.name);
  while (platform::NextListingEntry(listing, &entry));
  platform::CloseListing(listing);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "big"}));
}

TEST_F(ScanPosix, MissingOrOverlongPathsFailQuietly) {
  platform::FindData entry;
  int first = 0;
  EXPECT_EQ(platform::ProbePath((root_ + "nowhere/Vusk.exe").c_str(), &entry), 0);
  EXPECT_EQ(platform::OpenListing((root_ + "nowhere/*").c_str(), &entry, &first), nullptr);
  EXPECT_EQ(platform::OpenListing((root_ + "no-star/").c_str(), &entry, &first), nullptr);
  const std::string long_path = root_ + std::string(300, 'x') + "/Vusk.exe";
  EXPECT_EQ(platform::ProbePath(long_path.c_str(), &entry), 0);
  const char* bad[] = {"relative/"};
  EXPECT_EQ(platform::UseSearchRoots(bad, 1), 0);
}

// The remembered directory misses, the walk runs, and the scan reports that
// it found nothing rather than the earlier path.
TEST_F(ScanPosix, TargetRemovedAfterAHitIsNotFoundByTheNextScan) {
  File(root_ + "app/Vusk.exe");
  Roots({root_});
  RecordingSystem system;
  TargetScanner scanner(system);
  ASSERT_EQ(PollScan(scanner), root_ + "app/Vusk.exe");
  ASSERT_EQ(unlink((root_ + "app/Vusk.exe").c_str()), 0);
  system.probes.clear();
  EXPECT_EQ(PollScan(scanner), "");
  EXPECT_EQ(system.probes,
            (Lines{root_ + "app/Vusk.exe", root_ + "Vusk.exe", root_ + "app/Vusk.exe"}));
}

}  // namespace
