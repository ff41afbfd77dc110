// Downloads of http and https feeds with WinINet on worker threads. A worker moves bytes and
// nothing else: it takes an address and its validators and gives back a status, a few headers
// and a body. It never touches its owner, and it keeps the module loaded until it exits.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <string>

#include "com/owners.h"

namespace vexa {

// Every bound of a download. The defaults are the product's; tests shorten them.
struct FetchLimits {
    DWORD connectMs = 10000;            // to get a connection and the request out
    DWORD idleMs = 15000;               // a transfer that receives nothing for this long ends
    DWORD wholeMs = 30000;              // a whole transfer, redirects included
    std::size_t maxBytes = 32u << 20;   // a body that grows past this ends there
    int maxRedirects = 5;
};
FetchLimits GetFetchLimits() noexcept;
// Returns the previous limits.
FetchLimits SetFetchLimits(const FetchLimits& limits) noexcept;

// The User-Agent of every request: the product's name and version.
extern const wchar_t kUserAgent[];

// True for the addresses this fetch takes: http and https, in any letter case.
bool IsHttpAddress(const std::wstring& url) noexcept;

// The address of a download as it goes on the wire: its first 999 characters, with those
// outside ASCII percent-encoded. False when the conversion fails.
bool WidenAddress(const std::string& url, std::wstring& wide);

// One request: the address (a fragment never goes on the wire) and the feed's validators.
struct FetchRequest {
    std::wstring url;
    std::wstring etag;          // sent as If-None-Match
    std::wstring lastModified;  // sent as If-Modified-Since
};

struct FetchResult {
    enum class Outcome {
        Failed,   // no answer: no connection, a refused redirect, a deadline before the answer
        Answered, // a status came, and for 200 the whole body
        Cut,      // a 200 whose body ended early: a deadline, the size bound, a broken transfer
    };
    Outcome outcome = Outcome::Failed;
    DWORD status = 0;
    DWORD error = 0;            // the Win32 error that ended a failed or cut transfer
    std::string body;           // decoded (gzip and deflate are undone)
    std::wstring etag;
    std::wstring lastModified;  // only when it can tell versions apart (a second older than Date)
    ULONGLONG retryAfterMs = 0; // Retry-After, seconds or a date, from now (at most a day)
};

// One download on its own worker thread. Shared by its owner and its worker through a
// reference count; the owner may let go at any time (Abandon), the worker ends by its
// deadlines and then finds nobody to tell.
class FetchJob {
public:
    // Starts a worker. `previous`, when given, is the job whose request must be on the wire
    // before this one's is sent (bounded by the connect time). The caller gets one reference;
    // null when no thread could be started.
    static FetchJob* Start(const FetchRequest& request, FetchJob* previous) noexcept;

    ULONG AddRef() noexcept;
    ULONG Release() noexcept;

    bool IsSent() const noexcept;
    bool IsDone() const noexcept;
    // Waits until the job ends or `deadline` (a GetTickCount64 time) passes; true when it
    // ended. A transfer that outlived its own whole-transfer bound is ended here with what
    // had arrived, so no wait outlasts a job's deadlines.
    bool WaitUntil(ULONGLONG deadline) noexcept;
    // The result of an ended job, handed over once.
    FetchResult TakeResult();
    // The owner no longer wants the result: a worker that still waits to start gives up.
    void Abandon() noexcept;

    // Workers that have not exited yet, and a bounded wait for none (for tests and teardown
    // checks).
    static long LiveWorkers() noexcept;
    static bool WaitForWorkers(DWORD timeoutMs) noexcept;

    FetchJob(const FetchJob&) = delete;
    FetchJob& operator=(const FetchJob&) = delete;

private:
    FetchJob(const FetchRequest& request, FetchJob* previous);
    ~FetchJob();

    static DWORD WINAPI ThreadProc(void* param);
    void Run() noexcept;
    void Transfer(FetchResult& result);
    void Finish(FetchResult* result) noexcept;
    void MarkSent() noexcept;
    bool Cancelled() const noexcept;
    // Adds received bytes to the shared result; false when the job has already ended.
    // Throws std::bad_alloc when the body cannot grow.
    bool Append(const char* data, std::size_t size);

    std::atomic<long> m_refs{1};
    const FetchRequest m_request;
    const FetchLimits m_limits;
    FetchJob* m_previous;               // referenced until this job's request may go
    HMODULE m_module = nullptr;         // the worker's reference on the module

    unique_handle m_sent;               // manual-reset: the request is on the wire (or failed)
    unique_handle m_done;               // manual-reset: the result is ready
    unique_handle m_cancel;             // manual-reset: the owner let go
    std::atomic<ULONGLONG> m_deadline{0}; // end of the whole transfer, once it started

    mutable SRWLOCK m_lock = SRWLOCK_INIT; // guards the result and m_finished
    bool m_finished = false;
    FetchResult m_result;
};

} // namespace vexa
