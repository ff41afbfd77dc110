// A web page's advertised feed: the head scanner, and the downloads that read it (real WinINet).
#include <gtest/gtest.h>

#include <memory>

#include "format/htmlscan.h"
#include "store/rssstore.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/httpserver.h"

using namespace vexa;
using vexatest::HttpServer;
using vexatest::RssDocument;
using vexatest::RssEntry;
using Strings = std::vector<std::string>;

namespace {

std::string Page(const std::string& head, const std::string& body = "<p>text</p>")
{
    return "<!DOCTYPE html>\n<html><head><meta charset=utf-8>" + head + "</head><body>" + body + "</body></html>";
}
const std::string kRss = "type=\"application/rss+xml\"";
const std::string kLink = "<link rel=alternate " + kRss + " href=";

// ASCII text in UTF-16, little- or big-endian, with or without a byte order mark.
std::string Utf16(const std::string& text, bool big, bool bom)
{
    std::string out = bom ? (big ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char c : text) out += big ? std::string{'\0', c} : std::string{c, '\0'};
    return out;
}
// Feeds that a Content-Type of text/html must not hide (their entries are titled by their paths).
const std::string kChannelFeed = "<channel><title>Bare</title><item><title>/channel.xml</title></item></channel>";
const std::string kSubsetFeed = "<?xml version='1.0'?>\n<!DOCTYPE rss [<!ENTITY html '<html>'>]><rss version='2.0'>" +
                                std::string(kChannelFeed).replace(kChannelFeed.find("/channel"), 8, "/subset") + "</rss>";
const std::string kUtf16Feed = Utf16("<?xml version='1.0' encoding='utf-16'?><rss version='2.0'>" +
                                     std::string(kChannelFeed).replace(kChannelFeed.find("/channel"), 8, "/utf16") + "</rss>",
                                     false, true);

// Attribute order, case and quoting, comments, scripts, bases, the body and the bound are also
// the fuzzer's.
TEST(HtmlScan, AdvertisedFeedsInTheHeadInDocumentOrder)
{
    const struct {
        std::string page;
        Strings feeds;
    } cases[] = {
        {Page("<LINK\nHREF='../f.xml?a=1&amp;b=&#x32;&amp' TYPE=' Application/RSS+XML; charset=utf-8' "
              "REL='Feed ALTERNATE'/>" + kLink + "'//cdn.example/f'>"),
         {"http://h/f.xml?a=1&b=2&", "http://cdn.example/f"}},
        {Page("<link rel=stylesheet type=text/css href=s.css><link rel=alternate type=text/html href=x.html>"
              "<link rel=alternates " + kRss + " href=n.xml>" + kLink + "' '>" + kLink + "javascript:f()>" + kLink +
              "file:///C:/x.xml>"), {}},
        {Page(kLink + "f.xml><base href='/o/'><base href=/ignored/><title>" + kLink + "t.xml></title>" + kLink +
              "\"/\xD0\xBC\xD0\xB8\xD1\x80.xml\">"),
         {"http://h/o/f.xml", "http://h/\xD0\xBC\xD0\xB8\xD1\x80.xml"}},
        {"<html><meta name=x content='a<b'><p>" + kLink + "one.xml <br " + kLink + "two.xml>" + kLink + "'/x.xml'>" +
             kLink + "'/open.xml", {"http://h/site/one.xml", "http://h/x.xml"}},
        // The body counts too, after the head; scripts, styles and comments there do not.
        {Page(kLink + "head.xml>", "<script>'" + kLink + "s.xml>'</script><style>" + kLink + "c.xml></style><!--" +
                                       kLink + "m.xml>-->" + kLink + "body.xml>"),
         {"http://h/site/head.xml", "http://h/site/body.xml"}},
        {Page("", std::string(kPageScanLimit - 200, 'x') + kLink + "in.xml>" + std::string(200, 'x') + kLink + "out.xml>"),
         {"http://h/site/in.xml"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindAdvertisedFeeds(c.page.data(), c.page.size(), "http://h/site/index.html"), c.feeds) << c.page;
}

// A body is a web page by its markup only: the download's discovery and the store's
// failed-parse hint ask this one test, whatever the Content-Type said.
TEST(HtmlScan, WebPagesAreToldByTheirFirstElementOrDoctype)
{
    const struct { std::string body; bool page; } cases[] = {
        {"<!DOCTYPE html>\n<title>t</title>", true}, {"\xEF\xBB\xBF \r\n<!-- <rss> --><?php x ?>\n<HTML lang=en>", true},
        {"<!doctype HTML PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" \"x.dtd\"><p>", true}, {"<head><link>", true},
        {"<?xml version='1.0'?><xhtml:html xmlns:xhtml='http://www.w3.org/1999/xhtml'>", true},
        {Utf16("<!DOCTYPE html><html>", false, true), true}, {Utf16("\n<html>", true, false), true},
        {kUtf16Feed, false}, {Utf16("<rss>", true, false), false}, {kSubsetFeed, false}, {kChannelFeed, false},
        {"<!DOCTYPE htmlx><rss>", false}, {"<meta charset=utf-8><p>text", true}, {"<rdf:RDF><channel>", false},
        {"\n<link rel=alternate href=f.xml>", true}, {"<Title>t", true}, {"<base href=/>", true},
        {"<script>x</script>", true}, {"<style>", true}, {"<linked>", false}, {"<item><link>", false},
        {"text <html>", false}, {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsWebPage(c.body.data(), c.body.size()), c.page) << c.body;
}

class Discovery : public vexatest::HttpServerTest {
protected:
    void TearDown() override
    {
        m_store.reset();
        HttpServerTest::TearDown();
    }
    bool Load(const std::string& path) { return m_store->Load(m_server.Url(path)); }
    vexatest::ScopedFetchLimits m_limits{2000, 1500, 2500};
    std::unique_ptr<vexatest::LoadedStore> m_store = std::make_unique<vexatest::LoadedStore>();
};

TEST_F(Discovery, PagesAreReadThroughTheFirstFeedTheyAdvertise)
{
    const std::string html = "text/html";
    m_server.Serve("/s0/", Page(kLink + "feed.xml>"), html);
    m_server.Serve("/s1/", Page("<link type=application/atom+xml href='/s1/a.xml' rel=alternate>" + kLink + "b.xml>"), html);
    m_server.Serve("/s2/", Page(kLink + "\"" + m_server.Url("/s2/f.xml") + "\">"), ""); // no type: by its start
    m_server.Serve("/s3/", Page("<base href=/feeds/s3/>" + kLink + "f.xml>"), html);
    m_server.Serve("/s4/", "<html><meta x='<'><p>" + kLink + "f.xml><title>x", html);
    m_server.Serve("/s6/", "<meta charset=utf-8>\n" + kLink + "f.xml>\n<p>Hi", "application/xml"); // HTML5, no <head>
    m_server.Serve("/old", vexatest::FeedReply("", 0, 301, "Location: /s5/"));
    m_server.Serve("/s5/", Page(kLink + "feed.xml>"), html);
    m_server.Serve("/hop/", Page(kLink + "/s0/>"), html); // a feed that is a page again
    m_server.Serve("/none/", Page("", "<rss><channel><item><title>Not read</title></item></channel></rss>"), html);
    // Feeds sent as HTML are feeds.
    for (const Strings& feed : {Strings{"/html.xml", RssDocument(RssEntry("/html.xml"))}, Strings{"/utf16.xml", kUtf16Feed},
                                Strings{"/subset.xml", kSubsetFeed}, Strings{"/channel.xml", kChannelFeed}})
        m_server.Serve(feed[0], feed[1], html);
    // A large page that advertises its feed in its body.
    m_server.Serve("/big/", Page("", std::string(420 * 1024, 'x') + kLink + "/s0/feed.xml>" + std::string(15 * 1024, 'x')),
                   html);
    HttpServer::Reply reply;
    reply.etag = "\"v1\"";
    for (const char* feed : {"/s0/feed.xml", "/s1/a.xml", "/s2/f.xml", "/feeds/s3/f.xml", "/s4/f.xml", "/s5/feed.xml", "/s6/f.xml"})
    {
        reply.body = RssDocument(RssEntry(feed));
        m_server.Serve(feed, reply);
    }
    const Strings cases[] = {
        {"/s0/", "/s0/feed.xml"}, {"/s1/", "/s1/a.xml"}, {"/s2/", "/s2/f.xml"}, {"/s3/", "/feeds/s3/f.xml"},
        {"/s4/", "/s4/f.xml"}, {"/old", "/s5/", "/s5/feed.xml"}, {"/hop/", "/s0/"}, {"/none/"}, {"/html.xml"},
        {"/utf16.xml"}, {"/subset.xml"}, {"/channel.xml"}, {"/big/", "/s0/feed.xml"}, {"/s6/", "/s6/f.xml"},
    };
    for (const Strings& requests : cases) {
        m_server.ClearRequests();
        const std::string& last = requests.back();
        const bool feed = last.find(".xml") != std::string::npos;
        EXPECT_EQ(Load(requests[0]), feed) << last;
        EXPECT_EQ(m_server.Requests(), requests);
        EXPECT_EQ(m_store->AdvertisedFeed(m_server.Url(requests[0])),
                  requests.size() > 1 ? vexatest::Widen(m_server.Url(last)) : std::wstring());
        EXPECT_EQ(m_store->Find(last) != nullptr, feed) << last;
    }
    const FetchResult none = vexatest::FetchToEnd(m_server.Url("/none/"));
    EXPECT_TRUE(none.pageWithoutFeed && none.advertisedFeed.empty() && none.body.empty());

    // Later loads ask the feed directly, with its validators.
    m_server.ClearRequests();
    EXPECT_TRUE(Load("/s0/"));
    EXPECT_EQ(m_server.Requests(), Strings{"/s0/feed.xml"});
    EXPECT_NE(m_server.RequestHeads().back().find("If-None-Match: \"v1\""), std::string::npos);
}

TEST_F(Discovery, FeedsElsewhereAndTheBoundsOfPages)
{
    HttpServer::Reply reply;
    HttpServer other;
    ASSERT_TRUE(other.Start());
    other.Serve("/f.xml", vexatest::FeedReply(RssDocument(RssEntry("Elsewhere"))));
    m_server.Serve("/p/", Page(kLink + other.Url("/f.xml") + ">"), "text/html");
    EXPECT_TRUE(Load("/p/"));
    EXPECT_EQ(other.Requests(), Strings{"/f.xml"});

    // A page without end is read only as far as it is scanned.
    reply.endless = true;
    reply.body = "<!DOCTYPE html><p>";
    reply.contentType = "text/html";
    m_server.Serve("/endless/", reply);
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(vexatest::FetchToEnd(m_server.Url("/endless/")).pageWithoutFeed);
    EXPECT_LT(GetTickCount64() - start, 1500u);

    // A page in 1 s and a feed in 1.4 s do not fit into a whole-transfer bound of 2 s.
    vexatest::ScopedFetchLimits limits{2000, 1500, 2000};
    HttpServer::Reply slow = vexatest::FeedReply(Page(kLink + "/slow.xml>"), 1000);
    slow.contentType = "text/html";
    m_server.Serve("/slowpage/", slow);
    m_server.Serve("/slow.xml", vexatest::FeedReply(RssDocument(RssEntry("Late")), 1400));
    start = GetTickCount64();
    const FetchResult result = vexatest::FetchToEnd(m_server.Url("/slowpage/"));
    EXPECT_LT(GetTickCount64() - start, 2800u);
    // (Wine's WinINet may end the late answer as a status 0 rather than a time-out.)
    EXPECT_FALSE(result.outcome == FetchResult::Outcome::Answered && result.status == 200);
    EXPECT_EQ(result.advertisedFeed, vexatest::Widen(m_server.Url("/slow.xml")));
}

} // namespace
