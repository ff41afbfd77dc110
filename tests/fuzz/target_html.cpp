// Fuzz target "html": the head scanner gets generated pages whose advertised feeds a model
// knows (links in any attribute order, case and quoting, among comments, scripts, styles,
// CDATA, bases and noise, cut at the scanned bound), and mutated pages, for which only its
// promises are checked (only absolute http/https addresses, never more than the page's links,
// the same answer twice). Plain C++ apart from its entry in the Windows fuzzer, so the native
// sanitizer build runs it too.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "feeds/htmlscan.h"
#include "tests/fuzz/rng.h"

namespace fuzz {

namespace {

struct PageUrl {
    const char* url;
    const char* origin; // scheme and authority
    const char* dir;    // the directory that relative paths start from
};
constexpr PageUrl kPages[] = {
    {"http://h.example/dir/page.html", "http://h.example", "http://h.example/dir/"},
    {"https://h.example/", "https://h.example", "https://h.example/"},
    {"http://h.example:8080/a/b/?q=1", "http://h.example:8080", "http://h.example:8080/a/b/"},
};

std::string Cased(Rng& rng, std::string text)
{
    for (char& c : text)
        if (rng.Chance(30) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string Quoted(Rng& rng, const std::string& name, const std::string& value)
{
    const int how = value.empty() || value.find_first_of(" \t\n>'\"") != std::string::npos ? rng.Range(0, 1)
                                                                                            : rng.Range(0, 2);
    const char* space = rng.Chance(20) ? " = " : "=";
    if (how == 0) return name + space + "\"" + value + "\"";
    if (how == 1 && value.find('\'') == std::string::npos) return name + space + "'" + value + "'";
    if (how == 1) return name + space + "\"" + value + "\"";
    return name + space + value;
}

// Where a page's addresses resolve: the first base's directory and origin.
struct Base {
    std::string origin;
    std::string dir;
};

// One href as written, and the address it names relative to a base (empty: none counts).
struct Href {
    std::string written;
    std::string (*resolve)(const Base&, const PageUrl&, const std::string& tail);
    std::string tail;
};

// A link tag; a bad one has the wrong rel or the wrong type.
std::string MakeLink(Rng& rng, const std::string& href, bool good)
{
    const bool badRel = !good && rng.Chance(50);
    const bool badType = !good && !badRel;
    const std::vector<std::string> rels = {"alternate", "feed alternate", "alternate\tnofollow"};
    const std::vector<std::string> types = {"application/rss+xml", "application/atom+xml",
                                            " application/rss+xml; charset=utf-8"};
    std::vector<std::string> attributes = {
        Quoted(rng, Cased(rng, "rel"), badRel ? "alternates" : Cased(rng, rng.Pick(rels))),
        Quoted(rng, Cased(rng, "type"), badType ? "text/html" : Cased(rng, rng.Pick(types))),
        Quoted(rng, Cased(rng, "href"), href),
    };
    if (rng.Chance(30)) attributes.push_back(Quoted(rng, "title", "a > b & c"));
    for (std::size_t i = attributes.size(); i > 1; --i)
        std::swap(attributes[i - 1], attributes[rng.Below(static_cast<std::uint32_t>(i))]);
    std::string tag = "<" + Cased(rng, "link");
    for (const std::string& a : attributes) tag += (rng.Chance(20) ? "\n" : " ") + a;
    return tag + (rng.Chance(30) ? " />" : ">"); // "/>" right after an unquoted value would be part of it
}

struct Built {
    std::string page;
    const PageUrl* url;
    std::vector<std::string> feeds;
};

Built Generate(Rng& rng)
{
    Built built;
    built.url = &kPages[rng.Below(3)];
    built.page = rng.Pick(std::vector<std::string>{"", "<!DOCTYPE html>\n", "\xEF\xBB\xBF<html>", "<html><head>",
                                                   "<HTML><HEAD lang=en>"});
    struct Live {
        Href href;
        std::string query;
    };
    std::vector<Live> live;
    Base base{built.url->origin, built.url->dir};
    bool haveBase = false;
    auto absolute = [](const Base&, const PageUrl&, const std::string& t) { return t; };
    auto relative = [](const Base& b, const PageUrl&, const std::string& t) { return b.dir + t; };
    auto rooted = [](const Base& b, const PageUrl&, const std::string& t) { return b.origin + t; };
    auto none = [](const Base&, const PageUrl&, const std::string&) { return std::string(); };
    const int items = rng.Range(0, 8);
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(i);
        const Href hrefs[] = {
            {"http://x.example/f" + n + ".xml", absolute, "http://x.example/f" + n + ".xml"},
            {"rel/f" + n + ".xml", relative, "rel/f" + n + ".xml"},
            {"/abs/f" + n, rooted, "/abs/f" + n},
            {"javascript:f" + n + "()", none, ""},
            {"file:///f" + n, none, ""},
            {"", none, ""},
        };
        const Href& href = hrefs[rng.Below(6)];
        const bool query = !href.written.empty() && rng.Chance(30);
        const std::string written = href.written + (query ? "?a=1&amp;b=&#50;" : "");
        switch (rng.Below(8)) {
        case 0: case 1: case 2:
            built.page += MakeLink(rng, written, true);
            live.push_back(Live{href, query ? "?a=1&b=2" : ""});
            break;
        case 3:
            built.page += (rng.Chance(50) ? "<p>" : "") + MakeLink(rng, written, false);
            break;
        case 4: {
            const std::string link = MakeLink(rng, written, true);
            const std::string wrap[][2] = {{"<!--", "-->"}, {"<script>x='", "'</script >"}, {"<style>", "</style>"},
                                           {"<![CDATA[", "]]>"}, {"<title>", "</TITLE>"}};
            const auto& w = wrap[rng.Below(5)];
            built.page += w[0] + link + w[1];
            break;
        }
        case 5:
            if (!haveBase) {
                haveBase = true;
                if (rng.Chance(50)) base = Base{"http://b.example", "http://b.example/base/"};
                else base = Base{built.url->origin, std::string(built.url->origin) + "/other/"};
                built.page += "<base href=\"" + (base.origin == "http://b.example" ? base.dir : "/other/") + "\">";
            } else {
                built.page += "<BASE href=/ignored/>";
            }
            break;
        default:
            built.page += rng.Pick(std::vector<std::string>{"<meta charset=utf-8>", "a < b", "<p>text", "<!x>",
                                                            "<?pi?>", "</div>", "\n"});
        }
    }
    for (const Live& l : live) {
        const std::string address = l.href.resolve(base, *built.url, l.href.tail);
        if (!address.empty()) built.feeds.push_back(address + l.query);
    }
    if (rng.Chance(60)) built.page += rng.Pick(std::vector<std::string>{"</head>", "<body>", "</HEAD >", "<BODY class=x>"}) +
                                      MakeLink(rng, "http://x.example/after.xml", true);
    return built;
}

void Mutate(Rng& rng, std::string& page)
{
    const int edits = rng.Range(1, 8);
    for (int i = 0; i < edits && !page.empty(); ++i) {
        const std::size_t at = rng.Below(static_cast<std::uint32_t>(page.size()));
        switch (rng.Below(4)) {
        case 0: page[at] = static_cast<char>(rng.Below(256)); break;
        case 1: page.insert(at, 1, "<>\"'&=/ \0"[rng.Below(9)]); break;
        case 2: page.erase(at, rng.Range(1, 16)); break;
        default: page.resize(at);
        }
    }
}

std::size_t LinkTags(const std::string& page)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i + 5 <= page.size(); ++i)
        if (page[i] == '<' && (page[i + 1] | 0x20) == 'l' && (page[i + 2] | 0x20) == 'i' &&
            (page[i + 3] | 0x20) == 'n' && (page[i + 4] | 0x20) == 'k')
            ++count;
    return count;
}

} // namespace

// One input: the failure, or empty when the scanner kept its promises. `shown` gets the page.
std::string RunHtmlInput(std::uint64_t inputSeed, std::string* shown)
{
    Rng rng(inputSeed);
    Built built = Generate(rng);
    const bool mutated = rng.Chance(30);
    if (mutated) Mutate(rng, built.page);
    if (rng.Chance(3)) { // past the bound nothing counts
        built.page.insert(0, vexa::kPageScanLimit, ' ');
        built.feeds.clear();
    }
    if (shown) *shown = std::string(built.url->url) + "\n" + built.page;
    const auto feeds = vexa::FindAdvertisedFeeds(built.page.data(), built.page.size(), built.url->url);
    vexa::IsWebPage("", built.page.data(), built.page.size());
    if (vexa::FindAdvertisedFeeds(built.page.data(), built.page.size(), built.url->url) != feeds)
        return "two scans of the same page differ";
    if (feeds.size() > LinkTags(built.page)) return "more feeds than link tags";
    for (const std::string& feed : feeds) {
        const std::string scheme = feed.substr(0, feed.find(':'));
        std::string lower = scheme;
        for (char& c : lower) c = static_cast<char>(c | 0x20);
        if ((lower != "http" && lower != "https") || feed.compare(scheme.size(), 3, "://") != 0)
            return "not an absolute web address: " + feed;
    }
    if (!mutated && feeds != built.feeds) {
        std::string want;
        for (const std::string& f : built.feeds) want += " " + f;
        std::string got;
        for (const std::string& f : feeds) got += " " + f;
        return "expected" + want + "; found" + got;
    }
    return std::string();
}

} // namespace fuzz

#ifdef _WIN32
#include "tests/fuzz/targets.h"

namespace fuzz {

void RunHtml(std::uint64_t inputSeed, Result& result)
{
    std::string shown;
    const std::string failure = RunHtmlInput(inputSeed, &shown);
    result.SetBytes(shown);
    if (!failure.empty()) result.Fail(failure);
}

} // namespace fuzz
#endif
