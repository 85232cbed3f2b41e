#include "payload/container.h"

#include <stdio.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "platform/platform.h"

namespace {

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, alone or before a dot: Windows opens
// the device, not a file in the directory.
bool IsDeviceName(const char* name) {
  size_t stem = 0;
  while (name[stem] && name[stem] != '.') ++stem;
  char s[5] = {0};
  if (stem != 3 && stem != 4) return false;
  for (size_t i = 0; i < stem; ++i) s[i] = platform::FoldNameCase(name[i]);
  if (stem == 3)
    return !strcmp(s, "con") || !strcmp(s, "prn") || !strcmp(s, "aux") ||
           !strcmp(s, "nul");
  return (!strncmp(s, "com", 3) || !strncmp(s, "lpt", 3)) && s[3] >= '1' &&
         s[3] <= '9';
}

}  // namespace

bool IsPlainFileName(const char* name) {
  size_t n = strlen(name);
  if (n == 0) return false;
  if (!strcmp(name, ".") || !strcmp(name, "..")) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 32 || c == 127 || c == '\\' || c == '/' || c == ':') return false;
  }
  if (name[n - 1] == '.' || name[n - 1] == ' ') return false;
  return !IsDeviceName(name);
}

PayloadReader::PayloadReader(const uint8_t* data, size_t size)
    : data_(data), size_(size), offset_(0), count_(0), next_index_(0),
      started_(false) {
  fault_[0] = 0;
}

int PayloadReader::Fail(const char* what, const char* name) {
  if (name)
    snprintf(fault_, sizeof fault_, "entry %d (%s): %s", next_index_ + 1, name, what);
  else
    snprintf(fault_, sizeof fault_, "entry %d: %s", next_index_ + 1, what);
  return 0;
}

int PayloadReader::Start() {
  started_ = false;
  offset_ = 0;
  next_index_ = 0;
  count_ = 0;
  if (size_ < 4) {
    snprintf(fault_, sizeof fault_, "payload too short for its count (%u bytes)",
             static_cast<unsigned>(size_));
    return 0;
  }
  count_ = static_cast<int32_t>(ReadLe32(data_));
  if (count_ <= 0) {
    snprintf(fault_, sizeof fault_, "entry count %d: no entries", count_);
    return 0;
  }
  offset_ = 4;
  started_ = true;
  return 1;
}

int PayloadReader::Next(PayloadEntry* entry) {
  if (!started_ || next_index_ >= count_) return 0;
  const size_t left = size_ - offset_;
  if (left < kEntryHeaderSize) return Fail("header runs past the end of the payload", nullptr);

  const uint8_t* p = data_ + offset_;
  const void* nul = memchr(p, 0, kEntryNameField);
  if (!nul) return Fail("name field has no terminating NUL", nullptr);
  memcpy(entry->name, p, kEntryNameField);
  const char* name = entry->name;
  if (!IsPlainFileName(name)) return Fail("not a plain file name", name);

  entry->index = next_index_;
  entry->compressed = ReadLe32(p + 30);
  entry->size = ReadLe32(p + 34);
  entry->data = p + kEntryHeaderSize;
  if (entry->size > left - kEntryHeaderSize)
    return Fail("data runs past the end of the payload", name);

  if (entry->compressed) {
    if (entry->size < kBlockHeaderSize)
      return Fail("too small for a block header", name);
    const uint32_t length = BlockLength(entry->data);
    if (length < kBlockHeaderSize || length > entry->size)
      return Fail(BlockFaultText(kBlockBadLength), name);
    entry->expanded_length = BlockExpandedLength(entry->data);
    // A coded body yields at most 16 bytes per 2 of its bytes (less the
    // control words), so a larger claim is corrupt, and is refused before
    // anyone allocates a buffer for it.
    if (!BlockIsStored(entry->expanded_length, length) &&
        entry->expanded_length / 8 > length - kBlockHeaderSize)
      return Fail("expanded length larger than its block can produce", name);
  } else {
    entry->expanded_length = entry->size;
  }

  offset_ += kEntryHeaderSize + entry->size;
  ++next_index_;
  return 1;
}
