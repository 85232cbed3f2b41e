// The names a patch gives its own files in the target directory: the
// journal, the journal being written, the lock and the
// temporaries and backups ("~pt0000.tmp", ...). No entry may bear one of
// them, and recovery touches nothing else.
#ifndef PATCHER_PAYLOAD_PATCH_FILES_H
#define PATCHER_PAYLOAD_PATCH_FILES_H

#include <stdint.h>

extern const char kJournalName[];     // "~ptjrnl.tmp"
extern const char kJournalNewName[];  // "~ptjrnl.new"
extern const char kLockName[];        // "~ptlock.tmp"

// Length of the shortest temporary names ("~pt" + four hex digits + ".tmp").
const int kTempNameLength = 11;
// Bytes of a temporary name with its terminator, at any number.
const int kTempNameBuffer = 16;

// The name of temporary or backup `number` ("~pt0000.tmp", more hex digits
// past 0xffff) into `out`, which holds kTempNameBuffer bytes.
void TempName(uint32_t number, char* out);

// Whether `name` is one of the patch's own names: the journal's two, the
// lock's, or one of TempName's form.
bool IsPatchFileName(const char* name);

#endif  // PATCHER_PAYLOAD_PATCH_FILES_H
