// The page scanner: a tokenizer of tags that knows comments, CDATA, declarations and the
// elements whose content is not markup (script, style, title, textarea), through the head
// and the body alike. Attribute values follow HTML's rules (quoted with ' or ", or unquoted; the
// first of two same-named attributes counts; character references decoded).
#include "format/htmlscan.h"

#include <algorithm>
#include <string_view>

#include "format/urls.h"
#include "format/utf8.h"

namespace vexa {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}

// True when `text` starts at `at` with `word`, in any letter case.
bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view word)
{
    if (text.size() - std::min(at, text.size()) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (Lower(text[at + i]) != word[i]) return false;
    return true;
}

// A character reference's code point as UTF-8; one that no text may hold becomes U+FFFD.
void AppendCodePoint(std::string& out, unsigned long c)
{
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    utf::AppendCodePoint(out, static_cast<char32_t>(c));
}

// The named references that addresses use; others stay as written.
struct NamedReference {
    const char* name;
    unsigned long code;
};
constexpr NamedReference kNamedReferences[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0},
};

// An attribute value with its character references decoded.
std::string DecodeValue(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] != '&') {
            out += raw[i++];
            continue;
        }
        std::size_t at = i + 1;
        if (at < raw.size() && raw[at] == '#') {
            ++at;
            const bool hex = at < raw.size() && (raw[at] == 'x' || raw[at] == 'X');
            if (hex) ++at;
            const std::size_t digits = at;
            unsigned long code = 0;
            for (; at < raw.size(); ++at) {
                const char c = Lower(raw[at]);
                int value = -1;
                if (IsDigit(c)) value = c - '0';
                else if (hex && c >= 'a' && c <= 'f') value = c - 'a' + 10;
                if (value < 0) break;
                code = std::min<unsigned long>(code * (hex ? 16 : 10) + value, 0x110000);
            }
            if (at == digits) { // "&#" without digits stays as written
                out += raw[i++];
                continue;
            }
            if (at < raw.size() && raw[at] == ';') ++at;
            AppendCodePoint(out, code);
            i = at;
            continue;
        }
        bool matched = false;
        for (const NamedReference& ref : kNamedReferences) {
            const std::string_view name(ref.name);
            if (raw.compare(at, name.size(), name) != 0) continue;
            std::size_t end = at + name.size();
            if (end < raw.size() && raw[end] == ';') {
                ++end;
            } else if (end < raw.size() && (IsAlpha(raw[end]) || IsDigit(raw[end]) || raw[end] == '=')) {
                continue; // in a value, "&ampx" or "&amp=" is text
            }
            AppendCodePoint(out, ref.code);
            i = end;
            matched = true;
            break;
        }
        if (!matched) out += raw[i++];
    }
    return out;
}

struct Attribute {
    std::string name; // lower case
    std::string_view value;
};

struct Tag {
    std::string name; // lower case
    std::vector<Attribute> attributes;

    // The first attribute of that name (as HTML keeps it), decoded; `found` says whether
    // there was one.
    std::string Get(std::string_view name, bool* found = nullptr) const
    {
        for (const Attribute& a : attributes) {
            if (a.name == name) {
                if (found) *found = true;
                return DecodeValue(a.value);
            }
        }
        if (found) *found = false;
        return std::string();
    }
};

class Scanner {
public:
    explicit Scanner(std::string_view text) : m_text(text) {}

    // Reads up to the next start tag; false at the end of the text.
    bool Next(Tag& tag)
    {
        while (m_at < m_text.size()) {
            const std::size_t open = m_text.find('<', m_at);
            if (open == std::string_view::npos) break;
            m_at = open + 1;
            if (m_text.compare(open, 4, "<!--") == 0) {
                SkipPast("-->", open + 4);
            } else if (m_text.compare(open, 9, "<![CDATA[") == 0) {
                SkipPast("]]>", open + 9);
            } else if (m_at < m_text.size() && (m_text[m_at] == '!' || m_text[m_at] == '?')) {
                SkipPast(">", m_at);
            } else if (m_at < m_text.size() && m_text[m_at] == '/') {
                ++m_at;
                ReadName();
                SkipPast(">", m_at);
            } else if (m_at < m_text.size() && IsAlpha(m_text[m_at])) {
                tag.name = ReadName();
                tag.attributes.clear();
                if (!ReadAttributes(tag)) return Stop();
                if (tag.name == "script" || tag.name == "style" || tag.name == "title" ||
                    tag.name == "textarea" || tag.name == "xmp" || tag.name == "noembed")
                    SkipContent(tag.name);
                else
                    return true;
            }
            // Anything else ("<" before a space, a digit, ...) is text.
        }
        return Stop();
    }

private:
    bool Stop()
    {
        m_at = m_text.size();
        return false;
    }

    void SkipPast(std::string_view end, std::size_t from)
    {
        const std::size_t found = m_text.find(end, std::min(from, m_text.size()));
        m_at = found == std::string_view::npos ? m_text.size() : found + end.size();
    }

    std::string ReadName()
    {
        const std::size_t start = m_at;
        while (m_at < m_text.size() && !IsSpace(m_text[m_at]) && m_text[m_at] != '/' && m_text[m_at] != '>')
            ++m_at;
        return LowerCopy(m_text.substr(start, m_at - start));
    }

    void SkipSpace()
    {
        while (m_at < m_text.size() && IsSpace(m_text[m_at])) ++m_at;
    }

    // The attributes up to the tag's '>'; false for a tag that the text leaves open (a page
    // cut short), which does not count.
    bool ReadAttributes(Tag& tag)
    {
        for (;;) {
            while (m_at < m_text.size() && (IsSpace(m_text[m_at]) || m_text[m_at] == '/')) ++m_at;
            if (m_at >= m_text.size()) return false;
            if (m_text[m_at] == '>') {
                ++m_at;
                return true;
            }
            // A name runs to a space, '/', '>' or '=' (an '=' first belongs to the name).
            const std::size_t start = m_at++;
            while (m_at < m_text.size() && !IsSpace(m_text[m_at]) && m_text[m_at] != '/' &&
                   m_text[m_at] != '>' && m_text[m_at] != '=')
                ++m_at;
            Attribute attribute;
            attribute.name = LowerCopy(m_text.substr(start, m_at - start));
            SkipSpace();
            if (m_at < m_text.size() && m_text[m_at] == '=') {
                ++m_at;
                SkipSpace();
                if (m_at < m_text.size() && (m_text[m_at] == '"' || m_text[m_at] == '\'')) {
                    const char quote = m_text[m_at++];
                    const std::size_t end = m_text.find(quote, m_at);
                    const std::size_t stop = end == std::string_view::npos ? m_text.size() : end;
                    attribute.value = m_text.substr(m_at, stop - m_at);
                    m_at = end == std::string_view::npos ? m_text.size() : end + 1;
                } else {
                    const std::size_t valueStart = m_at;
                    while (m_at < m_text.size() && !IsSpace(m_text[m_at]) && m_text[m_at] != '>') ++m_at;
                    attribute.value = m_text.substr(valueStart, m_at - valueStart);
                }
            }
            tag.attributes.push_back(std::move(attribute));
        }
    }

    // Past the end tag of an element whose content is text (or to the end of the text).
    void SkipContent(const std::string& name)
    {
        for (;;) {
            const std::size_t close = m_text.find("</", m_at);
            if (close == std::string_view::npos) {
                m_at = m_text.size();
                return;
            }
            m_at = close + 2;
            const std::size_t after = m_at + name.size();
            if (StartsWithNoCase(m_text, m_at, name) &&
                (after >= m_text.size() || IsSpace(m_text[after]) || m_text[after] == '/' || m_text[after] == '>')) {
                SkipPast(">", after);
                return;
            }
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

// True when the space-separated list `rel` holds the token "alternate" (any letter case).
bool HasAlternate(const std::string& rel)
{
    std::size_t at = 0;
    while (at < rel.size()) {
        while (at < rel.size() && IsSpace(rel[at])) ++at;
        const std::size_t start = at;
        while (at < rel.size() && !IsSpace(rel[at])) ++at;
        if (at > start && LowerCopy(std::string_view(rel).substr(start, at - start)) == "alternate")
            return true;
    }
    return false;
}

std::string Trim(const std::string& text)
{
    std::size_t start = 0;
    std::size_t end = text.size();
    while (start < end && IsSpace(text[start])) ++start;
    while (end > start && IsSpace(text[end - 1])) --end;
    return text.substr(start, end - start);
}

bool IsFeedType(const std::string& type)
{
    const std::string media = LowerCopy(Trim(type.substr(0, type.find(';'))));
    return media == "application/rss+xml" || media == "application/atom+xml";
}

// An address as browsers read it from an attribute: no surrounding white space, and no tab or
// line break anywhere in it.
std::string CleanAddress(const std::string& href)
{
    std::string out;
    for (char c : Trim(href))
        if (c != '\t' && c != '\n' && c != '\r') out += c;
    return out;
}

// The start of a body as single-byte text for finding its first element: UTF-16 (with its
// byte order mark or, without one, told by a zero byte beside the first character) is
// narrowed, a unit beyond ASCII becoming '?'; a UTF-8 byte order mark is dropped.
std::string NarrowStart(std::string_view bytes)
{
    const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t at = 0;
    int high = -1; // the index of the high byte in a UTF-16 unit; -1 for single-byte text
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        at = 2, high = 1;
    } else if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        at = 2, high = 0;
    } else if (bytes.size() >= 2 && (byte(0) == 0) != (byte(1) == 0)) {
        high = byte(0) == 0 ? 0 : 1;
    } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        at = 3;
    }
    if (high < 0) return std::string(bytes.substr(at));
    std::string text;
    text.reserve((bytes.size() - at) / 2);
    for (; at + 1 < bytes.size(); at += 2)
        text += byte(at + high) == 0 && byte(at + 1 - high) < 0x80 ? bytes[at + 1 - high] : '?';
    return text;
}

// A doctype that names HTML as its root: "<!DOCTYPE html>" and the older ones with an
// identifier.
bool IsHtmlDoctype(std::string_view doctype)
{
    std::size_t at = 9; // past "<!doctype"
    while (at < doctype.size() && IsSpace(doctype[at])) ++at;
    return at > 9 && StartsWithNoCase(doctype, at, "html") &&
           (at + 4 == doctype.size() || IsSpace(doctype[at + 4]) || doctype[at + 4] == '>');
}

// The end of the markup declaration or processing instruction at `at` (past its '>'); a
// doctype's internal subset in brackets is part of it. npos when the text ends first.
std::size_t DeclarationEnd(std::string_view text, std::size_t at)
{
    std::size_t end = text.find('>', at);
    const std::size_t subset = text.find('[', at);
    if (StartsWithNoCase(text, at, "<!doctype") && subset < end) {
        const std::size_t close = text.find(']', subset);
        end = close == std::string_view::npos ? close : text.find('>', close);
    }
    return end == std::string_view::npos ? end : end + 1;
}

// The name of the first element (lower case) after white space, the XML declaration,
// processing instructions, comments and a doctype; `htmlDoctype` says whether one of those
// was HTML's doctype.
std::string FirstElement(std::string_view text, bool& htmlDoctype)
{
    std::size_t at = 0;
    for (;;) {
        while (at < text.size() && IsSpace(text[at])) ++at;
        if (at >= text.size() || text[at] != '<') return std::string();
        std::size_t end = std::string_view::npos;
        if (text.compare(at, 4, "<!--") == 0) {
            end = text.find("-->", at + 4);
            if (end != std::string_view::npos) end += 3;
        } else if (text.compare(at, 2, "<?") == 0 || text.compare(at, 2, "<!") == 0) {
            end = DeclarationEnd(text, at);
            if (StartsWithNoCase(text, at, "<!doctype") && IsHtmlDoctype(text.substr(at, end - at)))
                htmlDoctype = true;
        } else {
            std::size_t stop = at + 1;
            while (stop < text.size() && !IsSpace(text[stop]) && text[stop] != '>' && text[stop] != '/') ++stop;
            return LowerCopy(text.substr(at + 1, stop - at - 1));
        }
        if (end == std::string_view::npos) return std::string();
        at = end;
    }
}

} // namespace

std::vector<std::string> FindAdvertisedFeeds(const char* data, std::size_t size, const std::string& pageUrl)
{
    std::vector<std::string> hrefs;
    std::string base;
    bool haveBase = false;
    Scanner scanner(std::string_view(data, data ? std::min(size, kPageScanLimit) : 0));
    Tag tag;
    while (scanner.Next(tag)) {
        if (tag.name == "base" && !haveBase) {
            bool found = false;
            const std::string href = CleanAddress(tag.Get("href", &found));
            if (found) {
                // The first <base href> counts, for every address of the document.
                base = ResolveUrl(pageUrl, href);
                haveBase = true;
            }
        } else if (tag.name == "link" && HasAlternate(tag.Get("rel")) && IsFeedType(tag.Get("type"))) {
            const std::string href = CleanAddress(tag.Get("href"));
            if (!href.empty()) hrefs.push_back(href);
        }
    }
    std::vector<std::string> feeds;
    for (const std::string& href : hrefs) {
        std::string address = ResolveUrl(haveBase ? base : pageUrl, href);
        if (IsWebAddress(address)) feeds.push_back(std::move(address));
    }
    return feeds;
}

bool IsWebPage(const char* data, std::size_t size)
{
    const std::string text = NarrowStart(std::string_view(data, data ? std::min(size, kPageScanLimit) : 0));
    bool htmlDoctype = false;
    const std::string first = FirstElement(text, htmlDoctype);
    const std::size_t colon = first.find(':');
    const std::string local = colon == std::string::npos ? first : first.substr(colon + 1);
    // HTML5 lets a page leave out <html> and <head>: it then starts with one of the head's elements.
    static const char* const kPageStarts[] = {"html", "head", "meta", "link", "title", "base", "script", "style"};
    return htmlDoctype || std::find(std::begin(kPageStarts), std::end(kPageStarts), local) != std::end(kPageStarts);
}

} // namespace vexa
