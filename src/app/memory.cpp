// The program's free store: plain malloc and free. Every allocation in the
// program asks for null on failure (new (std::nothrow)); replacing these
// keeps the C++ runtime's exception machinery, which the library versions
// would bring along, out of the executable.
#include <stdlib.h>

#include <new>

void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

// The tag the allocations pass, otherwise from the C++ library.
namespace std {
const nothrow_t nothrow{};
}
