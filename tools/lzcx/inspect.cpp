// lzcx list and verify: a payload, or a patcher's, mapped whole and checked
// as the program checks it before it writes; list then shows its entries.
#include "lzcx/inspect.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "lzcx/commands.h"
#include "lzcx/patcher.h"
#include "payload/applier.h"
#include "payload/container.h"

namespace {

double Ratio(uint64_t packed, uint64_t expanded) {
  return expanded ? static_cast<double>(packed) / static_cast<double>(expanded) : 1.0;
}

// A payload refused: one line naming the file and what is wrong, or that
// it is no payload at all.
int Refuse(const char* path, const InputBytes& payload, const char* fault) {
  if (!LooksLikePayload(payload.data, payload.size))
    fprintf(stderr, "lzcx: %s: neither a payload nor a patcher\n", Shown(path));
  else
    fprintf(stderr, "lzcx: %s: %s\n", Shown(path), fault);
  return 1;
}

const char* ChecksumsLine(const PayloadIntegrity& integrity) {
  return integrity.checksums ? "every entry matches its CRC-32C"
                             : "no checksums (nothing follows the last entry)";
}

// A JSON string of a name's bytes (UTF-8, as the name rule has them).
void PrintJsonString(const char* s) {
  putchar('"');
  for (; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"' || c == '\\')
      printf("\\%c", c);
    else if (c < 0x20)
      printf("\\u%04x", c);
    else
      putchar(c);
  }
  putchar('"');
}

// The word for an entry's form in the list, as a table row and in JSON.
const char* ListedForm(const PayloadEntry& e) {
  return e.removal      ? "removal"
         : IsDelta(e)   ? (e.compressed == kExeDeltaForm ? "exe-delta" : "delta")
         : IsStrong(e)  ? "strong"
         : e.compressed ? "compressed"
                        : "stored";
}

// The solid groups, numbered from 1 in the order they come: the group of
// each strong entry, 0 for the other forms.
struct GroupCounter {
  int groups = 0;
  int Of(const PayloadEntry& e) {
    if (!IsStrong(e)) return 0;
    if (!e.continues) ++groups;
    return groups;
  }
};

// The names of the bases (the bases entry's path, split at '/'): none for
// a payload made from one old release or none.
std::vector<std::string> BaseNames(const PayloadEntry& e) {
  std::vector<std::string> names;
  if (!e.names_bases) return names;
  std::string name;
  for (const char* c = e.name;; ++c) {
    if (*c && *c != '/') {
      name += *c;
      continue;
    }
    names.push_back(name);
    name.clear();
    if (!*c) return names;
  }
}

// The bases an entry is for, by name, joined by `separator`: "every" for
// an entry for all of them.
std::string BasesOf(const PayloadEntry& e, const std::vector<std::string>& names,
                    const char* separator, const char* quote) {
  std::string said;
  for (size_t k = 0; k < names.size(); ++k)
    if (!e.bases || (e.bases >> k & 1))
      said += (said.empty() ? "" : separator) + std::string(quote) + names[k] + quote;
  return said;
}

int List(const char* path, const InputBytes& payload, uint32_t, bool json) {
  char fault[512];
  PayloadIntegrity integrity;
  if (!CheckPayloadIntegrity(payload.data, payload.size, &integrity, fault, sizeof fault))
    return Refuse(path, payload, fault);
  PayloadReader reader(payload.data, integrity.entries_end);
  reader.Start();
  PayloadEntry e;
  GroupCounter counter;
  // A payload made from several old releases begins with their names:
  // listed first, and with each entry the ones it is for.
  std::vector<std::string> bases;
  if (reader.Next(&e) && e.names_bases)
    bases = BaseNames(e);
  else
    reader.Start();
  // The sizes in the order pack prints them: expanded, then packed. The
  // old file's size for delta entries, which need that file, and for
  // removals, which remove only that file.
  if (json) {
    printf("{\"checksums\": %s, ", integrity.checksums ? "true" : "false");
    if (!bases.empty()) {
      printf("\"bases\": [");
      for (size_t k = 0; k < bases.size(); ++k) {
        printf(k ? ", " : "");
        PrintJsonString(bases[k].c_str());
      }
      printf("], ");
    }
    printf("\"entries\": [");
    for (const char* separator = "\n"; reader.Next(&e); separator = ",\n") {
      // Every entry has every key, null where the form has no such size,
      // so that a reader never has to ask whether a key is there.
      printf("%s  {\"name\": ", separator);
      PrintJsonString(e.name);
      printf(", \"form\": \"%s\", \"compressed\": %s", ListedForm(e),
             e.compressed ? "true" : "false");
      if (e.removal)
        printf(", \"expanded\": null, \"packed\": null");
      else
        printf(", \"expanded\": %u, \"packed\": %u", e.expanded_length, e.size);
      if (IsDelta(e) || e.removal)
        printf(", \"old\": %llu", static_cast<unsigned long long>(e.old_size));
      else
        printf(", \"old\": null");
      const int group = counter.Of(e);
      if (group)
        printf(", \"group\": %d", group);
      else
        printf(", \"group\": null");
      if (!bases.empty()) printf(", \"bases\": [%s]", BasesOf(e, bases, ", ", "\"").c_str());
      printf("}");
    }
    printf("\n]}\n");
    return 0;
  }
  if (!bases.empty()) {
    printf("made from %zu old releases (bases):", bases.size());
    for (const std::string& name : bases) printf(" %s", name.c_str());
    printf("\n");
  }
  printf("%-29s  %-10s  %10s  %10s  %6s  %10s  %5s%s\n", "name", "form", "expanded", "packed",
         "ratio", "old", "group", bases.empty() ? "" : "  bases");
  while (reader.Next(&e)) {
    if (e.removal)
      printf("%-29s  %-10s  %10s  %10s  %6s", e.name, "removal", "-", "-", "-");
    else
      printf("%-29s  %-10s  %10u  %10u  %6.3f", e.name, ListedForm(e), e.expanded_length,
             e.size, Ratio(e.size, e.expanded_length));
    if (IsDelta(e) || e.removal)
      printf("  %10llu", static_cast<unsigned long long>(e.old_size));
    else
      printf("  %10s", "-");
    const int group = counter.Of(e);
    if (group)
      printf("  %5d", group);
    else
      printf("  %5s", "-");
    if (!bases.empty()) printf("  %s", e.bases ? BasesOf(e, bases, ",", "").c_str() : "every");
    printf("\n");
  }
  printf("%s\n", ChecksumsLine(integrity));
  return 0;
}

int Verify(const char* path, const InputBytes& payload, uint32_t readable, bool) {
  char fault[512];
  uint64_t total = 0;
  PayloadIntegrity integrity;
  if (!VerifyPayload(payload.data, payload.size, "", fault, sizeof fault, &total,
                     &integrity))
    return Refuse(path, payload, fault);
  std::string why;
  if (!CheckFormsReadable(payload.data, payload.size, readable, "its program", &why))
    return Refuse(path, payload, why.c_str());
  printf("%s: ok, %d entries, %llu bytes expanded from %zu, %s\n", Shown(path), integrity.count,
         static_cast<unsigned long long>(total), payload.size, ChecksumsLine(integrity));
  return 0;
}

// A payload read, shown as the command does: its path as given, the forms
// its program reads (every form for a payload file), --json; the exit
// status (1 after one line on stderr).
typedef int (*ShowPayload)(const char* path, const InputBytes& payload, uint32_t readable,
                           bool json);

// Each PAYLOAD (a file or "-") read and shown, at most one when `one`;
// status 1 if any fails.
int ReadPayloads(const CliCommand& command, int argc, char** argv, ShowPayload show, bool one) {
  OptionParser options(command, argc, argv);
  bool json = false;
  const char* argument;
  int c;
  while ((c = options.Next(&argument)) > 0)
    if (c == kOptionJson) json = true;
  if (c < 0) return options.exit_status();
  const int operands = argc - options.operand();
  if (operands == 0) return UsageError(&command, "no payload given");
  if (one && operands > 1) return UsageError(&command, "one payload at a time");
  int status = 0;
  for (int i = options.operand(); i < argc; ++i) {
    const char* path = argv[i];
    InputBytes payload;
    std::string why;
    bool signature = false;
    uint32_t readable = 0;
    int failed = 0;
    if (!ReadPayloadInput(path, &payload, &why, &signature, &readable)) {
      fprintf(stderr, "lzcx: %s: %s\n", Shown(path), why.c_str());
      failed = 1;
    } else {
      failed = show(path, payload, readable, json);
    }
    // The signature itself is the signing tool's to check.
    if (!failed && signature && !json)
      printf("%s: signed: it carries a certificate table (osslsigncode verify checks it)\n",
             Shown(path));
    status = status || failed;
  }
  return status;
}

}  // namespace

int ListCommand(const CliCommand& command, int argc, char** argv) {
  return ReadPayloads(command, argc, argv, List, true);
}

int VerifyCommand(const CliCommand& command, int argc, char** argv) {
  return ReadPayloads(command, argc, argv, Verify, false);
}
