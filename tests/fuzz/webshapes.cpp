// The real web's byte shapes over generated feeds: CR LF and lone CR line ends, documents
// past 64 KB, a bare '&' and HTML named entities (which the store repairs), and feeds in
// legacy encodings with their declaration. The logical events stay those of the document.
#include <cstring>

#include "tests/fuzz/feedgen.h"

namespace fuzz {
namespace {

bool IsByteEncoding(const std::string& encoding) { return encoding.compare(0, 5, "UTF-8") == 0 || encoding == "ISO-8859-1" || encoding == "US-ASCII"; }
bool IsUtf8(const std::string& encoding) { return encoding.compare(0, 5, "UTF-8") == 0; }

// Every LF that no CR precedes becomes CR LF, or a lone CR.
std::string LineEnds(const std::string& bytes, bool lone)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
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
    if (bytes.compare(at, 5, "<?xml") == 0) {
        const std::size_t end = bytes.find("?>", at);
        if (end == std::string::npos) return bytes;
        at = end + 2;
    }
    std::string filler = "<!--";
    const std::size_t target = 65536 + rng.Below(8192);
    while (filler.size() < target) {
        switch (rng.Below(6)) {
        case 0: filler += "\r\n"; break;
        case 1: filler += utf8 ? "\xF0\x9F\x98\x80" : "x"; break;
        default: filler += "words of a comment "; break;
        }
    }
    return bytes.substr(0, at) + filler + "-->" + bytes.substr(at);
}

bool StartsName(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c == '#' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// Characters of text that are written as HTML entities: UTF-8 and the name.
struct Named {
    const char* utf8;
    const char* name;
};
const Named kNamed[] = {{"\xC3\xA9", "eacute"}, {"\xC2\xA9", "copy"}, {"\xE2\x80\x94", "mdash"},
                        {"\xE2\x80\xA6", "hellip"}, {"\xE2\x82\xAC", "euro"}, {"\xC2\xAB", "laquo"}};

// In character data outside CDATA sections, comments and processing instructions: "&amp;"
// becomes a bare '&' where no name follows, and the characters above become entities.
std::string BareMarkup(Rng& rng, const std::string& bytes, bool entities)
{
    std::string out;
    bool inTag = false;
    for (std::size_t i = 0; i < bytes.size();) {
        bool skipped = false;
        for (const char* open : {"<![CDATA[", "<!--", "<?", "<!DOCTYPE"}) {
            if (bytes.compare(i, std::strlen(open), open) != 0) continue;
            const char* close = open[1] == '?' ? "?>" : open[2] == '[' ? "]]>" : open[2] == '-' ? "-->" : "]>";
            std::size_t end = bytes.find(close, i);
            end = end == std::string::npos ? bytes.size() : end + std::strlen(close);
            out.append(bytes, i, end - i);
            i = end;
            skipped = true;
            break;
        }
        if (skipped) continue;
        const char c = bytes[i];
        if (c == '<') inTag = true;
        if (c == '>') inTag = false;
        if (!inTag && bytes.compare(i, 5, "&amp;") == 0 && (i + 5 >= bytes.size() || !StartsName(bytes[i + 5])) &&
            rng.Chance(70)) {
            out += '&';
            i += 5;
            continue;
        }
        bool named = false;
        for (const Named& n : kNamed) {
            const std::size_t length = std::strlen(n.utf8);
            if (entities && !inTag && bytes.compare(i, length, n.utf8) == 0 && rng.Chance(70)) {
                out += std::string("&") + n.name + ";";
                i += length;
                named = true;
                break;
            }
        }
        if (!named) out += bytes[i++];
    }
    return out;
}

} // namespace

void WebShape(Rng& rng, FeedCase& doc)
{
    if (!IsByteEncoding(doc.encoding)) return;
    const bool utf8 = IsUtf8(doc.encoding);
    if (rng.Chance(40))
        doc.bytes = BareMarkup(rng, doc.bytes, utf8 && doc.bytes.find("<!DOCTYPE") == std::string::npos);
    if (rng.Chance(60)) doc.bytes = LineEnds(doc.bytes, rng.Chance(30));
    if (rng.Chance(10)) doc.bytes = PastSixtyFourKilobytes(rng, doc.bytes, utf8);
}

FeedCase LegacyFeed(Rng& rng)
{
    struct Word {
        const char* bytes;
        const char16_t* text;
    };
    struct Encoding {
        const char* name;
        std::vector<Word> words;
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
    doc.bytes = std::string("<?xml version=\"1.0\" encoding=\"") + encoding.name + "\"?>" + eol + "<rss version=\"2.0\"><channel>" + eol;
    doc.events.push_back(Event{Event::Start, "rss", u""});
    doc.events.push_back(Event{Event::Start, "channel", u""});
    auto field = [&](const char* name) {
        std::string bytes;
        std::u16string text;
        const int count = rng.Range(1, 4);
        for (int k = 0; k < count; ++k) {
            const Word& word = rng.Pick(encoding.words);
            bytes += word.bytes + std::string(k + 1 < count ? " " : "");
            text += word.text + std::u16string(k + 1 < count ? u" " : u"");
        }
        doc.bytes += std::string("<") + name + ">" + bytes + "</" + name + ">" + eol;
        doc.events.push_back(Event{Event::Start, name, u""});
        doc.events.push_back(Event{Event::Text, "", text});
        doc.events.push_back(Event{Event::End, name, u""});
    };
    for (int n = rng.Range(1, 6), i = 0; i < n; ++i) {
        doc.bytes += "<item>" + eol;
        doc.events.push_back(Event{Event::Start, "item", u""});
        field("title");
        field("description");
        doc.bytes += "</item>" + eol;
        doc.events.push_back(Event{Event::End, "item", u""});
    }
    doc.bytes += "</channel></rss>" + eol;
    doc.events.push_back(Event{Event::End, "channel", u""});
    doc.events.push_back(Event{Event::End, "rss", u""});
    return doc;
}

} // namespace fuzz
