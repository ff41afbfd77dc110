// The feed grammar, its serialisation in many equivalent spellings, the byte and event
// mutators, and the model of the parsing rules that the store is compared with.
#include "tests/fuzz/feedgen.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

namespace fuzz {

long g_strayLineFeeds = 0;

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
const char kAtomNs[] = "http://www.w3.org/2005/Atom";
const char kAtom03Ns[] = "http://purl.org/atom/ns#";
const char kDcNs[] = "http://purl.org/dc/elements/1.1/";
const char kRss10Ns[] = "http://purl.org/rss/1.0/";
const char kRss09Ns[] = "http://my.netscape.com/rdf/simple/0.9/";
const char kRdfNs[] = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
// The namespaces every document declares; the first three prefixes prefix any name.
const std::vector<std::pair<std::string, std::string>> kDeclared = {
    {"xmlns:dc", kDcNs}, {"xmlns:x", "urn:x"}, {"xmlns:atom", kAtomNs},
    {"xmlns:itunes", "http://www.itunes.com/dtds/podcast-1.0.dtd"}, {"xmlns:media", "http://search.yahoo.com/mrss/"}};
// The names that Atom's rules know, for elements in places where they count or do not.
const std::vector<std::string> kAtomNames = {"title", "summary", "content", "updated", "published",
                                             "author", "name", "link", "entry", "id", "email"};
// Link references and bases: absolute, network-path, absolute-path and relative ones, with
// dot segments, queries and fragments.
const std::vector<std::string> kAtomRefs = {
    "http://example.org/a/b.html", "https://h.example/x?y#z", "urn:x:y", "//other.example/p/./q",
    "/top/x.html", "/a/./b/../c", "rel/x.html", "./x", "../up.html", "../../a/../b", "x.html?q=1",
    "?only", "#frag", ".", "..", "a:b/c", "g;x=1/../y", "", "..//x/", "./../.."};
const std::vector<std::string> kAtomBases = {
    "http://base.example/dir/sub/", "http://base.example/dir/file.xml", "http://base.example",
    "sub/", "/root/", "../", "https://b.example/x/y?q#f", "", "//h2.example/p/"};

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
        out.entrySpans = std::move(m_spans);
        const std::vector<std::size_t> at = ByteOffsets();
        for (EntrySpan& span : out.entrySpans) {
            for (std::size_t* p : {&span.begin, &span.end}) *p = at[*p];
            for (std::size_t& m : span.marks) m = at[m];
            for (auto* list : {&span.cdata, &span.wraps})
                for (auto& [from, to] : *list) from = at[from], to = at[to];
        }
        return out;
    }

private:
    // --- where entries lie ------------------------------------------------------------
    // The byte offset of each code point of the output (and of its end) once encoded.
    std::vector<std::size_t> ByteOffsets() const
    {
        const bool utf16 = m_encoding == "UTF-16LE" || m_encoding == "UTF-16BE";
        const bool single = m_encoding == "ISO-8859-1" || m_encoding == "US-ASCII";
        std::vector<std::size_t> at(m_out.size() + 1);
        at[0] = utf16 ? 2 : m_encoding == "UTF-8-BOM" ? 3 : 0;
        for (std::size_t i = 0; i < m_out.size(); ++i) {
            const char32_t c = m_out[i];
            const std::size_t n = single ? 1 : utf16 ? (c >= 0x10000 ? 4 : 2)
                                  : c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
            at[i + 1] = at[i] + n;
        }
        return at;
    }

    // An entry's start and end: one not inside another gets a span.
    bool BeginEntry()
    {
        if (m_entryNesting++ > 0) return false;
        EntrySpan span;
        span.begin = m_out.size();
        span.firstEvent = m_events.size();
        m_spans.push_back(span);
        return true;
    }
    void EntryOpened(bool top)
    {
        if (top) m_entryBase = m_open.size();
    }
    void EndEntry(bool top)
    {
        --m_entryNesting;
        if (!top) return;
        m_spans.back().end = m_out.size();
        m_spans.back().endEvent = m_events.size();
        m_entryBase = kNoEntry;
    }
    bool InEntry() const { return m_entryBase != kNoEntry; }

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
        case 4: return 0xA1 + m_rng.Below(0x5F); // Latin-1, without its no-break space and NEL
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
        const std::size_t start = m_out.size();
        CDataSections(text);
        if (InEntry()) m_spans.back().cdata.emplace_back(start, m_out.size());
    }

    void CDataSections(const Text32& text)
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

    // Text written in its ways (or as CDATA) and reported.
    void Write(const Text32& text, bool cdata = false)
    {
        if (cdata) CData(text);
        else for (std::size_t i = 0; i < text.size(); ++i) TextChar(text, i);
        AddText(text);
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
                const auto& entity = m_rng.Pick(m_entities);
                m_out += U"&" + Widen(entity.first) + U";";
                AddText(entity.second);
                m_usesEntities = true;
            } else if (kind == 2) {
                Comment();
            } else if (kind == 3) {
                Pi();
            } else {
                Write(RandomText(maxLength), kind == 1);
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
        return m_rng.Chance(10) ? kDeclared[m_rng.Below(3)].first.substr(6) + ":" + local : local;
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
            // In Atom an href is read: only the links written for it carry one.
            if (m_atom && name == "href") continue;
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

    // A start tag with random attributes that no rule reads.
    void Open(const std::string& qualified, bool empty = false) { OpenWith(qualified, {}, empty, true); }

    // A start tag with the given attributes (name as written, plain ASCII value), which its
    // event records by local name, and random ones after them when `more`.
    using Attrs = std::vector<std::pair<std::string, std::string>>;
    void OpenWith(const std::string& qualified, const Attrs& attributes, bool empty, bool more = false)
    {
        if (InEntry()) m_spans.back().marks.push_back(m_out.size());
        m_out += U"<" + Widen(qualified);
        Event start{Event::Start, LocalOf(qualified), {}, NsOf(qualified), {}};
        for (const auto& [name, value] : attributes) {
            m_out += U" " + Widen(name) + U"=\"" + Widen(value) + U"\"";
            start.attributes.emplace_back(LocalOf(name), value);
        }
        if (more) Attributes();
        m_events.push_back(start);
        m_out += empty ? U"/>" : U">";
        if (empty) m_events.push_back(Event{Event::End, LocalOf(qualified), {}});
        else m_open.push_back(m_out.size());
    }

    void Close(const std::string& qualified)
    {
        const std::size_t content = m_open.back();
        m_open.pop_back();
        if (InEntry()) m_spans.back().marks.push_back(m_out.size());
        m_out += U"</" + Widen(qualified) + (m_rng.Chance(10) ? U" >" : U">");
        m_events.push_back(Event{Event::End, LocalOf(qualified), {}});
        if (InEntry() && m_open.size() >= m_entryBase) m_spans.back().wraps.emplace_back(content, m_out.size());
    }

    // An element of any kind with random content, down to a depth.
    void Junk(int depth)
    {
        std::string name = m_rng.Chance(70) ? m_rng.Pick(kOtherNames) : m_rng.Pick(kFieldNames);
        if (m_atom && m_rng.Chance(40)) name = m_rng.Pick(kAtomNames);
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
            Write(m_rng.Pick(m_titles));
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
        const bool top = BeginEntry();
        Open(name);
        EntryOpened(top);
        int n = m_rng.Range(0, 8);
        for (int i = 0; i < n; ++i) {
            Blank();
            int kind = m_rng.Below(20);
            if (kind < 13) Field(m_rng.Pick(kFieldNames));
            else if (kind < 16) Junk(2);
            else if (kind == 16) Content(10);
            else if (kind == 17) { if (m_rng.Chance(50)) Comment(); else WebChild(); }
            else if (kind == 18 && m_rng.Chance(30)) Entry(); // an entry inside an entry
            else Field("title");
        }
        Blank();
        Close(name);
        EndEntry(top);
    }

    void ChannelBody(int entries)
    {
        for (const char* field : {"title", "link", "description"})
            if (m_rng.Chance(70)) { Blank(); Field(field); }
        Entries(entries);
        if (m_rng.Chance(20)) { Blank(); Field("title"); }
        Blank();
    }

    int EntryCount() { return m_rng.Chance(5) ? m_rng.Range(20, 60) : m_rng.Range(0, 6); }

    // Entries of the container, with other elements (and in RSS text) between them.
    void Entries(int n)
    {
        for (int i = 0; i < n; ++i) {
            Blank();
            if (m_rng.Chance(10)) Junk(2);
            if (m_rng.Chance(8)) { UntitledEntry(); continue; }
            if (m_atom) { AtomEntry(0); continue; }
            if (m_rng.Chance(5)) Content(10);
            Entry();
        }
    }

    // --- entries as the web writes them ---------------------------------------------
    // The namespace of an element as written: its prefix's, else the document's default.
    std::string NsOf(const std::string& qualified) const
    {
        const std::size_t colon = qualified.find(':');
        if (colon == std::string::npos) return m_defaultNs;
        const std::string prefix = qualified.substr(0, colon);
        if (prefix == "a") return m_atom03 ? kAtom03Ns : kAtomNs;
        for (const auto& [declared, ns] : kDeclared)
            if (declared == "xmlns:" + prefix) return ns;
        return prefix == "rdf" ? kRdfNs : "";
    }

    // An element of text only, under the name given.
    void TextElement(const std::string& qualified, int maxLength = 16)
    {
        Open(qualified);
        Content(maxLength);
        Close(qualified);
    }

    // A title over several lines: words between runs of blanks and line breaks.
    void LinedTitle()
    {
        std::string name = QualifiedName("title");
        Open(name);
        Text32 text;
        for (int words = m_rng.Range(0, 4); words >= 0; --words) {
            for (int n = m_rng.Range(0, 4); n > 0; --n) text += m_rng.Pick(std::vector<char32_t>{U' ', U'\t', U'\n', U'\r'});
            if (words > 0) text += RandomText(6);
        }
        Write(text);
        Close(name);
    }

    // A child of an entry with titles of its own (an image, an author, a media group), or a
    // title, creator or date of another vocabulary beside the entry's own.
    void WebChild()
    {
        const std::uint32_t kind = m_rng.Below(6);
        if (kind >= 4) return LinedTitle();
        if (kind >= 2)
            return TextElement(m_rng.Pick(std::vector<std::string>{"itunes:title", "media:title", "dc:title",
                                                                   "dc:creator", "dc:date", "atom:title"}));
        const std::string group = m_rng.Pick(std::vector<std::string>{"image", "author", "media:group", "source"});
        Open(group);
        for (int n = m_rng.Range(1, 3); n > 0; --n)
            TextElement(m_rng.Pick(std::vector<std::string>{"title", "media:title", "name", "url", "dc:title"}), 12);
        Close(group);
    }

    // Some HTML, as a description holds it: words, tags, comments and references, and now
    // and then more than a heading holds.
    Text32 HtmlText()
    {
        static const std::vector<std::string> bits = {
            "<b>", "</b>", "<br>", "<br/>", "<p>", "</p>", "<a href=\"http://x.example/p\">", "</a>", "<!-- c -->",
            "&amp;", "&amp;amp;", "&#8217;", "&#x1F600;", "&hellip;", "&nbsp;", "&bogus;", "&#0;", "a < b", "<3",
            " ", "\n", "  ", "<IMG SRC='i'>", "<", "&", "&#x110000;", "</DIV >"};
        Text32 text;
        for (int n = m_rng.Chance(10) ? m_rng.Range(30, 60) : m_rng.Range(0, 12); n > 0; --n)
            text += m_rng.Chance(50) ? RandomText(8) : Widen(m_rng.Pick(bits));
        return text;
    }

    // An entry without a title, as microblogs write them: a description of HTML, and a link
    // most of the time (now and then one seen before).
    void UntitledEntry()
    {
        const std::string entry = QualifiedName(m_atom ? "entry" : "item");
        const bool top = BeginEntry();
        Open(entry);
        EntryOpened(top);
        if (m_rng.Chance(70)) {
            if (m_links.empty() || m_rng.Chance(80)) // absolute, or relative to the feed's address
                m_links.push_back(m_rng.Pick(std::vector<std::string>{"http://m.example/", "/m/", "m/", "../m/"}) +
                                  std::to_string(m_links.size()));
            const std::string link = m_rng.Pick(m_links);
            if (m_atom) OpenWith(QualifiedName("link"), {{"href", link}}, true);
            else { Open("link"); Write(Widen(link)); Close("link"); }
        }
        if (m_rng.Chance(90)) {
            const std::string name = QualifiedName(m_atom ? m_rng.Pick(std::vector<std::string>{"summary", "content"}) : "description");
            Open(name);
            Write(HtmlText(), m_rng.Chance(20));
            Close(name);
        }
        Close(entry);
        EndEntry(top);
    }

    // --- Atom -------------------------------------------------------------------------
    void MaybeBase(Attrs& attributes, int percent)
    {
        if (m_rng.Chance(percent)) attributes.emplace_back("xml:base", m_rng.Pick(kAtomBases));
    }

    // A link: href, rel and xml:base present or not, empty or not, in any order.
    void AtomLink()
    {
        Attrs attributes;
        if (m_rng.Chance(90)) attributes.emplace_back("href", m_rng.Pick(kAtomRefs));
        if (m_rng.Chance(50))
            attributes.emplace_back("rel", m_rng.Pick(std::vector<std::string>{
                                               "alternate", "alternate", "self", "enclosure", "related", "",
                                               "Alternate", "alternate "}));
        MaybeBase(attributes, 15);
        if (m_rng.Chance(30)) attributes.emplace_back("type", "text/html");
        if (m_rng.Chance(20)) attributes.emplace_back("x:href", "http://not.the/link");
        for (std::size_t i = attributes.size(); i > 1; --i)
            std::swap(attributes[i - 1], attributes[m_rng.Below(static_cast<std::uint32_t>(i))]);
        std::string name = QualifiedName("link");
        bool empty = m_rng.Chance(70);
        OpenWith(name, attributes, empty);
        if (!empty) {
            Content(10); // text of a link is no field
            Close(name);
        }
    }

    void AtomAuthor()
    {
        std::string name = QualifiedName("author");
        Open(name);
        int n = m_rng.Range(0, 3);
        for (int i = 0; i < n; ++i) {
            Blank();
            int kind = m_rng.Below(6);
            if (kind < 3) Field("name");
            else if (kind == 3) Field(m_rng.Pick(std::vector<std::string>{"email", "uri"}));
            else if (kind == 4) Junk(1);
            else Content(8);
        }
        Close(name);
    }

    void AtomEntry(int nesting)
    {
        std::string name = QualifiedName("entry");
        Attrs attributes;
        MaybeBase(attributes, 25);
        const bool top = BeginEntry();
        OpenWith(name, attributes, false);
        EntryOpened(top);
        int n = m_rng.Range(0, 9);
        for (int i = 0; i < n; ++i) {
            Blank();
            switch (m_rng.Below(24)) {
            case 0: case 1: case 2: Field("title"); break;
            case 3: case 4: Field("summary"); break;
            case 5: case 6: Field("content"); break;
            case 7: Field(m_atom03 && m_rng.Chance(80) ? "modified" : "updated"); break;
            case 8: Field(m_atom03 && m_rng.Chance(80) ? "issued" : "published"); break;
            case 9: case 10: case 11: AtomAuthor(); break;
            case 12: case 13: case 14: AtomLink(); break;
            case 15: Field(m_rng.Pick(std::vector<std::string>{"id", "name", "category", "rights", "email"})); break;
            case 16: case 17: Junk(2); break;
            case 18: Content(10); break;
            case 19: if (m_rng.Chance(50)) Comment(); else WebChild(); break;
            case 20:
                if (nesting == 0 && m_rng.Chance(30)) AtomEntry(1); // an entry inside an entry
                break;
            case 21: { // fields one level too deep
                std::string group = QualifiedName(m_rng.Pick(std::vector<std::string>{"x", "source", "group"}));
                Open(group);
                if (m_rng.Chance(50)) Field(m_rng.Pick(kAtomNames)); else AtomLink();
                Close(group);
                break;
            }
            default: Field("title");
            }
        }
        Blank();
        Close(name);
        EndEntry(top);
    }

    // A feed: in Atom's namespace (as the default one or by a prefix) or in none, with feed
    // level elements that are no entry's, and entries.
    void AtomRoot()
    {
        m_atom = true;
        const int how = m_rng.Below(10);
        std::string root = how == 0 ? "a:feed" : "feed";
        Attrs attributes = kDeclared;
        m_atom03 = m_rng.Chance(20);
        const char* ns = m_atom03 ? kAtom03Ns : kAtomNs;
        if (how == 0) attributes.emplace_back("xmlns:a", ns);
        else if (how > 2) attributes.emplace_back("xmlns", ns);
        m_defaultNs = how > 2 ? ns : "";
        MaybeBase(attributes, 30);
        OpenWith(root, attributes, false);
        for (int i = m_rng.Range(0, 3); i > 0; --i) {
            Blank();
            switch (m_rng.Below(4)) {
            case 0: Field("title"); break;
            case 1: AtomLink(); break;
            case 2: AtomAuthor(); break;
            default: Field("updated");
            }
        }
        Entries(EntryCount());
        Blank();
        Close(root);
    }

    void Root()
    {
        if (m_rng.Chance(30)) {
            AtomRoot();
            return;
        }
        int shape = m_rng.Below(10);
        Attrs decls = kDeclared;
        if (m_rng.Chance(20)) // a site's own, or RSS 1.0's without its slash: fields of the format all the same
            m_defaultNs = m_rng.Pick(std::vector<std::string>{"urn:default", "https://cyber.harvard.edu/rss/rss.html",
                                                                "http://purl.org/rss/1.0"});
        else if (shape == 6 || shape == 7) m_defaultNs = m_rng.Pick(std::vector<std::string>{kRss10Ns, kRss10Ns, kRss09Ns, ""});
        if (!m_defaultNs.empty()) decls.emplace_back("xmlns", m_defaultNs);
        auto openRoot = [&](const std::string& name) {
            if (name == "rdf:RDF") decls.emplace_back("xmlns:rdf", kRdfNs);
            OpenWith(name, decls, false, true);
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
            // A "feed" in a namespace of its own: Atom, its fields in that namespace.
            if (!m_rng.Chance(50)) {
                if (m_defaultNs.empty()) decls.emplace_back("xmlns", "urn:default");
                m_defaultNs = "urn:default";
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
            std::u16string units(1, char16_t(0xFEFF));
            for (char32_t c : m_out) AppendUtf16(units, c);
            const int first = m_encoding == "UTF-16LE" ? 0 : 8; // the shift of the byte written first
            for (char16_t u : units) out += {static_cast<char>(u >> first), static_cast<char>(u >> (8 - first))};
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
    bool m_atom = false;
    bool m_atom03 = false;          // Atom 0.3: its namespace, its names of the dates
    std::string m_defaultNs;        // the namespace of unprefixed names
    std::vector<std::string> m_links; // links of untitled entries, to repeat
    static constexpr std::size_t kNoEntry = ~std::size_t(0);
    std::vector<EntrySpan> m_spans;   // in code points until the document is encoded
    std::vector<std::size_t> m_open;  // where the content of each open element begins
    int m_entryNesting = 0;
    std::size_t m_entryBase = kNoEntry; // open elements inside the spanned entry: beyond this many
};

// --- the model ------------------------------------------------------------------------

// XML's white space and the form feed and vertical tab, in UTF-16 or in UTF-8.
template <typename Unit> bool IsBlank(Unit u) { return u == 0x20 || (u >= 0x09 && u <= 0x0D); }

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
        if (!IsBlank(u)) return true;
    return false;
}

bool FieldMatches(const std::vector<std::u16string>& runs, const std::string& actual,
                  bool description, Delivery delivery, const std::string& prefix = std::string())
{
    const bool wine = delivery == Delivery::RunsUtf8CrAsLf;
    std::size_t at = prefix.size();
    if (actual.compare(0, at, prefix) != 0) return false;
    for (const std::u16string& run : runs) {
        if (!HasText(run)) continue;
        if (description && at > 0 && actual.compare(at++, 1, "\n") != 0) return false;
        // Wine's reader reads the byte before the text that its parser hands over; text that
        // starts outside ASCII comes in a buffer on the stack, and when that byte happens to
        // be a carriage return, the run starts with a line feed (seen after some 80 000
        // inputs, when the process's addresses have grown).
        if (wine && run[0] >= 0x80 && actual.compare(at, 1, "\n") == 0) {
            ++g_strayLineFeeds;
            ++at;
        }
        const std::string text = RunUtf8(run, wine);
        if (actual.compare(at, text.size(), text) != 0) return false;
        at += text.size();
    }
    return at == actual.size();
}

// White space dropped around, runs of it made one space within.
std::string Squeeze(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsBlank(text[i])) continue;
        if (!out.empty() && IsBlank(text[i - 1])) out += ' ';
        out += text[i];
    }
    return out;
}

// The character a reference stands for ("amp", "#38", "#x26"), or 0.
char32_t Referenced(const std::string& ref)
{
    static const std::map<std::string, char32_t> named = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", ' '},
        {"hellip", 0x2026}, {"mdash", 0x2014}, {"ndash", 0x2013}, {"lsquo", 0x2018},
        {"rsquo", 0x2019}, {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"copy", 0xA9}};
    if (ref.size() < 2 || ref[0] != '#') return named.count(ref) ? named.at(ref) : 0;
    const bool hex = ref[1] == 'x' || ref[1] == 'X';
    const std::string digits = ref.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return 0;
    const unsigned long c = std::stoul(digits, nullptr, hex ? 16 : 10);
    return c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? 0 : static_cast<char32_t>(c);
}

// The heading of an untitled entry: its HTML description without tags and comments (the
// tags of lines and blocks part words), references decoded, at most 80 code points with an
// ellipsis as the last where cut.
std::string Heading(const std::string& html)
{
    static const std::string parting = " br p div li tr td h1 h2 h3 h4 h5 h6 blockquote ul ol hr ";
    std::string text;
    for (std::size_t i = 0; i < html.size();) {
        const char next = i + 1 < html.size() ? html[i + 1] : '\0';
        if (html.compare(i, 4, "<!--") == 0) {
            i = std::min(html.find("-->", i + 4), html.size() - 3) + 3;
        } else if (html[i] == '<' && next && (std::isalpha(static_cast<unsigned char>(next)) || std::strchr("/!?", next))) {
            std::size_t n = i + (next == '/' ? 2 : 1), e = n;
            while (e < html.size() && std::isalnum(static_cast<unsigned char>(html[e]))) ++e;
            std::string name = html.substr(n, e - n);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (parting.find(" " + name + " ") != std::string::npos) text += ' ';
            i = std::min(html.find('>', i + 1), html.size() - 1) + 1;
        } else {
            const std::size_t semi = html[i] == '&' ? html.find(';', i) : std::string::npos;
            const char32_t c = semi - i <= 10 ? Referenced(html.substr(i + 1, semi - i - 1)) : 0;
            if (c) { AppendUtf8(text, c); i = semi + 1; }
            else text += html[i++];
        }
    }
    text = Squeeze(text);
    std::vector<std::size_t> starts; // where each code point begins
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    if (starts.size() <= 80) return text;
    std::string head = text.substr(0, starts[79]);
    while (!head.empty() && head.back() == ' ') head.pop_back();
    return head + "\xE2\x80\xA6";
}

// The title the model expects from the runs of an entry's title: one line, or empty.
std::string ModelTitle(const ModelEntry& entry, Delivery delivery)
{
    std::string joined;
    for (const std::u16string& run : entry.runs[kTitle])
        if (HasText(run)) joined += RunUtf8(run, delivery == Delivery::RunsUtf8CrAsLf);
    return Squeeze(joined);
}

// Whether a stored link is the entry's: as written (absolute, or no base resolves it), or an
// RSS link's text resolved against the entry's base.
bool LinkMatches(const ModelEntry& entry, const std::string& actual, Delivery delivery)
{
    if (FieldMatches(entry.runs[kLink], actual, false, delivery, entry.link)) return true;
    if (!entry.link.empty()) return false;
    std::string text;
    for (const std::u16string& run : entry.runs[kLink])
        if (HasText(run)) text += RunUtf8(run, delivery == Delivery::RunsUtf8CrAsLf);
    const std::size_t first = text.find_first_not_of(" \t\n\v\f\r"), last = text.find_last_not_of(" \t\n\v\f\r");
    if (first == std::string::npos) return false;
    const std::string resolved = ModelResolve(entry.base, text.substr(first, last - first + 1));
    return actual == resolved && text.find(resolved) == std::string::npos;
}

// Whether a stored record has the key of an expected entry: its title, else its link, else
// its description.
bool HasKeyOf(const ModelEntry& entry, const StoredRecord& record, Delivery delivery)
{
    const std::string title = ModelTitle(entry, delivery);
    if (!title.empty()) return record.key == title;
    const bool linked = !entry.link.empty() || std::any_of(entry.runs[kLink].begin(), entry.runs[kLink].end(), HasText);
    return linked ? LinkMatches(entry, record.key, delivery)
                  : FieldMatches(entry.runs[kDescription], record.key, true, delivery);
}

bool EntryMatches(const ModelEntry& entry, const StoredRecord& record, Delivery delivery)
{
    for (int f = 0; f < kFieldCount; ++f)
        if (f != kTitle && !(f == kLink ? LinkMatches(entry, record.fields[f], delivery)
                                        : FieldMatches(entry.runs[f], record.fields[f], f == kDescription, delivery)))
            return false;
    const std::string title = ModelTitle(entry, delivery);
    return record.fields[kTitle] == (title.empty() ? Heading(record.fields[kDescription]) : title) &&
           HasKeyOf(entry, record, delivery);
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
                                                   "x", "", "Title", "entry", "summary", "content",
                                                   "updated", "published", "name", "feed"};
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

namespace {

// One address split into the five parts of RFC 3986, appendix B.
struct UrlParts {
    bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
    std::string scheme, authority, path, query, fragment;
};

UrlParts SplitUrl(const std::string& text)
{
    UrlParts u;
    std::size_t i = 0;
    std::size_t stop = text.find_first_of(":/?#");
    bool scheme = stop != std::string::npos && stop > 0 && text[stop] == ':' &&
                  std::isalpha(static_cast<unsigned char>(text[0]));
    for (std::size_t k = 1; scheme && k < stop; ++k) // a letter, then letters, digits, '+', '-' and '.'
        scheme = std::isalnum(static_cast<unsigned char>(text[k])) || std::strchr("+-.", text[k]);
    if (scheme) {
        u.hasScheme = true;
        u.scheme = text.substr(0, stop);
        i = stop + 1;
    }
    if (text.compare(i, 2, "//") == 0) {
        std::size_t e = std::min(text.find_first_of("/?#", i + 2), text.size());
        u.hasAuthority = true;
        u.authority = text.substr(i + 2, e - i - 2);
        i = e;
    }
    std::size_t e = std::min(text.find_first_of("?#", i), text.size());
    u.path = text.substr(i, e - i);
    i = e;
    if (i < text.size() && text[i] == '?') {
        e = std::min(text.find('#', i), text.size());
        u.hasQuery = true;
        u.query = text.substr(i + 1, e - i - 1);
        i = e;
    }
    if (i < text.size()) {
        u.hasFragment = true;
        u.fragment = text.substr(i + 1);
    }
    return u;
}

// RFC 3986, 5.2.4, step by step.
std::string RemoveDots(std::string in)
{
    std::string out;
    auto starts = [&](const char* p) { return in.compare(0, std::strlen(p), p) == 0; };
    while (!in.empty()) {
        if (starts("../")) in.erase(0, 3);
        else if (starts("./")) in.erase(0, 2);
        else if (starts("/./")) in.replace(0, 3, "/");
        else if (in == "/.") in = "/";
        else if (starts("/../") || in == "/..") {
            in.replace(0, in == "/.." ? 3 : 4, "/");
            std::size_t cut = out.rfind('/');
            out.erase(cut == std::string::npos ? 0 : cut);
        } else if (in == "." || in == "..") in.clear();
        else {
            std::size_t next = in.find('/', 1);
            if (next == std::string::npos) next = in.size();
            out += in.substr(0, next);
            in.erase(0, next);
        }
    }
    return out;
}

enum class Format { Rss, Atom, Atom03 };

Format FormatOfRoot(const Event& e)
{
    if (e.name != "feed") return Format::Rss;
    if (e.ns == kAtom03Ns) return Format::Atom03;
    return Format::Atom; // in Atom's namespace, in none or in one of the feed's own
}

// A namespace that counts as the format's in the document being modelled: an rss or feed root's
// own, or an RDF channel's, when not the format's.
thread_local std::string g_documentNs;

// No namespace, or the format's own (RSS: 1.0, 0.9 and the two of 2.0), or the document's.
bool OwnNamespace(Format format, const std::string& ns)
{
    if (ns.empty() || ns == g_documentNs) return true;
    if (format == Format::Atom) return ns == kAtomNs;
    if (format == Format::Atom03) return ns == kAtom03Ns;
    return ns == kRss10Ns || ns == kRss09Ns || ns == "http://backend.userland.com/rss2" ||
           ns == "http://blogs.law.harvard.edu/tech/rss";
}

// An attribute the reader hands over (an empty value it leaves out), or null.
const std::string* AttributeOf(const Event& e, const char* name)
{
    for (const auto& [key, value] : e.attributes)
        if (key == name && !value.empty()) return &value;
    return nullptr;
}

// The base in force inside an element: its xml:base read against the enclosing one.
std::string BaseInside(const Event& e, const std::string& enclosing)
{
    const std::string* base = AttributeOf(e, "base");
    return base ? ModelResolve(enclosing, *base) : enclosing;
}

// The field that a direct child of an entry fills, and whether only when the field's own
// elements left it empty (Dublin Core's beside the plain ones, Atom's content and first
// publication); -1 for none.
int ChildField(Format format, const Event& e, int& aside)
{
    aside = 2; // media:title and itunes:title: a title that no other element gives
    if (e.name == "title" && (e.ns == "http://search.yahoo.com/mrss/" || e.ns == "http://www.itunes.com/dtds/podcast-1.0.dtd"))
        return kTitle;
    aside = e.ns == kDcNs;
    if (aside) return e.name == "creator" ? kAuthor : e.name == "title" ? kTitle : e.name == "date" ? kPublished : -1;
    if (!OwnNamespace(format, e.ns)) return -1;
    if (format == Format::Rss) return FieldOf(e.name);
    const bool v03 = format == Format::Atom03;
    aside = e.name == "content" || e.name == (v03 ? "issued" : "published");
    if (e.name == "title") return kTitle;
    if (e.name == "summary" || e.name == "content") return kDescription;
    if (e.name == (v03 ? "modified" : "updated") || e.name == (v03 ? "issued" : "published")) return kPublished;
    return -1;
}

} // namespace

std::string ModelResolve(const std::string& base, const std::string& reference)
{
    const UrlParts r = SplitUrl(reference), b = SplitUrl(base);
    // An absolute reference stays as written; without a base scheme nothing is resolved.
    if (r.hasScheme || !b.hasScheme) return reference;
    UrlParts t;
    t.hasScheme = true;
    t.scheme = b.scheme;
    if (r.hasAuthority) {
        t.hasAuthority = true;
        t.authority = r.authority;
        t.path = RemoveDots(r.path);
        t.hasQuery = r.hasQuery;
        t.query = r.query;
    } else {
        t.hasAuthority = b.hasAuthority;
        t.authority = b.authority;
        if (r.path.empty()) {
            t.path = b.path;
            t.hasQuery = r.hasQuery || b.hasQuery;
            t.query = r.hasQuery ? r.query : b.query;
        } else {
            if (r.path[0] == '/') {
                t.path = RemoveDots(r.path);
            } else {
                std::string merged = b.hasAuthority && b.path.empty()
                                         ? "/" + r.path
                                         : b.path.substr(0, b.path.rfind('/') + 1) + r.path;
                t.path = RemoveDots(merged);
            }
            t.hasQuery = r.hasQuery;
            t.query = r.query;
        }
    }
    t.hasFragment = r.hasFragment;
    t.fragment = r.fragment;
    std::string out = t.scheme + ":";
    if (t.hasAuthority) out += "//" + t.authority;
    out += t.path;
    if (t.hasQuery) out += "?" + t.query;
    if (t.hasFragment) out += "#" + t.fragment;
    return out;
}

std::vector<ModelEntry> ModelEntries(const std::vector<Event>& events, const std::string& address, bool* container)
{
    // The format follows each document element: Atom for "feed" in Atom's namespace or in
    // none, Atom 0.3 for "feed" in its own, else RSS. RSS: the first "channel" opens the
    // reading, entries are "item". Atom: "feed" opens it, entries are "entry", the link comes
    // from attributes and the author's name is one further down. Fields are the entry's
    // direct children; the first element of each field is the one read.
    Format format = Format::Rss;
    bool containerSeen = false;
    bool entryOpen = false;
    int depth = 0, entryDepth = 0;
    bool inAuthor = false; // Atom: the entry's open direct child is its author
    int field = -1;
    int aside = 0;  // 0: the field's own element; 1 and 2: fills the field only when a lower rank leaves it empty
    g_documentNs.clear();
    std::string rootName;
    bool lastWasText = false; // the previous event added text to the current field
    bool linkTaken = false;
    bool taken[3][kFieldCount] = {};
    std::string feedBase, entryBase;
    ModelEntry entry;
    std::array<std::vector<std::u16string>, kFieldCount> asideRuns[2];
    std::vector<ModelEntry> done;
    for (const Event& e : events) {
        bool addedText = false;
        if (e.type == Event::Start && depth == 0) {
            format = FormatOfRoot(e);
            rootName = e.name;
            if ((e.name == "rss" || e.name == "feed") && !OwnNamespace(format, e.ns)) g_documentNs = e.ns;
        }
        const bool atom = format != Format::Rss;
        if (e.type == Event::Start) {
            const int d = ++depth;
            if (!containerSeen) {
                containerSeen = e.name == (atom ? "feed" : "channel");
                if (containerSeen) feedBase = BaseInside(e, address);
                if (containerSeen && rootName == "RDF" && !OwnNamespace(format, e.ns)) g_documentNs = e.ns;
            } else if (!entryOpen) {
                if (e.name == (atom ? "entry" : "item")) {
                    entryOpen = true;
                    entry = ModelEntry();
                    for (auto& rank : asideRuns)
                        for (auto& runs : rank) runs.clear();
                    for (auto& row : taken) std::fill(std::begin(row), std::end(row), false);
                    entryDepth = d;
                    inAuthor = false;
                    linkTaken = false;
                    entryBase = BaseInside(e, feedBase);
                }
            } else {
                field = -1;
                aside = 0;
                const bool own = OwnNamespace(format, e.ns);
                if (d == entryDepth + 1) {
                    field = ChildField(format, e, aside);
                    inAuthor = atom && own && e.name == "author";
                } else if (d == entryDepth + 2 && inAuthor && own && e.name == "name") {
                    field = kAuthor;
                }
                if (field >= 0 && std::exchange(taken[aside][field], true)) field = -1;
                if (atom && own && d == entryDepth + 1 && e.name == "link" && !linkTaken) {
                    const std::string* href = AttributeOf(e, "href");
                    const std::string* rel = AttributeOf(e, "rel");
                    if (!rel || *rel == "alternate") {
                        // It replaces whatever the field held (text of RSS rules, when a
                        // document element in the middle switched them). No href: the base.
                        entry.link = ModelResolve(BaseInside(e, entryBase), href ? *href : std::string());
                        entry.runs[kLink].clear();
                        linkTaken = true;
                    }
                }
            }
        } else if (e.type == Event::End) {
            const int d = --depth;
            if (containerSeen) {
                if (entryOpen && e.name == (atom ? "entry" : "item")) {
                    // Text of a field's second tag fills it when the first left it empty.
                    for (auto& rank : asideRuns)
                        for (int f = 0; f < kFieldCount; ++f)
                            if (!rank[f].empty() && std::none_of(entry.runs[f].begin(), entry.runs[f].end(), HasText))
                                entry.runs[f] = rank[f];
                    entry.base = entryBase;
                    done.push_back(entry);
                    entryOpen = false;
                } else {
                    field = -1;
                    if (entryOpen && d == entryDepth) inAuthor = false;
                }
            }
        } else if (containerSeen && entryOpen && field >= 0) {
            auto& runs = aside ? asideRuns[aside - 1][field] : entry.runs[field];
            if (lastWasText && !runs.empty()) runs.back() += e.text;
            else runs.push_back(e.text);
            addedText = true;
        }
        lastWasText = addedText;
    }
    if (container) *container = containerSeen;
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
                         const std::vector<StoredRecord>& stored, Delivery delivery, bool prefix)
{
    std::vector<const StoredRecord*> byNum(stored.size(), nullptr);
    for (const StoredRecord& r : stored) {
        if (r.num < 0 || r.num >= static_cast<int>(stored.size()) || byNum[r.num])
            return "record " + Quote(r.key) + " has NUM " + std::to_string(r.num) +
                   " outside 0.." + std::to_string(stored.size() - 1) + " or twice";
        byNum[r.num] = &r;
        const std::string& untitledKey = r.fields[kLink].empty() ? r.fields[kDescription] : r.fields[kLink];
        if (r.key != r.rssId || (r.rssId != r.fields[kTitle] && r.rssId != untitledKey))
            return "record " + Quote(r.key) + ": the key is neither the title nor the link or description";
    }
    std::size_t kept = 0;
    for (std::size_t e = 0; e < expected.size(); ++e) {
        if (kept < byNum.size() && EntryMatches(expected[e], *byNum[kept], delivery)) {
            ++kept;
            continue;
        }
        // Not stored: only right when an earlier record holds its key.
        bool duplicate = false;
        for (std::size_t k = 0; k < kept && !duplicate; ++k)
            duplicate = HasKeyOf(expected[e], *byNum[k], delivery);
        if (!duplicate) {
            std::string what = "entry " + std::to_string(e) + " is neither stored (NUM " +
                               std::to_string(kept) + ") nor a duplicate key";
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
            if (!expected[e].link.empty()) what += "; expected link " + Quote(expected[e].link);
            return what;
        }
    }
    if (kept != stored.size() && !prefix)
        return std::to_string(stored.size()) + " records stored, " + std::to_string(kept) + " expected";
    return std::string();
}

std::string AsciiIn(const std::string& encoding, const std::string& ascii)
{
    if (encoding != "UTF-16LE" && encoding != "UTF-16BE") return ascii;
    std::string out;
    for (char c : ascii) out += encoding == "UTF-16LE" ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
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
        if (e.type == Event::Start) {
            out += "<" + e.name;
            if (!e.ns.empty()) out += " xmlns=" + Quote(e.ns);
            for (const auto& [name, value] : e.attributes) out += " " + name + "=" + Quote(value);
            out += ">";
        }
        else if (e.type == Event::End) out += "</" + e.name + ">";
        else out += Quote(Utf8(e.text));
    }
    return out;
}

} // namespace fuzz
