#include "lzcx/pack.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <string>

#include "lzcx/cli.h"
#include "lzcx/commands.h"
#include "lzcx/delta_encoder.h"
#include "lzcx/strong_encoder.h"
#include "payload/applier.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/delta.h"
#include "payload/entries.h"
#include "payload/names.h"
#include "payload/pe.h"
#include "payload/strong.h"
#include "payload/x86.h"
#include "platform/name_case.h"
#include "platform/platform.h"
#include "resources/resource_ids.h"

namespace {

// One file on its way into the payload.
struct Input {
  std::string path;
  std::string name;
  bool renamed;
  PathInfo info;
  std::string old_path;  // pack -C --from: its old version, if there is one
  std::vector<std::string> more_old;  // and in the further --from folders
};

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

// "name: 12.5%" on the terminal, for files that take more than a second.
class ProgressLine : public EncodeProgress {
 public:
  ProgressLine(const std::string& name, bool enabled)
      : name_(name), enabled_(enabled), shown_(false), last_(-1),
        start_(std::chrono::steady_clock::now()) {}
  ~ProgressLine() override {
    if (shown_) fputs("\r\033[K", stderr);
  }
  void Report(uint64_t done, uint64_t total) override {
    if (!enabled_ || !total) return;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    if (elapsed.count() < 1.0) return;
    const int permille = static_cast<int>(done * 1000 / total);
    if (permille == last_) return;
    last_ = permille;
    shown_ = true;
    fprintf(stderr, "\r%s: %d.%d%%", name_.c_str(), permille / 10, permille % 10);
  }

 private:
  std::string name_;
  bool enabled_;
  bool shown_;
  int last_;
  std::chrono::steady_clock::time_point start_;
};

// A release file as the encoder reads it, the reason of a failure kept.
class FileInput : public EncodeInput {
 public:
  FileInput(InputFile* file, const std::string& path, std::string* why)
      : file_(file), path_(path), why_(why) {}
  int Read(uint8_t* out, size_t size) override {
    return file_->Read(out, size, why_) || Failed();
  }
  int Rewind() override { return file_->Rewind(why_) || Failed(); }

 private:
  int Failed() {
    *why_ = path_ + ": " + *why_;
    return 0;
  }
  InputFile* file_;
  std::string path_;
  std::string* why_;
};

// The parse's items of a large file, in a scratch file made when first
// needed and kept for the next ones.
class ScratchItems : public ItemStore {
 public:
  ScratchItems(ScratchFile* file, std::string* why) : file_(file), why_(why) {}
  int WriteAt(uint64_t offset, const uint8_t* data, size_t size) override {
    return file_->WriteAt(offset, data, size, why_);
  }
  int ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    return file_->ReadAt(offset, data, size, why_);
  }

 private:
  ScratchFile* file_;
  std::string* why_;
};

// Items of files up to this many bytes stay in memory.
const uint64_t kItemsInMemory = 32ull << 20;

// Decodes a block as its bytes go past (BlockPusher) and compares what
// comes out with the file, read again: the block must be exactly the file,
// which only a bug of the encoder can prevent.
class BlockCheck final : public ByteSink {
 public:
  BlockCheck(InputFile* file, uint64_t size, uint64_t block_size)
      : file_(file), size_(size), block_size_(block_size), in_(AllocateBuffer(kStreamPiece)),
        pusher_(block_size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(block_size), this) {}
  bool ok() const { return in_ != nullptr; }

  int Push(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n && got_ < kBlockHeaderSize; ++i) header_[got_++] = p[i];
    return pusher_.Push(p, n) == kBlockFine;
  }

  // After the whole block: zero with the reason in `why`.
  int Finish(const PackFile& file, std::string* why) {
    const BlockFault fault = pusher_.Finish();
    const bool header_fine = got_ == kBlockHeaderSize && BlockLength(header_) == block_size_ &&
                             BlockExpandedLength(header_) == size_;
    if (header_fine && fault == kBlockFine && compared_ == size_) return 1;
    if (!read_why_.empty()) {
      *why = file.path + ": " + read_why_;
      return 0;
    }
    *why = "internal error, nothing written: " + file.name +
           ": its block does not decode back to the file (" +
           (!header_fine ? "its header is wrong"
            : differs_   ? "its bytes differ"
                         : BlockFaultText(fault)) +
           ")";
    return 0;
  }

 protected:
  // The decoded bytes against the file's next ones.
  int Put(const uint8_t* data, uint32_t n) override {
    if (n > size_ - compared_ || !file_->Read(in_.get(), n, &read_why_)) return 0;
    if (memcmp(in_.get(), data, n)) return differs_ = true, 0;
    compared_ += n;
    return 1;
  }

 private:
  InputFile* file_;
  uint64_t size_, block_size_;
  uint64_t compared_ = 0;
  uint8_t header_[kBlockHeaderSize];
  size_t got_ = 0;
  bool differs_ = false;
  std::string read_why_;
  Buffer in_;
  BlockPusher pusher_;
};

// PayloadWriter's sink: a PayloadSink, and where its reason goes.
struct SinkContext {
  PayloadSink* sink;
  std::string* why;
};

int ToSink(void* context, const void* data, size_t size) {
  SinkContext* c = static_cast<SinkContext*>(context);
  return c->sink->Write(data, size, c->why);
}

// The number of old releases a delta may be made from.
int BaseCount(const PackOptions& options) {
  return options.base_names.size() > 1 ? static_cast<int>(options.base_names.size()) : 1;
}

// The delta entry of `in` against its old file in base `base`'s folder
// (options.from, or a further one), if there is one (same name, any letter
// case), applied again and compared with the file: only a bug of the
// encoder can make it differ. *data is left empty when there is no old
// file. The file is read, unless `read` holds it already. Zero with the
// reason.
int EncodeDeltaChecked(const PackFile& file, const PackOptions& options,
                       std::vector<uint8_t>* data, uint64_t* old_size, DataForm* form,
                       std::string* why, const FileBytes* read = nullptr, int base = 0) {
  data->clear();
  std::string old_path = !base ? file.old_path
                         : static_cast<size_t>(base) <= file.more_old.size()
                             ? file.more_old[base - 1]
                             : std::string();
  const char* from = !base ? options.from
                     : static_cast<size_t>(base) <= options.more_from.size()
                         ? options.more_from[base - 1]
                         : nullptr;
  if (old_path.empty()) {
    if (!from) return 1;
    platform::FindData found;
    const std::string dir = DirectoryString(from);
    if (!platform::ProbePath((dir + file.name).c_str(), &found)) return 1;
    old_path = dir + found.name;
  }
  FileBytes old;
  if (!ReadRegularFile(old_path.c_str(), kMaxDeltaOld, "an old file", &old, why)) {
    why->clear();  // a folder of that name, or too large a file: no delta
    return 1;
  }
  *old_size = old.size;
  // The delta encoder takes the new file whole too.
  FileBytes own;
  if (!read && !ReadRegularFile(file.path.c_str(), kMaxBlockInput, "a payload entry", &own, why)) {
    *why = file.path + ": " + *why;
    return 0;
  }
  const FileBytes& in = read ? *read : own;
  if (!EncodeDelta(old.data.get(), old.size, in.data.get(), in.size, data, nullptr, form)) {
    *why = file.path + ": out of memory while making its delta";
    return 0;
  }
  // Read back as the patcher reads it: a payload of that one entry.
  VectorSink record;
  std::string ignored;
  SinkContext context = {&record, &ignored};
  PayloadWriter writer(ToSink, &context, false);
  writer.Begin(1);
  writer.Add(file.name.c_str(), *form, data->data(), static_cast<uint32_t>(data->size()));
  PayloadEntry e;
  PayloadReader reader(record.bytes.data(), record.bytes.size());
  Buffer out = AllocateBuffer(in.size);
  DeltaFault fault = kDeltaNoMemory;
  if (reader.Start() && reader.Next(&e) && out &&
      ApplyDelta(old.data.get(), static_cast<uint32_t>(old.size), e, out.get(), &fault) &&
      (!in.size || memcmp(out.get(), in.data.get(), in.size) == 0))
    return 1;
  *why = "internal error, nothing written: " + file.name + ": its delta does not apply (" +
         DeltaFaultText(fault) + ")";
  return 0;
}

// The block goes to the writer and through the check as it is made.
class CheckedOutput : public EncodeOutput {
 public:
  CheckedOutput(PayloadWriter* writer, BlockCheck* check) : writer_(writer), check_(check) {}
  int Write(const uint8_t* data, size_t size) override {
    return check_->Push(data, size) && writer_->AddData(data, size);
  }

 private:
  PayloadWriter* writer_;
  BlockCheck* check_;
};

// Writes the planned block of `file` as its entry, checked as it goes.
// Zero with the reason.
int WriteBlock(const PackFile& file, BlockCoder* coder, EncodeInput* input, uint64_t size,
               uint64_t length, PayloadWriter* writer, std::string* why, uint8_t bases = 0) {
  InputFile again;
  if (!again.Open(file.path.c_str(), kMaxBlockInput, "a payload entry", why)) {
    *why = file.path + ": " + *why;
    return 0;
  }
  std::unique_ptr<BlockCheck> check(new BlockCheck(&again, size, length));
  if (!check->ok()) {
    *why = file.path + ": out of memory while encoding it";
    return 0;
  }
  CheckedOutput out(writer, check.get());
  why->clear();
  if (!writer->BeginEntry(file.name.c_str(), kFormBlock, static_cast<uint32_t>(length), bases)) {
    if (why->empty()) *why = file.path + ": out of memory while writing its entry";
    return 0;
  }
  const int emitted = coder->Emit(input, &out);
  if (!emitted && !why->empty()) return 0;  // the input's or the sink's reason
  if (!check->Finish(file, why)) return 0;
  if (!emitted || !writer->EndEntry()) {
    if (why->empty()) *why = file.path + ": its block could not be written";
    return 0;
  }
  return 1;
}

// The bytes of an entry's header and name: the short header for a plain
// name that fits its field, the extended one with its path otherwise, and
// for an entry for some bases (`bases`, its bases byte).
uint64_t EntryOverhead(const std::string& name, uint8_t bases = 0) {
  const bool fits = !bases && name.size() < static_cast<size_t>(kEntryNameField) &&
                    name.find('/') == std::string::npos;
  return kEntryHeaderSize + (fits ? 0 : name.size() + 1);
}

// A name as typed, but no control character reaches the terminal: C0 and
// DEL, C1 in UTF-8, and any byte beyond ASCII of a name that is not UTF-8
// (a terminal may take one alone for C1) show as '?'.
std::string Shown(const std::string& name) {
  const bool utf8 = platform::IsUtf8(name.c_str());
  std::string shown;
  for (size_t k = 0; k < name.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(name[k]);
    const bool c1 = c == 0xC2 && k + 1 < name.size() &&
                    (static_cast<unsigned char>(name[k + 1]) & 0xE0) == 0x80;
    k += c1;
    shown += c < 32 || c == 127 || c1 || (c >= 0x80 && !utf8) ? '?' : static_cast<char>(c);
  }
  return shown;
}

// A name, or a folder of a path (`folder` bytes of it), for CheckNames.
struct NameKey {
  const PackFile* file;
  size_t length;  // all of the name, or its folder's part
  bool folder;
};

// Every name is one the program can write (a path with -C, and for a
// removal), and no two are one file: a
// sort by the target's order of names puts the ones it takes for one
// side by side. A path's folders join them, so that neither a file nor
// another folder is one of them but for letter case.
int CheckNames(const std::vector<PackFile>& files, bool paths, std::string* why) {
  std::vector<NameKey> keys;
  for (const PackFile& f : files) {
    // One old file's removals for several bases, each for its own.
    if (f.removal && keys.size() && keys.back().file->removal && keys.back().file->name == f.name &&
        (keys.back().file->bases & f.bases) == 0 && f.bases)
      continue;
    const NameVerdict verdict = paths || f.removal ? CheckEntryPath(f.name.c_str(), kNameForPacking)
                                                   : CheckEntryName(f.name.c_str(), kNameForPacking);
    if (verdict != kNameFine) {
      *why = Printf("%s: entry name \"%s\": %s%s", f.path.c_str(), Shown(f.name).c_str(),
                    NameVerdictText(verdict),
                    verdict != kNameNotAscii ? ""
                    : paths || f.removal ? " (the program creates files through 8-bit calls, whose code page "
                              "differs between Windows versions)"
                            : " (the program creates files through 8-bit calls, whose code page "
                              "differs between Windows versions): --name NAME=FILE gives it an "
                              "ASCII name");
      return 0;
    }
    keys.push_back(NameKey{&f, f.name.size(), false});
    if (f.removal) continue;  // what it removes makes no folder
    for (size_t k = 0; k < f.name.size(); ++k)
      if (f.name[k] == '/') keys.push_back(NameKey{&f, k, true});
  }
  std::vector<std::string> texts;
  texts.reserve(keys.size());
  for (const NameKey& k : keys) texts.push_back(k.file->name.substr(0, k.length));
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return platform::CompareFileNames(texts[a].c_str(), texts[b].c_str()) < 0;
  });
  for (size_t i = 1; i < order.size(); ++i) {
    const size_t a = order[i - 1], b = order[i];
    if (platform::CompareFileNames(texts[a].c_str(), texts[b].c_str())) continue;
    if (keys[a].folder && keys[b].folder && texts[a] == texts[b]) continue;  // one folder
    const PackFile& x = *keys[a].file;
    const PackFile& y = *keys[b].file;
    if (!keys[a].folder && !keys[b].folder) {
      *why = Printf("entries \"%s\" (%s) and \"%s\" (%s) are the same file on the target system",
                    x.name.c_str(), x.path.c_str(), y.name.c_str(), y.path.c_str());
    } else {
      *why = Printf("entries \"%s\" (%s) and \"%s\" (%s): \"%s\" and \"%s\" are one %s on the "
                    "target system",
                    x.name.c_str(), x.path.c_str(), y.name.c_str(), y.path.c_str(),
                    texts[a].c_str(), texts[b].c_str(),
                    keys[a].folder && keys[b].folder ? "folder" : "name");
    }
    return 0;
  }
  return 1;
}

}  // namespace

namespace {

// A file's line on stderr: its sizes, ratio and form.
void Report(const PackFile& file, const PackOptions& options, uint64_t size, uint64_t length,
            const std::string& form) {
  if (!options.report) return;
  const double ratio = size ? static_cast<double>(length) / static_cast<double>(size) : 1.0;
  std::string said = form;
  // A file stored under another name than its path says which.
  if (!options.paths && file.name != file.path) said += " (from " + file.path + ")";
  fprintf(stderr, "%s: %llu -> %llu bytes, %.3f%s\n", file.name.c_str(),
          static_cast<unsigned long long>(size), static_cast<unsigned long long>(length), ratio,
          said.c_str());
}

// The payload so far, which must stay within what a payload can be.
int Grow(uint64_t* total, uint64_t bytes, const PackFile& file, std::string* why) {
  *total += bytes;
  if (*total <= kMaxPayloadSize && bytes <= kMaxPayloadSize) return 1;
  *why = file.path + ": the payload would be larger than a payload can be (4 GB)";
  return 0;
}

int AddEntry(PayloadWriter* writer, const PackFile& file, DataForm form,
             const std::vector<uint8_t>& data, std::string* why, uint8_t bases = 0) {
  if (writer->Add(file.name.c_str(), form, data.data(), static_cast<uint32_t>(data.size()),
                  bases))
    return 1;
  if (why->empty()) *why = file.path + ": out of memory while writing its entry";
  return 0;
}

// A file's delta, made already (empty: the file has none), and the bases
// it is for: each base whose old file gives these very bytes (0: the one
// base there is, or every one).
struct MadeDelta {
  std::vector<uint8_t> data;
  uint64_t old_size = 0;
  DataForm form = kFormDelta;
  uint8_t bases = 0;
};

// Every base as bits of a bases byte.
uint8_t AllBases(const PackOptions& options) {
  return static_cast<uint8_t>((1u << BaseCount(options)) - 1);
}

// The deltas of `file` against each base's old file, the same bytes once
// (a file that did not change between two old releases gives one delta
// for both). A delta for every base names none. Zero with the reason.
int MakeDeltas(const PackFile& file, const PackOptions& options, std::vector<MadeDelta>* deltas,
               std::string* why, const FileBytes* read = nullptr) {
  deltas->clear();
  const int bases = BaseCount(options);
  for (int base = 0; base < bases; ++base) {
    MadeDelta d;
    if (!EncodeDeltaChecked(file, options, &d.data, &d.old_size, &d.form, why, read, base))
      return 0;
    if (d.data.empty()) continue;
    d.bases = bases > 1 ? static_cast<uint8_t>(1u << base) : 0;
    bool same = false;
    for (MadeDelta& m : *deltas)
      if (m.form == d.form && m.data == d.data) m.bases |= d.bases, same = true;
    if (!same) deltas->push_back(std::move(d));
  }
  for (MadeDelta& m : *deltas)
    if (m.bases == AllBases(options)) m.bases = 0;
  return 1;
}

// Of `deltas`, those smaller than the file's other entry (`length` bytes),
// into `kept`; returns the bases the others were for, which take that
// entry (0: none; AllBases: every one, as without deltas).
uint8_t Smaller(const std::vector<MadeDelta>& deltas, uint64_t length, const PackOptions& options,
                std::vector<MadeDelta>* kept) {
  uint8_t rest = AllBases(options);
  kept->clear();
  for (const MadeDelta& d : deltas) {
    if (d.data.size() >= length) continue;
    rest &= static_cast<uint8_t>(d.bases ? ~d.bases : 0);
    kept->push_back(d);
  }
  return rest;
}

// The bases byte of an entry for the bases `bases`: 0 when that is every one.
uint8_t BasesByte(uint8_t bases, const PackOptions& options) {
  return bases == AllBases(options) ? 0 : bases;
}

// ", for 1.23, 1.24": the bases of an entry for some, in its line.
std::string ForBases(uint8_t bases, const PackOptions& options) {
  if (!bases) return std::string();
  std::string said = ", for";
  const char* separator = " ";
  for (int base = 0; base < BaseCount(options); ++base)
    if (bases >> base & 1) {
      said += separator + options.base_names[static_cast<size_t>(base)];
      separator = ", ";
    }
  return said;
}

// Writes the file's deltas, each with its line.
int AddDeltas(PayloadWriter* writer, const PackFile& file, const PackOptions& options,
              uint64_t size, const std::vector<MadeDelta>& deltas, uint64_t* total,
              std::string* why) {
  for (const MadeDelta& d : deltas) {
    if (!Grow(total, EntryOverhead(file.name, d.bases) + d.data.size(),
              file, why) ||
        !AddEntry(writer, file, d.form, d.data, why, d.bases))
      return 0;
    Report(file, options, size, d.data.size(),
           Printf(" (%s from %llu bytes%s)", DataFormName(d.form),
                  static_cast<unsigned long long>(d.old_size), ForBases(d.bases, options).c_str()));
  }
  return 1;
}

// A file as a block, or as its delta where that is smaller (`made`, or
// made here), encoded in pieces: memory does not grow with the file.
int PackBlockFile(const PackFile& file, const PackOptions& options, BlockCoder* coder,
                  ScratchFile* scratch, PayloadWriter* writer, uint64_t* total, std::string* why,
                  const std::vector<MadeDelta>* made = nullptr) {
  InputFile input;
  if (!input.Open(file.path.c_str(), kMaxBlockInput, "a payload entry", why)) {
    *why = file.path + ": " + *why;
    return 0;
  }
  const uint64_t size = input.size();
  FileInput encoder_input(&input, file.path, why);
  // The parse's items: in memory for a small file, else in the scratch file.
  MemoryItemStore in_memory;
  ScratchItems scratch_items(scratch, why);
  ItemStore* items = &in_memory;
  if (ItemStoreSize(size) > kItemsInMemory) {
    if (!scratch->open() && !scratch->Create(options.scratch_near, why)) return 0;
    items = &scratch_items;
  } else if (!in_memory.Reserve(ItemStoreSize(size))) {
    *why = file.path + ": out of memory while encoding it";
    return 0;
  }
  uint64_t length = 0;
  EncodeStats stats;
  {
    ProgressLine progress(file.name, options.progress);
    if (!coder->Plan(&encoder_input, size, options.parse, items, &length, &stats, &progress)) {
      if (why->empty()) *why = file.path + ": out of memory while encoding it";
      return 0;
    }
    if (!input.CheckEnd(why)) {
      *why = file.path + ": " + *why;
      return 0;
    }
  }
  std::vector<MadeDelta> here, deltas;
  if (!made && !MakeDeltas(file, options, &here, why)) return 0;
  // Each base by its delta where that is smaller; the rest by the block.
  const uint8_t rest = Smaller(made ? *made : here, length, options, &deltas);
  if (!AddDeltas(writer, file, options, size, deltas, total, why)) return 0;
  if (!rest) return 1;
  const uint8_t bases = BasesByte(rest, options);
  if (!Grow(total, EntryOverhead(file.name, bases) + length, file,
            why) ||
      !WriteBlock(file, coder, &encoder_input, size, length, writer, why, bases))
    return 0;
  const bool stored = BlockIsStored(static_cast<uint32_t>(size), static_cast<uint32_t>(length));
  Report(file, options, size, length,
         stored ? " (stored" + ForBases(bases, options) + ")"
         : bases ? " (block" + ForBases(bases, options) + ")"
                 : std::string());
  return 1;
}

// A container made in a scratch file, then copied to its sink with the
// entries' count in its first bytes.
class ScratchSink : public PayloadSink {
 public:
  explicit ScratchSink(ScratchFile* file) : file_(file) {}
  int Write(const void* data, size_t size, std::string* why) override {
    if (!file_->WriteAt(size_, data, size, why)) return 0;
    size_ += size;
    return 1;
  }
  int CopyTo(PayloadSink* sink, uint32_t count, std::string* why) {
    const size_t kPiece = 1 << 20;
    Buffer piece = AllocateBuffer(kPiece);
    if (!piece) {
      *why = "out of memory while writing the payload";
      return 0;
    }
    for (uint64_t done = 0; done < size_;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size_ - done));
      if (!file_->ReadAt(done, piece.get(), n, why)) return 0;
      if (!done) WriteLe32(piece.get(), count);
      if (!sink->Write(piece.get(), n, why)) return 0;
      done += n;
    }
    return 1;
  }

 private:
  ScratchFile* file_;
  uint64_t size_ = 0;
};

// Files of at most this size go into solid groups, read whole; a larger
// one is a block, encoded in pieces.
const uint64_t kStrongFileLimit = 256ull << 20;
// A group is closed before it grows beyond this: it is read whole. Its
// matches reach back at most the window (64 MB), but its models go on
// learning: one group of a 166 MB release of DLLs is 2.5% smaller than
// three of at most 64 MB.
const uint64_t kGroupLimit = 256ull << 20;

// log2(n) in 16.16 fixed point, in integers alone, so that lzcx and
// lzcx.exe decide alike.
uint64_t Log2Fixed(uint64_t n) {
  if (!n) return 0;
  int whole = 63 - __builtin_clzll(n);
  // The mantissa in 1.31, squared bit by bit for the fraction's bits.
  uint64_t m = whole >= 31 ? n >> (whole - 31) : n << (31 - whole);
  uint64_t fraction = 0;
  for (int bit = 15; bit >= 0; --bit) {
    m = (m * m) >> 31;
    if (m >= (2ull << 31)) {
      m >>= 1;
      fraction |= 1ull << bit;
    }
  }
  return static_cast<uint64_t>(whole) << 16 | fraction;
}

// Whether `size` bytes look like compressed data: their byte frequencies
// as even as chance allows. Such a file is stored as a block: coding it
// would only add the coder's cost of learning it.
bool LooksIncompressible(const uint8_t* data, size_t size) {
  if (size < 1024) return false;
  uint64_t counts[256] = {};
  for (size_t i = 0; i < size; ++i) ++counts[data[i]];
  // n log2 n - sum c log2 c: the bits of an order-0 code, in 16.16.
  uint64_t bits = size * Log2Fixed(size);
  for (uint64_t c : counts) bits -= c * Log2Fixed(c);
  // Chance alone leaves about 184/n bits per byte below 8 for random bytes.
  const uint64_t even = (8ull << 16) * size - (184ull << 16);
  return bits + (size << 16) / 20 >= even;  // within 0.05 bits a byte of that
}

// Files under way: consecutive files in one solid group, their bytes back
// to back (the code ranges made absolute), encoded together so that each
// file's matches reach into the ones before it; and, in their places
// among them, files that are deltas or blocks, which the group passes over.
class StrongGroup {
 public:
  StrongGroup(const PackOptions& options, BlockCoder* coder, ScratchFile* scratch,
              PayloadWriter* writer, uint64_t* total)
      : options_(options), coder_(coder), scratch_(scratch), writer_(writer), total_(total) {
    settings_.level = options.parse == kParseOptimal ? 9 : 1;
  }
  uint64_t size() const { return bytes_.size(); }

  // Reads `file` whole: nonzero with its bytes in *bytes.
  static int Read(const PackFile& file, FileBytes* bytes, std::string* why) {
    if (ReadRegularFile(file.path.c_str(), kStrongFileLimit, "a payload entry", bytes, why))
      return 1;
    *why = file.path + ": " + *why;
    return 0;
  }

  // The file's bytes joined to the group, transformed where it is code;
  // `bases`, its bases byte, for some bases only.
  void Add(const PackFile& file, const FileBytes& in, uint8_t bases = 0) {
    Item m;
    m.kind = kStrongItem;
    m.file = &file;
    m.bases = bases;
    m.size = static_cast<uint32_t>(in.size);
    m.crc = Crc32c(0, in.data.get(), in.size);
    m.count = FindCodeRanges(in.data.get(), in.size, m.ranges, kMaxCodeRanges);
    const size_t at = bytes_.size();
    // Room to grow by doubling, up to the group's limit, which a group
    // never passes (Flush comes first).
    if (at + in.size > bytes_.capacity())
      bytes_.reserve(static_cast<size_t>(
          std::min<uint64_t>(kGroupLimit, std::max<uint64_t>(2 * (at + in.size), 16u << 20))));
    bytes_.insert(bytes_.end(), in.data.get(), in.data.get() + in.size);
    X86Absolute(bytes_.data() + at, m.size, m.ranges, m.count);
    items_.push_back(m);
  }
  // A file that goes as a block in its place, or as its delta where that
  // is smaller (`made`, if it was made already).
  void AddBlock(const PackFile& file, std::vector<MadeDelta>* made = nullptr) {
    Item m = {};
    m.kind = kBlockItem;
    m.file = &file;
    m.delta_made = made != nullptr;
    if (made) m.deltas.swap(*made);
    items_.push_back(std::move(m));
  }
  // A file that goes as its deltas, made already.
  void AddDeltas(const PackFile& file, uint32_t size, std::vector<MadeDelta>* deltas) {
    Item m = {};
    m.kind = kDeltaItem;
    m.file = &file;
    m.size = size;
    m.deltas.swap(*deltas);
    items_.push_back(std::move(m));
  }

  // The size of `file`'s strong entry were it a group of its own.
  int SizeAlone(const PackFile& file, const FileBytes& in, uint64_t* length, std::string* why) {
    StrongGroup alone(options_, coder_, scratch_, nullptr, nullptr);
    std::vector<uint8_t> data;
    alone.Add(file, in);
    if (!alone.Encode(alone.items_[0], &data, why)) return 0;
    *length = data.size();
    return 1;
  }

  // Encodes the group, checks each entry by decoding it, and writes the
  // entries in their order.
  int Flush(std::string* why) {
    if (items_.empty()) return 1;
    encoder_.reset();
    StrongDecoder decoder;
    std::vector<uint8_t> data;
    bool numbered = false;
    for (const Item& m : items_) {
      const PackFile& file = *m.file;
      if (m.kind == kBlockItem) {
        if (!PackBlockFile(file, options_, coder_, scratch_, writer_, total_, why,
                           m.delta_made ? &m.deltas : nullptr))
          return 0;
        continue;
      }
      if (m.kind == kDeltaItem) {
        if (!::AddDeltas(writer_, file, options_, m.size, m.deltas, total_, why)) return 0;
        continue;
      }
      if (!numbered) ++number_, numbered = true;
      if (!Encode(m, &data, why)) return 0;
      SumOnly sum;
      const StrongFault fault =
          decoder.Decode(data.data(), static_cast<uint32_t>(data.size()), &sum);
      if (fault != kStrongFine || sum.crc != m.crc) {
        *why = "internal error, nothing written: " + file.name +
               ": its strong entry does not decode back to the file (" +
               (fault != kStrongFine ? StrongFaultText(fault) : "its bytes differ") + ")";
        return 0;
      }
      if (!Grow(total_, EntryOverhead(file.name, m.bases) + data.size(),
                file, why) ||
          !AddEntry(writer_, file, kFormStrong, data, why, m.bases))
        return 0;
      Report(file, options_, m.size, data.size(),
             Printf(" (strong, group %d%s)", number_, ForBases(m.bases, options_).c_str()));
    }
    items_.clear();
    bytes_.clear();
    encoder_.reset();
    return 1;
  }

 private:
  enum ItemKind { kStrongItem, kBlockItem, kDeltaItem };
  struct Item {
    ItemKind kind;
    const PackFile* file;
    uint32_t size, crc;
    CodeRange ranges[kMaxCodeRanges];
    int count;
    bool delta_made = false;  // a block's: its deltas (perhaps none) are made already
    std::vector<MadeDelta> deltas;
    uint8_t bases = 0;        // a strong entry's bases byte
  };

  // A member's entry data, after the ones before it.
  int Encode(const Item& m, std::vector<uint8_t>* data, std::string* why) {
    if (!encoder_) {
      settings_.window_log = StrongWindowFor(bytes_.size(), kStrongMaxWindowLog);
      encoder_.reset(new StrongEncoder(settings_, bytes_.data(), bytes_.size()));
    }
    data->clear();
    if (encoder_->EncodeNext(m.size, m.crc, m.ranges, m.count, data)) return 1;
    *why = m.file->path + ": out of memory while encoding it";
    return 0;
  }

  const PackOptions& options_;
  BlockCoder* coder_;
  ScratchFile* scratch_;
  PayloadWriter* writer_;
  uint64_t* total_;
  StrongSettings settings_;
  std::vector<uint8_t> bytes_;
  std::vector<Item> items_;
  std::unique_ptr<StrongEncoder> encoder_;
  int number_ = 0;
};

}  // namespace

int PackPayload(const std::vector<PackFile>& files, const PackOptions& options,
                PayloadSink* sink, std::string* why) {
  if (files.empty() || files.size() > 0x7FFFFFFF) {
    *why = "no files to pack";
    return 0;
  }
  if (!CheckNames(files, options.paths, why)) return 0;
  const uint32_t count = static_cast<uint32_t>(files.size());
  // With several bases a file may take an entry for each, so the count is
  // known only at the end: the container is made in a scratch file, and
  // goes to the sink with its count once that is known.
  const bool several = BaseCount(options) > 1;
  ScratchFile made;
  ScratchSink to_scratch(&made);
  if (several && !made.Create(options.scratch_near, why)) return 0;
  SinkContext context = {several ? &to_scratch : sink, why};
  PayloadWriter writer(ToSink, &context);
  StreamEncoder stream_encoder;
  BlockCoder* coder = options.coder ? options.coder : &stream_encoder;
  ScratchFile scratch;
  if (!writer.Begin(static_cast<int32_t>(count))) return 0;
  uint64_t total = 4 + TrailerSize(count);
  if (several) {
    std::string names;
    for (const std::string& name : options.base_names) names += (names.empty() ? "" : "/") + name;
    if (!Grow(&total, kEntryHeaderSize + names.size() + 1, files[0], why)) return 0;
    if (!writer.AddBases(names.c_str())) {
      if (why->empty()) *why = "out of memory while writing the bases";
      return 0;
    }
  }
  StrongGroup group(options, coder, &scratch, &writer, &total);
  for (const PackFile& file : files) {
    if (file.removal) {
      if (!group.Flush(why) || !Grow(&total, EntryOverhead(file.name) + kRemovalDataSize, file, why))
        return 0;
      if (!writer.AddRemoval(file.name.c_str(), file.old_size, file.old_crc, file.bases)) {
        if (why->empty()) *why = file.name + ": out of memory while writing its removal";
        return 0;
      }
      if (options.report)
        fprintf(stderr, "%s: removed (%llu bytes%s)\n", file.name.c_str(),
                static_cast<unsigned long long>(file.old_size),
                ForBases(file.bases, options).c_str());
      continue;
    }
    PathInfo info;
    std::string ignored;  // the block's road says why a file cannot be read
    if (options.form == kPackBlock || !ExaminePath(file.path.c_str(), &info, &ignored) ||
        info.kind != PathInfo::kRegular || info.size > kStrongFileLimit) {
      group.AddBlock(file);
      continue;
    }
    FileBytes in;
    if (!StrongGroup::Read(file, &in, why)) return 0;
    // A delta where it is smaller than the file would be alone.
    std::vector<MadeDelta> deltas;
    uint64_t alone = 0;
    if (!MakeDeltas(file, options, &deltas, why, &in)) return 0;
    if (!deltas.empty() && !group.SizeAlone(file, in, &alone, why)) return 0;
    std::vector<MadeDelta> smaller;
    const uint8_t rest = Smaller(deltas, alone, options, &smaller);
    if (rest && LooksIncompressible(in.data.get(), in.size)) {
      // Each base by its delta, or the block, whichever is smaller.
      group.AddBlock(file, &deltas);
      continue;
    }
    if (!smaller.empty()) group.AddDeltas(file, static_cast<uint32_t>(in.size), &smaller);
    if (rest == AllBases(options)) {
      if (group.size() + in.size > kGroupLimit && !group.Flush(why)) return 0;
      group.Add(file, in);
    } else if (rest) {
      // For some bases only: a group of its own, which no other base's
      // entry goes on from.
      if (!group.Flush(why)) return 0;
      group.Add(file, in, rest);
      if (!group.Flush(why)) return 0;
    }
  }
  if (!group.Flush(why)) return 0;
  if (several) writer.Recount(static_cast<int32_t>(writer.added()));
  if (!writer.End()) {
    if (why->empty()) *why = "out of memory while writing the checksum trailer";
    return 0;
  }
  return !several || to_scratch.CopyTo(sink, writer.added(), why);
}

namespace {

class TempFileSink : public PayloadSink {
 public:
  explicit TempFileSink(TempFile* file) : file_(file) {}
  int Write(const void* data, size_t size, std::string* why) override {
    return file_->Write(data, size, why);
  }

 private:
  TempFile* file_;
};

class StandardOutputSink : public PayloadSink {
 public:
  int Write(const void* data, size_t size, std::string* why) override {
    written += size;
    return WriteStandardOutput(data, size, why);
  }
  uint64_t written = 0;
};

// Reads the packed payload back the way the patcher will, checksums and a
// full decode included, and compares its entries with the inputs. Zero
// with the reason, which only a bug of the packer can cause.
int CheckPacked(const uint8_t* data, size_t size, const std::vector<PackFile>& files,
                std::string* why) {
  char fault[512];
  PayloadIntegrity integrity;
  if (!CheckPayloadIntegrity(data, size, &integrity, fault, sizeof fault)) {
    *why = fault;
    return 0;
  }
  if (!VerifyPayload(data, size, "", fault, sizeof fault, nullptr, &integrity)) {
    *why = fault;
    return 0;
  }
  PayloadReader reader(data, size);
  PayloadEntry e;
  reader.Start();
  const bool several = reader.Next(&e) && e.names_bases;
  if (!integrity.checksums || (!several && integrity.count != static_cast<int32_t>(files.size()))) {
    *why = "the payload's trailer or entry count is wrong";
    return 0;
  }
  if (!several) reader.Start();
  // With several bases, a file's entries one after the other, one or more.
  bool more = reader.Next(&e);
  for (const PackFile& f : files) {
    int n = 0;
    while (more && f.name == e.name && f.removal == e.removal && (f.removal || e.compressed) &&
           (!n || (several && !f.removal))) {
      ++n;
      more = reader.Next(&e);
    }
    if (!n) {
      *why = f.name + ": the entry's header is wrong";
      return 0;
    }
  }
  if (more || !reader.done()) {
    *why = "the payload holds entries of no file";
    return 0;
  }
  if (!several) return 1;
  // Every base writes every file, each the same.
  PatchEntries entries;
  if (!entries.Read(data, size, nullptr, fault, sizeof fault)) {
    *why = fault;
    return 0;
  }
  for (int base = 0; base < entries.bases(); ++base) {
    std::vector<std::string> names;
    if (!entries.Select(base, fault, sizeof fault)) {
      *why = fault;
      return 0;
    }
    for (int i = 0; i < entries.count(); ++i)
      if (!entries[i].removal) names.push_back(entries[i].name);
    size_t files_written = 0;
    for (const PackFile& f : files) files_written += !f.removal;
    if (names.size() != files_written) {
      *why = "base " + std::to_string(base) + " does not write every file";
      return 0;
    }
  }
  return 1;
}

// The output: not a directory or a device, in a directory that exists, and
// none of the files the command reads. 0, or the exit status after one
// line on stderr.
int CheckOutput(const PackRequest& request, const std::vector<Input>& inputs) {
  const char* output = request.output;
  std::string why;
  PathInfo out_info;
  if (!ExaminePath(output, &out_info, &why)) return Refuse("%s: %s", output, why.c_str());
  if (out_info.kind == PathInfo::kDirectory)
    return Refuse("%s: the output's path is a directory", output);
  // Never renamed over a device, a pipe or a socket.
  if (out_info.kind == PathInfo::kOther)
    return Refuse("%s: the output's path is not a regular file", output);
  if (!CanCreateBeside(output, &why)) return Refuse("cannot write the output in %s", why.c_str());
  for (const Input& in : inputs) {
    if (out_info.kind != PathInfo::kMissing && out_info.device == in.info.device &&
        out_info.inode == in.info.inode)
      return Refuse("%s: the output would overwrite its input %s", output, in.path.c_str());
  }
  for (const char* path : request.also_read) {
    PathInfo info;
    if (out_info.kind != PathInfo::kMissing && ExaminePath(path, &info, &why) &&
        out_info.device == info.device && out_info.inode == info.inode)
      return Refuse("%s: the output would overwrite its input %s", output, path);
  }
  return 0;
}

// The files below request.tree, in payload order: the program first, then
// by the bytes of their paths, so that a tree always packs the same. Each
// empty folder goes to `skipped`. 0, or the exit status after one line.
int TreeInputs(const PackRequest& request, std::vector<Input>* inputs,
               std::vector<std::string>* skipped) {
  std::string why;
  PathInfo info;
  if (!ExaminePath(request.tree, &info, &why) || info.kind != PathInfo::kDirectory)
    return Refuse("%s: %s", request.tree,
                  !why.empty()                          ? why.c_str()
                  : info.kind == PathInfo::kMissing ? "no such folder"
                                                        : "not a folder");
  std::vector<TreeEntry> tree;
  if (!WalkTree(request.tree, &tree, &why)) return Refuse("%s", why.c_str());
  std::sort(tree.begin(), tree.end(),
            [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
  const std::string root = DirectoryString(request.tree);
  for (const TreeEntry& e : tree) {
    const std::string full = root + e.path;
    switch (e.kind) {
      case TreeEntry::kLink:
        return Refuse("%s: a link: only regular files are packed", full.c_str());
      case TreeEntry::kOther:
        return Refuse("%s: not a regular file (a device or a pipe)", full.c_str());
      case TreeEntry::kEmptyFolder: skipped->push_back(e.path + "/"); break;
      case TreeEntry::kFile:
        inputs->push_back(Input{full, e.path, false, PathInfo(), std::string(), {}});
        break;
    }
  }
  for (size_t i = 0; i < inputs->size(); ++i) {
    if (!platform::SameFileName((*inputs)[i].name.c_str(), PROGRAM_ENTRY)) continue;
    std::rotate(inputs->begin(), inputs->begin() + static_cast<ptrdiff_t>(i),
                inputs->begin() + static_cast<ptrdiff_t>(i) + 1);
    break;
  }
  if (request.needs_program &&
      (inputs->empty() || !platform::SameFileName((*inputs)[0].name.c_str(), PROGRAM_ENTRY)))
    return Refuse("%s: no " PROGRAM_ENTRY " at its top: a patcher's first entry is the program",
                  request.tree);
  return 0;
}

// The regular files below OLD_DIR, in the target's order of names, so
// that the ones it takes for one path are side by side.
struct OldTree {
  std::string root;
  std::vector<TreeEntry> files;
  // The first file that is `path` on the target system, or null.
  const TreeEntry* Find(const std::string& path) const {
    auto it = std::lower_bound(files.begin(), files.end(), path,
                               [](const TreeEntry& e, const std::string& p) {
                                 return platform::CompareFileNames(e.path.c_str(), p.c_str()) < 0;
                               });
    return it != files.end() && platform::SameFileName(it->path.c_str(), path.c_str()) ? &*it
                                                                                      : nullptr;
  }
};

int ReadOldTree(const char* from, OldTree* old) {
  std::vector<TreeEntry> all;
  std::string why;
  if (!WalkTree(from, &all, &why)) return Refuse("--from %s", why.c_str());
  old->root = DirectoryString(from);
  for (TreeEntry& e : all)
    if (e.kind == TreeEntry::kFile) old->files.push_back(e);
  std::stable_sort(old->files.begin(), old->files.end(),
                   [](const TreeEntry& a, const TreeEntry& b) {
                     return platform::CompareFileNames(a.path.c_str(), b.path.c_str()) < 0;
                   });
  return 0;
}

// The removal entry of the old file `e`: its size and CRC-32C, as the
// program checks them before it removes it.
int OldRemoval(const OldTree& old, const TreeEntry& e, PackFile* removal) {
  const std::string path = old.root + e.path;
  InputFile file;
  std::string why;
  const size_t kPiece = 1 << 20;
  Buffer piece = AllocateBuffer(kPiece);
  if (!piece) return Refuse("%s: out of memory for its checksum", path.c_str());
  uint32_t crc = 0;
  if (!file.Open(path.c_str(), UINT64_MAX, "a removed file", &why))
    return Refuse("%s: %s", path.c_str(), why.c_str());
  for (uint64_t done = 0; done < file.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, file.size() - done));
    if (!file.Read(piece.get(), n, &why)) return Refuse("%s: %s", path.c_str(), why.c_str());
    crc = Crc32c(crc, piece.get(), n);
    done += n;
  }
  if (!file.CheckEnd(&why)) return Refuse("%s: %s", path.c_str(), why.c_str());
  removal->path = path;
  removal->name = e.path;
  removal->removal = true;
  removal->old_size = file.size();
  removal->old_crc = crc;
  return 0;
}

// What the --from folder `from`, base `base` of `bases`, gives: each new
// file's old version by its path (pack -C), a removal entry for each old
// file the tree lacks (pack -C) and for each --remove it has, sorted;
// `named[k]`: whether it has --remove k. 0, or the exit status after one
// line.
int MatchOldTree(const PackRequest& request, const char* from, int base, int bases,
                 std::vector<Input>* inputs, std::vector<PackFile>* removals,
                 std::vector<bool>* named_removals) {
  OldTree old;
  if (int status = ReadOldTree(from, &old)) return status;
  std::vector<bool> kept(old.files.size(), false);
  std::vector<const TreeEntry*> gone;
  if (request.tree) {
    for (Input& in : *inputs) {
      const TreeEntry* e = old.Find(in.name);
      if (!e) continue;
      if (base) {
        in.more_old.resize(static_cast<size_t>(bases - 1));
        in.more_old[static_cast<size_t>(base - 1)] = old.root + e->path;
      } else {
        in.old_path = old.root + e->path;
      }
      // Every old file the target takes for this one stays.
      for (; e != old.files.data() + old.files.size() &&
             platform::SameFileName(e->path.c_str(), in.name.c_str());
           ++e)
        kept[static_cast<size_t>(e - old.files.data())] = true;
    }
    for (size_t i = 0; i < old.files.size(); ++i) {
      // One removal for old files the target takes for one.
      if (kept[i] || (i && platform::SameFileName(old.files[i - 1].path.c_str(),
                                                  old.files[i].path.c_str())))
        continue;
      gone.push_back(&old.files[i]);
    }
  }
  // The new names in the target's order, for each --remove to be looked
  // up among them, and which old files are gone already.
  std::vector<const Input*> named;
  if (!request.removals.empty())
    for (const Input& in : *inputs) named.push_back(&in);
  const auto before = [](const Input* in, const char* path) {
    return platform::CompareFileNames(in->name.c_str(), path) < 0;
  };
  std::stable_sort(named.begin(), named.end(), [&](const Input* a, const Input* b) {
    return before(a, b->name.c_str());
  });
  std::vector<bool> listed(old.files.size(), false);
  for (const TreeEntry* e : gone) listed[static_cast<size_t>(e - old.files.data())] = true;
  for (size_t k = 0; k < request.removals.size(); ++k) {
    const char* path = request.removals[k];
    const TreeEntry* e = old.Find(path);
    if (!e && bases > 1) continue;  // another base may have it
    if (!e) return Refuse("--remove %s: no such file in %s", path, from);
    (*named_removals)[k] = true;
    const auto in = std::lower_bound(named.begin(), named.end(), path, before);
    if (in != named.end() && platform::SameFileName((*in)->name.c_str(), path))
      return Refuse("--remove %s: the new release has it (%s)", path, (*in)->path.c_str());
    if (!listed[static_cast<size_t>(e - old.files.data())]) gone.push_back(e);
    listed[static_cast<size_t>(e - old.files.data())] = true;
  }
  std::sort(gone.begin(), gone.end(),
            [](const TreeEntry* a, const TreeEntry* b) { return a->path < b->path; });
  for (const TreeEntry* e : gone) {
    removals->push_back(PackFile());
    if (int status = OldRemoval(old, *e, &removals->back())) return status;
    if (bases > 1) removals->back().bases = static_cast<uint8_t>(1u << base);
  }
  return 0;
}

// The removals of every base, each old file once: one that several bases
// hold alike (size and CRC-32C) names them all, or none for every base.
// Sorted by path, then by the bases. 0, or the exit status after one line.
int MatchOldTrees(const PackRequest& request, std::vector<Input>* inputs,
                  std::vector<PackFile>* removals) {
  std::vector<const char*> froms(1, request.from);
  froms.insert(froms.end(), request.more_from.begin(), request.more_from.end());
  const int bases = static_cast<int>(froms.size());
  std::vector<bool> named(request.removals.size(), false);
  std::vector<PackFile> all;
  for (int base = 0; base < bases; ++base)
    if (int status = MatchOldTree(request, froms[static_cast<size_t>(base)], base, bases, inputs,
                                  &all, &named))
      return status;
  for (size_t k = 0; k < named.size(); ++k)
    if (!named[k])
      return Refuse("--remove %s: no such file in any --from folder", request.removals[k]);
  std::stable_sort(all.begin(), all.end(),
                   [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  const uint8_t every = static_cast<uint8_t>((1u << bases) - 1);
  for (PackFile& r : all) {
    PackFile* same = nullptr;
    for (size_t i = removals->size(); i-- > 0 && (*removals)[i].name == r.name;)
      if ((*removals)[i].old_size == r.old_size && (*removals)[i].old_crc == r.old_crc)
        same = &(*removals)[i];
    if (same)
      same->bases |= r.bases;
    else
      removals->push_back(r);
  }
  for (PackFile& r : *removals)
    if (r.bases == every) r.bases = 0;
  return 0;
}

// The name of the base in the folder `from`: its last component.
std::string BaseNameOf(const char* from) {
  std::string path = from;
  while (path.size() > 1 && (path.back() == '/' || path.back() == platform::kPathSeparator))
    path.pop_back();
  return BaseName(path.c_str());
}

// Every base's name, base 0 first, when there are several: each one a
// name the payload can hold, no two alike, all within a path's length.
// 0, or the exit status after one line.
int NameBases(const PackRequest& request, std::vector<std::string>* names) {
  names->clear();
  if (request.more_from.empty()) return 0;
  std::vector<const char*> froms(1, request.from);
  froms.insert(froms.end(), request.more_from.begin(), request.more_from.end());
  size_t length = 0;
  for (const char* from : froms) {
    const std::string name = BaseNameOf(from);
    const NameVerdict verdict = CheckEntryName(name.c_str(), kNameForPacking);
    if (verdict != kNameFine)
      return Refuse("--from %s: its folder's name \"%s\" cannot name a base (%s): rename the "
                    "folder",
                    from, Shown(name).c_str(), NameVerdictText(verdict));
    for (size_t k = 0; k < names->size(); ++k)
      if (platform::SameFileName((*names)[k].c_str(), name.c_str()))
        return Refuse("--from %s and --from %s: both folders are named \"%s\", and a base is "
                      "named by its folder: rename one",
                      froms[k], from, name.c_str());
    length += name.size() + 1;
    names->push_back(name);
  }
  if (length - 1 > static_cast<size_t>(kLongestPath))
    return Refuse("the --from folders' names come to more than %d bytes: give them shorter names",
                  kLongestPath);
  return 0;
}

// Every check of the request before anything is packed: the names given,
// the files (present, regular, not too large), and the output (not a
// directory or a device, not one of the files read). 0 with `files`
// filled, or the exit status after one line on stderr.
int PreparePack(const PackRequest& request, std::vector<PackFile>* files) {
  const char* output = request.output;
  std::vector<Input> inputs;
  std::vector<std::string> skipped;
  if (request.tree) {
    if (int status = TreeInputs(request, &inputs, &skipped)) return status;
  }
  for (const char* file : request.files)
    inputs.push_back(Input{file, BaseName(file), false, PathInfo(), std::string(), {}});
  // The inputs by path, for each --name to find its files among them.
  std::vector<size_t> by_path;
  if (!request.renames.empty())
    for (size_t i = 0; i < inputs.size(); ++i) by_path.push_back(i);
  std::stable_sort(by_path.begin(), by_path.end(),
                   [&](size_t a, size_t b) { return inputs[a].path < inputs[b].path; });
  for (const std::string& r : request.renames) {
    const size_t eq = r.find('=');
    if (eq == std::string::npos || eq + 1 == r.size())
      return UsageError(request.command, "--name " + r + ": expected NAME=FILE");
    const std::string file = r.substr(eq + 1);
    auto at = std::lower_bound(by_path.begin(), by_path.end(), file,
                               [&](size_t i, const std::string& f) { return inputs[i].path < f; });
    if (at == by_path.end() || inputs[*at].path != file)
      return UsageError(request.command, "--name " + r + ": " + file + " is not among the files");
    for (; at != by_path.end() && inputs[*at].path == file; ++at) {
      Input& in = inputs[*at];
      if (in.renamed)
        return UsageError(request.command, "--name " + r + ": " + file + " is already renamed");
      in.name = r.substr(0, eq);
      in.renamed = true;
    }
  }
  if (inputs.empty()) return Refuse("no files to pack");
  std::string why;
  std::vector<const char*> froms;
  if (request.from) froms.push_back(request.from);
  froms.insert(froms.end(), request.more_from.begin(), request.more_from.end());
  for (const char* from : froms) {
    PathInfo from_info;
    if (!ExaminePath(from, &from_info, &why) || from_info.kind != PathInfo::kDirectory)
      return Refuse("--from %s: %s", from, why.empty() ? "not a folder" : why.c_str());
  }
  std::vector<std::string> base_names;
  if (int status = NameBases(request, &base_names)) return status;
  for (Input& in : inputs) {
    const char* path = in.path.c_str();
    if (!ExaminePath(path, &in.info, &why)) return Refuse("%s: %s", path, why.c_str());
    switch (in.info.kind) {
      case PathInfo::kMissing: return Refuse("%s: no such file", path);
      case PathInfo::kDirectory: return Refuse("%s: is a directory, not a file", path);
      case PathInfo::kOther: return Refuse("%s: not a regular file", path);
      case PathInfo::kRegular: break;
    }
    if (in.info.size > kMaxBlockInput)
      return Refuse("%s: too large for a payload entry (%llu bytes, at most %llu)", path,
                    static_cast<unsigned long long>(in.info.size),
                    static_cast<unsigned long long>(kMaxBlockInput));
  }
  std::vector<PackFile> removals;
  if (request.from && (request.tree || !request.removals.empty())) {
    if (int status = MatchOldTrees(request, &inputs, &removals)) return status;
  }
  files->clear();
  for (const Input& in : inputs) {
    files->push_back(PackFile{in.path, in.name, in.old_path});
    files->back().more_old = in.more_old;
  }
  files->insert(files->end(), removals.begin(), removals.end());
  if (!CheckNames(*files, request.tree != nullptr, &why)) return Refuse("%s", why.c_str());
  if (!strcmp(output, "-")) {
    // As compressors do: a terminal shows no payload, and takes keys for it.
    if (IsTerminal(stdout))
      return Refuse("standard output is a terminal: redirect it to write the output there");
  } else if (int status = CheckOutput(request, inputs)) {
    return status;
  }
  if (request.check_first) {
    FileBytes first;
    if (!ReadRegularFile(inputs[0].path.c_str(), kMaxBlockInput, "a payload entry", &first,
                         &why) ||
        !request.check_first(inputs[0].name, first, &why))
      return Refuse("%s: %s", inputs[0].path.c_str(), why.c_str());
  }
  if (!request.quiet)
    for (const std::string& folder : skipped) fprintf(stderr, "%s: an empty folder, skipped\n", folder.c_str());
  return 0;
}

PackOptions OptionsOf(const PackRequest& request, BlockCoder* coder) {
  PackOptions options;
  options.parse = request.fast ? kParseLazy : kParseOptimal;
  options.form = request.form;
  options.report = !request.quiet;
  options.progress = !request.quiet && IsTerminal(stderr);
  options.coder = coder;
  options.scratch_near = strcmp(request.output, "-") ? request.output : nullptr;
  // A tree's files have their old versions found already, by path.
  options.from = request.tree ? nullptr : request.from;
  if (!request.tree) options.more_from = request.more_from;
  NameBases(request, &options.base_names);  // (checked by PreparePack)
  options.paths = request.tree != nullptr;
  return options;
}

}  // namespace

// Bad input or a failure: one line, exit status 1, nothing written.
int Refuse(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "lzcx: %s\n", line);
  return 1;
}

int ParsePackArguments(int argc, char** argv, PackRequest* request, const char** stub) {
  const CliCommand* command = request->command;
  OptionParser options(*command, argc, argv);
  const char* argument = nullptr;
  int c;
  while ((c = options.Next(&argument)) > 0) {
    switch (c) {
      case kOptionFast: request->fast = true; break;
      case kOptionForm:
        if (!strcmp(argument, "block"))
          request->form = kPackBlock;
        else if (!strcmp(argument, "strong"))
          request->form = kPackStrong;
        else
          return UsageError(command, "--form: block or strong");
        break;
      case kOptionFrom:
        if (!request->from) {
          request->from = argument;
        } else if (request->more_from.size() + 1 < static_cast<size_t>(kMaxBases)) {
          request->more_from.push_back(argument);
        } else {
          return UsageError(command, "at most 8 --from: a payload is made from at most 8 old "
                                     "releases (make another patcher for the others)");
        }
        break;
      case 'q': request->quiet = true; break;
      case 'C':
        if (request->tree) return UsageError(command, "-C given twice");
        if (!*argument) return UsageError(command, "-C: the folder's path is empty");
        request->tree = argument;
        break;
      case kOptionRemove: request->removals.push_back(argument); break;
      case kOptionName: request->renames.push_back(argument); break;
      case 'o':
        if (request->output) return UsageError(command, "one output at a time");
        request->output = argument;
        break;
      case kOptionStub:
        if (*stub) return UsageError(command, "one stub at a time");
        *stub = argument;
        break;
    }
  }
  if (c < 0) return options.exit_status();
  for (int i = options.operand(); i < argc; ++i) request->files.push_back(argv[i]);
  if (request->tree && !request->files.empty())
    return UsageError(command, "-C packs a folder: no files besides it");
  if (!request->removals.empty() && !request->from)
    return UsageError(command, "--remove needs --from: the old file's size and checksum");
  if (!request->output) return UsageError(command, "no output given (-o)");
  if (!*request->output) return UsageError(command, "the output's path is empty");
  return -1;
}

int PackFiles(const PackRequest& request, BlockCoder* coder, TempFile* temp, MappedFile* map) {
  std::vector<PackFile> files;
  int status = PreparePack(request, &files);
  if (status) return status;
  std::string why;
  const bool to_stdout = !strcmp(request.output, "-");
  const std::string beside =
      to_stdout ? TemporaryFolder() + "lzcx-payload" : std::string(request.output) + ".payload";
  if (!temp->Create(beside.c_str(), &why)) return Refuse("%s", why.c_str());
  TempFileSink sink(temp);
  if (!PackPayload(files, OptionsOf(request, coder), &sink, &why) || !temp->Flush(&why))
    return Refuse("%s", why.c_str());
  if (!map->Map(temp->fd(), temp->size(), beside.c_str(), &why) ||
      !CheckPacked(map->data(), map->size(), files, &why))
    return Refuse("internal error, nothing written: %s", why.c_str());
  return 0;
}

std::string PackSummary(const char* output, uint64_t size) {
  return Printf("%s: a payload of %llu bytes; peak memory %.0f MB", output,
                static_cast<unsigned long long>(size), PeakMemory() / 1048576.0);
}

int PackCommand(const CliCommand& command, int argc, char** argv, BlockCoder* coder) {
  PackRequest request;
  request.command = &command;
  std::vector<PackFile> files;
  int status = ParsePackArguments(argc, argv, &request, nullptr);
  if (status >= 0 || (status = PreparePack(request, &files))) return status;
  const PackOptions options = OptionsOf(request, coder);
  std::string why;
  if (!strcmp(request.output, "-")) {
    // Streamed: each block is checked before it is written, but what was
    // written before a failure stays written (a payload cut short, which
    // every reader refuses).
    StandardOutputSink sink;
    if (!PackPayload(files, options, &sink, &why)) return Refuse("%s", why.c_str());
    if (!request.quiet) fprintf(stderr, "%s\n", PackSummary("(stdout)", sink.written).c_str());
    return 0;
  }
  TempFile temp;
  if (!temp.Create(request.output, &why)) return Refuse("%s", why.c_str());
  TempFileSink sink(&temp);
  if (!PackPayload(files, options, &sink, &why)) return Refuse("%s", why.c_str());
  if (!temp.Flush(&why)) return Refuse("%s", why.c_str());
  {
    // Unmapped before the rename, which Windows may refuse for a mapped file.
    MappedFile map;
    if (!map.Map(temp.fd(), temp.size(), request.output, &why) ||
        !CheckPacked(map.data(), map.size(), files, &why))
      return Refuse("internal error, nothing written: %s", why.c_str());
  }
  if (!temp.Commit(&why)) return Refuse("%s", why.c_str());
  if (!request.quiet) fprintf(stderr, "%s\n", PackSummary(request.output, temp.size()).c_str());
  return 0;
}
