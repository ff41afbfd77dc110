#include "format/markupguard.h"

#include <cstdint>
#include <cstring>

namespace vexa {
namespace {

// The document as code units: bytes, or UTF-16 in either order (by its byte order mark or
// by the zero byte beside its first '<').
class Units {
public:
    Units(const unsigned char* data, std::size_t size) : m_data(data)
    {
        if (size >= 2) {
            if ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == '<' && data[1] == 0))
                m_width = 2, m_bigEndian = false;
            else if ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0 && data[1] == '<'))
                m_width = 2, m_bigEndian = true;
        }
        m_count = size / m_width;
    }
    std::size_t Count() const { return m_count; }
    std::uint32_t At(std::size_t i) const
    {
        if (m_width == 1) return m_data[i];
        const unsigned char* p = m_data + 2 * i;
        return m_bigEndian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
    }
    // The first unit at or after `i` that is '<' or '&' (Count() when none is): text is
    // skipped a machine word at a time where it is made of bytes.
    std::size_t SkipText(std::size_t i) const
    {
        if (m_width == 1) {
            using Word = std::size_t;
            constexpr Word kOnes = ~Word(0) / 0xFF;
            constexpr Word kHighs = kOnes * 0x80;
            for (Word w; i + sizeof w <= m_count; i += sizeof w) {
                std::memcpy(&w, m_data + i, sizeof w);
                const Word lt = w ^ (kOnes * '<');
                const Word amp = w ^ (kOnes * '&');
                if (((lt - kOnes) & ~lt & kHighs) | ((amp - kOnes) & ~amp & kHighs))
                    break; // a byte of this word is one of them
            }
            while (i < m_count && m_data[i] != '<' && m_data[i] != '&') ++i;
            return i;
        }
        while (i < m_count && At(i) != '<' && At(i) != '&') ++i;
        return i;
    }
    // Its size in the reader's UTF-8 (at most).
    std::size_t Weight(std::uint32_t u) const
    {
        if (u < 0x80) return 1;
        return m_width == 1 || u < 0x800 ? 2 : 3;
    }

private:
    const unsigned char* m_data;
    std::size_t m_width = 1;
    bool m_bigEndian = false;
    std::size_t m_count = 0;
};

bool IsSpace(std::uint32_t u) { return u == ' ' || u == '\t' || u == '\r' || u == '\n'; }
bool EndsToken(std::uint32_t u)
{
    if (u > '?') return u == '[' || u == ']'; // letters, the common case, are decided at once
    return IsSpace(u) || u == '<' || u == '>' || u == '=' || u == '"' || u == '\'' || u == '/' ||
           u == '?' || u == '[' || u == ']' || u == '&' || u == ';' || u == '%';
}

class Scanner {
public:
    explicit Scanner(const Units& units) : m_u(units) {}

    bool Run()
    {
        for (m_i = m_u.SkipText(0); m_i < m_u.Count(); m_i = m_u.SkipText(m_i)) {
            const bool reference = m_u.At(m_i++) == '&';
            if (reference ? Token() > kReaderNameLimit : !Markup()) return false;
        }
        return true;
    }

private:
    bool Next(const char* text) const
    {
        for (std::size_t k = 0; text[k]; ++k)
            if (m_i + k >= m_u.Count() || m_u.At(m_i + k) != static_cast<unsigned char>(text[k])) return false;
        return true;
    }

    void SkipPast(const char* end)
    {
        while (m_i < m_u.Count() && !Next(end)) ++m_i;
    }

    // The weight of the token at the cursor, which moves past it.
    std::size_t Token()
    {
        std::size_t weight = 0;
        std::size_t i = m_i;
        for (std::uint32_t u; i < m_u.Count() && !EndsToken(u = m_u.At(i)); ++i) weight += m_u.Weight(u);
        m_i = i;
        return weight;
    }

    // From after '<' to the '>' that ends it: names are bounded everywhere, quoted values
    // in declarations (the XML declaration too) and in namespace declarations.
    bool Markup()
    {
        const std::uint32_t first = m_i < m_u.Count() ? m_u.At(m_i) : 0;
        if (first == '!' && Next("!--")) {
            m_i += 3; // the end is looked for after the opening dashes
            m_dashedComment = m_dashedComment || Next(">") || Next("->");
            SkipPast("-->");
            return true;
        }
        if (first == '!' && Next("![CDATA[")) { SkipPast("]]>"); return true; }
        bool valuesBounded = first == '!';
        if (first == '?') {
            ++m_i;
            const std::size_t start = m_i;
            const std::size_t weight = Token();
            if (weight > kReaderNameLimit) return false;
            // The data of any other instruction is free text.
            const bool xml = m_i - start == 3 && m_u.At(start) == 'x' && m_u.At(start + 1) == 'm' &&
                             m_u.At(start + 2) == 'l';
            if (!xml) { SkipPast("?>"); return true; }
            valuesBounded = true;
        }
        bool xmlns = false;
        while (m_i < m_u.Count()) {
            const std::uint32_t c = m_u.At(m_i);
            if (c == '<') return true; // a declaration's subset: the next markup
            if (c == '>') { ++m_i; return true; }
            if (c == '"' || c == '\'') {
                std::size_t weight = 0;
                for (++m_i; m_i < m_u.Count() && m_u.At(m_i) != c; ++m_i) weight += m_u.Weight(m_u.At(m_i));
                ++m_i;
                if ((valuesBounded || xmlns) && weight > kReaderValueLimit) return false;
                continue;
            }
            if (EndsToken(c)) { ++m_i; continue; }
            xmlns = c == 'x' && Next("xmlns");
            if (Token() > kReaderNameLimit) return false;
        }
        return true;
    }

public:
    bool m_dashedComment = false;

private:
    const Units m_u; // a copy: the compiler then knows that the cursor's moves leave it alone
    std::size_t m_i = 0;
};

} // namespace

bool MarkupFitsTheReader(const char* data, std::size_t size, bool* dashedComment) noexcept
{
    const Units units(reinterpret_cast<const unsigned char*>(data), size);
    Scanner scanner(units);
    const bool fits = scanner.Run();
    if (dashedComment) *dashedComment = scanner.m_dashedComment;
    return fits;
}

} // namespace vexa
