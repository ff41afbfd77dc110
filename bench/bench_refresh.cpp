// Refresh benchmark: the real plugin and the host stand-in over 50 feeds of 100 entries each
// from the loopback server. Reports the first refresh, an unchanged non-clearing refresh, the
// bare parse of the same URLs with empty handlers (the floor, measured in the same run), their
// ratio, the time per added item, the growth of private bytes and live objects over many
// unchanged refreshes, and the health records' writes of a tick in which every record
// changes (the worst: a new minute) against the unchanged refresh.
//
// Usage: bench_refresh [unchanged-refresh-count]   (default 200)
#define PSAPI_VERSION 2
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "com/module.h"
#include "format/xmlparser.h"
#include "userdata/feedhealth.h"
#include "host/lib/hostlib.h"
#include "plugin/plugin.h"
#include "resources/resource.h"
#include "userdata/registryhelper.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"
#include "tests/support/processusage.h"

using namespace vexa;

namespace {

constexpr int kFeeds = 50;
constexpr int kEntries = 100;

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

struct NullHandlers final : IXmlParserCallback {
    void OnStartElement(const XmlElement&) override {}
    void OnCharacters(const std::string&, int) override {}
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

int Run(int unchangedRuns)
{
    vexatest::RegistryOverride hkcu(HKEY_CURRENT_USER);
    vexatest::HttpServer server;
    if (!server.Start()) {
        std::printf("the loopback server did not start\n");
        return 1;
    }
    std::vector<std::string> urls = {DefaultDestination()}; // fetched by every refresh too
    {
        vexa::unique_hkey key;
        RegCreateKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, key.put(), nullptr);
        for (int f = 0; f < kFeeds; ++f) {
            std::string path = "/feed" + std::to_string(f) + ".xml";
            // Distinct titles per feed, so every entry becomes an item.
            std::string doc = vexatest::LargeFeed(kEntries);
            for (size_t at = doc.find("Entry "); at != std::string::npos; at = doc.find("Entry ", at + 1))
                doc.replace(at, 5, "F" + std::to_string(f + 100));
            server.Serve(path, doc);
            urls.push_back(server.Url(path));
            std::wstring name = L"dest[" + std::to_wstring(f) + L"]";
            std::wstring url = vexatest::Widen(urls.back());
            RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                           static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t)));
        }
    }

    host::Host::Get().reset();
    long startLocks = vexa::Module::LockCount();
    long startHost = host::LiveObjects();
    auto classes = std::make_unique<host::ClassRegistration>();

    // Bare parse: the same URLs, empty handlers.
    double bare = 0;
    {
        CXmlParser parser;
        NullHandlers handlers;
        parser.SetCallback(&handlers);
        parser.Parse(urls[1]); // warm-up of the reader and the connection machinery
        for (int round = 0; round < 3; ++round) { // the best of three: the machine is shared
            auto t = Clock::now();
            for (const std::string& url : urls) parser.Parse(url);
            double seconds = Seconds(t);
            if (round == 0 || seconds < bare) bare = seconds;
        }
    }

    vexa::com_ptr<IUnknown> unknown;
    CreateVexaPluginInstance(nullptr, IID_IUnknown, unknown.put_void());
    vexa::com_ptr<IVexaPlugin> vexaPlugin = vexa::query<IVexaPlugin>(unknown.get());
    CVexaPlugin* plugin = static_cast<CVexaPlugin*>(vexaPlugin.get());
    auto persist = vexa::query<IPersistStreamInit>(unknown.get());

    auto t = Clock::now();
    HRESULT hr = persist->InitNew(); // start-up: the first, clearing refresh
    double first = Seconds(t);
    size_t added = host::Host::Get().panel().items.size();

    double unchanged = 0;
    for (int round = 0; round < 3; ++round) {
        t = Clock::now();
        plugin->Refresh(false);
        double seconds = Seconds(t);
        if (round == 0 || seconds < unchanged) unchanged = seconds;
    }

    // Every record rewritten once, as at a minute's turn: the best of three.
    double healthWrites = 0;
    {
        std::vector<std::wstring> addresses;
        for (const std::string& url : urls) addresses.push_back(vexatest::Widen(url));
        std::vector<FeedHealth> records = ReadFeedHealth(addresses);
        for (int round = 0; round < 3; ++round) {
            for (FeedHealth& record : records) record.lastAttempt += 60ull * 10000000;
            t = Clock::now();
            for (const FeedHealth& record : records) WriteFeedHealth(record);
            double seconds = Seconds(t);
            if (round == 0 || seconds < healthWrites) healthWrites = seconds;
        }
    }

    host::Host::Get().clearLog();
    SIZE_T bytesBefore = vexatest::PrivateBytes();
    long locksBefore = vexa::Module::LockCount();
    long hostBefore = host::LiveObjects();
    t = Clock::now();
    for (int i = 0; i < unchangedRuns; ++i) plugin->Refresh(false);
    double many = Seconds(t);
    SIZE_T bytesAfter = vexatest::PrivateBytes();
    long locksAfter = vexa::Module::LockCount();
    long hostAfter = host::LiveObjects();
    // Items that unchanged feeds still produced: each holds a Vexa and a host object.
    std::vector<std::wstring> lateHeadings;
    for (size_t i = added; i < host::Host::Get().panel().items.size(); ++i) {
        const auto& state = host::Host::Get().panel().items[i].state;
        lateHeadings.push_back(state && state->heading ? *state->heading : std::wstring(L"?"));
    }

    persist.reset();
    vexaPlugin.reset();
    unknown.reset();
    host::Host::Get().reset();
    classes.reset();
    server.Stop();

    std::printf("start-up result            0x%08lX\n", static_cast<unsigned long>(hr));
    std::printf("feeds x entries            %d x %d (+ the default destination)\n", kFeeds, kEntries);
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
    std::printf("private bytes growth       %lld bytes\n",
                static_cast<long long>(bytesAfter) - static_cast<long long>(bytesBefore));
    std::printf("live objects growth        %ld Vexa, %ld host\n", locksAfter - locksBefore, hostAfter - hostBefore);
    std::printf("items added by unchanged   %zu\n", lateHeadings.size());
    for (const std::wstring& heading : lateHeadings)
        std::printf("  late item \"%s\"\n", vexatest::Narrow(heading).c_str());
    std::printf("live objects at the end    %ld Vexa, %ld host\n", vexa::Module::LockCount() - startLocks,
                host::LiveObjects() - startHost);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = Run(runs);
    CoUninitialize();
    return result;
}
