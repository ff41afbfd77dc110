#include "com/check.h"

#include <atomic>
#include <cstdio>

namespace vexa {
namespace {
std::atomic<ReportSink> g_reportSink{nullptr};
std::atomic<TraceSink> g_traceSink{nullptr};
}

ReportSink SetReportSink(ReportSink sink) { return g_reportSink.exchange(sink); }
TraceSink SetTraceSink(TraceSink sink) { return g_traceSink.exchange(sink); }

void ReportFailure(const char* file, int line, const char* text)
{
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "%s(%d): check failed: %s\n", file, line, text);
    OutputDebugStringA(buffer);
    if (ReportSink sink = g_reportSink.load())
        sink(file, line, text);
}

void Trace(const char* text)
{
    OutputDebugStringA(text);
    if (TraceSink sink = g_traceSink.load())
        sink(text);
}

} // namespace vexa
