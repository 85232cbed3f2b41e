// The forms an entry's data may take: the one list of them. The entry's
// header names its form (container.h); each form has its reader, and its
// writer beside it, in one file of this folder: stored bytes are the
// file's own, a block is block_decoder.h's, a delta (byte-wise or
// executable-aware) is delta.h's, a strong entry strong.h's. A new
// form is added here first, and to FORMS_READ once this build reads it.
#ifndef PATCHER_PAYLOAD_FORMS_H
#define PATCHER_PAYLOAD_FORMS_H

// The forms' numbers, and the forms this build reads, as a list that the
// resource script (RC_INVOKED) records in the program too. In the same
// list of numbers, what entries may need beyond their data's form: an
// extended entry (container.h) that is a file at a long name or in a
// folder, a removal, and several old releases to choose from (bases). A
// payload needs its data forms, and these when any entry is one; a program
// applies only what its list names.
#define FORM_STORED 0
#define FORM_BLOCK 1
#define FORM_DELTA 2
#define FORM_STRONG 3
#define FORM_EXE_DELTA 4
#define FORM_PATHS 16
#define FORM_REMOVALS 17
#define FORM_BASES 18
#define FORMS_READ                                                                            \
  FORM_STORED, FORM_BLOCK, FORM_DELTA, FORM_STRONG, FORM_EXE_DELTA, FORM_PATHS, FORM_REMOVALS, \
      FORM_BASES

#ifndef RC_INVOKED
#include <stdint.h>

enum DataForm {
  kFormStored = FORM_STORED,  // the file's bytes as they are
  kFormBlock = FORM_BLOCK,    // one compressed block ("LZCX")
  kFormDelta = FORM_DELTA,    // made from the old file it replaces ("LZCD")
  kFormStrong = FORM_STRONG,  // large-window LZ77, arithmetic coded, solid ("LZCS")
  kFormExeDelta = FORM_EXE_DELTA,  // a delta that follows an executable's references ("LZCE")
  kFormNone,                  // a removal's: it writes nothing
};
const int kFormCount = 5;

inline uint32_t FormBit(DataForm form) { return 1u << form; }

template <typename... Forms>
constexpr uint32_t FormBits(Forms... forms) {
  return (0u | ... | (1u << forms));
}

// The forms this build reads: what the program records in its resources,
// so that lzcx never puts a payload into a program that cannot read it.
const uint32_t kFormsRead = FormBits(FORMS_READ);

// The word for a form or a need in messages: "stored", "block", "delta",
// "strong", "exe-delta", "paths", "removals", "bases"; "?" for a number
// that is none.
inline const char* DataFormName(int form) {
  static const char* const kNames[kFormCount] = {"stored", "block", "delta", "strong",
                                                 "exe-delta"};
  return form >= 0 && form < kFormCount ? kNames[form]
         : form == FORM_PATHS           ? "paths"
         : form == FORM_REMOVALS        ? "removals"
         : form == FORM_BASES           ? "bases"
                                        : "?";
}

#endif  // RC_INVOKED
#endif  // PATCHER_PAYLOAD_FORMS_H
