#include "lzcx/patcher.h"

#include <stdio.h>

#include "lzcx/commands.h"
#include "lzcx/pack.h"
#include "lzcx/pe_image.h"
#include "platform/platform.h"

const char kPatcherUsage[] =
    "lzcx patcher [--fast] [--quiet] --stub STUB.exe [--name NAME=FILE]... -o OUT.exe FILE...";

namespace {

// The program overwrites the Vusk.exe it found with the first entry.
const char kProgramName[] = "vusk.exe";

int CheckProgram(const std::string& name, const std::vector<uint8_t>& bytes, std::string* why) {
  if (!platform::SameFileName(name.c_str(), kProgramName)) {
    *why = "the first file is the program and must be named " + std::string(kProgramName) +
           ", not \"" + name + "\" (rename it with --name " + kProgramName + "=FILE)";
    return 0;
  }
  std::string fault;
  if (!CheckExecutable(bytes.data(), bytes.size(), &fault)) {
    *why = "the program, " + name + ", is " + fault;
    return 0;
  }
  return 1;
}

}  // namespace

int PatcherCommand(int argc, char** argv) {
  PackRequest request;
  request.usage = kPatcherUsage;
  const char* stub_path = nullptr;
  int status = ParsePackArguments(argc, argv, &request, &stub_path);
  if (status) return status;
  if (!stub_path) {
    fprintf(stderr, "lzcx: no stub given (--stub)\nusage: %s\n", kPatcherUsage);
    return 2;
  }
  request.also_read.push_back(stub_path);
  request.check_first = CheckProgram;

  // The stub first: a wrong one is refused before anything is encoded.
  std::vector<uint8_t> stub, image;
  std::string why;
  if (!ReadWholeFile(stub_path, &stub, &why)) return Refuse("%s: %s", stub_path, why.c_str());
  if (!ReplacePayloadResource(stub.data(), stub.size(), nullptr, 0, &image, &why))
    return Refuse("%s: %s", stub_path, why.c_str());

  std::vector<uint8_t> payload;
  if ((status = PackFiles(request, EncodeBlock, &payload))) return status;
  if (!ReplacePayloadResource(stub.data(), stub.size(), payload.data(), payload.size(), &image,
                              &why))
    return Refuse("%s: %s", stub_path, why.c_str());
  if (!ReplaceFileAtomically(request.output, image, &why)) return Refuse("%s", why.c_str());
  if (!request.quiet)
    fprintf(stderr, "%s: %zu bytes, a payload of %zu bytes in %s\n", request.output, image.size(),
            payload.size(), stub_path);
  return 0;
}

int ReadPayloadInput(const char* path, std::vector<uint8_t>* payload, std::string* why) {
  if (!ReadWholeFile(path, payload, why)) return 0;
  if (!LooksLikeExecutable(payload->data(), payload->size())) return 1;
  const uint8_t* data;
  size_t size;
  if (!FindPayloadResource(payload->data(), payload->size(), &data, &size, why)) return 0;
  if (!size) {
    *why = "a stub: its payload is empty (lzcx patcher fills it)";
    return 0;
  }
  *payload = std::vector<uint8_t>(data, data + size);
  return 1;
}
