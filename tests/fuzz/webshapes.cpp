// The real web's byte shapes over generated feeds: CR LF and lone CR line ends, documents
// past 64 KB, a bare '&' and HTML named entities, white space before the declaration,
// forbidden controls, bytes not UTF-8 and undeclared prefixes (which the store repairs), and
// feeds in legacy encodings with their declaration. The logical events stay those of the document.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "tests/fuzz/feedgen.h"

namespace fuzz {
namespace {

// Every LF that no CR precedes becomes CR LF, or a lone CR.
std::string LineEnds(const std::string& bytes, bool lone)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) out += lone ? "\r" : "\r\n";
        else out += bytes[i];
    }
    return out;
}

// A comment after the declaration that takes the document past 64 KB, with line ends and
// (in UTF-8) characters beyond U+FFFF, so that the content meets the reader's buffers at new
// places.
std::string PastSixtyFourKilobytes(Rng& rng, const std::string& bytes, bool utf8)
{
    std::size_t at = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (bytes.compare(at, 5, "<?xml") == 0) at = std::min(bytes.find("?>", at), bytes.size() - 2) + 2;
    std::string filler = "<!--";
    for (const std::size_t target = 65536 + rng.Below(8192); filler.size() < target;) {
        const std::uint32_t kind = rng.Below(6);
        filler += kind == 0 ? "\r\n" : kind > 1 ? "words of a comment " : utf8 ? "\xF0\x9F\x98\x80" : "x";
    }
    return bytes.substr(0, at) + filler + "-->" + bytes.substr(at);
}

// Characters of text that are written as HTML entities: UTF-8 and the name.
const std::pair<std::string, const char*> kNamed[] = {
    {"\xC3\xA9", "eacute"}, {"\xC2\xA9", "copy"}, {"\xE2\x80\x94", "mdash"},
    {"\xE2\x80\xA6", "hellip"}, {"\xE2\x82\xAC", "euro"}, {"\xC2\xAB", "laquo"}};
// What passes unchanged: CDATA sections, comments, processing instructions, the DOCTYPE.
const std::pair<std::string, std::string> kVerbatim[] = {
    {"<![CDATA[", "]]>"}, {"<!--", "-->"}, {"<?", "?>"}, {"<!DOCTYPE", "]>"}};

// In character data: "&amp;" becomes a bare '&' where no name follows, and the characters
// above become entities; or (`controls`) controls that XML forbids come in, raw or referenced,
// never inside a CR LF (line ends are made LF before the repair, which would make it two).
std::string BareMarkup(Rng& rng, const std::string& bytes, bool entities, bool controls = false)
{
    auto at = [&bytes](std::size_t i) {
        return [&bytes, i](const auto& pair) { return bytes.compare(i, pair.first.size(), pair.first) == 0; };
    };
    auto startsName = [](unsigned char c) { return std::isalpha(c) || c == '_' || c == ':' || c == '#' || c >= 0x80; };
    std::string out;
    bool inTag = false;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto verbatim = std::find_if(std::begin(kVerbatim), std::end(kVerbatim), at(i));
        const auto named = std::find_if(std::begin(kNamed), std::end(kNamed), at(i));
        inTag = bytes[i] == '<' || (inTag && bytes[i] != '>');
        if (verbatim != std::end(kVerbatim)) {
            const std::string& close = verbatim->second;
            const std::size_t end = std::min(bytes.find(close, i), bytes.size() - close.size()) + close.size();
            out.append(bytes, i, end - i);
            i = end;
            inTag = false;
        } else if (controls) {
            if (!inTag && bytes[i] != '>' && (i == 0 || bytes[i - 1] != '\r') && rng.Chance(2))
                out += rng.Pick(std::vector<std::string>{"\x01", "\x08", "\x0B", "\x1F", "&#31;", "&#x1;", "&#x0B;"});
            out += bytes[i++];
        } else if (!inTag && bytes.compare(i, 5, "&amp;") == 0 && (i + 5 == bytes.size() || !startsName(bytes[i + 5])) &&
                   rng.Chance(70)) {
            out += '&';
            i += 5;
        } else if (!inTag && entities && named != std::end(kNamed) && rng.Chance(70)) {
            out += std::string("&") + named->second + ";";
            i += named->first.size();
        } else {
            out += bytes[i++];
        }
    }
    return out;
}

// Shapes that the store repairs and that leave the events as they were.
// In a UTF-8 document, characters U+00A0 to U+00FF written as the one byte of windows-1252
// (and Latin-1) that the repair reads back. Only between ASCII bytes: beside other bytes it
// could make a valid UTF-8 sequence, which the repair keeps.
std::string LatinBytes(Rng& rng, const std::string& bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        const unsigned char next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        const bool ascii = (out.empty() || static_cast<unsigned char>(out.back()) < 0x80) &&
                           (i + 2 >= bytes.size() || static_cast<unsigned char>(bytes[i + 2]) < 0x80);
        const bool latin = ascii && (lead == 0xC3 || (lead == 0xC2 && next >= 0xA0)) && next >= 0x80 && next <= 0xBF &&
                           rng.Chance(30);
        out += latin ? static_cast<char>(lead == 0xC3 ? next + 0x40 : next) : bytes[i];
        i += latin;
    }
    return out;
}

// After the first entry's end tag that a tag follows: an element and an attribute whose prefix
// no declaration names (foreign ones after the repair, so the entries stay).
std::string UndeclaredPrefix(Rng& rng, const std::string& bytes)
{
    const std::string prefix = rng.Pick(std::vector<std::string>{"snf", "thr", "zq"});
    const std::size_t end = bytes.find(rng.Chance(50) ? "</item>" : "</entry>");
    const std::size_t at = end == std::string::npos ? end : bytes.find('>', end) + 1;
    if (at == std::string::npos || bytes.find(prefix + ":") != std::string::npos || bytes.compare(at, 1, "<") != 0 ||
        std::strchr("!?", bytes[at + 1]))
        return bytes;
    return bytes.substr(0, at) + "<" + prefix + ":logo " + prefix + ":count=\"2\">x</" + prefix + ":logo>" + bytes.substr(at);
}

FeedCase LegacyFeed(Rng& rng)
{
    struct Encoding {
        const char* name;
        std::vector<std::pair<std::string, std::u16string>> words; // bytes, text
    };
    static const std::vector<Encoding> kLegacy = {
        {"gb2312", {{"\xB1\xB1\xBE\xA9", u"\u5317\u4EAC"}, {"\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
                    {"\xD0\xC2\xCE\xC5", u"\u65B0\u95FB"}, {"\xBD\xF1\xC8\xD5", u"\u4ECA\u65E5"}}},
        {"Shift_JIS", {{"\x93\xFA\x96\x7B", u"\u65E5\u672C"}, {"\x83\x6A\x83\x85\x81\x5B\x83\x58", u"\u30CB\u30E5\u30FC\u30B9"},
                       {"\x93\x8C\x8B\x9E", u"\u6771\u4EAC"}}},
        {"KOI8-R", {{"\xEE\xCF\xD7\xCF\xD3\xD4\xC9", u"\u041D\u043E\u0432\u043E\u0441\u0442\u0438"},
                    {"\xED\xCF\xD3\xCB\xD7\xC1", u"\u041C\u043E\u0441\u043A\u0432\u0430"}}},
        {"windows-1251", {{"\xCD\xEE\xE2\xEE\xF1\xF2\xE8", u"\u041D\u043E\u0432\u043E\u0441\u0442\u0438"},
                          {"\xCA\xE8\xBF\xE2", u"\u041A\u0438\u0457\u0432"}}},
    };
    const Encoding& encoding = rng.Pick(kLegacy);
    const std::string eol = rng.Pick(std::vector<std::string>{"\n", "\r\n", "\r"});
    FeedCase doc;
    doc.encoding = encoding.name;
    doc.bytes = std::string("<?xml version=\"1.0\" encoding=\"") + encoding.name + "\"?>" + eol;
    auto tag = [&](const std::string& name, bool end) {
        doc.bytes += (end ? "</" : "<") + name + (name == "rss" && !end ? " version=\"2.0\">" : ">") + eol;
        doc.events.push_back(Event{end ? Event::End : Event::Start, name, u""});
    };
    auto field = [&](const std::string& name) {
        std::pair<std::string, std::u16string> text;
        for (int k = rng.Range(1, 4); k > 0; --k) {
            const auto& word = rng.Pick(encoding.words);
            text.first += word.first + (k > 1 ? " " : "");
            text.second += word.second + (k > 1 ? u" " : u"");
        }
        doc.bytes += "<" + name + ">" + text.first + "</" + name + ">" + eol;
        doc.events.insert(doc.events.end(), {Event{Event::Start, name, u""}, Event{Event::Text, "", text.second},
                                             Event{Event::End, name, u""}});
    };
    tag("rss", false);
    tag("channel", false);
    for (int n = rng.Range(1, 6); n > 0; --n) {
        tag("item", false);
        field("title");
        field("description");
        tag("item", true);
    }
    tag("channel", true);
    tag("rss", true);
    return doc;
}

} // namespace

FeedCase WebFeed(Rng& rng)
{
    if (rng.Chance(5)) return LegacyFeed(rng);
    FeedCase doc = GenerateFeed(rng);
    const bool utf8 = doc.encoding.compare(0, 5, "UTF-8") == 0;
    if (rng.Chance(50) || (!utf8 && doc.encoding != "ISO-8859-1" && doc.encoding != "US-ASCII")) return doc;
    doc.entrySpans.clear(); // the shapes move bytes
    if (rng.Chance(40))
        doc.bytes = BareMarkup(rng, doc.bytes, utf8 && doc.bytes.find("<!DOCTYPE") == std::string::npos);
    if (rng.Chance(60)) doc.bytes = LineEnds(doc.bytes, rng.Chance(30));
    if (rng.Chance(10)) doc.bytes = PastSixtyFourKilobytes(rng, doc.bytes, utf8);
    // The shapes of feeds that the store repairs, one at a time: each alone is known to read back.
    if (doc.bytes.find("<!DOCTYPE") == std::string::npos && rng.Chance(40)) {
        switch (rng.Below(4)) {
        case 0: // white space before the declaration (after a byte order mark)
            if (doc.bytes.find("<?xml") <= 3)
                doc.bytes.insert(doc.bytes.find("<?xml"), rng.Pick(std::vector<std::string>{" ", "\n\n  ", "\t \n"}));
            break;
        case 1: doc.bytes = BareMarkup(rng, doc.bytes, false, true); break;
        case 2: if (utf8) doc.bytes = LatinBytes(rng, doc.bytes); break;
        default: doc.bytes = UndeclaredPrefix(rng, doc.bytes); break;
        }
    }
    return doc;
}

} // namespace fuzz
