// The program's own start: the entry point the linker is given in place of
// the C runtime's start-up code, and the few library functions that code
// would otherwise bring along. The C runtime DLL (msvcrt) initialises
// itself when it is loaded, so its functions work without that code.
#include <windows.h>
#include <stddef.h>

extern "C" {

// The static constructors the linker collects: a -1, the functions, a 0.
typedef void (*Constructor)();
extern Constructor __CTOR_LIST__[];

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
void StartStackGuard();

// What static objects register to be done at exit (their destructors), run
// last registered first once WinMain has returned.
typedef void(__cdecl* ExitFunction)();
static ExitFunction g_at_exit[16];
static int g_at_exit_count;

int __cdecl atexit(ExitFunction function) {
  if (g_at_exit_count == sizeof g_at_exit / sizeof g_at_exit[0]) return 1;
  g_at_exit[g_at_exit_count++] = function;
  return 0;
}

// The entry point: the program reads no command line, and WinMain's result
// is the exit code.
__attribute__((noreturn, no_stack_protector)) void PatcherStart() {
  StartStackGuard();
  for (Constructor* c = __CTOR_LIST__ + 1; *c; ++c) (*c)();
  char none[1] = {0};
  const int result = WinMain(GetModuleHandleA(nullptr), nullptr, none, SW_SHOWDEFAULT);
  while (g_at_exit_count) g_at_exit[--g_at_exit_count]();
  ExitProcess(static_cast<UINT>(result));
}

// What a call of a pure virtual function reaches (only through a bug: an
// object used while it is being built or destroyed).
void __cxa_pure_virtual() { ExitProcess(3); }

size_t __cdecl strnlen(const char* text, size_t most) {
  size_t n = 0;
  while (n < most && text[n]) ++n;
  return n;
}

}  // extern "C"
