// The benchmarks, one section each; every figure is a ratio against a floor measured in the
// same run (the sections below say which).
// Usage: vexabench [net|parse|refresh|panelwindow] [count]   (every one in turn without a name);
//   vexabench picturesoak [refreshes [off]]
//   count: net's unchanged ticks and refresh's unchanged refreshes (200), panelwindow's paints (100)
#define PSAPI_VERSION 2
#include <windows.h>
#include <msxml2.h>
#include <objbase.h>
#include <wininet.h>
#include <wincodec.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "com/check.h"
#include "com/module.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "format/msxmlids.h"
#include "format/uncounted.h"
#include "format/bytestream.h"
#include "format/xmlparser.h"
#include "host/lib/hostlib.h"
#include "host/lib/panelwindow.h"
#include "net/httpfetch.h"
#include "plugin/entrypictures.h"
#include "plugin/plugin.h"
#include "resources/resource.h"
#include "plugin/feedloader.h"
#include "store/rssstore.h"
#include "userdata/feedhealth.h"
#include "userdata/registryhelper.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"
#include "tests/support/pictures.h"
#include "tests/support/processusage.h"

using namespace vexa;

// ---- Counting allocator: live bytes and blocks requested through operator new while a
// measurement of held memory runs (g_tally), in a process that runs the parse section (alone
// or with the others); the other sections allocate as usual. Every block of such a process
// has a header: a counted block's size plus one, else 0 (the timed parses count nothing).
// Decided from the command line at the first allocation, so every block is of one kind. ----
namespace {
std::atomic<long long> g_liveBytes{0};
std::atomic<long long> g_liveBlocks{0};
std::atomic<bool> g_tally{false};
constexpr std::size_t kHeader = alignof(std::max_align_t);

std::atomic<int> g_counting{-1}; // unknown before the first allocation

bool Counting()
{
    if (g_counting < 0) { // no guarded static here: its guard might allocate
        const char* at = GetCommandLineA();
        if (*at == '"') {
            at = std::strchr(at + 1, '"');
            at = at ? at + 1 : "";
        } else {
            at += std::strcspn(at, " \t");
        }
        at += std::strspn(at, " \t");
        g_counting = *at == '\0' || std::strncmp(at, "parse", 5) == 0 || std::strncmp(at, "picturesoak", 11) == 0;
    }
    return g_counting != 0;
}
} // namespace

void* operator new(std::size_t size)
{
    const bool counting = Counting();
    void* block = std::malloc(counting ? size + kHeader : size ? size : 1);
    if (!block) throw std::bad_alloc();
    if (!counting) return block;
    const bool tally = g_tally;
    *static_cast<std::size_t*>(block) = tally ? size + 1 : 0;
    if (tally) {
        g_liveBytes += static_cast<long long>(size);
        ++g_liveBlocks;
    }
    return static_cast<char*>(block) + kHeader;
}
void operator delete(void* p) noexcept
{
    if (!p || !Counting()) return std::free(p);
    std::size_t* header = reinterpret_cast<std::size_t*>(static_cast<char*>(p) - kHeader);
    if (*header) {
        g_liveBytes -= static_cast<long long>(*header - 1);
        --g_liveBlocks;
    }
    std::free(header);
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try { return operator new(size); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return operator new(size, std::nothrow); }

namespace {

// ---- Shared helpers ----
using Clock = std::chrono::steady_clock;
using vexatest::HttpServer;
double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }
double Timed(const std::function<void()>& work)
{
    auto t = Clock::now();
    work();
    return Seconds(t);
}

// The smallest of `rounds` measurements (the machine is shared).
double BestOf(int rounds, const std::function<double()>& measure)
{
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        const double seconds = measure();
        if (round == 0 || seconds < best) best = seconds;
    }
    return best;
}

double Median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A feed whose titles are its own, so every entry becomes an item.
std::string DistinctFeed(int feed, int entries, std::size_t descriptionBytes)
{
    std::string doc = vexatest::LargeFeed(entries, descriptionBytes);
    for (size_t at = doc.find("Entry "); at != std::string::npos; at = doc.find("Entry ", at + 1))
        doc.replace(at, 5, "F" + std::to_string(feed + 100));
    return doc;
}

// The headings of the panel's items from `from` on: items that unchanged feeds still produced.
std::vector<std::string> HeadingsFrom(size_t from)
{
    std::vector<std::string> headings;
    for (size_t i = from; i < host::Host::Get().panel().items.size(); ++i) {
        const auto& state = host::Host::Get().panel().items[i].state;
        headings.push_back(state && state->heading ? vexatest::Narrow(*state->heading) : "?");
    }
    return headings;
}

// Growth of the process's private bytes and live objects since it was made.
struct Usage {
    SIZE_T bytes = vexatest::PrivateBytes();
    long locks = vexa::Module::LockCount();
    long hostObjects = host::LiveObjects();
    long long BytesGrowth() const { return static_cast<long long>(vexatest::PrivateBytes()) - static_cast<long long>(bytes); }
    long LockGrowth() const { return vexa::Module::LockCount() - locks; }
    long HostGrowth() const { return host::LiveObjects() - hostObjects; }
};

// One plugin for a measurement: created, started (the first refresh is timed) and released.
struct Plugin {
    Plugin() { CreateVexaPluginInstance(nullptr, IID_IUnknown, unknown.put_void()); }
    ~Plugin()
    {
        unknown.reset();
        host::Host::Get().reset();
    }
    double Start()
    {
        auto persist = vexa::query<IPersistStreamInit>(unknown.get());
        return Timed([&] { startResult = persist->InitNew(); });
    }
    double Tick()
    {
        HWND window = Get()->TimerWindow();
        return Timed([&] { SendMessageW(window, WM_TIMER, RefreshTimerWindow::kTimerId, 0); });
    }
    double Refresh()
    {
        CVexaPlugin* plugin = Get();
        return Timed([&] { plugin->Refresh(false); });
    }
    CVexaPlugin* Get() { return static_cast<CVexaPlugin*>(vexa::query<IVexaPlugin>(unknown.get()).get()); }
    vexa::com_ptr<IUnknown> unknown;
    HRESULT startResult = E_FAIL;
};

// ---- net: the real plugin and the host stand-in against loopback servers that answer each
// request 300 ms late: a first refresh of 20 feeds on 10 servers (two each) against one feed's,
// beside the same requests made with bare WinINet calls side by side under the same connection
// limits (the network's floor) and without them; the host thread's time in a tick with one
// silent feed among them against the 2 s wait; an unchanged refresh against servers that answer
// 304 (no latency) against the same conditional requests made bare (the transport's floor), and
// the feed bytes it transferred; growth of live objects, threads, handles and private bytes over
// many unchanged ticks. ----
constexpr int kLatencyMs = 300;
constexpr int kServers = 10;
constexpr int kFeedsPerServer = 2;
constexpr int kNetEntries = 100;

// The feed list: exactly these addresses.
void SetFeedList(const std::vector<std::string>& urls)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath);
    vexatest::WriteFeedList(urls);
}

std::string FeedDocument(int feed) { return DistinctFeed(feed, kNetEntries, 200); }

// The transport's floor: the same GETs as the plugin's downloads (the same flags, the
// validators as If-None-Match), each on a thread of its own, all started at once with at
// most `inFlight` at a time, through one WinINet session opened beforehand. Seconds from the
// first start to the last body; `status` is the answer every one must get.
struct BareGet {
    HINTERNET session;
    HANDLE slots;
    std::wstring url, headers;
    DWORD status = 0;
};
DWORD WINAPI BareGetThread(void* param)
{
    auto* get = static_cast<BareGet*>(param);
    WaitForSingleObject(get->slots, INFINITE);
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (HINTERNET request = InternetOpenUrlW(get->session, get->url.c_str(), get->headers.c_str(),
                                             static_cast<DWORD>(get->headers.size()), flags, 0)) {
        DWORD size = sizeof get->status;
        HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &get->status, &size, nullptr);
        char buffer[16 * 1024];
        DWORD read = 0; // as the plugin's downloads do, only a 200's body is read
        while (get->status == 200 && InternetReadFile(request, buffer, sizeof buffer, &read) && read > 0) {}
        InternetCloseHandle(request);
    }
    ReleaseSemaphore(get->slots, 1, nullptr);
    return 0;
}
double BareGets(HINTERNET session, const std::vector<std::string>& urls, bool conditional, int inFlight,
                DWORD status)
{
    std::vector<BareGet> gets;
    HANDLE slots = CreateSemaphoreW(nullptr, inFlight, inFlight, nullptr);
    for (std::size_t i = 0; i < urls.size(); ++i)
        gets.push_back(BareGet{session, slots, vexatest::Widen(urls[i]),
                               L"Accept-Encoding: gzip, deflate\r\n" +
                                   (conditional ? L"If-None-Match: \"v" + std::to_wstring(i) + L"\"\r\n" : L"")});
    std::vector<HANDLE> threads;
    auto t = Clock::now();
    for (BareGet& get : gets) threads.push_back(CreateThread(nullptr, 256 * 1024, BareGetThread, &get, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    const double seconds = Seconds(t);
    for (HANDLE thread : threads) CloseHandle(thread);
    CloseHandle(slots);
    for (const BareGet& get : gets)
        if (get.status != status) std::printf("a bare request was answered %lu\n", get.status);
    return seconds;
}

// The run's servers and what each phase measures; each phase prints its figures.
struct NetBench {
    std::vector<std::unique_ptr<HttpServer>> servers;
    std::vector<std::string> urls; // the 20 feeds, 300 ms late

    // Serves every feed of the run under `prefix` (feed f on server f % kServers, as `reply(f)`
    // gives it) and returns their addresses in feed order.
    std::vector<std::string> ServeFeeds(const char* prefix, const std::function<HttpServer::Reply(int)>& reply)
    {
        std::vector<std::string> served;
        for (int f = 0; f < kServers * kFeedsPerServer; ++f) {
            HttpServer& server = *servers[f % kServers];
            const std::string path = prefix + std::to_string(f) + ".xml";
            server.Serve(path, reply(f));
            served.push_back(server.Url(path));
        }
        return served;
    }
    void FirstRefreshes();
    void SilentTick();
    void UnchangedTicks(int ticks);
};

// 1. First refresh: one feed, then 20 feeds on 10 servers, all 300 ms late; the same GETs bare.
void NetBench::FirstRefreshes()
{
    size_t items = 0;
    double spread = 0; // of the requests' arrival at the servers: the smallest of the rounds
    auto firstRefresh = [&](const std::vector<std::string>& list) {
        SetFeedList(list);
        spread = 0;
        return BestOf(3, [&] {
            for (auto& server : servers) server->ClearRequests();
            Plugin plugin;
            double seconds = plugin.Start();
            items = host::Host::Get().panel().items.size();
            Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
            for (auto& server : servers)
                for (Clock::time_point at : server->RequestTimes()) {
                    first = std::min(first, at);
                    last = std::max(last, at);
                }
            const double roundSpread = std::chrono::duration<double>(last - first).count();
            if (spread == 0 || roundSpread < spread) spread = roundSpread;
            return seconds;
        });
    };
    const double one = firstRefresh({urls[0]});
    const double twenty = firstRefresh(urls);
    HINTERNET session = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    const double bareOne = BestOf(3, [&] { return BareGets(session, {urls[0]}, false, kMaxConnections, 200); });
    const double bareTwenty = BestOf(3, [&] { return BareGets(session, urls, false, kMaxConnections, 200); });
    const double bareUnlimited = BestOf(3, [&] { return BareGets(session, urls, false, 64, 200); });
    InternetCloseHandle(session);

    std::printf("latency per request          %d ms; %d feeds on %d servers, %d entries each\n",
                kLatencyMs, kServers * kFeedsPerServer, kServers, kNetEntries);
    std::printf("first refresh, one feed      %.3f s (best of 3; the floor)\n", one);
    std::printf("first refresh, 20 feeds      %.3f s (best of 3), %zu items\n", twenty, items);
    std::printf("request spread, 20 feeds     %.3f s from the first request's arrival to the last's (best "
                "of 3; target <= 0.1)\n", spread);
    std::printf("ratio 20 feeds / one         %.2f (target <= 1.3; one after another about 20)\n",
                one > 0 ? twenty / one : 0.0);
    std::printf("bare WinINet GETs side by side: one %.3f s; 20 at most %d at a time %.3f s (ratio %.2f), "
                "20 at once %.3f s (ratio %.2f)\n", bareOne, kMaxConnections, bareTwenty, bareTwenty / bareOne,
                bareUnlimited, bareUnlimited / bareOne);
    std::printf("ratio 20 feeds / bare 20     %.2f (the network's floor under the same limits)\n",
                twenty / bareTwenty);
}

// 2. A tick with one silent feed among the 20 (each feed has a new entry, so the tick parses and walks).
void NetBench::SilentTick()
{
    std::vector<std::string> withSilent = urls;
    HttpServer::Reply silent = vexatest::FeedReply(FeedDocument(99));
    silent.silent = true;
    servers[0]->Serve("/silent.xml", silent);
    withSilent.insert(withSilent.begin() + 10, servers[0]->Url("/silent.xml"));
    double tickSilent = 0;
    {
        SetFeedList(urls);
        Plugin plugin;
        plugin.Start();
        SetFeedList(withSilent);
        ServeFeeds("/feed", [](int f) {
            return vexatest::FeedReply(FeedDocument(f) + vexatest::RssEntry("New " + std::to_string(f)), kLatencyMs);
        });
        tickSilent = plugin.Tick();
    }
    servers[0]->Stop(); // ends the silent answer, so its worker ends now
    servers[0]->Start();
    vexa::FetchJob::WaitForWorkers(20000);
    std::printf("tick with one silent feed    %.3f s on the host thread\n", tickSilent);
    std::printf("ratio tick / 2 s wait        %.2f (target <= 1 plus the parse and the walk)\n", tickSilent / 2.0);
}

// 3. Unchanged refresh against 304 answers (no latency), and the same requests made bare;
// 4. many unchanged ticks.
void NetBench::UnchangedTicks(int ticks)
{
    const std::vector<std::string> plain = ServeFeeds("/tagged", [](int f) {
        HttpServer::Reply reply = vexatest::FeedReply(FeedDocument(f));
        reply.etag = "\"v" + std::to_string(f) + "\"";
        return reply;
    });
    SetFeedList(plain);
    Plugin plugin;
    plugin.Start();
    auto bytesSent = [&] {
        std::size_t total = 0;
        for (auto& server : servers) total += server->BodyBytesSent();
        return total;
    };
    // Rounds of the tick and of its floor take turns, so a busy moment of the machine
    // falls on both alike.
    double unchanged = 0, bare304 = 0;
    std::size_t unchangedBytes = 0;
    HINTERNET session = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    BareGets(session, plain, true, kMaxConnections, 304);
    for (int round = 0; round < 7; ++round) {
        std::size_t before = bytesSent();
        double seconds = plugin.Tick();
        unchangedBytes += bytesSent() - before;
        if (round == 0 || seconds < unchanged) unchanged = seconds;
        seconds = BareGets(session, plain, true, kMaxConnections, 304);
        if (round == 0 || seconds < bare304) bare304 = seconds;
    }
    InternetCloseHandle(session);
    std::printf("20 bare conditional GETs side by side (304s)  %.4f s (best of 7; the floor)\n", bare304);
    std::printf("unchanged tick (304s)        %.4f s (best of 7)\n", unchanged);
    std::printf("ratio unchanged / bare 304s  %.2f (target <= 1.2)\n", bare304 > 0 ? unchanged / bare304 : 0.0);
    std::printf("feed bytes in unchanged ticks %zu (target 0)\n", unchangedBytes);

    for (int i = 0; i < 5; ++i) plugin.Tick(); // settle
    vexa::FetchJob::WaitForWorkers(5000);
    const Usage before;
    const long threadsBefore = vexatest::ThreadCount();
    const DWORD handlesBefore = vexatest::HandleCount();
    const size_t itemsBefore = host::Host::Get().panel().items.size();
    double slowestTick = 0;
    int slowTicks = 0;
    auto t = Clock::now();
    for (int i = 0; i < ticks; ++i) {
        double seconds = plugin.Tick();
        slowestTick = std::max(slowestTick, seconds);
        slowTicks += seconds > 0.5;
    }
    const double manyTicks = Seconds(t);
    const std::vector<std::string> lateItems = HeadingsFrom(itemsBefore);
    vexa::FetchJob::WaitForWorkers(5000);
    Sleep(200); // the servers' connection threads finish
    const long long bytesGrowth = before.BytesGrowth();
    const long lockGrowth = before.LockGrowth(), hostGrowth = before.HostGrowth();
    const long threadGrowth = vexatest::ThreadCount() - threadsBefore;
    const long long handleGrowth = static_cast<long long>(vexatest::HandleCount()) - handlesBefore;
    std::printf("%d unchanged ticks           %.3f s (%.4f s each)\n", ticks, manyTicks,
                ticks ? manyTicks / ticks : 0.0);
    std::printf("slowest of them              %.3f s; %d took over 0.5 s\n", slowestTick, slowTicks);
    for (const std::string& heading : lateItems)
        std::printf("  item added by an unchanged tick: \"%s\"\n", heading.c_str());
    std::printf("growth over them             %ld live Vexa objects, %ld host objects, %ld threads, "
                "%lld handles, %lld private bytes\n",
                lockGrowth, hostGrowth, threadGrowth, handleGrowth, bytesGrowth);
}

int BenchNet(int ticks)
{
    vexatest::RegistryOverride hkcu(HKEY_CURRENT_USER);
    auto classes = std::make_unique<host::ClassRegistration>();
    host::Host::Get().reset();
    NetBench bench;
    for (int s = 0; s < kServers; ++s) {
        bench.servers.push_back(std::make_unique<HttpServer>());
        if (!bench.servers.back()->Start()) {
            std::printf("a loopback server did not start\n");
            return 1;
        }
    }
    bench.urls = bench.ServeFeeds("/feed", [](int f) { return vexatest::FeedReply(FeedDocument(f), kLatencyMs); });
    bench.FirstRefreshes();
    bench.SilentTick();
    bench.UnchangedTicks(ticks);
    for (auto& server : bench.servers) server->Stop();
    return 0;
}

// ---- parse: a 5000-entry feed served over loopback, loaded into a new store (its own
// download, then its parse from memory), against a bare parse of the same bytes from memory by
// the same reader with handlers that do nothing; once with Latin text and once with Russian and
// Chinese text. Also the store's parse alone of the same bytes, and the memory held per stored
// record against the bytes of its texts. ----

// A content handler that accepts every event and does nothing with it.
class EmptyHandler final
    : public vexa::UncountedUnknown<ISAXContentHandler, &vexa::msxml::IID_ISAXContentHandler> {
    using Text = const wchar_t*;
public:
    STDMETHODIMP putDocumentLocator(ISAXLocator*) override { return S_OK; }
    STDMETHODIMP startDocument() override { return S_OK; }
    STDMETHODIMP endDocument() override { return S_OK; }
    STDMETHODIMP startPrefixMapping(Text, int, Text, int) override { return S_OK; }
    STDMETHODIMP endPrefixMapping(Text, int) override { return S_OK; }
    STDMETHODIMP startElement(Text, int, Text, int, Text, int, ISAXAttributes*) override { return S_OK; }
    STDMETHODIMP endElement(Text, int, Text, int, Text, int) override { return S_OK; }
    STDMETHODIMP characters(Text, int) override { return S_OK; }
    STDMETHODIMP ignorableWhitespace(Text, int) override { return S_OK; }
    STDMETHODIMP processingInstruction(Text, int, Text, int) override { return S_OK; }
    STDMETHODIMP skippedEntity(Text, int) override { return S_OK; }
};

// A feed like LargeFeed, written in Russian and Chinese: every title and description is
// text outside Latin-1 (two and three bytes a character in UTF-8).
std::string NonLatinFeed(int count, std::size_t descriptionBytes)
{
    const std::string russian = "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8 \xD0\xB4\xD0\xBD\xD1\x8F, ";
    const std::string chinese = "\xE5\x8C\x97\xE4\xBA\xAC\xE4\xBB\x8A\xE6\x97\xA5\xE5\xA4\xA9\xE6\xB0\x94\xE6\x99\xB4\xE6\x9C\x97\xE3\x80\x82";
    std::string filler;
    while (filler.size() < descriptionBytes)
        filler += russian + chinese;
    std::string body = "<title>\xD0\x9B\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0</title><link>http://example.invalid/</link>\n";
    body.reserve(count * (filler.size() + 160));
    char number[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(number, sizeof number, "%05d", i);
        body += vexatest::RssEntry(russian + chinese + number, std::string("http://example.invalid/entries/") + number,
                                   filler);
    }
    return vexatest::RssDocument(body);
}

// The bare reader's parse of `bytes` from memory, through the stream that the store reads a
// download through: one over the bytes, with no copy of them (a memory stream's copy of the
// whole document would be counted in the floor and not in the store's parse).
HRESULT ParseFromMemory(ISAXXMLReader* reader, const std::string& bytes)
{
    static vexa::CByteStream stream; // as the store's, it outlives every parse that reads it
    stream.Reset(bytes.data(), bytes.size());
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_UNKNOWN;
    V_UNKNOWN(&source) = static_cast<IStream*>(&stream);
    return reader->parse(source);
}

// The memory that a store's records hold per record, and the bytes of their texts.
struct Held {
    long long bytes = g_liveBytes, blocks = g_liveBlocks;
    double text = 0, bytesPerRecord = 0, blocksPerRecord = 0;
    void Measure(const CRssStore& store)
    {
        const int count = store.Count();
        long long textBytes = 0;
        for (const CRssItem& r : store.Items()) {
            textBytes += static_cast<long long>(r.Author.size() + r.Title.size() + r.Genre.size() +
                                                r.Price.size() + r.Published.size() + r.Description.size());
        }
        bytesPerRecord = static_cast<double>(g_liveBytes - bytes) / count;
        blocksPerRecord = static_cast<double>(g_liveBlocks - blocks) / count;
        text = static_cast<double>(textBytes) / count;
    }
};

// The feed's bytes with every entry's title marked by `mark`: a document of entries that a
// store which has read the feed with other marks does not hold yet.
std::string Marked(const std::string& bytes, char mark)
{
    const std::string tag = "<item><title>";
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = bytes.find(tag, from)) != std::string::npos; from = at + tag.size())
        out.append(bytes, from, at + tag.size() - from) += mark;
    return out.append(bytes, from, std::string::npos);
}

// Median times of a bare parse of the feed's bytes from memory, of a store load of its URL
// and of the store's parse of the same bytes, and the memory held per record after the first
// load; prints them. False when a load failed.
// As in the plugin, one store and its reader read every document (new entries, an address of
// its own), and one bare reader reads them too: each frees its last document's strings when
// it begins the next.
bool Measure(ISAXXMLReader* reader, const char* label, const std::string& url, const std::string& bytes, int entries)
{
    bool ok = true;
    constexpr int kRounds = 7;
    std::vector<double> bare, store, parse;
    Held held;
    int count = 0;
    std::vector<std::string> documents; // one for each round and one to warm up with
    for (int round = 0; round <= kRounds; ++round)
        documents.push_back(Marked(bytes, static_cast<char>('a' + round)));
    vexa::FeedParser parser;
    CRssStore parsed;
    auto parseInStore = [&](int round) {
        std::string downloaded = documents[round];
        const std::string address = url + "?round=" + std::to_string(round);
        const int before = parsed.Count();
        const auto t = Clock::now();
        vexa::ParsedFeed feed = parser.Parse(std::move(downloaded), address);
        const bool loaded = feed.report.read;
        parsed.Merge(address, std::move(feed), loaded);
        const double seconds = Seconds(t);
        ok = ok && loaded && parsed.Count() == before + entries;
        return seconds;
    };
    ParseFromMemory(reader, documents[kRounds]); // warm up once
    parseInStore(kRounds);
    for (int round = 0; round < kRounds; ++round) {
        auto t = Clock::now();
        HRESULT hr = ParseFromMemory(reader, documents[round]);
        bare.push_back(Seconds(t));
        ok = ok && !VEXA_FAILED(hr);
        parse.push_back(parseInStore(round));
        // The memory that records hold is counted in the first round's load only.
        g_tally = round == 0;
        auto fresh = std::make_unique<vexatest::LoadedStore>();
        if (round == 0) held = Held();
        t = Clock::now();
        bool loaded = fresh->Load(url);
        store.push_back(Seconds(t));
        ok = ok && loaded && fresh->Store().Count() == entries;
        count = fresh->Store().Count();
        if (round == 0 && count > 0) held.Measure(fresh->Store());
        g_tally = false;
    }
    const double bareMs = Median(bare) * 1000, storeMs = Median(store) * 1000, parseMs = Median(parse) * 1000;
    const double ratio = parseMs / bareMs;
    // Heap block headers are not requested bytes; count 16 bytes per block on top.
    const double heldPerRecord = held.bytesPerRecord + 16 * held.blocksPerRecord;
    const double memoryLimit = 2 * held.text + 150;
    std::printf("%s feed: %d entries, %zu bytes, median of 7 rounds\n", label, entries, bytes.size());
    std::printf("bare parse, memory:  %8.1f ms (the floor)\n", bareMs);
    std::printf("store load:          %8.1f ms (download and parse)\n", storeMs);
    std::printf("store parse alone:   %8.1f ms (the same bytes from memory, into a store that reads on)\n", parseMs);
    std::printf("ratio load/bare:     %8.3f (the rest of the load is its download)\n", storeMs / bareMs);
    std::printf("ratio parse/bare:    %8.3f (target <= 1.2) %s\n", ratio, ratio <= 1.2 ? "ok" : "OVER");
    std::printf("records stored:      %8d\n", count);
    std::printf("text bytes/record:   %8.1f\n", held.text);
    std::printf("held bytes/record:   %8.1f requested, %.1f blocks, %.1f with headers\n",
                held.bytesPerRecord, held.blocksPerRecord, heldPerRecord);
    std::printf("memory limit/record: %8.1f (2 x text + 150) %s\n", memoryLimit,
                heldPerRecord <= memoryLimit ? "ok" : "OVER");
    return ok;
}

int BenchParse(int)
{
    constexpr int kEntries = 5000;
    HttpServer server;
    if (!server.Start()) {
        std::printf("cannot start the loopback server\n");
        return 1;
    }
    const std::string latin = vexatest::LargeFeed(kEntries, 330);
    const std::string nonLatin = NonLatinFeed(kEntries, 330);
    server.Serve("/feed.xml", latin);
    server.Serve("/nonlatin.xml", nonLatin);

    // The bare reader: the same class the parser picks, with empty handlers.
    const DWORD context = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
    vexa::com_ptr<ISAXXMLReader> reader;
    if (VEXA_FAILED(CoCreateInstance(vexa::msxml::CLSID_SAXXMLReader40, nullptr, context,
                                     vexa::msxml::IID_ISAXXMLReader, reader.put_void())))
        CoCreateInstance(vexa::msxml::CLSID_SAXXMLReader60, nullptr, context,
                         vexa::msxml::IID_ISAXXMLReader, reader.put_void());
    EmptyHandler handler;
    if (!reader || VEXA_FAILED(reader->putContentHandler(&handler))) {
        std::printf("no SAX reader\n");
        return 1;
    }
    bool ok = Measure(reader.get(), "Latin", server.Url("/feed.xml"), latin, kEntries);
    std::printf("\n");
    ok = Measure(reader.get(), "Russian and Chinese", server.Url("/nonlatin.xml"), nonLatin, kEntries) && ok;
    reader.reset();
    server.Stop();
    return ok ? 0 : 1;
}

// ---- refresh: the real plugin and the host stand-in over 50 feeds of 100 entries each from the
// loopback server: the first refresh, an unchanged non-clearing refresh, the bare parse of the
// same URLs with empty handlers (the floor), their ratio, the time per added item, the growth
// of private bytes and live objects over many unchanged refreshes, and the health records'
// writes of a tick in which every record changes (the worst: a new minute) against the
// unchanged refresh. ----
constexpr int kRefreshFeeds = 50;
constexpr int kRefreshEntries = 100;

struct NullHandlers final : IXmlParserCallback {
    void OnStartElement(const XmlElement&) override {}
    void OnCharacters(std::string_view, int) override {}
    void OnEndElement(const XmlElement&) override {}
    void OnError(int, int, const std::string&, HRESULT) override {}
    bool IsAborted(const XmlElement&) override { return false; }
};

std::string DefaultDestination()
{
    const wchar_t* text = nullptr;
    int n = LoadStringW(vexa::Module::Instance(), IDS_DEFAULT_DEST, reinterpret_cast<LPWSTR>(&text), 0);
    return vexatest::Narrow(std::wstring(text, n));
}

// Bare parse: the same URLs, empty handlers, the best of three.
double BareParse(const std::vector<std::string>& urls)
{
    CXmlParser parser;
    NullHandlers handlers;
    parser.SetCallback(&handlers);
    parser.Parse(urls[1]); // warm-up of the reader and the connection machinery
    return BestOf(3, [&] { return Timed([&] { for (const std::string& url : urls) parser.Parse(url); }); });
}

// Every record rewritten once, as at a minute's turn: the best of three.
double HealthWrites(const std::vector<std::string>& urls)
{
    std::vector<std::wstring> addresses;
    for (const std::string& url : urls) addresses.push_back(vexatest::Widen(url));
    std::vector<FeedHealth> records = ReadFeedHealth(addresses);
    return BestOf(3, [&] {
        for (FeedHealth& record : records) record.lastAttempt += 60ull * 10000000;
        return Timed([&] { for (const FeedHealth& record : records) WriteFeedHealth(record); });
    });
}

int BenchRefresh(int unchangedRuns)
{
    vexatest::RegistryOverride hkcu(HKEY_CURRENT_USER);
    HttpServer server;
    if (!server.Start()) {
        std::printf("the loopback server did not start\n");
        return 1;
    }
    std::vector<std::string> urls = {DefaultDestination()}; // fetched by every refresh too
    for (int f = 0; f < kRefreshFeeds; ++f) {
        std::string path = "/feed" + std::to_string(f) + ".xml";
        server.Serve(path, DistinctFeed(f, kRefreshEntries, 300));
        urls.push_back(server.Url(path));
    }
    vexatest::WriteFeedList(std::vector<std::string>(urls.begin() + 1, urls.end()));

    host::Host::Get().reset();
    long startLocks = vexa::Module::LockCount();
    long startHost = host::LiveObjects();
    auto classes = std::make_unique<host::ClassRegistration>();
    const double bare = BareParse(urls);

    {
        Plugin plugin;
        const double first = plugin.Start(); // start-up: the first, clearing refresh
        const size_t added = host::Host::Get().panel().items.size();
        const double unchanged = BestOf(3, [&] { return plugin.Refresh(); });
        const double healthWrites = HealthWrites(urls);

        host::Host::Get().clearLog();
        const Usage before;
        CVexaPlugin* refreshed = plugin.Get();
        const double many = Timed([&] { for (int i = 0; i < unchangedRuns; ++i) refreshed->Refresh(false); });
        const long long bytesGrowth = before.BytesGrowth();
        const long lockGrowth = before.LockGrowth(), hostGrowth = before.HostGrowth();
        // Items that unchanged feeds still produced: each holds a Vexa and a host object.
        const std::vector<std::string> lateHeadings = HeadingsFrom(added);

        std::printf("start-up result            0x%08lX\n", static_cast<unsigned long>(plugin.startResult));
        std::printf("feeds x entries            %d x %d (+ the default destination)\n", kRefreshFeeds, kRefreshEntries);
        std::printf("first refresh              %.3f s, %zu items added\n", first, added);
        std::printf("unchanged refresh (best 3) %.3f s\n", unchanged);
        std::printf("bare parse (best of 3)     %.3f s\n", bare);
        std::printf("ratio unchanged / bare     %.3f (target <= 1.15)\n", bare > 0 ? unchanged / bare : 0.0);
        std::printf("health writes, all changed %.4f s, ratio to the unchanged refresh %.4f (target <= 0.05)\n",
                    healthWrites, unchanged > 0 ? healthWrites / unchanged : 0.0);
        std::printf("per added item             %.1f us (first refresh less bare parse: %.1f us)\n",
                    added ? first * 1e6 / added : 0.0, added ? (first - bare) * 1e6 / added : 0.0);
        std::printf("%d unchanged refreshes     %.3f s (%.3f s each)\n", unchangedRuns, many,
                    unchangedRuns ? many / unchangedRuns : 0.0);
        std::printf("private bytes growth       %lld bytes\n", bytesGrowth);
        std::printf("live objects growth        %ld Vexa, %ld host\n", lockGrowth, hostGrowth);
        std::printf("items added by unchanged   %zu\n", lateHeadings.size());
        for (const std::string& heading : lateHeadings)
            std::printf("  late item \"%s\"\n", heading.c_str());
    }
    classes.reset();
    server.Stop();
    std::printf("live objects at the end    %ld Vexa, %ld host\n", vexa::Module::LockCount() - startLocks,
                host::LiveObjects() - startHost);
    return 0;
}

// ---- panelwindow (needs an X server): a paint of the sidebar's window with 5000 items against
// the floor of a paint with 10 items (a full view either way): in place, a page down with every
// row in view new (texts laid out as they come into view), and the time per item of catching up
// with 5000 new items. ----

bool AddItems(IDisplayPluginHelper* helper, int count)
{
    for (int i = 0; i < count; ++i) {
        vexa::com_ptr<IDisplayContentItemHelper> item;
        if (FAILED(host::CreateContentItemHelper(nullptr, IID_IDisplayContentItemHelper, item.put_void())))
            return false;
        std::wstring title = L"Entry number " + std::to_wstring(i + 1) + L" of a long feed";
        item->put_heading(vexa::unique_bstr::from(title + L": "));
        item->put_snippet(vexa::unique_bstr::from(
            title + L":\n<p>A description with <b>markup</b> &amp; entities, long enough to wrap over "
                    L"more than the three lines a row shows of it.</p>\n\nhttp://example.org/" +
            std::to_wstring(i)));
        item->put_time_created(45000.5);
        if (FAILED(helper->AddContentItem(item.get(), 9))) return false;
    }
    return true;
}

// Seconds per paint, each after `scroll` (a WM_VSCROLL code, or -1 for none).
double PaintTime(host::PanelWindow& window, int paints, int scroll)
{
    auto paint = [&] {
        InvalidateRect(window.hwnd(), nullptr, FALSE);
        UpdateWindow(window.hwnd());
    };
    paint(); // warm
    auto start = Clock::now();
    for (int i = 0; i < paints; ++i) {
        if (scroll >= 0) SendMessageW(window.hwnd(), WM_VSCROLL, static_cast<WPARAM>(scroll), 0);
        paint();
    }
    return Seconds(start) / paints;
}

int BenchPanelWindow(int paints)
{
    if (paints <= 0) paints = 100;
    host::ClassRegistration classes;
    vexa::com_ptr<IDisplayPluginHelper> helper;
    host::PanelWindow window(host::PanelWindow::Commands{});
    if (FAILED(classes.result()) ||
        FAILED(CoCreateInstance(CLSID_DisplayPluginHelper, nullptr, CLSCTX_INPROC, IID_IDisplayPluginHelper,
                                helper.put_void())) ||
        !window.Create()) {
        fprintf(stderr, "bench_panelwindow: cannot set up the host or the window (no display?)\n");
        helper.reset();
        host::Host::Get().reset();
        return 1;
    }
    // The floor: ten items, a full view, texts laid out once.
    AddItems(helper.get(), 10);
    window.Sync();
    double floor = PaintTime(window, paints, -1);

    helper->RemoveAllContentItems();
    window.Sync();
    double perItem = Timed([&] {
        AddItems(helper.get(), 5000);
        window.Sync();
    }) / 5000;
    double inPlace = PaintTime(window, paints, -1);
    double paging = PaintTime(window, std::min(paints, 5000 / 8), SB_PAGEDOWN);

    printf("paint, 10 items (floor):           %8.3f ms\n", floor * 1e3);
    printf("paint in place, 5000 items:        %8.3f ms  ratio %.2f\n", inPlace * 1e3, inPlace / floor);
    printf("page down and paint, 5000 items:   %8.3f ms  ratio %.2f\n", paging * 1e3, paging / floor);
    printf("adding 5000 items, per item:       %8.3f us (host calls and the window catching up)\n", perItem * 1e6);
    printf("rows drawn by the last paint:      %8zu of %zu\n", window.PaintedRows(), window.RowCount());
    helper.reset();
    host::Host::Get().reset();
    return 0;
}

// ---- picturesoak: a month of pictures. 200 feeds on 4 loopback servers, each moving on by one
// entry per refresh (ten listed), every entry naming a picture of its own; the refreshes are
// timer ticks sent at once, and every tenth refresh clears the panel (as the user's "refresh
// now" does), so the host stand-in lets its items go. From refresh SOAK_FROM (a fifth of the
// run, 200 for 1000) on, the process is sampled every 10 refreshes at rest and the growth per
// refresh fitted: its private memory (as Linux counts it under Wine), the blocks its heaps hand
// out and hold free, the C++ heap's live bytes, handles, GDI objects, threads, the bitmaps that
// Vexa's cards hold, and the keys of the store (the entries that passed). Memory is also given
// per entry that passed. Then the platform's floor, in the same process: the same requests and
// decodes made with bare WinINet and WIC calls, each on a thread of its own as the plugin's
// workers do, their growth per call; the growth the soak's requests and decodes would cause at
// those rates is taken from the soak's to give Vexa's own. `picturesoak N off` runs the same
// feeds without pictures. Not part of the default run: `vexabench picturesoak [refreshes [off]]`. ----
constexpr int kSoakServers = 4;
constexpr int kSoakFeedsPerServer = 50;
constexpr int kSoakFeeds = kSoakServers * kSoakFeedsPerServer;

// The slope of ys against xs (least squares).
double Slope(const std::vector<double>& xs, const std::vector<double>& ys)
{
    double n = static_cast<double>(xs.size()), sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        sx += xs[i];
        sy += ys[i];
        sxx += xs[i] * xs[i];
        sxy += xs[i] * ys[i];
    }
    const double d = n * sxx - sx * sx;
    return d != 0 ? (n * sxy - sx * sy) / d : 0;
}

// The columns sampled, each fitted against the refresh (or call) number.
enum Column { kPrivate, kHeapInUse, kHeapFree, kCxxHeap, kHandles, kGdi, kThreads, kBitmaps, kKeys, kColumns };
struct Samples {
    std::vector<double> at;
    std::vector<double> values[kColumns];
    double Growth(Column c) const { return Slope(at, values[c]); }
    double Last(Column c) const { return values[c].empty() ? 0 : values[c].back(); }
};

// GDI objects of the process: the system's count; under Wine, which counts none, the entries
// of the process's GDI handle table in use (PEB GdiSharedHandleTable, 64Ki entries).
double GdiObjects()
{
    if (DWORD n = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)) return n;
#ifdef _WIN64
    struct Entry {
        ULONGLONG object;
        ULONG owner;
        USHORT unique;
        UCHAR type;
        UCHAR flags;
        ULONGLONG user;
    };
    // The process's PEB holds the table at 0xf8.
    struct BasicInformation {
        LONG exitStatus;
        const unsigned char* peb;
        ULONG_PTR rest[4];
    } basic{};
    using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    if (!query || query(GetCurrentProcess(), 0 /* ProcessBasicInformation */, &basic, sizeof basic, nullptr) != 0 ||
        !basic.peb)
        return 0;
    const unsigned char* peb = basic.peb;
    const auto* table = *reinterpret_cast<const Entry* const*>(peb + 0xf8);
    if (!table) return 0;
    MEMORY_BASIC_INFORMATION info{};
    if (!VirtualQuery(table, &info, sizeof info) || info.State != MEM_COMMIT) return 0;
    const std::size_t readable = static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize -
                                 reinterpret_cast<const unsigned char*>(table);
    const std::size_t entries = std::min<std::size_t>(0x10000, readable / sizeof(Entry));
    double used = 0;
    for (std::size_t i = 0; i < entries; ++i)
        if (table[i].type) ++used;
    return used;
#else
    return 0;
#endif
}

// Distinct bitmaps that the panel's items and Vexa's cards hold.
double HeldBitmaps(CVexaPlugin* plugin)
{
    std::vector<OLE_HANDLE> seen;
    for (const host::PanelItem& item : host::Host::Get().panel().items) {
        SHORT type = 0;
        OLE_HANDLE handle = 0;
        if (item.state && item.state->image && SUCCEEDED(item.state->image->get_Type(&type)) &&
            type == PICTYPE_BITMAP && SUCCEEDED(item.state->image->get_Handle(&handle)))
            seen.push_back(handle);
    }
    std::sort(seen.begin(), seen.end());
    const double onPanel = static_cast<double>(std::unique(seen.begin(), seen.end()) - seen.begin());
    // A card object not on the panel still holds its bitmap.
    const EntryPictures* pictures = plugin->Pictures();
    return std::max(onPanel, pictures ? static_cast<double>(pictures->CardObjects()) : 0.0);
}

void Sample(Samples& samples, double at, CVexaPlugin* plugin)
{
    const vexatest::HeapUsage heap = vexatest::HeapBytes();
    const double row[kColumns] = {static_cast<double>(vexatest::PrivateBytes()),
                                  static_cast<double>(heap.inUse),
                                  static_cast<double>(heap.free),
                                  static_cast<double>(g_liveBytes.load()),
                                  static_cast<double>(vexatest::HandleCount()),
                                  GdiObjects(),
                                  static_cast<double>(vexatest::ThreadCount()),
                                  plugin ? HeldBitmaps(plugin) : 0.0,
                                  plugin && plugin->Store() ? static_cast<double>(plugin->Store()->Count()) : 0.0};
    samples.at.push_back(at);
    for (int c = 0; c < kColumns; ++c) samples.values[c].push_back(row[c]);
}

// Runs `call` `calls` times, sampling every calls/25 from a fifth on: the growth per call.
Samples Floor(int calls, const std::function<void(int)>& call)
{
    Samples samples;
    const int step = std::max(1, calls / 25);
    for (int i = 1; i <= calls; ++i) {
        call(i);
        if (i % step == 0 && i >= calls / 5) Sample(samples, i, nullptr);
    }
    return samples;
}

// One call on a thread of its own, as the plugin's download workers run.
void OnThread(const std::function<void()>& work)
{
    struct Call {
        static DWORD WINAPI Run(void* param)
        {
            (*static_cast<const std::function<void()>*>(param))();
            return 0;
        }
    };
    HANDLE thread = CreateThread(nullptr, 256 * 1024, &Call::Run, const_cast<std::function<void()>*>(&work),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// The picture's decode as bare WIC calls, in the multithreaded apartment as on a worker.
bool BareDecode(const std::string& body)
{
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool decoded = false;
    {
        vexa::com_ptr<IWICImagingFactory> factory;
        vexa::com_ptr<IWICStream> stream;
        vexa::com_ptr<IWICBitmapDecoder> decoder;
        vexa::com_ptr<IWICBitmapFrameDecode> frame;
        vexa::com_ptr<IWICBitmapSource> converted;
        UINT w = 0, h = 0;
        if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                       factory.put_void())) &&
            SUCCEEDED(factory->CreateStream(stream.put())) &&
            SUCCEEDED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(body.data())),
                                                   static_cast<DWORD>(body.size()))) &&
            SUCCEEDED(factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, decoder.put())) &&
            SUCCEEDED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand)) &&
            SUCCEEDED(decoder->GetFrame(0, frame.put())) && SUCCEEDED(frame->GetSize(&w, &h)) &&
            SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.get(), converted.put()))) {
            std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * h);
            decoded = SUCCEEDED(converted->CopyPixels(nullptr, w * 4, w * h * 4, reinterpret_cast<BYTE*>(pixels.data())));
        }
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return decoded;
}

// The picture's request as bare WinINet calls, as the plugin's transfer makes it: a connection
// and a request of their own through the one session, the body read, both closed.
bool BareGet(HINTERNET session, unsigned short port, const std::wstring& object)
{
    bool read = false;
    if (HINTERNET connection = InternetConnectW(session, L"127.0.0.1", port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)) {
        const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
        if (HINTERNET request = HttpOpenRequestW(connection, L"GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0)) {
            const wchar_t headers[] = L"Accept-Encoding: gzip, deflate\r\n";
            if (HttpAddRequestHeadersW(request, headers, static_cast<DWORD>(wcslen(headers)),
                                       HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE) &&
                HttpSendRequestExW(request, nullptr, nullptr, 0, 0) && HttpEndRequestW(request, nullptr, 0, 0)) {
                char buffer[16 * 1024];
                DWORD got = 0;
                while (InternetReadFile(request, buffer, sizeof buffer, &got) && got) read = true;
            }
            InternetCloseHandle(request);
        }
        InternetCloseHandle(connection);
    }
    return read;
}

std::string g_soakOption; // "off": the soak's entries name no picture

int BenchPictureSoak(int refreshes)
{
    g_tally = true;
    const bool pictures = g_soakOption != "off";
    vexatest::RegistryOverride hkcu(HKEY_CURRENT_USER);
    auto classes = std::make_unique<host::ClassRegistration>();
    host::Host::Get().reset();
    std::vector<std::unique_ptr<HttpServer>> servers;
    const std::string picture = vexatest::Encode(vexatest::Halves(200, 150), GUID_ContainerFormatPng);
    for (int s = 0; s < kSoakServers; ++s) {
        servers.push_back(std::make_unique<HttpServer>());
        if (!servers.back()->Start()) {
            std::printf("picturesoak: a loopback server did not start\n");
            return 1;
        }
        servers.back()->Serve("/p.png", HttpServer::Reply{200, picture, "image/png"});
    }
    const auto feed = [&](int f) -> HttpServer& { return *servers[f % kSoakServers]; };
    long long feedRequests = 0, pictureRequests = 0; // in the fitted refreshes
    // After each refresh: the requests it made, counted from the first sample on.
    const auto takeRequests = [&](bool count) {
        for (auto& server : servers) {
            if (count)
                for (const std::string& target : server->Requests())
                    ++(target.compare(0, 6, "/p.png") == 0 ? pictureRequests : feedRequests);
            server->ClearRequests();
        }
    };
    const auto serveAll = [&](int refresh) {
        for (int f = 0; f < kSoakFeeds; ++f) {
            std::string entries;
            for (int e = refresh + 9; e >= refresh; --e)
                entries += vexatest::RssEntry(
                    "F" + std::to_string(f) + " E" + std::to_string(e), "", "",
                    pictures ? "<media:thumbnail xmlns:media=\"http://search.yahoo.com/mrss/\" url=\"/p.png?f=" +
                                   std::to_string(f) + "&amp;e=" + std::to_string(e) + "\"/>"
                             : std::string());
            feed(f).Serve("/m" + std::to_string(f) + ".xml", vexatest::FeedReply(vexatest::RssDocument(entries)));
        }
        host::Host::Get().clearLog(); // the host stand-in logs every call made to it
    };
    std::vector<std::string> urls;
    for (int f = 0; f < kSoakFeeds; ++f) urls.push_back(feed(f).Url("/m" + std::to_string(f) + ".xml"));
    SetFeedList(urls);
    serveAll(0);
    Plugin plugin;
    plugin.Start();
    const int from = refreshes >= 1000 ? 200 : refreshes / 5;
    Samples soak;
    const auto t = Clock::now();
    // SOAK_SECONDS: a time budget (a loaded machine); the run ends at the first sample past it.
    const double budget = std::getenv("SOAK_SECONDS") ? std::atof(std::getenv("SOAK_SECONDS")) : 0;
    int done = 0;
    for (int r = 1; r <= refreshes; ++r) {
        serveAll(r);
        if (r % 10 == 0) plugin.Get()->Refresh(true);
        else plugin.Tick();
        done = r;
        takeRequests(!soak.at.empty());
        if (r % 10 == 5 && r >= from) {
            // Sampled at rest: the downloads and decodes of pictures still running come and go.
            vexa::FetchJob::WaitForWorkers(30000);
            takeRequests(!soak.at.empty());
            Sample(soak, r, plugin.Get());
            // SOAK_SAMPLES set: every sample too, its columns in the order of Column.
            if (std::getenv("SOAK_SAMPLES")) {
                std::printf("sample %d:", r);
                for (const std::vector<double>& column : soak.values) std::printf(" %.0f", column.back());
                std::printf("\n");
            }
            if (budget > 0 && Seconds(t) > budget) break;
        }
        if (r % 100 == 0) {
            std::printf("refresh %d: %.0f s, %lu KiB private, %lu KiB in heap blocks, %lu handles, %.0f GDI objects, "
                        "%ld threads, %.0f bitmaps held, %d keys stored\n",
                        r, Seconds(t), static_cast<unsigned long>(vexatest::PrivateBytes() >> 10),
                        static_cast<unsigned long>(vexatest::HeapBytes().inUse >> 10), vexatest::HandleCount(),
                        GdiObjects(), vexatest::ThreadCount(), HeldBitmaps(plugin.Get()), plugin.Get()->Store()->Count());
            std::fflush(stdout);
        }
    }
    const int fitted = static_cast<int>(soak.at.empty() ? 0 : soak.at.back() - soak.at.front());
    plugin.unknown.reset();
    host::Host::Get().reset();
    vexa::FetchJob::WaitForWorkers(30000);

    // The platform's floor: bare requests and decodes through the same servers, enough of each
    // for a growth of a few dozen bytes a call to show above the heap's steps.
    const double feedsPerRefresh = fitted ? static_cast<double>(feedRequests) / fitted : 0;
    const double picturesPerRefresh = fitted ? static_cast<double>(pictureRequests) / fitted : 0;
    HINTERNET session = InternetOpenW(L"floor", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    BOOL decode = TRUE;
    InternetSetOptionW(session, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
    const int getCalls = 2000;
    const Samples gets = Floor(getCalls, [&](int i) {
        const std::wstring object = L"/p.png?floor=" + std::to_wstring(i);
        HttpServer& server = *servers[i % kSoakServers];
        OnThread([&] { BareGet(session, server.Port(), object); });
        server.ClearRequests(); // the server's own record of requests is not the platform's
    });
    const int decodeCalls = pictures ? 1000 : 0;
    const Samples decodes = Floor(decodeCalls, [&](int) { OnThread([&] { BareDecode(picture); }); });
    InternetCloseHandle(session);
    for (auto& server : servers) server->Stop();

    const double keysPerRefresh = soak.Growth(kKeys);
    const double floorPerRefresh = (feedsPerRefresh + picturesPerRefresh) * gets.Growth(kPrivate) +
                                   (pictures ? picturesPerRefresh * decodes.Growth(kPrivate) : 0);
    const double memory = soak.Growth(kPrivate);
    const double perEntry = keysPerRefresh > 0 ? memory / keysPerRefresh : 0;
    const double vexaPerEntry = keysPerRefresh > 0 ? (memory - floorPerRefresh) / keysPerRefresh : 0;
    std::printf("per refresh, fitted from refresh %d: private %.0f bytes, heap blocks %.0f bytes in use and %.0f free, "
                "C++ heap %.0f bytes, %.3f handles, %.3f GDI objects, %.3f threads, %.3f bitmaps held (%.0f at the "
                "end); %.1f entries passed (keys stored), %.1f feed and %.1f picture requests\n",
                from, memory, soak.Growth(kHeapInUse), soak.Growth(kHeapFree), soak.Growth(kCxxHeap),
                soak.Growth(kHandles), soak.Growth(kGdi), soak.Growth(kThreads), soak.Growth(kBitmaps),
                soak.Last(kBitmaps), keysPerRefresh, feedsPerRefresh, picturesPerRefresh);
    std::printf("floor per call: bare WinINet GET %.0f bytes private, %.0f in heap blocks (%d calls); bare WIC decode "
                "%.0f bytes private, %.0f in heap blocks (%d calls); at the soak's rates %.0f bytes per refresh\n",
                gets.Growth(kPrivate), gets.Growth(kHeapInUse), getCalls, decodes.Growth(kPrivate),
                decodes.Growth(kHeapInUse), decodeCalls, floorPerRefresh);
    const double handleSlope = soak.Growth(kHandles), gdiSlope = soak.Growth(kGdi), threadSlope = soak.Growth(kThreads);
    // Flat: less than one object in ten refreshes (a sample's noise), memory within its target.
    const bool flat = vexaPerEntry <= 100 && handleSlope < 0.1 && gdiSlope < 0.1 && threadSlope < 0.1 &&
                      soak.Growth(kBitmaps) < 0.1;
    std::printf("picturesoak: %d refreshes (of %d asked) of %d feeds, pictures %s, %.0f entries passed, fitted from refresh %d: memory "
                "%.1f bytes per entry passed, %.1f less the platform's floor (target <= 100); per refresh: %.0f bytes, "
                "%.3f handles, %.3f GDI objects, %.3f threads, %.3f bitmaps: %s\n",
                done, refreshes, kSoakFeeds, pictures ? "on" : "off", soak.Last(kKeys), from, perEntry, vexaPerEntry, memory,
                handleSlope, gdiSlope, threadSlope, soak.Growth(kBitmaps), flat ? "flat" : "GROWS");
    return flat ? 0 : 1;
}

struct Bench {
    const char* name;
    int (*run)(int count);
    int count; // the default count
    bool named = false; // runs only when named (a soak)
};
constexpr Bench kBenches[] = {
    {"net", BenchNet, 200},
    {"panelwindow", BenchPanelWindow, 100},
    {"parse", BenchParse, 0},
    {"picturesoak", BenchPictureSoak, 1000, true},
    {"refresh", BenchRefresh, 200},
};

} // namespace

int main(int argc, char** argv)
{
    const char* only = argc > 1 ? argv[1] : nullptr;
    int status = 0;
    bool known = false;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (const Bench& bench : kBenches) {
        if (only ? std::strcmp(only, bench.name) != 0 : bench.named) continue;
        known = true;
        if (!only) std::printf("=== %s ===\n", bench.name);
        if (only && argc > 3) g_soakOption = argv[3];
        status |= bench.run(only && argc > 2 ? std::atoi(argv[2]) : bench.count);
        std::fflush(stdout);
    }
    CoUninitialize();
    if (!known) std::fprintf(stderr, "usage: vexabench [net|parse|refresh|panelwindow|picturesoak] [count] (picturesoak: [off])\n");
    return known ? status : 2;
}
