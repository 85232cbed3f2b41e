// The patcher end to end, under Wine: a real installation in the prefix's
// c:, the real program started as its own process, driven like a user.
#include <windows.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "driver.h"
#include "payload/applier_harness.h"
#include "resources/resource_ids.h"
#include "support/scratch.h"

namespace {

// Staged by the build into a dot directory, which the scan never enters.
const std::string kStage = "C:\\.patcher-e2e";
// The build's patcher, or another copy named by E2E_PATCHER (a signed one).
const std::string kPatcher =
    getenv("E2E_PATCHER") ? getenv("E2E_PATCHER") : kStage + "\\" + PATCHER_E2E_PROGRAM;
const std::string kOld = kStage + "\\release-1.24";
const std::string kNew = kStage + "\\release-1.25";
// Kept apart from the staged files, which each build copies afresh.
const std::string kShots = "C:\\.e2e-screenshots";

const std::string kOrvendel = "C:\\Program Files\\Orvendel";
const std::string kInstall = kOrvendel + "\\Tessaline";
const std::string kFoundPath = kInstall + "\\Vusk.exe";
const std::string kMoved = kOrvendel + "\\Tessaline 2";  // where it may be moved
const std::string kDecoys = "C:\\Decoys";

const char kStringStop[] = "Stop";
const char kStringScan[] = "Scan...";
const char kStringPatched[] = "Tessaline was successfully patched!";
const char kStringPatchFailed[] =
    "There was a problem during the patch!   You may try downloading the full version or "
    "contact Orvendel with a description of the problem.";
const char kStringScanFailed[] =
    "The scan failed to turn up anything!  Did you uninstall or change its name?";

enum { kScan = 1001, kBrowse = 1002, kPath = 1003, kPatch = 1004, kLabel = 1006, kMessage = 1007 };

// Every file of `release` is in `dir` under a name equal but for case, with
// the same bytes, and `dir` holds nothing else.
::testing::AssertionResult HoldsRelease(const std::string& dir, const std::string& release) {
  const std::vector<std::string> have = ListNames(dir + "\\"), want = ListNames(release + "\\");
  if (have.size() != want.size())
    return ::testing::AssertionFailure() << dir << " holds " << have.size() << " files, "
                                         << release << " " << want.size();
  for (const std::string& name : want) {
    if (!SameBytes(dir + "\\" + name, release + "\\" + name))
      return ::testing::AssertionFailure() << name << " in " << dir << " differs from " << release;
  }
  return ::testing::AssertionSuccess();
}

class PatcherEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CreateDirectoryA(kShots.c_str(), nullptr);
    // Enough directories that a scan of c: takes a while to walk.
    CreateDirectoryA(kDecoys.c_str(), nullptr);
    for (int i = 0; i < 30; ++i) {
      std::string d = kDecoys + "\\d" + std::to_string(i);
      CreateDirectoryA(d.c_str(), nullptr);
      for (int j = 0; j < 30; ++j) CreateDirectoryA((d + "\\e" + std::to_string(j)).c_str(), nullptr);
    }
  }
  static void TearDownTestSuite() {
    RemoveTree(kDecoys);
    RemoveTree(kOrvendel);
  }

  void SetUp() override {
    Uninstall();
    CreateDirectoryA(kOrvendel.c_str(), nullptr);
    ASSERT_TRUE(CopyTree(kOld, kInstall));
    ASSERT_TRUE(HoldsRelease(kInstall, kOld));
  }
  void TearDown() override {
    if (HasFailure()) Shot(std::string("failed-") + CurrentName());
    patcher_.Kill();
    Uninstall();
  }

  static std::string CurrentName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void Shot(const std::string& name) { SaveScreenshot(kShots + "\\" + name + ".png"); }
  void Uninstall() {
    RemoveTree(kInstall);
    RemoveTree(kMoved);
  }

  void StartPatcher() { ASSERT_TRUE(patcher_.Start(kPatcher)) << kPatcher; }

  // Presses Scan and waits until the scan shows progress.
  void StartScan() {
    patcher_.Click(kScan);
    ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringStop; }));
    ASSERT_TRUE(WaitUntil([&] {
      std::string shown = patcher_.Text(kPath);
      return !shown.empty() && shown.back() == '\\';
    })) << "no progress directory shown";
  }

  // Scans and waits for the installation to be found.
  void ScanToTheInstallation() {
    patcher_.Click(kScan);
    ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kPath) == kFoundPath; }, 60000))
        << patcher_.Text(kPath);
    ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringScan; }));
  }

  void ExpectPathControls(bool enabled) {
    EXPECT_EQ(patcher_.Enabled(kLabel), enabled);
    EXPECT_EQ(patcher_.Enabled(kPath), enabled);
    EXPECT_EQ(patcher_.Enabled(kPatch), enabled);
  }

  // Waits for a result dialog and checks its message.
  HWND ExpectResult(const char* title, const char* message, int ms = 60000) {
    HWND dialog = patcher_.WaitForWindow(title, ms);
    EXPECT_TRUE(dialog) << "no \"" << title << "\" dialog";
    if (dialog) {
      EXPECT_EQ(patcher_.Text(kMessage, dialog), message);
    }
    return dialog;
  }
  // Presses Patch and expects success: the report, the program's end once
  // it is closed, and the new release in `folder`.
  void PatchToTheEnd(const std::string& folder) {
    patcher_.Click(kPatch);
    HWND done = ExpectResult("Patch Successful!", kStringPatched);
    ASSERT_TRUE(done);
    CloseResult(done);
    EXPECT_EQ(patcher_.WaitForExit(), 1);
    EXPECT_TRUE(HoldsRelease(folder, kNew));
  }
  // The whole message of a result dialog is visible: its text, broken into
  // lines in the dialog's font at the control's width, fits the control's
  // height, and the control and OK fit the dialog's client area.
  void ExpectWholeMessageVisible(HWND dialog) {
    HWND message = GetDlgItem(dialog, kMessage);
    RECT box, ok, client;
    GetClientRect(message, &box);
    GetWindowRect(GetDlgItem(dialog, IDOK), &ok);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&ok), 2);
    GetClientRect(dialog, &client);
    RECT in_dialog;
    GetWindowRect(message, &in_dialog);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&in_dialog), 2);
    // The template's font, made here as the dialog manager makes it (a
    // font handle of another process cannot be used).
    HDC dc = GetDC(nullptr);
    HFONT font = CreateFontA(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_DONTCARE,
                             0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
    HGDIOBJ old = SelectObject(dc, font);
    const std::string text = patcher_.Text(kMessage, dialog);
    RECT need = {0, 0, box.right, 0};
    DrawTextA(dc, text.c_str(), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    EXPECT_LE(need.bottom, box.bottom) << "the message is cut off";
    EXPECT_GE(in_dialog.top, 0);
    EXPECT_LE(in_dialog.bottom, ok.top) << "OK covers the message";
    EXPECT_LE(ok.bottom, client.bottom) << "OK is below the dialog's edge";
    EXPECT_LE(in_dialog.right, client.right);
  }
  void CloseResult(HWND dialog) {
    patcher_.Click(IDOK, dialog);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
  }

  PatcherProcess patcher_;
};

TEST_F(PatcherEndToEnd, OpensCentredWithThePathControlsDisabled) {
  StartPatcher();
  RECT r;
  GetWindowRect(patcher_.main(), &r);
  EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2);
  EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2);
  EXPECT_EQ(patcher_.Text(kScan), "&Scan...");
  EXPECT_EQ(patcher_.Text(kBrowse), "&Browse...");
  EXPECT_TRUE(patcher_.Enabled(kScan));
  EXPECT_TRUE(patcher_.Enabled(kBrowse));
  ExpectPathControls(false);
  Shot("open");

  // IDOK does nothing: there is no such control and no default button.
  patcher_.Post(WM_COMMAND, IDOK);
  Sleep(300);
  EXPECT_TRUE(patcher_.Running());
  ExpectPathControls(false);

  // Escape ends the program, with exit code 1.
  patcher_.Post(WM_KEYDOWN, VK_ESCAPE);
  EXPECT_EQ(patcher_.WaitForExit(), 1);
}

TEST_F(PatcherEndToEnd, PatchCommandBeforeAnyPathIsAFailedPatch) {
  // The button is disabled, but another program can still send the command.
  StartPatcher();
  patcher_.Post(WM_COMMAND, kPatch);
  HWND error = ExpectResult("Error!", kStringPatchFailed);
  ASSERT_TRUE(error);
  CloseResult(error);
  EXPECT_TRUE(patcher_.Running());
  EXPECT_TRUE(HoldsRelease(kInstall, kOld));
  // Nothing was written into its current directory (ours, inherited).
  char current[MAX_PATH];
  ASSERT_TRUE(GetCurrentDirectoryA(MAX_PATH, current));
  std::string help = std::string(current) + "\\vusk.hlp";
  EXPECT_EQ(GetFileAttributesA(help.c_str()), INVALID_FILE_ATTRIBUTES) << help;
}

TEST_F(PatcherEndToEnd, ScanFindsTheInstallationAndASecondScanTakesItOver) {
  StartPatcher();
  patcher_.Click(kScan);
  ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringStop; }));
  // Progress: directories, each ending in a backslash, while "Stop" shows.
  std::set<std::string> seen;
  WaitUntil([&] {
    std::string shown = patcher_.Text(kPath);
    if (patcher_.Text(kScan) != kStringStop) return true;
    if (!shown.empty()) {
      EXPECT_EQ(shown.back(), '\\') << shown;
      if (seen.insert(shown).second && seen.size() == 1) Shot("scanning");
    }
    return false;
  }, 60000);
  // How much of the walk shows before the hit depends on where the file
  // system lists the decoys (before or after "Program Files"): at least
  // one directory of it, while "Stop" showed.
  EXPECT_GE(seen.size(), 1u) << "the path box showed no progress";
  EXPECT_EQ(patcher_.Text(kPath), kFoundPath);
  EXPECT_EQ(patcher_.Text(kScan), kStringScan);
  ExpectPathControls(true);
  Shot("found");

  // The next scan finds it in its remembered directory at the first tick.
  // The path box is cleared first, so only a scan that ran and found it
  // can fill it again; a walk of the drives would show a directory first.
  const char kCleared[] = "(cleared by the test)";
  SendMessageA(GetDlgItem(patcher_.main(), kPath), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(kCleared));
  ASSERT_EQ(patcher_.Text(kPath), kCleared);
  patcher_.Click(kScan);
  std::string walked;
  EXPECT_TRUE(WaitUntil([&] {
    const std::string shown = patcher_.Text(kPath);
    if (!shown.empty() && shown.back() == '\\') walked = shown;
    return shown == kFoundPath;
  }, 2000)) << "no second scan found it: " << patcher_.Text(kPath);
  EXPECT_EQ(walked, "") << "the second scan walked the drives";
  EXPECT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringScan; }, 2000));
  ExpectPathControls(true);
  Sleep(300);
  EXPECT_FALSE(patcher_.HasWindow("Error!"));
}

// Between two scans the installation is moved to another folder: the
// second scan misses in the remembered folder, walks the drives and finds
// it at its new place, where Patch then writes.
TEST_F(PatcherEndToEnd, InstallationMovedBetweenTwoScansIsFoundAtItsNewPlace) {
  StartPatcher();
  ScanToTheInstallation();
  ASSERT_TRUE(MoveFileA(kInstall.c_str(), kMoved.c_str()));
  patcher_.Click(kScan);
  ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kPath) == kMoved + "\\Vusk.exe"; }, 60000))
      << patcher_.Text(kPath);
  ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringScan; }));
  EXPECT_FALSE(patcher_.HasWindow("Error!"));
  PatchToTheEnd(kMoved);
}

// Between two scans the installation is removed: the second scan reports
// that it found nothing, never the old path as a find.
TEST_F(PatcherEndToEnd, InstallationRemovedBetweenTwoScansIsReportedAsNotFound) {
  StartPatcher();
  ScanToTheInstallation();
  Uninstall();
  patcher_.Click(kScan);
  HWND error = ExpectResult("Error!", kStringScanFailed);
  ASSERT_TRUE(error);
  EXPECT_EQ(patcher_.Text(kScan), kStringScan);
  EXPECT_NE(patcher_.Text(kPath), kFoundPath);
  CloseResult(error);
  EXPECT_EQ(GetFileAttributesA(kInstall.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PatcherEndToEnd, StopEndsTheScanAndKeepsTheLastDirectory) {
  Uninstall();
  StartPatcher();
  StartScan();
  patcher_.Click(kScan);
  ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringScan; }));
  const std::string last = patcher_.Text(kPath);
  EXPECT_EQ(last.back(), '\\');
  Sleep(500);
  EXPECT_EQ(patcher_.Text(kPath), last) << "the scan went on";
  EXPECT_FALSE(patcher_.HasWindow("Error!"));
  ExpectPathControls(false);
}

TEST_F(PatcherEndToEnd, BrowseDuringAScanStopsItEvenWhenCancelled) {
  Uninstall();
  StartPatcher();
  StartScan();
  patcher_.Click(kBrowse);
  HWND chooser = patcher_.WaitForWindow("Find Vusk.exe...");
  ASSERT_TRUE(chooser);
  EXPECT_EQ(patcher_.Text(kScan), kStringScan);
  Shot("browse");
  patcher_.Click(IDCANCEL, chooser);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }));
  const std::string last = patcher_.Text(kPath);
  Sleep(500);
  EXPECT_EQ(patcher_.Text(kScan), kStringScan);
  EXPECT_EQ(patcher_.Text(kPath), last);
  EXPECT_FALSE(patcher_.HasWindow("Error!"));
  ExpectPathControls(false);
}

TEST_F(PatcherEndToEnd, BrowseTakesTheChosenFile) {
  StartPatcher();
  patcher_.Click(kBrowse);
  HWND chooser = patcher_.WaitForWindow("Find Vusk.exe...");
  ASSERT_TRUE(chooser);
  // The user types the file's full path into the name box and presses Open.
  HWND name_box = GetDlgItem(chooser, 0x47c);  // the file name combo box
  if (!name_box) name_box = GetDlgItem(chooser, 0x480);  // or its edit form
  ASSERT_TRUE(name_box);
  SendMessageA(name_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kFoundPath.c_str()));
  patcher_.Click(IDOK, chooser);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }));
  EXPECT_EQ(patcher_.Text(kPath), kFoundPath);
  ExpectPathControls(true);
  // The chosen path is what Patch patches.
  PatchToTheEnd(kInstall);
}

TEST_F(PatcherEndToEnd, ScanThatFindsNothingSaysSo) {
  Uninstall();
  StartPatcher();
  patcher_.Click(kScan);
  HWND error = ExpectResult("Error!", kStringScanFailed);
  ASSERT_TRUE(error);
  EXPECT_EQ(patcher_.Text(kScan), kStringScan);
  ExpectPathControls(false);
  Shot("scan-failed");
  CloseResult(error);
  Sleep(300);
  EXPECT_FALSE(patcher_.HasWindow("Error!")) << "more than one report";
  EXPECT_TRUE(patcher_.Running());
}

TEST_F(PatcherEndToEnd, PatchReplacesTheInstallationThenTheProgramEnds) {
  StartPatcher();
  ScanToTheInstallation();
  patcher_.Click(kPatch);
  HWND done = ExpectResult("Patch Successful!", kStringPatched);
  ASSERT_TRUE(done);
  Shot("success");
  // The main dialog ends only after the report is closed.
  Sleep(300);
  EXPECT_TRUE(IsWindow(patcher_.main()));
  EXPECT_TRUE(HoldsRelease(kInstall, kNew));
  patcher_.Click(IDOK, done);
  EXPECT_EQ(patcher_.WaitForExit(), 1);
  EXPECT_TRUE(HoldsRelease(kInstall, kNew));
}

TEST_F(PatcherEndToEnd, FailedPatchLeavesTheInstallationAndAllowsAnotherTry) {
  StartPatcher();
  ScanToTheInstallation();
  // Two causes, one after the other: a read-only file, then one held open
  // without sharing by another program.
  for (int cause = 0; cause < 2; ++cause) {
    HANDLE held = INVALID_HANDLE_VALUE;
    const std::string dll = kInstall + "\\orvcore.dll";
    if (cause == 0) {
      ASSERT_TRUE(SetFileAttributesA(dll.c_str(), FILE_ATTRIBUTE_READONLY));
    } else {
      held = CreateFileA(kFoundPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    patcher_.Click(kPatch);
    HWND error = ExpectResult("Error!", kStringPatchFailed);
    ASSERT_TRUE(error);
    if (cause == 0) {
      ExpectWholeMessageVisible(error);
      Shot("patch-failed");
    }
    EXPECT_TRUE(patcher_.Enabled(kPatch));
    CloseResult(error);
    EXPECT_TRUE(patcher_.Running());
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    SetFileAttributesA(dll.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(HoldsRelease(kInstall, kOld)) << "cause " << cause;
  }
  // With the cause gone, Patch again succeeds.
  PatchToTheEnd(kInstall);
}

TEST_F(PatcherEndToEnd, MainDialogWorksWhileAResultDialogIsOpen) {
  Uninstall();
  StartPatcher();
  patcher_.Click(kScan);
  HWND error = ExpectResult("Error!", kStringScanFailed);
  ASSERT_TRUE(error);
  // The report has no owner: the main dialog still takes clicks and ticks.
  patcher_.Click(kScan);
  EXPECT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringStop; }));
  patcher_.Click(kScan);
  EXPECT_TRUE(WaitUntil([&] { return patcher_.Text(kScan) == kStringScan; }));
  EXPECT_TRUE(IsWindow(error));
  CloseResult(error);
}

// The programs run with the UTF-8 code page (their manifest says so), so a
// folder named outside any single-byte code page is listed, entered and
// written like any other.
TEST_F(PatcherEndToEnd, FindsAndPatchesAnInstallationInAFolderWithAnyName) {
  ASSERT_EQ(GetACP(), 65001u) << "the manifest's UTF-8 code page is not in effect";
  Uninstall();
  const std::string folders[] = {
      kOrvendel + "\\\xd0\xa2\xd0\xb5\xd1\x81\xd1\x81\xd0\xb0\xd0\xbb\xd0\xb8\xd0\xbd",  // Cyrillic
      kOrvendel + "\\\xe3\x83\x86\xe3\x83\x83\xe3\x82\xbb\xe3\x83\xa9\xe3\x82\xa4\xe3\x83\xb3",  // Japanese
  };
  for (const std::string& folder : folders) {
    ASSERT_TRUE(CopyTree(kOld, folder));
    StartPatcher();
    patcher_.Click(kScan);
    const std::string found = folder + "\\Vusk.exe";
    ASSERT_TRUE(WaitUntil([&] { return patcher_.Text(kPath) == found; }, 60000))
        << patcher_.Text(kPath);
    PatchToTheEnd(folder);
    patcher_.Kill();
    RemoveTree(folder);
  }
}

// A patch cut short just after it moved Vusk.exe aside leaves no Vusk.exe,
// only its journal: the scan still finds the installation, and Patch
// finishes the interrupted patch and ends with the new release.
TEST_F(PatcherEndToEnd, InterruptedPatchIsFoundByItsJournalAndFinished) {
  HMODULE patcher = LoadLibraryExA(kPatcher.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(patcher);
  HRSRC info = FindResourceA(patcher, MAKEINTRESOURCEA(IDR_PAYLOAD), PAYLOAD_TYPE_NAME);
  ASSERT_TRUE(info);
  const uint8_t* payload = static_cast<const uint8_t*>(LockResource(LoadResource(patcher, info)));
  // Every file operation after the move fails and does nothing, as after
  // a kill there.
  ScriptedOps cut;
  cut.before_rename = [&](const char* from, const char*) {
    if (platform::SameFileName(from, "Vusk.exe")) cut.freeze_at = cut.calls() + 1;
  };
  EXPECT_FALSE(ApplyPayload(payload, SizeofResource(patcher, info), (kInstall + "\\").c_str(), cut));
  FreeLibrary(patcher);
  ASSERT_GT(cut.freeze_at, 0);
  ASSERT_EQ(GetFileAttributesA(kFoundPath.c_str()), INVALID_FILE_ATTRIBUTES);
  StartPatcher();
  ScanToTheInstallation();
  PatchToTheEnd(kInstall);
}

TEST_F(PatcherEndToEnd, CloseBoxAndEscapeEndTheProgramAlsoDuringAScan) {
  Uninstall();
  for (int way = 0; way < 3; ++way) {
    StartPatcher();
    if (way != 2) StartScan();
    if (way == 0) patcher_.Post(WM_CLOSE);
    if (way == 1) patcher_.Post(WM_KEYDOWN, VK_ESCAPE);
    if (way == 2) patcher_.Post(WM_SYSCOMMAND, SC_CLOSE);
    EXPECT_EQ(patcher_.WaitForExit(), 1) << "way " << way;
    patcher_.Kill();
  }
}

}  // namespace
