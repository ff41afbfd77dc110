// One failure path: a check that fails is reported with the file, the line and the text of
// the check, through the debug-report channel, and processing goes on.
#pragma once
#include <windows.h>
#include <type_traits>

namespace vexa {

// Receives every failed check. Tests replace it to read the reports; by default the
// report goes to the debugger output only.
using ReportSink = void (*)(const char* file, int line, const char* text);
ReportSink SetReportSink(ReportSink sink);

// Receives every line of the debug trace channel (free text, also sent to the debugger).
using TraceSink = void (*)(const char* text);
TraceSink SetTraceSink(TraceSink sink);

void ReportFailure(const char* file, int line, const char* text);
void Trace(const char* text);

// Returns the condition, reporting it when it is false.
inline bool Verify(bool ok, const char* file, int line, const char* text)
{
    if (!ok)
        ReportFailure(file, line, text);
    return ok;
}

template <typename T>
constexpr HRESULT AssertHresult(T hr)
{
    static_assert(std::is_same<T, HRESULT>::value, "an HRESULT is expected here");
    return hr;
}

} // namespace vexa

// Success and failure tests of an HRESULT. Written out (not SUCCEEDED/FAILED) so that a
// reported check reads exactly as "((HRESULT)(call) >= 0)".
#define VEXA_OK(hr) ((HRESULT)(hr) >= 0)
#define VEXA_FAILED(hr) ((HRESULT)(hr)<0)

#define VEXA_STRINGIZE_(x) #x
#define VEXA_STRINGIZE(x) VEXA_STRINGIZE_(x)

// VEXA_VERIFY(cond): evaluates cond once, reports its expanded text when it is false, and
// yields its truth value.
#define VEXA_VERIFY(cond) ::vexa::Verify(!!(cond), __FILE__, __LINE__, VEXA_STRINGIZE(cond))

// VEXA_CHECK_HR(call): runs an HRESULT-returning call, reports it when it failed (S_FALSE
// is success), and yields the HRESULT.
#define VEXA_CHECK_HR(call) ::vexa::CheckHr(::vexa::AssertHresult(call), __FILE__, __LINE__, \
                                            VEXA_STRINGIZE(VEXA_OK(call)))

// RETURN_IF_FAILED-style: reports and returns the failure.
#define VEXA_RETURN_IF_FAILED(call)                                                        \
    do {                                                                                   \
        const HRESULT hr_ = ::vexa::AssertHresult(call);                                   \
        if (hr_ < 0) {                                                                     \
            ::vexa::ReportFailure(__FILE__, __LINE__, VEXA_STRINGIZE(VEXA_OK(call)));      \
            return hr_;                                                                    \
        }                                                                                  \
    } while (0)

namespace vexa {
inline HRESULT CheckHr(HRESULT hr, const char* file, int line, const char* text)
{
    if (hr < 0)
        ReportFailure(file, line, text);
    return hr;
}
} // namespace vexa

// Keeps exceptions from crossing a COM boundary: wrap a method body that may allocate.
#define VEXA_COM_TRY try {
#define VEXA_COM_CATCH                                                                     \
    }                                                                                      \
    catch (const std::bad_alloc&) { return E_OUTOFMEMORY; }                                \
    catch (...) { return E_UNEXPECTED; }
