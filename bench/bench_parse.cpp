// Feed loading benchmark: a 5000-entry feed served over loopback, loaded into a new store
// (its own download, then its parse from memory), against a bare parse of the same bytes from
// memory by the same reader with handlers that do nothing; once with Latin text and once with
// Russian and Chinese text. Also the store's parse alone of the same bytes, and the memory
// held per stored record against the bytes of its texts.
#include <windows.h>
#include <msxml2.h>
#include <shlwapi.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "com/check.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "net/httpfetch.h"
#include "format/msxmlids.h"
#include "plugin/feedloader.h"
#include "store/rssstore.h"
#include "format/uncounted.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/httpserver.h"

using namespace vexa;

// ---- Counting allocator: live bytes and blocks requested through operator new. ----
namespace {
std::atomic<long long> g_liveBytes{0};
std::atomic<long long> g_liveBlocks{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
} // namespace

void* operator new(std::size_t size)
{
    void* block = std::malloc(size + kHeader);
    if (!block)
        throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = size;
    g_liveBytes += static_cast<long long>(size);
    ++g_liveBlocks;
    return static_cast<char*>(block) + kHeader;
}
void operator delete(void* p) noexcept
{
    if (!p)
        return;
    char* block = static_cast<char*>(p) - kHeader;
    g_liveBytes -= static_cast<long long>(*reinterpret_cast<std::size_t*>(block));
    --g_liveBlocks;
    std::free(block);
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try { return operator new(size); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try { return operator new(size); } catch (...) { return nullptr; }
}

namespace {

// A content handler that accepts every event and does nothing with it.
class EmptyHandler final
    : public vexa::UncountedUnknown<ISAXContentHandler, &vexa::msxml::IID_ISAXContentHandler> {
public:
    STDMETHODIMP putDocumentLocator(ISAXLocator*) override { return S_OK; }
    STDMETHODIMP startDocument() override { return S_OK; }
    STDMETHODIMP endDocument() override { return S_OK; }
    STDMETHODIMP startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP endPrefixMapping(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int,
                              ISAXAttributes*) override { return S_OK; }
    STDMETHODIMP endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) override
    {
        return S_OK;
    }
    STDMETHODIMP characters(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP ignorableWhitespace(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP processingInstruction(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP skippedEntity(const wchar_t*, int) override { return S_OK; }
};

double Now()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

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

struct Figures {
    double bareMs = 0, storeMs = 0, parseMs = 0;
    int count = 0;
    double textPerRecord = 0, bytesPerRecord = 0, blocksPerRecord = 0;
};

// The bare reader's parse of `bytes` from memory, as the store parses a download: a stream
// over the bytes, made inside the timed part as the store makes it.
HRESULT ParseFromMemory(ISAXXMLReader* reader, const std::string& bytes)
{
    vexa::com_ptr<IStream> stream;
    stream.attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())));
    if (!stream) return E_OUTOFMEMORY;
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_UNKNOWN;
    V_UNKNOWN(&source) = stream.get();
    return reader->parse(source);
}

// Median times of a bare parse of the feed's bytes from memory, of a store load of its URL
// and of the store's parse of the same bytes, and the memory held per record after the first
// load.
bool Measure(ISAXXMLReader* reader, const std::string& url, const std::string& bytes, int entries,
             Figures& figures)
{
    bool ok = true;
    constexpr int kRounds = 7;
    std::vector<double> bare, store, parse;
    ParseFromMemory(reader, bytes); // warm up once
    for (int round = 0; round < kRounds; ++round) {
        double t0 = Now();
        HRESULT hr = ParseFromMemory(reader, bytes);
        double t1 = Now();
        if (VEXA_FAILED(hr))
            ok = false;
        bare.push_back(t1 - t0);

        {
            CRssStore parsed;
            std::string downloaded = bytes;
            double t4 = Now();
            parsed.BeginLoad(url);
            const bool loaded = parsed.ReadBody(url, downloaded);
            parse.push_back(Now() - t4);
            if (!loaded || parsed.Count() != entries)
                ok = false;
        }

        auto fresh = std::make_unique<vexa::FeedLoader>();
        const long long bytesBefore = g_liveBytes;
        const long long blocksBefore = g_liveBlocks;
        double t2 = Now();
        bool loaded = fresh->Load(url);
        double t3 = Now();
        if (!loaded || fresh->Store().Count() != entries)
            ok = false;
        store.push_back(t3 - t2);
        figures.count = fresh->Store().Count();
        if (round == 0 && figures.count > 0) {
            long long text = 0;
            for (const CRssItem& r : fresh->Store().Items()) {
                text += static_cast<long long>(r.Author.size() + r.Title.size() + r.Genre.size() +
                                               r.Price.size() + r.Published.size() + r.Description.size());
            }
            figures.bytesPerRecord = static_cast<double>(g_liveBytes - bytesBefore) / figures.count;
            figures.blocksPerRecord = static_cast<double>(g_liveBlocks - blocksBefore) / figures.count;
            figures.textPerRecord = static_cast<double>(text) / figures.count;
        }
    }
    for (auto* times : {&bare, &store, &parse})
        std::sort(times->begin(), times->end());
    figures.bareMs = bare[kRounds / 2] * 1000;
    figures.storeMs = store[kRounds / 2] * 1000;
    figures.parseMs = parse[kRounds / 2] * 1000;
    return ok;
}

// Prints one feed's figures; false when a target is missed.
bool Report(const char* label, int entries, std::size_t bytes, const Figures& f)
{
    const double ratio = f.parseMs / f.bareMs;
    // Heap block headers are not requested bytes; count 16 bytes per block on top.
    const double heldPerRecord = f.bytesPerRecord + 16 * f.blocksPerRecord;
    const double memoryLimit = 2 * f.textPerRecord + 150;
    std::printf("%s feed: %d entries, %zu bytes, median of 7 rounds\n", label, entries, bytes);
    std::printf("bare parse, memory:  %8.1f ms (the floor)\n", f.bareMs);
    std::printf("store load:          %8.1f ms (download and parse)\n", f.storeMs);
    std::printf("store parse alone:   %8.1f ms (the same bytes from memory)\n", f.parseMs);
    std::printf("ratio load/bare:     %8.3f (the rest of the load is its download)\n", f.storeMs / f.bareMs);
    std::printf("ratio parse/bare:    %8.3f (target <= 1.2) %s\n", ratio, ratio <= 1.2 ? "ok" : "OVER");
    std::printf("records stored:      %8d\n", f.count);
    std::printf("text bytes/record:   %8.1f\n", f.textPerRecord);
    std::printf("held bytes/record:   %8.1f requested, %.1f blocks, %.1f with headers\n",
                f.bytesPerRecord, f.blocksPerRecord, heldPerRecord);
    std::printf("memory limit/record: %8.1f (2 x text + 150) %s\n", memoryLimit,
                heldPerRecord <= memoryLimit ? "ok" : "OVER");
    return ratio <= 1.2 && heldPerRecord <= memoryLimit;
}

} // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 0;
    {
        constexpr int kEntries = 5000;
        vexatest::HttpServer server;
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

        Figures figures;
        if (!Measure(reader.get(), server.Url("/feed.xml"), latin, kEntries, figures))
            status = 1;
        Report("Latin", kEntries, latin.size(), figures);
        Figures wide;
        if (!Measure(reader.get(), server.Url("/nonlatin.xml"), nonLatin, kEntries, wide))
            status = 1;
        std::printf("\n");
        Report("Russian and Chinese", kEntries, nonLatin.size(), wide);
        reader.reset();
        server.Stop();
    }
    CoUninitialize();
    return status;
}
