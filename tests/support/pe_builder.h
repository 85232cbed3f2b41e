// Small hand-laid Windows executables shaped like a patcher, for the tests
// and the fuzzers of the PE code: headers, a code section, the resources
// (a manifest, a string block and the payload) and, optionally, base
// relocations and a certificate. The resource section is laid out in
// another order than lzcx writes one, so a reader that leans on that order
// fails here.
#ifndef PATCHER_TESTS_SUPPORT_PE_BUILDER_H
#define PATCHER_TESTS_SUPPORT_PE_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "support/payload_builder.h"

struct TestPeLayout {
  bool plus = false;  // PE32+ (x64) rather than PE32 (i386)
  Bytes payload;      // resource "FILE" 105, language 0x0409
  bool relocations = true;  // a .reloc section after the resources
  Bytes certificate;        // appended as the certificate table, if any
  // The record of the payload forms the program reads (RCDATA IDR_FORMS),
  // if it has one.
  std::optional<std::vector<uint16_t>> forms;
  // The file version (four 16-bit numbers, the most significant first) of
  // a version resource, if nonzero.
  uint64_t version = 0;
  // The manifest, the last resource (empty: laid out at the very end).
  std::string manifest = "<assembly manifestVersion=\"1.0\"/>\n";
};

// The image, and where the fields are that tests damage (file offsets).
struct TestPe {
  Bytes image;
  size_t start = 0;  // the DOS header
  size_t optional_header = 0;
  size_t directories = 0;  // the data directories: address, size
  size_t section_table = 0;
  size_t resources = 0;           // the resource directory; its address is
  uint32_t resources_rva = 0;     // resources_rva
  size_t type_entries = 0;        // the root table's entries: FILE, 6, (10,) 24
  size_t type_name = 0;           // the string "FILE"
  size_t payload_language = 0;    // the payload's language entry
  size_t payload_data_entry = 0;  // and its data entry
  size_t relocations = 0;         // the first relocation block
  uint32_t relocations_rva = 0;
  Bytes manifest, strings;        // the other two resources' bytes

  size_t Directory(int index) const { return directories + 8 * index; }
};

TestPe MakeTestPatcher(const TestPeLayout& layout);

// A hostile variant of `pe` (made with a certificate of at least 400
// bytes): its PE headers and section table copied into the certificate,
// where the DOS header now points, far past the size of the headers.
Bytes WithHeadersInCertificate(const TestPe& pe);

#endif  // PATCHER_TESTS_SUPPORT_PE_BUILDER_H
