// One run of character data: the pieces a reader hands over between two markup events,
// collected so that the run is delivered once, as UTF-8, cut to a limit of UTF-16 units.
// Plain C++ with no platform headers.
#pragma once
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "format/utf8.h"

namespace vexa {

template <std::size_t Limit>
class TextRun {
public:
    // Adds a piece. `allWhiteSpace` says whether every unit of it is white space; a run made
    // only of such pieces is never delivered. Only what the limit can use is kept (one unit
    // more, to see whether the cut falls inside a surrogate pair).
    template <typename Unit>
    void Append(const Unit* text, std::size_t length, bool allWhiteSpace)
    {
        if (!text || length == 0)
            return;
        m_pending = true;
        m_hasText = m_hasText || !allWhiteSpace;
        const std::size_t room = Limit + 1 - m_size;
        const std::size_t take = length < room ? length : room;
        // Both unit types are UTF-16 code units of two bytes: the units are copied as bytes.
        static_assert(sizeof(Unit) == sizeof(char16_t), "UTF-16 code units");
        if (take <= kShortPiece) { // the reader's usual pieces around characters outside ASCII
            for (std::size_t i = 0; i < take; ++i)
                m_units[m_size + i] = static_cast<char16_t>(text[i]);
        } else {
            std::memcpy(m_units + m_size, text, take * sizeof(char16_t));
        }
        m_size += take;
    }

    bool Pending() const { return m_pending; }
    // The run holds more than white space: whether a further piece is blank does not matter.
    bool HasText() const { return m_hasText; }

    // Ends the run. True when the run holds more than white space, with its text in `out`,
    // which stays valid until the run is used again.
    bool Take(std::string_view& out)
    {
        const bool deliver = m_hasText;
        if (deliver) {
            const char* end = utf::EncodeUtf8(m_bytes, m_units, utf::CutPoint(m_units, m_size, Limit));
            out = std::string_view(m_bytes, static_cast<std::size_t>(end - m_bytes));
        }
        Clear();
        return deliver;
    }

    void Clear()
    {
        m_size = 0;
        m_pending = false;
        m_hasText = false;
    }

private:
    static constexpr std::size_t kShortPiece = 8; // copied here rather than by a call
    char16_t m_units[Limit + 1]; // the first m_size are the run's
    char m_bytes[utf::kMaxUtf8PerUnit * Limit]; // the text that Take delivers
    std::size_t m_size = 0;
    bool m_pending = false;
    bool m_hasText = false;
};

} // namespace vexa
