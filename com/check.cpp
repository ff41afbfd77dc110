#include "com/check.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <new>

namespace vexa {
namespace {
std::atomic<ReportSink> g_reportSink{nullptr};
std::atomic<TraceSink> g_traceSink{nullptr};
}

ReportSink SetReportSink(ReportSink sink) { return g_reportSink.exchange(sink); }
TraceSink SetTraceSink(TraceSink sink) { return g_traceSink.exchange(sink); }

namespace {
// No allocation: it runs in catch handlers, out-of-memory ones included.
void Report(const char* file, int line, const char* kind, const char* text) noexcept
{
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "%s(%d): %s: %s\n", file, line, kind, text);
    OutputDebugStringA(buffer);
    if (ReportSink sink = g_reportSink.load())
        sink(file, line, text);
}
} // namespace

void ReportFailure(const char* file, int line, const char* text) noexcept
{
    Report(file, line, "check failed", text);
}

HRESULT ReportCaughtException(const char* file, int line) noexcept
{
    // Rethrown to learn its type; the report is made while the exception object lives.
    try {
        throw;
    } catch (const std::bad_alloc&) {
        Report(file, line, "exception caught", "out of memory");
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        const char* what = e.what();
        Report(file, line, "exception caught", what && *what ? what : "unknown exception");
    } catch (...) {
        Report(file, line, "exception caught", "unknown exception");
    }
    return E_UNEXPECTED;
}

void Trace(const char* text) noexcept
{
    OutputDebugStringA(text);
    if (TraceSink sink = g_traceSink.load())
        sink(text);
}

} // namespace vexa
