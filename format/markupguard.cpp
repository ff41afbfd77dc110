#include "format/markupguard.h"

#include <cstdint>
#include <cstring>

#include "format/bytescan.h"

namespace vexa {
namespace {

// How the document's code units are written: bytes, or UTF-16 in either order (by its byte
// order mark or by the zero byte beside its first '<').
enum class Form { Bytes, Utf16Le, Utf16Be };

Form FormOf(const unsigned char* data, std::size_t size)
{
    if (size >= 2) {
        if ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == '<' && data[1] == 0))
            return Form::Utf16Le;
        if ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0 && data[1] == '<'))
            return Form::Utf16Be;
    }
    return Form::Bytes;
}

// The document as code units of one form, known when the scanner is compiled: the test of
// each unit reads it directly.
template <Form F>
class Units {
public:
    static constexpr std::size_t kWidth = F == Form::Bytes ? 1 : 2;

    Units(const unsigned char* data, std::size_t size) : m_data(data), m_count(size / kWidth) {}
    std::size_t Count() const { return m_count; }
    std::uint32_t At(std::size_t i) const
    {
        if (F == Form::Bytes) return m_data[i];
        const unsigned char* p = m_data + 2 * i;
        return F == Form::Utf16Be ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
    }
    // The first unit at or after `i` that is '<' or '&' (Count() when none is): text made
    // of bytes is skipped many bytes at a time.
    std::size_t SkipText(std::size_t i) const
    {
        if (F == Form::Bytes) return FindEither(reinterpret_cast<const char*>(m_data), i, m_count, '<', '&');
        while (i < m_count && At(i) != '<' && At(i) != '&') ++i;
        return i;
    }
    // Its size in the reader's UTF-8 (at most).
    static std::size_t Weight(std::uint32_t u)
    {
        if (u < 0x80) return 1;
        return F == Form::Bytes || u < 0x800 ? 2 : 3;
    }

private:
    const unsigned char* m_data;
    std::size_t m_count;
};

// The units that end a name (white space and the marks of markup), in a table: every unit
// of every name is looked up.
struct TokenEnds {
    bool ends[128];
    constexpr TokenEnds() : ends()
    {
        for (const char c : " \t\r\n<>=\"'/?[]&;%") ends[static_cast<unsigned char>(c)] = c != 0;
    }
};
constexpr TokenEnds kTokenEnds;
inline bool EndsToken(std::uint32_t u) { return u < 128 && kTokenEnds.ends[u]; }

template <typename U>
class Scanner {
public:
    explicit Scanner(const U& units) : m_u(units) {}

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
    const U m_u; // a copy: the compiler then knows that the cursor's moves leave it alone
    std::size_t m_i = 0;
};

template <Form F>
bool Scan(const unsigned char* data, std::size_t size, bool* dashedComment)
{
    Scanner<Units<F>> scanner(Units<F>(data, size));
    const bool fits = scanner.Run();
    if (dashedComment) *dashedComment = scanner.m_dashedComment;
    return fits;
}

} // namespace

bool MarkupFitsTheReader(const char* data, std::size_t size, bool* dashedComment) noexcept
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    switch (FormOf(bytes, size)) {
    case Form::Utf16Le: return Scan<Form::Utf16Le>(bytes, size, dashedComment);
    case Form::Utf16Be: return Scan<Form::Utf16Be>(bytes, size, dashedComment);
    default: return Scan<Form::Bytes>(bytes, size, dashedComment);
    }
}

} // namespace vexa
