// Target "opml": subscription lists from a grammar (nested folders, attribute names in any
// case, values with references, UTF-8 or UTF-16), now and then mutated, through the OPML
// reader; and lists of random values written and read back.
#include <cstdio>

#include "format/opml.h"
#include "format/utf8.h"
#include "tests/fuzz/targets.h"

namespace fuzz {

namespace {

using vexa::OpmlOutline;

// Random UTF-8; unless `carriable`, with characters XML cannot hold and a cut sequence.
std::string RandomValue(Rng& rng, bool carriable)
{
    static const std::vector<char32_t> markup = {'/', ':', '?', '&', '<', '>', '"', '\'', ' ', '\t', '\n', '\r',
                                                 0xE9, 0x43F, 0x4F8B, 0xFFFD, 0x1F600};
    static const std::vector<char32_t> outside = {0x1, 0x8, 0xB, 0x1F, 0xFFFE, 0xFFFF};
    std::string out;
    for (int i = 0, n = rng.Size(30, 300); i < n; ++i)
        vexa::utf::AppendCodePoint(out, !carriable && rng.Chance(5) ? rng.Pick(outside)
                                        : rng.Chance(60) ? char32_t('a' + rng.Below(26)) : rng.Pick(markup));
    return !carriable && rng.Chance(5) ? out + '\xC3' : out;
}

// A value escaped as authors do: entities, decimal or hex references, or the character.
std::string Attribute(Rng& rng, const std::vector<const char*>& names, const std::string& value)
{
    std::string out = std::string(" ") + rng.Pick(names) + "=\"";
    for (std::size_t i = 0; i < value.size();) {
        char32_t c = vexa::utf::DecodeOne(value.data(), value.size(), i);
        char ref[16];
        std::snprintf(ref, sizeof ref, rng.Chance(50) ? "&#%lu;" : "&#x%lX;", static_cast<unsigned long>(c));
        bool must = c == '&' || c == '<' || c == '"' || c == '\t' || c == '\n' || c == '\r';
        if (!must && rng.Chance(90)) vexa::utf::AppendCodePoint(out, c);
        else out += c == '&' && rng.Chance(50) ? "&amp;" : ref;
    }
    return out + "\"";
}

// Feeds, folders and stray elements at one level; the feeds go to `want` in document order.
std::string Outlines(Rng& rng, int depth, std::vector<OpmlOutline>& want)
{
    std::string out;
    for (int i = 0, n = rng.Size(6, 40); i < n; ++i) {
        const int kind = rng.Range(0, 9);
        if (kind < 6) {
            OpmlOutline o{RandomValue(rng, true), RandomValue(rng, true), RandomValue(rng, true), ""};
            out += "<outline" + (rng.Chance(80) ? Attribute(rng, {"text", "TEXT"}, o.text) : (o.text.clear(), ""));
            if (rng.Chance(50)) out += Attribute(rng, {"title"}, o.title); else o.title.clear();
            out += (rng.Chance(50) ? " type=\"rss\"" : "") + Attribute(rng, {"xmlUrl", "xmlurl", "XMLURL", "xmlURL"}, o.xmlUrl);
            out += rng.Chance(80) ? "/>" : "></outline>";
            if (!o.xmlUrl.empty()) want.push_back(o);
        } else
            out += kind < 8 && depth < 6 ? "<outline text=\"folder\">" + Outlines(rng, depth + 1, want) + "</outline>"
                   : rng.Chance(50)     ? "<!-- a comment -->" : "<other xmlUrl=\"http://not.a.feed/\"/>";
    }
    return out;
}

} // namespace

void RunOpml(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    std::vector<OpmlOutline> want;
    std::string document;
    const bool written = rng.Chance(30), mutated = !written && rng.Chance(30);
    if (written) { // what the writer writes reads back, U+FFFD for what XML cannot hold
        std::vector<OpmlOutline> outlines;
        for (int i = 0, n = rng.Size(8, 60); i < n; ++i) {
            outlines.push_back({RandomValue(rng, false), RandomValue(rng, false), RandomValue(rng, false),
                                rng.Chance(30) ? RandomValue(rng, false) : std::string()});
            const OpmlOutline& o = outlines.back();
            if (!vexa::OpmlWritableText(o.xmlUrl).empty())
                want.push_back({vexa::OpmlWritableText(o.text), vexa::OpmlWritableText(o.title),
                                vexa::OpmlWritableText(o.xmlUrl), vexa::OpmlWritableText(o.htmlUrl)});
        }
        document = vexa::WriteOpml(RandomValue(rng, false), "Tue, 08 Dec 2026 13:05:09 GMT", outlines);
    } else {
        document = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"") +
                   (rng.Chance(50) ? "1.0" : "2.0") + "\"><head><title>t</title></head>" +
                   (rng.Chance(10) ? "<body/>" : "<body>" + Outlines(rng, 0, want) + "</body>") + "</opml>";
        if (rng.Chance(30)) {
            std::u16string units = vexa::utf::FromUtf8<char16_t>(document.replace(30, 5, "UTF-16"));
            document = "\xFF\xFE" + std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
        }
        if (mutated) document = Mutate(rng, document, "<outline xmlUrl=\"http://x/\"><body></opml>");
    }
    result.SetBytes(document);
    result.documents.push_back(document);
    const vexa::OpmlReadResult read = vexa::ReadOpml(document.data(), document.size());
    // A mutated document may read as anything, but never crash or list an empty address.
    for (const OpmlOutline& o : read.outlines)
        if (o.xmlUrl.empty()) result.Fail("an outline without an address was listed");
    if (!mutated && (read.outcome != vexa::OpmlRules::Outcome::Read || read.outlines != want))
        result.Fail("read " + std::to_string(read.outlines.size()) + " outlines of " + std::to_string(want.size()) +
                    " " + read.errorMessage);
}

} // namespace fuzz
