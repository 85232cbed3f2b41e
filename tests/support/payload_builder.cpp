#include "support/payload_builder.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/journal.h"

void PutLe32(Bytes* out, uint32_t value) {
  out->resize(out->size() + 4);
  WriteLe32(out->data() + out->size() - 4, value);
}

Bytes CodedBody(const std::vector<Item>& items, bool spare_bits) {
  Bytes out;
  size_t word_at = 0;
  uint32_t word = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i % 16 == 0) {
      if (i) {
        out[word_at] = static_cast<uint8_t>(word);
        out[word_at + 1] = static_cast<uint8_t>(word >> 8);
      }
      word_at = out.size();
      word = 0;
      out.push_back(0);
      out.push_back(0);
    }
    const Item& it = items[i];
    if (it.match) {
      word |= 1u << (i % 16);
      out.push_back(static_cast<uint8_t>((it.distance >> 8) << 4 | ((it.length - 1) & 15)));
      out.push_back(static_cast<uint8_t>(it.distance));
    } else {
      out.push_back(it.literal);
    }
  }
  if (!items.empty()) {
    if (spare_bits && items.size() % 16) word |= 0xffffu << (items.size() % 16);
    out[word_at] = static_cast<uint8_t>(word);
    out[word_at + 1] = static_cast<uint8_t>(word >> 8);
  }
  return out;
}

Bytes MakeBlockWithLength(uint32_t expanded_length, uint32_t block_length,
                          const Bytes& body) {
  Bytes out(kBlockHeaderSize);
  WriteBlockHeader(out.data(), expanded_length, block_length);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes MakeBlock(uint32_t expanded_length, const Bytes& body) {
  return MakeBlockWithLength(expanded_length, static_cast<uint32_t>(body.size() + 16), body);
}

Bytes StoredBlock(const Bytes& bytes) {
  return MakeBlock(static_cast<uint32_t>(bytes.size()), bytes);
}

Bytes GreedyBlock(const Bytes& in) {
  std::vector<Item> items;
  std::vector<int64_t> head(1 << 14, -1);
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    size_t best_len = 0, best_dist = 0;
    if (i + 3 <= n) {
      uint32_t h = (in[i] * 2654435761u ^ in[i + 1] * 40503u ^ in[i + 2]) & 0x3fff;
      int64_t cand = head[h];
      head[h] = static_cast<int64_t>(i);
      if (cand >= 0 && i - cand <= kMaxMatchDistance) {
        size_t len = 0;
        while (len < kMaxMatchLength && i + len < n && in[cand + len] == in[i + len]) ++len;
        if (len >= 3) {
          best_len = len;
          best_dist = i - cand;
        }
      }
    }
    if (best_len) {
      items.push_back(Item::Match(static_cast<uint32_t>(best_len), static_cast<uint32_t>(best_dist)));
      i += best_len;
    } else {
      items.push_back(Item::Literal(in[i]));
      ++i;
    }
  }
  Bytes body = CodedBody(items);
  if (body.size() == n) return StoredBlock(in);  // would read as stored
  return MakeBlock(static_cast<uint32_t>(n), body);
}

Bytes Expand(const Bytes& block) {
  Bytes out(BlockExpandedLength(block.data()) + 1);
  BlockFault fault;
  uint32_t n = BlockDecoder(block.data(), static_cast<uint32_t>(block.size()), out.data(), &fault);
  out.resize(fault == kBlockFine ? n : 0);
  return out;
}

namespace {

int AppendTo(void* context, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), p, p + size);
  return 1;
}

}  // namespace

Bytes MakeContainerWithCount(int32_t count, const std::vector<EntrySpec>& entries) {
  Bytes out;
  PayloadWriter writer(AppendTo, &out, false);
  writer.Begin(count);
  for (const EntrySpec& e : entries)
    writer.AddWithField(e.name.c_str(), e.compressed, e.data.data(),
                        static_cast<uint32_t>(e.data.size()));
  return out;
}

Bytes MakeContainer(const std::vector<EntrySpec>& entries) {
  return MakeContainerWithCount(static_cast<int32_t>(entries.size()), entries);
}

Bytes Sealed(const Bytes& container) {
  Bytes out;
  PayloadWriter writer(AppendTo, &out);
  PayloadReader reader(container.data(), container.size());
  PayloadEntry e;
  if (reader.Start()) {
    writer.Begin(reader.count());
    while (reader.Next(&e))
      e.removal ? writer.AddRemoval(e.name, e.old_size, e.old_crc)
                : writer.AddWithField(e.name, e.compressed, e.data, e.size);
  }
  writer.End();
  return out;
}

static uint32_t Next(uint32_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 17;
  *state ^= *state << 5;
  return *state;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
  uint32_t s = seed * 2654435761u + 1;
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(Next(&s));
  return out;
}

Bytes TextLike(size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ", "patch ", "writes ", "every ", "file ", "of ", "payload ",
      "into ", "directory ", "Tessaline ", "version ", "and ", "reports ",
      "outcome. ", "scan ", "drive ", "\r\n"};
  uint32_t s = seed * 2654435761u + 7;
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[Next(&s) % (sizeof kWords / sizeof *kWords)];
    out.insert(out.end(), w, w + strlen(w));
  }
  out.resize(size);
  return out;
}

Bytes MakeJournal(int phase, const std::vector<InterruptedStep>& steps_left, int format) {
  std::vector<JournalStep> steps;
  for (const InterruptedStep& step : steps_left) {
    JournalStep s = {};
    s.temp = step.temp;
    s.backup = step.old_bytes ? step.backup : kNoFile;
    s.new_size = static_cast<uint32_t>(step.new_bytes.size());
    s.new_crc = Crc32c(0, step.new_bytes.data(), step.new_bytes.size());
    if (step.old_bytes) {
      s.old_size = step.old_bytes->size();
      s.old_crc = Crc32c(0, step.old_bytes->data(), step.old_bytes->size());
    }
    snprintf(s.name, sizeof s.name, "%s", step.name.c_str());
    steps.push_back(s);
  }
  size_t size = 0;
  uint8_t* bytes = EncodeJournal(static_cast<JournalPhase>(phase), steps.data(),
                                 static_cast<int>(steps.size()), &size, format);
  Bytes out(bytes, bytes + size);
  free(bytes);
  return out;
}
