// What the patch journal costs: the time to apply the demo payload and a
// payload of 400 small files over an installation of older versions, with
// the journal as shipped (written, flushed, the directory synced at each
// phase), with the journal written but neither flushed nor synced, and with
// no journal at all (the applier's file work as it was before the journal),
// in the same run, interleaved, best of 5 rounds each. Then the time to
// choose the last entry of each name in payloads of up to 160,000 entries.
//
// Usage: apply_bench [--dir DIR] [DEMO_PAYLOAD]
//        apply_bench --check   (every apply once, on tiny payloads, in a
//                               RAM folder where there is one)
// The patches go to a scratch directory in DIR (default: the current
// directory, which should be on a real disk: on a RAM file system a flush
// costs nothing). Without DEMO_PAYLOAD the realistic corpus stands in.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "corpus.h"
#include "lzcx/commands.h"
#include "lzcx/encoder.h"
#include "payload/applier.h"
#include "payload/container.h"
#include "payload/journal.h"
#include "support/payload_builder.h"
#include "support/scratch.h"

namespace {

bool IsJournal(const char* name) {
  return !strcmp(name, kJournalName) || !strcmp(name, kJournalNewName);
}

// The journal written as shipped, but never flushed: no directory syncs.
class UnsyncedOps : public FileOps {
 public:
  int Sync(platform::Directory*) override { return 1; }
};

// No journal at all: its file operations succeed without touching the disk.
class NoJournalOps : public UnsyncedOps {
 public:
  platform::Presence OpenExisting(platform::Directory* dir, const char* name,
                                  platform::File** file, platform::FileFacts* facts) override {
    *file = nullptr;
    return IsJournal(name) ? platform::kAbsent : FileOps::OpenExisting(dir, name, file, facts);
  }
  platform::File* CreateNew(platform::Directory* dir, const char* name) override {
    return IsJournal(name) ? Fake() : FileOps::CreateNew(dir, name);
  }
  uint32_t Write(platform::File* file, const void* data, uint32_t size) override {
    return file == Fake() ? size : FileOps::Write(file, data, size);
  }
  int Close(platform::File* file) override { return file == Fake() || FileOps::Close(file); }
  int Rename(platform::Directory* dir, const char* from, const char* to, int replace) override {
    return IsJournal(from) || FileOps::Rename(dir, from, to, replace);
  }
  int Remove(platform::Directory* dir, const char* name) override {
    return IsJournal(name) || FileOps::Remove(dir, name);
  }

 private:
  platform::File* Fake() { return reinterpret_cast<platform::File*>(&fake_); }
  int fake_ = 0;
};

struct Payload {
  std::string name;
  Bytes container;
  std::map<std::string, Bytes> old_files;  // the installation it patches
};

// The entries' names, and older versions of their files (half the size).
std::map<std::string, Bytes> OldFiles(const Bytes& container) {
  std::map<std::string, Bytes> old;
  PayloadReader reader(container.data(), container.size());
  PayloadEntry e;
  if (reader.Start()) {
    while (reader.Next(&e)) old[e.name] = TextLike(e.expanded_length / 2 + 1, e.index + 100);
  }
  return old;
}

Payload DemoPayload(const char* path, bool tiny) {
  Payload p;
  std::string why;
  std::vector<uint8_t> bytes;
  if (path && ReadWholeFile(path, &bytes, &why)) {
    p.name = "demo payload";
    p.container = bytes;
  } else {
    if (path) fprintf(stderr, "apply_bench: %s: %s; the realistic corpus stands in\n", path,
                      why.c_str());
    p.name = "realistic corpus";
    std::vector<EntrySpec> entries;
    for (const CorpusFile& f : tiny ? TinyPayload() : LoadRealisticPayload()) {
      Bytes block;
      EncodeBlock(f.bytes.data(), f.bytes.size(), kParseLazy, &block);
      entries.push_back({f.name, 1, block});
    }
    p.container = MakeContainer(entries);
  }
  p.old_files = OldFiles(p.container);
  return p;
}

Payload SmallFiles(int count) {
  Payload p;
  p.name = std::to_string(count) + " small files";
  std::vector<EntrySpec> entries;
  for (int i = 0; i < count; ++i) {
    char name[32];
    snprintf(name, sizeof name, "file%03d.dat", i);
    entries.push_back({name, 1, GreedyBlock(TextLike(1000 + (i * 37) % 3000, i))});
  }
  p.container = MakeContainer(entries);
  p.old_files = OldFiles(p.container);
  return p;
}

// Seconds for one apply into a fresh copy of the installation.
double TimeOneApply(const Payload& p, const char* parent, FileOps& ops) {
  ScratchDir dir(parent);
  for (const auto& f : p.old_files) WriteFileBytes(dir.Join(f.first), f.second);
  char fault[512];
  const double start = SecondsNow();
  const int ok = ApplyPayload(p.container.data(), p.container.size(), dir.path().c_str(), ops,
                              fault, sizeof fault);
  const double seconds = SecondsNow() - start;
  if (!ok) fprintf(stderr, "apply_bench: %s: %s\n", p.name.c_str(), fault);
  return ok ? seconds : -1;
}

// Choosing the last entry of each name among n entries (a tenth of them
// repeating an earlier name, letter case changed): the time, and the time
// over n log2 n, which stays flat when the choice is n log n.
void TimeLastOfEachName(bool tiny) {
  printf("\nlast of each name: %8s %10s %14s\n", "entries", "ms", "ns/(n log2 n)");
  for (int n : {10000, 40000, 160000}) {
    if (tiny && n > 10000) break;
    std::vector<PayloadEntry> entries(n);
    const size_t kName = 16;
    std::vector<char> names(n * kName);
    for (int i = 0; i < n; ++i) {
      entries[i] = PayloadEntry();
      entries[i].index = i;
      entries[i].name = &names[i * kName];
      snprintf(&names[i * kName], kName, i % 10 ? "file%06d.dat" : "FILE%06d.DAT",
               i % 10 ? i : i / 3);
    }
    const double start = SecondsNow();
    const int kept = KeepLastOfEachName(entries.data(), n);
    const double seconds = SecondsNow() - start;
    printf("%-18s %8d %10.2f %14.2f  (%d kept)\n", "", n, seconds * 1e3,
           seconds * 1e9 / (n * std::log2(static_cast<double>(n))), kept);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = CheckOnly(argc, argv);
  const char* parent = check ? SweepParent() : ".";
  const char* demo = nullptr;
  for (int i = check ? 2 : 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--dir") && i + 1 < argc) {
      parent = argv[++i];
    } else {
      demo = argv[i];
    }
  }
  FileOps shipped;
  UnsyncedOps unsynced;
  NoJournalOps none;
  FileOps* variants[] = {&shipped, &unsynced, &none};
  const char* labels[] = {"journal, flushed", "journal, no flushes", "no journal"};
  const int rounds = check ? 1 : 5;
  printf("apply time, best of %d rounds, in %s\n", rounds, parent ? parent : "the temporary folder");
  printf("%-22s %-22s %10s %10s\n", "payload", "variant", "ms", "ratio");
  for (const Payload& p : {DemoPayload(demo, check), SmallFiles(check ? 20 : 400)}) {
    double best[3] = {1e9, 1e9, 1e9};
    for (int round = 0; round < rounds; ++round) {
      for (int v = 0; v < 3; ++v) {
        const double s = TimeOneApply(p, parent, *variants[v]);
        if (s < 0) return 1;
        best[v] = std::min(best[v], s);
      }
    }
    for (int v = 0; v < 3; ++v)
      printf("%-22s %-22s %10.2f %9.2fx\n", p.name.c_str(), labels[v], best[v] * 1e3,
             best[v] / best[2]);
  }
  printf("ratio: against no journal; goal for 400 small files: journal, flushed <= 1.50x\n");
  TimeLastOfEachName(check);
  return 0;
}
