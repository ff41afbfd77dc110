// Live bytes of the program's own C++ heap. Vexa's code is linked into the fuzzing program,
// so each of its operator new and delete calls passes through here and is counted exactly;
// what the platform's components hold (the XML reader, WinINet) lives in their own heaps and
// is not counted.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/fuzz/targets.h"

namespace {

std::atomic<long long> g_liveBytes{0};

void* Allocate(std::size_t size)
{
    for (;;) {
        if (void* p = std::malloc(size ? size : 1)) {
            g_liveBytes += static_cast<long long>(_msize(p));
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void* AllocateOrNull(std::size_t size) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void Free(void* p) noexcept
{
    if (!p) return;
    g_liveBytes -= static_cast<long long>(_msize(p));
    std::free(p);
}

} // namespace

long long fuzz::HeapBytes() { return g_liveBytes.load(); }

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
