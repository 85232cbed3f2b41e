// Names as the Windows program meets them: the native tools' copy of
// Windows' uppercase table against the system's own, and every name of
// the shared table applied by the program to a real directory.
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/names.h"
#include "platform/name_case.h"
#include "platform/platform.h"
#include "support/name_cases.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

typedef WCHAR(WINAPI* UpcaseFunction)(WCHAR);

TEST(NamesWin32, TheNativeTableIsTheSystemsForEveryCharacter) {
  const UpcaseFunction upcase = reinterpret_cast<UpcaseFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlUpcaseUnicodeChar")));
  ASSERT_NE(upcase, nullptr);
  int differ = 0;
  for (unsigned c = 0; c < 0x10000; ++c) {
    const WCHAR w = static_cast<WCHAR>(c), mine = platform::UpcaseBmp(static_cast<uint16_t>(c));
    // The file systems' comparison agrees with the table, both ways.
    const bool equal = CompareStringOrdinal(&w, 1, &mine, 1, TRUE) == CSTR_EQUAL;
    if (upcase(w) != mine || !equal) {
      if (++differ <= 10)
        ADD_FAILURE() << std::hex << "U+" << c << ": system " << upcase(w) << ", table " << mine;
    }
  }
  EXPECT_EQ(differ, 0);
}

int Apply(const Bytes& payload, const ScratchDir& dir) {
  FileOps ops;
  return ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops);
}

TEST(NamesWin32, TheProgramWritesExactlyTheNamesTheRulePasses) {
  for (size_t i = 0; i < kNameCaseCount; ++i) {
    const NameCase& c = kNameCases[i];
    // A longer one takes an extended entry, and one with a '/' is a path
    // into a folder: the tree tests write those.
    if (strlen(c.name) >= 30 || strchr(c.name, '/')) continue;
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    EXPECT_EQ(Apply(MakeContainer({{c.name, 0, {'x'}}}), dir), c.read == kNameFine ? 1 : 0);
    if (c.read != kNameFine) {
      EXPECT_TRUE(dir.Names().empty());
      continue;
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{c.name});
    Bytes now;
    EXPECT_TRUE(ReadFileBytes(dir.Join(c.name), &now));
    EXPECT_TRUE(now == Bytes{'x'});
  }
}

// A later entry replaces an earlier one of the same name, "same" as
// Windows means it; names Windows tells apart are two files.
TEST(NamesWin32, LaterEntriesReplaceEarlierOnesOfTheSameName) {
  for (size_t i = 0; i < kSameNameCaseCount; ++i) {
    const SameNameCase& c = kSameNameCases[i];
    if (CheckEntryName(c.a, kNameForReading) != kNameFine ||
        CheckEntryName(c.b, kNameForReading) != kNameFine)
      continue;
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    ScratchDir dir;
    ASSERT_TRUE(Apply(MakeContainer({{c.a, 0, {'1'}}, {c.b, 0, {'2'}}}), dir));
    EXPECT_EQ(dir.Names().size(), c.same ? 1u : 2u);
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(dir.Join(c.b), &now));
    EXPECT_TRUE(now == Bytes{'2'});
    ASSERT_TRUE(ReadFileBytes(dir.Join(c.a), &now));
    EXPECT_TRUE(now == Bytes{static_cast<uint8_t>(c.same ? '2' : '1')});
  }
}

}  // namespace
