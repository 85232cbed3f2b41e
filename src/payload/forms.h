// The forms an entry's data may take: the one list of them. The entry's
// header names its form (container.h); each form has its reader, and its
// writer beside it, in one file of this folder: stored bytes are the
// file's own, a block is block_decoder.h's, a delta is delta.h's. A new
// form is added here first, with its bit in kFormsRead once this build
// reads it.
#ifndef PATCHER_PAYLOAD_FORMS_H
#define PATCHER_PAYLOAD_FORMS_H

#include <stdint.h>

enum DataForm {
  kFormStored = 0,  // the file's bytes as they are
  kFormBlock = 1,   // one compressed block ("LZCX")
  kFormDelta = 2,   // made from the old file it replaces ("LZCD")
};
const int kFormCount = 3;

inline uint32_t FormBit(DataForm form) { return 1u << form; }

// The forms this build reads: what the program records in its resources,
// so that lzcx never puts a payload into a program that cannot read it.
const uint32_t kFormsRead = (1u << kFormStored) | (1u << kFormBlock) | (1u << kFormDelta);

// The word for a form in messages and in the program's record: "stored",
// "block", "delta"; "?" for a number that is none.
inline const char* DataFormName(int form) {
  static const char* const kNames[kFormCount] = {"stored", "block", "delta"};
  return form >= 0 && form < kFormCount ? kNames[form] : "?";
}

#endif  // PATCHER_PAYLOAD_FORMS_H
