// Finding a byte in text many bytes at a time: sixteen with SSE2 (every x86-64 processor;
// an x86 one is asked once), else a machine word. The C library's memchr under Wine goes a
// byte at a time, and feeds are read through megabytes of text.
// Plain C++.
#pragma once
#include <cstddef>

namespace vexa {

// The first position at or after `from`, before `end`, whose byte is `a` or `b`; `end` when
// none is.
std::size_t FindEither(const char* data, std::size_t from, std::size_t end, char a, char b) noexcept;

} // namespace vexa
