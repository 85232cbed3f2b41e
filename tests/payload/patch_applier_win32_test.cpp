// PatchApplier as the program runs it: the payload is this test program's
// own resource (type "FILE", id 105, made by add_patch_payload at build
// time from a real executable, a text and an empty file), and the files it
// writes are compared byte for byte with copies of the originals that the
// program carries as RCDATA 201 and 202. Built a second time without any
// payload resource, where PatchApplier must fail and write nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

void ExpectReleaseFiles(const ScratchDir& dir) {
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"empty.dat", "readme.txt", "vusk.exe"}));
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
    EXPECT_EQ(e.compressed, 1u);
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
  // The old "Vusk.exe" was replaced, under the payload's spelling.
  ExpectReleaseFiles(dir);
  // A second patch of the same directory works as well.
  ASSERT_TRUE(PatchApplier(dir.path().c_str()));
  ExpectReleaseFiles(dir);
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
