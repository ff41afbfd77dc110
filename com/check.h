// One failure path: a check that fails is reported with the file, the line and the text of
// the check, through the debug-report channel, and processing goes on. An exception that
// reaches a boundary (COM method, thread, callback, window procedure) is reported the same
// way and turned into the boundary's fallback.
#pragma once
#include <windows.h>
#include <type_traits>

namespace vexa {

// Receives every failed check and every caught exception. Tests replace it to read the
// reports; by default the report goes to the debugger output only. It is called from
// catch handlers and noexcept code, so it must not throw.
using ReportSink = void (*)(const char* file, int line, const char* text) noexcept;
ReportSink SetReportSink(ReportSink sink);

// Receives every line of the debug trace channel (free text, also sent to the debugger).
using TraceSink = void (*)(const char* text) noexcept;
TraceSink SetTraceSink(TraceSink sink);

void ReportFailure(const char* file, int line, const char* text) noexcept;
void Trace(const char* text) noexcept;

// Reports the exception being handled, with the place that caught it: its what() for a
// std::exception, "out of memory" for std::bad_alloc, "unknown exception" otherwise. Gives
// E_OUTOFMEMORY for std::bad_alloc and E_UNEXPECTED for anything else. Only for use inside
// a catch handler (the VEXA_CATCH macros below).
HRESULT ReportCaughtException(const char* file, int line) noexcept;

// Returns the condition, reporting it when it is false.
inline bool Verify(bool ok, const char* file, int line, const char* text) noexcept
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

// The success and failure tests of an HRESULT, the only spelling used (not SUCCEEDED/FAILED):
// a reported check then reads exactly as "((HRESULT)(call) >= 0)".
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

// The one way a failure is passed up: evaluates call once and returns its HRESULT when it
// failed (S_FALSE is success). VEXA_RETURN_IF_FAILED reports the failure first;
// VEXA_RETURN_IF_FAILED_EXPECTED does not, for failures that are part of normal use (a
// short stream, an absent key) and would only be noise on the report channel.
#define VEXA_RETURN_IF_FAILED(call)                                                        \
    do {                                                                                   \
        const HRESULT hr_ = ::vexa::AssertHresult(call);                                   \
        if (hr_ < 0) {                                                                     \
            ::vexa::ReportFailure(__FILE__, __LINE__, VEXA_STRINGIZE(VEXA_OK(call)));      \
            return hr_;                                                                    \
        }                                                                                  \
    } while (0)
#define VEXA_RETURN_IF_FAILED_EXPECTED(call)                                               \
    do {                                                                                   \
        const HRESULT hr_ = ::vexa::AssertHresult(call);                                   \
        if (hr_ < 0) return hr_;                                                           \
    } while (0)

namespace vexa {
inline HRESULT CheckHr(HRESULT hr, const char* file, int line, const char* text) noexcept
{
    if (hr < 0)
        ReportFailure(file, line, text);
    return hr;
}

// The result of VEXA_COM_CATCH: it converts only to HRESULT, so that closing a boundary of
// another type with it does not compile (a bool would take E_UNEXPECTED for true).
struct CaughtHresult {
    HRESULT hr;
    template <typename T>
    constexpr operator T() const noexcept
    {
        static_assert(std::is_same<T, HRESULT>::value, "VEXA_COM_CATCH closes HRESULT boundaries only");
        return hr;
    }
};
} // namespace vexa

// The catch at a boundary: nothing thrown below it leaves it. The body goes between
// VEXA_TRY and one of the closing macros, which report what was caught (file, line, what)
// and then give the boundary's fallback:
//   VEXA_COM_CATCH            returns E_OUTOFMEMORY for std::bad_alloc, E_UNEXPECTED otherwise
//                             (COM methods and other HRESULT boundaries)
//   VEXA_CATCH_RETURN(value)  returns value (window procedures, thread entries, bool results)
//   VEXA_CATCH_LOG            goes on after the block (void callbacks)
#define VEXA_TRY try {
#define VEXA_COM_TRY VEXA_TRY
#define VEXA_COM_CATCH                                                                     \
    }                                                                                      \
    catch (...)                                                                            \
    {                                                                                      \
        return ::vexa::CaughtHresult{::vexa::ReportCaughtException(__FILE__, __LINE__)};   \
    }
#define VEXA_CATCH_RETURN(value)                                                           \
    }                                                                                      \
    catch (...)                                                                            \
    {                                                                                      \
        ::vexa::ReportCaughtException(__FILE__, __LINE__);                                 \
        return value;                                                                      \
    }
#define VEXA_CATCH_LOG                                                                     \
    }                                                                                      \
    catch (...) { ::vexa::ReportCaughtException(__FILE__, __LINE__); }
