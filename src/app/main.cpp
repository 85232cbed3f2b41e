// The patcher's entry point.
#include <windows.h>

#include "app/upgrade_app.h"
#include "resources/resource_ids.h"
#include "ui/dialog_utils.h"

namespace {

// A patcher is run from download folders, where a DLL planted beside it
// must never be loaded: from here on, DLLs come from System32 only. Looked
// up at run time, so the program still starts where the call is missing.
void RestrictDllSearchToSystem32() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  SetDefaultDllDirectoriesFn set_directories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_directories) set_directories(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR /*command_line*/,
                   int /*show*/) {
  SetAppInstance(instance);
  RestrictDllSearchToSystem32();
  if (previous) return 1;
  UpgradeApp app(instance, PROGRAM_FILE);
  app.Run();
  return 1;
}
