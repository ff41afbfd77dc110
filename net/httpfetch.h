// Downloads of http and https feeds with WinINet, and of ftp feeds (feeds/ftptransfer.h), on
// worker threads. A worker moves bytes and nothing else: it takes an address and its
// validators and gives back a status, a few headers and a body (a web page is told by what
// the request brings along: net/transfer.h, PageHandler). It never touches its owner,
// and it keeps the module loaded until it exits.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

#include "com/owners.h"
#include "com/refcounted.h"
#include "net/connectiongate.h"
#include "net/httprules.h"
#include "net/internetsession.h"
#include "net/transfer.h"

namespace vexa {

// One download on its own worker thread. Shared by its owner and its worker through a
// reference count; the owner may let go at any time (Abandon), the worker ends by its
// deadlines and then finds nobody to tell.
class FetchJob final : public RefCounted<FetchJob>, private TransferProgress {
public:
    // Starts a worker. Its request goes out as soon as the connection limits allow (100 in
    // all, 4 to one server); jobs waiting for a connection start in the order they were
    // started here. The caller gets one reference; null when no thread could be started.
    static FetchJob* Start(const FetchRequest& request) noexcept;

    bool IsSent() const noexcept;
    // When this job's worker began to send its request, as a number counted across the
    // process in the order the workers began theirs; 0 while it has not begun.
    unsigned long SendOrder() const noexcept;
    bool IsDone() const noexcept;
    // Signalled when the job ends: for waiting on many jobs at once (WaitUntil still ends a
    // job whose worker is stuck past its bound).
    HANDLE DoneEvent() const noexcept { return m_done.get(); }
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

    // The shared WinINet session (feeds/internetsession.h): closed when no download runs and
    // nothing holds the module (by the last worker on its way out, or from DllCanUnloadNow).
    static bool CloseIdleSession() noexcept { return CloseIdleInternetSession(); }
    static bool HasSession() noexcept { return HasInternetSession(); }

    FetchJob(const FetchJob&) = delete;
    FetchJob& operator=(const FetchJob&) = delete;

private:
    friend class RefCounted<FetchJob>;
    explicit FetchJob(const FetchRequest& request);
    ~FetchJob();

    static DWORD WINAPI ThreadProc(void* param) noexcept;
    void Run() noexcept;
    // After a 200: when it was a web page, reads the feed the page advertises in its place,
    // within the same deadline, or marks the result as a page without one.
    void ReadAdvertisedFeed(const std::wstring& pageUrl, ULONGLONG deadline,
                            std::optional<ConnectionSlot>& slot, FetchResult& result);
    // After a whole 200: the request's worker turns the body into its product.
    void WorkBody();
    void Finish(FetchResult& result) noexcept;

    // TransferProgress
    bool Cancelled() const noexcept override;
    void Sending() noexcept override;
    void Sent() noexcept override;
    void Answered(DWORD status) noexcept override;
    bool Append(const char* data, std::size_t size) override;

    const FetchRequest m_request;
    const FetchLimits m_limits;
    std::wstring m_server;              // "host:port" of the first request; empty when unusable
    unsigned long m_ticket = 0;         // place in the queue of jobs waiting to start
    ConnectionSlot* m_slot = nullptr;     // the worker's slot while it transfers
    // The first answer's body is coming, and a page's is read only as far as it is scanned.
    bool m_page = false;
    std::atomic<unsigned long> m_sendOrder{0};
    // The worker's reference on the module, taken over by the worker's first line.
    unique_module_reference m_module;

    unique_handle m_sent;               // manual-reset: the request is on the wire (or failed)
    unique_handle m_done;               // manual-reset: the result is ready
    unique_handle m_cancel;             // manual-reset: the owner let go
    std::atomic<ULONGLONG> m_deadline{0}; // end of the whole transfer, once it started

    mutable SRWLOCK m_lock = SRWLOCK_INIT; // guards the result and m_finished
    bool m_finished = false;
    FetchResult m_result;
};

} // namespace vexa
