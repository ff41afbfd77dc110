// The own download of http feeds: real WinINet against the loopback server, through the
// store (what the refresh uses) and through a download job directly. Deadlines are shortened
// for the tests; the product's are the defaults of FetchLimits.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "com/module.h"
#include "com/ptr.h"
#include "net/httpfetch.h"
#include "store/rssstore.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/ftpserver.h"
#include "tests/support/httpserver.h"
#include "version.h"

using namespace vexa;

using vexa::FetchJob;
using vexa::FetchResult;
using vexatest::HttpServer;
using vexatest::RssDocument;
using vexatest::RssEntry;

namespace {

std::uint64_t Count(const FILETIME& ft) { return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
// A FILETIME count as an HTTP-date.
std::wstring HttpDateOf(std::uint64_t at)
{
    const FILETIME ft{static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
    SYSTEMTIME st;
    FileTimeToSystemTime(&ft, &st);
    wchar_t text[INTERNET_RFC1123_BUFSIZE + 1];
    InternetTimeFromSystemTimeW(&st, INTERNET_RFC1123_FORMAT, text, sizeof text);
    return text;
}
// Now plus an hour, as an HTTP-date.
std::string HttpDateAnHourAhead()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return vexatest::Narrow(HttpDateOf(Count(ft) + 3600ull * 10000000));
}

using Strings = std::vector<std::string>;
using Reply = HttpServer::Reply;

Reply Feed(const std::string& body) { return vexatest::FeedReply(body); }
// An answer that never comes.
Reply Silent()
{
    Reply silent = Feed(RssDocument(RssEntry("Never")));
    silent.silent = true;
    return silent;
}
Reply Status(int status, const std::string& header = std::string(), const std::string& body = std::string())
{
    return vexatest::FeedReply(body, 0, status, header);
}

class HttpFetchTest : public vexatest::HttpServerTest {
protected:
    void TearDown() override
    {
        m_store.reset();
        m_server.Stop(); // ends every silent or endless answer
        HttpServerTest::TearDown();
    }

    bool Load(const std::string& path) { return m_store->Load(m_server.Url(path)); }
    Strings Keys() const { return vexatest::StoreKeys(*m_store); }
    // The download of a path, run to its end.
    FetchResult Fetch(const std::string& path) { return vexatest::FetchToEnd(m_server.Url(path)); }
    static double SecondsSince(ULONGLONG start) { return (GetTickCount64() - start) / 1000.0; }

    vexatest::ScopedFetchLimits m_limits{2000, 600, 1500, 256 * 1024};
    std::unique_ptr<vexatest::LoadedStore> m_store = std::make_unique<vexatest::LoadedStore>();
};

// ---- The request on the wire ----

TEST_F(HttpFetchTest, RequestNamesVexaAsksForCompressionAndLeavesTheFragmentOut)
{
    m_server.Serve("/feed.xml?x=1", Feed(RssDocument(RssEntry("A"))));
    EXPECT_TRUE(m_store->Load(m_server.Url("/feed.xml?x=1#part")));
    ASSERT_EQ(m_server.Requests(), (Strings{"/feed.xml?x=1"}));
    const std::string head = m_server.RequestHeads()[0];
    EXPECT_NE(head.find("User-Agent: Vexa/" VEXA_VERSION_TEXT), std::string::npos) << head;
    EXPECT_NE(head.find("Accept-Encoding: gzip, deflate"), std::string::npos) << head;
    EXPECT_EQ(head.find("If-None-Match"), std::string::npos);
    EXPECT_EQ(head.find("If-Modified-Since"), std::string::npos);
    EXPECT_EQ(Keys(), (Strings{"A"}));
}

TEST_F(HttpFetchTest, GzipBodiesAreDecodedAndBrokenOnesFail)
{
    Reply zipped = Feed(RssDocument(RssEntry("Zipped") + RssEntry("Also")));
    zipped.gzip = true;
    m_server.Serve("/gz.xml", zipped);
    EXPECT_TRUE(Load("/gz.xml"));
    EXPECT_EQ(Keys(), (Strings{"Also", "Zipped"}));

    Reply broken = Feed(RssDocument(RssEntry("Broken")));
    broken.brokenGzip = true;
    m_server.Serve("/broken.xml", broken);
    EXPECT_FALSE(Load("/broken.xml"));
    EXPECT_EQ(Keys(), (Strings{"Also", "Zipped"}));
}

// ---- Statuses: only 200 and 304 are read ----

TEST_F(HttpFetchTest, OnlyA200BodyIsParsed)
{
    for (int status : {404, 500, 204, 304}) { // a 304 to a request that named no validator
        const std::string path = "/" + std::to_string(status) + ".xml";
        m_server.Serve(path, Status(status, std::string(), status < 400 ? "" : RssDocument(RssEntry("From an error page"))));
        EXPECT_FALSE(Load(path)) << status;
    }
    EXPECT_EQ(m_store->Count(), 0);
    const FetchResult result = Fetch("/404.xml");
    EXPECT_EQ(std::make_tuple(result.outcome, result.status, result.body), std::make_tuple(FetchResult::Outcome::Answered, 404u, std::string()));
}

// ---- Redirects ----

TEST_F(HttpFetchTest, RedirectsAreFollowedUpToFiveAndOnlyToHttp)
{
    m_server.Serve("/final.xml", Feed(RssDocument(RssEntry("Arrived"))));
    m_server.Serve("/r1", Status(302, "Location: /final.xml"));
    for (int i = 2; i <= 6; ++i)
        m_server.Serve("/r" + std::to_string(i), Status(i % 2 ? 301 : 307, "Location: /r" + std::to_string(i - 1)));
    EXPECT_TRUE(Load("/r5")); // five redirects
    EXPECT_EQ(Keys(), (Strings{"Arrived"}));
    m_server.ClearRequests();
    EXPECT_FALSE(Load("/r6")); // six
    EXPECT_EQ(m_server.Requests().size(), 6u);

    m_server.Serve("/loop", Status(302, "Location: /loop"));
    m_server.ClearRequests();
    EXPECT_FALSE(Load("/loop"));
    EXPECT_EQ(m_server.Requests().size(), 6u);

    m_server.Serve("/tofile", Status(302, "Location: file:///C:/windows/win.ini"));
    EXPECT_FALSE(Load("/tofile"));
    FetchResult result = Fetch("/tofile");
    EXPECT_EQ(result.outcome, FetchResult::Outcome::Failed);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_HTTP_REDIRECT_FAILED));
    EXPECT_EQ(m_store->Count(), 1);
}

// Found by the fuzzing program: two addresses that redirect to each other (one by its full
// address, one by its path) held the reader's own fetch, and with it the refresh, for good.
TEST_F(HttpFetchTest, ARedirectLoopBetweenTwoAddressesFailsSoon)
{
    m_server.Serve("/r/1.xml", Status(302, "Location: " + m_server.Url("/t/2.xml"),
                                      RssDocument(RssEntry("Never"))));
    m_server.Serve("/t/2.xml", Status(301, "Location: /r/1.xml"));
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Load("/r/1.xml"));
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(m_server.Requests().size(), 6u);
    EXPECT_EQ(m_store->Count(), 0);
}

// ---- Deadlines and bounds ----

TEST_F(HttpFetchTest, SilentAndDrippingServersEndByTheirDeadlines)
{
    m_server.Serve("/silent.xml", Silent());
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Load("/silent.xml"));
    EXPECT_LT(SecondsSince(start), 3.0);

    // A byte at a time, never idle for long, but never done within the whole transfer's time:
    // the entries completed before the cut stand.
    const std::string doc = RssDocument(RssEntry("First") + RssEntry("Second") + std::string(1500, ' ') +
                                        RssEntry("Late"));
    m_server.Serve("/drip.xml", Feed(doc));
    m_server.SetMode(HttpServer::Mode::SlowDrip, {0, 16, 40});
    start = GetTickCount64();
    EXPECT_FALSE(Load("/drip.xml"));
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(Keys(), (Strings{"First", "Second"}));
}

TEST_F(HttpFetchTest, BodiesThatNeverEndOrEndEarlyFail)
{
    Reply endless = Feed(std::string());
    endless.endless = true;
    m_server.Serve("/endless.xml", endless);
    FetchResult result = Fetch("/endless.xml");
    EXPECT_EQ(result.outcome, FetchResult::Outcome::Cut);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(result.body.size(), 256u * 1024);
    EXPECT_FALSE(Load("/endless.xml"));

    Reply longer = Feed(RssDocument(RssEntry("Whole")));
    longer.lengthDelta = 100; // announces more than it sends, then closes
    m_server.Serve("/short.xml", longer);
    EXPECT_FALSE(Load("/short.xml"));
    EXPECT_EQ(Fetch("/short.xml").outcome, FetchResult::Outcome::Cut);

    m_server.SetMode(HttpServer::Mode::CloseEarly);
    EXPECT_FALSE(Load("/short.xml"));
    m_server.SetMode(HttpServer::Mode::Normal);
    // A whole document parses even though the announced length was wrong, yet the load failed.
    EXPECT_EQ(Keys(), (Strings{"Whole"}));
}

TEST_F(HttpFetchTest, NobodyListeningFailsAtOnce)
{
    const std::string gone = m_server.Url("/feed.xml");
    m_server.Stop();
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(m_store->Load(gone));
    EXPECT_LT(SecondsSince(start), 2.0);
}

// ---- Conditional requests ----

TEST_F(HttpFetchTest, ValidatorsMakeUnchangedFeedsCostNoBody)
{
    Reply tagged = Feed(RssDocument(RssEntry("A") + RssEntry("B")));
    tagged.etag = "\"v1\"";
    tagged.lastModified = "Mon, 01 Jan 2024 00:00:00 GMT";
    m_server.Serve("/feed.xml", tagged);
    EXPECT_TRUE(Load("/feed.xml"));
    const std::size_t bytes = m_server.BodyBytesSent();
    EXPECT_TRUE(Load("/feed.xml")); // 304: a successful load that adds nothing
    EXPECT_EQ(m_server.BodyBytesSent(), bytes);
    EXPECT_EQ(m_store->Count(), 2);
    const std::string head = m_server.RequestHeads().back();
    EXPECT_NE(head.find("If-None-Match: \"v1\""), std::string::npos) << head;
    EXPECT_NE(head.find("If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT"), std::string::npos) << head;

    // A new version with a new tag is read whole, and its tag is sent from then on.
    tagged.body = RssDocument(RssEntry("A") + RssEntry("B") + RssEntry("C"));
    tagged.etag = "\"v2\"";
    m_server.Serve("/feed.xml", tagged);
    EXPECT_TRUE(Load("/feed.xml"));
    EXPECT_EQ(m_store->Count(), 3);
    EXPECT_TRUE(Load("/feed.xml"));
    EXPECT_NE(m_server.RequestHeads().back().find("If-None-Match: \"v2\""), std::string::npos);
    ASSERT_TRUE(m_store->Validators(m_server.Url("/feed.xml")));
    EXPECT_EQ(m_store->Validators(m_server.Url("/feed.xml"))->etag, L"\"v2\"");
}

TEST_F(HttpFetchTest, ARequestSentAgainCarriesOnlyItsOwnDownloadsValidators)
{
    Reply tagged = Feed(RssDocument(RssEntry("A")));
    tagged.etag = "\"v1\"";
    m_server.Serve("/feed.xml", tagged);
    EXPECT_TRUE(Load("/feed.xml"));
    EXPECT_TRUE(Load("/feed.xml"));
    EXPECT_NE(m_server.RequestHeads().back().find("If-None-Match: \"v1\""), std::string::npos);
    // A download without the tag asks for the whole feed.
    EXPECT_EQ(Fetch("/feed.xml").status, 200u);
    EXPECT_EQ(m_server.RequestHeads().back().find("If-None-Match"), std::string::npos);
    EXPECT_EQ(m_server.Requests().size(), 3u);
}

TEST_F(HttpFetchTest, ALastModifiedNotOlderThanTheAnswerIsNoValidator)
{
    // An hour ahead of the answer's Date: never usable, whenever the second turns (the rule's
    // own cases, the answer's own second among them, are in HttpRules above).
    Reply fresh = Feed(RssDocument(RssEntry("A")));
    fresh.lastModified = HttpDateAnHourAhead();
    m_server.Serve("/fresh.xml", fresh);
    EXPECT_TRUE(Load("/fresh.xml"));
    EXPECT_TRUE(Load("/fresh.xml"));
    EXPECT_EQ(m_server.RequestHeads().back().find("If-Modified-Since"), std::string::npos);
    ASSERT_TRUE(m_store->Validators(m_server.Url("/fresh.xml")));
    EXPECT_TRUE(m_store->Validators(m_server.Url("/fresh.xml"))->lastModified.empty());
}

// ---- The header rules, as functions of their texts and the clock ----

// An HTTP-date `seconds` after 8 Dec 2026 10:00:00 GMT, and that time as a FILETIME count.
std::wstring Stamp(long long seconds, std::uint64_t* time = nullptr)
{
    const SYSTEMTIME st = {2026, 12, 2, 8, 10, 0, 0, 0};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    const std::uint64_t at = Count(ft) + static_cast<std::uint64_t>(seconds * 10000000);
    if (time) *time = at;
    return HttpDateOf(at);
}

TEST(HttpRules, DatesRetryAfterAndUsableLastModified)
{
    std::uint64_t base = 0, parsed = 0;
    const std::wstring date = Stamp(0, &base);
    ASSERT_TRUE(vexa::HttpDate(date, parsed));
    EXPECT_EQ(parsed, base);
    EXPECT_FALSE(vexa::HttpDate(L"", parsed));

    const std::uint64_t day = vexa::kLongestPauseMs;
    const std::uint64_t clock = base + 7200ull * 10000000; // two hours after the Date
    struct RetryRow {
        std::wstring retryAfter, date;
        std::uint64_t expected;
    };
    const RetryRow retries[] = {
        {L"", date, 0},
        {L"120", date, 120000},
        {L"120 seconds", date, 120000},
        {L"86400", date, day},
        {L"86401", date, day},
        {L"99999999999999999999999", L"", day},
        {Stamp(3600), date, 3600000},        // from the answer's Date, not the clock
        {Stamp(3 * 3600), L"", 3600000},     // from the clock without a Date
        {Stamp(-60), date, 0},               // past
        {Stamp(3 * 86400), date, day},
    };
    for (const RetryRow& row : retries)
        EXPECT_EQ(vexa::RetryAfterMs(row.retryAfter, row.date, clock), row.expected)
            << vexatest::Narrow(row.retryAfter.c_str()) << " / " << vexatest::Narrow(row.date.c_str());

    struct ModifiedRow {
        std::wstring lastModified, date;
        bool usable;
    };
    const ModifiedRow modified[] = {
        {Stamp(-1), date, true},
        {Stamp(0), date, false},   // the answer's own second
        {Stamp(5), date, false},
        {Stamp(7199), L"", true},  // against the clock without a Date
        {Stamp(7200), L"", false},
        {L"", date, false},
    };
    for (const ModifiedRow& row : modified)
        EXPECT_EQ(vexa::UsableLastModified(row.lastModified, row.date, clock), row.usable)
            << vexatest::Narrow(row.lastModified.c_str()) << " / " << vexatest::Narrow(row.date.c_str());

    const struct { std::wstring cacheControl, expires, date; std::uint64_t expected; } fresh[] = {
        {L"", L"", date, 0}, {L"public, MAX-AGE=\"120\"", Stamp(600), date, 120000}, {L"max-age=soon", L"", date, 0},
        {L"max-age=99999999999999999999", L"", date, vexa::kLongestFreshnessMs}, {L"max-age=9, no-store", L"", date, 0},
        {L"", Stamp(600), date, 600000}, {L"", Stamp(3 * 3600), L"", 3600000}, {L"", Stamp(-60), date, 0},
    };
    for (const auto& row : fresh)
        EXPECT_EQ(vexa::FreshnessMs(row.cacheControl, row.expires, row.date, clock), row.expected)
            << vexatest::Narrow(row.cacheControl.c_str()) << " / " << vexatest::Narrow(row.expires.c_str());
}

// ---- Retry-After ----

TEST_F(HttpFetchTest, RetryAfterKeepsTheFeedUnaskedUntilThen)
{
    m_server.Serve("/busy.xml", Status(503, "Retry-After: 1"));
    EXPECT_FALSE(Load("/busy.xml"));
    EXPECT_FALSE(Load("/busy.xml")); // not asked: still a failed load
    EXPECT_EQ(m_server.Requests().size(), 1u);
    Sleep(1100);
    m_server.Serve("/busy.xml", Feed(RssDocument(RssEntry("Back"))));
    EXPECT_TRUE(Load("/busy.xml"));
    EXPECT_EQ(m_server.Requests().size(), 2u);

    // As an HTTP-date (an hour ahead of the answer's Date).
    m_server.Serve("/limited.xml", Status(429, "Retry-After: " + HttpDateAnHourAhead()));
    EXPECT_FALSE(Load("/limited.xml"));
    EXPECT_FALSE(Load("/limited.xml"));
    EXPECT_EQ(m_server.Requests().size(), 3u);

    // Without Retry-After the next load asks again.
    m_server.Serve("/plain503.xml", Status(503));
    EXPECT_FALSE(Load("/plain503.xml"));
    EXPECT_FALSE(Load("/plain503.xml"));
    EXPECT_EQ(m_server.Requests().size(), 5u);
}

// ---- Workers ----

// A download of `url` started now (one that yields, as a picture's does), or null.
vexa::com_ptr<FetchJob> StartFetch(const std::string& url, bool yields = false)
{
    vexa::FetchRequest request;
    request.url = vexatest::Widen(url);
    request.yields = yields;
    vexa::com_ptr<FetchJob> job;
    job.attach(FetchJob::Start(request));
    return job;
}

TEST_F(HttpFetchTest, AnAbandonedDownloadKeepsTheModuleAndTheSessionUntilItsWorkerEnds)
{
    ASSERT_EQ(vexa::Module::LockCount(), 0); // nothing else holds the module here
    m_server.Serve("/silent.xml", Silent());
    vexa::com_ptr<FetchJob> job = StartFetch(m_server.Url("/silent.xml"));
    ASSERT_TRUE(job);
    EXPECT_EQ(vexa::Module::LockCount(), 1); // DllCanUnloadNow says S_FALSE
    EXPECT_EQ(FetchJob::LiveWorkers(), 1);
    for (int i = 0; i < 100 && !job->IsSent(); ++i) Sleep(10);
    EXPECT_TRUE(job->IsSent());
    EXPECT_FALSE(job->IsDone());
    EXPECT_FALSE(FetchJob::CloseIdleSession()); // in use: kept
    EXPECT_TRUE(FetchJob::HasSession());
    job->Abandon();
    job.reset();
    EXPECT_TRUE(FetchJob::WaitForWorkers(5000)); // by its own deadline
    EXPECT_EQ(vexa::Module::LockCount(), 0);
    // The last worker closed the session on its way out; the next download opens another.
    EXPECT_FALSE(FetchJob::HasSession());
    m_server.Serve("/after.xml", Feed(RssDocument(RssEntry("After"))));
    EXPECT_EQ(Fetch("/after.xml").status, 200u);
    EXPECT_TRUE(FetchJob::WaitForWorkers(5000));
    EXPECT_FALSE(FetchJob::HasSession());

    // While something holds the module (a plugin between ticks), the session stays for the
    // next refresh; once nothing does, DllCanUnloadNow's call closes it.
    vexa::Module::Lock();
    EXPECT_EQ(Fetch("/after.xml").status, 200u);
    EXPECT_TRUE(FetchJob::WaitForWorkers(5000));
    EXPECT_TRUE(FetchJob::HasSession());
    EXPECT_FALSE(FetchJob::CloseIdleSession());
    vexa::Module::Unlock();
    EXPECT_TRUE(FetchJob::CloseIdleSession());
    EXPECT_FALSE(FetchJob::HasSession());
}

// The order in which the workers began to send, as the downloads record it (a server's log
// shows the order its connection threads got to run, not the order on the wire).
TEST_F(HttpFetchTest, RequestsBeginInStartOrderWhereverTheConnectionLimitsAllow)
{
    std::vector<std::unique_ptr<HttpServer>> more;
    for (int s = 0; s < 2; ++s) {
        more.push_back(std::make_unique<HttpServer>());
        ASSERT_TRUE(more.back()->Start());
    }
    HttpServer* servers[3] = {&m_server, more[0].get(), more[1].get()};
    struct Case {
        const char* name;
        std::vector<int> server;   // of each job, in start order
        std::vector<int> expected; // the jobs in the order their requests began
    };
    const Case cases[] = {
        {"three servers, four each", {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        // The fifth for one server waits for a connection; the one after it does not.
        {"five for one server", {0, 0, 0, 0, 0, 1, 0}, {0, 1, 2, 3, 5, 4, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<vexa::com_ptr<FetchJob>> jobs;
        for (std::size_t i = 0; i < c.server.size(); ++i) {
            const std::string path = "/o" + std::to_string(i) + ".xml";
            servers[c.server[i]]->Serve(path, vexatest::FeedReply(RssDocument(RssEntry(path)), 300));
            jobs.push_back(StartFetch(servers[c.server[i]]->Url(path)));
            ASSERT_TRUE(jobs.back());
        }
        std::vector<std::pair<unsigned long, int>> began;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            EXPECT_TRUE(jobs[i]->WaitUntil(GetTickCount64() + 10000));
            EXPECT_EQ(jobs[i]->TakeResult().status, 200u);
            EXPECT_NE(jobs[i]->SendOrder(), 0u);
            began.emplace_back(jobs[i]->SendOrder(), static_cast<int>(i));
        }
        std::sort(began.begin(), began.end());
        std::vector<int> order;
        for (const auto& b : began) order.push_back(b.second);
        EXPECT_EQ(order, c.expected);
    }
    for (auto& server : more) server->Stop();
}

// Twenty feeds on ten servers: every request is on the wire before the first answer comes.
TEST_F(HttpFetchTest, EveryFeedOfTheListIsAskedBeforeAnyAnswer)
{
    // The servers hold every answer until all requests are in (or 10 s pass): no answer can
    // come first, however busy the machine; nor can a held one end by the fixture's short
    // idle bound while the last requests are still being sent.
    vexatest::ScopedFetchLimits limits(8000, 8000, 8000);
    std::vector<std::unique_ptr<HttpServer>> servers(10);
    std::vector<vexa::com_ptr<FetchJob>> jobs;
    for (int i = 0; i < 20; ++i) {
        if (i < 10) {
            ASSERT_TRUE((servers[i] = std::make_unique<HttpServer>())->Start());
            servers[i]->HoldAnswers(true);
        }
        servers[i % 10]->Serve("/w.xml" + std::to_string(i), vexatest::FeedReply(RssDocument(RssEntry("W"))));
        jobs.push_back(StartFetch(servers[i % 10]->Url("/w.xml" + std::to_string(i))));
    }
    auto unsent = [&] { return std::any_of(jobs.begin(), jobs.end(), [](auto& job) { return !job->IsSent(); }); };
    for (const ULONGLONG end = GetTickCount64() + 10000; unsent() && GetTickCount64() < end;) Sleep(5);
    EXPECT_EQ(std::count_if(jobs.begin(), jobs.end(), [](auto& job) { return job->IsSent() && !job->IsDone(); }), 20);
    for (auto& server : servers) server->HoldAnswers(false);
    for (auto& job : jobs) EXPECT_TRUE(job->WaitUntil(GetTickCount64() + 15000));
}

TEST_F(HttpFetchTest, AtMostFourConnectionsGoToOneServer)
{
    std::vector<vexa::com_ptr<FetchJob>> jobs;
    for (int i = 0; i < 10; ++i) {
        const std::string path = "/g" + std::to_string(i) + ".xml";
        m_server.Serve(path, vexatest::FeedReply(RssDocument(RssEntry(path)), 300));
        jobs.push_back(StartFetch(m_server.Url(path)));
        ASSERT_TRUE(jobs.back());
    }
    for (auto& job : jobs) {
        EXPECT_TRUE(job->WaitUntil(GetTickCount64() + 15000));
        EXPECT_EQ(job->TakeResult().status, 200u);
    }
    EXPECT_EQ(m_server.MaxConcurrentAnswers(), 4);
}

// Slow pictures on a feed's own server: they take three of its four connections at most and
// the feed, started after them all, goes past them and is answered while they still wait.
TEST_F(HttpFetchTest, AFeedNeverWaitsBehindPicturesOnItsServer)
{
    vexatest::ScopedFetchLimits limits(8000, 8000, 8000);
    m_server.Serve("/slow.png", vexatest::FeedReply("picture", 1500));
    m_server.Serve("/feed.xml", vexatest::FeedReply(RssDocument(RssEntry("F"))));
    std::vector<vexa::com_ptr<FetchJob>> pictures;
    for (int i = 0; i < 4; ++i) pictures.push_back(StartFetch(m_server.Url("/slow.png?" + std::to_string(i)), true));
    Sleep(300); // the pictures are at the gate first
    const ULONGLONG start = GetTickCount64();
    vexa::com_ptr<FetchJob> feed = StartFetch(m_server.Url("/feed.xml"));
    ASSERT_TRUE(feed->WaitUntil(start + 8000));
    EXPECT_EQ(feed->TakeResult().status, 200u);
    EXPECT_LT(SecondsSince(start), 1.0) << "the feed did not wait for a picture's answer";
    EXPECT_FALSE(pictures.back()->IsDone());
    for (auto& picture : pictures) EXPECT_TRUE(picture->WaitUntil(GetTickCount64() + 15000));
    EXPECT_EQ(m_server.MaxConcurrentAnswers(), 4);
}

// Only feeds' requests are kept for their next download; the idle hook lets them go.
TEST_F(HttpFetchTest, OnlyFeedsRequestsAreKeptUntilTheSessionCloses)
{
    ASSERT_TRUE(FetchJob::CloseIdleSession());
    m_server.Serve("/kept.xml", vexatest::FeedReply(RssDocument(RssEntry("K"))));
    m_server.Serve("/picture.png", vexatest::FeedReply("picture"));
    {
        vexa::ModuleLock held; // as a live plugin does: the last worker out leaves the session open
        for (const auto& [path, yields] : {std::pair{"/kept.xml", false}, {"/picture.png", true}}) {
            vexa::com_ptr<FetchJob> job = StartFetch(m_server.Url(path), yields);
            ASSERT_TRUE(job->WaitUntil(GetTickCount64() + 10000));
            EXPECT_EQ(job->TakeResult().status, 200u) << path;
        }
        ASSERT_TRUE(FetchJob::WaitForWorkers(5000));
        EXPECT_EQ(vexa::KeptRequestCount(), 1u);
    }
    EXPECT_TRUE(FetchJob::CloseIdleSession());
    EXPECT_EQ(vexa::KeptRequestCount(), 0u);
}

// ---- ftp ----

// An ftp feed comes by the download (anonymous, passive, binary); a silent server ends by a bound.
TEST_F(HttpFetchTest, FtpFeedsComeWithinTheSameBounds)
{
    vexatest::FtpServer ftp, silent(true);
    ASSERT_TRUE(ftp.Start() && silent.Start());
    ftp.Serve("/dir/feed.xml", RssDocument(RssEntry("Over ftp")));
    EXPECT_TRUE(m_store->Load(ftp.Url("/dir/feed.xml#top")));
    EXPECT_EQ(Keys(), Strings{"Over ftp"});
    EXPECT_EQ(ftp.Log().substr(0, 74), "USER anonymous\nPASS vexa@\nTYPE I\nSIZE dir/feed.xml\nPASV\nRETR dir/feed.xml\n");

    const ULONGLONG start = GetTickCount64();
    const FetchResult quiet = vexatest::FetchToEnd(silent.Url("/feed.xml"));
    EXPECT_EQ(quiet.outcome, FetchResult::Outcome::Failed);
    EXPECT_EQ(quiet.error, static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
    EXPECT_EQ(quiet.bound, FetchResult::Bound::Idle);
    EXPECT_TRUE(FetchJob::WaitForWorkers(500));
    EXPECT_LT(SecondsSince(start), 1.5);
}

} // namespace
