// Targets "feeds" and "http": generated documents, mutated or not, read by the real reader
// wrapper straight into the parsing rules and their records (now and then the whole way: from
// a loopback server through the plugin's refresh into the host stand-in), or downloaded by the
// store from servers that misbehave, compared with the model of the parsing rules.
#include <windows.h>

#include <algorithm>

#include "com/ptr.h"
#include "store/rssstore.h"
#include "format/feedparse.h"
#include "net/httpfetch.h"
#include "host/lib/hostlib.h"
#include "plugin/feedloader.h"
#include "plugin/plugin.h"
#include "tests/fuzz/feedgen.h"
#include "tests/fuzz/targets.h"

using namespace vexa;

namespace fuzz {
namespace {

// How the reader wrapper hands text to the store: whole runs as UTF-8.
constexpr Delivery kDelivery = Delivery::RunsUtf8CrAsLf;

using vexatest::HttpServer;

std::string g_previous; // the last document, for splices
unsigned g_serial = 0;

// The loopback server keeps every document it was given: the paths go round, so what it
// holds stays bounded (each is served anew before it is fetched).
std::string NextPath(const char* prefix)
{
    return std::string(prefix) + std::to_string(++g_serial % 64) + ".xml";
}

// Checks what holds for any document: NUMs 0..n-1, keys equal to RssID and Title.
std::string Invariants(const std::vector<StoredRecord>& stored)
{
    std::string diff = CompareStore({}, stored, kDelivery);
    return diff.find("records stored") != std::string::npos ? std::string() : diff;
}

// The plugin's refresh with the feed list holding one address: every record of its store
// ends up in the panel exactly once.
void ThroughPlugin(const std::string& url, const FeedCase* clean, Result& result)
{
    std::wstring wide(url.begin(), url.end());
    std::string data(reinterpret_cast<const char*>(wide.c_str()), (wide.size() + 1) * sizeof(wchar_t));
    WriteFeedList({{L"dest[0]", REG_SZ, data}});
    host::Host::Get().reset();
    {
        vexa::com_ptr<IUnknown> plugin;
        HRESULT hr = CreateVexaPluginInstance(nullptr, IID_IUnknown, plugin.put_void());
        if (hr != S_OK) { result.Fail("plugin creation: " + std::to_string(hr)); return; }
        auto persist = vexa::query<IPersistStreamInit>(plugin.get());
        hr = persist->InitNew();
        if (hr != S_OK) { result.Fail("InitNew: " + std::to_string(hr)); return; }
        auto impl = static_cast<CVexaPlugin*>(vexa::query<IVexaPlugin>(plugin.get()).get());
        std::vector<StoredRecord> stored = ReadStore(*impl->Store());
        std::size_t shown = host::Host::Get().panel().items.size();
        if (clean) {
            std::string diff = CompareStore(ModelEntries(clean->events, url), stored, kDelivery);
            if (!diff.empty()) result.Fail("through the plugin: " + diff);
            if (shown != stored.size())
                result.Fail("panel holds " + std::to_string(shown) + " items for " +
                            std::to_string(stored.size()) + " records");
        } else if (shown > stored.size()) {
            result.Fail("panel holds more items than the store records");
        }
        for (const CRssItem& record : impl->Store()->Items())
            if (clean && !record.IsShown) result.Fail("record not shown: " + record.RssID);
    }
    host::Host::Get().reset();
    vexa::FetchJob::CloseIdleSession(); // as the host's unload check does: no kept requests pile up
    WriteFeedList({});
}

// The parse alone, as a downloaded body is read, its value merged into a store of its own.
class DirectParse {
public:
    bool Load(const std::string& url, std::string body)
    {
        ParsedFeed feed = m_parser.Parse(std::move(body), url);
        const DocumentFacts& facts = feed.report.document;
        if (facts.error && readerError.empty()) {
            char b[64];
            std::snprintf(b, sizeof b, "line %d column %d code 0x%08lX: ", facts.errorLine, facts.errorColumn,
                          static_cast<unsigned long>(facts.errorCode));
            readerError = b + facts.errorMessage;
        }
        const bool read = feed.report.read;
        report = feed.report;
        store.Merge(url, std::move(feed), read);
        return read || report.ReadInPart(); // as the loader counts a load
    }
    // A document read in part is read again (repaired, an entry left out): each reading
    // counts in what the platform's reader keeps.
    void NoteReadings(const std::string& bytes, Result& result) const
    {
        for (int k = report.read ? 0 : 2 + report.leftOut; k > 0; --k) result.documents.push_back(bytes);
    }
    CRssStore store;
    ParseReport report;
    std::string readerError; // the reader's own first error, for the failure file

private:
    FeedParser m_parser;
};

std::string ReaderError(const std::string& bytes)
{
    DirectParse parse;
    parse.Load("http://127.0.0.1/", bytes);
    return parse.readerError;
}

// Where the unchanged start of a mutated document ends: the entries wholly before it must be
// the store's first records, read as the model reads them (nothing invented in their place).
std::string IntactEntries(const FeedCase& doc, const std::string& bytes, const std::string& url,
                          const std::vector<StoredRecord>& stored)
{
    // The platform's reader decodes UTF-16 a block at a time: a broken unit loses the text
    // before it in its block.
    if (doc.usesEntities || doc.entrySpans.empty() || doc.encoding.compare(0, 6, "UTF-16") == 0) return std::string();
    const std::size_t same = static_cast<std::size_t>(
        std::mismatch(doc.bytes.begin(), doc.bytes.begin() + std::min(doc.bytes.size(), bytes.size()), bytes.begin())
            .first - doc.bytes.begin());
    std::size_t endEvent = 0;
    for (const EntrySpan& span : doc.entrySpans)
        if (span.end <= same) endEvent = span.endEvent;
    if (endEvent == 0) return std::string();
    const std::vector<Event> before(doc.events.begin(), doc.events.begin() + static_cast<std::ptrdiff_t>(endEvent));
    const std::string diff = CompareStore(ModelEntries(before, url), stored, kDelivery, true);
    return diff.empty() ? diff : "the entries before the first changed byte (" + std::to_string(same) + "): " + diff;
}

// A clean generated document broken inside one entry: cut short there (in a CDATA section or
// anywhere), a tag closed in the wrong order, or a CDATA section left open. The store must hold
// exactly the model's entries that a reading in part keeps. False when the document has no
// entry to break.
bool RunBroken(Rng& rng, const std::string& url, Result& result)
{
    const FeedCase doc = GenerateFeed(rng);
    if (doc.usesEntities || doc.entrySpans.empty()) return false;
    const std::size_t pick = rng.Below(static_cast<std::uint32_t>(doc.entrySpans.size()));
    const EntrySpan& span = doc.entrySpans[pick];
    // An entry within it (of either format's name, any prefix) ends it for the rules: such
    // entries are not broken here.
    for (std::size_t e = span.firstEvent + 1; e < span.endEvent; ++e)
        if (doc.events[e].type == Event::Start && (doc.events[e].name == "item" || doc.events[e].name == "entry"))
            return false;
    const auto eventsTo = [&doc](std::size_t end) {
        return std::vector<Event>(doc.events.begin(), doc.events.begin() + static_cast<std::ptrdiff_t>(end));
    };
    bool container = false;
    std::vector<ModelEntry> expected = ModelEntries(eventsTo(span.firstEvent), url, &container);
    const std::size_t index = expected.size();
    std::vector<ModelEntry> all = ModelEntries(doc.events, url);
    const bool isEntry = ModelEntries(eventsTo(span.endEvent), url).size() == index + 1;
    // Where no "]]>" follows, a CDATA section opened takes the rest of the document.
    const std::string cdataEnd = AsciiIn(doc.encoding, "]]>");
    const std::size_t lastEnd = doc.bytes.rfind(cdataEnd);
    std::vector<std::size_t> open;
    for (std::size_t m : span.marks)
        if (lastEnd == std::string::npos || m > lastEnd) open.push_back(m);
    std::string bytes;
    std::string shape;
    int leftOut = 0;
    const std::uint32_t kind = rng.Below(3);
    if (kind == 1 && isEntry && all.size() > index + 1 && !span.wraps.empty()) {
        // <x><i>text</x></i> (a name the grammar never writes): the entry is left out, the
        // ones after it are read.
        const auto& wrap = rng.Pick(span.wraps);
        bytes = doc.bytes;
        bytes.insert(wrap.second, AsciiIn(doc.encoding, "</i>"));
        bytes.insert(wrap.first, AsciiIn(doc.encoding, "<i>"));
        shape = "tags closed in the wrong order in entry " + std::to_string(index);
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(index));
        expected = std::move(all);
        leftOut = 1;
    } else if (kind == 2 && !open.empty()) {
        const std::size_t at = rng.Pick(open);
        bytes = doc.bytes;
        bytes.insert(at, AsciiIn(doc.encoding, "<![CDATA["));
        shape = "a CDATA section left open at byte " + std::to_string(at) + " of entry " + std::to_string(index);
    } else {
        std::size_t at = span.begin + rng.Below(static_cast<std::uint32_t>(span.end - span.begin));
        if (!span.cdata.empty() && rng.Chance(30)) {
            const auto& section = rng.Pick(span.cdata);
            at = section.first + rng.Below(static_cast<std::uint32_t>(section.second - section.first));
        }
        bytes = doc.bytes.substr(0, at);
        shape = "cut at byte " + std::to_string(at) + " in entry " + std::to_string(index) + " (bytes " +
                std::to_string(span.begin) + " to " + std::to_string(span.end) + ")";
    }
    result.SetBytes(bytes);
    result.documents.push_back(bytes);
    DirectParse parse;
    const bool loaded = parse.Load(url, bytes);
    parse.NoteReadings(bytes, result);
    const std::vector<StoredRecord> stored = StoredRecords(parse.store.Items());
    if (!parse.report.readAsUtf8.empty()) { // see RunFeeds
        const std::string broken = Invariants(stored);
        if (!broken.empty()) result.Fail(shape + ": " + broken);
        return true;
    }
    const bool expectLoaded = container && !expected.empty();
    std::string diff = CompareStore(expected, stored, kDelivery);
    if (loaded != expectLoaded)
        diff += std::string(diff.empty() ? "" : "; ") + "the load gave " + (loaded ? "true" : "false");
    if (parse.report.read)
        diff += std::string(diff.empty() ? "" : "; ") + "read whole";
    if (parse.report.leftOut != leftOut)
        diff += std::string(diff.empty() ? "" : "; ") + std::to_string(parse.report.leftOut) + " entries left out";
    if (!diff.empty()) result.Fail(shape + ": " + diff + "; reader: " + parse.readerError);
    return true;
}

} // namespace

std::vector<StoredRecord> ReadStore(const CRssStore& store) { return StoredRecords(store.Items()); }

void RunFeeds(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    HttpServer& server = g_ctx->server;
    std::string path = NextPath("/feed/");
    std::string url = server.Url(path);
    if (rng.Chance(25) && RunBroken(rng, url, result)) return;
    FeedCase doc = WebFeed(rng);
    bool mutated = rng.Chance(40);
    std::string bytes = mutated ? Mutate(rng, doc.bytes, g_previous) : doc.bytes;
    g_previous = doc.bytes;
    result.SetBytes(bytes);
    result.documents.push_back(bytes);
    if (rng.Below(200) == 0) { // the whole way: served, downloaded, stored and shown
        server.ClearRequests();
        server.SetMode(HttpServer::Mode::Normal);
        server.Serve(path, bytes, rng.Chance(80) ? "text/xml" : "application/rss+xml");
        ThroughPlugin(url, mutated || doc.usesEntities ? nullptr : &doc, result);
        return;
    }
    DirectParse parse;
    bool loaded = parse.Load(url, bytes);
    parse.NoteReadings(bytes, result);
    std::vector<StoredRecord> stored = StoredRecords(parse.store.Items());
    // The platform's reader knows no entity of a document's own DOCTYPE ("not defined"):
    // such documents are held to the invariants only.
    // A Latin-1 document whose bytes all happen to be UTF-8 is read as UTF-8, as the web means
    // such documents: the model's characters are not what it reads then.
    const bool latinAsUtf8 = !parse.report.readAsUtf8.empty() && doc.encoding == "ISO-8859-1";
    if (!mutated && !doc.usesEntities && !latinAsUtf8) {
        if (!loaded)
            result.Fail("a well-formed " + doc.encoding + " document did not load: " + parse.readerError);
        std::string diff = CompareStore(ModelEntries(doc.events, url), stored, kDelivery);
        if (!diff.empty()) result.Fail(diff);
    } else {
        std::string broken = Invariants(stored);
        // A document the reader refuses as a whole (ERROR_INVALID_DATA: a name too long) reads nothing.
        if (broken.empty() && mutated && parse.report.document.errorCode != HRESULT_FROM_WIN32(ERROR_INVALID_DATA)) {
            broken = IntactEntries(doc, bytes, url, stored);
            if (!broken.empty()) broken += "; reader: " + parse.readerError;
        }
        if (!broken.empty()) result.Fail(broken);
    }
    // A second load of the same document into the same store adds nothing.
    if (rng.Chance(10)) {
        int before = parse.store.Count();
        result.documents.push_back(bytes);
        bool again = parse.Load(url, bytes);
        if (parse.store.Count() != before) result.Fail("a second load added records");
        if (again != loaded) result.Fail("a second load gave another result");
    }
}

namespace {

std::uint32_t Crc32(const std::string& data)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A gzip member holding the data in stored (uncompressed) deflate blocks.
std::string Gzip(const std::string& data)
{
    std::string out("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\xFF", 10);
    std::size_t at = 0;
    do {
        std::size_t len = std::min<std::size_t>(data.size() - at, 65535);
        bool last = at + len == data.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(len & 0xFF);
        out += static_cast<char>(len >> 8);
        out += static_cast<char>(~len & 0xFF);
        out += static_cast<char>((~len >> 8) & 0xFF);
        out.append(data, at, len);
        at += len;
    } while (at < data.size());
    std::uint32_t crc = Crc32(data), size = static_cast<std::uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>((crc >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((size >> (8 * i)) & 0xFF);
    return out;
}

std::string Chunked(Rng& rng, const std::string& body)
{
    std::string out;
    std::size_t at = 0;
    while (at < body.size()) {
        std::size_t len = std::min<std::size_t>(body.size() - at, rng.Range(1, 700));
        char head[32];
        std::snprintf(head, sizeof head, rng.Chance(50) ? "%zx\r\n" : "%zX;ext=1\r\n", len);
        out += head;
        out.append(body, at, len);
        out += "\r\n";
        at += len;
    }
    if (!rng.Chance(5)) out += rng.Chance(90) ? "0\r\n\r\n" : "0\r\nX-Trailer: 1\r\n\r\n";
    return out;
}

// A random answer around a document: status line, headers, framing, encoding. Sets
// `clean` when the answer is a plain, correctly framed 200 with the document as it is.
std::string RandomAnswer(Rng& rng, const std::string& body, const std::string& redirectTo, bool& clean,
                         int* code = nullptr)
{
    clean = true;
    std::string status = "HTTP/1.1 200 OK";
    int pick = rng.Below(20);
    if (code) *code = 200;
    if (pick == 0) { status = "HTTP/1.0 200 OK"; }
    else if (pick == 1) {
        int c = rng.Range(100, 599);
        status = "HTTP/1.1 " + std::to_string(c) + " Whatever";
        clean = false;
        if (code) *code = c;
    }
    else if (pick == 2) {
        if (code) *code = 0;
        status = rng.Pick(std::vector<std::string>{"HTTP/1.1 200", "HTTP/9.9 200 OK", "ICY 200 OK", "garbage", "", "HTTP/1.1 -1 X", "HTTP/1.1 99999999999 X"});
        clean = false;
    }
    else if (pick == 3 && !redirectTo.empty()) {
        status = rng.Pick(std::vector<std::string>{"HTTP/1.1 301 Moved", "HTTP/1.1 302 Found", "HTTP/1.1 307 Temporary", "HTTP/1.1 308 Permanent"});
        clean = false;
        if (code) *code = 302;
    }
    std::string head = status + "\r\n";
    if (rng.Chance(90)) head += "Connection: close\r\n";
    if (rng.Chance(90)) {
        static const std::vector<std::string> types = {"text/xml", "application/rss+xml", "text/xml; charset=utf-8",
                                                       "text/html", "application/octet-stream", ""};
        std::size_t t = rng.Below(static_cast<std::uint32_t>(types.size()));
        head += "Content-Type: " + types[t] + "\r\n";
        if (t > 1) clean = false; // a charset or a type of another kind: no promise
    }
    if (pick == 3 && !redirectTo.empty()) head += "Location: " + redirectTo + "\r\n";
    std::string payload = body;
    if (rng.Chance(10)) {
        head += "Content-Encoding: gzip\r\n";
        payload = Gzip(body);
        if (rng.Chance(30)) { payload[rng.Below(static_cast<std::uint32_t>(payload.size()))] ^= 0x5A; }
        clean = false;
    }
    int framing = rng.Below(10);
    if (framing < 6) {
        head += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
    } else if (framing == 6) {
        long long lie = static_cast<long long>(payload.size()) + rng.Range(-50, 50);
        head += "Content-Length: " + rng.Pick(std::vector<std::string>{std::to_string(lie), "-1", "99999999999999999999", "abc", "", std::to_string(payload.size()) + ", 3"}) + "\r\n";
        clean = false;
    } else if (framing == 7) {
        head += "Transfer-Encoding: chunked\r\n";
        payload = Chunked(rng, payload);
        clean = false;
    } else if (framing == 8) {
        head += "Transfer-Encoding: chunked\r\n";
        std::string framed = Chunked(rng, payload);
        if (!framed.empty()) framed[rng.Below(static_cast<std::uint32_t>(framed.size()))] = 'Z';
        payload = framed;
        clean = false;
    } else {
        clean = false; // no length: the body ends with the connection
    }
    int extras = rng.Chance(70) ? 0 : rng.Range(1, 6);
    for (int i = 0; i < extras; ++i) {
        head += rng.Pick(std::vector<std::string>{"X-A: b", "Cache-Control: no-cache", "ETag: \"x\"",
                                                 "Last-Modified: Tue, 08 Dec 2026 00:00:00 GMT",
                                                 "Set-Cookie: a=b", "Connection: keep-alive",
                                                 "X-Long: " + std::string(rng.Range(100, 9000), 'l'),
                                                 "Bad Header Line", ": no name", "X-Folded: a\r\n  b"});
        head += "\r\n";
    }
    if (rng.Chance(3)) { clean = false; return head; } // no blank line: the head never ends
    return head + "\r\n" + payload;
}

} // namespace

void RunHttp(std::uint64_t inputSeed, Result& result)
{
    Rng rng(inputSeed);
    FeedCase doc = WebFeed(rng);
    bool mutated = rng.Chance(20);
    std::string body = mutated ? Mutate(rng, doc.bytes, g_previous) : doc.bytes;
    g_previous = doc.bytes;
    std::string url;
    bool clean = false;
    int code = 200; // the status of the raw server's answer (0: no valid status line)
    const bool viaRaw = !rng.Chance(40);
    if (!viaRaw) {
        // The loopback server's own misbehaviour modes.
        HttpServer& server = g_ctx->server;
        server.ClearRequests();
        std::string path = NextPath("/h/");
        server.Serve(path, body);
        HttpServer::Options options;
        options.cutAt = rng.Below(static_cast<std::uint32_t>(body.size() + 1));
        options.dripBytes = rng.Range(1, 512);
        options.dripDelayMs = rng.Range(0, 2);
        auto mode = static_cast<HttpServer::Mode>(rng.Below(8));
        server.SetMode(mode, options);
        clean = mode == HttpServer::Mode::Normal || mode == HttpServer::Mode::WrongType ||
                mode == HttpServer::Mode::Chunked ||
                (mode == HttpServer::Mode::SlowDrip && body.size() / options.dripBytes < 400);
        if (mode == HttpServer::Mode::SlowDrip && !clean) server.SetMode(HttpServer::Mode::Normal);
        if (mode == HttpServer::Mode::SlowDrip && !clean) clean = true;
        url = server.Url(path);
        result.SetBytes(body);
    } else {
        RawServer& raw = g_ctx->raw;
        std::string path = NextPath("/r/");
        std::string target = NextPath("/t/");
        std::string answer = RandomAnswer(rng, body, rng.Chance(50) ? raw.Url(target) : target, clean, &code);
        raw.Answer(path, answer);
        // The raw server closes every connection; after an answer that let the client keep
        // it (a redirect's target included), the next request may go out on the closed one
        // and fail: seen 4 times in 10000 inputs, never alone.
        if (!raw.LastAnswerClosed()) clean = false;
        bool redirectClean = false;
        // The redirect's target may redirect back: the store's download bounds the loop.
        raw.Answer(target, RandomAnswer(rng, body, raw.Url(path), redirectClean));
        url = raw.Url(path);
        result.SetBytes(answer);
    }
    result.documents.push_back(body);
    // The store's own load, step by step, so that a failed download shows its error.
    FeedLoader store;
    ULONGLONG started = GetTickCount64();
    vexa::FetchResult answer;
    vexa::FetchRequest request;
    bool loaded = false;
    if (store.PlanLoad(url, request) == FeedLoader::Plan::Download) {
        vexa::com_ptr<vexa::FetchJob> job;
        job.attach(vexa::FetchJob::Start(request));
        if (job && job->WaitUntil(~0ull)) answer = job->TakeResult();
        const DWORD error = answer.error;
        loaded = store.LoadDownloaded(url, answer);
        answer.error = error;
    } else {
        result.Fail("the store does not download " + url);
    }
    ULONGLONG took = GetTickCount64() - started;
    std::vector<StoredRecord> stored = ReadStore(store.Store());
    g_ctx->server.SetMode(HttpServer::Mode::Normal);
    // The store's own download: an error status is a failed load that reads nothing, and
    // no load outlives the download's bounds.
    if (code >= 400 && (loaded || !stored.empty()))
        result.Fail("an answer with status " + std::to_string(code) + " gave records or success");
    const vexa::FetchLimits limits = vexa::GetFetchLimits();
    if (took > limits.connectMs + limits.wholeMs + 5000)
        result.Fail("a load took " + std::to_string(took) + " ms");
    if (clean && !mutated && !doc.usesEntities) {
        std::string diff = CompareStore(ModelEntries(doc.events, url), stored, kDelivery);
        if (!loaded)
            diff = "a clean answer did not load (status " + std::to_string(answer.status) + ", error " +
                   std::to_string(answer.error) + ")" + (diff.empty() ? "" : "; " + diff);
        if (!diff.empty()) {
            std::vector<std::string> requests = g_ctx->raw.Requests();
            std::string last;
            for (std::size_t i = requests.size() > 4 ? requests.size() - 4 : 0; i < requests.size(); ++i)
                last += requests[i] + " ";
            result.Fail(diff + "; reader: " + ReaderError(body) + "; last requests: " + last);
        }
    } else {
        std::string broken = Invariants(stored);
        if (!broken.empty()) result.Fail(broken);
    }
}

} // namespace fuzz
