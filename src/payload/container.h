// The payload container: the new version's files, one entry each.
//
//   0   i32 LE  count of entries
//   4           entries, back to back:
//     0   30 bytes  name, NUL-terminated (bytes after the NUL are ignored)
//    30   u32 LE    compressed: nonzero = data is a block, zero = verbatim
//    34   u32 LE    size of the data
//    38   size      data
//
// PayloadReader walks it by count and sizes, and never reads outside the
// bytes it was given: every header, name and data run is checked against
// the end before it is looked at.
#ifndef PATCHER_PAYLOAD_CONTAINER_H
#define PATCHER_PAYLOAD_CONTAINER_H

#include <stddef.h>
#include <stdint.h>

const uint32_t kEntryHeaderSize = 38;
const int kEntryNameField = 30;  // so a name has at most 29 characters

// A plain file name that can only land inside the directory it is written
// to: not empty, not "." or "..", no "\", "/" or ":", no control character,
// no trailing dot or space (Windows drops them), and not a Windows device
// name (CON, NUL, COM1, ... with or without an extension).
bool IsPlainFileName(const char* name);

struct PayloadEntry {
  int32_t index;         // 0 for the first entry
  char name[kEntryNameField];
  uint32_t compressed;
  uint32_t size;
  const uint8_t* data;   // `size` bytes, inside the container
  // For a compressed entry, from the block's header; for a stored entry,
  // `size`: the bytes the entry writes.
  uint32_t expanded_length;
};

class PayloadReader {
 public:
  PayloadReader(const uint8_t* data, size_t size);

  // Reads the count. Zero when the container is too short for one or the
  // count is zero or negative.
  int Start();
  int32_t count() const { return count_; }

  // Reads the next entry and checks everything that can be checked without
  // decoding: bounds, the name, a block's header. Zero at a fault (see
  // fault_text()) and after the last entry (done() is then true).
  int Next(PayloadEntry* entry);
  bool done() const { return started_ && next_index_ == count_; }

  // What the last fault was, naming the entry: for messages of the tools.
  const char* fault_text() const { return fault_; }

 private:
  int Fail(const char* what, const char* name);

  const uint8_t* data_;
  size_t size_;
  size_t offset_;
  int32_t count_;
  int32_t next_index_;
  bool started_;
  char fault_[160];
};

#endif  // PATCHER_PAYLOAD_CONTAINER_H
