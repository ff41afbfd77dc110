#include "format/bytescan.h"

#include <cstring>
#ifdef VEXA_VECTOR_SCAN
#include <emmintrin.h>
#endif

namespace vexa {
namespace {

#ifdef VEXA_VECTOR_SCAN
__attribute__((target("sse2"))) std::size_t FindVectors(const unsigned char* data, std::size_t i, std::size_t end,
                                                        unsigned char a, unsigned char b)
{
    const __m128i as = _mm_set1_epi8(static_cast<char>(a));
    const __m128i bs = _mm_set1_epi8(static_cast<char>(b));
    for (; i + 16 <= end; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const int found = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, as), _mm_cmpeq_epi8(v, bs)));
        if (found)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
    while (i < end && data[i] != a && data[i] != b) ++i;
    return i;
}
#endif

} // namespace

std::size_t FindEither(const char* text, std::size_t i, std::size_t end, char first, char second) noexcept
{
    const auto* data = reinterpret_cast<const unsigned char*>(text);
    const auto a = static_cast<unsigned char>(first);
    const auto b = static_cast<unsigned char>(second);
#ifdef VEXA_VECTOR_SCAN
    if (HasSse2())
        return FindVectors(data, i, end, a, b);
#endif
    using Word = std::size_t;
    constexpr Word kOnes = ~Word(0) / 0xFF;
    constexpr Word kHighs = kOnes * 0x80;
    for (Word w; i + sizeof w <= end; i += sizeof w) {
        std::memcpy(&w, data + i, sizeof w);
        const Word x = w ^ (kOnes * a);
        const Word y = w ^ (kOnes * b);
        if (((x - kOnes) & ~x & kHighs) | ((y - kOnes) & ~y & kHighs))
            break; // a byte of this word is one of them
    }
    while (i < end && data[i] != a && data[i] != b) ++i;
    return i;
}

} // namespace vexa
