// The Win32 backend under Wine: the drive list, the probe and listings on a
// real tree in c:, links, critical-error boxes, and whole scans with the real
// TargetScanner. The test prefix is shared with other tests, which run one
// after another: this one keeps to its own folders and removes them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scanner/poll_scan.h"
#include "scanner/target_scanner.h"
#include "support/scratch.h"

namespace {

typedef std::vector<std::string> Lines;

const char kTree[] = "C:\\scanner-test\\";
// Found by a scan of the whole of c:, so unlike anything else there.
const char kUniqueName[] = "Vusk-Scanner-Test-5d1c.exe";

void Dir(const std::string& path) {
  for (size_t at = 3; (at = path.find('\\', at + 1)) != std::string::npos;)
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryA(path.c_str(), nullptr);
}

void File(const std::string& path) {
  Dir(path.substr(0, path.rfind('\\')));
  ASSERT_TRUE(WriteFileBytes(path, {1, 2, 3})) << path;
}

// The real platform, with one chosen directory of c: as the only drive
// root (a fixed drive, as c: is), and a note of every probe.
class TreeSystem : public ScanSystem {
 public:
  explicit TreeSystem(const std::string& root) : root_(root) {}
  void GetDriveList(char* buffer, int size) override {
    ASSERT_LT(root_.size() + 2, static_cast<size_t>(size));
    memcpy(buffer, root_.c_str(), root_.size() + 1);
    buffer[root_.size() + 1] = 0;
  }
  unsigned DriveType(const char* root) override {
    if (root_ != root) return platform::kDriveNoRootDir;
    return ScanSystem::DriveType("C:\\");
  }
  int Probe(const char* path, platform::FindData* entry) override {
    probes.push_back(path);
    error_modes.push_back(GetThreadErrorMode());
    return ScanSystem::Probe(path, entry);
  }
  Lines probes;
  std::vector<DWORD> error_modes;

 private:
  std::string root_;
};

// Under Wine a whole-drive walk takes longer.
std::string Scan(TargetScanner& scanner, const char* name = "Vusk.exe") {
  return PollScan(scanner, name, 1500);
}

class ScanWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(std::string(kTree, strlen(kTree) - 1));
    Dir(std::string(kTree, strlen(kTree) - 1));
  }
  void TearDown() override { RemoveTree(std::string(kTree, strlen(kTree) - 1)); }
  std::string T(const std::string& rest) const { return kTree + rest; }
};

TEST_F(ScanWin32, DriveListHoldsDriveCAsAFixedDrive) {
  char list[platform::kDriveListBuffer];
  memset(list, 'x', sizeof list);
  platform::GetDriveRoots(list, sizeof list);
  Lines roots;
  for (const char* r = list; *r; r += strlen(r) + 1) roots.push_back(r);
  ASSERT_FALSE(roots.empty());
  EXPECT_NE(std::find(roots.begin(), roots.end(), "C:\\"), roots.end());
  for (const std::string& r : roots) {
    EXPECT_EQ(r.size(), 3u);
    EXPECT_EQ(r.substr(1), ":\\");
  }
  EXPECT_EQ(platform::DriveTypeOf("C:\\"), static_cast<unsigned>(platform::kDriveFixed));
  // A buffer too small for the list gives an empty list, never a cut one.
  char tiny[3] = {'x', 'x', 'x'};
  platform::GetDriveRoots(tiny, sizeof tiny);
  EXPECT_EQ(tiny[0], 0);
}

TEST_F(ScanWin32, ProbeMatchesFilesInAnyCaseButNoDirectoriesOrWildcards) {
  File(T("app\\VUSK.EXE"));
  Dir(T("app\\Folder.exe"));
  platform::FindData entry;
  EXPECT_EQ(platform::ProbePath(T("app\\Vusk.exe").c_str(), &entry), 1);
  EXPECT_STREQ(entry.name, "VUSK.EXE");
  EXPECT_EQ(platform::ProbePath(T("app\\folder.EXE").c_str(), &entry), 0);
  EXPECT_EQ(platform::ProbePath(T("app\\Missing.exe").c_str(), &entry), 0);
  EXPECT_EQ(platform::ProbePath(T("app\\*.exe").c_str(), &entry), 0);
  EXPECT_EQ(platform::ProbePath(T("app\\Vusk.ex?").c_str(), &entry), 0);
  EXPECT_EQ(platform::ProbePath(T("nowhere\\Vusk.exe").c_str(), &entry), 0);
}

TEST_F(ScanWin32, ListingDeliversEveryEntryWithItsDirectoryBit) {
  File(T("list\\a.txt"));
  Dir(T("list\\Sub"));
  Dir(T("list\\.hidden"));
  platform::FindData entry;
  int first = 0;
  platform::Listing* listing = platform::OpenListing(T("list\\*").c_str(), &entry, &first);
  ASSERT_NE(listing, nullptr);
  std::set<std::string> dirs, files;
  do {
    (entry.attributes & platform::kAttributeDirectory ? dirs : files).insert(entry.name);
  } while (platform::NextListingEntry(listing, &entry));
  platform::CloseListing(listing);
  EXPECT_EQ(dirs, (std::set<std::string>{".", "..", ".hidden", "Sub"}));
  EXPECT_EQ(files, std::set<std::string>{"a.txt"});
  EXPECT_EQ(platform::OpenListing(T("missing\\*").c_str(), &entry, &first), nullptr);
  const std::string too_long = T(std::string(260, 'x') + "\\*");
  EXPECT_EQ(platform::OpenListing(too_long.c_str(), &entry, &first), nullptr);
}

TEST_F(ScanWin32, FindsTheInstallationInATreeWithDecoys) {
  Dir(T("Apps\\Other\\bin"));
  File(T("Apps\\.cache\\Vusk.exe"));
  File(T("Program Files\\Orvendel\\Tessaline\\vusk.EXE"));
  File(T("Program Files\\Orvendel\\Tessaline\\old\\Vusk.exe"));
  File(T("Program Files\\Orvendel\\Tessaline\\orvcore.dll"));
  Dir(T("Windows\\System32"));
  TreeSystem system(kTree);
  TargetScanner scanner(system);
  EXPECT_EQ(Scan(scanner), T("Program Files\\Orvendel\\Tessaline\\Vusk.exe"));
  // The worker ran with critical-error boxes off.
  ASSERT_FALSE(system.error_modes.empty());
  for (DWORD mode : system.error_modes) EXPECT_TRUE(mode & SEM_FAILCRITICALERRORS);
  EXPECT_EQ(system.probes.front(), T("Vusk.exe"));
  for (const std::string& p : system.probes) EXPECT_EQ(p.find(".cache"), std::string::npos) << p;
  // Once more: one probe of the remembered directory.
  system.probes.clear();
  EXPECT_EQ(Scan(scanner), T("Program Files\\Orvendel\\Tessaline\\Vusk.exe"));
  EXPECT_EQ(system.probes, Lines{T("Program Files\\Orvendel\\Tessaline\\Vusk.exe")});
}

// A directory link that leads to a Vusk.exe: made here where Windows makes
// one; under Wine, which accepts the call but makes no link, the Unix
// symbolic link that the test's set-up made (make_links.cmake), which Wine
// lists as a reparse point.
TEST_F(ScanWin32, LinksToDirectoriesAreNotEntered) {
  File(T("elsewhere\\Vusk.exe"));
  Dir(T("walk"));
  std::string walk = T("walk\\");
  if (!CreateSymbolicLinkA(T("walk\\link").c_str(), T("elsewhere").c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      GetFileAttributesA(T("walk\\link").c_str()) == INVALID_FILE_ATTRIBUTES)
    walk = "C:\\.scanner-links\\walk\\";
  WIN32_FIND_DATAA listed;
  HANDLE find = FindFirstFileA((walk + "link").c_str(), &listed);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << walk;
  FindClose(find);
  EXPECT_TRUE(listed.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(listed.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  // A directory, link or not, is never the probe's hit.
  platform::FindData entry;
  EXPECT_EQ(platform::ProbePath((walk + "link").c_str(), &entry), 0);
  // What the link leads to is there, and the walk does not go through it.
  EXPECT_EQ(platform::ProbePath((walk + "link\\Vusk.exe").c_str(), &entry), 1);
  TreeSystem system(walk);
  TargetScanner scanner(system);
  EXPECT_EQ(Scan(scanner), "");
  EXPECT_EQ(system.probes, Lines{walk + "Vusk.exe"});
}

TEST_F(ScanWin32, WholeDriveScanFindsTheTargetThroughTheRealDriveList) {
  File(T("Program Files\\Orvendel\\Tessaline\\VUSK-SCANNER-TEST-5D1C.EXE"));
  TargetScanner scanner;
  EXPECT_EQ(Scan(scanner, kUniqueName), T("Program Files\\Orvendel\\Tessaline\\") + kUniqueName);
  scanner.lock().Enter();
  const std::string progress = scanner.progress_directory();
  scanner.lock().Leave();
  EXPECT_EQ(progress, T("Program Files\\Orvendel\\Tessaline\\"));
}

TEST_F(ScanWin32, StopEndsAWholeDriveScan) {
  TargetScanner scanner;
  ASSERT_EQ(scanner.Start("No-Such-File-Anywhere.exe"), 1);
  platform::SleepMilliseconds(20);
  scanner.Stop();
  EXPECT_FALSE(scanner.running());
  EXPECT_EQ(scanner.FoundPath(), nullptr);
}

TEST(QuietCriticalErrors, TurnsTheBoxesOffForTheCallingThreadOnly) {
  const DWORD before = GetThreadErrorMode();
  struct Result {
    DWORD mode;
  } result = {0};
  uint32_t id = 0;
  platform::ThreadHandle thread = platform::StartThread(
      [](void* r) -> uint32_t {
        SetThreadErrorMode(0, nullptr);
        platform::QuietCriticalErrors();
        static_cast<Result*>(r)->mode = GetThreadErrorMode();
        return 0;
      },
      &result, &id);
  ASSERT_NE(thread, nullptr);
  platform::ReleaseThread(thread);
  EXPECT_TRUE(result.mode & SEM_FAILCRITICALERRORS);
  EXPECT_EQ(GetThreadErrorMode(), before);
}

}  // namespace
