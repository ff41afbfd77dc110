// Fuzz target "html": the page scanner on generated pages whose feeds (head and body) and
// page-ness a model knows, and on mutated ones, whose feeds must still be http or https
// addresses. Plain C++ but for its Wine entry.
#include <algorithm>
#include <string>
#include <vector>

#include "format/htmlscan.h"
#include "tests/fuzz/rng.h"

namespace fuzz {
namespace {

using Strings = std::vector<std::string>;
std::string Cased(Rng& rng, std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z' && rng.Chance(30)) c = static_cast<char>(c - 32);
    return text;
}

std::string Attribute(Rng& rng, const std::string& name, const std::string& value)
{
    const bool bare = !value.empty() && value.find_first_of(" \t>'\"") == std::string::npos && rng.Chance(30);
    const std::string quote = bare ? "" : rng.Chance(50) ? "'" : "\"";
    return Cased(rng, name) + (rng.Chance(20) ? " = " : "=") + quote + value + quote;
}

// A link tag; a bad one has the wrong rel or the wrong type.
std::string Link(Rng& rng, const std::string& href, bool good)
{
    const bool badRel = !good && rng.Chance(50);
    Strings attributes = {
        Attribute(rng, "rel", badRel ? "alternates" : Cased(rng, rng.Pick(Strings{"alternate", "feed alternate"}))),
        Attribute(rng, "type", !good && !badRel ? "text/html"
                                                : Cased(rng, rng.Pick(Strings{"application/rss+xml", "application/atom+xml",
                                                                              "application/rss+xml; charset=x"}))),
        Attribute(rng, "href", href)};
    if (rng.Chance(30)) attributes.push_back(Attribute(rng, "title", "a > b"));
    for (std::size_t i = attributes.size(); i > 1; --i) std::swap(attributes[i - 1], attributes[rng.Below(i)]);
    std::string tag = "<" + Cased(rng, "link");
    for (const std::string& a : attributes) tag += (rng.Chance(20) ? "\n" : " ") + a;
    return tag + (rng.Chance(30) ? " />" : ">"); // "/>" right after a bare value would belong to it
}

constexpr char kUrl[] = "http://h.example/dir/page.html";
struct Page {
    std::string text;
    Strings feeds;
    bool webPage = false; // starts as a web page does
};

Page Generate(Rng& rng)
{
    // A page starts with its doctype, <html>, <head> or (HTML5) one of the head's elements;
    // a body that starts with another element is no page.
    Page page{rng.Pick(Strings{"<p>", "<!DOCTYPE html>\n", "\xEF\xBB\xBF<html>", "<?xml version='1.0'?><!-- x --><HTML>",
                               "<HTML><HEAD lang=en>", "<meta charset=utf-8>\n", " <TITLE>t</title>", "<style>p{}</style>",
                               "<!-- x --><SCRIPT>x</script>"}), {}};
    page.webPage = page.text != "<p>";
    std::string dir = "http://h.example/dir/";
    std::string origin = "http://h.example";
    bool based = false;
    struct Found { int kind; std::string tail; };
    std::vector<Found> found;
    const int items = rng.Range(0, 8);
    for (int i = 0; i < items; ++i) {
        const bool query = rng.Chance(30);
        const std::string tail = "f" + std::to_string(i) + (query ? "?a=1&amp;b=&#50;" : "");
        const int kind = rng.Below(5); // absolute, relative, rooted, javascript:, empty
        const std::string href = kind == 0 ? "http://x.example/" + tail : kind == 1 ? tail : kind == 2 ? "/" + tail
                               : kind == 3 ? "javascript:" + tail : "";
        const int what = rng.Below(7);
        if (what < 3) {
            page.text += Link(rng, href, true);
            found.push_back({kind, "f" + std::to_string(i) + (query ? "?a=1&b=2" : "")});
        } else if (what == 3) {
            page.text += Link(rng, href, false);
        } else if (what == 4) {
            const Strings wrap = rng.Pick(std::vector<Strings>{{"<!--", "-->"}, {"<script>x='", "'</script >"},
                                                               {"<style>", "</style>"}, {"<![CDATA[", "]]>"}, {"<title>", "</TITLE>"}});
            page.text += wrap[0] + Link(rng, href, true) + wrap[1];
        } else if (what == 5 && based) {
            page.text += "<BASE href=/late/>";
        } else if (what == 5) { // the first base counts, for links before it too
            based = true;
            const bool other = rng.Chance(50);
            page.text += other ? "<base href=http://b.example/base/>" : "<base href=/other/>";
            dir = other ? "http://b.example/base/" : origin + "/other/";
            origin = other ? "http://b.example" : origin;
        } else {
            page.text += rng.Pick(Strings{"<meta charset=utf-8>", "a < b", "<p>text", "<!x>", "<?pi?>", "</div>"});
        }
    }
    for (const Found& f : found)
        if (f.kind < 3) page.feeds.push_back((f.kind == 0 ? "http://x.example/" : f.kind == 1 ? dir : origin + "/") + f.tail);
    if (rng.Chance(60)) { // a link in the body counts as well, up to the scanned bound
        page.text += rng.Pick(Strings{"</head>", "<BODY class=x>"});
        const bool far = rng.Chance(20);
        if (far) page.text.resize(vexa::kPageScanLimit - rng.Range(0, 100), ' ');
        const std::string link = Link(rng, "http://x.example/after", true);
        if (page.text.size() + link.size() <= vexa::kPageScanLimit) page.feeds.push_back("http://x.example/after");
        page.text += link;
    }
    return page;
}

} // namespace

// One input: what failed, or empty. `shown` gets the page.
std::string RunHtmlInput(std::uint64_t inputSeed, std::string* shown)
{
    Rng rng(inputSeed);
    Page page = Generate(rng);
    const bool mutated = rng.Chance(30);
    for (int i = mutated ? rng.Range(1, 8) : 0; i > 0 && !page.text.empty(); --i) {
        const std::size_t at = rng.Below(page.text.size());
        switch (rng.Below(4)) {
        case 0: page.text[at] = static_cast<char>(rng.Below(256)); break;
        case 1: page.text.insert(at, 1, "<>\"'&=/ \0"[rng.Below(9)]); break;
        case 2: page.text.erase(at, rng.Range(1, 16)); break;
        default: page.text.resize(at);
        }
    }
    if (rng.Chance(3)) { // past the scanned bound nothing counts
        page.text.insert(0, vexa::kPageScanLimit, ' ');
        page.feeds.clear();
        page.webPage = false;
    }
    if (shown) *shown = page.text;
    const Strings feeds = vexa::FindAdvertisedFeeds(page.text.data(), page.text.size(), kUrl);
    const bool webPage = vexa::IsWebPage(page.text.data(), page.text.size());
    std::string utf16 = "\xFF\xFE"; // the same text in UTF-16 is the same kind of document
    for (std::size_t i = 0; i < std::min<std::size_t>(page.text.size(), 4096); ++i) utf16 += {page.text[i], '\0'};
    const bool ascii = std::none_of(page.text.begin(), page.text.end(), [](char c) { return c & 0x80; });
    if (ascii && page.text.size() <= 4096 && vexa::IsWebPage(utf16.data(), utf16.size()) != webPage) return "UTF-16 differs";
    if (!mutated && webPage != page.webPage) return webPage ? "taken for a web page" : "web page not seen";
    if (vexa::FindAdvertisedFeeds(page.text.data(), page.text.size(), kUrl) != feeds) return "two scans differ";
    std::string got;
    for (const std::string& feed : feeds) {
        std::string scheme = feed.substr(0, 8);
        for (char& c : scheme) c = static_cast<char>(c | 0x20); // letters to lower case; ":/" stay
        if (scheme.compare(0, 7, "http://") != 0 && scheme != "https://") return "not a web address: " + feed;
        got += " " + feed;
    }
    std::string want;
    for (const std::string& feed : page.feeds) want += " " + feed;
    return mutated || want == got ? std::string() : "expected" + want + "; found" + got;
}

} // namespace fuzz

#ifdef _WIN32
#include "tests/fuzz/targets.h"
void fuzz::RunHtml(std::uint64_t inputSeed, Result& result)
{
    std::string shown;
    const std::string failure = RunHtmlInput(inputSeed, &shown);
    result.SetBytes(shown);
    if (!failure.empty()) result.Fail(failure);
}
#endif
