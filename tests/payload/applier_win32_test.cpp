// What only the Windows file system shows: names that differ in case only,
// and files held open by another program.
#include <windows.h>

#include <gtest/gtest.h>

#include "payload/applier.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

int Apply(const Bytes& payload, const ScratchDir& dir) {
  FileOps ops;
  return ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops);
}

TEST(ApplyPayloadWin32, ReplacesAFileWhoseNameDiffersInCase) {
  ScratchDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join("Vusk.exe"), TextLike(4000, 1)));
  Bytes exe = TextLike(5000, 2);
  ASSERT_TRUE(Apply(MakeContainer({{"vusk.exe", 1, GreedyBlock(exe)}}), dir));
  ASSERT_EQ(dir.Names().size(), 1u);
  Bytes now;
  ASSERT_TRUE(ReadFileBytes(dir.Join("VUSK.EXE"), &now));
  EXPECT_EQ(now, exe);
}

TEST(ApplyPayloadWin32, FileLockedByAnotherProgramFailsWithTheDirectoryUnchanged) {
  ScratchDir dir;
  const Bytes old_exe = TextLike(4000, 1), old_dll = TextLike(3000, 3);
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.exe"), old_exe));
  ASSERT_TRUE(WriteFileBytes(dir.Join("orvcore.dll"), old_dll));
  const Bytes payload = MakeContainer({{"vusk.exe", 1, GreedyBlock(TextLike(5000, 2))},
                                       {"orvcore.dll", 0, RandomBytes(100, 4)}});
  for (DWORD share : {0ul, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
    // Held without sharing, or without delete sharing (as a running program
    // holds its files): either way it cannot be replaced.
    HANDLE held = CreateFileA(dir.Join("orvcore.dll").c_str(), GENERIC_READ, share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Apply(payload, dir)) << share;
    CloseHandle(held);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"orvcore.dll", "vusk.exe"}));
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(dir.Join("vusk.exe"), &now));
    EXPECT_EQ(now, old_exe);
    ASSERT_TRUE(ReadFileBytes(dir.Join("orvcore.dll"), &now));
    EXPECT_EQ(now, old_dll);
  }
  EXPECT_TRUE(Apply(payload, dir));
}

}  // namespace
