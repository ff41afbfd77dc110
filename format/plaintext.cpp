#include "format/plaintext.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "format/utf8.h"

namespace vexa {
namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsAsciiAlpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// Tags after which a browser starts a new line: they part the words on either side.
bool PartsWords(const std::string& html, std::size_t nameAt)
{
    static const char* const kBreaking[] = {"br", "p", "div", "li", "tr", "td", "h1", "h2", "h3",
                                            "h4", "h5", "h6", "blockquote", "ul", "ol", "hr"};
    std::size_t end = nameAt;
    while (end < html.size() && std::isalnum(static_cast<unsigned char>(html[end]))) ++end;
    std::string name = html.substr(nameAt, end - nameAt);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* known : kBreaking)
        if (name == known) return true;
    return false;
}

// Where the markup starting with '<' at `at` ends (one past it), or `at` when that '<' is
// text: a tag starts with a letter, '/', '!' or '?'.
std::size_t MarkupEnd(const std::string& html, std::size_t at, bool& parts)
{
    parts = false;
    const char next = at + 1 < html.size() ? html[at + 1] : '\0';
    if (html.compare(at, 4, "<!--") == 0) {
        const std::size_t close = html.find("-->", at + 4);
        return close == std::string::npos ? html.size() : close + 3;
    }
    if (!IsAsciiAlpha(next) && next != '/' && next != '!' && next != '?')
        return at;
    parts = PartsWords(html, next == '/' ? at + 2 : at + 1);
    const std::size_t close = html.find('>', at + 1);
    return close == std::string::npos ? html.size() : close + 1;
}

// The character that a reference at `at` ('&') stands for, and its length; 0 when none.
char32_t Reference(const std::string& html, std::size_t at, std::size_t& length)
{
    struct Named { const char* name; char32_t c; };
    static const Named kNamed[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", ' '},
        {"hellip", 0x2026}, {"mdash", 0x2014}, {"ndash", 0x2013}, {"lsquo", 0x2018},
        {"rsquo", 0x2019}, {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"copy", 0xA9}};
    const std::size_t semi = html.find(';', at + 1);
    if (semi == std::string::npos || semi - at > 10)
        return 0;
    const std::string body = html.substr(at + 1, semi - at - 1);
    length = semi - at + 1;
    if (body.size() > 1 && body[0] == '#') {
        const bool hex = body[1] == 'x' || body[1] == 'X';
        const std::string digits = body.substr(hex ? 2 : 1);
        if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
            return 0;
        const unsigned long c = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return 0;
        return static_cast<char32_t>(c);
    }
    for (const Named& named : kNamed)
        if (body == named.name) return named.c;
    return 0;
}

// The plain text of `html`: markup out, references decoded.
std::string StripMarkup(const std::string& html)
{
    std::string out;
    for (std::size_t at = 0; at < html.size();) {
        if (html[at] == '<') {
            bool parts = false;
            const std::size_t end = MarkupEnd(html, at, parts);
            if (end != at) {
                if (parts) out += ' ';
                at = end;
                continue;
            }
        } else if (html[at] == '&') {
            std::size_t length = 0;
            if (const char32_t c = Reference(html, at, length)) {
                utf::AppendCodePoint(out, c);
                at += length;
                continue;
            }
        }
        out += html[at++];
    }
    return out;
}

bool StartsCodePoint(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

} // namespace

std::string OneLine(const std::string& text)
{
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (IsBlank(c)) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

std::string PlainHeading(const std::string& html, std::size_t limit)
{
    const std::string line = OneLine(StripMarkup(html));
    std::size_t count = 0, cut = std::string::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (!StartsCodePoint(line[i]))
            continue;
        // Room for the ellipsis: the cut falls before the limit's last character.
        if (count == limit - 1 && cut == std::string::npos) cut = i;
        if (++count > limit) {
            std::string head = line.substr(0, cut);
            while (!head.empty() && head.back() == ' ') head.pop_back();
            return head + "\xE2\x80\xA6";
        }
    }
    return line;
}

} // namespace vexa
