// Must-not-crash fuzzer of the PE code: raw bytes as an executable whose
// checksum is checked and whose payload resource is found and replaced.
// What a rebuild makes must carry its own checksum and no signature, read
// back with the new payload and rebuild to the same bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "lzcx/pe_image.h"

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
