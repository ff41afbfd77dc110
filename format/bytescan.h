// Finding a byte in text many bytes at a time: sixteen with SSE2 (every x86-64 processor;
// an x86 one is asked once), else a machine word. The C library's memchr under Wine goes a
// byte at a time, and feeds are read through megabytes of text.
// Plain C++.
#pragma once
#include <cstddef>

#if defined(__SSE2__) || (defined(__GNUC__) && defined(__i386__))
#define VEXA_VECTOR_SCAN 1
#endif

namespace vexa {

#if defined(__SSE2__)
constexpr bool HasSse2() noexcept { return true; }
#elif defined(VEXA_VECTOR_SCAN)
// The x86 target is built for processors without SSE2: the processor is asked once.
inline bool HasSse2() noexcept
{
    static const bool has = __builtin_cpu_supports("sse2");
    return has;
}
#endif

// The first position at or after `from`, before `end`, whose byte is `a` or `b`; `end` when
// none is.
std::size_t FindEither(const char* data, std::size_t from, std::size_t end, char a, char b) noexcept;
// The same for one byte.
inline std::size_t FindByte(const char* data, std::size_t from, std::size_t end, char c) noexcept
{
    return FindEither(data, from, end, c, c);
}

} // namespace vexa
