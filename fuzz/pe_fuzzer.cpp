// Must-not-crash fuzzer of the PE code: raw bytes as an executable whose
// checksum is checked and whose payload resource is found and replaced.
// What a rebuild makes must carry its own checksum and no signature, read
// back with the new payload and rebuild to the same bytes. Its code ranges
// must lie in the file, in order and apart, and the x86 transform over
// them come back whole; its base relocations are walked to the end. Bytes
// that start as ELF have their code ranges read by the ELF reader instead,
// held to the same.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "lzcx/pe_image.h"
#include "payload/elf.h"
#include "payload/pe.h"
#include "payload/x86.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so ASan sees any byte read outside.
  const std::vector<uint8_t> image(data, data + size);
  const uint8_t* payload = nullptr;
  size_t payload_size = 0;
  std::string why;
  if (FindPayloadResource(image.data(), image.size(), &payload, &payload_size, &why) &&
      (payload < image.data() || payload_size > image.size() ||
       payload - image.data() > static_cast<ptrdiff_t>(image.size() - payload_size)))
    __builtin_trap();

  CodeRange ranges[kMaxCodeRanges];
  const int count = FindCodeRanges(image.data(), image.size(), ranges, kMaxCodeRanges);
  if (count < 0 || count > kMaxCodeRanges) __builtin_trap();
  // The ELF reader gives nothing for anything but ELF, and for ELF what
  // FindCodeRanges gives.
  CodeRange elf[kMaxCodeRanges];
  const int elf_count = FindElfCodeRanges(image.data(), image.size(), elf, kMaxCodeRanges);
  const bool same = elf_count == count && !memcmp(elf, ranges, sizeof *elf * count);
  if (IsElf(image.data(), image.size()) ? !same : elf_count != 0) __builtin_trap();
  uint64_t end = 0;
  for (int i = 0; i < count; ++i) {
    if (ranges[i].start < end || !ranges[i].length || ranges[i].length > size - ranges[i].start)
      __builtin_trap();
    end = static_cast<uint64_t>(ranges[i].start) + ranges[i].length;
  }
  if (count) {
    std::vector<uint8_t> converted = image;
    X86Absolute(converted.data(), static_cast<uint32_t>(size), ranges, count);
    std::vector<uint8_t> back(size);
    SinkToMemory sink(back.data(), static_cast<uint32_t>(size));
    X86Restore restore(&sink, ranges, count);
    // In two pieces, cut somewhere in the code.
    const uint32_t cut = ranges[0].start + ranges[0].length / 2;
    if (!restore.Take(converted.data(), cut) ||
        !restore.Take(converted.data() + cut, static_cast<uint32_t>(size) - cut) ||
        !restore.Finish() || back != image)
      __builtin_trap();
  }
  PeHeaders headers;
  if (headers.Read(image.data(), image.size())) {
    PeRelocations relocations(headers);
    uint32_t rva;
    int type;
    for (int n = 0; relocations.Next(&rva, &type); ++n)
      if (!type || n > static_cast<int>(size / 2)) __builtin_trap();
  }

  bool signature = false;
  CheckImageChecksum(image.data(), image.size(), &signature, &why);

  static const uint8_t kNew[] = "the new payload";
  std::vector<uint8_t> out, again;
  if (!ReplacePayloadResource(image.data(), image.size(), kNew, sizeof kNew, &out, &why)) return 0;
  if (!CheckImageChecksum(out.data(), out.size(), &signature, &why) || signature) __builtin_trap();
  if (!FindPayloadResource(out.data(), out.size(), &payload, &payload_size, &why) ||
      payload_size != sizeof kNew || memcmp(payload, kNew, sizeof kNew) != 0)
    __builtin_trap();
  if (!ReplacePayloadResource(out.data(), out.size(), kNew, sizeof kNew, &again, &why) ||
      again != out)
    __builtin_trap();
  return 0;
}
