// Subscription lists in OPML: the rules that take the feeds out of an OPML 1.0 or 2.0
// document's reader events, and the writer of an OPML 2.0 document. Plain C++ in UTF-8
// text: the settings page converts to and from its wide strings.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "format/xmlevents.h"

namespace vexa {

// One feed of a list. Values are as the document carries them after reading (character
// references decoded, nothing trimmed).
struct OpmlOutline {
    std::string text;    // the outline's label
    std::string title;
    std::string xmlUrl;  // the feed's address
    std::string htmlUrl; // the site's address, when known
    friend bool operator==(const OpmlOutline& a, const OpmlOutline& b)
    {
        return a.text == b.text && a.title == b.title && a.xmlUrl == b.xmlUrl && a.htmlUrl == b.htmlUrl;
    }
};

// Attribute values longer than this (UTF-16 units) are cut by the reader; an address that
// long never fits the feed list, so nothing of use is lost.
constexpr std::size_t kOpmlValueLimit = 4096;

// Collects every `outline` with a non-empty xmlUrl under the document's body, folders
// flattened in document order (an outline that has both an address and children gives
// its own entry first, then its children's). Element and attribute names are compared
// without regard to ASCII case ("xmlURL", "XMLURL" and "OPML" occur in files written by
// other programs); namespaces are ignored.
class OpmlRules final : public IXmlParserCallback {
public:
    enum class Outcome {
        Read,        // an OPML document, read to its end
        NotOpml,     // well-formed, but its document element is not opml
        Malformed,   // the reader reported an error
    };

    void Reset();
    Outcome Result(bool parsed) const;
    const std::vector<OpmlOutline>& Outlines() const noexcept { return m_outlines; }
    // Where the reader's first error lay (line, column), and its message.
    int ErrorLine() const noexcept { return m_errorLine; }
    int ErrorColumn() const noexcept { return m_errorColumn; }
    const std::string& ErrorMessage() const noexcept { return m_errorMessage; }

    void OnStartElement(const XmlElement& element) override;
    void OnCharacters(std::string_view text, int depth) override;
    void OnEndElement(const XmlElement& element) override;
    void OnError(int line, int column, const std::string& message, HRESULT code) override;
    bool IsAborted(const XmlElement& element) override;

private:
    std::vector<OpmlOutline> m_outlines;
    bool m_rootSeen = false;
    bool m_isOpml = false;
    int m_bodyDepth = 0; // depth of the open body element; 0 outside it
    bool m_error = false;
    int m_errorLine = 0, m_errorColumn = 0;
    std::string m_errorMessage;
};

// Reads an OPML document held in memory with the feeds' XML reader (UTF-8 or UTF-16 by its
// byte order mark or declaration; markup the reader must not see is refused unread).
// `outlines` is filled only when the outcome is Read.
struct OpmlReadResult {
    OpmlRules::Outcome outcome = OpmlRules::Outcome::Malformed;
    std::vector<OpmlOutline> outlines;
    int errorLine = 0, errorColumn = 0;
    std::string errorMessage;
};
OpmlReadResult ReadOpml(const char* data, std::size_t size);

// An OPML 2.0 document in UTF-8 with its XML declaration: a head with `title` and
// `dateCreated` (an RFC 822 date), a body of one outline per entry with text, title,
// type="rss", xmlUrl and, when not empty, htmlUrl. Every value is escaped; characters that
// XML 1.0 cannot carry (controls other than tab, line feed and carriage return, U+FFFE,
// U+FFFF, broken UTF-8) become U+FFFD.
std::string WriteOpml(const std::string& title, const std::string& dateCreated,
                      const std::vector<OpmlOutline>& outlines);

// A value as WriteOpml keeps it: what a reader gets back for `value`.
std::string OpmlWritableText(const std::string& value);

// "Tue, 08 Dec 2026 13:38:24 GMT" for a UTC time.
std::string Rfc822Date(int year, int month, int day, int dayOfWeek, int hour, int minute, int second);

} // namespace vexa
