// The stack cookie that the compiler's stack protector checks before a
// protected function returns (see CMakeLists.txt for which), and what a
// mismatch does. Without the C runtime's start-up code, nothing else
// provides them.
#include <stdint.h>
#include <x86intrin.h>

extern "C" {

// Zero until StartStackGuard, which the entry point calls before anything
// else runs.
uintptr_t __stack_chk_guard;

// A smashed stack: the process ends at once through the system's fail-fast,
// with no handler run, and is reported as a stack buffer overrun.
__attribute__((noreturn)) void __stack_chk_fail() {
  for (;;) __asm__ volatile("int $0x29" : : "c"(2) /* FAST_FAIL_STACK_COOKIE_CHECK_FAILURE */);
}

// A cookie of the time stamp counter and two addresses that ASLR moves on
// every run: no import needed, and not to be guessed from outside.
__attribute__((no_stack_protector)) void StartStackGuard() {
  uintptr_t guard = static_cast<uintptr_t>(__rdtsc());
  guard ^= reinterpret_cast<uintptr_t>(&guard) ^ reinterpret_cast<uintptr_t>(&__stack_chk_guard);
  __stack_chk_guard = guard;
}

}  // extern "C"
