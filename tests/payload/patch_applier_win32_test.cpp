// PatchApplier as the program runs it: the payload is this test program's
// own resource (type "FILE", id 105, made by add_patch_payload at build
// time from a real executable, a text and an empty file), and the files it
// writes are compared byte for byte with copies of the originals that the
// program carries as RCDATA 201 and 202. Built a second time without any
// payload resource, where PatchApplier must fail and write nothing.
// A second program with the same payload, applier_child_win32, patches a
// directory and is ended on the spot at a chosen moment.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "applier_harness.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "platform/platform.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

#ifndef PATCHER_TEST_NO_PAYLOAD

// An RCDATA resource of this program.
Bytes Original(int id) {
  HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!info) return {};
  const uint8_t* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, info)));
  return bytes ? Bytes(bytes, bytes + SizeofResource(nullptr, info)) : Bytes();
}

// Runs the staged applier_child_win32 to patch `dir`, ending at file
// operation `at`; its exit code.
DWORD PatchEndedAt(const std::string& dir, long at) {
  const char child[] = "C:\\.patcher-applier\\applier_child_win32.exe";
  // The directory string ends in a backslash: doubled, it does not escape
  // the closing quote.
  std::string line = "applier_child_win32.exe " + std::to_string(at) + " \"" + dir + "\\\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(child, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info))
    return 1;
  DWORD code = 1;
  WaitForSingleObject(info.hProcess, 60000);
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
}

// The release in `dir`, the executable under the name `exe`, and nothing
// else.
void ExpectReleaseFiles(const ScratchDir& dir, const char* exe_name = "vusk.exe") {
  std::vector<std::string> names = {"empty.dat", "readme.txt", exe_name};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(dir.Names(), names);
  const Bytes exe = Original(201), text = Original(202);
  ASSERT_GT(exe.size(), 10000u);
  ASSERT_GT(text.size(), 1000u);
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(dir.Join("vusk.exe"), &now));
  EXPECT_TRUE(now == exe);
  ASSERT_TRUE(ReadFileBytes(dir.Join("readme.txt"), &now));
  EXPECT_TRUE(now == text);
  ASSERT_TRUE(ReadFileBytes(dir.Join("empty.dat"), &now));
  EXPECT_TRUE(now.empty());
}

TEST(PatchApplierWin32, PayloadResourceIsTheBuiltContainerInUsEnglish) {
  HRSRC info = FindResourceExA(nullptr, "FILE", MAKEINTRESOURCEA(105),
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(info, nullptr);
  const uint8_t* data;
  uint32_t size;
  ASSERT_TRUE(platform::LoadPayloadResource(&data, &size));
  EXPECT_EQ(size, SizeofResource(nullptr, info));
  PayloadReader reader(data, size);
  ASSERT_TRUE(reader.Start());
  PayloadEntry e;
  std::vector<std::string> names;
  while (reader.Next(&e)) {
    names.push_back(e.name);
    EXPECT_EQ(e.compressed, kStrongForm);
  }
  EXPECT_TRUE(reader.done()) << reader.fault_text();
  // In the order given to add_patch_payload, renamed by its NAMES.
  EXPECT_EQ(names, (std::vector<std::string>{"vusk.exe", "readme.txt", "empty.dat"}));
  // With its checksum trailer.
  PayloadIntegrity integrity;
  ASSERT_TRUE(CheckPayloadIntegrity(data, size, &integrity, nullptr, 0));
  EXPECT_TRUE(integrity.checksums);
}

TEST(PatchApplierWin32, WritesEveryEntryByteForByte) {
  ScratchDir dir;
  ASSERT_TRUE(PatchApplier(dir.path().c_str()));
  ExpectReleaseFiles(dir);
}

TEST(PatchApplierWin32, ReplacesAnOlderInstallation) {
  ScratchDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join("Vusk.exe"), TextLike(50000, 1)));
  ASSERT_TRUE(WriteFileBytes(dir.Join("readme.txt"), TextLike(100, 2)));
  ASSERT_TRUE(WriteFileBytes(dir.Join("empty.dat"), TextLike(100, 3)));
  ASSERT_TRUE(PatchApplier(dir.path().c_str()));
  // The old "Vusk.exe" was replaced, and kept its spelling.
  ExpectReleaseFiles(dir, "Vusk.exe");
  // A second patch of the same directory works as well.
  ASSERT_TRUE(PatchApplier(dir.path().c_str()));
  ExpectReleaseFiles(dir, "Vusk.exe");
}

TEST(PatchApplierWin32, EndedAtAnyMomentThenPatchedAgainHoldsTheNewFiles) {
  const uint8_t* data;
  uint32_t size;
  ASSERT_TRUE(platform::LoadPayloadResource(&data, &size));
  const Snapshot old = {{"Vusk.exe", TextLike(50000, 1)}, {"readme.txt", TextLike(100, 2)}};
  ScriptedOps counter;
  {
    ScratchDir dir;
    Restore(dir, old);
    ASSERT_TRUE(ApplyPayload(data, size, dir.path().c_str(), counter));
  }
  // Moments spread over the whole patch: staging, the swap, the clean-up.
  int ended = 0;
  for (long at = 1; at < counter.calls(); at += 5) {
    ScratchDir dir;
    Restore(dir, old);
    ASSERT_EQ(PatchEndedAt(dir.path(), at), 9u) << at;
    ++ended;
    ASSERT_TRUE(PatchApplier(dir.path().c_str())) << at;
    ExpectReleaseFiles(dir, "Vusk.exe");
  }
  EXPECT_GE(ended, 6);
}

TEST(PatchApplierWin32, MissingDirectoryFailsWithoutWriting) {
  ScratchDir dir;
  EXPECT_FALSE(PatchApplier(dir.Join("missing\\").c_str()));
  EXPECT_TRUE(dir.Names().empty());
}

#else

TEST(PatchApplierWin32, ProgramWithoutAPayloadFailsAndWritesNothing) {
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(105), "FILE"), nullptr);
  ScratchDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.exe"), TextLike(1000, 1)));
  EXPECT_FALSE(PatchApplier(dir.path().c_str()));
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"vusk.exe"});
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(dir.Join("vusk.exe"), &now));
  EXPECT_TRUE(now == TextLike(1000, 1));
}

#endif

}  // namespace
