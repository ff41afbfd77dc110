// The fuzzing program: generated and mutated inputs through the real code paths under Wine,
// with oracles (the model of the parsing rules, Save/Load round trips, the feed list's
// reading rules, exact results of bad calls) and, after every input, the counts of live
// objects; handles, threads and private bytes at checkpoints.
//   fuzz [--seed N] [--count N] [--from N] [--seconds S] [--target feeds|http|registry|stream|calls|opml|html|picture|all]
//        [--replay FILE] [--out PREFIX] [--verbose]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "com/module.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "store/rssstore.h"
#include "net/httpfetch.h"
#include "format/xmlparser.h"
#include "host/lib/hostlib.h"
#include "plugin/plugin.h"
#include "userdata/registryhelper.h"
#include "tests/support/processusage.h"
#include "tests/fuzz/feedgen.h"
#include "tests/fuzz/runner.h"
#include "tests/fuzz/targets.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"

using namespace vexa;

namespace fuzz {

Context* g_ctx = nullptr;

namespace {

// --- what the crash filter and the watchdog need to write a failure file --------------
std::mutex g_currentLock;
std::string g_currentTarget;
std::uint64_t g_currentSeed = 0;
std::string g_currentBytes;
std::atomic<ULONGLONG> g_inputStarted{0};
std::atomic<bool> g_busy{false};
const Options* g_options = nullptr;
Tally g_total;
const Tally* g_running = nullptr; // the current target's tally
vexatest::ChannelCapture* g_channels = nullptr;
DWORD g_hangLimitMs = 60000;

// The input being run, on disk: a fault that takes the process down before any handler
// runs (a smashed stack) still leaves it behind as a failure file.
std::string RunningPath() { return g_options->out + "-running.txt"; }

void MarkRunning(const std::string& target, std::uint64_t inputSeed)
{
    const std::string text = "target " + target + "\nseed " + std::to_string(inputSeed) +
                             "\nkind crash\ndetail the process ended during this input\nbytes 0\n";
    HANDLE file = CreateFileA(RunningPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

void Fatal(const char* kind, const std::string& detail)
{
    std::string target, bytes;
    std::uint64_t seed;
    {
        std::lock_guard<std::mutex> hold(g_currentLock);
        target = g_currentTarget;
        seed = g_currentSeed;
        bytes = g_currentBytes;
    }
    WriteFailure(*g_options, target, seed, kind, detail, bytes);
    DeleteFileA(RunningPath().c_str());
    Tally t = g_total;
    if (g_running) t.Add(*g_running);
    ++t.inputs;
    if (std::string(kind) == "crash") ++t.crashes; else ++t.hangs;
    std::printf("%s\n", t.Line().c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "exception 0x%08lX at %p",
                  static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                  info->ExceptionRecord->ExceptionAddress);
    Fatal("crash", buf);
    return EXCEPTION_EXECUTE_HANDLER;
}

// An exception that nobody caught, on any thread: std::terminate runs this instead of
// the runtime's abort, so the input being run is recorded like any other crash.
void OnTerminate()
{
    std::string what = "std::terminate";
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            what += ": uncaught " + std::string(e.what());
        } catch (...) {
            what += ": uncaught exception of unknown type";
        }
    }
    what += " on thread " + std::to_string(GetCurrentThreadId());
    Fatal("crash", what);
}

void WatchdogLoop()
{
    for (;;) {
        Sleep(250);
        if (g_busy && GetTickCount64() - g_inputStarted > g_hangLimitMs) {
            std::string detail = "no answer after " + std::to_string(g_hangLimitMs / 1000) + " s";
            if (g_ctx) {
                std::vector<std::string> requests = g_ctx->raw.Requests();
                detail += "; raw server requests: " + std::to_string(requests.size());
                for (std::size_t i = requests.size() > 6 ? requests.size() - 6 : 0; i < requests.size(); ++i)
                    detail += " " + requests[i];
            }
            Fatal("hang", detail);
        }
    }
}

void Watchdog()
{
    try {
        WatchdogLoop();
    } catch (const std::exception& e) {
        Fatal("crash", std::string("watchdog: ") + e.what());
    } catch (...) {
        Fatal("crash", "watchdog: unknown exception");
    }
}

// Faults that the loopback servers' threads caught while the input ran: crashes of the input.
void TakeServerFailures(const Target& target, std::uint64_t inputSeed, Tally& tally, const std::string& bytes)
{
    if (!g_ctx) return;
    std::vector<std::string> failures = g_ctx->server.TakeThreadFailures();
    for (std::string& f : g_ctx->raw.TakeThreadFailures()) failures.push_back(std::move(f));
    for (const std::string& f : failures) {
        ++tally.crashes;
        WriteFailure(*g_options, target.name, inputSeed, "crash", f, bytes);
    }
}

// --- resources of the process ----------------------------------------------------------
struct Usage {
    long objects = 0; // Vexa objects, host objects, feed records
    long long heap = 0; // live bytes of the program's own C++ heap
    DWORD handles = 0;
    long threads = 0;
    SIZE_T privateBytes = 0;
};

long LiveObjects()
{
    long n = vexa::Module::LockCount() + host::LiveObjects() + vexa::InstanceCounter<CRssItem>::Count();
    // Download workers end by their own deadlines; give them a moment, then count them.
    vexa::FetchJob::WaitForWorkers(2000);
    n += vexa::FetchJob::LiveWorkers();
    return n;
}

Usage Measure()
{
    Usage u;
    u.objects = LiveObjects();
    u.heap = HeapBytes();
    u.handles = vexatest::HandleCount();
    u.threads = vexatest::ThreadCount();
    u.privateBytes = vexatest::PrivateBytes();
    return u;
}

// Growth that counts as a leak between two checkpoints of a target. The program's heap
// varies only by what the servers and the generator keep (documents of up to 100 KB); the
// process's private bytes, a coarse guard, may also grow by what the platform's reader
// keeps of the documents it parsed (`readerShare`, measured in the same run), and a quarter
// more: what the sample misses and what each answered download leaves in the platform's
// components (some KB under Wine; on x64, 25 MB over 85 000 feed inputs).
constexpr long kHandleSlack = 48;
constexpr long kThreadSlack = 8;
constexpr long long kHeapSlack = 2ll << 20;
constexpr SIZE_T kPrivateSlack = 24u << 20;

enum class Growth { None, Heap, Process };

Growth Grown(const Usage& base, const Usage& now, SIZE_T readerShare, std::string& what)
{
    char buf[200] = "";
    Growth kind = Growth::Process;
    if (static_cast<long>(now.handles) - static_cast<long>(base.handles) > kHandleSlack)
        std::snprintf(buf, sizeof buf, "handles %lu -> %lu", base.handles, now.handles);
    else if (now.threads - base.threads > kThreadSlack)
        std::snprintf(buf, sizeof buf, "threads %ld -> %ld", base.threads, now.threads);
    else if (now.heap - base.heap > kHeapSlack) {
        kind = Growth::Heap;
        std::snprintf(buf, sizeof buf, "the program's heap %lld -> %lld KiB", base.heap >> 10, now.heap >> 10);
    } else if (now.privateBytes > base.privateBytes + readerShare + readerShare / 4 + kPrivateSlack)
        std::snprintf(buf, sizeof buf, "private bytes %lu -> %lu KiB, the reader's own share %lu KiB",
                      static_cast<unsigned long>(base.privateBytes >> 10),
                      static_cast<unsigned long>(now.privateBytes >> 10),
                      static_cast<unsigned long>(readerShare >> 10));
    else
        return Growth::None;
    what = buf;
    return kind;
}

// What the platform's reader keeps of bare parses of these documents (private bytes).
SIZE_T ReaderRetention(const std::vector<std::string>& documents)
{
    const SIZE_T before = vexatest::PrivateBytes();
    {
        CXmlParser bare;
        for (const std::string& document : documents) bare.ParseBytes(document.data(), document.size());
    }
    const SIZE_T after = vexatest::PrivateBytes();
    return after > before ? after - before : 0;
}

void PumpMessages()
{
    MSG message;
    for (int i = 0; i < 10000 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int NoWarningBox(HWND, const wchar_t*, const wchar_t*, UINT) { return IDOK; }
HINSTANCE WINAPI NoShellExecute(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT)
{
    return reinterpret_cast<HINSTANCE>(42);
}

std::uint64_t TargetSalt(const std::string& name)
{
    std::uint64_t h = 1469598103934665603ull;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

// Runs one input; the object count must be back where it was. `documents` receives what
// the input had the reader parse.
void RunOne(const Target& target, std::uint64_t inputSeed, Tally& tally, long& baseObjects,
            std::vector<std::string>* documents = nullptr)
{
    {
        std::lock_guard<std::mutex> hold(g_currentLock);
        g_currentTarget = target.name;
        g_currentSeed = inputSeed;
        // Released, not cleared: a kept capacity would grow with the largest input so far
        // (pictures of megabytes) and count in the program's heap as a leak.
        std::string().swap(g_currentBytes);
    }
    MarkRunning(target.name, inputSeed);
    Result result;
    g_inputStarted = GetTickCount64();
    g_busy = true;
    try {
        target.run(inputSeed, result);
    } catch (const std::exception& e) {
        result.Fail("exception: " + std::string(e.what()));
    } catch (...) {
        result.Fail("unknown exception");
    }
    // A host's thread pumps its messages between calls, and so does this one between inputs:
    // unpumped, the window system's events for the windows an input made and destroyed pile
    // up in the process (about 4 KB per top-level window under Wine).
    PumpMessages();
    // The panel holds the items that the plugin handed over until the host clears it; the
    // captured debug reports would pile up.
    host::Host::Get().reset();
    if (g_channels) g_channels->clear();
    g_busy = false;
    {
        std::lock_guard<std::mutex> hold(g_currentLock);
        std::string().swap(g_currentBytes);
    }
    ++tally.inputs;
    TakeServerFailures(target, inputSeed, tally, result.bytes);
    if (!result.failure.empty()) {
        ++tally.mismatches;
        WriteFailure(*g_options, target.name, inputSeed, "mismatch", result.failure, result.bytes);
    }
    long objects = LiveObjects();
    if (objects != baseObjects) {
        ++tally.leaks;
        WriteFailure(*g_options, target.name, inputSeed, "leak",
                     "live objects " + std::to_string(baseObjects) + " -> " + std::to_string(objects),
                     result.bytes);
        baseObjects = objects;
    }
    if (documents) documents->swap(result.documents);
}

void SetCurrentBytes(const std::string& bytes)
{
    std::lock_guard<std::mutex> hold(g_currentLock);
    g_currentBytes = bytes;
}

// Re-runs halves of a batch to find the input whose repetition grows the program's heap
// (counted exactly) or the process.
std::uint64_t Bisect(const Target& target, std::vector<std::uint64_t> seeds, Growth kind)
{
    while (seeds.size() > 1) {
        std::vector<std::uint64_t> left(seeds.begin(), seeds.begin() + seeds.size() / 2);
        std::vector<std::uint64_t> right(seeds.begin() + seeds.size() / 2, seeds.end());
        auto growth = [&](const std::vector<std::uint64_t>& part) {
            Usage before = Measure();
            Tally scratch;
            long objects = LiveObjects();
            for (int rep = 0; rep < 3; ++rep)
                for (std::uint64_t s : part) RunOne(target, s, scratch, objects);
            Usage after = Measure();
            if (kind == Growth::Heap) return static_cast<double>(after.heap - before.heap);
            return static_cast<double>(after.handles - before.handles) * 4096.0 +
                   static_cast<double>(after.threads - before.threads) * 65536.0 +
                   (static_cast<double>(after.privateBytes) - static_cast<double>(before.privateBytes));
        };
        seeds = growth(left) >= growth(right) ? left : right;
    }
    return seeds.empty() ? 0 : seeds.front();
}

Tally RunTarget(const Target& target, const Options& o)
{
    Tally tally;
    g_running = &tally;
    Budget budget(o);
    long baseObjects = LiveObjects();
    const std::uint64_t salt = TargetSalt(target.name);
    constexpr long long kBatch = 100;
    // The first inputs warm up what the platform keeps (reader classes, connections).
    Usage base;
    bool haveBase = false;
    std::vector<std::uint64_t> batch;
    // The documents of every tenth input, parsed bare at the checkpoint: what the reader
    // keeps of them, times ten, is its share of the batch (plus that of the bare parses).
    constexpr long long kSampleEvery = 10;
    std::vector<std::string> sample, documents;
    SIZE_T readerShare = 0;
    for (long long i = o.from; budget.More(i - o.from); ++i) {
        std::uint64_t inputSeed = InputSeed(o.seed ^ salt, static_cast<std::uint64_t>(i));
        RunOne(target, inputSeed, tally, baseObjects, &documents);
        if (i % kSampleEvery == 0)
            for (std::string& d : documents) sample.push_back(std::move(d));
        documents.clear();
        batch.push_back(inputSeed);
        if (o.verbose && i % 100 == 0)
            std::fprintf(stderr, "%s: %lld inputs, %.0f s\n", target.name, i + 1, budget.Elapsed());
        if ((i + 1) % kBatch == 0) {
            if (!sample.empty()) readerShare += ReaderRetention(sample) * (kSampleEvery + 1);
            sample.clear();
            sample.shrink_to_fit();
            if (target.checkpoint) target.checkpoint();
            Usage now = Measure();
            if (o.verbose)
                std::fprintf(stderr, "%s: checkpoint after %lld: %ld objects, %lld KiB heap, %lu handles, %ld threads, "
                             "%lu KiB private, %lu KiB the reader's\n",
                             target.name, i + 1, now.objects, now.heap >> 10, now.handles, now.threads,
                             static_cast<unsigned long>(now.privateBytes >> 10),
                             static_cast<unsigned long>(readerShare >> 10));
            std::string grown;
            if (!haveBase) {
                base = now;
                haveBase = true;
                readerShare = 0;
            } else if (Growth kind = Grown(base, now, readerShare, grown); kind != Growth::None) {
                std::uint64_t culprit = Bisect(target, batch, kind);
                ++tally.leaks;
                WriteFailure(o, target.name, culprit, "leak", grown + " (bisected)", "");
                if (target.checkpoint) target.checkpoint();
                base = Measure();
                readerShare = 0;
            }
            batch.clear();
        }
    }
    g_running = nullptr;
    return tally;
}

} // namespace

void Result::Fail(const std::string& what)
{
    if (failure.empty()) failure = what;
}

void Result::SetBytes(const std::string& b)
{
    bytes = b;
    SetCurrentBytes(b);
}

} // namespace fuzz

int main(int argc, char** argv)
{
    using namespace fuzz;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    Options o;
    if (!ParseOptions(argc, argv, o)) return 2;
    g_options = &o;
    g_hangLimitMs = static_cast<DWORD>(o.hangSeconds * 1000);
    std::size_t slash = o.out.find_last_of("/\\");
    if (slash != std::string::npos) CreateDirectoryA(o.out.substr(0, slash).c_str(), nullptr);
    SetUnhandledExceptionFilter(CrashFilter);
    std::set_terminate(OnTerminate);
    std::thread(Watchdog).detach();

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int exitCode = 0;
    {
        vexatest::RegistryOverride hkcu(HKEY_CURRENT_USER);
        vexatest::ChannelCapture channels; // the debug reports stay in the program
        g_channels = &channels;
        host::ClassRegistration classes;
        SetWarningBoxFn(NoWarningBox);
        SetShellExecuteFn(NoShellExecute);
        Context ctx;
        g_ctx = &ctx;
        if (!ctx.server.Start() || !ctx.raw.Start()) {
            std::fprintf(stderr, "fuzz: no loopback server\n");
            return 2;
        }
        const std::vector<Target>& targets = AllTargets();
        if (!o.replay.empty()) {
            std::string name;
            std::uint64_t inputSeed = 0;
            if (!ReadReplay(o.replay, name, inputSeed)) {
                std::fprintf(stderr, "fuzz: cannot read %s\n", o.replay.c_str());
                return 2;
            }
            for (const Target& t : targets) {
                if (name != t.name) continue;
                long objects = LiveObjects();
                RunOne(t, inputSeed, g_total, objects);
            }
        } else {
            for (const Target& t : targets) {
                if (o.target != "all" && o.target != t.name) continue;
                Tally tally = RunTarget(t, o);
                if (g_strayLineFeeds)
                    std::printf("%s: %ld runs began with the stray line feed of Wine's reader\n", t.name,
                                std::exchange(g_strayLineFeeds, 0));
                std::printf("%s\n", tally.Line(t.name).c_str());
                g_total.Add(tally);
            }
        }
        host::Host::Get().reset();
        ctx.server.Stop();
        ctx.raw.Stop();
        channels.clear();
        g_channels = nullptr;
        g_ctx = nullptr;
    }
    DeleteFileA(RunningPath().c_str());
    std::printf("%s\n", g_total.Line().c_str());
    exitCode = g_total.Clean() && g_total.inputs > 0 ? 0 : 1;
    std::fflush(stdout);
    CoUninitialize();
    return exitCode;
}
