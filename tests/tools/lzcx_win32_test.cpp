// lzcx.exe on Windows, as an administrator and a release engineer run it:
// the build's patcher applied silently to an installation, refusals that
// leave the folder as it was, and a patcher made on Windows that is the
// build's patcher byte for byte.
#include <stdio.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/driver.h"
#include "lzcx/pe_image.h"
#include "payload/journal.h"
#include "resources/resource_ids.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

// Staged by the build into a dot directory, which no scan enters.
const std::string kStage = std::string("C:\\") + LZCX_TEST_FOLDER;
const std::string kLzcx = kStage + "\\lzcx.exe";
const std::string kPatcher = kStage + "\\" + LZCX_TEST_PATCHER;
const std::string kStub = kStage + "\\" + LZCX_TEST_STUB;
const std::string kOld = kStage + "\\release-1.24";
const std::string kNew = kStage + "\\release-1.25";
const std::string kOrvendel = "C:\\Program Files\\Orvendel";
const std::string kInstall = kOrvendel + "\\Tessaline";

struct Outcome {
  DWORD status = 999;
  std::string out, err;
  int ErrLines() const { return static_cast<int>(std::count(err.begin(), err.end(), '\n')); }
};

std::string Slurp(const std::string& path) {
  Bytes b;
  ReadFileBytes(path, &b);
  return std::string(b.begin(), b.end());
}

// Runs lzcx.exe with `args`, its output into files (no pipe can fill up).
Outcome Lzcx(const std::vector<std::string>& args) {
  ScratchDir capture;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  auto create = [&](const std::string& name) {
    return CreateFileA(capture.Join(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE out = create("out"), err = create("err");
  std::string line = "lzcx.exe";
  // As cmd passes them: an argument ending in a backslash keeps the quote.
  for (const std::string& a : args) line += " \"" + a + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process;
  Outcome run;
  if (CreateProcessA(kLzcx.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, "C:\\",
                     &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
      TerminateProcess(process.hProcess, 998);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  run.out = Slurp(capture.Join("out"));
  run.err = Slurp(capture.Join("err"));
  return run;
}

// Every path below `dir` with its bytes (a folder's ends in a backslash).
std::vector<std::pair<std::string, Bytes>> Snapshot(const std::string& dir,
                                                    const std::string& below = "") {
  std::vector<std::pair<std::string, Bytes>> all;
  for (const std::string& name : ListNames(dir + "\\" + below)) {
    const std::string path = below + name;
    Bytes b;
    if (IsDirectory(dir + "\\" + path)) {
      all.push_back({path + "\\", b});
      for (auto& inner : Snapshot(dir, path + "\\")) all.push_back(inner);
    } else {
      ReadFileBytes(dir + "\\" + path, &b);
      all.push_back({path, b});
    }
  }
  return all;
}

// The release files in payload order, as the build packed them.
std::vector<std::string> ReleaseNames() {
  std::vector<std::string> names;
  std::stringstream list(LZCX_TEST_RELEASE_NAMES);
  for (std::string name; std::getline(list, name, '|');) names.push_back(name);
  return names;
}

// A Tessaline 1.24 installation where the README puts it, removed after.
class LzcxExe : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(kOrvendel);
    CreateDirectoryA(kOrvendel.c_str(), nullptr);
    ASSERT_TRUE(CopyTree(kOld, kInstall));
  }
  void TearDown() override { RemoveTree(kOrvendel); }
};

TEST_F(LzcxExe, ExtractRecoversThenPatchesTheInstallationSilently) {
  // A patch that a crash interrupted while it staged: recovery removes its
  // journal and temporary file first.
  ASSERT_TRUE(WriteFileBytes(kInstall + "\\" + kJournalName,
                             MakeJournal(kPhaseStaging, {{0, 0, "orvcore.dll", {}, nullptr}})));
  ASSERT_TRUE(WriteFileBytes(kInstall + "\\~pt0000.tmp", Bytes(100, 'x')));

  // Found by the program's scan below Program Files, whose folder it prints.
  const std::string log = kStage + "\\patch.log";
  DeleteFileA(log.c_str());
  Outcome r = Lzcx({"extract", kPatcher, "--find-in", "C:\\Program Files", "-v", "--log", log});
  ASSERT_EQ(r.status, 0u) << r.err;
  // The one line is the recovery's.
  EXPECT_EQ(r.err, "lzcx: an interrupted patch of " + kInstall + "\\ was undone\r\n");
  // The folder, then each path written under its installed spelling
  // (Vusk.exe), in payload order: a file the same in both releases is
  // not written.
  std::string expected = kInstall + "\\\r\n";
  int unchanged = 0;
  for (const std::string& name : ReleaseNames()) {
    if (SameBytes(kOld + "\\" + name, kNew + "\\" + name)) {
      ++unchanged;
      continue;
    }
    std::string installed = name;
    for (const std::string& old : ListNames(kOld + "\\"))
      if (!_stricmp(old.c_str(), name.c_str())) installed = old;
    expected += kInstall + "\\" + installed + "\r\n";
  }
  EXPECT_EQ(r.out, expected);
  // Every file replaced, nothing else.
  EXPECT_EQ(ListNames(kInstall + "\\"), ListNames(kOld + "\\"));
  for (const std::string& name : ReleaseNames())
    EXPECT_TRUE(SameBytes(kInstall + "\\" + name, kNew + "\\" + name)) << name;
  // The run's line (the folder's path has a space: quoted, its
  // backslashes escaped).
  std::string dir;
  for (char c : kInstall + "\\") dir += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_NE(Slurp(log).find(" dir=\"" + dir + "\" status=0 word=patched written=" +
                            std::to_string(ReleaseNames().size() - unchanged) +
                            " unchanged=" + std::to_string(unchanged) +
                            " removed=0 recovered=undone"),
            std::string::npos)
      << Slurp(log);

  // Again: already up to date, nothing written.
  const auto patched = Snapshot(kInstall);
  r = Lzcx({"extract", kPatcher, "-C", kInstall});
  EXPECT_EQ(r.status, 4u) << r.err;
  EXPECT_EQ(r.out, kInstall + ": already up to date, nothing written\r\n");
  EXPECT_TRUE(Snapshot(kInstall) == patched);
}

// Each refusal: its exit status, one line naming the file and why (a
// usage error with its synopsis), nothing on stdout, and the installation
// exactly as it was.
TEST_F(LzcxExe, RefusalsLeaveTheFolderAsItWas) {
  ScratchDir scratch;
  Bytes image;
  ASSERT_TRUE(ReadFileBytes(kPatcher, &image));
  const uint8_t* payload = nullptr;
  size_t payload_size = 0;
  std::string why;
  ASSERT_TRUE(FindPayloadResource(image.data(), image.size(), &payload, &payload_size, &why));
  image[payload - image.data() + payload_size / 2] ^= 0x10;
  const std::string damaged = scratch.Join("damaged.exe");
  ASSERT_TRUE(WriteFileBytes(damaged, image));
  const std::string core = kInstall + "\\orvcore.dll", text = kInstall + "\\orvtext.dll";
  HANDLE held = INVALID_HANDLE_VALUE;

  struct Case {
    const char* what;
    std::vector<std::string> args;
    DWORD status;
    std::string says;
    std::function<void()> before, after;
  };
  const std::vector<Case> cases = {
      {"damaged patcher", {damaged, "-C", kInstall}, 1, damaged + ": ", [] {}, [] {}},
      {"read-only file", {kPatcher, "-C", kInstall}, 8, core + ": read-only",
       [&] { SetReadOnly(core, true); }, [&] { SetReadOnly(core, false); }},
      {"file in use", {kPatcher, "-C", kInstall}, 5, text + ": in use",
       [&] {
         held = CreateFileA(text.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
       },
       [&] { CloseHandle(held); }},
      {"missing folder", {kPatcher, "-C", kOrvendel + "\\Nowhere"}, 3,
       "Nowhere: not installed: no such folder", [] {}, [] {}},
      {"a folder without Vusk.exe", {kPatcher, "-C", kOrvendel}, 3,
       kOrvendel + ": not installed: no vusk.exe there", [] {}, [] {}},
      {"--find-in a missing folder", {kPatcher, "--find-in", kOrvendel + "\\Nowhere"}, 2,
       "Nowhere: no such folder", [] {}, [] {}},
      // (Without its last backslash, which would keep the closing quote.)
      {"nothing found",
       {kPatcher, "--find-in", scratch.path().substr(0, scratch.path().size() - 1)}, 3,
       "not installed: no Vusk.exe found", [] {}, [] {}},
      // As cmd passes "...\Tessaline\" -v: the backslash keeps the quote.
      {"a backslash before the quote", {kPatcher, "-C", kInstall + "\\", "-v"}, 2,
       "hint: the argument", [] {}, [] {}},
  };
  const auto before = Snapshot(kInstall);
  // Each also with --check first, which gives the same status and line.
  for (int check = 0; check < 2 * static_cast<int>(cases.size()); ++check) {
    const Case& c = cases[check / 2];
    SCOPED_TRACE(std::string(c.what) + (check % 2 ? "" : ", --check"));
    c.before();
    std::vector<std::string> args = {"extract", "-v"};
    if (check % 2 == 0) args.push_back("--check");
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome r = Lzcx(args);
    c.after();
    EXPECT_EQ(r.status, c.status);
    if (c.status != 2) {
      EXPECT_EQ(r.ErrLines(), 1) << r.err;
    }
    EXPECT_EQ(r.err.find("lzcx: "), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Snapshot(kInstall) == before);
  }
}

// Starts the patcher `program`, lets its scan find the installation, then
// presses Patch.
void FindAndPatch(PatcherProcess* patcher, const std::string& program) {
  ASSERT_TRUE(patcher->Start(program));
  patcher->Click(IDC_SCAN);
  ASSERT_TRUE(WaitUntil([&] { return patcher->Text(IDC_PATH) == kInstall + "\\Vusk.exe"; }, 60000))
      << patcher->Text(IDC_PATH);
  ASSERT_TRUE(WaitUntil([&] { return patcher->Text(IDC_SCAN) == "Scan..."; }));
  patcher->Click(IDC_PATCH);
}

// The program, made by lzcx.exe from two release trees, patches a tree with
// the same dialog: a file in a folder it creates, whose path is longer than
// the 8-bit calls take, replaced and new files in folders, a retired file
// removed with the folder it leaves empty, and (32-bit) the release's DLLs
// made from executable-aware deltas.
TEST_F(LzcxExe, TheProgramPatchesATree) {
  ScratchDir scratch;
  const std::string old_tree = scratch.Join("old"), new_tree = scratch.Join("new");
  ASSERT_TRUE(CopyTree(kOld, old_tree) && CopyTree(kNew, new_tree));
  std::string deep = new_tree + "\\locales";
  ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
  for (char c = 'a'; c < 'd'; ++c) {
    deep += "\\" + std::string(70, c);
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
  }
  const std::string file = "\\" + std::string(60, 'n') + ".txt";
  ASSERT_GT(kInstall.size() + deep.size() - new_tree.size() + file.size(), 259u);
  ASSERT_TRUE(WriteFileBytes(deep + file, Bytes(5000, 'q')));
  for (const std::string& tree : {old_tree, new_tree}) {
    ASSERT_TRUE(CreateDirectoryA((tree + "\\plugins").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(tree + "\\plugins\\kept.dll", Bytes(3000, tree[tree.size() - 1])));
  }
  ASSERT_TRUE(CreateDirectoryA((old_tree + "\\retired").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(old_tree + "\\retired\\gone.dll", Bytes(2000, 'g')));
  const std::string program = scratch.Join("tree.exe");
  Outcome r = Lzcx({"patcher", "--quiet", "--stub", kStub, "-C", new_tree, "--from", old_tree,
                    "-o", program});
  ASSERT_EQ(r.status, 0u) << r.err;
#ifndef _WIN64
  // (The x64 build's DLLs are smaller deltas byte-wise.)
  r = Lzcx({"list", program});
  EXPECT_NE(r.out.find("orvcore.dll                    exe-delta"), std::string::npos) << r.out;
#endif
  RemoveTree(kInstall);
  ASSERT_TRUE(CopyTree(old_tree, kInstall));

  PatcherProcess patcher;
  ASSERT_NO_FATAL_FAILURE(FindAndPatch(&patcher, program));
  HWND done = patcher.WaitForWindow("Patch Successful!", 60000);
  ASSERT_TRUE(done);
  patcher.Click(IDOK, done);
  EXPECT_EQ(patcher.WaitForExit(), 1);
  // Exactly the new tree; an installed file keeps its spelling.
  auto want = Snapshot(new_tree);
  const auto installed = Snapshot(old_tree);
  for (auto& entry : want)
    for (const auto& old : installed)
      if (!_stricmp(entry.first.c_str(), old.first.c_str())) entry.first = old.first;
  std::sort(want.begin(), want.end());
  auto have = Snapshot(kInstall);
  std::sort(have.begin(), have.end());
  EXPECT_TRUE(have == want);
  Bytes deepest;
  EXPECT_TRUE(ReadFileBytes(kInstall + deep.substr(new_tree.size()) + file, &deepest));
  EXPECT_EQ(deepest, Bytes(5000, 'q'));
}

// A release with a large file, which takes the patch a while: the window
// answers throughout, its path box names the file being written, its
// buttons are disabled, and neither Escape nor the close box ends it then;
// the patch succeeds.
TEST_F(LzcxExe, TheWindowAnswersWhileTheProgramPatches) {
  ScratchDir scratch;
  const std::string new_tree = scratch.Join("new");
  ASSERT_TRUE(CopyTree(kNew, new_tree));
  ASSERT_TRUE(CreateDirectoryA((new_tree + "\\media").c_str(), nullptr));
  // 32 MB of numbered lines: quick to pack, and slower to decode than a
  // stored copy.
  Bytes large;
  char line[40];
  for (int i = 0; large.size() < (32u << 20); ++i) {
    const int n = snprintf(line, sizeof line, "line %08d of the film\n", i);
    large.insert(large.end(), line, line + n);
  }
  const std::string large_file = new_tree + "\\media\\film.dat";
  ASSERT_TRUE(WriteFileBytes(large_file, large));
  const std::string program = scratch.Join("large.exe");
  Outcome r = Lzcx({"patcher", "--quiet", "--stub", kStub, "-C", new_tree, "-o", program});
  ASSERT_EQ(r.status, 0u) << r.err;

  PatcherProcess patcher;
  ASSERT_NO_FATAL_FAILURE(FindAndPatch(&patcher, program));
  int buttons_enabled = -1;
  PatchWatch watch = WatchPatch(patcher, IDC_PATH, 10, 120000, [&](const std::string& path) {
    if (path != "media/film.dat") return;
    buttons_enabled = patcher.Enabled(IDC_SCAN) + patcher.Enabled(IDC_BROWSE) +
                      patcher.Enabled(IDC_PATCH);
    patcher.Post(WM_KEYDOWN, VK_ESCAPE);
    patcher.Post(WM_CLOSE);
  });
  EXPECT_EQ(watch.unanswered, 0);
  std::string texts;
  for (const auto& p : watch.paths) texts += p.text + " (" + std::to_string(p.polls) + ")\n";
  EXPECT_EQ(buttons_enabled, 0) << texts;
  ASSERT_TRUE(watch.succeeded) << texts;
  EXPECT_EQ(patcher.Text(IDC_PATH), kInstall + "\\Vusk.exe");
  patcher.Click(IDOK, watch.result);
  EXPECT_EQ(patcher.WaitForExit(), 1);
  EXPECT_TRUE(SameBytes(kInstall + "\\media\\film.dat", large_file));
}

// Paths with either separator; the same stub and files give the build's
// patcher, which the host's lzcx made.
TEST(LzcxExePatcher, MakesTheBuildsPatcherByteForByte) {
  ScratchDir scratch;
  const std::string out = scratch.Join("patcher.exe");
  std::vector<std::string> args = {"patcher", "--quiet", "--stub", kStub, "-o", out};
  for (const std::string& name : ReleaseNames()) {
    std::string path = kNew + "\\" + name;
    if (args.size() == 7) std::replace(path.begin(), path.end(), '\\', '/');
    args.push_back(path);
  }
  Outcome r = Lzcx(args);
  ASSERT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(SameBytes(out, kPatcher));
  Outcome v = Lzcx({"verify", out});
  EXPECT_EQ(v.status, 0u) << v.err;
  EXPECT_EQ(v.out.find(out + ": ok, " + std::to_string(ReleaseNames().size()) + " entries"), 0u)
      << v.out;
}

}  // namespace
