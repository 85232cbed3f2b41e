// Checks of the code ranges a file's headers give (payload/pe.h), shared
// by the PE and the ELF tables.
#ifndef PATCHER_TESTS_SUPPORT_CODE_RANGES_H
#define PATCHER_TESTS_SUPPORT_CODE_RANGES_H

#include <gtest/gtest.h>

#include <vector>

#include "payload/pe.h"
#include "support/payload_builder.h"

typedef int (*FindRanges)(const uint8_t* file, size_t size, CodeRange* out, int most);

// `image` gives exactly `want` through the packer's one entry point
// (FindCodeRanges); asked for one of two, `fewer` gives the longest.
inline void ExpectCodeRanges(const Bytes& image, const std::vector<CodeRange>& want,
                             FindRanges fewer) {
  CodeRange found[kMaxCodeRanges + 1] = {};
  const int n = FindCodeRanges(image.data(), image.size(), found, kMaxCodeRanges);
  ASSERT_EQ(n, static_cast<int>(want.size()));
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(found[i].start, want[i].start) << i;
    EXPECT_EQ(found[i].length, want[i].length) << i;
    EXPECT_EQ(found[i].address, want[i].address) << i;
  }
  if (n == 2) {
    ASSERT_EQ(fewer(image.data(), image.size(), found, 1), 1);
    EXPECT_EQ(found[0].start, want[want[1].length > want[0].length].start);
  }
}

#endif  // PATCHER_TESTS_SUPPORT_CODE_RANGES_H
