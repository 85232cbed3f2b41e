// Windows executables (PE32 and PE32+) as lzcx reads and writes them: the
// patcher's payload resource found in one, and a copy of one with that
// resource replaced.
//
// Everything is read from a byte buffer through offsets that are checked
// against the buffer and against the section that holds them before a byte
// is looked at, so a damaged or hostile file is a fault with a reason,
// never a read outside the buffer.
#ifndef PATCHER_TOOLS_LZCX_PE_IMAGE_H
#define PATCHER_TOOLS_LZCX_PE_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Whether the bytes begin as a Windows executable does ("MZ").
bool LooksLikeExecutable(const uint8_t* data, size_t size);

// Whether `image` is a Windows executable whose headers and section table
// read soundly. Zero with the reason in `why`.
int CheckExecutable(const uint8_t* image, size_t size, std::string* why);

// Finds the payload resource of the executable `image` (resources/
// resource_ids.h says where the program keeps it). Nonzero with
// `*payload` pointing at its `*payload_size` bytes inside `image`; zero
// with the reason in `why`, also when the resource is there in another
// language as well (the program could load that one).
int FindPayloadResource(const uint8_t* image, size_t size, const uint8_t** payload,
                        size_t* payload_size, std::string* why);

// A resource type or name: a string, or a number when `name` is null.
struct ResourceKey {
  const char* name;
  uint32_t number;
};

// Finds any resource of the executable `image`, as FindPayloadResource
// does the payload.
int FindResourceData(const uint8_t* image, size_t size, ResourceKey type, ResourceKey name,
                     uint32_t language, const uint8_t** data, size_t* data_size,
                     std::string* why);

// The payload forms the program `image` reads, as FormBit bits, from its
// record (IDR_FORMS); stored and block for a program built before the
// record was, which has none. `image` must have passed FindPayloadResource.
uint32_t ProgramFormsRead(const uint8_t* image, size_t size);

// The file version of the executable `image` (its version resource's
// fixed part: four 16-bit numbers, the most significant first), as one
// number that orders as versions do. Zero when it has none or the
// resource is damaged.
int ReadFileVersion(const uint8_t* image, size_t size, uint64_t* version);

// "1.25.0.0".
std::string VersionText(uint64_t version);

// Makes `out`, the executable `stub` with the bytes of its payload resource
// replaced by `payload`: every other resource as it was, the resource
// section rebuilt, sections after it moved (only the base relocations can
// be), the sizes in the headers, the resource directory and the checksum
// set for the new image, and any certificate dropped (it would no longer
// match). Zero with the reason in `why` when the stub cannot be read or
// rebuilt; `out` is then unspecified.
int ReplacePayloadResource(const uint8_t* stub, size_t size, const uint8_t* payload,
                           size_t payload_size, std::vector<uint8_t>* out, std::string* why);

// ReplacePayloadResource for a payload not in memory: `out` is the new
// image but for the payload's `payload_size` bytes, which belong at
// *payload_at (the bytes from there on follow them), and its checksum,
// left to be filled in at *checksum_at once PeChecksumSum has summed the
// whole image.
int LayOutPayloadResource(const uint8_t* stub, size_t size, uint64_t payload_size,
                          std::vector<uint8_t>* out, uint64_t* payload_at, size_t* checksum_at,
                          std::string* why);

// Whether the checksum in the headers of the executable `image` is the
// one over all its bytes, as lzcx patcher writes it (and a signing tool
// after it): any damage, in code or data or headers, changes it. Nonzero
// with `*signature` saying whether a certificate table (a signature) is
// present; zero with the reason in `why`.
int CheckImageChecksum(const uint8_t* image, size_t size, bool* signature, std::string* why);

// The PE checksum of `image`: 16-bit one's-complement-style sum of its
// words, the 4 bytes at `checksum_offset` counted as zero, plus its length.
uint32_t PeChecksum(const uint8_t* image, size_t size, size_t checksum_offset);

// The same over an image that comes in pieces, in order.
class PeChecksumSum {
 public:
  explicit PeChecksumSum(uint64_t checksum_offset) : checksum_at_(checksum_offset) {}
  void Add(const uint8_t* data, size_t size);
  uint32_t Finish() const;

 private:
  uint64_t checksum_at_;
  uint64_t at_ = 0;
  uint64_t sum_ = 0;
  uint32_t low_ = 0;
};

#endif  // PATCHER_TOOLS_LZCX_PE_IMAGE_H
