// The feed grammar, its serialisation in many equivalent spellings, the byte and event
// mutators, and the model of the parsing rules that the store is compared with.
#include "tests/fuzz/feedgen.h"

#include <algorithm>
#include <map>
#include <set>

namespace fuzz {
namespace {

using Text32 = std::u32string;

const std::vector<std::string> kEncodings = {"UTF-8", "UTF-8-BOM", "UTF-8-NODECL", "UTF-16LE",
                                             "UTF-16BE", "ISO-8859-1", "US-ASCII"};

// Element names: the ones the rules know, their near misses, and others.
const std::vector<std::string> kFieldNames = {"author", "title", "link", "price", "publish_date",
                                              "description"};
const std::vector<std::string> kOtherNames = {
    "Title", "TITLE", "Item", "items", "titles", "guid", "pubDate", "category", "comments",
    "enclosure", "source", "image", "url", "name", "x", "b", "p", "a-b", "a.b", "_u", "channel2",
    "descriptio", "description_", "publish-date", "rss", "feed", "entry", "content"};
const std::vector<std::string> kPrefixes = {"dc", "x", "atom"};

void AppendUtf16(std::u16string& out, char32_t c)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

Text32 Widen(const std::string& ascii) { return Text32(ascii.begin(), ascii.end()); }

// Writes one document: markup and text as code points, and the events they stand for.
class Generator {
public:
    explicit Generator(Rng& rng) : m_rng(rng) {}

    FeedCase Run()
    {
        FeedCase out;
        m_encoding = m_rng.Pick(kEncodings);
        Prolog();
        Root();
        Misc();
        out.encoding = m_encoding;
        out.bytes = Encode();
        out.events = std::move(m_events);
        out.usesEntities = m_usesEntities;
        return out;
    }

private:
    // --- characters -----------------------------------------------------------------
    bool RawAllowed(char32_t c) const
    {
        if (m_encoding == "US-ASCII") return c < 0x80;
        if (m_encoding == "ISO-8859-1") return c < 0x100;
        return true;
    }

    // A character of element content. No white space other than XML's four (the reader's
    // idea of white space covers more, and the model must know which pieces are blank).
    char32_t RandomChar()
    {
        switch (m_rng.Below(20)) {
        case 0: case 1: return U' ';
        case 2: return m_rng.Pick(std::vector<char32_t>{U'\t', U'\n', U'\r'});
        case 3: return m_rng.Pick(std::vector<char32_t>{U'<', U'>', U'&', U'"', U'\'', U']'});
        case 4: { // Latin-1, without its no-break space and NEL
            char32_t c = 0xA1 + m_rng.Below(0x5F);
            return c;
        }
        case 5: { // the rest of the BMP, without blanks, surrogates and non-characters
            for (;;) {
                char32_t c = 0x100 + m_rng.Below(0xFFFE - 0x100);
                if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0x2000 && c <= 0x200F) ||
                    (c >= 0x2028 && c <= 0x202F) || c == 0x1680 || c == 0x205F || c == 0x3000 ||
                    c == 0x180E || c == 0xFEFF || (c >= 0xFDD0 && c <= 0xFDEF))
                    continue;
                return c;
            }
        }
        case 6: return 0x10000 + m_rng.Below(0xFFFF0 - 0x10000);
        case 7: return 0x21 + m_rng.Below(0x5E);
        default: {
            const char* letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
            return static_cast<char32_t>(letters[m_rng.Below(62)]);
        }
        }
    }

    Text32 RandomText(int maxLength)
    {
        Text32 text;
        int n = m_rng.Chance(1) ? m_rng.Range(700, 1700) : m_rng.Range(1, maxLength);
        for (int i = 0; i < n; ++i) text += RandomChar();
        return text;
    }

    void CharRef(char32_t c)
    {
        char buf[16];
        if (m_rng.Chance(50))
            snprintf(buf, sizeof buf, "&#%u;", static_cast<unsigned>(c));
        else
            snprintf(buf, sizeof buf, m_rng.Chance(50) ? "&#x%X;" : "&#x%x;", static_cast<unsigned>(c));
        m_out += Widen(buf);
    }

    // One character in element content, spelled in one of its ways.
    void TextChar(const Text32& text, std::size_t i)
    {
        char32_t c = text[i];
        switch (c) {
        case U'<': m_out += m_rng.Chance(80) ? Widen("&lt;") : Widen("&#60;"); return;
        case U'&': m_out += m_rng.Chance(80) ? Widen("&amp;") : Widen("&#x26;"); return;
        case U'>': m_out += Widen("&gt;"); return;
        case U'"': m_out += m_rng.Chance(30) ? Widen("&quot;") : Text32(1, c); return;
        case U'\'': m_out += m_rng.Chance(30) ? Widen("&apos;") : Text32(1, c); return;
        case U'\r': CharRef(c); return;
        case U'\n': {
            // A line end may be written as CR LF, or as a lone CR when no LF follows.
            bool lfNext = i + 1 >= text.size() || text[i + 1] == U'\n';
            int how = m_rng.Below(4);
            if (how == 0) m_out += U"\r\n";
            else if (how == 1 && !lfNext) m_out += U"\r";
            else if (how == 2) CharRef(c);
            else m_out += U"\n";
            return;
        }
        default:
            if (!RawAllowed(c) || m_rng.Chance(5)) CharRef(c);
            else m_out += c;
        }
    }

    void CData(const Text32& text)
    {
        m_out += U"<![CDATA[";
        for (std::size_t i = 0; i < text.size(); ++i) {
            char32_t c = text[i];
            bool closes = c == U'>' && i >= 2 && text[i - 1] == U']' && text[i - 2] == U']';
            // A line end stays out of the section: the platform's reader loses the text
            // after a line end inside CDATA.
            if (!RawAllowed(c) || c == U'\r' || closes || c == U'\n') {
                m_out += U"]]>";
                CharRef(c);
                m_out += U"<![CDATA[";
            } else {
                m_out += c;
            }
        }
        m_out += U"]]>";
    }

    void AddText(const Text32& text)
    {
        m_lastText += text;
        std::u16string units;
        for (char32_t c : text) AppendUtf16(units, c);
        if (units.empty()) return;
        m_events.push_back(Event{Event::Text, std::string(), units});
    }

    // Character data: pieces written plainly, as CDATA, or as entity references, with
    // comments and processing instructions between them.
    void Content(int maxLength)
    {
        int pieces = m_rng.Chance(70) ? 1 : m_rng.Range(2, 5);
        for (int p = 0; p < pieces; ++p) {
            int kind = m_rng.Below(10);
            if (kind == 0 && !m_entities.empty()) {
                const auto& entity = m_entities[m_rng.Below(static_cast<std::uint32_t>(m_entities.size()))];
                m_out += U"&" + Widen(entity.first) + U";";
                AddText(entity.second);
                m_usesEntities = true;
            } else if (kind == 1) {
                Text32 text = RandomText(maxLength);
                CData(text);
                AddText(text);
            } else if (kind == 2) {
                Comment();
            } else if (kind == 3) {
                Pi();
            } else {
                Text32 text = RandomText(maxLength);
                for (std::size_t i = 0; i < text.size(); ++i) TextChar(text, i);
                AddText(text);
            }
        }
    }

    void Blank()
    {
        static const char32_t* blanks[] = {U"", U"\n", U"\n  ", U" ", U"\r\n\t", U"\n\n    "};
        m_out += blanks[m_rng.Below(6)];
    }

    void Comment()
    {
        m_out += U"<!--";
        int n = m_rng.Range(0, 20);
        for (int i = 0; i < n; ++i) {
            char32_t c = RandomChar();
            if (c == U'-' || c == U'\r' || !RawAllowed(c)) c = U'x';
            m_out += c;
        }
        m_out += U"-->";
    }

    void Pi()
    {
        m_out += m_rng.Pick(std::vector<Text32>{U"<?pi?>", U"<?target data?>",
                                                 U"<?xml-stylesheet href=\"a.xsl\" type=\"text/xsl\"?>",
                                                 U"<?p <item>&amp;?>"});
    }

    void Misc()
    {
        int n = m_rng.Range(0, 2);
        for (int i = 0; i < n; ++i) {
            Blank();
            if (m_rng.Chance(50)) Comment(); else Pi();
        }
        Blank();
    }

    // --- prolog -----------------------------------------------------------------------
    void Prolog()
    {
        std::string declared = m_encoding;
        if (declared == "UTF-8-BOM") declared = "UTF-8";
        if (declared == "UTF-16LE" || declared == "UTF-16BE") declared = "UTF-16";
        bool decl = m_encoding != "UTF-8-NODECL" &&
                    (m_rng.Chance(80) || m_encoding == "ISO-8859-1" || m_encoding == "US-ASCII");
        if (decl) {
            m_out += U"<?xml version=\"1.0\"";
            if (m_encoding != "UTF-8" || m_rng.Chance(70)) {
                std::string name = declared;
                if (m_rng.Chance(30)) std::transform(name.begin(), name.end(), name.begin(), ::tolower);
                m_out += U" encoding=\"" + Widen(name) + U"\"";
            }
            if (m_rng.Chance(20)) m_out += U" standalone=\"yes\"";
            m_out += U"?>";
        }
        Misc();
        if (m_rng.Chance(30)) Doctype();
        Misc();
    }

    void Doctype()
    {
        m_out += U"<!DOCTYPE rss [";
        int n = m_rng.Range(1, 4);
        for (int i = 0; i < n; ++i) {
            std::string name = "e" + std::to_string(i);
            Text32 logical;
            Text32 literal;
            int parts = m_rng.Range(1, 3);
            for (int p = 0; p < parts; ++p) {
                if (p > 0 && !m_entities.empty() && m_rng.Chance(40)) {
                    const auto& inner = m_entities[m_rng.Below(static_cast<std::uint32_t>(m_entities.size()))];
                    literal += U"&" + Widen(inner.first) + U";";
                    logical += inner.second;
                    continue;
                }
                int len = m_rng.Range(1, 12);
                for (int k = 0; k < len; ++k) {
                    char32_t c = RandomChar();
                    // No tab or line end: the platform's reader then calls the entity
                    // undefined.
                    if (c == U'&' || c == U'<' || c == U'%' || c == U'"' || c == U'\r' || c == U'>' ||
                        c == U'\t' || c == U'\n')
                        c = U'z';
                    if (!RawAllowed(c)) {
                        literal += Widen("&#" + std::to_string(static_cast<unsigned>(c)) + ";");
                        logical += c;
                        continue;
                    }
                    literal += c;
                    logical += c;
                }
            }
            m_out += U"\n  <!ENTITY " + Widen(name) + U" \"" + literal + U"\">";
            m_entities.emplace_back(name, logical);
        }
        if (m_rng.Chance(50)) m_out += U"\n  <!ELEMENT rss ANY>";
        if (m_rng.Chance(50)) m_out += U"\n  <!ATTLIST item kind CDATA \"plain\">";
        if (m_rng.Chance(30)) m_out += U"\n  <!-- a comment in the DTD -->";
        m_out += U"\n]>";
    }

    // --- elements ---------------------------------------------------------------------
    std::string QualifiedName(const std::string& local)
    {
        if (m_rng.Chance(10)) return m_rng.Pick(kPrefixes) + ":" + local;
        return local;
    }

    std::string LocalOf(const std::string& qualified) const
    {
        std::size_t colon = qualified.find(':');
        std::string local = colon == std::string::npos ? qualified : qualified.substr(colon + 1);
        return local.size() > 199 ? local.substr(0, 199) : local;
    }

    void Attributes()
    {
        int n = m_rng.Chance(70) ? 0 : m_rng.Range(1, 3);
        std::set<std::string> used;
        for (int i = 0; i < n; ++i) {
            std::string name = m_rng.Pick(std::vector<std::string>{"version", "href", "isPermaLink",
                                                                   "x:a", "dc:b", "type", "lang"});
            if (!used.insert(name).second) continue;
            char32_t quote = m_rng.Chance(50) ? U'"' : U'\'';
            m_out += U" " + Widen(name) + U"=" + Text32(1, quote);
            Text32 value = m_rng.Chance(20) ? Text32() : RandomText(m_rng.Chance(5) ? 500 : 12);
            for (char32_t c : value) {
                if (c == U'<') m_out += U"&lt;";
                else if (c == U'&') m_out += U"&amp;";
                else if (c == quote) m_out += quote == U'"' ? U"&quot;" : U"&apos;";
                else if (!RawAllowed(c) || c == U'\r') CharRef(c);
                else m_out += c;
            }
            m_out += quote;
        }
    }

    void Open(const std::string& qualified, bool empty = false)
    {
        m_out += U"<" + Widen(qualified);
        Attributes();
        m_events.push_back(Event{Event::Start, LocalOf(qualified), {}});
        if (empty) {
            m_out += U"/>";
            m_events.push_back(Event{Event::End, LocalOf(qualified), {}});
        } else {
            m_out += U">";
        }
    }

    void Close(const std::string& qualified)
    {
        m_out += U"</" + Widen(qualified) + (m_rng.Chance(10) ? U" >" : U">");
        m_events.push_back(Event{Event::End, LocalOf(qualified), {}});
    }

    // An element of any kind with random content, down to a depth.
    void Junk(int depth)
    {
        std::string name = m_rng.Chance(70) ? m_rng.Pick(kOtherNames) : m_rng.Pick(kFieldNames);
        if (m_rng.Chance(2)) name = std::string(m_rng.Range(200, 260), 'n');
        name = QualifiedName(name);
        if (m_rng.Chance(20)) { Open(name, true); return; }
        Open(name);
        int n = m_rng.Range(0, 3);
        for (int i = 0; i < n; ++i) {
            if (depth > 0 && m_rng.Chance(40)) Junk(depth - 1);
            else Content(16);
        }
        Close(name);
    }

    void Field(const std::string& local)
    {
        std::string name = QualifiedName(local);
        if (m_rng.Chance(5)) { Open(name, true); return; }
        Open(name);
        if (local == "title" && !m_titles.empty() && m_rng.Chance(30)) {
            // A title seen before: the store keeps the first entry with it.
            Text32 text = m_titles[m_rng.Below(static_cast<std::uint32_t>(m_titles.size()))];
            for (std::size_t i = 0; i < text.size(); ++i) TextChar(text, i);
            AddText(text);
        } else {
            m_lastText.clear();
            Content(local == "description" ? 60 : 20);
            if (local == "title" && !m_lastText.empty()) m_titles.push_back(m_lastText);
        }
        // Mixed content: a nested element and more text.
        if (m_rng.Chance(10)) {
            Junk(1);
            Content(10);
        }
        Close(name);
    }

    void Entry()
    {
        std::string name = QualifiedName("item");
        Open(name);
        int n = m_rng.Range(0, 8);
        for (int i = 0; i < n; ++i) {
            Blank();
            int kind = m_rng.Below(20);
            if (kind < 13) Field(m_rng.Pick(kFieldNames));
            else if (kind < 16) Junk(2);
            else if (kind == 16) Content(10);
            else if (kind == 17) Comment();
            else if (kind == 18 && m_rng.Chance(30)) Entry(); // an entry inside an entry
            else Field("title");
        }
        Blank();
        Close(name);
    }

    void ChannelBody(int entries)
    {
        for (const char* field : {"title", "link", "description"})
            if (m_rng.Chance(70)) { Blank(); Field(field); }
        for (int i = 0; i < entries; ++i) {
            Blank();
            if (m_rng.Chance(10)) Junk(2);
            if (m_rng.Chance(5)) Content(10);
            Entry();
        }
        if (m_rng.Chance(20)) { Blank(); Field("title"); }
        Blank();
    }

    int EntryCount() { return m_rng.Chance(5) ? m_rng.Range(20, 60) : m_rng.Range(0, 6); }

    void Root()
    {
        int shape = m_rng.Below(10);
        Text32 decls = U" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:x=\"urn:x\" "
                       U"xmlns:atom=\"http://www.w3.org/2005/Atom\"";
        if (m_rng.Chance(20)) decls += U" xmlns=\"urn:default\"";
        auto openRoot = [&](const std::string& name) {
            m_out += U"<" + Widen(name) + decls;
            if (name == "rdf:RDF") m_out += U" xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"";
            Attributes();
            m_out += U">";
            m_events.push_back(Event{Event::Start, LocalOf(name), {}});
        };
        if (shape < 6) { // rss > channel > entries
            openRoot("rss");
            int channels = m_rng.Chance(10) ? 2 : 1;
            for (int c = 0; c < channels; ++c) {
                Blank();
                std::string channel = QualifiedName("channel");
                Open(channel);
                ChannelBody(EntryCount());
                Close(channel);
            }
            if (m_rng.Chance(15)) { Blank(); Entry(); } // an entry after the channel
            Blank();
            Close("rss");
        } else if (shape < 8) { // channel, then entries beside it
            openRoot("rdf:RDF");
            Blank();
            Open("channel");
            ChannelBody(m_rng.Chance(50) ? 0 : 2);
            Close("channel");
            int n = EntryCount();
            for (int i = 0; i < n; ++i) { Blank(); Entry(); }
            Blank();
            Close("rdf:RDF");
        } else if (shape == 8) { // the channel is the document element
            openRoot("channel");
            ChannelBody(EntryCount());
            Close("channel");
        } else { // no channel at all
            // A "feed" in no namespace would be read as Atom, which the model does not
            // know: it stands in a namespace of its own.
            if (!m_rng.Chance(50)) {
                if (decls.find(U" xmlns=\"") == Text32::npos) decls += U" xmlns=\"urn:default\"";
                openRoot("feed");
            } else {
                openRoot("rss");
            }
            int n = m_rng.Range(0, 4);
            for (int i = 0; i < n; ++i) { Blank(); if (m_rng.Chance(50)) Entry(); else Junk(2); }
            Close(m_events.front().name == "feed" ? "feed" : "rss");
        }
    }

    // --- bytes ------------------------------------------------------------------------
    std::string Encode() const
    {
        std::string out;
        if (m_encoding == "UTF-16LE" || m_encoding == "UTF-16BE") {
            bool le = m_encoding == "UTF-16LE";
            std::u16string units;
            units += char16_t(0xFEFF);
            for (char32_t c : m_out) AppendUtf16(units, c);
            for (char16_t u : units) {
                char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
                if (le) { out += lo; out += hi; } else { out += hi; out += lo; }
            }
            return out;
        }
        if (m_encoding == "ISO-8859-1" || m_encoding == "US-ASCII") {
            for (char32_t c : m_out) out += static_cast<char>(c);
            return out;
        }
        if (m_encoding == "UTF-8-BOM") out += "\xEF\xBB\xBF";
        for (char32_t c : m_out) AppendUtf8(out, c);
        return out;
    }

    Rng& m_rng;
    std::string m_encoding;
    Text32 m_out;
    std::vector<Event> m_events;
    std::vector<std::pair<std::string, Text32>> m_entities;
    std::vector<Text32> m_titles;
    Text32 m_lastText; // the logical text of the last Content
    bool m_usesEntities = false;
};

// --- the model ------------------------------------------------------------------------

bool IsWide16Space(char16_t u) { return u == 0x20 || (u >= 0x09 && u <= 0x0D); }

int FieldOf(const std::string& name)
{
    static const std::map<std::string, int> table = {
        {"author", kAuthor}, {"title", kTitle}, {"link", kLink},
        {"price", kPrice}, {"publish_date", kPublished}, {"description", kDescription}};
    auto it = table.find(name);
    return it == table.end() ? -1 : it->second;
}

bool HasText(const std::u16string& run)
{
    for (char16_t u : run)
        if (!IsWide16Space(u)) return true;
    return false;
}

bool FieldMatches(const std::vector<std::u16string>& runs, const std::string& actual,
                  bool description, Delivery delivery)
{
    std::string want;
    for (const std::u16string& run : runs) {
        if (!HasText(run)) continue;
        if (description && !want.empty()) want += '\n';
        want += RunUtf8(run, delivery == Delivery::RunsUtf8CrAsLf);
    }
    return want == actual;
}

bool EntryMatches(const ModelEntry& entry, const StoredRecord& record, Delivery delivery)
{
    for (int f = 0; f < kFieldCount; ++f)
        if (!FieldMatches(entry.runs[f], record.fields[f], f == kDescription, delivery)) return false;
    return true;
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') out += static_cast<char>(c);
        else { char buf[8]; snprintf(buf, sizeof buf, "\\x%02X", c); out += buf; }
    }
    return out + "\"";
}

} // namespace

FeedCase GenerateFeed(Rng& rng) { return Generator(rng).Run(); }

std::string Mutate(Rng& rng, const std::string& bytes, const std::string& other)
{
    static const std::vector<std::string> tokens = {
        "<", ">", "&", ";", "]]>", "<!--", "-->", "<![CDATA[", "&#0;", "&#xD800;", "&#1114112;",
        "</item>", "<item>", "<channel>", "</channel>", "<title>", std::string(1, '\0'), "\xFF\xFE",
        "\xEF\xBB\xBF", "\xC3", "\xED\xA0\x80", "&e0;", "&undefined;", "<!DOCTYPE x [<!ENTITY e0 \"&e0;\">]>",
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>", "xmlns:dc=\"\"", "<a:b>", "=\"", "'", "\r"};
    std::string out = bytes;
    int n = rng.Range(1, 4);
    for (int step = 0; step < n; ++step) {
        std::size_t size = out.size();
        std::size_t at = size ? rng.Below(static_cast<std::uint32_t>(size + 1)) : 0;
        switch (rng.Below(7)) {
        case 0: { // flip bits or replace bytes
            int flips = rng.Range(1, 8);
            for (int i = 0; i < flips && size; ++i) {
                std::size_t pos = rng.Below(static_cast<std::uint32_t>(size));
                if (rng.Chance(50)) out[pos] = static_cast<char>(out[pos] ^ (1 << rng.Below(8)));
                else out[pos] = static_cast<char>(rng.Below(256));
            }
            break;
        }
        case 1: // cut
            out.resize(at);
            break;
        case 2: { // repeat a range
            if (!size) break;
            std::size_t from = rng.Below(static_cast<std::uint32_t>(size));
            std::size_t len = std::min<std::size_t>(size - from, rng.Range(1, 200));
            std::string piece = out.substr(from, len);
            int times = rng.Range(1, rng.Chance(5) ? 500 : 4);
            std::string repeated;
            for (int t = 0; t < times; ++t) repeated += piece;
            out.insert(from + len, repeated);
            break;
        }
        case 3: { // splice with another document
            std::size_t cut = other.empty() ? 0 : rng.Below(static_cast<std::uint32_t>(other.size()));
            out = out.substr(0, at) + other.substr(cut);
            break;
        }
        case 4: // insert a markup token
            out.insert(at, rng.Pick(tokens));
            break;
        case 5: { // delete a range
            std::size_t len = std::min<std::size_t>(size - at, rng.Range(1, 64));
            out.erase(at, len);
            break;
        }
        default: { // swap two ranges' order by moving one
            if (size < 4) break;
            std::size_t from = rng.Below(static_cast<std::uint32_t>(size));
            std::size_t len = std::min<std::size_t>(size - from, rng.Range(1, 100));
            std::string piece = out.substr(from, len);
            out.erase(from, len);
            out.insert(rng.Below(static_cast<std::uint32_t>(out.size() + 1)), piece);
        }
        }
    }
    return out;
}

void MutateEvents(Rng& rng, std::vector<Event>& events)
{
    static const std::vector<std::string> names = {"channel", "item", "title", "description",
                                                   "link", "author", "price", "publish_date",
                                                   "x", "", "Title"};
    int n = rng.Range(1, 6);
    for (int step = 0; step < n; ++step) {
        std::size_t size = events.size();
        std::size_t at = rng.Below(static_cast<std::uint32_t>(size + 1));
        switch (rng.Below(5)) {
        case 0:
            if (at < size) events.erase(events.begin() + at);
            break;
        case 1:
            if (at < size) events.insert(events.begin() + at, events[at]);
            break;
        case 2:
            events.insert(events.begin() + at,
                          Event{rng.Chance(50) ? Event::Start : Event::End, rng.Pick(names), {}});
            break;
        case 3: {
            std::u16string text;
            int len = rng.Range(1, rng.Chance(10) ? 2000 : 10);
            for (int i = 0; i < len; ++i)
                text += static_cast<char16_t>(rng.Chance(30) ? u' ' : (rng.Chance(10) ? 0xD800 + rng.Below(0x800) : 0x21 + rng.Below(0x1000)));
            events.insert(events.begin() + at, Event{Event::Text, std::string(), text});
            break;
        }
        default:
            if (at < size && events[at].type != Event::Text) events[at].name = rng.Pick(names);
        }
    }
}

std::vector<ModelEntry> ModelEntries(const std::vector<Event>& events)
{
    // The three pieces of walk state, and the entry being filled.
    bool channelSeen = false;
    bool entryOpen = false;
    int field = -1;
    bool lastWasText = false; // the previous event added text to the current field
    ModelEntry entry;
    std::vector<ModelEntry> done;
    for (const Event& e : events) {
        bool addedText = false;
        if (e.type == Event::Start) {
            if (!channelSeen) channelSeen = e.name == "channel";
            else if (!entryOpen) {
                if (e.name == "item") { entryOpen = true; entry = ModelEntry(); }
            } else {
                field = FieldOf(e.name);
            }
        } else if (e.type == Event::End) {
            if (channelSeen) {
                if (entryOpen && e.name == "item") {
                    done.push_back(entry);
                    entryOpen = false;
                } else {
                    field = -1;
                }
            }
        } else if (channelSeen && entryOpen && field >= 0) {
            auto& runs = entry.runs[field];
            if (lastWasText && !runs.empty()) runs.back() += e.text;
            else runs.push_back(e.text);
            addedText = true;
        }
        lastWasText = addedText;
    }
    return done;
}

std::string RunUtf8(const std::u16string& run, bool crAsLf)
{
    std::size_t cut = run.size();
    if (cut > 799) {
        cut = 799;
        // Not inside a pair: the cut then falls before its first half.
        if (run[798] >= 0xD800 && run[798] <= 0xDBFF && run[799] >= 0xDC00 && run[799] <= 0xDFFF) cut = 798;
    }
    std::string out;
    for (std::size_t i = 0; i < cut; ++i) {
        char32_t c = run[i];
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < cut && run[i + 1] >= 0xDC00 && run[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (run[i + 1] - 0xDC00);
            ++i;
        } else if (high || low) {
            c = 0xFFFD;
        }
        if (crAsLf && c == 0x0D) c = 0x0A;
        AppendUtf8(out, c);
    }
    return out;
}

std::string CompareStore(const std::vector<ModelEntry>& expected,
                         const std::vector<StoredRecord>& stored, Delivery delivery)
{
    std::vector<const StoredRecord*> byNum(stored.size(), nullptr);
    for (const StoredRecord& r : stored) {
        if (r.num < 0 || r.num >= static_cast<int>(stored.size()) || byNum[r.num])
            return "record " + Quote(r.key) + " has NUM " + std::to_string(r.num) +
                   " outside 0.." + std::to_string(stored.size() - 1) + " or twice";
        byNum[r.num] = &r;
        if (r.key != r.rssId || r.rssId != r.fields[kTitle])
            return "record " + Quote(r.key) + ": key, RssID and Title differ";
    }
    std::size_t kept = 0;
    for (std::size_t e = 0; e < expected.size(); ++e) {
        if (kept < byNum.size() && EntryMatches(expected[e], *byNum[kept], delivery)) {
            ++kept;
            continue;
        }
        // Not stored: only right when an earlier record holds its title.
        bool duplicate = false;
        for (std::size_t k = 0; k < kept && !duplicate; ++k)
            duplicate = FieldMatches(expected[e].runs[kTitle], byNum[k]->fields[kTitle], false, delivery);
        if (!duplicate) {
            std::string what = "entry " + std::to_string(e) + " is neither stored (NUM " +
                               std::to_string(kept) + ") nor a duplicate title";
            if (kept < byNum.size()) {
                const StoredRecord& r = *byNum[kept];
                what += "; record with that NUM:";
                for (int f = 0; f < kFieldCount; ++f) what += " " + Quote(r.fields[f]);
            }
            what += "; expected runs:";
            for (int f = 0; f < kFieldCount; ++f) {
                what += " [";
                for (const auto& run : expected[e].runs[f]) what += Quote(Utf8(run)) + ",";
                what += "]";
            }
            return what;
        }
    }
    if (kept != stored.size())
        return std::to_string(stored.size()) + " records stored, " + std::to_string(kept) + " expected";
    return std::string();
}

std::vector<std::u16string> SplitText(Rng& rng, const std::u16string& text)
{
    std::vector<std::u16string> pieces;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t len = rng.Chance(60) ? text.size() - i : 1 + rng.Below(static_cast<std::uint32_t>(text.size() - i));
        pieces.push_back(text.substr(i, len));
        i += len;
    }
    return pieces;
}

std::string Utf8(const std::u16string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string Describe(const std::vector<Event>& events)
{
    std::string out;
    for (const Event& e : events) {
        if (e.type == Event::Start) out += "<" + e.name + ">";
        else if (e.type == Event::End) out += "</" + e.name + ">";
        else out += Quote(Utf8(e.text));
    }
    return out;
}

} // namespace fuzz
