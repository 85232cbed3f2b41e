// applier_child_win32 AT DIR: patches DIR with this program's payload (the
// same as patch_applier_win32_test's) and ends the process on the spot
// (TerminateProcess, exit code 9) at the applier's file operation number AT,
// as the Task Manager, a forced logoff or a power cut would end it. Exit
// code 0 when the patch ran to its end first, 2 for bad arguments.
#include <windows.h>

#include <stdlib.h>

#include "applier_harness.h"

namespace {

void EndNow() { TerminateProcess(GetCurrentProcess(), 9); }

}  // namespace

int main(int argc, char** argv) {
  const uint8_t* data;
  uint32_t size;
  if (argc != 3 || !platform::LoadPayloadResource(&data, &size)) return 2;
  ScriptedOps ops;
  ops.end_at = atol(argv[1]);
  ops.end = EndNow;
  ApplyPayload(data, size, argv[2], ops);
  return 0;
}
