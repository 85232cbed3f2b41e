#include "lzcx/patcher.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "lzcx/cli.h"
#include "lzcx/commands.h"
#include "lzcx/pack.h"
#include "lzcx/pe_image.h"
#include "payload/byte_order.h"
#include "payload/container.h"
#include "platform/platform.h"
#include "resources/resource_ids.h"

namespace {

// The program overwrites the Vusk.exe it found with the first entry.
int CheckProgram(const std::string& name, const FileBytes& bytes, std::string* why) {
  if (!platform::SameFileName(name.c_str(), PROGRAM_ENTRY)) {
    *why = "the first file is the program and must be named " PROGRAM_ENTRY ", not \"" + name +
           "\" (rename it with --name " PROGRAM_ENTRY "=FILE)";
    return 0;
  }
  std::string fault;
  if (!CheckExecutable(bytes.data.get(), bytes.size, &fault)) {
    *why = "the program, " + name + ", is " + fault;
    return 0;
  }
  return 1;
}

}  // namespace

int PatcherCommand(const CliCommand& command, int argc, char** argv) {
  PackRequest request;
  request.command = &command;
  const char* stub_path = nullptr;
  int status = ParsePackArguments(argc, argv, &request, &stub_path);
  if (status >= 0) return status;
  if (!stub_path) return UsageError(request.command, "no stub given (--stub)");
  request.also_read.push_back(stub_path);
  request.check_first = CheckProgram;
  request.needs_program = true;

  // The stub first: a wrong one is refused before anything is encoded.
  MappedFile stub;
  std::vector<uint8_t> image;
  std::string why;
  if (!stub.Open(stub_path, kMaxPayloadSize, "a stub", &why))
    return Refuse("%s: %s", stub_path, why.c_str());
  if (!ReplacePayloadResource(stub.data(), stub.size(), nullptr, 0, &image, &why))
    return Refuse("%s: %s", stub_path, why.c_str());

  TempFile packed;
  MappedFile payload;
  if ((status = PackFiles(request, nullptr, &packed, &payload))) return status;
  if (!CheckFormsReadable(payload.data(), payload.size(),
                          ProgramFormsRead(stub.data(), stub.size()), "this stub", &why))
    return Refuse("%s: %s", stub_path, why.c_str());
  // The image but for the payload, which is summed for the checksum and
  // copied into the output from the packed file.
  uint64_t payload_at = 0;
  size_t checksum_at = 0;
  if (!LayOutPayloadResource(stub.data(), stub.size(), payload.size(), &image, &payload_at,
                             &checksum_at, &why))
    return Refuse("%s: %s", stub_path, why.c_str());
  const size_t head = static_cast<size_t>(payload_at);
  PeChecksumSum sum(checksum_at);
  sum.Add(image.data(), head);
  sum.Add(payload.data(), payload.size());
  sum.Add(image.data() + head, image.size() - head);
  WriteLe32(image.data() + checksum_at, sum.Finish());
  const uint64_t total = image.size() + payload.size();
  const bool to_stdout = !strcmp(request.output, "-");
  TempFile out;
  auto write = [&](const uint8_t* data, size_t size) {
    return to_stdout ? WriteStandardOutput(data, size, &why) : out.Write(data, size, &why);
  };
  const size_t kPiece = 1 << 20;
  int written = (to_stdout || out.Create(request.output, &why)) && write(image.data(), head);
  for (size_t done = 0; written && done < payload.size(); done += kPiece)
    written = write(payload.data() + done, std::min(kPiece, payload.size() - done));
  written = written && write(image.data() + head, image.size() - head) &&
            (to_stdout || out.Commit(&why));
  if (!written) return Refuse("%s", why.c_str());
  if (!request.quiet)
    fprintf(stderr, "%s: %llu bytes, a payload of %zu bytes in %s; peak memory %.0f MB\n",
            to_stdout ? "(stdout)" : request.output, static_cast<unsigned long long>(total),
            payload.size(), stub_path, PeakMemory() / 1048576.0);
  return 0;
}

int CheckFormsReadable(const uint8_t* data, size_t size, uint32_t readable, const char* reader,
                       std::string* why) {
  PayloadIntegrity integrity;
  char fault[512];
  if (!CheckPayloadIntegrity(data, size, &integrity, fault, sizeof fault)) {
    *why = fault;
    return 0;
  }
  PayloadReader entries(data, integrity.entries_end);
  entries.Start();
  PayloadEntry e;
  while (entries.Next(&e)) {
    const uint32_t missing = EntryNeeds(e) & ~readable;
    if (!missing) continue;
    const int need = __builtin_ctz(missing);
    *why = std::string("the payload uses ") + DataFormName(need) +
           (need < FORM_PATHS ? " entries" : "") +
           (need == FORM_BASES ? std::string(" (a payload made from several old releases)")
                               : std::string(" (") + e.name + " is one)") +
           ", which " + reader + " cannot read";
    return 0;
  }
  return 1;
}

const char* Shown(const char* path) { return strcmp(path, "-") ? path : "(stdin)"; }

int ReadPayloadInput(const char* path, InputBytes* payload, std::string* why, bool* signature,
                     uint32_t* readable) {
  // A file is mapped and read where it lies; standard input cannot be.
  if (strcmp(path, "-")) {
    if (!payload->map.Open(path, kMaxPayloadSize, "a payload", why)) return 0;
    payload->data = payload->map.data();
    payload->size = payload->map.size();
  } else {
    if (!ReadStandardInput(kMaxPayloadSize, "a payload", &payload->read, why)) return 0;
    payload->data = payload->read.data.get();
    payload->size = payload->read.size;
  }
  if (readable) *readable = ~0u;
  if (!LooksLikeExecutable(payload->data, payload->size)) return 1;
  const uint8_t* data;
  size_t size;
  if (!FindPayloadResource(payload->data, payload->size, &data, &size, why)) return 0;
  if (!size) {
    *why = "a stub: its payload is empty (lzcx patcher fills it)";
    return 0;
  }
  bool is_signed = false;
  if (!CheckImageChecksum(payload->data, payload->size, &is_signed, why)) return 0;
  if (signature) *signature = is_signed;
  if (readable) *readable = ProgramFormsRead(payload->data, payload->size);
  // The resource, where it lies in the executable.
  payload->data = data;
  payload->size = size;
  return 1;
}
