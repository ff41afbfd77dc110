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

TEST(HtmlScan, AdvertisedFeedsInTheHeadInDocumentOrder)
{
    const std::string pad(kPageScanLimit, ' ');
    struct Case {
        const char* what;
        std::string page;
        Strings feeds;
    } cases[] = {
        {"relative", Page("<link rel=alternate " + kRss + " href=feed.xml>"), {"http://h/site/feed.xml"}},
        {"two, atom first",
         Page("<link rel=\"alternate\" type=\"application/atom+xml\" href=\"/a.atom\">"
              "<link rel=\"alternate\" " + kRss + " href=\"http://other.example/r.xml\">"),
         {"http://h/a.atom", "http://other.example/r.xml"}},
        {"odd order, case and quoting",
         Page("<LINK\nHREF='../f.xml?a=1&amp;b=&#x32;' TYPE=' Application/RSS+XML; charset=utf-8' REL='Feed ALTERNATE'/>"),
         {"http://h/f.xml?a=1&b=2"}},
        {"none fits",
         Page("<link rel=stylesheet type=text/css href=s.css><link rel=alternate type=text/html href=x.html>"
              "<link rel=alternates " + kRss + " href=n.xml><link rel=alternate " + kRss + " href=\" \">"),
         {}},
        {"base href, after the link too",
         Page("<link rel=alternate " + kRss + " href=feed.xml><base href=\"/other/\"><base href=/ignored/>"),
         {"http://h/other/feed.xml"}},
        {"only http and https",
         Page("<link rel=alternate " + kRss + " href=\"javascript:alert(1)\">"
              "<link rel=alternate " + kRss + " href=\"file:///C:/x.xml\">"
              "<link rel=alternate " + kRss + " href=\"//cdn.example/f\">"),
         {"http://cdn.example/f"}},
        {"hidden in comment, script, style, CDATA and title",
         Page("<!-- <link rel=alternate " + kRss + " href=c.xml> --><script>var s='</scr'+'ipt><link rel=alternate " +
              kRss + " href=s.xml>';</script><style><link rel=alternate " + kRss + " href=y.xml></style>"
              "<![CDATA[<link rel=alternate " + kRss + " href=d.xml>]]><title><link rel=alternate " + kRss +
              " href=t.xml></title><link rel=alternate " + kRss + " href=real.xml>"),
         {"http://h/site/real.xml"}},
        {"body and after the head are not read",
         Page("", "<link rel=alternate " + kRss + " href=b.xml>") +
             "<link rel=alternate " + kRss + " href=after.xml>",
         {}},
        {"malformed head",
         "<html><meta name=x content='a<b'><p><link rel=alternate " + kRss + " href=one.xml <br "
         "<link href=two.xml rel=alternate " + kRss + ">",
         {"http://h/site/one.xml"}},
        {"no head element, unclosed quote at the end",
         "<link rel=alternate " + kRss + " href='/x.xml'><link rel=alternate " + kRss + " href='/y.xml",
         {"http://h/x.xml"}},
        {"beyond the scanned bound", "<html><head>" + pad + "<link rel=alternate " + kRss + " href=late.xml>", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindAdvertisedFeeds(c.page.data(), c.page.size(), "http://h/site/index.html"), c.feeds) << c.what;
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
    void ServePage(const std::string& path, const std::string& html, const std::string& type = "text/html")
    {
        m_server.Serve(path, html, type);
    }
    void ServeFeed(const std::string& path, const std::string& title, const std::string& etag = std::string())
    {
        HttpServer::Reply reply = vexatest::FeedReply(RssDocument(RssEntry(title)));
        reply.etag = etag;
        m_server.Serve(path, reply);
    }
    bool Load(const std::string& path) { return m_store->Load(m_server.Url(path)); }

    vexatest::ScopedFetchLimits m_limits{2000, 1500, 2500};
    std::unique_ptr<CRssStore> m_store = std::make_unique<CRssStore>();
};

TEST_F(Discovery, APageIsReadThroughTheFirstFeedItAdvertises)
{
    struct Case {
        const char* what;
        std::string head;
        std::string type;
        std::string feedPath;
    } cases[] = {
        {"relative", "<link rel=alternate " + kRss + " href=feed.xml>", "text/html", "/s0/feed.xml"},
        {"two", "<link type=application/atom+xml href='/s1/a.xml' rel=alternate><link rel=alternate " + kRss +
                    " href=b.xml>", "text/html", "/s1/a.xml"},
        {"absolute, without a type", "<link rel=alternate " + kRss + " href=\"" + m_server.Url("/s2/f.xml") + "\">", "",
         "/s2/f.xml"},
        {"base", "<base href=/feeds/s3/><link rel=alternate " + kRss + " href=f.xml>", "text/html", "/feeds/s3/f.xml"},
        {"malformed", "<meta x='<'><p><link rel=alternate " + kRss + " href=f.xml><title>x", "text/html", "/s4/f.xml"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dir = "/s" + std::to_string(n++) + "/";
        ServePage(dir, Page(c.head), c.type);
        ServeFeed(c.feedPath, c.what, "\"v1\"");
        m_server.ClearRequests();
        EXPECT_TRUE(Load(dir)) << c.what;
        EXPECT_EQ(m_store->AdvertisedFeed(m_server.Url(dir)), vexatest::Widen(m_server.Url(c.feedPath))) << c.what;
        EXPECT_NE(m_store->Find(c.what), nullptr) << c.what;
        EXPECT_EQ(m_server.Requests(), (Strings{dir, c.feedPath})) << c.what;
    }
    // Later loads ask the feed directly, with its validators.
    m_server.ClearRequests();
    EXPECT_TRUE(Load("/s0/"));
    EXPECT_EQ(m_server.Requests(), (Strings{"/s0/feed.xml"}));
    EXPECT_NE(m_server.RequestHeads().back().find("If-None-Match: \"v1\""), std::string::npos);
}

TEST_F(Discovery, RedirectsAndHopsAndPagesWithoutFeed)
{
    // A page behind a redirect: its links are relative to where it was found.
    m_server.Serve("/old", vexatest::FeedReply("", 0, 301, "Location: /new/"));
    ServePage("/new/", Page("<link rel=alternate " + kRss + " href=feed.xml>"));
    ServeFeed("/new/feed.xml", "Moved");
    EXPECT_TRUE(Load("/old"));
    EXPECT_EQ(m_server.Requests(), (Strings{"/old", "/new/", "/new/feed.xml"}));

    // A feed address that is itself a page: one hop only, and no entries.
    ServePage("/a/", Page("<link rel=alternate " + kRss + " href=/b/>"));
    ServePage("/b/", Page("<link rel=alternate " + kRss + " href=/c.xml>"));
    ServeFeed("/c.xml", "Never");
    m_server.ClearRequests();
    EXPECT_FALSE(Load("/a/"));
    EXPECT_EQ(m_server.Requests(), (Strings{"/a/", "/b/"}));

    // A page that advertises none fails unparsed, and keeps no feed.
    ServePage("/none/", Page("<link rel=alternate type=text/html href=/c.xml>",
                             "<rss><channel><item><title>Not read</title></item></channel></rss>"));
    EXPECT_FALSE(Load("/none/"));
    const FetchResult result = vexatest::FetchToEnd(m_server.Url("/none/"));
    EXPECT_TRUE(result.pageWithoutFeed);
    EXPECT_TRUE(result.advertisedFeed.empty());
    EXPECT_TRUE(result.body.empty());
    EXPECT_TRUE(m_store->AdvertisedFeed(m_server.Url("/none/")).empty());
    EXPECT_EQ(vexatest::StoreKeys(*m_store), (Strings{"Moved"}));
}

TEST_F(Discovery, FeedsAtAnotherServerAndTheWholeDeadlineCountsBothRequests)
{
    HttpServer other;
    ASSERT_TRUE(other.Start());
    other.Serve("/f.xml", vexatest::FeedReply(RssDocument(RssEntry("Elsewhere"))));
    ServePage("/p/", Page("<link rel=alternate " + kRss + " href=" + other.Url("/f.xml") + ">"));
    EXPECT_TRUE(Load("/p/"));
    EXPECT_EQ(other.Requests(), (Strings{"/f.xml"}));

    // A page in 1 s and a feed in 1.4 s do not fit into 2 s.
    vexatest::ScopedFetchLimits limits{2000, 1500, 2000};
    HttpServer::Reply slow = vexatest::FeedReply(Page("<link rel=alternate " + kRss + " href=/slow.xml>"), 1000);
    slow.contentType = "text/html";
    m_server.Serve("/slowpage/", slow);
    m_server.Serve("/slow.xml", vexatest::FeedReply(RssDocument(RssEntry("Late")), 1400));
    const ULONGLONG start = GetTickCount64();
    const FetchResult result = vexatest::FetchToEnd(m_server.Url("/slowpage/"));
    EXPECT_LT(GetTickCount64() - start, 2800u);
    // (Wine's WinINet may end the late answer as a status 0 rather than a time-out.)
    EXPECT_FALSE(result.outcome == FetchResult::Outcome::Answered && result.status == 200);
    EXPECT_EQ(result.advertisedFeed, vexatest::Widen(m_server.Url("/slow.xml")));
    other.Stop();
}

} // namespace
