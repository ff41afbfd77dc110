// Target "opml": subscription lists from a grammar (nested folders, attribute names in any
// case, values with references, UTF-8 or UTF-16), now and then mutated, through the OPML
// reader; and lists of random values through the writer and read back.
#include <windows.h>

#include <cstdio>

#include "feeds/opml.h"
#include "feeds/utf8.h"
#include "tests/fuzz/targets.h"

namespace fuzz {

namespace {

using vexa::OpmlOutline;

// Random text as UTF-8. `carriable` keeps to what an XML document can hold.
std::string RandomValue(Rng& rng, bool carriable)
{
    static const std::vector<char32_t> markup = {'/', ':', '?', '=', '&', '<', '>', '"', '\'', ' ', '\t', '\n',
                                                 '\r', 0xE9, 0x43F, 0x4F8B, 0xFFFD, 0x1F600};
    static const std::vector<char32_t> outside = {0x1, 0x8, 0xB, 0x1F, 0xFFFE, 0xFFFF};
    std::string out;
    for (int i = 0, n = rng.Size(30, 300); i < n; ++i) {
        char32_t c = rng.Chance(60) ? char32_t('a' + rng.Below(26)) : rng.Pick(markup);
        if (!carriable && rng.Chance(5)) c = rng.Pick(outside);
        vexa::utf::AppendCodePoint(out, c);
    }
    if (!carriable && rng.Chance(5)) out += '\xC3'; // a cut sequence
    return out;
}

// A value as a document's author might escape it: entities, decimal or hex references, or
// the character itself where that is allowed.
std::string Escaped(Rng& rng, const std::string& value)
{
    std::string out;
    std::size_t i = 0;
    while (i < value.size()) {
        char32_t c = vexa::utf::DecodeOne(value.data(), value.size(), i);
        bool must = c == '&' || c == '<' || c == '"' || c == '\t' || c == '\n' || c == '\r';
        if (!must && rng.Chance(90)) {
            vexa::utf::AppendCodePoint(out, c);
        } else if (c == '&' && rng.Chance(50)) {
            out += "&amp;";
        } else {
            char ref[16];
            std::snprintf(ref, sizeof ref, rng.Chance(50) ? "&#%lu;" : "&#x%lX;", static_cast<unsigned long>(c));
            out += ref;
        }
    }
    return out;
}

std::string Attribute(Rng& rng, const std::vector<const char*>& spellings, const std::string& value)
{
    return std::string(" ") + rng.Pick(spellings) + "=\"" + Escaped(rng, value) + "\"";
}

// Outlines at one level: feeds, folders (recursively), stray elements. Fills `expected`
// with the feeds in document order.
std::string Outlines(Rng& rng, int depth, std::vector<OpmlOutline>& expected)
{
    static const std::vector<const char*> xmlUrl = {"xmlUrl", "xmlUrl", "xmlurl", "XMLURL", "xmlURL"};
    std::string out;
    for (int i = 0, n = rng.Size(6, 40); i < n; ++i) {
        const int kind = rng.Range(0, 9);
        if (kind < 6) {
            OpmlOutline o{RandomValue(rng, true), RandomValue(rng, true), RandomValue(rng, true), ""};
            out += "<outline";
            if (rng.Chance(80)) out += Attribute(rng, {"text", "TEXT"}, o.text); else o.text.clear();
            if (rng.Chance(50)) out += Attribute(rng, {"title"}, o.title); else o.title.clear();
            if (rng.Chance(50)) out += " type=\"rss\"";
            out += Attribute(rng, xmlUrl, o.xmlUrl);
            out += rng.Chance(80) ? "/>" : "></outline>";
            if (!o.xmlUrl.empty()) expected.push_back(o);
        } else if (kind < 8 && depth < 6) {
            out += "<outline text=\"folder\">";
            out += Outlines(rng, depth + 1, expected);
            out += "</outline>";
        } else {
            out += rng.Chance(50) ? "<!-- a comment -->" : "<other xmlUrl=\"http://not.a.feed/\"/>";
        }
    }
    return out;
}

std::string Utf16(const std::string& utf8)
{
    std::u16string units = vexa::utf::FromUtf8<char16_t>(utf8);
    return std::string("\xFF\xFE") + std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

std::string Compare(const std::vector<OpmlOutline>& want, const vexa::OpmlReadResult& got)
{
    if (got.outcome != vexa::OpmlRules::Outcome::Read)
        return "not read: " + got.errorMessage;
    if (got.outlines.size() != want.size())
        return "read " + std::to_string(got.outlines.size()) + " outlines, expected " + std::to_string(want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const OpmlOutline &a = want[i], &b = got.outlines[i];
        if (a.xmlUrl != b.xmlUrl || a.text != b.text || a.title != b.title || a.htmlUrl != b.htmlUrl)
            return "outline " + std::to_string(i) + " reads back as xmlUrl=" + b.xmlUrl + " text=" + b.text +
                   ", expected xmlUrl=" + a.xmlUrl + " text=" + a.text;
    }
    return std::string();
}

} // namespace

void RunOpml(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    if (rng.Chance(30)) {
        // The writer: what it writes reads back, with what XML cannot carry as U+FFFD.
        std::vector<OpmlOutline> outlines, want;
        for (int i = 0, n = rng.Size(8, 60); i < n; ++i) {
            OpmlOutline o{RandomValue(rng, false), RandomValue(rng, false), RandomValue(rng, false),
                          rng.Chance(30) ? RandomValue(rng, false) : std::string()};
            outlines.push_back(o);
            OpmlOutline kept{vexa::OpmlWritableText(o.text), vexa::OpmlWritableText(o.title),
                             vexa::OpmlWritableText(o.xmlUrl), vexa::OpmlWritableText(o.htmlUrl)};
            if (!kept.xmlUrl.empty()) want.push_back(kept);
        }
        const std::string bytes = vexa::WriteOpml(RandomValue(rng, false), "Tue, 08 Dec 2026 13:05:09 GMT", outlines);
        result.SetBytes(bytes);
        result.documents.push_back(bytes);
        std::string failure = Compare(want, vexa::ReadOpml(bytes.data(), bytes.size()));
        if (!failure.empty()) result.Fail("written list: " + failure);
        return;
    }
    std::vector<OpmlOutline> want;
    std::string document = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"") +
                           (rng.Chance(50) ? "1.0" : "2.0") + "\"><head><title>" +
                           Escaped(rng, RandomValue(rng, true)) + "</title></head>";
    document += rng.Chance(10) ? "<body/>" : "<body>" + Outlines(rng, 0, want) + "</body>";
    document += "</opml>";
    if (rng.Chance(30)) document = Utf16(document.replace(30, 5, "UTF-16"));
    const bool mutated = rng.Chance(30);
    if (mutated) document = Mutate(rng, document, "<outline xmlUrl=\"http://x/\"><body></opml>");
    result.SetBytes(document);
    result.documents.push_back(document);
    const vexa::OpmlReadResult read = vexa::ReadOpml(document.data(), document.size());
    if (!mutated) {
        std::string failure = Compare(want, read);
        if (!failure.empty()) result.Fail(failure);
        return;
    }
    // A mutated document: anything but a crash, and never an empty address.
    for (const OpmlOutline& o : read.outlines)
        if (o.xmlUrl.empty()) result.Fail("an outline without an address was listed");
}

} // namespace fuzz
