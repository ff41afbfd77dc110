// A web page's advertised feed: the head scanner as a table of pages, and the downloads that
// read the feed in the page's place, with real WinINet against the loopback server.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "feeds/htmlscan.h"
#include "feeds/rssstore.h"
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

// Attribute order, case and quoting, comments, scripts and bases are also the fuzzer's.
TEST(HtmlScan, AdvertisedFeedsInTheHeadInDocumentOrder)
{
    const std::string link = "<link rel=alternate " + kRss + " href=";
    struct Case {
        std::string page;
        Strings feeds;
    } cases[] = {
        {Page("<LINK\nHREF='../f.xml?a=1&amp;b=&#x32;&amp' TYPE=' Application/RSS+XML; charset=utf-8' "
              "REL='Feed ALTERNATE'/>" + link + "'//cdn.example/f'>"),
         {"http://h/f.xml?a=1&b=2&", "http://cdn.example/f"}},
        {Page("<link rel=stylesheet type=text/css href=s.css><link rel=alternate type=text/html href=x.html>"
              "<link rel=alternates " + kRss + " href=n.xml>" + link + "' '>" + link + "javascript:f()>" + link +
              "file:///C:/x.xml>"), {}},
        {Page(link + "f.xml><base href='/o/'><base href=/ignored/><title>" + link + "t.xml></title>" + link +
              "\"/\xD0\xBC\xD0\xB8\xD1\x80.xml\">"),
         {"http://h/o/f.xml", "http://h/\xD0\xBC\xD0\xB8\xD1\x80.xml"}},
        {Page("", link + "b.xml>") + link + "after.xml>", {}},
        {"<html><meta name=x content='a<b'><p>" + link + "one.xml <br " + link + "two.xml>" + link + "'/x.xml'>" +
             link + "'/open.xml", {"http://h/site/one.xml", "http://h/x.xml"}},
        {"<html><head>" + std::string(kPageScanLimit, ' ') + link + "late.xml>", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindAdvertisedFeeds(c.page.data(), c.page.size(), "http://h/site/index.html"), c.feeds) << c.page;
}

TEST(HtmlScan, WebPagesByTypeOrByTheirStart)
{
    const std::string feed = RssDocument(RssEntry("x"));
    struct Case {
        const char* type;
        std::string body;
        bool page;
    } cases[] = {
        {"text/html; charset=utf-8", "<p>anything", true},
        {"application/xhtml+xml", "<?xml version=\"1.0\"?><html>", true},
        {"text/html", feed, false}, // a feed sent with the wrong type is still a feed
        {"text/html", "\xEF\xBB\xBF <!-- x --><feed xmlns=\"http://www.w3.org/2005/Atom\">", false},
        {"text/html", "<rdf:RDF>", false},
        {"", "\xEF\xBB\xBF\r\n  <!doctype HTML><html>", true},
        {"application/octet-stream", "<HTML lang=en>", true},
        {"text/plain", "<head>", true},
        {"", feed, false},
        {"text/xml", "<html>", false},
        {"", "plain text", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsWebPage(c.type, c.body.data(), c.body.size()), c.page) << c.type << " " << c.body;
}

class Discovery : public vexatest::HttpServerTest {
protected:
    void TearDown() override
    {
        m_store.reset();
        m_server.Stop();
        HttpServerTest::TearDown();
    }
    void ServeFeed(const std::string& path, const std::string& title)
    {
        HttpServer::Reply reply = vexatest::FeedReply(RssDocument(RssEntry(title)));
        reply.etag = "\"v1\"";
        m_server.Serve(path, reply);
    }
    bool Load(const std::string& path) { return m_store->Load(m_server.Url(path)); }

    vexatest::ScopedFetchLimits m_limits{2000, 1500, 2500};
    std::unique_ptr<CRssStore> m_store = std::make_unique<CRssStore>();
};

TEST_F(Discovery, PagesAreReadThroughTheFirstFeedTheyAdvertise)
{
    const std::string html = "text/html";
    const std::string link = "<link rel=alternate " + kRss + " href=";
    m_server.Serve("/s0/", Page(link + "feed.xml>"), html);
    m_server.Serve("/s1/", Page("<link type=application/atom+xml href='/s1/a.xml' rel=alternate>" + link + "b.xml>"), html);
    m_server.Serve("/s2/", Page(link + "\"" + m_server.Url("/s2/f.xml") + "\">"), ""); // no type: by its start
    m_server.Serve("/s3/", Page("<base href=/feeds/s3/>" + link + "f.xml>"), html);
    m_server.Serve("/s4/", "<meta x='<'><p>" + link + "f.xml><title>x", html);
    m_server.Serve("/old", vexatest::FeedReply("", 0, 301, "Location: /s5/"));
    m_server.Serve("/s5/", Page(link + "feed.xml>"), html);
    m_server.Serve("/hop/", Page(link + "/s0/>"), html); // a feed that is a page again
    m_server.Serve("/none/", Page("", "<rss><channel><item><title>Not read</title></item></channel></rss>"), html);
    for (const char* feed : {"/s0/feed.xml", "/s1/a.xml", "/s2/f.xml", "/feeds/s3/f.xml", "/s4/f.xml", "/s5/feed.xml"})
        ServeFeed(feed, feed);
    const Strings cases[] = {
        {"/s0/", "/s0/feed.xml"}, {"/s1/", "/s1/a.xml"}, {"/s2/", "/s2/f.xml"}, {"/s3/", "/feeds/s3/f.xml"},
        {"/s4/", "/s4/f.xml"}, {"/old", "/s5/", "/s5/feed.xml"}, {"/hop/", "/s0/"}, {"/none/"},
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
    EXPECT_EQ(m_store->Count(), 6);
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
    HttpServer other;
    ASSERT_TRUE(other.Start());
    other.Serve("/f.xml", vexatest::FeedReply(RssDocument(RssEntry("Elsewhere"))));
    m_server.Serve("/p/", Page("<link rel=alternate " + kRss + " href=" + other.Url("/f.xml") + ">"), "text/html");
    EXPECT_TRUE(Load("/p/"));
    EXPECT_EQ(other.Requests(), Strings{"/f.xml"});
    other.Stop();

    // A page without end is read only as far as it is scanned.
    HttpServer::Reply endless;
    endless.endless = true;
    endless.contentType = "text/html";
    m_server.Serve("/endless/", endless);
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(vexatest::FetchToEnd(m_server.Url("/endless/")).pageWithoutFeed);
    EXPECT_LT(GetTickCount64() - start, 1500u);

    // A page in 1 s and a feed in 1.4 s do not fit into a whole-transfer bound of 2 s.
    vexatest::ScopedFetchLimits limits{2000, 1500, 2000};
    HttpServer::Reply slow = vexatest::FeedReply(Page("<link rel=alternate " + kRss + " href=/slow.xml>"), 1000);
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
