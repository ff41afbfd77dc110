// The lifetime of a download: its worker thread, the wait for its end and the hand-over of
// its result. The transfer itself is in feeds/transfer.cpp, the limits in
// feeds/connectiongate.cpp.
#include "net/httpfetch.h"

#include <algorithm>
#include <utility>

#include "com/check.h"
#include "com/module.h"
#include "com/ptr.h"
#include "net/connectiongate.h"
#include "net/ftptransfer.h"
#include "format/utf8.h"

namespace vexa {

namespace {

std::atomic<long> g_liveWorkers{0};

// The owner ends a transfer that outlived its bound by this much itself: the worker's own
// time-out normally comes first.
constexpr ULONGLONG kExpirySlackMs = 500;

// The limits of one request: a request may bound its body more tightly.
FetchLimits LimitsFor(const FetchRequest& request) noexcept
{
    FetchLimits limits = GetFetchLimits();
    if (request.maxBytes && request.maxBytes < limits.maxBytes)
        limits.maxBytes = request.maxBytes;
    return limits;
}

} // namespace

FetchJob::FetchJob(const FetchRequest& request)
    : m_request(request), m_limits(LimitsFor(request))
{
    if (IsHttpAddress(m_request.url) || IsFtpAddress(m_request.url))
        m_server = ServerOf(m_request.url.substr(0, m_request.url.find(L'#')));
    m_sent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_cancel.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

FetchJob::~FetchJob() = default;

FetchJob* FetchJob::Start(const FetchRequest& request) noexcept
{
    com_ptr<FetchJob> job;
    VEXA_TRY
        job.attach(new FetchJob(request));
    VEXA_CATCH_RETURN(nullptr)
    if (!job->m_sent || !job->m_done || !job->m_cancel)
        return nullptr;
    // The worker's references: the job, the module itself (given back as the thread exits)
    // and the module's lock count (DllCanUnloadNow; given back when the work is done).
    job->m_module = unique_module_reference::ForCode(reinterpret_cast<const void*>(&FetchJob::ThreadProc));
    // Its place among the jobs waiting to start, taken here so that they start in this order.
    if (!job->m_server.empty()) job->m_ticket = EnqueueConnection(job->m_server, request.yields);
    com_ptr<FetchJob> worker = job;
    Module::Lock();
    ++g_liveWorkers;
    unique_handle thread(CreateThread(nullptr, 256 * 1024, &FetchJob::ThreadProc, worker.get(),
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        DequeueConnection(job->m_ticket);
        --g_liveWorkers;
        Module::Unlock();
        return nullptr; // the owners give back the job's references and the module's

    }
    worker.detach(); // now the thread's
    return job.detach();
}

bool FetchJob::IsSent() const noexcept { return WaitForSingleObject(m_sent.get(), 0) == WAIT_OBJECT_0; }
unsigned long FetchJob::SendOrder() const noexcept { return m_sendOrder.load(); }
bool FetchJob::IsDone() const noexcept { return WaitForSingleObject(m_done.get(), 0) == WAIT_OBJECT_0; }

bool FetchJob::WaitUntil(ULONGLONG deadline) noexcept
{
    for (;;) {
        if (IsDone()) return true;
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG transferEnd = m_deadline.load();
        if (transferEnd && now >= transferEnd + kExpirySlackMs) {
            // The worker is stuck in a call that its time-out did not end: the result is
            // what had arrived, and the worker finds the job ended when it comes back.
            {
                srwlock_exclusive_guard held(m_lock);
                if (!m_finished) {
                    m_finished = true;
                    m_result.outcome = m_result.status == 200 ? FetchResult::Outcome::Cut
                                                              : FetchResult::Outcome::Failed;
                    m_result.error = ERROR_INTERNET_TIMEOUT;
                    m_result.bound = FetchResult::Bound::Whole;
                    m_result.boundMs = m_limits.wholeMs;
                    m_result.bodyBytes = m_result.body.size();
                }
            }
            SetEvent(m_sent.get());
            SetEvent(m_done.get());
            return true;
        }
        if (now >= deadline) return false;
        ULONGLONG until = transferEnd ? std::min(deadline, transferEnd + kExpirySlackMs)
                                      : std::min(deadline, now + 250);
        WaitForSingleObject(m_done.get(), static_cast<DWORD>(std::min<ULONGLONG>(until - now, MAXDWORD - 1)));
    }
}

FetchResult FetchJob::TakeResult()
{
    FetchResult result;
    srwlock_exclusive_guard held(m_lock);
    if (m_finished) std::swap(result, m_result);
    return result;
}

void FetchJob::Abandon() noexcept
{
    SetEvent(m_cancel.get());
    WakeConnectionWaiters(); // a job waiting to start sees it at once
}

long FetchJob::LiveWorkers() noexcept { return g_liveWorkers.load(); }

bool FetchJob::WaitForWorkers(DWORD timeoutMs) noexcept
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (g_liveWorkers.load() > 0) {
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
    return true;
}

DWORD WINAPI FetchJob::ThreadProc(void* param) noexcept
{
    // The module stays mapped until this thread's last act gives the reference back.
    unique_module_reference module = std::move(static_cast<FetchJob*>(param)->m_module);
    {
        com_ptr<FetchJob> job;
        job.attach(static_cast<FetchJob*>(param));
        job->Run(); // catches whatever the transfer throws: nothing leaves this thread
    }
    // The last download out closes the session when nothing else holds the module.
    CloseIdleInternetSession();
    --g_liveWorkers;
    // Nothing of the module runs after this call.
    module.ExitThread(0);
}

// The whole work of a worker thread: its turn at the gate, then the transfer. A transfer that
// threw has failed.
void FetchJob::Run() noexcept
{
    FetchResult result;
    const HRESULT hr = [&]() noexcept -> HRESULT {
        VEXA_COM_TRY
        if (m_server.empty()) {
            result.error = ERROR_INTERNET_INVALID_URL;
            return S_OK;
        }
        std::optional<ConnectionSlot> slot;
        slot.emplace(m_ticket);
        const ULONGLONG gateEnd = m_request.yields ? GetTickCount64() + m_limits.connectMs : ~0ull;
        if (Cancelled() || !slot->Acquire(m_server, m_cancel.get(), gateEnd)) {
            result.error = Cancelled() || !m_request.yields ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_INTERNET_TIMEOUT;
            return S_OK;
        }
        const ULONGLONG deadline = GetTickCount64() + m_limits.wholeMs;
        m_deadline.store(deadline);
        m_slot = &*slot;
        std::wstring answeredUrl;
        m_page = m_request.discover && m_request.pages;
        if (IsFtpAddress(m_request.url)) {
            TransferFtp(m_request, m_limits, deadline, *this, result);
            answeredUrl = m_request.url.substr(0, m_request.url.find(L'#'));
        } else {
            Transfer(m_request, m_limits, deadline, *this, result, &answeredUrl);
        }
        m_page = false;
        m_slot = nullptr;
        if (m_request.discover && m_request.pages && result.status == 200 && result.outcome != FetchResult::Outcome::Failed)
            ReadAdvertisedFeed(answeredUrl, deadline, slot, result);
        if (m_request.worker && result.status == 200 && result.outcome == FetchResult::Outcome::Answered) {
            slot.reset(); // the connection is free for others while the body is worked
            WorkBody();
        }
        return S_OK;
        VEXA_COM_CATCH
    }();
    m_slot = nullptr;
    if (VEXA_FAILED(hr)) {
        result.outcome = FetchResult::Outcome::Failed;
        result.error = hr == E_OUTOFMEMORY ? ERROR_OUTOFMEMORY : ERROR_INTERNET_INTERNAL_ERROR;
    }
    DequeueConnection(m_ticket); // a job that ended before its turn holds back no other
    Finish(result);
}

void FetchJob::ReadAdvertisedFeed(const std::wstring& pageUrl, ULONGLONG deadline,
                                  std::optional<ConnectionSlot>& slot, FetchResult& result)
{
    // The start of the body, copied: the body itself stays the result's until it is known to
    // be a page (the owner may end the job at its deadline with what has arrived).
    const PageHandler& pages = *m_request.pages;
    std::string start;
    {
        srwlock_shared_guard held(m_lock);
        if (m_finished) return;
        start.assign(m_result.body, 0, pages.ScanLimit());
    }
    if (!pages.IsPage(start.data(), start.size()))
        return;

    // The advertised feed that a download may read (from an https page, only an https feed,
    // as for a redirect).
    const std::wstring written = pages.AdvertisedFeed(start.data(), start.size(), pageUrl);
    const std::wstring wire = written.empty() ? std::wstring() : utf::UrlForTheWire(written);
    start.clear();
    start.shrink_to_fit();

    {
        // The page's body is not the result; the feed's answer, when one is read, is.
        srwlock_exclusive_guard held(m_lock);
        if (m_finished) return;
        m_result.body.clear();
        m_result.body.shrink_to_fit();
        m_result.status = 0;
        m_result.advertisedFeed = written;
        m_result.pageWithoutFeed = wire.empty();
    }
    if (wire.empty()) {
        result.pageWithoutFeed = true;
        return;
    }
    FetchResult feed;
    feed.advertisedFeed = written;

    // The feed's request, on this worker and within the page's deadline. A feed at another
    // server takes its own turn at the connection limits.
    const std::wstring server = ServerOf(wire);
    if (server != m_server) {
        m_slot = nullptr;
        slot.reset();
        slot.emplace(EnqueueConnection(server));
        if (Cancelled() || !slot->Acquire(server, m_cancel.get(), deadline)) {
            feed.error = Cancelled() ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_INTERNET_TIMEOUT;
            result = std::move(feed);
            return;
        }
    }
    m_slot = &*slot;
    FetchRequest request;
    request.url = wire;
    request.discover = false;
    Transfer(request, m_limits, deadline, *this, feed);
    m_slot = nullptr;
    result = std::move(feed);
}

void FetchJob::WorkBody()
{
    std::string body;
    {
        srwlock_exclusive_guard held(m_lock);
        if (m_finished) return;
        body.swap(m_result.body);
    }
    std::string product = m_request.worker->Work(body);
    srwlock_exclusive_guard held(m_lock);
    if (!m_finished) m_result.product = std::move(product);
}

bool FetchJob::Cancelled() const noexcept
{
    return WaitForSingleObject(m_cancel.get(), 0) == WAIT_OBJECT_0;
}

void FetchJob::Sending() noexcept
{
    if (!m_slot) return;
    // The job's place in the send order is its first request's.
    unsigned long first = 0;
    m_sendOrder.compare_exchange_strong(first, m_slot->BeginSend());
}

void FetchJob::Sent() noexcept { SetEvent(m_sent.get()); }

void FetchJob::Answered(DWORD status) noexcept
{
    srwlock_exclusive_guard held(m_lock);
    m_result.status = status;
}

bool FetchJob::Append(const char* data, std::size_t size)
{
    srwlock_exclusive_guard held(m_lock);
    if (m_finished) return false;
    // Out of memory fails the transfer (in Run) rather than passing a part for the whole.
    m_result.body.append(data, size);
    // A web page is read as far as it is scanned for the feeds it advertises, body included.
    const std::size_t scanned = m_page ? m_request.pages->ScanLimit() : 0;
    if (m_page && m_result.body.size() >= scanned) {
        m_page = false;
        if (m_request.pages->IsPage(m_result.body.data(), scanned))
            return false;
    }
    return true;
}

void FetchJob::Finish(FetchResult& result) noexcept
{
    {
        srwlock_exclusive_guard held(m_lock);
        if (!m_finished) {
            m_finished = true;
            // Everything but the body, which came through Append, and its product.
            result.body = std::move(m_result.body);
            result.product = std::move(m_result.product);
            m_result = std::move(result);
        }
    }
    // The lock count goes before anyone can see the job ended; the module itself stays
    // mapped by the thread's own reference until the thread is gone.
    Module::Unlock();
    SetEvent(m_sent.get());
    SetEvent(m_done.get());
}

} // namespace vexa
