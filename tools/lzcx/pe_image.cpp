#include "lzcx/pe_image.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "payload/byte_order.h"
#include "payload/forms.h"
#include "payload/pe.h"
#include "resources/resource_ids.h"

namespace {

uint64_t AlignUp(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) & ~static_cast<uint64_t>(alignment - 1);
}

const size_t kMaxImage = 0x7FFF0000;  // what a 32-bit offset field can hold safely

using Section = PeSection;

// The headers and the section table, as pe.h reads them, for the resource
// code and the rebuild.
class PeImage {
 public:
  PeImage(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  int Parse(std::string* why) {
    if (!headers_.Read(data_, size_)) return Fail(why, headers_.fault());
    optional_ = headers_.optional_header;
    dirs_ = headers_.directories;
    dir_count_ = headers_.directory_count;
    section_alignment_ = headers_.section_alignment;
    file_alignment_ = headers_.file_alignment;
    headers_size_ = headers_.headers_size;
    for (int i = 0; i < headers_.section_count; ++i) sections_.push_back(headers_.Section(i));
    return 1;
  }

  int Map(uint64_t rva, uint64_t length, size_t* offset, int only = -1) const {
    return headers_.Map(rva, length, offset, only);
  }
  int SectionOf(uint64_t rva) const { return headers_.SectionOf(rva); }
  uint32_t DirectoryRva(int i) const { return headers_.DirectoryRva(i); }
  uint32_t DirectorySize(int i) const { return headers_.DirectorySize(i); }

  PeHeaders headers_;
  const uint8_t* data_;
  size_t size_;
  size_t optional_ = 0;  // file offset of the optional header
  size_t dirs_ = 0;      // file offset of the data directories
  int dir_count_ = 0;
  uint32_t section_alignment_ = 0, file_alignment_ = 0, headers_size_ = 0;
  std::vector<Section> sections_;

 private:
  static int Fail(std::string* why, const char* what) {
    *why = what;
    return 0;
  }
};

int Fail(std::string* why, const std::string& what) {
  *why = what;
  return 0;
}

// The resource tree: type, name and language levels, as the file has it.
struct ResourceNode {
  bool named = false;
  uint32_t id = 0;
  std::vector<uint16_t> name;
  bool leaf = false;
  // A directory: its table's characteristics, time stamp and version.
  uint8_t table[12] = {0};
  std::vector<ResourceNode> children;
  // A leaf.
  const uint8_t* data = nullptr;
  size_t data_size = 0;
  uint32_t codepage = 0, reserved = 0;
  // Where the rebuild puts the node's table or data entry, name and data.
  uint64_t at = 0, name_at = 0, data_at = 0;
};

class ResourceReader {
 public:
  ResourceReader(const PeImage& pe, uint32_t base, int section)
      : pe_(pe), base_(base), section_(section),
        name_budget_(pe.sections_[section].raw_size / 2) {}

  int Read(ResourceNode* root, std::string* why) { return ReadTable(0, 0, root, why); }
  // How far past the directory the structures read so far reach.
  uint64_t extent() const { return extent_; }

 private:
  // `length` bytes at `rva`, inside the resource section. No bytes may
  // also sit at its very end (an empty resource laid out last).
  const uint8_t* At(uint64_t rva, uint64_t length) {
    size_t offset;
    if (!length && rva > base_ && pe_.Map(rva - 1, 1, &offset, section_))
      return pe_.data_ + offset + 1;
    if (rva < base_ || !pe_.Map(rva, length, &offset, section_)) return nullptr;
    if (rva + length - base_ > extent_) extent_ = rva + length - base_;
    return pe_.data_ + offset;
  }

  int ReadTable(uint32_t offset, int depth, ResourceNode* dir, std::string* why) {
    const uint8_t* t = At(static_cast<uint64_t>(base_) + offset, 16);
    if (!t) return Fail(why, "damaged executable: resource table outside the resource section");
    memcpy(dir->table, t, 12);
    const uint32_t named = ReadLe16(t + 12), count = named + ReadLe16(t + 14);
    // Tables may share subtables; a budget keeps a hostile file from
    // multiplying them without end.
    budget_ -= static_cast<int>(count);
    if (budget_ < 0) return Fail(why, "damaged executable: too many resource entries");
    const uint8_t* e = At(static_cast<uint64_t>(base_) + offset + 16, 8ull * count);
    if (!e) return Fail(why, "damaged executable: resource entries outside the resource section");
    dir->children.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      ResourceNode& c = dir->children[i];
      const uint32_t key = ReadLe32(e + 8 * i), value = ReadLe32(e + 8 * i + 4);
      c.named = i < named;
      if (c.named != ((key >> 31) != 0))
        return Fail(why, "damaged executable: named and numbered resources out of order");
      if (c.named) {
        const uint64_t name_rva = static_cast<uint64_t>(base_) + (key & 0x7FFFFFFF);
        const uint8_t* length = At(name_rva, 2);
        const uint8_t* chars = length ? At(name_rva + 2, 2ull * ReadLe16(length)) : nullptr;
        if (!chars)
          return Fail(why, "damaged executable: resource name outside the resource section");
        // Shared names would be copied once per entry: no more characters
        // than the section holds.
        name_budget_ -= 1 + static_cast<int64_t>(ReadLe16(length));
        if (name_budget_ < 0) return Fail(why, "damaged executable: resource names overlap");
        for (uint32_t k = 0; k < ReadLe16(length); ++k) c.name.push_back(ReadLe16(chars + 2 * k));
      } else {
        c.id = key;
      }
      const bool subtable = (value >> 31) != 0;
      // Type, name, language: two levels of tables, then the data.
      if (subtable != (depth < 2))
        return Fail(why, "damaged executable: resource tree is not type, name, language");
      if (subtable) {
        if (!ReadTable(value & 0x7FFFFFFF, depth + 1, &c, why)) return 0;
        continue;
      }
      c.leaf = true;
      const uint8_t* d = At(static_cast<uint64_t>(base_) + value, 16);
      if (!d)
        return Fail(why, "damaged executable: resource data entry outside the resource section");
      c.data_size = ReadLe32(d + 4);
      c.codepage = ReadLe32(d + 8);
      c.reserved = ReadLe32(d + 12);
      c.data = At(ReadLe32(d), c.data_size);
      if (!c.data)
        return Fail(why, "damaged executable: resource data outside the resource section");
    }
    return 1;
  }

  const PeImage& pe_;
  uint64_t base_;
  int section_;
  uint64_t extent_ = 0;
  int budget_ = 1 << 16;
  int64_t name_budget_;
};

bool Matches(const ResourceNode& n, ResourceKey key) {
  if (!key.name) return !n.named && n.id == key.number;
  const size_t length = strlen(key.name);
  if (!n.named || n.name.size() != length) return false;
  // Compared as the platform compares them: ASCII letters in either case.
  for (size_t i = 0; i < length; ++i) {
    const uint16_t c = n.name[i] >= 'a' && n.name[i] <= 'z' ? n.name[i] - 32 : n.name[i];
    const char k = key.name[i] >= 'a' && key.name[i] <= 'z' ? key.name[i] - 32 : key.name[i];
    if (c != static_cast<uint8_t>(k)) return false;
  }
  return true;
}

ResourceNode* Child(ResourceNode* dir, ResourceKey key) {
  if (dir) {
    for (ResourceNode& c : dir->children)
      if (Matches(c, key)) return &c;
  }
  return nullptr;
}

// The headers and the resource tree of an executable.
struct Parsed {
  Parsed(const uint8_t* data, size_t size) : pe(data, size) {}
  PeImage pe;
  int section = -1;     // the section that holds the resources
  uint32_t base = 0;    // address of the resource directory
  uint64_t extent = 0;  // bytes from `base` that the resources use
  ResourceNode root;
  ResourceNode* payload = nullptr;
};

int ParseResources(Parsed* p, std::string* why) {
  if (!p->pe.Parse(why)) return 0;
  p->base = p->pe.DirectoryRva(kPeDirResource);
  if (!p->base || !p->pe.DirectorySize(kPeDirResource))
    return Fail(why, "not a patcher: the executable has no resources");
  p->section = p->pe.SectionOf(p->base);
  if (p->section < 0)
    return Fail(why, "damaged executable: resource directory outside every section");
  ResourceReader reader(p->pe, p->base, p->section);
  if (!reader.Read(&p->root, why)) return 0;
  p->extent = reader.extent();
  return 1;
}

int ParsePatcher(Parsed* p, std::string* why) {
  if (!ParseResources(p, why)) return 0;
  ResourceNode* payload =
      Child(Child(&p->root, {PAYLOAD_TYPE_NAME, 0}), {nullptr, IDR_PAYLOAD});
  if (payload) {
    for (const ResourceNode& language : payload->children) {
      if (!Matches(language, {nullptr, RESOURCE_LANGUAGE}))
        return Fail(why, "the payload resource is there in another language than " RESOURCE_TEXT(
                             RESOURCE_LANGUAGE));
    }
  }
  p->payload = Child(payload, {nullptr, RESOURCE_LANGUAGE});
  if (!p->payload)
    return Fail(why, "not a patcher: no payload resource (type " PAYLOAD_TYPE_NAME
                     ", id " RESOURCE_TEXT(IDR_PAYLOAD) ", language " RESOURCE_TEXT(
                         RESOURCE_LANGUAGE) ")");
  return 1;
}

// Tables first, in the order a depth-first walk meets them, then the data
// entries, the names, and the data, each piece of data 8-byte aligned.
struct ResourceLayout {
  std::vector<ResourceNode*> tables, leaves, named;
  uint64_t size = 0;

  void Collect(ResourceNode* dir) {
    tables.push_back(dir);
    for (ResourceNode& c : dir->children) {
      if (c.named) named.push_back(&c);
      if (c.leaf)
        leaves.push_back(&c);
      else
        Collect(&c);
    }
  }

  void Place() {
    for (ResourceNode* t : tables) {
      t->at = size;
      size += 16 + 8 * t->children.size();
    }
    for (ResourceNode* l : leaves) {
      l->at = size;
      size += 16;
    }
    for (ResourceNode* n : named) {
      n->name_at = size;
      size += 2 + 2 * n->name.size();
    }
    for (ResourceNode* l : leaves) {
      l->data_at = AlignUp(size, 8);
      size = l->data_at + l->data_size;
    }
  }

  // The section's bytes from the directory on; `base` is its address.
  // The data of `hole`, if given, is left out: what follows it comes
  // that much earlier.
  void Write(uint32_t base, std::vector<uint8_t>* out, const ResourceNode* hole) const {
    const uint64_t skip = hole ? hole->data_size : 0;
    out->assign(size - skip, 0);
    uint8_t* o = out->data();
    for (const ResourceNode* t : tables) {
      uint8_t* p = o + t->at;
      memcpy(p, t->table, 12);
      uint32_t named_count = 0;
      for (const ResourceNode& c : t->children) named_count += c.named;
      WriteLe16(p + 12, named_count);
      WriteLe16(p + 14, static_cast<uint32_t>(t->children.size()) - named_count);
      p += 16;
      for (const ResourceNode& c : t->children) {
        WriteLe32(p, c.named ? 0x80000000u | static_cast<uint32_t>(c.name_at) : c.id);
        WriteLe32(p + 4,
                  c.leaf ? static_cast<uint32_t>(c.at) : 0x80000000u | static_cast<uint32_t>(c.at));
        p += 8;
      }
    }
    for (const ResourceNode* l : leaves) {
      WriteLe32(o + l->at, base + static_cast<uint32_t>(l->data_at));
      WriteLe32(o + l->at + 4, static_cast<uint32_t>(l->data_size));
      WriteLe32(o + l->at + 8, l->codepage);
      WriteLe32(o + l->at + 12, l->reserved);
      if (l->data_size && l != hole)
        memcpy(o + l->data_at - (hole && l->data_at > hole->data_at ? skip : 0), l->data,
               l->data_size);
    }
    for (const ResourceNode* n : named) {
      WriteLe16(o + n->name_at, static_cast<uint32_t>(n->name.size()));
      for (size_t k = 0; k < n->name.size(); ++k) WriteLe16(o + n->name_at + 2 + 2 * k, n->name[k]);
    }
  }
};

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// What the rebuild cannot carry over: anything but the base relocations at
// or after the resources (they move), and base relocations that patch
// anything there.
int CheckMovable(const Parsed& p, std::string* why) {
  const PeImage& pe = p.pe;
  const uint32_t reloc = pe.DirectoryRva(kPeDirBaseRelocation);
  const uint32_t reloc_size = pe.DirectorySize(kPeDirBaseRelocation);
  for (size_t i = p.section + 1; i < pe.sections_.size(); ++i) {
    const Section& s = pe.sections_[i];
    if (!reloc_size || reloc < s.va || reloc - s.va >= s.Extent())
      return Fail(why, std::string("cannot rebuild: section ") + s.name +
                           " follows the resources and cannot be moved");
  }
  for (int d = 0; d < pe.dir_count_; ++d) {
    if (d == kPeDirResource || d == kPeDirCertificate || d == kPeDirBaseRelocation) continue;
    const uint64_t end = static_cast<uint64_t>(pe.DirectoryRva(d)) + pe.DirectorySize(d);
    if (pe.DirectorySize(d) && end > p.base)
      return Fail(why, "cannot rebuild: data directory " + std::to_string(d) +
                           " lies in or after the resources");
  }
  // Debug data is found by file offset, which must not move either.
  const uint32_t debug_size = pe.DirectorySize(kPeDirDebug);
  size_t debug;
  if (debug_size) {
    if (!pe.Map(pe.DirectoryRva(kPeDirDebug), debug_size, &debug))
      return Fail(why, "damaged executable: debug directory outside the file");
    const size_t resources_file =
        pe.sections_[p.section].raw_offset + (p.base - pe.sections_[p.section].va);
    for (size_t at = 0; at + 28 <= debug_size; at += 28) {
      const uint8_t* e = pe.data_ + debug + at;
      if (ReadLe32(e + 16) &&
          static_cast<uint64_t>(ReadLe32(e + 24)) + ReadLe32(e + 16) > resources_file)
        return Fail(why, "cannot rebuild: debug data lies in or after the resources");
    }
  }
  PeRelocations relocations(pe.headers_);
  uint32_t rva;
  int type;
  while (relocations.Next(&rva, &type)) {
    if (static_cast<uint64_t>(rva) + 8 > p.base)
      return Fail(why, "cannot rebuild: a base relocation patches the resources or what follows them");
  }
  if (relocations.fault()) return Fail(why, relocations.fault());
  return 1;
}

// Every byte of the file must belong to the headers, a section or the
// certificate (or be padding), or it would be lost.
int CheckFileLayout(const Parsed& p, std::string* why) {
  const PeImage& pe = p.pe;
  const Section& rs = pe.sections_[p.section];
  uint64_t end = pe.headers_size_;
  for (size_t i = 0; i < pe.sections_.size(); ++i) {
    const Section& s = pe.sections_[i];
    if (!s.raw_size) continue;
    const uint64_t s_end = static_cast<uint64_t>(s.raw_offset) + s.raw_size;
    if (s_end > pe.size_)
      return Fail(why, std::string("damaged executable: section ") + s.name +
                           " runs past the end of the file");
    const bool before = static_cast<int>(i) < p.section;
    if ((before && s_end > rs.raw_offset) ||
        (!before && i != static_cast<size_t>(p.section) &&
         s.raw_offset < AlignUp(rs.raw_offset + rs.raw_size, pe.file_alignment_)))
      return Fail(why, "cannot rebuild: the sections' file data is not in address order");
    if (s_end > end) end = s_end;
  }
  if (pe.headers_size_ > rs.raw_offset)
    return Fail(why, "damaged executable: headers overlap the resources");
  const uint64_t cert = pe.DirectoryRva(kPeDirCertificate),
                 cert_size = pe.DirectorySize(kPeDirCertificate);
  for (uint64_t at = end; at < pe.size_; ++at) {
    if (cert_size && at >= cert && at - cert < cert_size) continue;
    if (pe.data_[at]) return Fail(why, "cannot rebuild: data after the last section would be lost");
  }
  // The resources must own the rest of their section.
  const uint64_t used = static_cast<uint64_t>(p.base - rs.va) + p.extent;
  const uint64_t stored = rs.raw_size < rs.Extent() ? rs.raw_size : rs.Extent();
  if (used < stored &&
      !AllZero(pe.data_ + rs.raw_offset + used, static_cast<size_t>(stored - used)))
    return Fail(why, "cannot rebuild: the resource section holds other data after the resources");
  return 1;
}

}  // namespace

bool LooksLikeExecutable(const uint8_t* data, size_t size) {
  return size >= 2 && data[0] == 'M' && data[1] == 'Z';
}

int CheckExecutable(const uint8_t* image, size_t size, std::string* why) {
  PeImage pe(image, size);
  return pe.Parse(why);
}

int FindResourceData(const uint8_t* image, size_t size, ResourceKey type, ResourceKey name,
                     uint32_t language, const uint8_t** data, size_t* data_size, std::string* why) {
  Parsed p(image, size);
  if (!ParseResources(&p, why)) return 0;
  ResourceNode* found = Child(Child(Child(&p.root, type), name), {nullptr, language});
  if (!found) return Fail(why, "no such resource");
  *data = found->data;
  *data_size = found->data_size;
  return 1;
}

int FindPayloadResource(const uint8_t* image, size_t size, const uint8_t** payload,
                        size_t* payload_size, std::string* why) {
  Parsed p(image, size);
  if (!ParsePatcher(&p, why)) return 0;
  *payload = p.payload->data;
  *payload_size = p.payload->data_size;
  return 1;
}

int ReadFileVersion(const uint8_t* image, size_t size, uint64_t* version) {
  const uint32_t kVersionType = 16, kVersionName = 1, kFixedSignature = 0xFEEF04BD;
  Parsed p(image, size);
  std::string why;
  if (!ParseResources(&p, &why)) return 0;
  // Whatever its language: an executable has one version resource.
  ResourceNode* languages = Child(Child(&p.root, {nullptr, kVersionType}), {nullptr, kVersionName});
  if (!languages || languages->children.empty() || !languages->children[0].leaf) return 0;
  const uint8_t* v = languages->children[0].data;
  const size_t length = languages->children[0].data_size;
  // The header (length, value length, type), the key "VS_VERSION_INFO" in
  // UTF-16 and its terminator, padded to 4 bytes: the fixed part at 40.
  const char kKey[] = "VS_VERSION_INFO";
  const size_t kFixed = 40, kFixedSize = 52;
  if (!v || length < kFixed + kFixedSize || ReadLe16(v + 2) != kFixedSize) return 0;
  for (size_t i = 0; i < sizeof kKey; ++i)
    if (ReadLe16(v + 6 + 2 * i) != static_cast<uint8_t>(kKey[i])) return 0;
  if (ReadLe32(v + kFixed) != kFixedSignature) return 0;
  *version = static_cast<uint64_t>(ReadLe32(v + kFixed + 8)) << 32 | ReadLe32(v + kFixed + 12);
  return 1;
}

std::string VersionText(uint64_t version) {
  char text[32];
  snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(version >> 48),
           static_cast<unsigned>(version >> 32 & 0xffff),
           static_cast<unsigned>(version >> 16 & 0xffff), static_cast<unsigned>(version & 0xffff));
  return text;
}

uint32_t ProgramFormsRead(const uint8_t* image, size_t size) {
  const uint32_t kRcData = 10;
  const uint8_t* record;
  size_t record_size;
  std::string why;
  if (!FindResourceData(image, size, {nullptr, kRcData}, {nullptr, IDR_FORMS}, RESOURCE_LANGUAGE,
                        &record, &record_size, &why))
    return FormBit(kFormStored) | FormBit(kFormBlock);
  uint32_t forms = 0;
  // A number past what a later build knows is a form no payload here uses.
  for (size_t at = 0; at + 2 <= record_size; at += 2) {
    const uint32_t form = ReadLe16(record + at);
    if (form < 32) forms |= 1u << form;
  }
  return forms;
}

int CheckImageChecksum(const uint8_t* image, size_t size, bool* signature, std::string* why) {
  PeImage pe(image, size);
  if (!pe.Parse(why)) return 0;
  const uint64_t cert = pe.DirectoryRva(kPeDirCertificate), cert_size = pe.DirectorySize(kPeDirCertificate);
  if (cert_size && (cert < pe.headers_size_ || cert + cert_size > size))
    return Fail(why, "damaged executable: its certificate table lies outside the file");
  *signature = cert_size != 0;
  const size_t at = pe.headers_.checksum_at;
  const uint32_t stored = ReadLe32(image + at), computed = PeChecksum(image, size, at);
  if (stored != computed) {
    char line[160];
    snprintf(line, sizeof line,
             "damaged executable: its checksum (%08x) is not that of its bytes (%08x)",
             static_cast<unsigned>(stored), static_cast<unsigned>(computed));
    return Fail(why, line);
  }
  return 1;
}

void PeChecksumSum::Add(const uint8_t* data, size_t size) {
  for (size_t k = 0; k < size; ++k, ++at_) {
    const uint32_t b = at_ >= checksum_at_ && at_ - checksum_at_ < 4 ? 0 : data[k];
    if (at_ & 1) {
      sum_ += low_ | b << 8;
      sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    } else {
      low_ = b;
    }
  }
}

uint32_t PeChecksumSum::Finish() const {
  uint64_t sum = sum_;
  if (at_ & 1) {
    sum += low_;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + at_);
}

uint32_t PeChecksum(const uint8_t* image, size_t size, size_t checksum_offset) {
  PeChecksumSum sum(checksum_offset);
  sum.Add(image, size);
  return sum.Finish();
}

namespace {

// ReplacePayloadResource, or with `payload` null the image without the
// payload's bytes, which belong at *payload_at.
int Rebuild(const uint8_t* stub, size_t size, const uint8_t* payload, uint64_t payload_size,
            std::vector<uint8_t>* out, uint64_t* payload_at, size_t* checksum_at,
            std::string* why) {
  Parsed p(stub, size);
  if (!ParsePatcher(&p, why) || !CheckFileLayout(p, why) || !CheckMovable(p, why)) return 0;
  const PeImage& pe = p.pe;
  const Section& rs = pe.sections_[p.section];
  if (payload_size > kMaxImage) return Fail(why, "the payload is too large for an executable");
  ResourceLayout layout;
  layout.Collect(&p.root);
  // Leaves that share data (or subtables) would each get their own copy.
  std::vector<std::pair<const uint8_t*, size_t>> data;
  for (const ResourceNode* l : layout.leaves)
    if (l->data_size) data.emplace_back(l->data, l->data_size);
  std::sort(data.begin(), data.end());
  for (size_t i = 1; i < data.size(); ++i)
    if (data[i - 1].first + data[i - 1].second > data[i].first)
      return Fail(why, "cannot rebuild: resources share their data");
  const size_t old_size = p.payload->data_size;
  p.payload->data = payload;
  p.payload->data_size = static_cast<size_t>(payload_size);
  layout.Place();
  // So the rebuild takes no more room than the resources had, with the
  // new payload's and the alignment's.
  if (layout.size > p.extent - old_size + payload_size + 8 * layout.leaves.size())
    return Fail(why, "cannot rebuild: the resources would grow past what they hold");
  const uint64_t prefix = p.base - rs.va;  // the section's bytes before the directory stay
  const uint64_t vsize = prefix + layout.size;
  const uint64_t raw_size = AlignUp(vsize, pe.file_alignment_);
  if (rs.raw_offset + raw_size + size > kMaxImage || rs.va + vsize > kMaxImage)
    return Fail(why, "the payload is too large for an executable");
  std::vector<uint8_t> resources;
  const ResourceNode* hole = payload ? nullptr : p.payload;
  layout.Write(p.base, &resources, hole);
  // Offsets in the file from here on are less the hole's bytes.
  const uint64_t skip = hole ? payload_size : 0;
  *payload_at = rs.raw_offset + prefix + p.payload->data_at;

  out->assign(stub, stub + rs.raw_offset + prefix);
  out->insert(out->end(), resources.begin(), resources.end());
  out->resize(static_cast<size_t>(rs.raw_offset + raw_size - skip), 0);
  // The sections after the resources (only the base relocations) move up
  // or down behind them, keeping their spacing.
  int64_t move_va = 0, move_raw = 0;
  if (static_cast<size_t>(p.section) + 1 < pe.sections_.size()) {
    const Section& next = pe.sections_[p.section + 1];
    move_va = static_cast<int64_t>(AlignUp(rs.va + vsize, pe.section_alignment_)) - next.va;
    move_raw = static_cast<int64_t>(out->size() + skip) - next.raw_offset;
  }
  for (size_t i = p.section + 1; i < pe.sections_.size(); ++i) {
    const Section& s = pe.sections_[i];
    if (s.raw_size) {
      out->resize(static_cast<size_t>(s.raw_offset + move_raw - skip), 0);
      out->insert(out->end(), stub + s.raw_offset, stub + s.raw_offset + s.raw_size);
      WriteLe32(out->data() + s.header + 20, static_cast<uint32_t>(s.raw_offset + move_raw));
    }
    WriteLe32(out->data() + s.header + 12, static_cast<uint32_t>(s.va + move_va));
  }
  WriteLe32(out->data() + rs.header + 8, static_cast<uint32_t>(vsize));
  WriteLe32(out->data() + rs.header + 16, static_cast<uint32_t>(raw_size));

  uint8_t* dirs = out->data() + pe.dirs_;
  WriteLe32(dirs + 8 * kPeDirResource + 4, static_cast<uint32_t>(layout.size));
  const uint32_t reloc = pe.DirectoryRva(kPeDirBaseRelocation);
  if (pe.DirectorySize(kPeDirBaseRelocation) && reloc > p.base)
    WriteLe32(dirs + 8 * kPeDirBaseRelocation, static_cast<uint32_t>(reloc + move_va));
  if (pe.dir_count_ > kPeDirCertificate) memset(dirs + 8 * kPeDirCertificate, 0, 8);

  // Size of the image and of the initialized data, from the new table.
  uint64_t image_end = 0, initialized = 0;
  for (const Section& old : pe.sections_) {
    const uint8_t* s = out->data() + old.header;
    const uint32_t vs = ReadLe32(s + 8), va = ReadLe32(s + 12), rsz = ReadLe32(s + 16);
    const uint64_t end = static_cast<uint64_t>(va) + (vs ? vs : rsz);
    if (end > image_end) image_end = end;
    if (old.flags & kPeSectionInitializedData) initialized += AlignUp(rsz, pe.file_alignment_);
  }
  uint8_t* opt = out->data() + pe.optional_;
  WriteLe32(opt + 8, static_cast<uint32_t>(initialized));
  WriteLe32(opt + 56, static_cast<uint32_t>(AlignUp(image_end, pe.section_alignment_)));
  *checksum_at = pe.headers_.checksum_at;
  if (payload) WriteLe32(opt + 64, PeChecksum(out->data(), out->size(), *checksum_at));
  return 1;
}

}  // namespace

int ReplacePayloadResource(const uint8_t* stub, size_t size, const uint8_t* payload,
                           size_t payload_size, std::vector<uint8_t>* out, std::string* why) {
  static const uint8_t kNone = 0;
  uint64_t payload_at;
  size_t checksum_at;
  return Rebuild(stub, size, payload ? payload : &kNone, payload_size, out, &payload_at,
                 &checksum_at, why);
}

int LayOutPayloadResource(const uint8_t* stub, size_t size, uint64_t payload_size,
                          std::vector<uint8_t>* out, uint64_t* payload_at, size_t* checksum_at,
                          std::string* why) {
  return Rebuild(stub, size, nullptr, payload_size, out, payload_at, checksum_at, why);
}
