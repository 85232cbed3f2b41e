// The entry-name rule as a table: names with the verdicts that packing and
// reading must give, and pairs of names with whether Windows takes them for
// one file. Shared by the tests of the name rule, the payload reader, lzcx
// pack and verify, and the program under Windows.
#ifndef PATCHER_TESTS_SUPPORT_NAME_CASES_H
#define PATCHER_TESTS_SUPPORT_NAME_CASES_H

#include <stddef.h>

#include "payload/names.h"

struct NameCase {
  const char* name;
  NameVerdict pack;
  NameVerdict read;
};
extern const NameCase kNameCases[];
extern const size_t kNameCaseCount;

// Paths into folders as CheckEntryPath judges them: each name of the
// table above, and what only a path can get wrong.
extern const NameCase kPathCases[];
extern const size_t kPathCaseCount;

struct SameNameCase {
  const char* a;
  const char* b;
  bool same;  // one file on Windows
};
extern const SameNameCase kSameNameCases[];
extern const size_t kSameNameCaseCount;

#endif  // PATCHER_TESTS_SUPPORT_NAME_CASES_H
