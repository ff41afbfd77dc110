// Live bytes of the program's own C++ heap. Vexa's code is linked into the fuzzing program,
// so each of its operator new and delete calls passes through here and is counted exactly;
// the platform's components (the XML reader, WinINet) allocate elsewhere.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/fuzz/targets.h"

namespace {

std::atomic<long long> g_liveBytes{0};

void* Allocate(std::size_t size, bool nothrow)
{
    for (;;) {
        if (void* p = std::malloc(size ? size : 1)) {
            g_liveBytes += static_cast<long long>(_msize(p));
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (!handler && nothrow) return nullptr;
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void Free(void* p) noexcept
{
    if (p) g_liveBytes -= static_cast<long long>(_msize(p));
    std::free(p);
}

} // namespace

long long fuzz::HeapBytes() { return g_liveBytes.load(); }

void* operator new(std::size_t size) { return Allocate(size, false); }
void* operator new[](std::size_t size) { return Allocate(size, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
