// Decoder throughput on a realistic payload: the fast decoder, the plain
// checked byte loop, memcpy of the same output, and the fast decoder with
// the integrity check (each entry's CRC-32C) on, in the same run. The
// last row is the whole payload as the patcher reads it: the container's
// check, then every entry decoded. `--check`: the round trips only, on a
// tiny corpus. `--payload FILE`: the program's own path through a payload
// lzcx made (bench/payload_sizes runs it on real releases): every entry
// decoded by DecodeEntry, whatever its form.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "corpus.h"
#include "lzcx/encoder.h"
#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/crc32c.h"
#include "payload/entries.h"
#include "payload/stream.h"
#include "support/payload_builder.h"

namespace {

// Best of several rounds, each long enough to time: MB of output per second.
template <class F>
double MegabytesPerSecond(size_t bytes_per_call, F call, int rounds = 7) {
  double best = 0;
  for (int round = 0; round < rounds; ++round) {
    int calls = 0;
    const double start = SecondsNow();
    double now;
    do {
      call();
      ++calls;
      now = SecondsNow();
    } while (now - start < 0.15);
    best = std::max(best, static_cast<double>(bytes_per_call) * calls / (now - start) / 1e6);
  }
  return best;
}

// Two calls timed in alternate rounds, so that a busy machine slows both
// alike: the best MB/s of each.
template <class F, class G>
void Paired(size_t bytes_per_call, F first, G second, double* first_mbps, double* second_mbps) {
  *first_mbps = *second_mbps = 0;
  for (int round = 0; round < 9; ++round) {
    *first_mbps = std::max(*first_mbps, MegabytesPerSecond(bytes_per_call, first, 1));
    *second_mbps = std::max(*second_mbps, MegabytesPerSecond(bytes_per_call, second, 1));
  }
}

volatile uint32_t g_sink;  // keeps checksums from being optimised away

// The payload read as the patcher's check before it writes reads it: entry
// by entry, each decoded as DecodeEntry does into a sink that only sums. `out`
// gets the bytes made, `crcs` (if given) each entry's CRC-32C, `skipped`
// the deltas and removals, which need the old release. Zero with a
// message at a fault.
int DecodeThroughEntries(const uint8_t* data, size_t size, uint64_t* out,
                         std::vector<uint32_t>* crcs, int* skipped) {
  PatchEntries entries;
  char fault[256] = "";
  if (!entries.Read(data, size, nullptr, fault, sizeof fault)) {
    fprintf(stderr, "decode_bench: %s\n", fault);
    return 0;
  }
  *out = 0;
  *skipped = 0;
  for (int i = 0; i < entries.count(); ++i) {
    const PayloadEntry& e = entries[i];
    if (e.removal || IsDelta(e)) {
      ++*skipped;
      continue;
    }
    SumOnly sum;
    if (!entries.Decode(i, nullptr, &sum, fault, sizeof fault)) {
      fprintf(stderr, "decode_bench: %s\n", *fault ? fault : e.name);
      return 0;
    }
    *out += e.expanded_length;
    if (crcs) crcs->push_back(sum.crc);
  }
  return 1;
}

// Best of a few whole passes through DecodeEntry: MB of output per second.
// A large payload takes seconds a pass, so no more than needed.
double EntriesMegabytesPerSecond(const uint8_t* data, size_t size) {
  double best = 0, spent = 0;
  for (int pass = 0; pass < 5 && (pass < 2 || spent < 2); ++pass) {
    uint64_t bytes;
    int skipped;
    const double start = SecondsNow();
    if (!DecodeThroughEntries(data, size, &bytes, nullptr, &skipped)) return 0;
    const double seconds = SecondsNow() - start;
    spent += seconds;
    best = std::max(best, bytes / seconds / 1e6);
  }
  return best;
}

// --payload FILE: the container checked, then the decoder's speed on it.
int DecodePayloadFile(const char* path) {
  FILE* f = fopen(path, "rb");
  std::vector<uint8_t> payload;
  if (f) {
    uint8_t piece[1 << 16];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, f)) > 0)
      payload.insert(payload.end(), piece, piece + got);
    if (ferror(f)) payload.clear();
    fclose(f);
  }
  if (payload.empty()) {
    fprintf(stderr, "decode_bench: cannot read %s\n", path);
    return 1;
  }
  char fault[256] = "";
  if (!CheckPayloadIntegrity(payload.data(), payload.size(), nullptr, fault, sizeof fault)) {
    fprintf(stderr, "decode_bench: %s: %s\n", path, fault);
    return 1;
  }
  uint64_t bytes;
  int skipped;
  if (!DecodeThroughEntries(payload.data(), payload.size(), &bytes, nullptr, &skipped)) return 1;
  const double mbps = EntriesMegabytesPerSecond(payload.data(), payload.size());
  printf("program's decoder: %.0f MB/s (%llu bytes from %zu", mbps,
         static_cast<unsigned long long>(bytes), payload.size());
  if (skipped) printf("; %d deltas and removals left out", skipped);
  printf(")\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && !strcmp(argv[1], "--payload")) return DecodePayloadFile(argv[2]);
  const bool check = CheckOnly(argc, argv);
  std::vector<CorpusFile> files = check ? TinyPayload() : LoadRealisticPayload();
  if (!check)
    printf("%-12s %-34s %9s %9s %10s %10s %10s %10s %8s %8s %8s\n", "entry", "source", "size",
           "packed", "fast MB/s", "loop MB/s", "memcpy", "checked", "fast/loop", "fast/memcpy",
           "check cost");
  double total_fast = 0, total_loop = 0, total_copy = 0, total_checked = 0;
  size_t total = 0;
  std::vector<EntrySpec> entries;
  for (const CorpusFile& f : files) {
    // Blocks as the packer makes them: the optimal parse.
    std::vector<uint8_t> block;
    if (!EncodeBlock(f.bytes.data(), f.bytes.size(), kParseOptimal, &block)) {
      fprintf(stderr, "decode_bench: cannot encode %s\n", f.name.c_str());
      return 1;
    }
    std::vector<uint8_t> out(f.bytes.size());
    const uint32_t available = static_cast<uint32_t>(block.size());
    if (BlockDecoder(block.data(), available, out.data()) != f.bytes.size() || out != f.bytes) {
      fprintf(stderr, "decode_bench: %s does not round-trip\n", f.name.c_str());
      return 1;
    }
    if (check) {
      total += f.bytes.size();
      entries.push_back({f.name, 1, block});
      continue;
    }
    const Bytes record = MakeContainer({{f.name, 1, block}});  // count, header, block
    double fast, checked;
    Paired(
        out.size(), [&] { BlockDecoder(block.data(), available, out.data()); },
        [&] {
          g_sink = Crc32c(0, record.data() + 4, record.size() - 4);
          BlockDecoder(block.data(), available, out.data());
        },
        &fast, &checked);
    const double loop = MegabytesPerSecond(out.size(), [&] {
      BlockDecoderSimple(block.data(), available, out.data());
    });
    const double copy = MegabytesPerSecond(out.size(), [&] {
      memcpy(out.data(), f.bytes.data(), f.bytes.size());
      asm volatile("" : : "r"(out.data()) : "memory");
    });
    printf("%-12s %-34s %9zu %9zu %10.0f %10.0f %10.0f %10.0f %8.2fx %8.3fx %7.1f%%\n",
           f.name.c_str(), f.source.c_str(), f.bytes.size(), block.size(), fast, loop, copy,
           checked, fast / loop, fast / copy, 100 * (fast / checked - 1));
    // Totals weighted by size: time for all bytes.
    total += f.bytes.size();
    total_fast += f.bytes.size() / fast;
    total_loop += f.bytes.size() / loop;
    total_copy += f.bytes.size() / copy;
    total_checked += f.bytes.size() / checked;
    entries.push_back({f.name, 1, block});
  }
  if (!check) {
    const double fast = total / total_fast, loop = total / total_loop, copy = total / total_copy,
                 checked = total / total_checked;
    printf("%-12s %-34s %9zu %9s %10.0f %10.0f %10.0f %10.0f %8.2fx %8.3fx %7.1f%%\n", "total",
           "", total, "", fast, loop, copy, checked, fast / loop, fast / copy,
           100 * (fast / checked - 1));
  }

  // End to end: the sealed container read as the patcher reads it.
  const Bytes payload = Sealed(MakeContainer(entries));
  std::vector<uint8_t> out(total);
  auto decode_all = [&] {
    PayloadReader reader(payload.data(), payload.size());
    reader.Start();
    PayloadEntry e;
    uint8_t* at = out.data();
    while (reader.Next(&e)) at += BlockDecoder(e.data, e.size, at);
  };
  // Read as the patcher reads it, the payload gives back every file.
  Bytes all;
  for (const CorpusFile& f : files) all.insert(all.end(), f.bytes.begin(), f.bytes.end());
  if (!CheckPayloadIntegrity(payload.data(), payload.size(), nullptr, nullptr, 0) ||
      (decode_all(), out != all)) {
    fprintf(stderr, "decode_bench: the sealed payload does not give back its files\n");
    return 1;
  }
  // The same through the program's entry path, every file's sum checked.
  uint64_t through_entries;
  int skipped;
  std::vector<uint32_t> crcs;
  bool sums_match = DecodeThroughEntries(payload.data(), payload.size(), &through_entries, &crcs,
                                         &skipped) &&
                    through_entries == total && skipped == 0 && crcs.size() == files.size();
  for (size_t i = 0; sums_match && i < files.size(); ++i)
    sums_match = crcs[i] == Crc32c(0, files[i].bytes.data(), files[i].bytes.size());
  if (!sums_match) {
    fprintf(stderr, "decode_bench: DecodeEntry does not give back the payload's files\n");
    return 1;
  }
  if (check) {
    printf("decode_bench: %zu files, %zu bytes: every round trip exact\n", files.size(), total);
    return 0;
  }
  double plain, sealed;
  Paired(
      total, decode_all,
      [&] {
        if (CheckPayloadIntegrity(payload.data(), payload.size(), nullptr, nullptr, 0))
          decode_all();
      },
      &plain, &sealed);
  printf("\npayload of %zu bytes, end to end: decode %.0f MB/s, check and decode %.0f MB/s: "
         "the check costs %.1f%%\n",
         payload.size(), plain, sealed, 100 * (plain / sealed - 1));
  printf("through DecodeEntry, piece by piece into a sum: %.0f MB/s\n",
         EntriesMegabytesPerSecond(payload.data(), payload.size()));
  return 0;
}
