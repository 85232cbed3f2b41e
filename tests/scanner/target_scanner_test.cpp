// The search's rules on an in-memory volume, with the worker run inline so
// every scan is deterministic: drive types, walk order, the probe, path
// limits, remembered directories, and a stop at every step.
#include "scanner/target_scanner.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "scanner/memory_volume.h"

// Reaches the scanner's remembered directories.
struct TargetScannerTestPeer {
  static void Remember(TargetScanner& scanner, const std::string& directory) {
    scanner.Remember(directory.c_str());
  }
  static std::vector<std::string> Remembered(const TargetScanner& scanner) {
    std::vector<std::string> out;
    for (RememberedDirList::Node* n = scanner.remembered_.first(); n != scanner.remembered_.end();
         n = n->next)
      out.push_back(n->directory);
    EXPECT_EQ(static_cast<size_t>(scanner.remembered_.count()), out.size());
    return out;
  }
};

namespace {

typedef TargetScannerTestPeer Peer;
typedef std::vector<std::string> Lines;

const char kTarget[] = "Vusk.exe";

// One whole scan (the inline worker runs inside Start); the found path or
// "" and the scanner idle again afterwards.
std::string Scan(TargetScanner& scanner, MemoryVolume& volume, const char* name = kTarget) {
  EXPECT_EQ(scanner.Start(name), 1);
  EXPECT_FALSE(scanner.running());
  scanner.Stop();
  EXPECT_EQ(volume.open_listings(), 0) << "a listing was left open";
  EXPECT_LE(volume.longest_path(), 259u) << "a path past the limit reached the platform";
  const char* found = scanner.FoundPath();
  return found ? found : "";
}

Lines Probes(const std::vector<std::string>& dirs) {
  Lines out;
  for (const std::string& d : dirs) out.push_back("probe " + P(d) + kTarget);
  return out;
}

TEST(TargetScannerSearch, NothingIsFoundBeforeTheFirstHit) {
  MemoryVolume volume;
  TargetScanner scanner(volume);
  EXPECT_EQ(scanner.FoundPath(), nullptr);
  char out[platform::kPathBuffer] = "untouched";
  EXPECT_EQ(scanner.CopyFoundPath(out), 0);
  EXPECT_STREQ(out, "untouched");
  EXPECT_STREQ(scanner.progress_directory(), "");
  EXPECT_FALSE(scanner.running());
}

TEST(TargetScannerSearch, TargetInADriveRootIsFoundAndTheRootRemembered) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/Vusk.exe");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), P("C:/Vusk.exe"));
  char out[platform::kPathBuffer];
  ASSERT_EQ(scanner.CopyFoundPath(out), 1);
  EXPECT_EQ(std::string(out), P("C:/Vusk.exe"));
  EXPECT_EQ(Peer::Remembered(scanner), Lines{P("C:/")});
  EXPECT_EQ(scanner.progress_directory(), P("C:/"));
}

TEST(TargetScannerSearch, DriveTypesZeroToTwoAreSkippedAndEveryOtherTypeSearched) {
  for (unsigned type = 0; type <= 8; ++type) {
    MemoryVolume volume;
    volume.AddDrive("X:", type);
    volume.AddFile("X:/Vusk.exe");
    TargetScanner scanner(volume);
    const bool searched = type >= platform::kDriveFixed;
    EXPECT_EQ(Scan(scanner, volume), searched ? P("X:/Vusk.exe") : "") << type;
    EXPECT_EQ(volume.probes(), searched ? 1 : 0) << type;
    EXPECT_EQ(volume.Calls("open").size(), 0u) << type;
  }
}

TEST(TargetScannerSearch, WalkIsDepthFirstInListingOrderAndProbesBeforeItDescends) {
  MemoryVolume volume;
  volume.AddDrive("A:", platform::kDriveRemovable);
  volume.AddDirectory("A:/stick");
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddDirectory("C:/b/x");
  volume.AddDirectory("C:/a/.git/objects");
  volume.AddDirectory("C:/a/..data");
  volume.AddDirectory("C:/a/junction",
                      platform::kAttributeDirectory | platform::kAttributeReparsePoint);
  volume.AddFile("C:/a/junction/Vusk.exe");
  volume.AddFile("C:/a/file.txt");
  volume.AddDirectory("C:/a/y");
  volume.AddDrive("N:", platform::kDriveRemote);
  volume.AddDirectory("N:/z");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), "");
  EXPECT_EQ(volume.Calls("probe"),
            Probes({"C:/", "C:/b/", "C:/b/x/", "C:/a/", "C:/a/y/", "N:/", "N:/z/"}));
  EXPECT_EQ(volume.Calls("type"), (Lines{"type " + P("A:/"), "type " + P("C:/"),
                                         "type " + P("N:/")}));
  // Every opened listing was closed, and the last directory entered shows.
  EXPECT_EQ(volume.Calls("open").size(), volume.Calls("close").size());
  EXPECT_EQ(scanner.progress_directory(), P("N:/z/"));
  EXPECT_TRUE(Peer::Remembered(scanner).empty());
}

TEST(TargetScannerSearch, FirstCopyInDepthFirstOrderWins) {
  {
    // A copy in a directory beats every copy below it.
    MemoryVolume volume;
    volume.AddDrive("C:", platform::kDriveFixed);
    volume.AddDirectory("C:/app/deep");
    volume.AddFile("C:/app/deep/Vusk.exe");
    volume.AddFile("C:/app/Vusk.exe");
    TargetScanner scanner(volume);
    EXPECT_EQ(Scan(scanner, volume), P("C:/app/Vusk.exe"));
    EXPECT_EQ(volume.probes(), 2);
  }
  {
    // Among siblings the listing order decides, and the whole subtree of
    // the first comes before the second.
    MemoryVolume volume;
    volume.AddDrive("C:", platform::kDriveFixed);
    volume.AddDirectory("C:/zeta/one/two");
    volume.AddFile("C:/zeta/one/two/Vusk.exe");
    volume.AddFile("C:/alpha/Vusk.exe");
    TargetScanner scanner(volume);
    EXPECT_EQ(Scan(scanner, volume), P("C:/zeta/one/two/Vusk.exe"));
    EXPECT_EQ(Peer::Remembered(scanner), Lines{P("C:/zeta/one/two/")});
  }
}

TEST(TargetScannerSearch, FoundPathHasTheListedDirectoriesAndTheSearchedName) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddDirectory("C:/Program Files/Orvendel/Tessaline");
  volume.AddFile("C:/Program Files/Orvendel/Tessaline/VUSK.EXE");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), P("C:/Program Files/Orvendel/Tessaline/Vusk.exe"));
}

TEST(TargetScannerSearch, DirectoryNamedLikeTheTargetIsWalkedNotHit) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddDirectory("C:/odd/vusk.exe/inner");
  volume.AddFile("C:/odd/vusk.exe/inner/VUSK.exe");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), P("C:/odd/vusk.exe/inner/Vusk.exe"));
  EXPECT_EQ(Peer::Remembered(scanner), Lines{P("C:/odd/vusk.exe/inner/")});
}

TEST(TargetScannerSearch, DotDirectoriesLinksAndFilesAreNeverEntered) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/.hidden/Vusk.exe");
  volume.AddFile("C:/..two/Vusk.exe");
  volume.AddDirectory("C:/link", platform::kAttributeDirectory | platform::kAttributeReparsePoint);
  volume.AddFile("C:/link/Vusk.exe");
  volume.AddFile("C:/plain");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), "");
  EXPECT_EQ(volume.Calls("probe"), Probes({"C:/"}));
}

TEST(TargetScannerSearch, UnreadableDirectoryCountsAsEmpty) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/locked/sub/Vusk.exe");
  volume.SetUnreadable("C:/locked");
  volume.AddFile("C:/open/Vusk.exe");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), P("C:/open/Vusk.exe"));
  EXPECT_EQ(volume.Calls("probe"), Probes({"C:/", "C:/locked/", "C:/open/"}));
}

TEST(TargetScannerSearch, NoRememberedDirectoryAndNoSearchableDriveEndsAtOnce) {
  {
    MemoryVolume volume;
    TargetScanner scanner(volume);
    EXPECT_EQ(Scan(scanner, volume), "");
    EXPECT_EQ(volume.steps(), 1);  // the empty drive list
  }
  {
    MemoryVolume volume;
    volume.AddDrive("A:", platform::kDriveRemovable);
    volume.AddFile("A:/Vusk.exe");
    TargetScanner scanner(volume);
    EXPECT_EQ(Scan(scanner, volume), "");
    EXPECT_EQ(volume.steps(), 2);  // the list and one drive type
  }
}

TEST(TargetScannerSearch, SecondScanFindsTheTargetWithOneProbeOfItsRememberedDirectory) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/apps/tess/Vusk.exe");
  volume.AddDirectory("C:/zzz");
  TargetScanner scanner(volume);
  ASSERT_EQ(Scan(scanner, volume), P("C:/apps/tess/Vusk.exe"));
  const std::string progress = scanner.progress_directory();
  volume.ClearLog();
  const int steps = volume.steps();
  EXPECT_EQ(Scan(scanner, volume), P("C:/apps/tess/Vusk.exe"));
  EXPECT_EQ(volume.steps() - steps, 1);
  EXPECT_EQ(volume.Calls("probe"), Probes({"C:/apps/tess/"}));
  EXPECT_EQ(scanner.progress_directory(), progress);
  EXPECT_EQ(Peer::Remembered(scanner), Lines{P("C:/apps/tess/")});
}

// After a hit, the installation is moved or removed: the next scan misses
// in the remembered directory, walks the drives, and reports only what it
// finds itself, never the earlier path.
TEST(TargetScannerSearch, SecondScanAfterTheTargetMovedOrWentWalksTheDrives) {
  for (bool moved : {true, false}) {
    MemoryVolume volume;
    volume.AddDrive("C:", platform::kDriveFixed);
    volume.AddFile("C:/apps/Vusk.exe");
    TargetScanner scanner(volume);
    ASSERT_EQ(Scan(scanner, volume), P("C:/apps/Vusk.exe"));
    volume.Remove("C:/apps/Vusk.exe");
    if (moved) volume.AddFile("C:/new/Vusk.exe");
    volume.ClearLog();
    EXPECT_EQ(Scan(scanner, volume), moved ? P("C:/new/Vusk.exe") : "") << moved;
    EXPECT_EQ(volume.Calls("drives").size(), 1u);
    EXPECT_EQ(volume.Calls("probe").front(), Probes({"C:/apps/"}).front());
    const Lines remembered =
        moved ? Lines{P("C:/new/"), P("C:/apps/")} : Lines{P("C:/apps/")};
    EXPECT_EQ(Peer::Remembered(scanner), remembered);
  }
}

// Entries the platform cannot deliver (names too long for the 8-bit calls)
// are passed over, the first of a listing too, and the listing goes on; the
// record they leave is never used.
TEST(TargetScannerSearch, UndeliverableEntriesAreSkippedAndTheListingGoesOn) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddDirectory("C:/first-of-root");
  volume.AddDirectory("C:/b/x");
  volume.AddDirectory("C:/b/long");
  volume.AddFile("C:/b/z/Vusk.exe");
  volume.AddDirectory("C:/garbled");
  volume.SetUndeliverable("C:/first-of-root");
  volume.SetUndeliverable("C:/b/long");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), P("C:/b/z/Vusk.exe"));
  for (const std::string& line : volume.Log())
    EXPECT_EQ(line.find("garbled"), std::string::npos) << line;
  EXPECT_EQ(volume.Calls("open"), (Lines{"open " + P("C:/*"), "open " + P("C:/b/*"),
                                         "open " + P("C:/b/x/*")}));
}

TEST(TargetScannerSearch, RememberedDirectoriesAreProbedMostRecentFirstAndKeepTheirOrder) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddFile("C:/one/Vusk.exe");
  volume.AddFile("C:/two/Vusk.exe");
  volume.AddDirectory("C:/three");
  TargetScanner scanner(volume);
  Peer::Remember(scanner, P("C:/one/"));
  Peer::Remember(scanner, P("C:/two/"));
  Peer::Remember(scanner, P("C:/three/"));
  const Lines order = {P("C:/three/"), P("C:/two/"), P("C:/one/")};
  ASSERT_EQ(Peer::Remembered(scanner), order);
  EXPECT_EQ(Scan(scanner, volume), P("C:/two/Vusk.exe"));
  EXPECT_EQ(volume.Calls("probe"), Probes({"C:/three/", "C:/two/"}));
  EXPECT_TRUE(volume.Calls("drives").empty());
  EXPECT_EQ(Peer::Remembered(scanner), order);
  EXPECT_STREQ(scanner.progress_directory(), "");
}

TEST(TargetScannerSearch, RememberingADirectoryAgainMovesItToTheFront) {
  MemoryVolume volume;
  TargetScanner scanner(volume);
  Peer::Remember(scanner, P("C:/a/"));
  Peer::Remember(scanner, P("C:/b/"));
  Peer::Remember(scanner, P("C:/c/"));
  Peer::Remember(scanner, P("C:/b/"));
  EXPECT_EQ(Peer::Remembered(scanner), (Lines{P("C:/b/"), P("C:/c/"), P("C:/a/")}));
  Peer::Remember(scanner, P("C:/a/"));
  EXPECT_EQ(Peer::Remembered(scanner), (Lines{P("C:/a/"), P("C:/b/"), P("C:/c/")}));
  // Equality is exact: another letter case is another directory.
  Peer::Remember(scanner, P("C:/A/"));
  EXPECT_EQ(Peer::Remembered(scanner).size(), 4u);
}

// A directory of `length` characters (root and trailing separator
// included) on drive C.
std::string DirectoryOfLength(size_t length, char fill = 'd') {
  return "C:/" + std::string(length - 4, fill) + "/";
}

TEST(TargetScannerSearch, TargetIsFoundOnlyWithinThePathLimit) {
  for (size_t total : {258u, 259u, 260u, 261u}) {
    MemoryVolume volume;
    volume.AddDrive("C:", platform::kDriveFixed);
    const std::string dir = DirectoryOfLength(total - strlen(kTarget));
    volume.AddFile(dir + kTarget);
    TargetScanner scanner(volume);
    EXPECT_EQ(Scan(scanner, volume), total <= 259 ? P(dir) + kTarget : "") << total;
  }
}

TEST(TargetScannerSearch, ListingPatternPastThePathLimitCountsAsEmpty) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  const std::string listed = DirectoryOfLength(258, 'a');   // pattern of 259
  const std::string too_long = DirectoryOfLength(259, 'b');  // pattern of 260
  volume.AddDirectory(listed + "sub");
  volume.AddDirectory(too_long + "sub");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), "");
  const Lines opens = volume.Calls("open");
  EXPECT_EQ(opens, (Lines{"open " + P("C:/*"), "open " + P(listed) + "*"}));
}

TEST(TargetScannerSearch, LongProgressDirectoryIsShortenedToItsEnd) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  const std::string parent = DirectoryOfLength(258);
  // Entered (the parent's pattern is within the limit), but neither probed
  // nor listed: its directory string alone has 379 characters.
  volume.AddDirectory(parent + std::string(120, 'x') + "/deeper");
  TargetScanner scanner(volume);
  EXPECT_EQ(Scan(scanner, volume), "");
  EXPECT_EQ(volume.probes(), 1);
  const std::string shown = scanner.progress_directory();
  EXPECT_LE(shown.size(), 259u);
  EXPECT_EQ(shown.substr(0, 3), "...");
  const std::string tail = P("/" + std::string(120, 'x') + "/");
  ASSERT_GE(shown.size(), tail.size());
  EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
}

// Cut behind "..." in a name of three-byte UTF-8 characters and zero to two
// ASCII letters, so the cut falls at each offset within a character: the
// shown end starts on a character, never inside one.
TEST(TargetScannerSearch, ShortenedProgressDirectoryKeepsWholeUtf8Characters) {
  std::string characters;
  for (int i = 0; i < 85; ++i) characters += "\xe4\xbd\xa0";
  for (size_t letters : {0u, 1u, 2u}) {
    MemoryVolume volume;
    volume.AddDrive("C:", platform::kDriveFixed);
    const std::string name = characters + std::string(letters, 'x');
    volume.AddDirectory(DirectoryOfLength(258) + name);
    TargetScanner scanner(volume);
    EXPECT_EQ(Scan(scanner, volume), "");
    const std::string shown = scanner.progress_directory();
    const std::string full = P(DirectoryOfLength(258)) + name + platform::kPathSeparator;
    ASSERT_EQ(shown.substr(0, 3), "...");
    const std::string end = shown.substr(3);
    EXPECT_EQ(full.substr(full.size() - end.size()), end) << letters;
    EXPECT_NE(static_cast<unsigned char>(end[0]) & 0xC0, 0x80u) << letters;
    EXPECT_GE(end.size(), 256u - 2);  // at most the rest of one character dropped
  }
}

// Each check point of the running flag: a stop injected while each step of
// the search is under way. After it, the only steps allowed are the probe
// of a root whose drive type was being asked for, and one next-entry step
// per listing that was open (each level asks for its next entry before it
// looks at the flag again); every listing is closed, and nothing is found
// or remembered unless that one probe hits.
struct StopCase {
  const char* what;
  bool target_in_root;
};

void BuildStopTree(MemoryVolume& volume, bool target_in_root) {
  volume.AddDrive("A:", platform::kDriveRemovable);
  volume.AddDrive("C:", platform::kDriveFixed);
  volume.AddDirectory("C:/a/b");
  volume.AddDirectory("C:/a/c/d");
  volume.AddFile("C:/a/file");
  volume.AddDirectory("C:/m/.dot");
  volume.AddDrive("E:", platform::kDriveFixed);
  volume.AddDirectory("E:/x/y");
  volume.AddFile(target_in_root ? "E:/Vusk.exe" : "E:/x/y/Vusk.exe");
}

TEST(TargetScannerSearch, StopAtEveryStepEndsTheScanAtTheNextCheckPoint) {
  for (bool target_in_root : {false, true}) {
    int total = 0;
    {
      MemoryVolume volume;
      BuildStopTree(volume, target_in_root);
      TargetScanner scanner(volume);
      ASSERT_NE(Scan(scanner, volume), "");
      total = volume.steps();
    }
    ASSERT_GT(total, 20);
    for (int k = 0; k < total; ++k) {
      SCOPED_TRACE("stop at step " + std::to_string(k) + (target_in_root ? " (root)" : ""));
      MemoryVolume volume;
      BuildStopTree(volume, target_in_root);
      TargetScanner scanner(volume);
      size_t stop_line = 0;
      int open_at_stop = 0;
      volume.before_step = [&](int step) {
        if (step != k) return;
        stop_line = volume.Log().size() - 1;
        open_at_stop = volume.open_listings();
        scanner.Stop();
      };
      const std::string found = Scan(scanner, volume);
      const Lines log = volume.Log();
      ASSERT_LT(stop_line, log.size());
      const std::string stopped = log[stop_line];
      Lines after;
      int nexts = 0;
      for (size_t i = stop_line + 1; i < log.size(); ++i) {
        const std::string& l = log[i];
        if (l == "next") ++nexts;
        if (l.rfind("probe", 0) == 0 || l.rfind("open", 0) == 0 || l.rfind("type", 0) == 0 ||
            l == "drives")
          after.push_back(l);
      }
      EXPECT_LE(nexts, open_at_stop);
      if (stopped.rfind("type ", 0) == 0 && stopped != "type " + P("A:/")) {
        // The root being entered is still probed, and a hit there counts.
        const std::string root = stopped.substr(5);
        EXPECT_EQ(after, Lines{"probe " + root + kTarget});
        const bool hit = target_in_root && root == P("E:/");
        EXPECT_EQ(found, hit ? P("E:/Vusk.exe") : "");
        EXPECT_EQ(Peer::Remembered(scanner), hit ? Lines{P("E:/")} : Lines{});
      } else if (stopped == "probe " + found) {
        // The probe under way when the stop came hit: it counts.
        EXPECT_EQ(after, Lines{});
        EXPECT_EQ(Peer::Remembered(scanner).size(), 1u);
      } else {
        EXPECT_EQ(after, Lines{});
        EXPECT_EQ(found, "");
        EXPECT_TRUE(Peer::Remembered(scanner).empty());
      }
      EXPECT_EQ(volume.open_listings(), 0);
    }
  }
}

TEST(TargetScannerSearch, StopDuringTheRememberedSearchTakesEffectAfterEveryProbe) {
  for (bool hit_in_last : {false, true}) {
    MemoryVolume volume;
    volume.AddDrive("C:", platform::kDriveFixed);
    volume.AddFile("C:/walk/Vusk.exe");
    if (hit_in_last) volume.AddFile("C:/r1/Vusk.exe");
    TargetScanner scanner(volume);
    Peer::Remember(scanner, P("C:/r1/"));
    Peer::Remember(scanner, P("C:/r2/"));
    Peer::Remember(scanner, P("C:/r3/"));
    volume.before_step = [&](int step) {
      if (step == 0) scanner.Stop();
    };
    EXPECT_EQ(Scan(scanner, volume), hit_in_last ? P("C:/r1/Vusk.exe") : "");
    EXPECT_EQ(volume.Calls("probe"), Probes({"C:/r3/", "C:/r2/", "C:/r1/"}));
    EXPECT_TRUE(volume.Calls("drives").empty());
  }
}

TEST(TargetScannerSearch, TheWorkerQuietsCriticalErrorsBeforeItTouchesADrive) {
  MemoryVolume volume;
  volume.AddDrive("C:", platform::kDriveFixed);
  TargetScanner scanner(volume);
  Scan(scanner, volume);
  const Lines log = volume.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "start");
  EXPECT_EQ(log[1], "prepare");
  EXPECT_EQ(log[2], "drives");
}

TEST(TargetScannerSearch, NameLongerThanAPathIsRefused) {
  MemoryVolume volume;
  TargetScanner scanner(volume);
  EXPECT_EQ(scanner.Start(std::string(260, 'n').c_str()), 0);
  EXPECT_EQ(scanner.Start(nullptr), 0);
  EXPECT_FALSE(scanner.running());
  EXPECT_TRUE(volume.Log().empty());
  EXPECT_EQ(scanner.Start(std::string(259, 'n').c_str()), 1);
}

}  // namespace
