// The patch journal: what a patch in progress has put into the target
// directory, so that a run after a crash can finish it or undo it knowing,
// for every file, what it must hold.
//
//   0   4 bytes  magic "PTJ4"
//   4   u32 LE   length of the whole journal, CRC included
//   8   u32 LE   phase (JournalPhase)
//  12   u32 LE   number of steps
//  16            steps, back to back:
//     0   u32 LE   number of the temporary that becomes the file
//     4   u32 LE   number of the old file's backup, or kNoFile
//     8   u32 LE   size of the new file
//    12   u32 LE   CRC-32C of the new file
//    16   u64 LE   size of the old file (0 without one)
//    24   u32 LE   CRC-32C of the old file (0 without one)
//    28   2 x u64 LE  which file the old one is (platform::FileFacts::id),
//                  read before it is moved: its backup is the patch's
//                  own while it is that file, whoever owns it (zero: not
//                  known, and then only the owner tells)
//    44   u8       kind (JournalStepKind): a file, a folder the patch
//                  creates, or a file the patch removes
//    45   u16 LE   n, the length of the exact path (1..kLongestPath)
//    47   n bytes  the path, names joined by '/', no terminator
//  end-4 u32 LE  CRC-32C of everything before it
//
// A file step has a temporary, and a backup when there was an old file; a
// folder step neither; a removal step no temporary, its backup being the
// old file moved aside.
//
// The staging journal is written before any file is created and before the
// new files' sizes and CRCs are known (they are zero there: recovery in
// that phase only removes temporaries). The commit journal has them all.
//
// A journal is written whole to kJournalNewName, flushed, and renamed over
// kJournalName, so the one under kJournalName is always complete; the
// magic, length and CRC still refuse one damaged by anything else. The
// third format ("PTJ3") is the fourth with a u8 name length at byte 44 and
// the name at 45, every step a file; the second ("PTJ2") is the third
// without the old file's identity (bytes 28 to 43 of a step). Both are
// still read; the first ("PTJ1") is refused as damaged.
#ifndef PATCHER_PAYLOAD_JOURNAL_H
#define PATCHER_PAYLOAD_JOURNAL_H

#include <stddef.h>
#include <stdint.h>

#include "payload/patch_files.h"

const uint32_t kNoFile = 0xffffffffu;  // a step without an old file
const int kStepNameField = 1025;       // a path (kLongestPath) and its terminator
const uint32_t kJournalLimit = 1u << 26;
const uint8_t kJournalMagic[4] = {'P', 'T', 'J', '4'};

enum JournalStepKind {
  kStepFile = 0,
  kStepFolder = 1,
  kStepRemoval = 2,
};

enum JournalPhase {
  kPhaseStaging = 1,   // temporaries being written; nothing else touched
  kPhaseCommit = 2,    // every temporary complete; files being swapped
  kPhaseRollBack = 3,  // the swap being undone
};

// One file of a patch: temporary `temp` becomes `name`, and the old file
// of that exact name, if any, is moved aside to backup `backup` first. Or
// (`kind`) a folder `name` the patch creates, or the old file `name` it
// moves to `backup` and so removes.
struct JournalStep {
  uint32_t temp;
  uint32_t backup;
  uint32_t new_size;
  uint32_t new_crc;
  uint64_t old_size;
  uint32_t old_crc;
  uint64_t old_id[2];
  char name[kStepNameField];
  uint8_t kind;  // JournalStepKind; last, so that a file's step can leave it out
};

// The journal of `count` steps in a new buffer (free() it), its length in
// *size; null when there is no memory for it. `format` 2 or 3 writes an
// older format, which only tests of older journals want: file steps of
// names of at most 255 bytes.
uint8_t* EncodeJournal(JournalPhase phase, const JournalStep* steps, int count, size_t* size,
                       int format = 4);

// Reads a journal of format 2, 3 or 4. Zero when it is damaged: a wrong
// magic, length or CRC, an unknown phase, a step that runs past the end,
// whose path fails the name rule for reading, of an unknown kind, a file
// without a temporary or whose temporary is its backup, a folder with a
// temporary or a backup, or a removal with a temporary.
// Otherwise *steps is a new array (free() it) of *count steps.
int DecodeJournal(const uint8_t* bytes, size_t size, JournalPhase* phase,
                  JournalStep** steps, int* count);

#endif  // PATCHER_PAYLOAD_JOURNAL_H
