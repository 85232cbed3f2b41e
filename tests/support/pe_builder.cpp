#include "support/pe_builder.h"

#include <string.h>

#include "payload/byte_order.h"
#include "resources/resource_ids.h"

namespace {

void Put16(Bytes* b, size_t at, uint32_t v) { WriteLe16(b->data() + at, v); }
void Put32(Bytes* b, size_t at, uint32_t v) { WriteLe32(b->data() + at, v); }
size_t Align(size_t v, size_t a) { return (v + a - 1) / a * a; }

// Appends `n` zero bytes (4-aligned first); returns where they start.
size_t Grow(Bytes* b, size_t n) {
  b->resize(Align(b->size(), 4));
  const size_t at = b->size();
  b->resize(at + n);
  return at;
}
size_t Append(Bytes* b, const Bytes& data) {
  const size_t at = Grow(b, data.size());
  if (!data.empty()) memcpy(b->data() + at, data.data(), data.size());
  return at;
}

const uint32_t kFileAlignment = 0x200, kSectionAlignment = 0x1000;
const uint32_t kTextRva = 0x1000, kResourceRva = 0x2000;

}  // namespace

TestPe MakeTestPatcher(const TestPeLayout& layout) {
  TestPe pe;
  pe.manifest.assign(layout.manifest.begin(), layout.manifest.end());
  pe.strings = TextLike(70, 9);

  // Resources: root table, the type name, the data, then the lower tables
  // and the data entries last. Types: the payload's (a name), 6, 10 (the
  // forms record, if any), 16 (the version, if any), 24.
  Bytes forms;
  for (uint16_t form : layout.forms.value_or(std::vector<uint16_t>()))
    forms.insert(forms.end(), {static_cast<uint8_t>(form), static_cast<uint8_t>(form >> 8)});
  std::vector<const Bytes*> data = {&layout.payload, &pe.strings, &pe.manifest};
  std::vector<uint32_t> types = {0, 6, 24}, ids = {IDR_PAYLOAD, 1, 1};
  if (layout.forms) {
    data.insert(data.begin() + 2, &forms);
    types.insert(types.begin() + 2, 10);
    ids.insert(ids.begin() + 2, IDR_FORMS);
  }
  // The version resource: its header, the key in UTF-16, and the fixed
  // part (signature, structure version, file version, product version).
  Bytes version;
  if (layout.version) {
    const char key[] = "VS_VERSION_INFO";
    version.assign(92, 0);
    Put16(&version, 0, 92);
    Put16(&version, 2, 52);
    for (size_t i = 0; i < sizeof key; ++i) Put16(&version, 6 + 2 * i, key[i]);
    const uint32_t fixed[] = {0xFEEF04BD, 0x10000,
                              static_cast<uint32_t>(layout.version >> 32),
                              static_cast<uint32_t>(layout.version),
                              static_cast<uint32_t>(layout.version >> 32),
                              static_cast<uint32_t>(layout.version)};
    for (size_t i = 0; i < 6; ++i) Put32(&version, 40 + 4 * i, fixed[i]);
    data.insert(data.end() - 1, &version);
    types.insert(types.end() - 1, 16);
    ids.insert(ids.end() - 1, 1);
  }
  const int count = static_cast<int>(data.size());
  Bytes r;
  const size_t root = Grow(&r, 16 + 8 * count);
  Put16(&r, root + 12, 1);
  Put16(&r, root + 14, count - 1);
  Bytes type_name = {static_cast<uint8_t>(strlen(PAYLOAD_TYPE_NAME)), 0};
  for (const char* c = PAYLOAD_TYPE_NAME; *c; ++c)
    type_name.insert(type_name.end(), {static_cast<uint8_t>(*c), 0});
  const size_t name = Append(&r, type_name);
  std::vector<size_t> data_at;
  for (const Bytes* d : data) data_at.push_back(Append(&r, *d));
  for (int i = 0; i < count; ++i) {
    const size_t names = Grow(&r, 24), languages = Grow(&r, 24), entry = Grow(&r, 16);
    Put32(&r, root + 16 + 8 * i, i == 0 ? 0x80000000u | static_cast<uint32_t>(name) : types[i]);
    Put32(&r, root + 20 + 8 * i, 0x80000000u | static_cast<uint32_t>(names));
    Put16(&r, names + 14, 1);
    Put32(&r, names + 16, ids[i]);
    Put32(&r, names + 20, 0x80000000u | static_cast<uint32_t>(languages));
    Put16(&r, languages + 14, 1);
    Put32(&r, languages + 16, RESOURCE_LANGUAGE);
    Put32(&r, languages + 20, static_cast<uint32_t>(entry));
    Put32(&r, entry, kResourceRva + static_cast<uint32_t>(data_at[i]));
    Put32(&r, entry + 4, static_cast<uint32_t>(data[i]->size()));
    if (i == 0) {
      pe.payload_language = languages + 16;
      pe.payload_data_entry = entry;
    }
  }

  const uint32_t optional_size = layout.plus ? 240 : 224;
  const int sections = layout.relocations ? 3 : 2;
  const size_t resources_raw = 0x400;
  const uint32_t resources_raw_size = static_cast<uint32_t>(Align(r.size(), kFileAlignment));
  const uint32_t reloc_rva =
      kResourceRva + static_cast<uint32_t>(Align(r.size(), kSectionAlignment));
  const size_t reloc_raw = resources_raw + resources_raw_size;
  const uint32_t image_size =
      (layout.relocations ? reloc_rva : reloc_rva - kSectionAlignment) + kSectionAlignment;

  Bytes& b = pe.image;
  b.assign(layout.relocations ? reloc_raw + kFileAlignment : reloc_raw, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(&b, 0x3C, 0x40);
  memcpy(&b[0x40], "PE\0\0", 4);
  Put16(&b, 0x44, layout.plus ? 0x8664 : 0x14C);
  Put16(&b, 0x46, sections);
  Put16(&b, 0x54, optional_size);
  Put16(&b, 0x56, layout.plus ? 0x22 : 0x102);
  const size_t o = pe.optional_header = 0x58;
  pe.directories = o + (layout.plus ? 112 : 96);
  Put16(&b, o, layout.plus ? 0x20B : 0x10B);
  Put32(&b, o + 4, kFileAlignment);  // code
  Put32(&b, o + 8, resources_raw_size + (layout.relocations ? kFileAlignment : 0));
  Put32(&b, o + 16, kTextRva);  // entry point
  Put32(&b, o + 20, kTextRva);
  Put32(&b, o + 24, layout.plus ? 0x40000000 : 0x400000);  // image base (low half)
  Put32(&b, o + 32, kSectionAlignment);
  Put32(&b, o + 36, kFileAlignment);
  Put16(&b, o + 48, 4);  // subsystem version
  Put32(&b, o + 56, image_size);
  Put32(&b, o + 60, 0x200);  // headers
  Put16(&b, o + 68, 2);      // GUI
  Put32(&b, o + (layout.plus ? 108 : 92), 16);
  Put32(&b, pe.Directory(2), kResourceRva);
  Put32(&b, pe.Directory(2) + 4, static_cast<uint32_t>(r.size()));

  struct {
    const char* name;
    uint32_t vsize, rva, raw_size, raw, flags;
  } table[3] = {
      {".text", 0x20, kTextRva, kFileAlignment, 0x200, 0x60000020},
      // Zero padding after the resources inside the section, as some
      // linkers leave it.
      {".rsrc", resources_raw_size, kResourceRva, resources_raw_size,
       static_cast<uint32_t>(resources_raw), 0x40000040},
      {".reloc", 12, reloc_rva, kFileAlignment, static_cast<uint32_t>(reloc_raw), 0x42000040},
  };
  pe.section_table = o + optional_size;
  for (int i = 0; i < sections; ++i) {
    const size_t h = pe.section_table + 40 * i;
    memcpy(&b[h], table[i].name, strlen(table[i].name));
    Put32(&b, h + 8, table[i].vsize);
    Put32(&b, h + 12, table[i].rva);
    Put32(&b, h + 16, table[i].raw_size);
    Put32(&b, h + 20, table[i].raw);
    Put32(&b, h + 36, table[i].flags);
  }
  // Code: a return, and at 0x10 the address of itself, which the base
  // relocations patch.
  b[0x200] = 0xC3;
  Put32(&b, 0x210, (layout.plus ? 0x40000000 : 0x400000) + kTextRva);
  memcpy(&b[resources_raw], r.data(), r.size());
  pe.resources = resources_raw;
  pe.resources_rva = kResourceRva;
  pe.type_entries = resources_raw + root + 16;
  pe.type_name = resources_raw + name;
  pe.payload_language += resources_raw;
  pe.payload_data_entry += resources_raw;
  if (layout.relocations) {
    pe.relocations = reloc_raw;
    pe.relocations_rva = reloc_rva;
    Put32(&b, reloc_raw, kTextRva);
    Put32(&b, reloc_raw + 4, 12);
    Put16(&b, reloc_raw + 8, (layout.plus ? 10 : 3) << 12 | 0x10);  // the pointer; then a pad entry
    Put32(&b, pe.Directory(5), reloc_rva);
    Put32(&b, pe.Directory(5) + 4, 12);
  }
  if (!layout.certificate.empty()) {
    b.resize(Align(b.size(), 8));
    Put32(&b, pe.Directory(4), static_cast<uint32_t>(b.size()));
    Put32(&b, pe.Directory(4) + 4, static_cast<uint32_t>(layout.certificate.size()));
    b.insert(b.end(), layout.certificate.begin(), layout.certificate.end());
  }
  return pe;
}

Bytes WithHeadersInCertificate(const TestPe& pe) {
  Bytes b = pe.image;
  const size_t to = ReadLe32(&b[pe.Directory(4)]);
  const size_t from = 0x40, end = pe.section_table + 40 * (b[0x46] | b[0x47] << 8);
  if (!to || end - from > ReadLe32(&b[pe.Directory(4) + 4])) return Bytes();
  memcpy(&b[to], &b[from], end - from);
  Put32(&b, 0x3C, static_cast<uint32_t>(to));
  return b;
}
