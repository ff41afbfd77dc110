// UTF-16 <-> UTF-8 for the feed store's narrow text, and the wire form of an address.
// Plain C++ with no platform headers: UTF-16 code units come in any two-byte character type
// (wchar_t on Windows, char16_t elsewhere).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "format/bytescan.h"
#ifdef VEXA_VECTOR_SCAN
#include <emmintrin.h>
#endif

namespace vexa {
namespace utf {

constexpr char32_t kReplacement = 0xFFFD;

template <typename Unit>
constexpr bool IsHighSurrogate(Unit unit)
{
    return (static_cast<char32_t>(unit) & 0xFC00) == 0xD800;
}
template <typename Unit>
constexpr bool IsLowSurrogate(Unit unit)
{
    return (static_cast<char32_t>(unit) & 0xFC00) == 0xDC00;
}

// How many of the first `length` units to keep so that at most `limit` are kept and a
// surrogate pair is never cut in two (the cut then falls before its first half).
template <typename Unit>
std::size_t CutPoint(const Unit* text, std::size_t length, std::size_t limit)
{
    if (length <= limit)
        return length;
    if (limit > 0 && IsHighSurrogate(text[limit - 1]) && IsLowSurrogate(text[limit]))
        return limit - 1;
    return limit;
}

// Writes the UTF-8 form of `c` (at most 4 bytes) at `at`; returns the end of what it wrote.
inline char* EncodeCodePoint(char* at, char32_t c)
{
    if (c < 0x80) {
        *at++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *at++ = static_cast<char>(0xC0 | (c >> 6));
        *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *at++ = static_cast<char>(0xE0 | (c >> 12));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *at++ = static_cast<char>(0xF0 | (c >> 18));
        *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return at;
}

inline void AppendCodePoint(std::string& out, char32_t c)
{
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(EncodeCodePoint(bytes, c) - bytes));
}

// The number of bytes of the UTF-8 form of `length` UTF-16 units (see AppendUtf8).
template <typename Unit>
std::size_t Utf8Size(const Unit* text, std::size_t length)
{
    std::size_t size = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char32_t c = static_cast<char32_t>(text[i]) & 0xFFFF;
        if (c < 0x80) {
            size += 1;
        } else if (c < 0x800) {
            size += 2;
        } else if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            size += 4;
            ++i;
        } else {
            size += 3; // a lone surrogate's replacement too
        }
    }
    return size;
}

#ifdef VEXA_VECTOR_SCAN
// Narrows the ASCII units at the start of `text` (of `length`), eight at a time, into `at`;
// returns how many it narrowed (a multiple of eight). Where HasSse2() says so.
template <typename Unit>
__attribute__((target("sse2"))) std::size_t NarrowAsciiSse2(char* at, const Unit* text, std::size_t length)
{
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i high = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF)
            break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(at + i), _mm_packus_epi16(units, units));
    }
    return i;
}
#endif

// The most bytes that one UTF-16 unit gives in UTF-8 (a surrogate pair gives four of two).
constexpr std::size_t kMaxUtf8PerUnit = 3;

// Writes the UTF-8 form of `length` UTF-16 units at `at`, which has room for
// kMaxUtf8PerUnit bytes a unit, in one pass; returns the end of what it wrote. A surrogate
// without its other half becomes U+FFFD.
template <typename Unit>
char* EncodeUtf8(char* at, const Unit* text, std::size_t length)
{
    static_assert(sizeof(Unit) == 2, "UTF-16 code units");
    using Word = std::uint64_t; // four units are tested at once
    constexpr std::size_t kUnits = sizeof(Word) / sizeof(Unit);
    constexpr Word kNotAscii = 0xFF80FF80FF80FF80ull;
    for (std::size_t i = 0; i < length;) {
        char32_t c = static_cast<char32_t>(text[i++]) & 0xFFFF;
        if (c < 0x80) {
            // ASCII, the common case, goes through without decoding while it lasts: eight
            // units at a time with SSE2, else a word at a time.
            *at++ = static_cast<char>(c);
#ifdef VEXA_VECTOR_SCAN
            if (i + 8 <= length && HasSse2()) {
                const std::size_t narrowed = NarrowAsciiSse2(at, text + i, length - i);
                i += narrowed;
                at += narrowed;
            }
#endif
            for (Word word; i + kUnits <= length; i += kUnits, at += kUnits) {
                std::memcpy(&word, text + i, sizeof word);
                if (word & kNotAscii)
                    break;
                for (std::size_t k = 0; k < kUnits; ++k)
                    at[k] = static_cast<char>(text[i + k]);
            }
        } else if (c < 0x800) {
            *at++ = static_cast<char>(0xC0 | (c >> 6));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (!IsHighSurrogate(c) && !IsLowSurrogate(c)) {
            *at++ = static_cast<char>(0xE0 | (c >> 12));
            *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            if (IsHighSurrogate(c) && i < length && IsLowSurrogate(text[i]))
                c = 0x10000 + ((c - 0xD800) << 10) + ((static_cast<char32_t>(text[i++]) & 0xFFFF) - 0xDC00);
            else
                c = kReplacement;
            at = EncodeCodePoint(at, c);
        }
    }
    return at;
}

// Appends `length` UTF-16 units as UTF-8. A surrogate without its other half becomes U+FFFD.
// The bytes are written straight into room made for them: first a byte a unit, which ASCII
// text (the common case) fills in one pass; at the first other unit, the exact room for the
// rest.
template <typename Unit>
void AppendUtf8(std::string& out, const Unit* text, std::size_t length)
{
    static_assert(sizeof(Unit) == 2, "UTF-16 code units");
    const std::size_t start = out.size();
    out.resize(start + length);
    char* at = &out[0] + start;
    std::size_t i = 0;
    for (; i < length && static_cast<char32_t>(text[i]) < 0x80; ++i)
        at[i] = static_cast<char>(text[i]);
    if (i == length)
        return;
    out.resize(start + i + Utf8Size(text + i, length - i));
    EncodeUtf8(&out[0] + start + i, text + i, length - i);
}

// Replaces `out` with the UTF-8 form of `length` UTF-16 units, encoded in one pass through
// `scratch` (room for kMaxUtf8PerUnit bytes a unit) and copied once: no byte of `out` is
// written twice.
template <typename Unit>
void AssignUtf8(std::string& out, const Unit* text, std::size_t length, char* scratch)
{
    const std::size_t size = static_cast<std::size_t>(EncodeUtf8(scratch, text, length) - scratch);
    out.clear(); // then appended: a plain copy into the room that `out` has
    out.append(scratch, size);
}

// At most `limit` UTF-16 units of `text` (see CutPoint), as UTF-8.
template <typename Unit>
std::string ToUtf8(const Unit* text, std::size_t length, std::size_t limit = std::string::npos)
{
    std::string out;
    if (!text)
        return out;
    AppendUtf8(out, text, CutPoint(text, length, limit));
    return out;
}

// Decodes one code point of UTF-8 at text[i], advancing i. An invalid or cut sequence, an
// encoded surrogate and an overlong form each give U+FFFD for the bytes that cannot start
// or continue a valid sequence (one replacement per maximal invalid part).
inline char32_t DecodeOne(const char* text, std::size_t length, std::size_t& i)
{
    const unsigned char lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80)
        return lead;
    int more;
    char32_t c;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;       // no overlong forms
        else if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        else if (lead == 0xF4) high = 0x8F; // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int k = 0; k < more; ++k) {
        if (i >= length)
            return kReplacement;
        const unsigned char next = static_cast<unsigned char>(text[i]);
        if (next < low || next > high)
            return kReplacement;
        low = 0x80;
        high = 0xBF;
        c = (c << 6) | (next & 0x3F);
        ++i;
    }
    return c;
}

template <typename Unit>
void AppendUtf16(std::basic_string<Unit>& out, char32_t c)
{
    if (c < 0x10000) {
        out += static_cast<Unit>(c);
    } else {
        c -= 0x10000;
        out += static_cast<Unit>(0xD800 + (c >> 10));
        out += static_cast<Unit>(0xDC00 + (c & 0x3FF));
    }
}

// `length` bytes of UTF-8 to UTF-16, at most `limit` units (a character that would not fit
// whole is left out).
template <typename Unit>
std::basic_string<Unit> FromUtf8Bytes(const char* text, std::size_t length,
                                      std::size_t limit = std::basic_string<Unit>::npos)
{
    static_assert(sizeof(Unit) == 2, "UTF-16 code units");
    std::basic_string<Unit> out;
    if (!text)
        return out;
    out.reserve(length < limit ? length : limit);
    std::size_t i = 0;
    while (i < length) {
        const char32_t c = DecodeOne(text, length, i);
        if (out.size() + (c < 0x10000 ? 1 : 2) > limit)
            break;
        AppendUtf16(out, c);
    }
    return out;
}

template <typename Unit>
std::basic_string<Unit> FromUtf8(const std::string& text,
                                 std::size_t limit = std::basic_string<Unit>::npos)
{
    return FromUtf8Bytes<Unit>(text.data(), text.size(), limit);
}

// The form of an address sent to a server: after the scheme and the host, every character
// outside ASCII is written as the percent-encoded bytes of its UTF-8 form; everything else,
// the host included, stays as written. ("http://h/Новости" -> "http://h/%D0%9D%D0%BE...")
template <typename Unit>
std::basic_string<Unit> UrlForTheWire(const std::basic_string<Unit>& url)
{
    static_assert(sizeof(Unit) == 2, "UTF-16 code units");
    // The path starts at the first '/', '?' or '#' after "scheme://" (or at the start).
    std::size_t path = 0;
    const std::size_t scheme = url.find(static_cast<Unit>(':'));
    if (scheme != std::basic_string<Unit>::npos && scheme + 2 < url.size() &&
        url[scheme + 1] == static_cast<Unit>('/') && url[scheme + 2] == static_cast<Unit>('/')) {
        path = scheme + 3;
        while (path < url.size() && url[path] != static_cast<Unit>('/') &&
               url[path] != static_cast<Unit>('?') && url[path] != static_cast<Unit>('#'))
            ++path;
    }
    std::basic_string<Unit> out(url, 0, path);
    out.reserve(url.size());
    static const char kHex[] = "0123456789ABCDEF";
    std::string bytes;
    for (std::size_t i = path; i < url.size();) {
        std::size_t run = i;
        while (run < url.size() && static_cast<char32_t>(url[run]) < 0x80)
            ++run;
        if (run > i) {
            out.append(url, i, run - i);
            i = run;
            continue;
        }
        while (run < url.size() && static_cast<char32_t>(url[run]) >= 0x80)
            ++run;
        bytes.clear();
        AppendUtf8(bytes, url.data() + i, run - i);
        for (char b : bytes) {
            const unsigned char byte = static_cast<unsigned char>(b);
            out += static_cast<Unit>('%');
            out += static_cast<Unit>(kHex[byte >> 4]);
            out += static_cast<Unit>(kHex[byte & 0xF]);
        }
        i = run;
    }
    return out;
}

// The most of an address that is read or sent: its first 999 UTF-16 units.
constexpr std::size_t kAddressLimit = 999;

// An address as written (UTF-8), up to its first NUL (as a C string would end) and at most
// `limit` UTF-16 units.
template <typename Unit>
std::basic_string<Unit> WrittenAddress(const std::string& url, std::size_t limit)
{
    return FromUtf8Bytes<Unit>(url.c_str(), std::strlen(url.c_str()), limit);
}

// The same in the form sent to a server.
template <typename Unit>
std::basic_string<Unit> WireAddress(const std::string& url, std::size_t limit)
{
    return UrlForTheWire(WrittenAddress<Unit>(url, limit));
}

} // namespace utf
} // namespace vexa
