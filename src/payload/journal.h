// The patch journal: what a patch in progress has put into the target
// directory, so that a run after a crash can finish it or undo it.
//
//   0   4 bytes  magic "PTJ1"
//   4   u32 LE   length of the whole journal, CRC included
//   8   u32 LE   phase (JournalPhase)
//  12   u32 LE   number of steps
//  16            steps, back to back:
//     0   u32 LE   number of the temporary that becomes the file
//     4   u32 LE   number of the old file's backup, or kNoFile
//     8   u8       length of the file's exact name (1..63)
//     9            the name, no terminator
//  end-4 u32 LE  CRC-32C of everything before it
//
// A journal is written whole to kJournalNewName, flushed, and renamed over
// kJournalName, so the one under kJournalName is always complete; the
// magic, length and CRC still refuse one damaged by anything else.
#ifndef PATCHER_PAYLOAD_JOURNAL_H
#define PATCHER_PAYLOAD_JOURNAL_H

#include <stddef.h>
#include <stdint.h>

// The journal's names in the target directory; no entry may bear them.
extern const char kJournalName[];
extern const char kJournalNewName[];

const uint32_t kNoFile = 0xffffffffu;  // a step without an old file
const int kStepNameField = 64;         // a name and its terminator
const uint32_t kJournalLimit = 1u << 26;

enum JournalPhase {
  kPhaseStaging = 1,   // temporaries being written; nothing else touched
  kPhaseCommit = 2,    // every temporary complete; files being swapped
  kPhaseRollBack = 3,  // the swap being undone
};

// One file of a patch: temporary `temp` becomes `name`, and the old file
// of that exact name, if any, is moved aside to backup `backup` first.
struct JournalStep {
  uint32_t temp;
  uint32_t backup;
  char name[kStepNameField];
};

// The name of temporary or backup `number` ("~pt0000.tmp", more hex digits
// past 0xffff) into `out`, which holds kTempNameBuffer bytes.
const int kTempNameBuffer = 16;
void TempName(uint32_t number, char* out);

// A name the patch keeps for its own files: the journal's two names and
// every name of TempName's form.
bool IsPatchFileName(const char* name);

// The journal of `count` steps in a new buffer (free() it), its length in
// *size; null when there is no memory for it.
uint8_t* EncodeJournal(uint32_t phase, const JournalStep* steps, int count, size_t* size);

// Reads a journal. Zero when it is damaged: a wrong magic, length or CRC,
// an unknown phase, a step that runs past the end or names anything but a
// plain file. Otherwise *steps is a new array (free() it) of *count steps.
int DecodeJournal(const uint8_t* bytes, size_t size, uint32_t* phase,
                  JournalStep** steps, int* count);

#endif  // PATCHER_PAYLOAD_JOURNAL_H
